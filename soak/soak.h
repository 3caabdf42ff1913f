/*
 * What the soak's files share: options, random numbers, reporting, and the
 * agent under soak with the checks every phase makes of it.  main.cpp runs
 * the phases (storm.cpp, hostile_values.cpp, events.cpp) in order against
 * one agent process and judges its figures around each.  The recorder
 * program stands in for the product and the browser, and logs every start
 * to the file named by RECORDER_LOG.
 */
#ifndef SOAK_H
#define SOAK_H

#include <stdint.h>
#include <stdio.h>

#include <functional>
#include <string>
#include <vector>

#include "agent_harness.h"
#include "hidusb_client.h"

namespace soak {

// Bounds on every wait for the agent: a hang fails the run, never stalls it.
const DWORD kAnswerTimeoutMs = 10000;  // one sent window message
const DWORD kEventTimeoutMs = 20000;   // one delivery through the library
const DWORD kStartTimeoutMs = 30000;   // a started program's record

// A line of output; Fail also counts a failure, and any failure makes the
// exit code 1.  Macros, so that the compiler checks formats as printf's.
extern int g_failures;
#define Say(...) (printf(__VA_ARGS__), printf("\n"), fflush(stdout))
#define Fail(...) (++soak::g_failures, printf("soak: FAIL: "), Say(__VA_ARGS__))
// With leading zeros, a pointer's full width by default: an address on the
// x86-64 build is never shown cut to 32 bits.
std::string Hex(ULONG_PTR value, int digits = (int)sizeof(ULONG_PTR) * 2);

// SplitMix64: small, and the same sequence from every compiler and width.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t Next64()
    {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t Next() { return (uint32_t)(Next64() >> 32); }
    uint32_t Below(uint32_t n) { return (uint32_t)(((uint64_t)Next() * n) >> 32); }
    bool Percent(uint32_t p) { return Below(100) < p; }
    // [lo, hi] at any width, the whole range included.
    uint64_t Between(uint64_t lo, uint64_t hi) { return hi - lo + 1 == 0 ? Next64() : lo + Next64() % (hi - lo + 1); }

private:
    uint64_t state_;
};

struct Options {
    uint64_t seed = 0x0A6E7501;
    std::string agent;  // empty: build\bin\agent.exe
    long messages = 10000, values = 300, launches = 300, events = 2000, missing = 1000;
    // The short soak of ./dev test (--short): a few seconds, and each fault
    // of faults.sh still far past what is tolerated (see main.cpp).
    bool shortRun = false;
    void Short() { shortRun = true, messages = 1000, values = 30, launches = 10, events = 300, missing = 400; }

    // Each phase draws from a stream of its own, so a phase repeats with the
    // same seed even when an earlier one was changed.
    Rng PhaseRng(int phase) const { return Rng(seed ^ (0xD1B54A32D192ED03ull * (uint64_t)(phase + 1))); }
};

// What the recorder logged, by kind.
struct Counts {
    long web = 0, product = 0, other = 0;
};

// The agent under soak and its stage (main.cpp).
struct Soak {
    Options options;
    harness::Process agent;
    HWND window = NULL;
    std::string base, log, productDir;
    bool usable = true;  // false once it died, lost its window or hangs: nothing more is asked of it

    Counts CountRecords() const;
    // Polls the log until done() holds; false after kStartTimeoutMs.
    bool WaitForRecords(const std::function<bool(const Counts &)> &done) const;
    // What the agent started once it was up (not Wine's desktop process,
    // which its first window may have started).
    ULONGLONG since = 0;
    std::vector<DWORD> Children() const { return harness::ChildrenOf(agent.Pid(), since); }
    // The agent and all it starts are in this job, whose accounting counts
    // every program started, so that a missing record says whether nothing
    // was started or what was started wrote nothing.
    HANDLE job = NULL;
    struct Programs {
        long started = -1, running = -1;  // -1: unknown
    };
    Programs ProgramsStarted() const;
    // One line on a launch that left no record: what the job counted since
    // before, and whether the agent still answers.
    std::string WhyNoRecord(const Programs &before) const;
    void WaitForChildren() const { harness::WaitForChildrenOf(agent.Pid(), kStartTimeoutMs, since); }
    // Same process, same window, and its class and title still find it.
    bool Alive(const char *where);
    // Reports a message or event the agent did not take; a timeout while it
    // is alive means it hangs.  Always false.
    bool Undelivered(const char *where, DWORD error);
    // One launch event, answered 0; waits for what it started to end.
    bool SendLaunch(const char *where);
    // Alive, subscribed once with its window, and a launch event with the
    // product installed starts the product exactly once.
    bool StillWorks(const char *where);
};

// The phases; each false when it had to stop early.
bool PhaseStorm(Soak &s);
bool PhaseHostileValues(Soak &s);
bool PhaseWebSite(Soak &s);
bool PhaseOtherEvents(Soak &s);
bool PhaseMissingPrograms(Soak &s);

}  // namespace soak

#endif
