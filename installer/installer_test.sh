#!/usr/bin/env bash
# The package's life under Wine, through the real msiexec, run silently
# with a verbose log per case: install, reinstall, repair, upgrade, refused
# downgrade, uninstall; installs that must not start the agent; and every
# running agent ended before its files change, wherever it runs (on a
# second desktop, out of a window lookup's reach as in another session, and
# hung), by an uninstall and by an upgrade over the released 1.0.0 package;
# and a signed package's install and uninstall.  Each case checks msiexec's
# exit code.
#
# Usage: installer_test.sh CONFIG
#   CONFIG  the test bed's configuration (tests/testbed.sh) whose shipped
#           files are packaged and installed; TESTBED_CONFIG takes its place
# The packages are built in <its home>/installer-packages and installed in a
# prefix of the test's own, <its home>/installer-prefix, whose wineserver is
# stopped at the end; the logs stay in that prefix's C:\installer-logs.
# Prints one line per check; exits 1 naming the failed case.
set -uo pipefail
[ $# -eq 1 ] || { sed -n '2,16p' "$0"; exit 2; }
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$HERE/../tests/testbed.sh"
testbed_use "${TESTBED_CONFIG:-$1}" || exit 2
PREFIX=$TB_HOME/installer-prefix PKGDIR=$TB_HOME/installer-packages
BINDIR=$TB_TREE/bin TESTBINDIR=$TB_TREE/tests PLATFORM=$TB_PLATFORM
OBJDUMP=$TB_TRIPLET-objdump
source "$HERE/package.sh"
source "$HERE/installer_checks.sh"
source "$HERE/test_certificates.sh"

VERSION=$(tr -d ' \r\n' <"$HERE/VERSION")
NEXT_VERSION=${VERSION%.*}.$((${VERSION##*.} + 1))
RELEASED_PKG=$HERE/released/ostrel-agent-1.0.0-demo-$PLATFORM.msi
RUN_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
PRODUCT_KEY='HKLM\SOFTWARE\Ostrel\Corrandel'
PRODUCT_DIR='C:\Ostrel Product'
LOGDIR_WIN='C:\installer-logs'
# Windows' exit code for a fatal install error; the shell sees it modulo 256.
ERROR_INSTALL_FAILURE=$((1603 % 256))
# ... and for a custom action that failed, which rolls the installation back.
ERROR_FUNCTION_FAILED=$((1627 % 256))
CASE=setup

# ------------------------------------------------------------- the cases
case_install() {
    msiexec_rc 0 /i "$CUR_WIN"
    TIMES+=" install=$MSI_SECONDS"
    check "agent.exe and HIDUSB.dll in $INSTALL_WIN, nothing else" only_current_files
    check "Run value is the quoted agent path in the agent's registry view" run_value_right
    check "one agent, started from the installed file by StartAgent in session 1" started_by_action
    check "a launch event starts $PRODUCT_DIR\\Vorq.exe there, shown normally" launch_starts_product
}

case_reinstall() {
    local state pids
    state=$(installed_state) pids=$(agent_pids | tr '\n' ' ')
    msiexec_rc 0 /i "$CUR_WIN"
    check "files and Run value unchanged" [ "$(installed_state)" = "$state" ]
    check "no agent was stopped, the same one runs" eval '! logged "StopAgents: asked" && same_agents "$pids"'
    check "StartAgent saw it and started no second one" logged "StartAgent: session 1: an agent already runs there (process ${pids% })"
}

# A repair that replaces every file (REINSTALLMODE a), as msiexec /fa does;
# Wine's msiexec does not take /f.
case_repair() {
    local pids
    pids=$(agent_pids | tr '\n' ' ')
    msiexec_rc 0 /i "$CUR_WIN" REINSTALL=ALL REINSTALLMODE=amus
    check "the agent quit before the files were checked" logged "StopAgents: agent ${pids% } quit"
    check "one new agent runs" one_new_agent "$pids"
}

case_upgrade() {
    local pids
    pids=$(agent_pids | tr '\n' ' ')
    msiexec_rc 0 /i "$NEXT_WIN"
    TIMES+=" upgrade=$MSI_SECONDS"
    check "version $NEXT_VERSION registered, $VERSION gone" \
        eval '[ "$(installed_version "$NEXT_PKG")" = "$NEXT_VERSION" ] && ! installed_version "$CUR_PKG" >/dev/null'
    check "files in place and Run value kept" eval 'only_current_files && run_value_right'
    check "the old agent quit, one new agent from the new files" \
        eval 'logged "StopAgents: agent ${pids% } quit" && one_new_agent "$pids"'
    check "a launch event starts the product" launch_starts_product
}

case_downgrade() {
    local pids
    pids=$(agent_pids | tr '\n' ' ')
    msiexec_rc "$ERROR_INSTALL_FAILURE" /i "$CUR_WIN"
    check "version $NEXT_VERSION still registered" [ "$(installed_version "$NEXT_PKG")" = "$NEXT_VERSION" ]
    check "files and Run value still there" eval 'files_installed && run_value_right'
    check "the same agent still runs" same_agents "$pids"
}

case_uninstall() {
    msiexec_rc 0 /x "$NEXT_WIN"
    TIMES+=" uninstall=$MSI_SECONDS"
    check "no agent left" no_agent
    check "files, folder and Run value gone" nothing_left
    check "$PRODUCT_KEY InstallDir and the product's folder untouched" product_key_untouched
    check "version $NEXT_VERSION no longer registered" eval '! installed_version "$NEXT_PKG" >/dev/null'
}

# Deployment without a start: nothing starts, but the Run value's command,
# as a logon runs it, brings the agent up.
case_no_start() {
    msiexec_rc 0 /i "$CUR_WIN" START_AGENT=0
    check "no agent started" eval 'no_agent && ! logged "StartAgent: session"'
    check "Run value in place" run_value_right
    # Unix argv cannot carry the value's quotes through verbatim; their
    # presence is checked above, so start the unquoted path.
    "$TB_LOADER" "$(reg_value "$RUN_KEY" OstrelAgent | tr -d '"')" </dev/null >/dev/null 2>&1 &
    check "the Run value's command starts the agent" one_new_agent ""
    msiexec_rc 0 /x "$CUR_WIN"
    check "uninstalled again, no agent" eval 'no_agent && nothing_left && product_key_untouched'
}

# The released 1.0.0 package removes only the agent its own user's window
# lookup finds; the new package must end the agents it does not.  One agent
# at a time: the agent's instance object is per session, and all of Wine's
# desktops share one.
released_upgrade() {
    local where=$1 pids
    msiexec_rc 0 /i "$RELEASED_WIN" ${2:-}
    [ "$where" = here ] || agent_elsewhere other >/dev/null || fail "no agent on the second desktop"
    agents 1 >/dev/null || fail "not exactly one 1.0.0 agent running"
    pids=$(agent_pids | tr '\n' ' ')
    check "one 1.0.0 agent runs ($where)" [ "$(echo $pids | wc -w)" -eq 1 ]
    msiexec_rc 0 /i "$CUR_WIN"
    check "1.0.0 gone, $VERSION registered, only its files" \
        eval '! installed_version "$RELEASED_PKG" >/dev/null && [ "$(installed_version "$CUR_PKG")" = "$VERSION" ] && only_current_files'
    check "the 1.0.0 agent ended before 1.0.0 was removed and any file changed" \
        eval 'logged_before "StopAgents: agent ${pids% } quit" "Action start .*: RemoveExistingProducts" &&
              logged_before "StopAgents: agent ${pids% } quit" "Action start .*: InstallFiles" &&
              [ -z "$(agents | grep "^${pids% } ")" ]'
    check "one new agent, from the new file" one_new_agent "$pids"
    msiexec_rc 0 /x "$CUR_WIN"
    check "uninstalled, no agent" eval 'no_agent && nothing_left'
}
case_released_upgrade_here() { released_upgrade here; }
case_released_upgrade_elsewhere() { released_upgrade "on a second desktop" START_AGENT=0; }

# Two agents out of the installing user's reach: one on a second desktop,
# and a hung one on a third (started suspended, it has no message queue, as
# an agent in another session cannot be posted to, nor takes the instance
# object, so it may run beside the first).  The first quits when asked; the
# hung one cannot be asked and is ended at once.
case_uninstall_elsewhere() {
    local pid hung
    msiexec_rc 0 /i "$CUR_WIN" START_AGENT=0
    pid=$(agent_elsewhere other) || fail "no agent on the second desktop"
    hung=$(agent_elsewhere hung --suspended) || fail "no hung agent on the third desktop"
    msiexec_rc 0 /x "$CUR_WIN"
    check "the agent on the second desktop quit" logged "StopAgents: agent $pid quit"
    check "the hung agent was ended at once" logged "StopAgents: agent $hung could not be asked to quit and was ended"
    check "no agent left, files, folder and Run value gone" eval 'no_agent && nothing_left'
}

# An installation that fails after StartAgent rolls back: the agent it
# started from the files it takes away must end with them.  The package is
# the current one with a deferred step after StartAgent that fails
# (cmd /c exit 3, its exit code checked).
case_rollback() {
    local failing=$PKGDIR/failing/$(basename "$CUR_PKG")
    mkdir -p "${failing%/*}" && cp "$CUR_PKG" "$failing" &&
    msibuild "$failing" \
        -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('FailAfterStart', $((34 | 0x400)), 'SystemFolder', '\"[SystemFolder]cmd.exe\" /c exit 3')" \
        -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('FailAfterStart', '', $(( $(field_seq StartAgent) + 1 )))" \
        || fail "making a package that fails after StartAgent"
    msiexec_rc "$ERROR_FUNCTION_FAILED" /i "$(testbed_winpath "$failing")"
    check "StartAgent started an agent before the failure" logged "StartAgent: session 1: started "
    check "the rollback ended it, and nothing is left" \
        eval 'logged "StopAgents: agent .* was ended\|StopAgents: agent .* quit" && no_agent && nothing_left'
}

# A package signed with a throwaway CA installs and uninstalls as the
# unsigned one does, and what it installs is the signed files.
case_signed() {
    local ca=$PKGDIR/signing
    make_test_ca "$ca/ca" "Installer Test Root" && make_code_signing "$ca/signer" "$ca/ca" "Installer Test Publisher" \
        || fail "making a throwaway certificate"
    SIGNED_PKG=$(SIGN_NO_TIMESTAMP=1 SIGN_PKCS12=$ca/signer/sign.p12 SIGN_PASSWORD_FILE=$ca/signer/password SIGN_CAFILE=$ca/ca/ca.pem \
        build_package "$BINDIR" "$PLATFORM" "$PKGDIR/signed" 2>/dev/null) || fail "building a signed package"
    msiexec_rc 0 /i "$(testbed_winpath "$SIGNED_PKG")"
    check "the installed agent.exe is the signed one, and it runs" \
        eval 'osslsigncode verify -in "$INSTALL_UNIX/agent.exe" -CAfile "$ca/ca/ca.pem" 2>&1 | grep -q "^Signature verification: ok" &&
              one_new_agent ""'
    msiexec_rc 0 /x "$(testbed_winpath "$SIGNED_PKG")"
    check "uninstalled, no agent" eval 'no_agent && nothing_left'
}

# ------------------------------------------------------------- run
out=$(testbed_prefix "$PREFIX") || fail "cannot create the prefix $PREFIX: $out"
trap 'testbed_stop "$PREFIX"' EXIT
# What a killed run left running there would be found by this run's checks.
testbed_stop "$PREFIX"
testbed_env "$PREFIX"
testbed_start "$PREFIX"
LOGDIR_UNIX=$(testbed_unixpath "$LOGDIR_WIN")
mkdir -p "$LOGDIR_UNIX"

CUR_PKG=$(build_package "$BINDIR" "$PLATFORM" "$PKGDIR/current") || fail "building $VERSION"
NEXT_PKG=$(build_package "$BINDIR" "$PLATFORM" "$PKGDIR/next" "$NEXT_VERSION") || fail "building $NEXT_VERSION"
[ -f "$RELEASED_PKG" ] || fail "no released 1.0.0 package at $RELEASED_PKG"
CUR_WIN=$(testbed_winpath "$CUR_PKG") NEXT_WIN=$(testbed_winpath "$NEXT_PKG") RELEASED_WIN=$(testbed_winpath "$RELEASED_PKG")
say "packages: $(for p in "$RELEASED_PKG" "$CUR_PKG" "$NEXT_PKG"; do printf '%s %s bytes; ' "$(basename "$p")" "$(stat -c %s "$p")"; done)"
INSTALL_WIN="$(program_files)\\Ostrel Agent" INSTALL_UNIX=$(testbed_unixpath "$(program_files)\\Ostrel Agent")
# A prefix left by an interrupted run: take its product away.
if [ -e "$INSTALL_UNIX" ]; then
    for p in "$NEXT_WIN" "$CUR_WIN" "$RELEASED_WIN"; do testbed_quiet msiexec /x "$p" /qn; done
fi
PRODUCT_UNIX=$(testbed_unixpath "$PRODUCT_DIR")
mkdir -p "$PRODUCT_UNIX" && cp "$TESTBINDIR/recorder.exe" "$PRODUCT_UNIX/Vorq.exe" && rm -f "$PRODUCT_UNIX/Vorq.exe.log"
testbed_quiet reg add "$PRODUCT_KEY" /v InstallDir /d "$PRODUCT_DIR" /f $VIEW || fail "writing $PRODUCT_KEY"

# wow64 runs the shipped package a second time, in a 64-bit prefix: there it
# takes the cases where the prefix's kind shows (Program Files (x86), the
# Run value and the product key in the 32-bit view, StopAgents finding a
# 32-bit agent); the rest does not depend on it and runs in x86.
# INSTALLER_CASES names the cases to run instead.
VIEW_CASES="install upgrade uninstall no_start released_upgrade_here"
ALL_CASES="install reinstall repair upgrade downgrade uninstall no_start
           released_upgrade_here released_upgrade_elsewhere uninstall_elsewhere rollback signed"
[ "$TB_CONFIG" = wow64 ] && CASES=$VIEW_CASES || CASES=$ALL_CASES
CASES=${INSTALLER_CASES:-$CASES}
TIMES=
for CASE in $CASES; do
    "case_$CASE"
done
CASE=all
set -- $CASES
ok "passed ($TB_CONFIG, $(basename "$TB_LOADER"), $# cases, times:$TIMES)"
