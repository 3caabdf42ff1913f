# The Windows test kit: everything needed to run the tests on a Windows test
# machine, in one zip per width.  Sourced by ./dev (windows-kit) and by the
# kit's own test (kit_test.sh); takes the configuration in hand from
# tests/testbed.sh (testbed_use) and build_package from installer/package.sh.
#
#   build_kit OUTDIR    OUTDIR/<name>/ and OUTDIR/<name>.zip; prints the zip
#   kit_verdict LOG     whether the run whose output LOG holds passed
#
# kit_verdict needs nothing else: the Windows job of the workflow
# (.github/workflows/windows.yml) sources this file in Git Bash for it.
#
# The kit holds the shipped files (bin\), the test programs with the
# recorder, session-tool and the runner (tests\), the released 1.0.0 package
# and the current one (packages\), run-tests.cmd, restore.cmd and README.txt.

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
itself cannot be written), runs every test program, installs the 1.0.0
package, installs this version over it and uninstalls it (verbose logs in
logs\\), puts everything back, and ends with one line: N passed, N failed.
The package's life is not tried where Ostrel Agent is installed already
(any version, either width, any folder), and what a failed step installed
is removed.  Ctrl+C stops the run, ends what it started and puts everything
back (exit code 3); after a closed window or a reboot, restore.cmd does.

What only a run here can show: other sessions (sign in a second user and
leave an agent running in that session: the upgrade and the uninstall must
end it), UAC (run the package from a standard user's prompt: the agent must
start unelevated), Restart Manager (an updater closing the agent), and
64-bit Windows' registry and file-system views for the 32-bit agent.
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
    cp "$TB_ROOT/installer/released/ostrel-agent-1.0.0-demo-$TB_PLATFORM.msi" "$dir/packages/" \
        || { kit_fail "no released 1.0.0 package for $TB_PLATFORM"; return; }
    build_package "$TB_TREE/bin" "$TB_PLATFORM" "$dir/packages" >/dev/null 2>"$dir.err" \
        || { kit_fail "building the package failed: $(tail -1 "$dir.err")"; return; }
    rm -f "$dir.err"
    rm -f "$dir/packages/SHA256SUMS"
    kit_scripts "$dir"
    ( cd "$outdir" && cmake -E tar cf "$name.zip" --format=zip "$name" ) || { kit_fail "cannot zip $dir"; return; }
    printf '%s\n' "$dir.zip"
}
