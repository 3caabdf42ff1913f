/*
 * Soak driver for ./dev soak: runs the four phases against one agent
 * process, checks after each that it is the same agent and still works,
 * and judges its handle and memory figures around each phase.  A crash, a
 * hang (every wait is bounded), a wrong answer, a wrong or missing start,
 * or growth makes the exit code 1.
 *
 * Every random choice comes from one seed, printed at the start; --seed
 * repeats a run.
 */
#include "soak.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>

#include <vector>

using namespace harness;
using namespace soak;

namespace {

/* Growth allowed from one measurement to the next.
 *
 * The first measurement follows a warm-up that used every path once, so
 * what the system allocates on first use is already in it.  From then on
 * the agent keeps nothing per message or event: under Wine 8 its handle
 * count does not move at all, and memory moves by at most some 64 KiB.
 *
 * Handles: 4, for what the system does on its own schedule (a thread-pool
 * worker coming or going holds a handle or two).  One handle kept per event
 * is hundreds in phase 4 and thousands in phase 1.
 *
 * Memory: 256 KiB of each figure, four times the largest movement seen.  A
 * leak of 1 KiB per launch is 300 KiB in phase 3; of 256 bytes per event,
 * 500 KiB in phase 4. */
const long kHandleTolerance = 4;
const long kMemoryToleranceKiB = 256;

bool ParseOptions(int argc, char **argv, Options *options)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char *value = argv[i + 1];
        if (name == "--agent") {
            options->agent = value;
            continue;
        }
        char *end = NULL;
        errno = 0;
        const unsigned long long number = strtoull(value, &end, 0);
        if (errno != 0 || end == value || *end != '\0')
            return false;
        if (name == "--seed")
            options->seed = number;
        else if (name == "--messages")
            options->messages = (long)number;
        else if (name == "--values")
            options->values = (long)number;
        else if (name == "--launches")
            options->launches = (long)number;
        else if (name == "--events")
            options->events = (long)number;
        else
            return false;
    }
    return argc % 2 == 1;
}

struct Figures {
    long handles = -1;
    MemoryFigures memory;
};

Figures Measure(const Process &agent) { return {HandleCount(agent.Pid()), MeasureMemory(agent.pi.hProcess)}; }

// What grew past its tolerance between two measurements ("" when nothing
// did).  A figure that could not be read counts as grown: the soak cannot
// vouch for it.
std::string GrowthVerdict(const Figures &before, const Figures &after)
{
    const struct {
        const char *what;
        long before, after, tolerance;
    } figures[] = {
        {"handles", before.handles, after.handles, kHandleTolerance},
        {"working set", before.memory.workingSetKiB, after.memory.workingSetKiB, kMemoryToleranceKiB},
        {"private memory", before.memory.pagefileKiB, after.memory.pagefileKiB, kMemoryToleranceKiB},
        {"committed memory", before.memory.privateKiB, after.memory.privateKiB, kMemoryToleranceKiB},
    };
    std::string verdict;
    for (const auto &f : figures) {
        if (f.before < 0 || f.after < 0 || f.after - f.before > f.tolerance)
            verdict += std::string(verdict.empty() ? "" : ", ") + f.what + " grew";
    }
    return verdict;
}

struct Row {
    std::string phase;
    Figures before;
    Figures after;
    bool measured;
};

// The figures table, and the growth verdict on every row.
void JudgeFigures(const std::vector<Row> &rows)
{
    Say("%s", "");
    Say("soak: the agent's figures around each phase (tolerated growth: %ld handles, %ld KiB of each memory figure)",
        kHandleTolerance, kMemoryToleranceKiB);
    Say("%-28s %15s %19s %19s %19s", "", "handles", "working set KiB", "private in use KiB", "committed priv KiB");
    Say("%-28s %7s %7s %9s %9s %9s %9s %9s %9s  %s", "phase", "before", "after", "before", "after", "before", "after",
        "before", "after", "verdict");
    for (const Row &r : rows) {
        const MemoryFigures &b = r.before.memory, &a = r.after.memory;
        if (!r.measured) {
            Say("%-28s %7ld %7s %9ld %9s %9ld %9s %9ld %9s  %s", r.phase.c_str(), r.before.handles, "-",
                b.workingSetKiB, "-", b.pagefileKiB, "-", b.privateKiB, "-", "not measured: the agent is gone or hung");
            continue;
        }
        const std::string grown = GrowthVerdict(r.before, r.after);
        Say("%-28s %7ld %7ld %9ld %9ld %9ld %9ld %9ld %9ld  %s", r.phase.c_str(), r.before.handles, r.after.handles,
            b.workingSetKiB, a.workingSetKiB, b.pagefileKiB, a.pagefileKiB, b.privateKiB, a.privateKiB,
            grown.empty() ? "ok" : grown.c_str());
        if (!grown.empty())
            Fail("%s: %s past the tolerance", r.phase.c_str(), grown.c_str());
    }
    Say("%s", "");
}

int Run(const Options &options)
{
    Say("soak: seed %llu (repeat with SOAK_SEED=%llu ./dev soak)", (unsigned long long)options.seed,
        (unsigned long long)options.seed);
    Soak s(options);
    if (!s.Start())
        return 1;
    s.WarmUp();
    if (!s.Alive("warm-up"))
        return 1;

    const struct {
        const char *name;
        bool (*run)(Soak &);
    } phases[] = {
        {"1 window messages", PhaseStorm},
        {"2 hostile InstallDir values", PhaseHostileValues},
        {"3 launches, web site", PhaseWebSite},
        {"4 other events", PhaseOtherEvents},
    };
    std::vector<Row> rows;
    const Figures first = Measure(s.agent);
    Figures last = first;
    for (const auto &p : phases) {
        Say("soak: phase %s", p.name);
        const DWORD start = GetTickCount();
        const std::string where = std::string("after phase ") + p.name;
        const bool completed = p.run(s);
        const bool works = completed && s.StillWorks(where.c_str());
        if (works)
            Say("soak: %s the agent is the same process and still starts the product (%.1f s)", where.c_str(),
                (GetTickCount() - start) / 1000.0);
        if (!s.usable) {
            rows.push_back({p.name, last, Figures(), false});
            break;
        }
        s.Quiesce();
        const Figures now = Measure(s.agent);
        rows.push_back({p.name, last, now, true});
        last = now;
        if (!works)
            break;
    }
    if (s.usable && rows.size() > 1)
        rows.push_back({"all phases", first, last, true});
    JudgeFigures(rows);
    s.End();
    if (Failures() != 0) {
        Say("soak: %d failure(s); repeat with SOAK_SEED=%llu ./dev soak", Failures(), (unsigned long long)options.seed);
        return 1;
    }
    Say("soak: passed");
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        fprintf(stderr, "usage: soak [--seed N] [--agent PATH] [--messages N] [--values N] [--launches N] "
                        "[--events N]\n");
        return 2;
    }
    return Run(options);
}
