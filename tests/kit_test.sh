#!/usr/bin/env bash
# The Windows test kit, proven as far as Wine can: built as ./dev windows-kit
# builds it, unpacked into a bare prefix of its own (Wine's own browser, as a
# Windows machine keeps its own), run-tests.cmd run through Wine's cmd must
# pass and leave the prefix's http and https handlers and the product's keys
# as it found them; and after a run interrupted once the browser was
# redirected, restore.cmd must put them back.
#
# Usage: kit_test.sh CONFIG   (TESTBED_CONFIG takes its place)
set -uo pipefail
[ $# -eq 1 ] || { sed -n '2,9p' "$0"; exit 2; }
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$HERE/testbed.sh"
testbed_use "${TESTBED_CONFIG:-$1}" || exit 2
source "$HERE/windows_kit.sh"
PREFIX=$TB_HOME/kit-prefix
source "$HERE/checks.sh"

# What the kit may change and must put back, as Wine's reg shows it: the
# classes it redirects, machine-wide and the user's own (in a new prefix
# HKCU\Software\Classes itself may not exist yet; on Windows it always does,
# and the kit leaves it in place).
snapshot() {
    local key view
    for key in 'HKCR\http' 'HKCR\https' 'HKCU\Software\Classes\http' 'HKCU\Software\Classes\https'; do
        "$TB_LOADER" reg query "$key" /s
    done
    for view in /reg:32 /reg:64; do "$TB_LOADER" reg query 'HKLM\SOFTWARE\Ostrel' /s $view; done
}
# unchanged OK FAIL: the snapshot is what it was before the run, or the two
# side by side where they differ.
unchanged() {
    local now
    now=$(snapshot 2>&1)
    [ "$now" = "$BEFORE" ] && { ok "$1"; return; }
    say "before the run (<) and now (>):"
    diff <(printf '%s\n' "$BEFORE") <(printf '%s\n' "$now") | sed 's/^/  /'
    fail "$2"
}
kit_cmd() { "$TB_LOADER" cmd /c "C:\\$NAME\\$1" </dev/null; }

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
last=$(tr -d '\r' <"$TB_HOME/kit-run.log" | tail -1)
[ "$rc" -eq 0 ] && [[ $last =~ ^[1-9][0-9]*\ passed,\ 0\ failed$ ]] \
    && ok "run-tests.cmd passed: $last ($((SECONDS - start)) s)" || fail "run-tests.cmd exited $rc: $last"
programs=$(ls "$PREFIX/drive_c/$NAME/tests/"*_test.exe | wc -l)
ran=$(tr -d '\r' <"$TB_HOME/kit-run.log" | grep -cE '^kit: [a-z_]+\.exe: [1-9][0-9]* passed, 0 failed')
[ "$ran" -eq "$programs" ] && ok "each of the kit's $programs test programs ran and passed cases of the filter" \
    || fail "$ran of the kit's $programs test programs ran cases of the filter (a case renamed?)"
unchanged "the browser and the product's keys are as they were" "the run left the browser or the product's keys changed"
[ ! -e "$PREFIX/drive_c/$NAME/saved-state.txt" ] || fail "the run left its saved state behind"
export_https after
cmp -s "$PREFIX/drive_c/https-before.reg" "$PREFIX/drive_c/https-after.reg" \
    && ok "a description outside the code page came back byte for byte" \
    || fail "the run changed HKCR\\https: $(iconv -f UTF-16LE -t UTF-8 "$PREFIX/drive_c/https-after.reg" | grep Desc)"

# Ctrl+C (Wine makes a SIGINT one) while a test program runs: the run ends
# what it started, puts everything back and exits 3.
kit_cmd 'run-tests.cmd --gtest_filter=AgentTest.*' >"$TB_HOME/kit-interrupted.log" 2>&1 &
run=$!
KIT_TESTS="C:.$NAME.tests."
testbed_wait 60 pgrep -f "${KIT_TESTS}agent_test.exe" >/dev/null || fail "the interrupted run never started agent_test.exe"
pkill -INT -f "${KIT_TESTS}kit-runner.exe"
wait "$run"
rc=$?
interrupted=$(tr -d '\r' <"$TB_HOME/kit-interrupted.log")
[ "$rc" -eq 3 ] && grep -q '^kit: interrupted' <<<"$interrupted" \
    && grep -q '^FAIL agent_test.exe did not finish (exit code 3' <<<"$interrupted" \
    && ! grep -q 'package_test.exe' <<<"$interrupted" && testbed_wait 10 eval '! pgrep -f "$KIT_TESTS" >/dev/null' \
    && ok "an interrupted run ended the program it ran, went no further and exited 3" \
    || fail "an interrupted run exited $rc, with $(pgrep -fc "$KIT_TESTS") of its programs left: $(tail -2 "$TB_HOME/kit-interrupted.log")"
unchanged "an interrupted run put everything back" "an interrupted run left the browser or the product's keys changed"
[ ! -e "$PREFIX/drive_c/$NAME/saved-state.txt" ] || fail "the interrupted run left its saved state behind"

# Ctrl+C while the package's life installs: the msiexec step under way
# finishes (ending its client would leave Windows Installer going on, and
# the clean-up's removal refused), what it installed is removed, no other
# step runs, and the run exits 3 with everything put back.
KIT_LOGS=$PREFIX/drive_c/$NAME/logs
rm -f "$KIT_LOGS"/Upgrade-*.log
kit_cmd 'run-tests.cmd --gtest_filter=PackageLife.Upgrade' >"$TB_HOME/kit-interrupted-package.log" 2>&1 &
run=$!
testbed_wait 60 eval '[ -e "$KIT_LOGS/Upgrade-install.log" ]' || fail "the interrupted run never started the package's first step"
pkill -INT -f "${KIT_TESTS}kit-runner.exe"
wait "$run"
rc=$?
steps=$(tr -d '\r' <"$KIT_LOGS/package_test.exe.txt" 2>/dev/null | grep '^  msiexec ')
installed=$(compgen -G "$PREFIX/drive_c/Program Files*/Ostrel Agent")
[ "$rc" -eq 3 ] && grep -q '^kit: interrupted' "$TB_HOME/kit-interrupted-package.log" \
    && ! grep -qv 'exit code 0,\|not run, the run was interrupted' <<<"$steps" && [ -z "$installed" ] \
    && ok "an interrupted package step finished, what it installed was removed, and the run exited 3 ($(grep -c 'exit code 0,' <<<"$steps") msiexec run(s) finished, $(grep -c 'not run' <<<"$steps") not started)" \
    || fail "an interrupted package step: exit code $rc, ${installed:-nothing} left installed, its steps: $steps"
unchanged "a run interrupted in the package's life put everything back" \
    "a run interrupted in the package's life left the browser or the product's keys changed"

# A run interrupted after it redirected the browser: restore.cmd puts it back.
kit_cmd 'tests\kit-runner.exe redirect' >/dev/null 2>&1
[ "$(snapshot 2>&1)" != "$BEFORE" ] || fail "the interrupted run did not redirect the browser"
kit_cmd restore.cmd >/dev/null 2>&1 || fail "restore.cmd failed"
unchanged "after an interrupted run, restore.cmd put everything back" "restore.cmd left the browser or the product's keys changed"

# A machine with an installation of its own, in a folder of its choosing:
# the kit does not try the package's life there (its cases fail, saying
# so, and install nothing), and leaves it as it was.
RELEASED="C:\\$NAME\\packages\\released\\ostrel-agent-1.0.0-demo-$TB_PLATFORM.msi"
testbed_quiet msiexec /i "$RELEASED" /qn 'INSTALLDIR=C:\Tools\Ostrel' \
    && [ -f "$PREFIX/drive_c/Tools/Ostrel/agent.exe" ] || fail "installing 1.0.0 in C:\\Tools\\Ostrel as the machine's own"
kit_cmd 'run-tests.cmd --gtest_filter=PackageLife.Install' >"$TB_HOME/kit-installed.log" 2>&1
rc=$?
package_log=$(tr -d '\r' <"$PREFIX/drive_c/$NAME/logs/package_test.exe.txt" 2>/dev/null)
tr -d '\r' <"$TB_HOME/kit-installed.log" | grep -q '^kit: package_test.exe: 0 passed, 1 failed' && [ "$rc" -eq 1 ] \
    && grep -q 'is installed on this machine, and it is left alone' <<<"$package_log" \
    && ! grep -q '  msiexec ' <<<"$package_log" \
    && ok "with Ostrel Agent installed, the package's life is not tried (and the run fails, saying so)" \
    || fail "with Ostrel Agent installed, the kit exited $rc: $(tr -d '\r' <"$TB_HOME/kit-installed.log" | grep package_test)"
testbed_quiet msiexec /x "$RELEASED" /qn \
    && ok "the machine's own installation is still there afterwards" || fail "the kit removed the machine's own installation"
