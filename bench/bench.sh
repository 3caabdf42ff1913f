# Sourced by ./dev bench: defines run_bench.
# Takes from ./dev: the configuration in hand (the TB_* facts and testbed_*
# helpers of tests/testbed.sh, after testbed_use), ROOT, say and die, and
# DROPPED, why the shipped build is not the one measured.
#
# Measures the agent side by side with the floor, the least a program doing
# the agent's job can be: one hidden window subscribed to the same HIDUSB.dll
# and a blocking message loop (bench/floor.cpp, built the way the agent is),
# in one run and in one Wine prefix of its own:
#
#   file size and imported DLLs     objdump on the build machine
#   resident memory                 VmRSS and RssAnon of the Wine process that
#                                   runs the program (/proc/PID/status), and
#                                   both by mapping (/proc/PID/smaps)
#   loaded modules                  EnumProcessModules from bench_driver
#   start-up                        CreateProcess to the window being found
#                                   (bench_driver, QueryPerformanceCounter)
#   reaction                        the sender's launch event to the product
#                                   program's entry point, against starting
#                                   that program directly with CreateProcess
#   idle cost                       CPU time and context switches of the
#                                   process while nothing happens
#
# Every figure is the median over repeated runs; the table gives the agent's
# figure, the floor's, and their ratio, then the goals (memory, start-up and
# reaction within 5% of the floor, as many threads) and, where one is
# missed, what the difference is made of: the modules only one side has and
# the resident and anonymous memory by mapping (bench/report.awk).  It goes
# to build/bench/results.txt, every sample to build/bench/samples.txt.
# Exits non-zero with a plain message when a measurement could not be made.
#
# Counts can be changed from the environment: BENCH_RUNS (start-up and
# reaction trials of each side), BENCH_ROUNDS (memory and idle rounds),
# BENCH_IDLE_SECONDS.

BENCH_PREFIX=$TB_TREE/bench-prefix
BENCH_OUT=$TB_TREE/bench
BENCH_RUNS=${BENCH_RUNS:-11}
BENCH_ROUNDS=${BENCH_ROUNDS:-7}
BENCH_IDLE_SECONDS=${BENCH_IDLE_SECONDS:-10}
# Time a freshly started program gets to finish starting up before its
# memory is read and its idle time begins.
BENCH_SETTLE_SECONDS=2
BENCH_PIDS=()

bench_cleanup() {
    local pid
    for pid in "${BENCH_PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    testbed_stop "$BENCH_PREFIX"
}

# Runs bench_driver.exe under Wine; its samples go to standard output.  Its
# output goes through files, not a pipe: under Wine the programs it starts
# hold on to its standard handles, and a pipe would stay open as long as
# any of them lived.
bench_driver() {
    local out=$BENCH_OUT/driver.out err=$BENCH_OUT/driver.err
    if ! testbed_run "$BENCH_OUT/bench_driver.exe" "$@" </dev/null >"$out" 2>"$err"; then
        sed 's/^/  /' "$err" >&2
        die "bench: bench_driver $* failed"
    fi
    tr -d '\r' <"$out"
}

# Checks that Linux process $1 is the Wine process running Windows program
# $2: Wine makes the program's path its argv[0] and maps the program's
# image from its file.
bench_check_process() {
    local pid=$1 exe argv0
    exe=$(realpath -m "$2")
    [ -r "/proc/$pid/cmdline" ] || die "bench: $(basename "$exe") (pid $pid) is not running"
    argv0=$(tr '\0' '\n' <"/proc/$pid/cmdline" | head -n 1)
    [ "$(realpath -m "$argv0")" = "$exe" ] \
        || die "bench: pid $pid runs '$argv0', not $exe: cannot tell which process to measure"
    awk -v f="$exe" 'substr($0, length($0) - length(f) + 1) == f { found = 1 } END { exit !found }' \
        "/proc/$pid/maps" || die "bench: pid $pid does not map $exe"
}

# Dies unless Linux process $1 is still there to be read.
bench_alive() {
    [ -r "/proc/$1/status" ] || die "bench: the measured $2 (pid $1) ended while it was being measured"
}

# "<figure> <who> <value>" lines: memory in KiB.
bench_memory() {
    local who=$1 pid=$2
    bench_alive "$pid" "$who"
    awk -v who="$who" '/^VmRSS:/ { print "rss", who, $2 } /^RssAnon:/ { print "anon", who, $2 }' \
        "/proc/$pid/status"
}

# "rss-part:<mapping> <who> <KiB>" and "anon-part:..." lines: VmRSS and
# RssAnon by what they belong to, a module's file (its resident pages; the
# anonymous ones are those it has written) or, for anonymous mappings,
# [anon] and [heap].  The program's own image is "program", so the two
# sides compare.
bench_memory_parts() {
    local who=$1 pid=$2 exe
    bench_alive "$pid" "$who"
    exe=$(basename "$3")
    awk -v who="$who" -v exe="$exe" '
        /^[0-9a-f]+-[0-9a-f]+ / {
            name = NF >= 6 ? $NF : "[anon]"; sub(/.*\//, "", name)
            if (name == exe) name = "program"
        }
        /^Rss:/ { rss[name] += $2 }
        /^Anonymous:/ { anon[name] += $2 }
        END {
            for (n in rss) if (rss[n] > 0) print "rss-part:" n, who, rss[n]
            for (n in anon) if (anon[n] > 0) print "anon-part:" n, who, anon[n]
        }' "/proc/$pid/smaps"
}

# A snapshot of a process's counters: "cpu TICKS" (utime + stime of the
# whole process, ended threads included) and "task TID SWITCHES" per thread
# (voluntary + involuntary context switches).
bench_counters() {
    local pid=$1
    bench_alive "$pid" "program"
    sed 's/.*) //' "/proc/$pid/stat" | awk '{ print "cpu", $12 + $13 }'
    awk 'FNR == 1 { n = split(FILENAME, part, "/"); tid = part[n - 1] }
         /^(non)?voluntary_ctxt_switches:/ { cs[tid] += $2 }
         END { for (t in cs) print "task", t, cs[t] }' "/proc/$pid/task/"*/status
}

# Idle figures from two snapshots.  A thread that ended in between takes
# its last switches with it; that is reported, since it means the process
# was not idle.
bench_idle_delta() {
    local who=$1 before=$2 after=$3 hz
    hz=$(getconf CLK_TCK)
    awk -v who="$who" -v hz="$hz" '
        FNR == 1 { file++ }
        file == 1 && $1 == "cpu" { cpu0 = $2 }
        file == 1 && $1 == "task" { cs0[$2] = $3 }
        file == 2 && $1 == "cpu" { cpu1 = $2 }
        file == 2 && $1 == "task" { cs1[$2] = $3; threads++ }
        END {
            for (t in cs1) switches += cs1[t] - cs0[t]
            for (t in cs0) if (!(t in cs1)) ended++
            printf "idle-cpu %s %.0f\n", who, (cpu1 - cpu0) * 1000 / hz
            print "idle-cs", who, switches
            print "threads", who, threads
            if (ended) print "threads-ended", who, ended
        }' "$before" "$after"
}

# One round: agent and floor started side by side from Linux, each as its
# own Wine process, measured while both sit idle, then ended.
bench_round() {
    local agent=$TB_TREE/bin/agent.exe floor=$BENCH_OUT/floor.exe tmp=$BENCH_OUT/round
    mkdir -p "$tmp"
    "${TB_START[@]}" "$agent" </dev/null >/dev/null 2>&1 &
    local apid=$!
    "${TB_START[@]}" "$floor" </dev/null >/dev/null 2>&1 &
    local fpid=$!
    BENCH_PIDS+=("$apid" "$fpid")

    bench_driver await >/dev/null
    bench_check_process "$apid" "$agent"
    bench_check_process "$fpid" "$floor"
    sleep "$BENCH_SETTLE_SECONDS"

    bench_memory agent "$apid"
    bench_memory floor "$fpid"
    bench_memory_parts agent "$apid" "$agent"
    bench_memory_parts floor "$fpid" "$floor"
    bench_driver modules
    bench_counters "$apid" >"$tmp/agent.0"
    bench_counters "$fpid" >"$tmp/floor.0"
    sleep "$BENCH_IDLE_SECONDS"
    bench_counters "$apid" >"$tmp/agent.1"
    bench_counters "$fpid" >"$tmp/floor.1"
    bench_check_process "$apid" "$agent"
    bench_check_process "$fpid" "$floor"
    bench_idle_delta agent "$tmp/agent.0" "$tmp/agent.1"
    bench_idle_delta floor "$tmp/floor.0" "$tmp/floor.1"

    bench_driver quit
    local pid rc
    for pid in "$apid" "$fpid"; do
        rc=0
        wait "$pid" || rc=$?
        [ "$rc" -eq 0 ] || die "bench: a measured program (pid $pid) ended with exit code $rc instead of on WM_QUIT"
    done
    BENCH_PIDS=()
}

# Footprint on disk: "size" and "dlls" samples, and the DLL names.
bench_static() {
    local who=$1 exe=$2 names
    names=$("$TB_TRIPLET-objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '\n' ' ')
    names=${names% }
    [ -n "$names" ] || die "bench: cannot read the imports of $exe"
    echo "size $who $(stat -c %s "$exe")"
    echo "dlls $who $(wc -w <<<"$names")"
    echo "dll-names $who $names"
}

# Which build is measured, and why when it is not the shipped one.
bench_width_note() {
    if [ "$TB_CONFIG" = x86 ]; then
        echo "$TB_LABEL"
    elif [ -n "${DROPPED[x86]:-}" ]; then
        echo "$TB_LABEL, since ${DROPPED[x86]}"
    else
        echo "$TB_LABEL (DEV_WIDTHS=x64), as on a host that cannot run 32-bit programs"
    fi
}

# The table: medians, agent over floor, and the spread of each side; the
# goals; and where one is missed, the modules and the memory by mapping
# that make up the difference.
bench_report() {
    awk -v runs="$BENCH_RUNS" -v rounds="$BENCH_ROUNDS" -v idle="$BENCH_IDLE_SECONDS" \
        -v wine="$(testbed_run --version 2>/dev/null)" -v cores="$(nproc)" -v width="$(bench_width_note)" \
        -f "$ROOT/bench/report.awk" "$1"
}

run_bench() {
    local n
    for n in BENCH_RUNS BENCH_ROUNDS BENCH_IDLE_SECONDS; do
        [[ ${!n} =~ ^[1-9][0-9]*$ ]] || die "bench: $n must be a whole number above 0, not '${!n}'"
    done
    local agent=$TB_TREE/bin/agent.exe floor=$BENCH_OUT/floor.exe
    local f
    for f in "$agent" "$TB_TREE/bin/HIDUSB.dll" "$floor" "$BENCH_OUT/bench_product.exe" \
             "$BENCH_OUT/bench_driver.exe" "$TB_TREE/tests/recorder.exe"; do
        [ -f "$f" ] || die "bench: $f was not built"
    done
    local samples=$BENCH_OUT/samples.txt results=$BENCH_OUT/results.txt
    : >"$samples"

    bench_static agent "$agent" >>"$samples"
    bench_static floor "$floor" >>"$samples"

    out=$(testbed_prefix "$BENCH_PREFIX") || die "could not create the Wine prefix $BENCH_PREFIX: $out"
    trap bench_cleanup EXIT
    # Wine's own services start now, so that they are part of no figure.
    testbed_env "$BENCH_PREFIX"; testbed_start "$BENCH_PREFIX"

    say "bench: start-up, $BENCH_RUNS trials each"
    bench_driver startup "$BENCH_RUNS" >>"$samples"
    say "bench: reaction, $BENCH_RUNS trials each"
    bench_driver reaction "$BENCH_RUNS" >>"$samples"
    local round
    for round in $(seq "$BENCH_ROUNDS"); do
        say "bench: memory and ${BENCH_IDLE_SECONDS} s idle, round $round of $BENCH_ROUNDS"
        bench_round >>"$samples"
    done

    bench_report "$samples" >"$results" || { cat "$results" >&2; die "bench: a figure is missing (samples: $samples)"; }
    say ""
    cat "$results"
    say ""
    say "bench: table in $results, every sample in $samples"
}
