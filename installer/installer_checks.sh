# Sourced by installer_test.sh: running msiexec, and what the checks look
# at afterwards (the running agents, the installed files and registry
# values).  Takes from installer_test.sh: PLATFORM, PREFIX, BINDIR,
# TESTBINDIR, OBJDUMP, LOGDIR_WIN, LOGDIR_UNIX, CASE, and the test bed's
# configuration in hand with its testbed_run, testbed_quiet and
# testbed_wait.  Each case's steps stand on the ones before it: the first
# failed check ends the run.

source "$(dirname "${BASH_SOURCE[0]}")/../tests/checks.sh"
CHECKS_STOP=1

# The registry view and the Program Files folder the agent of this width uses.
if [ "$PLATFORM" = x64 ]; then VIEW=/reg:64; else VIEW=/reg:32; fi
program_files() {
    if [ "$PLATFORM" = x86 ] && [ -d "$PREFIX/drive_c/windows/syswow64" ]; then
        echo 'C:\Program Files (x86)'
    else
        echo 'C:\Program Files'
    fi
}
reg_value() { reg_value_in "$VIEW" "$@"; }
reg_value_in() { local view=$1; shift; testbed_run reg query "$1" /v "$2" $view </dev/null 2>/dev/null | tr -d '\r' \
    | awk -v n="$2" '$1 == n && $2 ~ /^REG_/ { sub(/^[ \t]*[^ \t]+[ \t]+REG_[A-Z_]+[ \t]+/, ""); print; f = 1 } END { exit !f }'; }

# ------------------------------------------------------------- msiexec
# msiexec_rc EXPECTED ARGS...: runs it silently with a verbose log of the
# case's own (LOG), and records the time it took (MSI_SECONDS).
MSI_SECONDS= LOG=
msiexec_rc() {
    local want=$1 start rc; shift
    LOG=$LOGDIR_UNIX/$CASE.log
    rm -f "$LOG"
    start=$(date +%s%N)
    testbed_quiet msiexec "$@" /qn /l*v "$LOGDIR_WIN\\$CASE.log"
    rc=$?
    MSI_SECONDS=$(awk -v ns=$(( $(date +%s%N) - start )) 'BEGIN { printf "%.2f", ns / 1e9 }')
    [ "$rc" -eq "$want" ] && ok "msiexec $* exited $rc (${MSI_SECONDS} s)" || fail "msiexec $* exited $rc, not $want"
}
logged() { grep -aq -- "$1" "$LOG"; }
# The sequence number of action $1 in the current package.
field_seq() { msiinfo export "$CUR_PKG" InstallExecuteSequence | tr -d '\r' | awk -F'\t' -v a="$1" '$1 == a { print $3 }'; }
# The log's first line matching $1 comes before its first matching $2.
logged_before() {
    local a b
    a=$(grep -an -m1 -- "$1" "$LOG" | cut -d: -f1) b=$(grep -an -m1 -- "$2" "$LOG" | cut -d: -f1)
    [ -n "$a" ] && [ -n "$b" ] && [ "$a" -lt "$b" ]
}

# ------------------------------------------------------------- the agents
# "PID CHECKSUM" of every running agent.exe of the installation, CHECKSUM
# being that of the image it was started from; with a count, once exactly
# that many have run for a moment (session-tool waits, at most 10 s).
agents() { testbed_run "$TESTBINDIR/session-tool.exe" images "$INSTALL_WIN\\agent.exe" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
agent_pids() { agents | awk '{ print $1 }' | sort; }
file_checksum() { "$OBJDUMP" -p "$INSTALL_UNIX/agent.exe" 2>/dev/null | awk '$1 == "CheckSum" { print $2; exit }'; }
no_agent() { local out; out=$(agents 0) && [ -z "$out" ]; }
# Exactly one agent, none of the pids in $1, started from the file now
# installed.
one_new_agent() {
    local list
    list=$(agents 1) && [ -n "$list" ] || return 1
    set -- "$1" $list
    [[ " $1 " != *" $2 "* ]] && [ "$3" = "$(file_checksum)" ]
}
same_agents() { [ "$(agent_pids | tr '\n' ' ')" = "$1" ]; }

# The one agent runs, from the installed file, and is the process the log
# says StartAgent started in the only session Wine has, in the system
# folder as its current directory.
started_by_action() {
    local pid
    one_new_agent "" || return 1
    pid=$(agent_pids)
    grep -a "StartAgent: session 1: started " "$LOG" | tr -d '\r' | grep -q "agent.exe, process $pid\$" \
        || { say "  running: $pid"; grep -a "StartAgent:" "$LOG"; return 1; }
}

# An agent started on desktop $1, out of a window lookup's reach as in
# another session; $2 --suspended leaves it unable to read a message.
# (Its output goes through a file: under Wine the started agent holds on to
# the tool's standard handles, and a pipe would stay open as long as it runs.)
agent_elsewhere() {
    local desktop=$1 suspended=${2:-} out=$LOGDIR_UNIX/started.pid pid
    testbed_run "$TESTBINDIR/session-tool.exe" start "$desktop" $suspended "$INSTALL_WIN\\agent.exe" </dev/null >"$out" 2>/dev/null
    pid=$(tr -d '\r' <"$out")
    # A suspended agent never maps its image: it is there once started.
    [ -n "$pid" ] && { [ -n "$suspended" ] || agents 1 >/dev/null; } && echo "$pid"
}

product_records() { cat "$PRODUCT_UNIX/Vorq.exe.log" 2>/dev/null | wc -l; }
# The launch event starts the product's program in its folder, shown
# normally, with its quoted path as the command line (the recorder's record:
# program|directory|show state|command line); says both where they differ.
launch_starts_product() {
    local before want got
    before=$(product_records)
    testbed_quiet "$BINDIR/hidusb-send.exe" launch || return 1
    testbed_wait 5 eval '[ "$(product_records)" -gt "$before" ]'
    want="$PRODUCT_DIR\\Vorq.exe|$PRODUCT_DIR|1|\"$PRODUCT_DIR\\Vorq.exe\""
    got=$(tail -n1 "$PRODUCT_UNIX/Vorq.exe.log" 2>/dev/null | tr -d '\r')
    [ "${got,,}" = "${want,,}" ] || { say "  expected: $want"; say "  logged:   $got"; return 1; }
}

# ------------------------------------------------------------- what is installed
installed_state() {   # files' checksums and the Run value, to compare runs
    ( cd "$INSTALL_UNIX" 2>/dev/null && sha1sum * ); reg_value "$RUN_KEY" OstrelAgent
}
files_installed() { [ -f "$INSTALL_UNIX/agent.exe" ] && [ -f "$INSTALL_UNIX/HIDUSB.dll" ]; }
only_current_files() { [ "$(cd "$INSTALL_UNIX" && echo *)" = "HIDUSB.dll agent.exe" ]; }
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
