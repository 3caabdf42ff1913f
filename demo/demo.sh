# Sourced by ./dev demo: walks through the agent's life in a Wine prefix of
# its own, saying at each step what it did and what it saw.  Exits non-zero
# when a step did not happen.
# Takes from ./dev: the configuration in hand (the TB_* facts and testbed_*
# helpers of tests/testbed.sh, after testbed_use), say and die.
#
# The product's programs and the browser are all the recorder test program,
# which appends "<its path>|<its directory>|<its show state>|<its command
# line>" to the log named by RECORDER_LOG.

DEMO_PREFIX=$TB_TREE/demo-prefix
PRODUCT_WIN='C:\Program Files\Ostrel Demo'
PRODUCT_KEY='HKLM\SOFTWARE\Ostrel\Corrandel'

demo_step() { printf '\n== %s\n' "$*"; }
demo_saw() { printf '   %s\n' "$*"; }
# What a step expects is reported as every shell test reports a check.
source "$TB_ROOT/tests/checks.sh"

demo_records() { [ -f "$DEMO_LOG" ] && wc -l <"$DEMO_LOG" || echo 0; }
more_records_than() { [ "$(demo_records)" -gt "$1" ]; }
agent_alive() { kill -0 "$AGENT_PID" 2>/dev/null; }
agent_gone() { ! agent_alive; }
subscribed() { STATUS=$(testbed_run "$TB_TREE/bin/hidusb-send.exe" status 2>/dev/null | tr -d '\r'); }

# Says in words the record after the first $1 lines, once it is there
# (10 s at most), and leaves it in DEMO_LINE.
demo_show_record() {
    local before=$1 program directory show command
    testbed_wait 10 more_records_than "$before" || return 1
    DEMO_LINE=$(sed -n "$((before + 1))p" "$DEMO_LOG" | tr -d '\r')
    IFS='|' read -r program directory show command <<<"$DEMO_LINE"
    demo_saw "started: $program"
    demo_saw "  in directory: $directory"
    demo_saw "  show state: $show"
    demo_saw "  command line: $command"
}

# Sends the launch event and checks the record of what it started: the
# program's path ends with $1, it ran in directory $2 (any, when empty),
# with show state $3, and its command line ends with $4; $5 says what was
# expected, in words.
demo_launch_expect() {
    local expected=$5 answer n program directory show command
    n=$(demo_records)
    answer=$(testbed_run "$TB_TREE/bin/hidusb-send.exe" launch 2>&1 | tr -d '\r')
    demo_saw "hidusb-send launch: $answer"
    check "the agent answered the launch event with 0" [ "$answer" = "answer 0" ]
    if demo_show_record "$n"; then
        IFS='|' read -r program directory show command <<<"$DEMO_LINE"
        if [[ $program == *"$1" && ( -z $2 || $directory == "$2" ) && $show == "$3" && $command == *"$4" ]]; then
            ok "that is $expected"
        else
            bad "that is not $expected"
        fi
    else
        bad "nothing was started, expected $expected"
    fi
}

# ------------------------------------------------------------------ steps
step_install_product() {
    demo_step "Installing the product as an installer would"
    rm -rf "$PRODUCT_DIR" && mkdir -p "$PRODUCT_DIR"
    cp "$TB_TREE/tests/recorder.exe" "$PRODUCT_DIR/Vorq.exe"
    cp "$TB_TREE/tests/recorder.exe" "$PRODUCT_DIR/Duxo.exe"
    demo_saw "product folder $PRODUCT_WIN holds: $(cd "$PRODUCT_DIR" && echo *)"
    testbed_quiet reg add "$PRODUCT_KEY" /v InstallDir /t REG_SZ /d "$PRODUCT_WIN" /f
    local recorded
    recorded=$(testbed_run reg query "$PRODUCT_KEY" /v InstallDir 2>/dev/null | tr -d '\r' | grep InstallDir \
        | sed 's/.*REG_SZ[[:space:]]*//')
    demo_saw "registry: $PRODUCT_KEY InstallDir = $recorded"
    check "the registry value is written" [ "$recorded" = "$PRODUCT_WIN" ]
}

step_start_agent() {
    demo_step "Starting the agent as a user would (agent.exe, no arguments)"
    "${TB_START[@]}" "$TB_TREE/bin/agent.exe" </dev/null >/dev/null 2>&1 &
    AGENT_PID=$!
    if testbed_wait 10 subscribed && agent_alive; then
        ok "the agent is running, hidden, and subscribed to device events:"
        demo_saw "  $STATUS"
    else
        bad "no running agent subscribed to device events"
    fi
}

step_start_again() {
    demo_step "Starting it a second time"
    local t0 code=0
    t0=$(date +%s%N)
    testbed_quiet "$TB_TREE/bin/agent.exe" || code=$?
    demo_saw "the second start ended with exit code $code after $((($(date +%s%N) - t0) / 1000000)) ms"
    check "the second start ended with 0" [ "$code" = 0 ]
    check "the first agent is still running" agent_alive
}

step_launch() {
    demo_step "Sending the launch event through the device library"
    demo_launch_expect "$PRODUCT_WIN\\Vorq.exe" "$PRODUCT_WIN" 1 "\"$PRODUCT_WIN\\Vorq.exe\"" \
        "Vorq.exe in the product folder, shown normally, its path quoted"
}

step_launch_fallback() {
    demo_step "Taking Vorq.exe away, then sending the launch event"
    rm -f "$PRODUCT_DIR/Vorq.exe"
    demo_saw "product folder now holds: $(cd "$PRODUCT_DIR" && echo *)"
    demo_launch_expect "$PRODUCT_WIN\\Duxo.exe" "$PRODUCT_WIN" 1 "\"$PRODUCT_WIN\\Duxo.exe\"" \
        "Duxo.exe in the product folder, shown normally, its path quoted"
}

step_launch_not_installed() {
    demo_step "Uninstalling the product (registry key removed), then sending the launch event"
    testbed_quiet reg delete "$PRODUCT_KEY" /f
    check "registry: $PRODUCT_KEY is gone" not testbed_quiet reg query "$PRODUCT_KEY"
    demo_launch_expect '\recorder.exe' '' 5 'recorder.exe" "https://www.ostrel.com/"' \
        "the browser opening the vendor's web site, shown"
}

step_quit() {
    demo_step "Ending the agent with agent.exe q"
    local code=0 agent_code=0
    testbed_quiet "$TB_TREE/bin/agent.exe" q || code=$?
    demo_saw "agent.exe q ended with exit code $code"
    check "agent.exe q ended with 0" [ "$code" = 0 ]
    if testbed_wait 10 agent_gone; then
        wait "$AGENT_PID" || agent_code=$?
        check "the agent ended, with exit code 0 (it gave $agent_code)" [ "$agent_code" = 0 ]
    else
        bad "the agent is still running"
        kill "$AGENT_PID" 2>/dev/null || true
    fi
}

run_demo() {
    local started=$SECONDS out
    out=$(testbed_prefix "$DEMO_PREFIX") || die "could not create the Wine prefix $DEMO_PREFIX: $out"
    trap 'testbed_stop "$DEMO_PREFIX"' EXIT
    testbed_env "$DEMO_PREFIX"; testbed_start "$DEMO_PREFIX"
    PRODUCT_DIR=$DEMO_PREFIX/drive_c/Program\ Files/Ostrel\ Demo
    export RECORDER_LOG='C:\demo-started.log'
    DEMO_LOG=$DEMO_PREFIX/drive_c/demo-started.log
    rm -f "$DEMO_LOG"
    testbed_quiet reg delete "$PRODUCT_KEY" /f || true

    step_install_product
    step_start_agent
    step_start_again
    step_launch
    step_launch_fallback
    step_launch_not_installed
    step_quit
    rm -rf "$PRODUCT_DIR"

    printf '\n'
    say "demo: $((SECONDS - started)) s"
    verdict demo || { say "demo: some steps did not happen (see FAIL above)"; exit 1; }
}
