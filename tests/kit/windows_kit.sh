# The Windows test kit: everything needed to run the tests on a Windows test
# machine, in one zip per width.  Sourced by ./dev (windows-kit) and by the
# kit's own test (kit_test.sh); takes the configuration in hand from
# tests/testbed.sh (testbed_use), and the packages the build made for the
# package's life test (tests/package/CMakeLists.txt) from its tree.
#
#   build_kit OUTDIR    OUTDIR/<name>/ and OUTDIR/<name>.zip; prints the zip
#   kit_verdict LOG     whether the run whose output LOG holds passed
#
# kit_verdict needs nothing else: the Windows job of the workflow
# (.github/workflows/windows.yml) sources this file in Git Bash for it.
#
# The kit holds the shipped files (bin\), the test programs with the
# recorder, session-tool and the runner (tests\), the packages the
# package's life test installs (packages\: released 1.0.0, current, next,
# failing and signed, each in its folder), run-tests.cmd, restore.cmd and README.txt.

kit_fail() { printf 'kit: %s\n' "$*" >&2; return 1; }

# The run passed when its output ends with its count of cases and that count
# has some passed and none failed: a run that stopped early (interrupted,
# not elevated, crashed) ends on another line.  Prints that line; 1 when it
# is not a pass.
kit_verdict() {
    local last
    last=$({ tr -d '\r' <"$1"; } 2>/dev/null | grep -v '^[[:space:]]*$' | tail -1)
    printf 'kit: %s\n' "${last:-no output in $1}"
    [[ $last =~ ^[1-9][0-9]*\ passed,\ 0\ failed$ ]] && return 0
    [[ $last =~ ^[0-9]+\ passed,\ [0-9]+\ failed$ ]] || printf 'kit: the run did not end with its count ("N passed, N failed")\n'
    return 1
}

# The lines of standard input with Windows' line ends.
crlf() { sed 's/$/\r/'; }

kit_scripts() {
    local dir=$1
    crlf >"$dir/run-tests.cmd" <<'EOF'
@echo off
rem Runs the Ostrel agent's tests and the package's life on this machine, and
rem puts back what it changes.  From an elevated prompt, on a test machine.
rem Options go to every test program: --gtest_filter=... runs some cases only.
"%~dp0tests\kit-runner.exe" run %*
exit /b %errorlevel%
EOF
    crlf >"$dir/restore.cmd" <<'EOF'
@echo off
rem Puts back what an interrupted run-tests.cmd changed (the browser, the
rem product's registry key), from the state it saved in this folder.
"%~dp0tests\kit-runner.exe" restore
exit /b %errorlevel%
EOF
    crlf >"$dir/README.txt" <<EOF
Ostrel Agent test kit, $TB_LABEL ($TB_PLATFORM), version $(tr -d ' \r\n' <"$TB_ROOT/installer/VERSION").

On a Windows test machine (not one you depend on), from an elevated prompt:

    run-tests.cmd

Keep the kit in a folder only administrators can write (not Downloads): it
runs every tests\\*_test.exe and the packages elevated.

It saves what it will change in saved-state.txt here (the class the shell
opens http and https addresses with, and both registry views of
HKLM\\SOFTWARE\\Ostrel), makes tests\\recorder.exe the browser (for the user's
choice of browser it redirects the class that choice names, since the choice
itself cannot be written), runs every test program, among them
package_test.exe, the package's life (install, reinstall, repair, upgrade,
refused downgrade, uninstall, over 1.0.0, a signed package; msiexec's
verbose logs in logs\\), puts everything back, and ends with one line:
N passed, N failed.  The package's life is not tried where Ostrel Agent is
installed already (any version, either width, any folder: its cases fail,
saying so), and what a failed step installed is removed.  Ctrl+C stops the
run and ends what it started, but an msiexec step under way is let finish
(5 minutes at most) and what it installed is then removed; then everything
is put back (exit code 3).  After a closed window or a reboot, restore.cmd
puts the browser back (an installation left by then: msiexec /x it).

Several users: after each install the package's cases expect one agent in
every session with a signed-in user (whichever account this prompt was
elevated with), each in its own session.  To see it, sign in a second user
(Switch user, or a remote desktop session) and leave that session signed
in, then run run-tests.cmd from the first: the install cases must find two
agents, one per session; the upgrade and the uninstall end both.  With the
second user signed out again, one.

What else only a run here can show: UAC (run the package from a standard
user's prompt: the agent must start unelevated), Restart Manager (an
updater closing the agent), and 64-bit Windows' registry and file-system
views for the 32-bit agent.
EOF
}

build_kit() {
    local outdir=$1 version name dir f
    version=$(tr -d ' \r\n' <"$TB_ROOT/installer/VERSION")
    name=ostrel-agent-test-kit-$version-$TB_PLATFORM
    dir=$outdir/$name
    rm -rf "$dir" "$dir.zip" && mkdir -p "$dir/bin" "$dir/tests" "$dir/packages" || { kit_fail "cannot create $dir"; return; }
    for f in agent.exe HIDUSB.dll hidusb-send.exe; do
        cp "$TB_TREE/bin/$f" "$dir/bin/" || { kit_fail "missing $TB_TREE/bin/$f"; return; }
    done
    # The test programs (every *_test.exe, which the runner runs) and their
    # helpers, without their symbols; HIDUSB.dll beside the library's own
    # test, which imports it.
    for f in "$TB_TREE"/tests/*_test.exe "$TB_TREE"/tests/{recorder,session-tool,kit-runner}.exe; do
        "$TB_TRIPLET-strip" -o "$dir/tests/${f##*/}" "$f" || { kit_fail "missing $f"; return; }
    done
    cp "$TB_TREE/bin/HIDUSB.dll" "$dir/tests/"
    # The build made them (the signing CA lives elsewhere, never shipped).
    for f in released current next failing signed; do
        mkdir -p "$dir/packages/$f" && cp "$TB_TREE/packages/$f/"*.msi "$dir/packages/$f/" \
            || { kit_fail "no $f package in $TB_TREE/packages (built by the build)"; return; }
    done
    kit_scripts "$dir"
    ( cd "$outdir" && cmake -E tar cf "$name.zip" --format=zip "$name" ) || { kit_fail "cannot zip $dir"; return; }
    printf '%s\n' "$dir.zip"
}
