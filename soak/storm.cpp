/*
 * Phase 1: a random storm of window messages in and around the agent's
 * private range, sent and posted, with event records at every kind of
 * address a program on the desktop can hand it.  With the product not
 * installed every launch opens the web site, so the number of launches is
 * exact: a drain posted behind the storm every so often checks it.
 */
#include "soak.h"

/* psapi.dll's own entry points, which every version of the system has. */
#define PSAPI_VERSION 1
#include <psapi.h>
#include <string.h>

#include <map>
#include <vector>

using namespace harness;

namespace soak {

namespace {

const long kDrainEvery = 500;

/* Four pages in the agent: page 0 read-write with event records, page 1
 * no-access, page 2 a guard page that starts with a launch record, page 3
 * reserved but not committed.  Page 0 holds the launch code only at offsets
 * 0, 0x11 and in its last four bytes; the addresses after those straddle
 * into page 1.  Also the agent's own image, whose first page is readable. */
class Probe {
public:
    explicit Probe(Soak &s) : s_(s), process_(s.agent.pi.hProcess) {}
    bool Prepare();
    // An event record address, and whether the agent must take it for a
    // launch: only when all four bytes are readable and hold the code.
    ULONG_PTR Pick(Rng &rng, const char **category, bool *launch);
    ULONG_PTR LaunchRecord() const { return Page(0); }
    // The guard is still on page 2: the agent never touched it.
    bool GuardIntact() const;

private:
    ULONG_PTR Page(int i) const { return pages_ + (ULONG_PTR)i * pageSize_; }
    bool IsUnreadable(ULONG_PTR address) const;
    ULONG_PTR PickUnreadable(Rng &rng, ULONG_PTR lo, ULONG_PTR hi) const;
    ULONG_PTR ReleasedRegion();
    static bool HoldsLaunch(const std::vector<BYTE> &page, DWORD offset)
    {
        DWORD v;
        memcpy(&v, &page[offset], sizeof v);
        return v == kEventLaunch;
    }

    Soak &s_;
    HANDLE process_;
    DWORD pageSize_ = 4096;
    ULONG_PTR pages_ = 0;
    ULONG_PTR released_ = 0;  // a region given back again; see ReleasedRegion
    ULONG_PTR image_ = 0;
    ULONG_PTR userTop_ = 0;   // the highest address a program of this width can have
    std::vector<BYTE> page0_, header_;
};

bool Probe::Prepare()
{
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    pageSize_ = si.dwPageSize;
    userTop_ = (ULONG_PTR)si.lpMaximumApplicationAddress;
    const DWORD ps = pageSize_;
    pages_ = (ULONG_PTR)VirtualAllocEx(process_, NULL, 4 * ps, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (pages_ == 0) {
        Fail("set-up: could not allocate memory in the agent (error %lu)", GetLastError());
        return false;
    }
    Rng rng(0x9A6E0);
    page0_.resize(ps);
    for (BYTE &b : page0_)
        b = (BYTE)rng.Next();
    for (DWORD i = 0; i + 4 <= ps; ++i) {
        if (HoldsLaunch(page0_, i))
            page0_[i] ^= 0x01;
    }
    const DWORD launch = kEventLaunch;
    for (DWORD offset : {(DWORD)0, (DWORD)0x11, ps - 4})
        memcpy(&page0_[offset], &launch, 4);
    std::vector<BYTE> page2(ps, 0xCC);
    memcpy(&page2[0], &launch, 4);

    SIZE_T done = 0;
    DWORD old;
    HMODULE image = NULL;
    DWORD needed = 0;
    header_.resize(ps);
    if (!WriteProcessMemory(process_, (LPVOID)Page(0), page0_.data(), ps, &done) || done != ps ||
        !WriteProcessMemory(process_, (LPVOID)Page(2), page2.data(), ps, &done) || done != ps ||
        !VirtualProtectEx(process_, (LPVOID)Page(1), ps, PAGE_NOACCESS, &old) ||
        !VirtualProtectEx(process_, (LPVOID)Page(2), ps, PAGE_READWRITE | PAGE_GUARD, &old) ||
        !VirtualFreeEx(process_, (LPVOID)Page(3), ps, MEM_DECOMMIT) ||
        !EnumProcessModules(process_, &image, sizeof image, &needed) || needed < sizeof image ||
        !ReadProcessMemory(process_, image, header_.data(), ps, &done) || done != ps) {
        Fail("set-up: could not prepare the agent's probe pages (error %lu)", GetLastError());
        return false;
    }
    image_ = (ULONG_PTR)image;
    Say("soak: probe pages at %s (read-write, no-access, guard, reserved), agent image at %s, user space up to %s",
        Hex(pages_).c_str(), Hex(image_).c_str(), Hex(userTop_).c_str());
    return true;
}

bool Probe::GuardIntact() const
{
    MEMORY_BASIC_INFORMATION mbi;
    return VirtualQueryEx(process_, (LPCVOID)Page(2), &mbi, sizeof mbi) == sizeof mbi && (mbi.Protect & PAGE_GUARD);
}

/* Neither the first nor the last of the four bytes is committed in the agent. */
bool Probe::IsUnreadable(ULONG_PTR address) const
{
    for (ULONG_PTR a : {address, address + 3}) {
        if (a < address)
            return true;  // wraps past the top
        MEMORY_BASIC_INFORMATION mbi;
        if (VirtualQueryEx(process_, (LPCVOID)a, &mbi, sizeof mbi) == sizeof mbi && mbi.State == MEM_COMMIT)
            return false;  // (no answer at all: beyond what the process can address)
    }
    return true;
}

ULONG_PTR Probe::PickUnreadable(Rng &rng, ULONG_PTR lo, ULONG_PTR hi) const
{
    for (int attempt = 0; attempt < 64; ++attempt) {
        const ULONG_PTR a = (ULONG_PTR)rng.Between(lo, hi);
        if (IsUnreadable(a))
            return a;
    }
    return 0;  // null, then: unreadable everywhere
}

/* A region allocated in the agent and given back.  The agent soon maps
 * something else there (the system reuses freed address space first), so a
 * new one is made whenever the last one is taken. */
ULONG_PTR Probe::ReleasedRegion()
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (released_ != 0 && IsUnreadable(released_) && IsUnreadable(released_ + pageSize_ - 4))
            return released_;
        LPVOID region = VirtualAllocEx(process_, NULL, pageSize_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (region == NULL)
            break;
        VirtualFreeEx(process_, region, 0, MEM_RELEASE);
        released_ = (ULONG_PTR)region;
    }
    return 0;
}

ULONG_PTR Probe::Pick(Rng &rng, const char **category, bool *launch)
{
    const DWORD ps = pageSize_;
    const ULONG_PTR top = ~(ULONG_PTR)0;
    const uint32_t r = rng.Below(100);
    *launch = false;
    if (r < 6) {
        *category = "null";
        return 0;
    }
    if (r < 16) {
        *category = "small";
        return PickUnreadable(rng, 1, 0xFFFF);
    }
    if (r < 26) {
        *category = "unmapped";
        return PickUnreadable(rng, 0x10000, userTop_);
    }
    if (r < 32) {
        *category = "unmapped, unaligned";
        return PickUnreadable(rng, 0x10000, userTop_) | (ULONG_PTR)rng.Between(1, 3);
    }
    if (r < 42) {
        *category = "kernel space";
        const ULONG_PTR a = PickUnreadable(rng, (ULONG_PTR)kKernelSpace, top - 0xFFFF);
        return rng.Percent(30) ? a | (ULONG_PTR)rng.Between(1, 3) : a;
    }
    if (r < 47) {
        *category = "top of memory";
        return (ULONG_PTR)rng.Between(top - 15, top);
    }
    if (r < 55) {
        *category = "straddling into a no-access page";
        return Page(1) - (ULONG_PTR)rng.Between(1, 3);
    }
    if (r < 60) {
        *category = "no-access page";
        return Page(1) + rng.Below(ps - 3);
    }
    if (r < 63) {
        *category = "guard page";
        return Page(2) + (rng.Percent(50) ? 0 : rng.Below(ps - 3));
    }
    if (r < 66) {
        *category = "reserved page";
        return Page(3) + rng.Below(ps - 3);
    }
    if (r < 69) {
        *category = "released region";
        return ReleasedRegion() + rng.Below(ps - 3);
    }
    if (r < 91) {
        *category = "readable, other code";
        DWORD offset;
        do
            offset = rng.Below(ps - 3);
        while (HoldsLaunch(page0_, offset));
        return Page(0) + offset;
    }
    if (r < 97) {
        *category = "the agent's image header";
        const DWORD offset = rng.Below(ps - 3);
        *launch = HoldsLaunch(header_, offset);
        return image_ + offset;
    }
    *category = "readable launch record";
    const DWORD offsets[] = {0, 0x11, ps - 4};  // aligned, unaligned, last four bytes
    const DWORD offset = offsets[rng.Below(3)];
    *launch = true;
    return Page(0) + offset;
}

struct Message {
    long index;
    bool posted;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
    const char *category;

    std::string Describe() const
    {
        char text[240];
        snprintf(text, sizeof text, "#%ld %s 0x%04X wParam %s lParam %s%s%s%s", index, posted ? "posted" : "sent",
                 msg, Hex(wParam).c_str(), Hex((ULONG_PTR)lParam).c_str(), category ? " (" : "",
                 category ? category : "", category ? ")" : "");
        return text;
    }
};

/* A message in or around the private range.  System messages below WM_USER
 * carry pointers the system itself trusts, so a random one would crash any
 * program; none of these ends the agent by design either. */
Message Draw(Rng &rng, Probe &probe, long index, bool *launch)
{
    Message m{index, rng.Percent(30), 0, (WPARAM)rng.Next64(), (LPARAM)rng.Next64(), NULL};
    *launch = false;
    const uint32_t kind = rng.Below(100);
    if (kind < 45) {
        m.msg = kMsgEvent;
        m.lParam = (LPARAM)probe.Pick(rng, &m.category, launch);
    } else if (kind < 65) {
        m.msg = kMsgBase;
        if (rng.Percent(50))
            m.lParam = (LPARAM)probe.LaunchRecord();
    } else if (kind < 97) {
        do
            m.msg = (UINT)rng.Between(WM_USER, 0x0800);
        while (m.msg == kMsgEvent);
    } else {
        m.msg = (UINT)rng.Between(WM_APP, 0xBFFF);
    }
    return m;
}

}  // namespace

bool PhaseStorm(Soak &s)
{
    const char *phase = "phase 1 (window messages)";
    Rng rng = PhaseRng(s.options.seed, 1);
    Probe probe(s);
    if (!probe.Prepare())
        return false;
    RemoveProductKey();  // every launch opens the web site, so every launch shows
    const Counts start = s.CountRecords();
    long expected = 0, sent = 0, posted = 0, records = 0;
    std::vector<Message> recent;  // the last few, to show when something goes wrong
    std::map<std::string, long> tally;  // event records by kind of address

    auto stop = [&](const char *why) {
        Say("soak: %s; the last messages before that:", why);
        for (const Message &m : recent)
            Say("soak:   %s", m.Describe().c_str());
        return false;
    };
    // A launch record posted behind everything posted so far: once its web
    // site opens, every earlier message has been handled.
    auto drain = [&](long index) {
        if (!PostMessageA(s.window, kMsgEvent, 0, (LPARAM)probe.LaunchRecord())) {
            Fail("%s: posting a launch record failed after message #%ld (error %lu)", phase, index, GetLastError());
            return stop("stopped");
        }
        ++expected;
        const bool reached = s.WaitForRecords([&](const Counts &c) { return c.web - start.web >= expected; });
        s.WaitForChildren();
        const Counts seen = s.CountRecords();
        if (!s.Alive(phase))
            return stop("it died");
        if (!reached || seen.web - start.web != expected || seen.product != start.product ||
            seen.other != start.other) {
            Fail("%s: by message #%ld the web site opened %ld times, expected %ld (product %ld, other %ld starts)%s",
                 phase, index, seen.web - start.web, expected, seen.product - start.product, seen.other - start.other,
                 reached ? "" : "; the posted queue did not drain: hung?");
            if (!reached)
                s.Hung();
            return stop("the count was wrong");
        }
        if (!probe.GuardIntact()) {
            Fail("%s: by message #%ld the agent had read its guard page", phase, index);
            return stop("the guard was gone");
        }
        return true;
    };

    for (long i = 0; i < s.options.messages; ++i) {
        bool launch = false;
        const Message m = Draw(rng, probe, i, &launch);
        if (m.category)
            ++records, ++tally[m.category];
        if (recent.size() == 16)
            recent.erase(recent.begin());
        recent.push_back(m);
        if (m.posted) {
            ++posted;
            if (!PostMessageA(s.window, m.msg, m.wParam, m.lParam)) {
                Fail("%s: could not post %s (error %lu)", phase, m.Describe().c_str(), GetLastError());
                return stop("stopped");
            }
        } else {
            ++sent;
            DWORD_PTR answer = 0xFFFFFFFF;
            if (!SendMessageTimeoutA(s.window, m.msg, m.wParam, m.lParam, SMTO_NORMAL | SMTO_ABORTIFHUNG,
                                     kAnswerTimeoutMs, &answer)) {
                if (!s.Alive(phase))
                    return stop(("it died on " + m.Describe()).c_str());
                Fail("%s: no answer to %s (error %lu): hung, on it or on a message posted before it", phase,
                     m.Describe().c_str(), GetLastError());
                s.Hung();
                return stop("stopped");
            }
            if ((m.msg == kMsgEvent || m.msg == kMsgBase) && answer != 0)
                Fail("%s: %s answered %lu, not 0", phase, m.Describe().c_str(), (unsigned long)answer);
        }
        if (launch) {
            ++expected;
            if (!m.posted)
                s.WaitForChildren();
        }
        if (!s.Alive(phase))
            return stop(("it died on or before " + m.Describe()).c_str());
        if (((i + 1) % kDrainEvery == 0 || i + 1 == s.options.messages) && !drain(i))
            return false;
    }
    Say("soak: %ld messages (%ld sent, %ld posted), %ld of them event records, %ld launches, all as expected",
        s.options.messages, sent, posted, records, expected);
    std::string kinds;
    for (const auto &t : tally)
        kinds += (kinds.empty() ? "" : ", ") + t.first + " " + std::to_string(t.second);
    Say("soak: event record addresses: %s", kinds.c_str());
    return true;
}

}  // namespace soak
