# The bench's report, from its samples ("<figure> <who> <value>" lines, and
# "dll-names"/"module-names" lines): the medians of agent and floor and
# their ratio with the spread of each side, the goals (memory, start-up and
# reaction within 5% of the floor, as many threads), and where one is
# missed, what the difference is made of (the modules only one side has,
# the resident and anonymous memory by mapping).
# Variables: runs, rounds, idle (the counts the run used), wine, cores,
# width (which build was measured, in words).  Exits 1 when a figure is
# missing.
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
    printf "floor: one hidden window subscribed to the same HIDUSB.dll (ordinal 2) and a blocking GetMessage loop, built with the agent's flags\n\n"
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
        printf "  ([anon]: unnamed anonymous mappings (Wine's heaps, thread stacks and TEBs);\n"
        printf "   [heap]: the Wine process's own C heap; a file: its resident pages, RssAnon those written)\n"
    }

    printf "\nimports   agent: %s\n          floor: %s\n", names["dll-names", "agent"], names["dll-names", "floor"]
    printf "modules   agent: %s\n          floor: %s\n", names["module-names", "agent"], names["module-names", "floor"]
    printf "[1] agent: launch event sent (HidSendEvent) to the product program's entry point;\n"
    printf "    floor: CreateProcess of the same program to its entry point.\n"
    printf "memory, threads and idle figures are those of the program's own Wine process;\n"
    printf "wineserver and Wine's services are not counted.\n"
    if (ended["agent"] || ended["floor"])
        printf "note: threads ended during idle time (agent %d, floor %d); their last switches are not counted\n", \
               ended["agent"], ended["floor"]
    if (missing != "") { printf "missing figures:%s\n", missing; exit 1 }
}
