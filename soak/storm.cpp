/*
 * Phase 1: a random storm of window messages in and around the agent's
 * private range, sent and posted, with event records at every kind of
 * address a program on the desktop can hand it.  The product is not
 * installed, so every launch opens the web site and their number is exact:
 * a launch record posted behind the storm every 500 messages checks it.
 */
#include "soak.h"

#define PSAPI_VERSION 1  // psapi.dll's own entry points, which every system has
#include <psapi.h>
#include <string.h>

#include <map>
#include <vector>

using namespace harness;

namespace soak {

namespace {

/* The agent's memory as the storm prepares it: four pages of its own,
 * read-write with records (the launch code only at 0, 0x11 and in the last
 * four bytes, which the next three addresses straddle), no-access, guard
 * (starting with the launch code) and reserved; and the agent's image,
 * whose first page is readable. */
struct Probe {
    HANDLE process = NULL;
    DWORD ps = 4096;
    ULONG_PTR pages = 0, image = 0, released = 0, userTop = 0;
    std::vector<BYTE> page0, header;

    ULONG_PTR Page(int i) const { return pages + (ULONG_PTR)i * ps; }
    static bool HoldsLaunch(const std::vector<BYTE> &page, DWORD at)
    {
        DWORD v;
        memcpy(&v, &page[at], sizeof v);
        return v == HID_EVENT_LAUNCH;
    }

    bool Prepare()
    {
        SYSTEM_INFO si;
        GetSystemInfo(&si);
        ps = si.dwPageSize;
        userTop = (ULONG_PTR)si.lpMaximumApplicationAddress;
        pages = (ULONG_PTR)VirtualAllocEx(process, NULL, 4 * ps, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        Rng rng(0x9A6E0);
        page0.resize(ps);
        for (BYTE &b : page0)
            b = (BYTE)rng.Next();
        for (DWORD i = 0; i + 4 <= ps; ++i)
            page0[i] ^= HoldsLaunch(page0, i) ? 1 : 0;
        std::vector<BYTE> page2(ps, 0xCC);
        const DWORD launch = HID_EVENT_LAUNCH;
        for (BYTE *at : {&page0[0], &page0[0x11], &page0[ps - 4], &page2[0]})
            memcpy(at, &launch, 4);
        HMODULE module = NULL;
        DWORD old, needed = 0;
        header.resize(ps);
        if (!pages || !WriteProcessMemory(process, (LPVOID)Page(0), page0.data(), ps, NULL) ||
            !WriteProcessMemory(process, (LPVOID)Page(2), page2.data(), ps, NULL) ||
            !VirtualProtectEx(process, (LPVOID)Page(1), ps, PAGE_NOACCESS, &old) ||
            !VirtualProtectEx(process, (LPVOID)Page(2), ps, PAGE_READWRITE | PAGE_GUARD, &old) ||
            !VirtualFreeEx(process, (LPVOID)Page(3), ps, MEM_DECOMMIT) ||
            !EnumProcessModules(process, &module, sizeof module, &needed) ||
            !ReadProcessMemory(process, module, header.data(), ps, NULL)) {
            Fail("set-up: could not prepare the agent's probe pages (error %lu)", GetLastError());
            return false;
        }
        image = (ULONG_PTR)module;
        Say("soak: probe pages at %s, agent image at %s, user space up to %s", Hex(pages).c_str(), Hex(image).c_str(),
            Hex(userTop).c_str());
        return true;
    }

    // Neither the first nor the last of four bytes is committed in the agent
    // (VirtualQueryEx has no answer past what a process can address).
    bool Unreadable(ULONG_PTR address) const
    {
        MEMORY_BASIC_INFORMATION mbi;
        for (ULONG_PTR a : {address, address + 3}) {
            if (a >= address && VirtualQueryEx(process, (LPCVOID)a, &mbi, sizeof mbi) && mbi.State == MEM_COMMIT)
                return false;
        }
        return true;
    }

    ULONG_PTR PickUnreadable(Rng &rng, ULONG_PTR lo, ULONG_PTR hi) const
    {
        for (int attempt = 0; attempt < 64; ++attempt) {
            const ULONG_PTR a = (ULONG_PTR)rng.Between(lo, hi);
            if (Unreadable(a))
                return a;
        }
        return 0;  // null, then: unreadable everywhere
    }

    // A region allocated in the agent and given back.  The system soon maps
    // something else there, so a new one is made when the last is taken.
    ULONG_PTR Released()
    {
        for (int attempt = 0; attempt < 8 && !(released && Unreadable(released) && Unreadable(released + ps - 4));
             ++attempt) {
            released = (ULONG_PTR)VirtualAllocEx(process, NULL, ps, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
            VirtualFreeEx(process, (LPVOID)released, 0, MEM_RELEASE);
        }
        return released;
    }

    // An event record address; *launch when the agent must take it for a
    // launch: all four bytes readable and holding the launch code.
    ULONG_PTR Pick(Rng &rng, const char **kind, bool *launch)
    {
        const ULONG_PTR top = ~(ULONG_PTR)0;
        auto within = [&](int page) { return Page(page) + rng.Below(ps - 3); };
        auto other = [&] {
            DWORD at;
            do
                at = rng.Below(ps - 3);
            while (HoldsLaunch(page0, at));
            return Page(0) + at;
        };
        auto inImage = [&] {
            const DWORD at = rng.Below(ps - 3);
            *launch = HoldsLaunch(header, at);
            return image + at;
        };
        auto launchRecord = [&] {
            *launch = true;
            return Page(0) + (rng.Percent(50) ? 0 : rng.Percent(50) ? 0x11 : ps - 4);
        };
        const struct {
            uint32_t upTo;  // of 100
            const char *kind;
            std::function<ULONG_PTR()> at;
        } kinds[] = {
            {6, "null", [] { return (ULONG_PTR)0; }},
            {16, "small", [&] { return PickUnreadable(rng, 1, 0xFFFF); }},
            {26, "unmapped", [&] { return PickUnreadable(rng, 0x10000, userTop); }},
            {32, "unmapped, unaligned", [&] { return PickUnreadable(rng, 0x10000, userTop) | (ULONG_PTR)rng.Between(1, 3); }},
            {42, "kernel space", [&] { return PickUnreadable(rng, (ULONG_PTR)kKernelSpace, top - 3); }},
            {47, "top of memory", [&] { return (ULONG_PTR)rng.Between(top - 15, top); }},
            {55, "straddling into a no-access page", [&] { return Page(1) - (ULONG_PTR)rng.Between(1, 3); }},
            {60, "no-access page", [&] { return within(1); }},
            {63, "guard page", [&] { return rng.Percent(50) ? Page(2) : within(2); }},
            {66, "reserved page", [&] { return within(3); }},
            {69, "released region", [&] { return Released() + rng.Below(ps - 3); }},
            {91, "readable, other code", other},
            {97, "the agent's image header", inImage},
            {100, "readable launch record", launchRecord},
        };
        *launch = false;
        const uint32_t r = rng.Below(100);
        int k = 0;
        while (r >= kinds[k].upTo)
            ++k;
        *kind = kinds[k].kind;
        return kinds[k].at();
    }
};

struct Message {
    long index;
    bool posted;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
    const char *kind;

    std::string Describe() const
    {
        char text[240];
        snprintf(text, sizeof text, "phase 1, message #%ld %s 0x%04X wParam %s lParam %s%s%s", index,
                 posted ? "posted" : "sent", msg, Hex(wParam).c_str(), Hex((ULONG_PTR)lParam).c_str(), kind ? ", " : "",
                 kind ? kind : "");
        return text;
    }
};

/* Private messages only: those below WM_USER carry what the system itself
 * trusts (a random WM_SETTEXT pointer crashes any program), and some end a
 * program by design. */
Message Draw(Rng &rng, Probe &probe, long index, bool *launch)
{
    Message m{index, rng.Percent(30), kMsgEvent, (WPARAM)rng.Next64(), (LPARAM)rng.Next64(), NULL};
    *launch = false;
    const uint32_t r = rng.Below(100);
    if (r < 45) {
        m.lParam = (LPARAM)probe.Pick(rng, &m.kind, launch);
    } else if (r < 65) {
        m.msg = kMsgBase;
        if (rng.Percent(50))
            m.lParam = (LPARAM)probe.Page(0);
    } else {
        while (m.msg == kMsgEvent)
            m.msg = r < 97 ? (UINT)rng.Between(WM_USER, 0x0800) : (UINT)rng.Between(WM_APP, 0xBFFF);
    }
    return m;
}

// The storm's state: what was sent, what that must have started.
struct Storm {
    explicit Storm(Soak &soak) : s(soak) {}
    Soak &s;
    Probe probe;
    Counts start;
    Soak::Programs programs;  // as the phase began
    long expected = 0, posted = 0, records = 0;
    std::vector<Message> recent;        // the last few, shown when something goes wrong
    std::map<std::string, long> tally;  // event records by kind of address

    void Note(const Message &m, bool launch)
    {
        if (m.kind) {
            ++records;
            ++tally[m.kind];
        }
        if (recent.size() == 16)
            recent.erase(recent.begin());
        recent.push_back(m);
        posted += m.posted;
        expected += launch;
    }

    bool Stop()
    {
        Say("soak: the last messages were:");
        for (const Message &m : recent)
            Say("soak:   %s", m.Describe().c_str());
        return false;
    }
};

// Sends or posts one message; false when the agent did not take it.  A
// launch sent (not posted) has finished, what it started with it, on return.
bool Send(Storm &st, const Message &m, bool launch)
{
    DWORD_PTR answer = 0;
    // Not SMTO_ABORTIFHUNG: the system calls a window hung once its thread
    // has not read its queue for 5 s, which a loaded machine can reach while
    // the agent starts a program; only the soak's own bound means a hang.
    const bool taken = m.posted ? PostMessageA(st.s.window, m.msg, m.wParam, m.lParam)
                                : SendMessageTimeoutA(st.s.window, m.msg, m.wParam, m.lParam, SMTO_NORMAL,
                                                      kAnswerTimeoutMs, &answer);
    if (!taken)
        return st.s.Undelivered(m.Describe().c_str(), GetLastError());
    if (answer != 0 && (m.msg == kMsgEvent || m.msg == kMsgBase))
        Fail("%s: answered %lu, not 0", m.Describe().c_str(), (unsigned long)answer);
    if (launch && !m.posted)
        st.s.WaitForChildren();
    return true;
}

// Once the web site of a launch posted behind the storm opens, every
// earlier message has been handled: then exactly the expected launches
// opened the web site, and nothing else was started.
bool Check(Storm &st, long index)
{
    const char *phase = "phase 1 (window messages)";
    if (!PostMessageA(st.s.window, kMsgEvent, 0, (LPARAM)st.probe.Page(0)))
        return st.s.Undelivered(phase, GetLastError());
    ++st.expected;
    const Counts &start = st.start;
    const bool drained = st.s.WaitForRecords([&](const Counts &c) { return c.web - start.web >= st.expected; });
    const std::string why = drained ? "" : ": " + st.s.WhyNoRecord(st.programs);
    st.s.WaitForChildren();
    const Counts seen = st.s.CountRecords();
    if (!st.s.Alive(phase))
        return false;
    if (!drained || seen.web - start.web != st.expected || seen.product != start.product || seen.other != start.other) {
        Fail("%s: by message #%ld the web site opened %ld times, not %ld (and %ld product, %ld other starts)%s", phase,
             index, seen.web - start.web, st.expected, seen.product - start.product, seen.other - start.other,
             why.c_str());
        st.s.usable = drained;
        return false;
    }
    return true;
}

}  // namespace

bool PhaseStorm(Soak &s)
{
    Storm st(s);
    Rng rng = s.options.PhaseRng(1);
    st.probe.process = s.agent.pi.hProcess;
    if (!st.probe.Prepare())
        return false;
    RemoveProductKey();
    st.start = s.CountRecords();
    st.programs = s.ProgramsStarted();
    for (long i = 0; i < s.options.messages; ++i) {
        bool launch;
        const Message m = Draw(rng, st.probe, i, &launch);
        st.Note(m, launch);
        if (!Send(st, m, launch) || !s.Alive(m.Describe().c_str()))
            return st.Stop();
        if (((i + 1) % 500 == 0 || i + 1 == s.options.messages) && !Check(st, i))
            return st.Stop();
    }
    Say("soak: %ld messages (%ld posted), %ld of them event records, %ld launches, all as expected",
        s.options.messages, st.posted, st.records, st.expected);
    std::string kinds;
    for (const auto &t : st.tally)
        kinds += (kinds.empty() ? "" : ", ") + t.first + " " + std::to_string(t.second);
    Say("soak: event record addresses: %s", kinds.c_str());
    return true;
}

}  // namespace soak
