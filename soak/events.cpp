/*
 * Phases 3 to 5: long runs of device events through the library.  Phase 3
 * is hundreds of launch events with the product not installed, each of
 * which opens the web site; phase 4 thousands of other events and base
 * messages with the product installed, none of which may start anything;
 * phase 5 launch events with the product's folder there but neither of its
 * programs in it: the whole launch path, every time, and nothing started.
 */
#include "soak.h"

#include <stdio.h>

using namespace harness;

namespace soak {

bool PhaseWebSite(Soak &s)
{
    RemoveProductKey();
    const Counts before = s.CountRecords();
    const Soak::Programs programs = s.ProgramsStarted();
    const long launches = s.options.launches;
    for (long i = 0; i < launches; ++i) {
        char where[80];
        snprintf(where, sizeof where, "phase 3, launch event %ld", i + 1);
        if (!s.SendLaunch(where) || !s.Alive(where))
            return false;
    }
    s.WaitForRecords([&](const Counts &c) { return c.web - before.web >= launches; });
    const Counts after = s.CountRecords();
    Say("soak: %ld launch events opened the web site %ld times (%ld product, %ld other starts)", launches,
        after.web - before.web, after.product - before.product, after.other - before.other);
    if (after.web - before.web != launches || after.product != before.product || after.other != before.other)
        Fail("phase 3: expected the web site %ld times and nothing else: %s", launches,
             s.WhyNoRecord(programs).c_str());
    return true;
}

bool PhaseOtherEvents(Soak &s)
{
    Rng rng = s.options.PhaseRng(4);
    // With the product installed, a code wrongly taken for a launch starts it.
    if (!WriteInstallDirText(s.productDir)) {
        Fail("phase 4: could not write InstallDir");
        return false;
    }
    // Codes next to the launch code, in the other byte order, or sharing its
    // bit, besides random ones.
    const DWORD nearLaunch[] = {0x00000000, 0x000000FF, 0x00000101, 0x000001FF, 0x00000001, 0x00010000,
                                0x01000000, 0x00001000, 0x00000010, 0x80000100, 0xFFFFFF00, 0xFFFFFEFF,
                                0xFFFFFFFF, 0x00000110, 0x00010100, 0x01000100, 0x00000200, 0x00000180};
    const long nearCount = sizeof nearLaunch / sizeof nearLaunch[0];
    const Counts before = s.CountRecords();
    long base = 0;
    for (long i = 0; i < s.options.events; ++i) {
        DWORD answer = 0xFFFFFFFF, error, code = HID_EVENT_LAUNCH;
        char what[120];
        if (i >= nearCount && rng.Percent(10)) {
            // The base message carries no record: any parameters, full width.
            const ULONGLONG wp = rng.Next64(), lp = rng.Next64();
            snprintf(what, sizeof what, "phase 4, event #%ld: base message wParam %s lParam %s", i + 1,
                     Hex((ULONG_PTR)wp).c_str(), Hex((ULONG_PTR)lp).c_str());
            error = HidSendBase(s.agent.Pid(), wp, lp, &answer, kEventTimeoutMs);
            ++base;
        } else {
            // The codes next to the launch code first, each once, so that
            // even a short run sends them all.
            if (i < nearCount)
                code = nearLaunch[i];
            while (code == HID_EVENT_LAUNCH)
                code = rng.Percent(30) ? nearLaunch[rng.Below(nearCount)] : rng.Next();
            snprintf(what, sizeof what, "phase 4, event #%ld: code %s", i + 1, Hex(code, 8).c_str());
            error = HidSendEvent(s.agent.Pid(), code, &answer, kEventTimeoutMs);
        }
        if (error != ERROR_SUCCESS)
            return s.Undelivered(what, error);
        if (answer != 0)
            Fail("%s: answered %lu, not 0", what, answer);
        if (!s.Children().empty()) {
            Fail("%s: the agent started a program", what);
            s.WaitForChildren();
        }
        if (!s.Alive(what))
            return false;
    }
    s.WaitForChildren();
    const Counts after = s.CountRecords();
    const long started = after.web + after.product + after.other - (before.web + before.product + before.other);
    Say("soak: %ld events (%ld of them base messages) started %ld programs", s.options.events, base, started);
    if (started != 0)
        Fail("phase 4: events other than launch started programs");
    return true;
}

bool PhaseMissingPrograms(Soak &s)
{
    const std::string empty = MakeProductDir(s.base, "without-programs", false, false);
    if (empty.empty() || !WriteInstallDirText(empty)) {
        Fail("phase 5: could not make the folder without programs, or name it in InstallDir");
        return false;
    }
    const Counts before = s.CountRecords();
    for (long i = 0; i < s.options.missing; ++i) {
        char where[80];
        snprintf(where, sizeof where, "phase 5, launch event %ld", i + 1);
        if (!s.SendLaunch(where) || !s.Alive(where))
            return false;
    }
    // Each launch has waited for what it started to end, so its record is in.
    const Counts after = s.CountRecords();
    const long started = after.web + after.product + after.other - (before.web + before.product + before.other);
    Say("soak: %ld launch events with neither program in %s started %ld programs", s.options.missing, empty.c_str(),
        started);
    if (started != 0)
        Fail("phase 5: launch events started programs from a folder without any");
    RemoveProductKey();
    return true;
}

}  // namespace soak
