#!/usr/bin/env bash
# The Windows test kit, proven as far as Wine can: built as ./dev windows-kit
# builds it, unpacked into a bare prefix of its own (Wine's own browser, as a
# Windows machine keeps its own), run-tests.cmd run through Wine's cmd must
# pass and leave the prefix's http and https handlers and the product's keys
# as it found them; and after a run interrupted once the browser was
# redirected, restore.cmd must put them back.  Every step stands on the one
# before it: the first check that fails ends the test.
#
# Usage: kit_test.sh CONFIG   (TESTBED_CONFIG takes its place)
set -uo pipefail
[ $# -eq 1 ] || { sed -n '2,9p' "$0"; exit 2; }
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$HERE/../testbed.sh"
testbed_use "${TESTBED_CONFIG:-$1}" || exit 2
source "$HERE/windows_kit.sh"
PREFIX=$TB_HOME/kit-prefix
CHECKS_STOP=1
source "$HERE/../checks.sh"

# What the kit may change and must put back, as Wine's reg shows it: the
# classes it redirects, machine-wide and the user's own (in a new prefix
# HKCU\Software\Classes itself may not exist yet; on Windows it always does,
# and the kit leaves it in place).
snapshot() {
    local key view
    for key in 'HKCR\http' 'HKCR\https' 'HKCU\Software\Classes\http' 'HKCU\Software\Classes\https'; do
        "${TB_START[@]}" reg query "$key" /s
    done
    for view in /reg:32 /reg:64; do "${TB_START[@]}" reg query 'HKLM\SOFTWARE\Ostrel' /s $view; done
}
# unchanged OK FAIL: the snapshot is what it was before the run, or the two
# side by side where they differ.
unchanged() {
    local now
    now=$(snapshot 2>&1)
    [ "$now" = "$BEFORE" ] && { ok "$1"; return; }
    say "before the run (<) and now (>):"
    diff <(printf '%s\n' "$BEFORE") <(printf '%s\n' "$now") | sed 's/^/  /'
    bad "$2"
}
no_saved_state() { [ ! -e "$PREFIX/drive_c/$NAME/saved-state.txt" ]; }
kit_cmd() { "${TB_START[@]}" cmd /c "C:\\$NAME\\$1" </dev/null; }

# The cases the kit's run takes from each test program: every case already
# runs in this configuration's own suite, so the kit's run needs only those
# that rest on what the runner sets up (the recorder as the browser, the
# fixture's preconditions), and one case of each program to show it is run
# and counted.
FILTER=HidUsbChannel.DeliversEachRequestOnceInOrderWithWindowAnswer:IsQuitCommand.*:AgentResources.*
FILTER+=:AgentTest.ProductNotInstalledOpensWebSite:AgentTest.WebSiteIsNeverTakenForAPlantedProgram
FILTER+=:AgentTest.LaunchStartsFirstProgramThereInItsDirectory
# The package's life as the kit's machine lives it: 1.0.0, this version
# over it, and the uninstall that every case's clean-up makes.
FILTER+=:PackageLife/OverReleased.UpgradeEndsTheReleasedAgent/Here

# What a killed run left running there would be found by this run's checks;
# and a run killed before it put the browser back leaves its saved state, and
# a prefix that is no longer as Wine made it: that one is made again.
testbed_stop "$PREFIX"
# So does one that failed with Ostrel Agent installed, whose package cases
# would take that for the machine's own installation.
if compgen -G "$PREFIX/drive_c/*/saved-state.txt" >/dev/null || [ -e "$PREFIX/drive_c/Tools/Ostrel" ] ||
    compgen -G "$PREFIX/drive_c/Program Files*/Ostrel Agent" >/dev/null; then
    say "kit: an earlier run did not finish; making the prefix again"
    rm -rf "$PREFIX"
fi
out=$(testbed_prefix "$PREFIX" bare) || fail "cannot create the prefix $PREFIX: $out"
trap 'testbed_stop "$PREFIX"' EXIT
testbed_env "$PREFIX"
testbed_start "$PREFIX"

ZIP=$(build_kit "$TB_HOME/kit") || fail "building the kit"
NAME=$(basename "$ZIP" .zip)
say "kit: $(basename "$ZIP"), $(stat -c %s "$ZIP") bytes"
rm -rf "$PREFIX/drive_c/$NAME"
(cd "$PREFIX/drive_c" && cmake -E tar xf "$ZIP") || fail "unpacking the kit"

# A browser's description in its own language, outside any code page: what
# the kit puts back must be that, byte for byte (reg export keeps it whole).
testbed_quiet reg add 'HKCR\https' /v Description /d 'Navigateur – é ü 日本' /f
export_https() { testbed_quiet reg export 'HKCR\https' "C:\\https-$1.reg" /y; }
export_https before
BEFORE=$(snapshot 2>&1)
start=$SECONDS
kit_cmd "run-tests.cmd --gtest_filter=$FILTER" >"$TB_HOME/kit-run.log" 2>&1
rc=$?
tr -d '\r' <"$TB_HOME/kit-run.log" | sed 's/^/  | /'
check "run-tests.cmd exited 0 after $((SECONDS - start)) s" [ "$rc" -eq 0 ]
check "its closing line counts cases passed and none failed" kit_verdict "$TB_HOME/kit-run.log"
programs=$(ls "$PREFIX/drive_c/$NAME/tests/"*_test.exe | wc -l)
ran=$(tr -d '\r' <"$TB_HOME/kit-run.log" | grep -cE '^kit: [a-z_]+\.exe: [1-9][0-9]* passed, 0 failed')
check "each of the kit's $programs test programs ran and passed cases of the filter ($ran did)" \
    [ "$ran" -eq "$programs" ]
unchanged "the browser and the product's keys are as they were" "the run left the browser or the product's keys changed"
check "the run left no saved state behind" no_saved_state
export_https after
cmp -s "$PREFIX/drive_c/https-before.reg" "$PREFIX/drive_c/https-after.reg" \
    && ok "a description outside the code page came back byte for byte" \
    || bad "the run changed HKCR\\https: $(iconv -f UTF-16LE -t UTF-8 "$PREFIX/drive_c/https-after.reg" | grep Desc)"

# Ctrl+C (Wine makes a SIGINT one) while a test program runs: the run ends
# what it started, puts everything back and exits 3.  The run has a session
# of its own (setsid), so that its runner is found among the processes this
# test started, never by a name on the machine; the programs the runner
# starts get sessions of their own (Wine gives one to a program started with
# a console of its own, CREATE_NO_WINDOW), and are seen in the kit's own
# prefix by session-tool.
KIT_WIN="C:\\$NAME"
# images PROGRAM COUNT LOOKS: session-tool waits (10 s a look) until exactly
# COUNT processes of this prefix run the kit's tests\PROGRAM.
images() {
    local look
    for ((look = 0; look < $3; look++)); do
        testbed_run "$KIT_WIN\\tests\\session-tool.exe" images "$KIT_WIN\\tests\\$1" "$2" \
            </dev/null >"$TB_HOME/kit-images.txt" 2>&1 && return 0
    done
    return 1
}
# run_members PROGRAM: the processes of the run's session that run PROGRAM
# (Wine's loader names a process by its Windows path).
run_members() {
    local pid
    for pid in $(ps -o pid= -s "$run"); do
        [ "$(tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | head -1)" = "$1" ] && echo "$pid"
    done
}
run_ended() { ! ps -o stat= -s "$run" | grep -qv '^Z'; }
session_of() { [ "$(ps -o sid= -p "$1" | tr -d ' ')" = "$1" ]; }
setsid "${TB_START[@]}" cmd /c "$KIT_WIN\\run-tests.cmd --gtest_filter=AgentTest.*" </dev/null >"$TB_HOME/kit-interrupted.log" 2>&1 &
run=$!
# (setsid makes it so once it runs, which may be a moment after the fork)
check "the interrupted run has a session of its own" testbed_wait 5 session_of "$run"
check "the interrupted run started agent_test.exe" images agent_test.exe 1 6
runner=$(run_members "$KIT_WIN\\tests\\kit-runner.exe")
check "its runner is one process of that session (${runner:-none})" [ "$(wc -w <<<"$runner")" -eq 1 ]
kill -INT "$runner"
wait "$run"
rc=$?
# (Whole logs as here-strings: under pipefail, grep -q stopping at its match
# would fail a pipe whose writer had more to give.)
said() { grep -q "$2" <<<"$(tr -d '\r' <"$TB_HOME/kit-$1.log")"; }
check "an interrupted run exits 3 (it exited $rc)" [ "$rc" -eq 3 ]
check "... says it was interrupted" said interrupted '^kit: interrupted'
check "... ended the program it ran" said interrupted '^FAIL agent_test.exe did not finish (exit code 3'
check "... and went no further" not said interrupted 'package_test.exe'
check "no agent_test.exe is left in the prefix" images agent_test.exe 0 1
# (a process Windows has seen end may still be leaving, as a Unix process)
check "nothing of the run's own session is left" testbed_wait 10 run_ended
unchanged "an interrupted run put everything back" "an interrupted run left the browser or the product's keys changed"
check "the interrupted run left no saved state behind" no_saved_state

# Ctrl+C while the package's life installs: the msiexec step under way
# finishes (ending its client would leave Windows Installer going on, and
# the clean-up's removal refused), what it installed is removed, no other
# step starts, and the run exits 3 with everything put back.
KIT_LOGS=$PREFIX/drive_c/$NAME/logs
rm -f "$KIT_LOGS"/Upgrade-*.log
setsid "${TB_START[@]}" cmd /c "$KIT_WIN\\run-tests.cmd --gtest_filter=PackageLife.Upgrade" </dev/null \
    >"$TB_HOME/kit-interrupted-package.log" 2>&1 &
run=$!
check "the run interrupted in the package's life has a session of its own" testbed_wait 5 session_of "$run"
first_step_started() { [ -e "$KIT_LOGS/Upgrade-install.log" ]; }
check "it started the package's first step" testbed_wait 60 first_step_started
runner=$(run_members "$KIT_WIN\\tests\\kit-runner.exe")
check "its runner is one process of that session (${runner:-none})" [ "$(wc -w <<<"$runner")" -eq 1 ]
kill -INT "$runner"
wait "$run"
rc=$?
steps=$(tr -d '\r' <"$KIT_LOGS/package_test.exe.txt" 2>/dev/null | grep '^  msiexec ')
say "$steps"
finished() { [ -n "$steps" ] && not grep -qv 'exit code 0,\|not run, the run was interrupted' <<<"$steps"; }
left() { compgen -G "$PREFIX/drive_c/Program Files*/Ostrel Agent" >/dev/null; }
check "a run interrupted in the package's life exits 3 (it exited $rc)" [ "$rc" -eq 3 ]
check "... says it was interrupted" said interrupted-package '^kit: interrupted'
check "... let every msiexec step it started finish, and started no other" finished
check "... and left nothing installed" not left
check "nothing of that run's session is left" testbed_wait 10 run_ended
unchanged "a run interrupted in the package's life put everything back" \
    "a run interrupted in the package's life left the browser or the product's keys changed"

# A run interrupted after it redirected the browser: restore.cmd puts it back.
kit_cmd 'tests\kit-runner.exe redirect' >/dev/null 2>&1
redirected() { [ "$(snapshot 2>&1)" != "$BEFORE" ]; }
check "a run stopped once it redirected the browser left it redirected" redirected
restore() { kit_cmd restore.cmd >/dev/null 2>&1; }
check "restore.cmd exited 0" restore
unchanged "after an interrupted run, restore.cmd put everything back" "restore.cmd left the browser or the product's keys changed"

# A machine with an installation of its own, in a folder of its choosing:
# the kit does not try the package's life there (its cases fail, saying
# so, and install nothing), and leaves it as it was.
RELEASED="C:\\$NAME\\packages\\released\\ostrel-agent-1.0.0-demo-$TB_PLATFORM.msi"
testbed_quiet msiexec /i "$RELEASED" /qn 'INSTALLDIR=C:\Tools\Ostrel' \
    && [ -f "$PREFIX/drive_c/Tools/Ostrel/agent.exe" ] || fail "installing 1.0.0 in C:\\Tools\\Ostrel as the machine's own"
kit_cmd 'run-tests.cmd --gtest_filter=PackageLife.Install' >"$TB_HOME/kit-installed.log" 2>&1
rc=$?
package_log() { grep -q "$1" <<<"$(tr -d '\r' <"$PREFIX/drive_c/$NAME/logs/package_test.exe.txt")"; }
check "with Ostrel Agent installed, the run fails (exit code $rc)" [ "$rc" -eq 1 ]
check "... its package case failing" said installed '^kit: package_test.exe: 0 passed, 1 failed'
check "... saying so" package_log 'is installed on this machine, and it is left alone'
check "... and runs no msiexec" not package_log '^  msiexec '
check "the machine's own installation is still there afterwards (it uninstalls)" testbed_quiet msiexec /x "$RELEASED" /qn
verdict kit
