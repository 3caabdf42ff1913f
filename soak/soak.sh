# Sourced by ./dev soak: defines run_soak.
#
# Runs the soak driver (build/soak/soak.exe, see soak.cpp) in a Wine prefix
# of its own, build/soak-prefix, with the recorder registered as the
# browser.  The driver starts the agent, works it through its phases, prints
# the figures and exits non-zero on any fault; this script sets the stage and
# makes sure nothing of the prefix is left running afterwards.
#
#   SOAK_SEED=N      repeat a run's random choices (the driver prints its seed)
#   SOAK_AGENT=PATH  soak another agent.exe (a Linux path, HIDUSB.dll beside it)
#   SOAK_ARGS="..."  more driver options: --messages N --launches N --events N

run_soak() {
    local prefix=$WBUILD/soak-prefix
    local driver=$WBUILD/soak/soak.exe
    [ -f "$driver" ] || die "soak: no driver at $driver"
    ensure_prefix "$prefix" "$WBUILD/tests/recorder.exe"
    # shellcheck disable=SC2064  # the prefix is fixed now
    trap "stop_wine '$prefix'" EXIT
    start_wine_session "$prefix"

    local args=()
    [ -z "${SOAK_SEED:-}" ] || args+=(--seed "$SOAK_SEED")
    if [ -n "${SOAK_AGENT:-}" ]; then
        [ -f "$SOAK_AGENT" ] || die "soak: no agent at $SOAK_AGENT"
        [ -f "$(dirname "$SOAK_AGENT")/HIDUSB.dll" ] || die "soak: no HIDUSB.dll beside $SOAK_AGENT"
        args+=(--agent "$(wine_run winepath -w "$SOAK_AGENT" 2>/dev/null | tr -d '\r')")
    fi
    # shellcheck disable=SC2206  # word splitting of SOAK_ARGS is intended
    args+=(${SOAK_ARGS:-})

    # The driver bounds every wait for the agent; this bound is for the
    # driver itself.
    local rc=0
    timeout --kill-after=10 1200 "$W_LOADER" "$driver" "${args[@]}" </dev/null || rc=$?
    if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
        die "soak: the driver itself did not finish within 20 minutes"
    fi
    [ "$rc" -eq 0 ] || die "soak: failed (driver exit code $rc)"
}
