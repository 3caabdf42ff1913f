/*
 * What the soak's files share: the run's options, its random numbers, its
 * reporting, and the agent under soak with the checks every phase uses.
 *
 * The soak starts agent.exe as a separate process and works it, from this
 * process, through four phases (storm.cpp, hostile_values.cpp, events.cpp);
 * main.cpp runs them in order and judges the agent's figures around each.
 * The recorder program stands in for the product and for the browser and
 * logs every start to the file named by RECORDER_LOG.
 */
#ifndef SOAK_H
#define SOAK_H

#include <windows.h>

#include <stdint.h>

#include <functional>
#include <string>

#include "agent_harness.h"
#include "hidusb_client.h"

namespace soak {

/* Bounds on every wait for the agent: a hang fails the run, never stalls it. */
const DWORD kAnswerTimeoutMs = 10000;  // one sent window message
const DWORD kEventTimeoutMs = 20000;   // one delivery through the library
const DWORD kStartTimeoutMs = 30000;   // a started program's record

/* ------------------------------------------------------------ reporting */

void Say(const char *format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));
// Counts a failure; any failure makes the exit code 1.
void Fail(const char *format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));
int Failures();

// Hexadecimal with leading zeros: a full pointer by default, so that an
// address on the x86-64 build is never shown cut to 32 bits.
std::string Hex(ULONG_PTR value, int digits = (int)sizeof(ULONG_PTR) * 2);

/* ---------------------------------------------------------------- random */

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
    // Uniform enough in [lo, hi] for any width, the whole range included.
    uint64_t Between(uint64_t lo, uint64_t hi)
    {
        uint64_t span = hi - lo + 1;
        return span == 0 ? Next64() : lo + Next64() % span;
    }

private:
    uint64_t state_;
};

// Each phase draws from a stream of its own, so a phase repeats with the
// same seed even when an earlier one was changed.
inline Rng PhaseRng(uint64_t seed, int phase) { return Rng(seed ^ (0xD1B54A32D192ED03ull * (uint64_t)(phase + 1))); }

/* ------------------------------------------------------ the agent under soak */

struct Options {
    uint64_t seed = 0x0A6E7501;
    std::string agent;  // empty: build\bin\agent.exe
    long messages = 10000;
    long values = 300;
    long launches = 300;
    long events = 2000;
};

// What the recorder logged, by kind.
struct Counts {
    long web = 0;
    long product = 0;
    long other = 0;
};

class Soak {
public:
    explicit Soak(const Options &options) : options(options) {}
    ~Soak() { End(); }
    Soak(const Soak &) = delete;
    Soak &operator=(const Soak &) = delete;

    // Stages the product and starts the agent; then uses every path once,
    // so that what the system sets up on first use is in the first figures.
    bool Start();
    void WarmUp();
    // Ends the agent (it must end on WM_QUIT) and removes the stage.
    void End();

    Counts CountRecords() const;
    // Polls the log until done() holds; false after kStartTimeoutMs.
    bool WaitForRecords(const std::function<bool(const Counts &)> &done) const;
    void WaitForChildren() const { harness::WaitForChildrenOf(agent.Pid(), kStartTimeoutMs); }

    // Same process, same window, and the class and title still find it.
    bool Alive(const char *where);
    // One launch event through the library, answered 0; waits for what it
    // started to end.
    bool SendLaunch(const char *where);
    // Alive, still subscribed once with its window, and a launch event with
    // the product installed starts the product exactly once.
    bool StillWorks(const char *where);
    // Nothing of ours in flight: what it started has ended, and it answered.
    void Quiesce();
    // A wait for the agent ran out while it was still there: it hangs, and
    // nothing more is asked of it.
    void Hung() { usable = false; }

    const Options options;
    harness::Process agent;
    HWND window = NULL;
    std::string base, log, productDir, productProgram;
    bool usable = true;  // false once it died, lost its window or hung

private:
    bool ended_ = false;
};

// The phases, each false when it had to stop early.
bool PhaseStorm(Soak &s);
bool PhaseHostileValues(Soak &s);
bool PhaseWebSite(Soak &s);
bool PhaseOtherEvents(Soak &s);

}  // namespace soak

#endif
