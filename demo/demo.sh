# Sourced by ./dev demo: walks through the agent's life in a Wine prefix of
# its own, saying at each step what it did and what it saw.  Exits non-zero
# when a step did not happen.
#
# The product's programs and the browser are all the recorder test program,
# which appends "<its path>|<its current directory>|<its command line>" to
# the log named by RECORDER_LOG.

DEMO_PREFIX=$TB_TREE/demo-prefix
DEMO_FAILED=0

demo_step() { printf '\n== %s\n' "$*"; }
demo_saw() { printf '   %s\n' "$*"; }
demo_fail() { printf '   FAILED: %s\n' "$*"; DEMO_FAILED=1; }

# Waits up to 10 s for the log to hold more than $1 lines; prints the new
# line in words and leaves it in DEMO_LINE.
demo_wait_record() {
    local before=$1 i
    DEMO_LINE=
    for i in $(seq 100); do
        if [ -f "$DEMO_LOG" ] && [ "$(wc -l <"$DEMO_LOG")" -gt "$before" ]; then
            DEMO_LINE=$(sed -n "$((before + 1))p" "$DEMO_LOG" | tr -d '\r')
            local program directory show command
            IFS='|' read -r program directory show command <<<"$DEMO_LINE"
            demo_saw "started: $program"
            demo_saw "  in directory: $directory"
            demo_saw "  show state: $show"
            demo_saw "  command line: $command"
            return 0
        fi
        sleep 0.1
    done
    return 1
}

demo_records() { [ -f "$DEMO_LOG" ] && wc -l <"$DEMO_LOG" || echo 0; }

# Sends the launch event and checks that the log line of what it started
# holds the text $1; $2 says what was expected, in words.
demo_launch_expect() {
    local needle=$1 expected=$2 answer n
    n=$(demo_records)
    answer=$(testbed_run "$TB_TREE/bin/hidusb-send.exe" launch 2>&1 | tr -d '\r')
    demo_saw "hidusb-send launch: $answer"
    [ "$answer" = "answer 0" ] || demo_fail "the agent did not answer the launch event with 0"
    if demo_wait_record "$n"; then
        [[ "$DEMO_LINE" == *"$needle"* ]] || demo_fail "that is not $expected"
    else
        demo_fail "nothing was started, expected $expected"
    fi
}

run_demo() {
    local started=$SECONDS
    out=$(testbed_prefix "$DEMO_PREFIX") || die "could not create the Wine prefix $DEMO_PREFIX: $out"
    trap 'testbed_stop "$DEMO_PREFIX"' EXIT
    testbed_env "$DEMO_PREFIX"; testbed_start "$DEMO_PREFIX"

    local product_win='C:\Program Files\Ostrel Demo'
    local product_dir=$DEMO_PREFIX/drive_c/Program\ Files/Ostrel\ Demo
    local key='HKLM\SOFTWARE\Ostrel\Corrandel'
    export RECORDER_LOG='C:\demo-started.log'
    DEMO_LOG=$DEMO_PREFIX/drive_c/demo-started.log
    rm -f "$DEMO_LOG"
    testbed_run reg delete "$key" /f >/dev/null 2>&1 || true

    demo_step "Installing the product as an installer would"
    rm -rf "$product_dir"
    mkdir -p "$product_dir"
    cp "$TB_TREE/tests/recorder.exe" "$product_dir/Vorq.exe"
    cp "$TB_TREE/tests/recorder.exe" "$product_dir/Duxo.exe"
    demo_saw "product folder $product_win holds: $(cd "$product_dir" && echo *)"
    testbed_run reg add "$key" /v InstallDir /t REG_SZ /d "$product_win" /f >/dev/null 2>&1
    local recorded
    recorded=$(testbed_run reg query "$key" /v InstallDir 2>/dev/null | tr -d '\r' | grep InstallDir | sed 's/.*REG_SZ[[:space:]]*//')
    demo_saw "registry: $key InstallDir = $recorded"
    [ "$recorded" = "$product_win" ] || demo_fail "the registry value was not written"

    demo_step "Starting the agent as a user would (agent.exe, no arguments)"
    "$TB_LOADER" "$TB_TREE/bin/agent.exe" </dev/null >/dev/null 2>&1 &
    local agent_pid=$! status= i
    for i in $(seq 100); do
        status=$(testbed_run "$TB_TREE/bin/hidusb-send.exe" status 2>/dev/null | tr -d '\r') && break
        sleep 0.1
    done
    if [ -n "$status" ] && kill -0 "$agent_pid" 2>/dev/null; then
        demo_saw "the agent is running, hidden, and subscribed to device events:"
        demo_saw "  $status"
    else
        demo_fail "no running agent subscribed to device events"
    fi

    demo_step "Starting it a second time"
    local t0 code=0
    t0=$(date +%s%N)
    testbed_run "$TB_TREE/bin/agent.exe" </dev/null >/dev/null 2>&1 || code=$?
    demo_saw "the second start ended with exit code $code after $((($(date +%s%N) - t0) / 1000000)) ms"
    [ "$code" = 0 ] || demo_fail "the second start did not end with 0"
    if kill -0 "$agent_pid" 2>/dev/null; then
        demo_saw "the first agent is still running"
    else
        demo_fail "the first agent is gone"
    fi

    demo_step "Sending the launch event through the device library"
    demo_launch_expect "\\Vorq.exe|$product_win|" "Vorq.exe in the product folder"

    demo_step "Taking Vorq.exe away, then sending the launch event"
    rm -f "$product_dir/Vorq.exe"
    demo_saw "product folder now holds: $(cd "$product_dir" && echo *)"
    demo_launch_expect "\\Duxo.exe|$product_win|" "Duxo.exe in the product folder"

    demo_step "Uninstalling the product (registry key removed), then sending the launch event"
    testbed_run reg delete "$key" /f >/dev/null 2>&1
    if testbed_run reg query "$key" >/dev/null 2>&1; then
        demo_fail "the key is still there"
    else
        demo_saw "registry: $key is gone"
    fi
    demo_launch_expect 'recorder.exe" "https://www.ostrel.com/"' "the browser opening the vendor's web site"

    demo_step "Ending the agent with agent.exe q"
    code=0
    testbed_run "$TB_TREE/bin/agent.exe" q </dev/null >/dev/null 2>&1 || code=$?
    demo_saw "agent.exe q ended with exit code $code"
    [ "$code" = 0 ] || demo_fail "agent.exe q did not end with 0"
    local agent_code=0 waited=0
    for i in $(seq 100); do
        kill -0 "$agent_pid" 2>/dev/null || { waited=1; break; }
        sleep 0.1
    done
    if [ $waited = 1 ]; then
        wait "$agent_pid" || agent_code=$?
        demo_saw "the agent ended with exit code $agent_code"
        [ "$agent_code" = 0 ] || demo_fail "the agent's exit code was not 0"
    else
        demo_fail "the agent is still running"
        kill "$agent_pid" 2>/dev/null || true
    fi
    rm -rf "$product_dir"

    printf '\n'
    if [ $DEMO_FAILED = 0 ]; then
        say "demo: every step happened ($((SECONDS - started)) s)"
    else
        say "demo: some steps did not happen (see FAILED above)"
        exit 1
    fi
}
