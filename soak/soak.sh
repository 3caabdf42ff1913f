# Sourced by ./dev soak: defines run_soak.
# Takes from ./dev: the configuration in hand (the TB_* facts and testbed_*
# helpers of tests/testbed.sh, after testbed_use), ROOT, say and die.
#
# Runs the soak driver (build/soak/soak.exe, see soak.h) in a Wine prefix
# of its own, build/soak-prefix, with the recorder registered as the
# browser.  The driver starts the agent, works it through its phases, prints
# the figures and exits non-zero on any fault; this script sets the stage and
# makes sure nothing of the prefix is left running afterwards.
#
#   SOAK_SEED=N      repeat a run's random choices (the driver prints its seed)
#   SOAK_AGENT=PATH  soak another agent.exe (a Linux path, HIDUSB.dll beside it)
#   SOAK_ARGS="..."  more driver options: --short (the counts of the short soak
#                    that ./dev test runs), --messages N --values N --launches N
#                    --events N --missing N (a count given wins over --short)
#   SOAK_FAULTS=1    instead, show that the soak fails on broken copies of the
#                    agent and passes on an unbroken one (see faults.sh)

run_soak() {
    local prefix=$TB_TREE/soak-prefix
    [ -f "$TB_TREE/soak/soak.exe" ] || die "soak: no driver at $TB_TREE/soak/soak.exe"
    out=$(testbed_prefix "$prefix") || die "could not create the Wine prefix $prefix: $out"
    # shellcheck disable=SC2064  # the prefix is fixed now
    trap "testbed_stop '$prefix'" EXIT
    testbed_env "$prefix"; testbed_start "$prefix"

    if [ -n "${SOAK_FAULTS:-}" ]; then
        source "$ROOT/soak/faults.sh"
        run_faults
        return
    fi
    local rc=0
    # shellcheck disable=SC2086  # word splitting of SOAK_ARGS is intended
    soak_driver "${SOAK_AGENT:-}" ${SOAK_ARGS:-} || rc=$?
    [ "$rc" -eq 0 ] || die "soak: failed (driver exit code $rc)"
}

# Runs the driver once against agent $1 (a Linux path; empty for the one
# built beside it) with the driver options that follow; returns its exit
# code.  The driver bounds every wait for the agent; this bound is for the
# driver itself.
soak_driver() {
    local agent=$1 args=()
    shift
    [ -z "${SOAK_SEED:-}" ] || args+=(--seed "$SOAK_SEED")
    if [ -n "$agent" ]; then
        [ -f "$agent" ] || die "soak: no agent at $agent"
        [ -f "$(dirname "$agent")/HIDUSB.dll" ] || die "soak: no HIDUSB.dll beside $agent"
        args+=(--agent "$(testbed_winpath "$agent")")
    fi
    local rc=0
    timeout --kill-after=10 1200 "${TB_START[@]}" "$TB_TREE/soak/soak.exe" "${args[@]}" "$@" </dev/null || rc=$?
    if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
        die "soak: the driver itself did not finish within 20 minutes"
    fi
    return "$rc"
}
