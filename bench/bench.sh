# Sourced by ./dev bench: defines run_bench.
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
# the resident and anonymous memory by mapping.  It goes to build/bench/results.txt with
# every sample in build/bench/samples.txt.  Exits non-zero with a plain
# message when a measurement could not be made.
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
    "$TB_LOADER" "$agent" </dev/null >/dev/null 2>&1 &
    local apid=$!
    "$TB_LOADER" "$floor" </dev/null >/dev/null 2>&1 &
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

bench_dll_names() {
    "$TB_TRIPLET-objdump" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '\n' ' ' | sed 's/ $//'
}

# Footprint on disk: "size" and "dlls" samples, and the DLL names.
bench_static() {
    local who=$1 exe=$2 names
    names=$(bench_dll_names "$exe")
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
    local samples=$1
    awk -v runs="$BENCH_RUNS" -v rounds="$BENCH_ROUNDS" -v idle="$BENCH_IDLE_SECONDS" \
        -v wine="$(testbed_run --version 2>/dev/null)" -v cores="$(nproc)" -v width="$(bench_width_note)" '
        function median(key,   n, i, j, t, v) {
            n = count[key]
            for (i = 1; i <= n; i++) v[i] = value[key, i]
            for (i = 2; i <= n; i++)
                for (j = i; j > 1 && v[j - 1] > v[j]; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
            low[key] = v[1]; high[key] = v[n]
            return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
        }
        function abs(x) { return x < 0 ? -x : x }
        # Median KiB of one mapping on one side; 0 where it has none.
        function part(kind, p, who,   key) {
            key = kind "-part:" p
            return ((key, who) in count) ? median(key SUBSEP who) : 0
        }
        function cell(x, decimals) { return sprintf("%." decimals "f", x) }
        function row(key, label, decimals,   a, f, ratio, spread, line) {
            if (!((key, "agent") in count) || !((key, "floor") in count)) {
                missing = missing " " key
                return
            }
            a = median(key SUBSEP "agent"); f = median(key SUBSEP "floor")
            med[key, "agent"] = a; med[key, "floor"] = f
            ratio = f != 0 ? sprintf("%.2f", a / f) : (a == 0 ? "both 0" : "-")
            spread = ""
            if (count[key, "agent"] > 1)
                spread = cell(low[key, "agent"], decimals) "-" cell(high[key, "agent"], decimals) " / " \
                         cell(low[key, "floor"], decimals) "-" cell(high[key, "floor"], decimals)
            line = sprintf("%-44s %10s %10s %11s   %s", label, cell(a, decimals), cell(f, decimals), ratio, spread)
            sub(/ +$/, "", line)
            print line
        }
        # One goal: the agent at most limit times the floor (limit 1: equal).
        function goal(key, label, limit, decimals,   a, f, ok, how) {
            if (!((key, "agent") in med)) return
            a = med[key, "agent"]; f = med[key, "floor"]
            ok = limit == 1 ? a == f : a <= f * limit
            how = cell(a, decimals) " against " cell(f, decimals)
            if (limit != 1) how = sprintf("%+.1f%% (%s)", f ? (a - f) * 100 / f : 0, how)
            # A missed goal whose two ranges overlap may be the noise of the run.
            if (!ok && low[key, "agent"] <= high[key, "floor"])
                how = how ", ranges overlap"
            printf "  %-10s %-7s %s\n", label, ok ? "met" : "MISSED", how
            if (!ok) missed++
        }
        # Words of list a that are not in list b, the first (the program) left out.
        function only(a, b,   wa, wb, n, i, in_b, out) {
            split(b, wb, " "); for (i in wb) in_b[wb[i]] = 1
            n = split(a, wa, " "); out = ""
            for (i = 2; i <= n; i++) if (!(wa[i] in in_b)) out = out " " wa[i]
            return out == "" ? " none" : out
        }
        $1 == "dll-names" || $1 == "module-names" {
            kind = $1; who = $2; $1 = ""; $2 = ""; sub(/^ +/, ""); names[kind, who] = $0; next
        }
        $1 == "threads-ended" { ended[$2] += $3; next }
        NF == 3 {
            key = $1 SUBSEP $2; count[key]++; value[key, count[key]] = $3
            if ($1 ~ /^(rss|anon)-part:/) { p = $1; sub(/^[a-z]+-part:/, "", p); parts[p] = 1 }
        }
        END {
            printf "agent.exe against the floor: %s, %s, %s cores\n", width, wine, cores
            printf "medians of %d start-up and reaction trials per side, %d memory and idle rounds\n", runs, rounds
            printf "floor: one hidden window subscribed to the same HIDUSB.dll (ordinal 2) and a blocking GetMessage loop, built with the agent'"'"'s flags\n\n"
            printf "%-44s %10s %10s %11s   %s\n", "", "agent", "floor", "agent/floor", "spread: agent / floor (min-max)"
            row("size", "executable file size (bytes)", 0)
            row("dlls", "imported DLLs", 0)
            row("rss", "resident memory VmRSS (KiB)", 0)
            row("anon", "resident memory RssAnon (KiB)", 0)
            row("threads", "threads of the process", 0)
            row("modules", "loaded modules (EnumProcessModules)", 0)
            row("startup", "start-up, to window found (ms)", 2)
            row("reaction", "reaction, to product started (ms) [1]", 2)
            row("idle-cpu", "idle CPU time over " idle " s (ms)", 0)
            row("idle-cs", "idle context switches over " idle " s", 0)

            printf "\ngoals: memory, start-up and reaction within 5%% of the floor, as many threads\n"
            goal("rss", "VmRSS", 1.05, 0)
            goal("anon", "RssAnon", 1.05, 0)
            goal("threads", "threads", 1, 0)
            goal("startup", "start-up", 1.05, 2)
            goal("reaction", "reaction", 1.05, 2)
            if (missed) {
                printf "\nwhat the difference is made of:\n"
                printf "  modules only the agent has loaded:%s\n", only(names["module-names", "agent"], names["module-names", "floor"])
                printf "  modules only the floor has loaded:%s\n", only(names["module-names", "floor"], names["module-names", "agent"])
                printf "  memory by mapping where the two differ, largest first (median KiB, agent - floor):\n"
                printf "    %-32s %8s %8s\n", "mapping", "VmRSS", "RssAnon"
                shown = 0
                for (p in parts) {
                    r = part("rss", p, "agent") - part("rss", p, "floor")
                    a = part("anon", p, "agent") - part("anon", p, "floor")
                    if (r == 0 && a == 0) continue
                    size = abs(r) > abs(a) ? abs(r) : abs(a)
                    for (i = ++shown; i > 1 && weight[i - 1] < size; i--) {
                        weight[i] = weight[i - 1]; text[i] = text[i - 1]
                    }
                    weight[i] = size; text[i] = sprintf("    %-32s %+8g %+8g", p, r, a)
                }
                for (i = 1; i <= shown && i <= 12; i++) print text[i]
                if (shown > 12) printf "    (%d more, none over %g KiB)\n", shown - 12, weight[13]
                if (!shown) printf "    none\n"
                printf "  ([anon]: unnamed anonymous mappings (Wine'"'"'s heaps, thread stacks and TEBs);\n"
                printf "   [heap]: the Wine process'"'"'s own C heap; a file: its resident pages, RssAnon those written)\n"
            }

            printf "\nimports   agent: %s\n          floor: %s\n", names["dll-names", "agent"], names["dll-names", "floor"]
            printf "modules   agent: %s\n          floor: %s\n", names["module-names", "agent"], names["module-names", "floor"]
            printf "[1] agent: launch event sent (HidSendEvent) to the product program'"'"'s entry point;\n"
            printf "    floor: CreateProcess of the same program to its entry point.\n"
            printf "memory, threads and idle figures are those of the program'"'"'s own Wine process;\n"
            printf "wineserver and Wine'"'"'s services are not counted.\n"
            if (ended["agent"] || ended["floor"])
                printf "note: threads ended during idle time (agent %d, floor %d); their last switches are not counted\n", \
                       ended["agent"], ended["floor"]
            if (missing != "") { printf "missing figures:%s\n", missing; exit 1 }
        }' "$samples"
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
