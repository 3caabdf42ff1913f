#!/usr/bin/env bash
# The package's life under Wine, through the real msiexec, run silently:
# install, reinstall, upgrade, refused downgrade, uninstall, and an install
# that does not start the agent.  Each case checks msiexec's exit code.
#
# Usage: installer_test.sh CONFIG
#   CONFIG  the test bed's configuration (tests/testbed.sh) whose shipped
#           files are packaged and installed; TESTBED_CONFIG takes its place
# The packages are built in <its home>/installer-packages and installed in a
# prefix of the test's own, <its home>/installer-prefix, whose wineserver is
# stopped at the end.  AGENT_STOP may name agent-stop.exe (see package.sh).
# Prints one line per check; exits 1 naming the failed case.
set -uo pipefail
[ $# -eq 1 ] || { sed -n '2,12p' "$0"; exit 2; }
source "$(dirname "${BASH_SOURCE[0]}")/../tests/testbed.sh"
testbed_use "${TESTBED_CONFIG:-$1}" || exit 2
WINE=$TB_LOADER PREFIX=$TB_HOME/installer-prefix PKGDIR=$TB_HOME/installer-packages
BINDIR=$TB_TREE/bin TESTBINDIR=$TB_TREE/tests PLATFORM=$TB_PLATFORM
source "$(dirname "${BASH_SOURCE[0]}")/package.sh"

OLD_VERSION=1.0.1 NEW_VERSION=1.0.2
RUN_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
PRODUCT_KEY='HKLM\SOFTWARE\Ostrel\Corrandel'
PRODUCT_DIR='C:\Ostrel Product'
# Windows' exit code for a fatal install error; the shell sees it modulo 256.
ERROR_INSTALL_FAILURE=$((1603 % 256))

testbed_env "$PREFIX"

CASE=setup
say() { printf '%s\n' "$*"; }
fail() { say "FAIL [$CASE] $*"; exit 1; }
ok() { say "ok   [$CASE] $*"; }
check() { local what=$1; shift; "$@" && ok "$what" || fail "$what"; }
wine_quiet() { "$WINE" "$@" </dev/null >/dev/null 2>&1; }

# The registry view and the Program Files folder the agent of this width uses.
if [ "$PLATFORM" = x64 ]; then VIEW=/reg:64; else VIEW=/reg:32; fi
program_files() {
    if [ "$PLATFORM" = x86 ] && [ -d "$PREFIX/drive_c/windows/syswow64" ]; then
        echo 'C:\Program Files (x86)'
    else
        echo 'C:\Program Files'
    fi
}

unix_path() { "$WINE" winepath -u "$1" </dev/null 2>/dev/null; }
reg_value() { reg_value_in "$VIEW" "$@"; }
reg_value_in() { local view=$1; shift; "$WINE" reg query "$1" /v "$2" $view </dev/null 2>/dev/null | tr -d '\r' \
    | awk -v n="$2" '$1 == n && $2 ~ /^REG_/ { sub(/^[ \t]*[^ \t]+[ \t]+REG_[A-Z_]+[ \t]+/, ""); print; f = 1 } END { exit !f }'; }

# ------------------------------------------------------------- msiexec
MSI_SECONDS=
msiexec_rc() {   # msiexec_rc EXPECTED ARGS...: runs it, records the time taken
    local want=$1 start rc; shift
    start=$(date +%s%N)
    wine_quiet msiexec "$@" /qn
    rc=$?
    MSI_SECONDS=$(awk -v ns=$(( $(date +%s%N) - start )) 'BEGIN { printf "%.2f", ns / 1e9 }')
    [ "$rc" -eq "$want" ] && ok "msiexec $* exited $rc (${MSI_SECONDS} s)" || fail "msiexec $* exited $rc, not $want"
}
win_package() { "$WINE" winepath -w "$1" </dev/null 2>/dev/null | tr -d '\r'; }

# ------------------------------------------------------------- the agent
agent_status() {   # 0 one agent, 3 none, 4 several (hidusb-send status)
    wine_quiet "$BINDIR/hidusb-send.exe" status; echo $?
}
agent_window() { "$WINE" "$BINDIR/hidusb-send.exe" status </dev/null 2>/dev/null | awk '{ print $2 }'; }
# The agent is started without waiting for it: poll until it is there (or gone).
agent_is() { [ "$(agent_status)" = "$1" ]; }
agent_becomes() { testbed_wait 10 agent_is "$1"; }
one_agent() { agent_becomes 0 && sleep 1 && [ "$(agent_status)" = 0 ]; }   # and no second one follows
no_agent() { agent_becomes 3 && sleep 1 && [ "$(agent_status)" = 3 ]; }

product_records() { cat "$PRODUCT_UNIX/Vorq.exe.log" 2>/dev/null | wc -l; }
launch_starts_product() {
    local before
    before=$(product_records)
    wine_quiet "$BINDIR/hidusb-send.exe" launch || return 1
    testbed_wait 5 eval '[ "$(product_records)" -gt "$before" ]'
    tail -n1 "$PRODUCT_UNIX/Vorq.exe.log" 2>/dev/null | tr -d '\r' | grep -qiF "$PRODUCT_DIR\\Vorq.exe|$PRODUCT_DIR|"
}

# ------------------------------------------------------------- what is installed
installed_state() {   # files' checksums and the Run value, to compare runs
    ( cd "$INSTALL_UNIX" 2>/dev/null && sha1sum * ); reg_value "$RUN_KEY" OstrelAgent
}
files_installed() { [ -f "$INSTALL_UNIX/agent.exe" ] && [ -f "$INSTALL_UNIX/HIDUSB.dll" ]; }
run_value_right() { [ "$(reg_value "$RUN_KEY" OstrelAgent)" = "\"$INSTALL_WIN\\agent.exe\"" ]; }
nothing_left() { [ ! -e "$INSTALL_UNIX" ] && ! reg_value "$RUN_KEY" OstrelAgent >/dev/null; }
product_key_untouched() { [ "$(reg_value "$PRODUCT_KEY" InstallDir)" = "$PRODUCT_DIR" ] && [ -f "$PRODUCT_UNIX/Vorq.exe" ]; }
installed_version() {   # the DisplayVersion Windows Installer registered for a package
    local code
    code=$(msiinfo export "$1" Property | awk '$1 == "ProductCode" { print $2 }' | tr -d '\r')
    # Where Windows Installer registers products is its own affair: try both views.
    local key="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$code"
    reg_value_in /reg:64 "$key" DisplayVersion || reg_value_in /reg:32 "$key" DisplayVersion
}

# ------------------------------------------------------------- the cases
case_install() {
    msiexec_rc 0 /i "$OLD_WIN"
    TIMES+=" install=$MSI_SECONDS"
    check "agent.exe and HIDUSB.dll in $INSTALL_WIN" files_installed
    check "Run value is the quoted agent path in the agent's registry view" run_value_right
    check "one agent running" one_agent
    check "a launch event starts $PRODUCT_DIR\\Vorq.exe there" launch_starts_product
}

case_reinstall() {
    local state window
    state=$(installed_state) window=$(agent_window)
    msiexec_rc 0 /i "$OLD_WIN"
    check "files and Run value unchanged" [ "$(installed_state)" = "$state" ]
    check "exactly one agent, the same one" eval 'one_agent && [ "$(agent_window)" = "$window" ]'
}

case_upgrade() {
    local window
    window=$(agent_window)
    msiexec_rc 0 /i "$NEW_WIN"
    TIMES+=" upgrade=$MSI_SECONDS"
    check "version $NEW_VERSION registered, $OLD_VERSION gone" \
        eval '[ "$(installed_version "$NEW_PKG")" = "$NEW_VERSION" ] && ! installed_version "$OLD_PKG" >/dev/null'
    check "files in place and Run value kept" eval 'files_installed && run_value_right'
    check "the old agent quit and one new agent runs" eval 'one_agent && [ "$(agent_window)" != "$window" ]'
    check "a launch event starts the product" launch_starts_product
}

case_downgrade() {
    local window
    window=$(agent_window)
    msiexec_rc "$ERROR_INSTALL_FAILURE" /i "$OLD_WIN"
    check "version $NEW_VERSION still registered" [ "$(installed_version "$NEW_PKG")" = "$NEW_VERSION" ]
    check "files and Run value still there" eval 'files_installed && run_value_right'
    check "the same agent still runs" eval 'one_agent && [ "$(agent_window)" = "$window" ]'
    check "a launch event starts the product" launch_starts_product
}

case_uninstall() {
    msiexec_rc 0 /x "$NEW_WIN"
    TIMES+=" uninstall=$MSI_SECONDS"
    check "no agent left" no_agent
    check "files, folder and Run value gone" nothing_left
    check "$PRODUCT_KEY InstallDir and the product's folder untouched" product_key_untouched
    check "version $NEW_VERSION no longer registered" eval '! installed_version "$NEW_PKG" >/dev/null'
}

# Deployment without a user session: nothing starts, but the Run value's
# command, as a logon runs it, brings the agent up.
case_no_start() {
    msiexec_rc 0 /i "$NEW_WIN" START_AGENT=0
    check "no agent started" no_agent
    check "Run value in place" run_value_right
    # Unix argv cannot carry the value's quotes through verbatim; their
    # presence is checked above, so start the unquoted path.
    "$WINE" "$(reg_value "$RUN_KEY" OstrelAgent | tr -d '"')" </dev/null >/dev/null 2>&1 &
    check "the Run value's command starts the agent" one_agent
    msiexec_rc 0 /x "$NEW_WIN"
    check "uninstalled again, no agent" eval 'no_agent && nothing_left && product_key_untouched'
}

# ------------------------------------------------------------- run
out=$(testbed_prefix "$PREFIX") || fail "cannot create the prefix $PREFIX: $out"
trap 'testbed_stop "$PREFIX"' EXIT
testbed_start "$PREFIX"
remove_leftovers() {   # a prefix left by an interrupted run: take its product away
    local p
    for p in "$NEW_PKG" "$OLD_PKG"; do wine_quiet msiexec /x "$(win_package "$p")" /qn; done
    true
}

OLD_PKG=$(build_package "$BINDIR" "$PLATFORM" "$PKGDIR/old" "$OLD_VERSION") || fail "building $OLD_VERSION"
NEW_PKG=$(build_package "$BINDIR" "$PLATFORM" "$PKGDIR/new" "$NEW_VERSION") || fail "building $NEW_VERSION"
OLD_WIN=$(win_package "$OLD_PKG") NEW_WIN=$(win_package "$NEW_PKG")
say "packages: $(basename "$OLD_PKG") $(stat -c %s "$OLD_PKG") bytes, $(basename "$NEW_PKG") $(stat -c %s "$NEW_PKG") bytes"
remove_leftovers

INSTALL_WIN="$(program_files)\\Ostrel Agent" INSTALL_UNIX=$(unix_path "$(program_files)\\Ostrel Agent")
PRODUCT_UNIX=$(unix_path "$PRODUCT_DIR")
mkdir -p "$PRODUCT_UNIX" && cp "$TESTBINDIR/recorder.exe" "$PRODUCT_UNIX/Vorq.exe" && rm -f "$PRODUCT_UNIX/Vorq.exe.log"
wine_quiet reg add "$PRODUCT_KEY" /v InstallDir /d "$PRODUCT_DIR" /f $VIEW || fail "writing $PRODUCT_KEY"

TIMES=
for CASE in install reinstall upgrade downgrade uninstall no_start; do
    "case_$CASE"
done
CASE=all
ok "passed ($PLATFORM, $(basename "$WINE"), times:$TIMES)"
