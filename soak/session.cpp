/*
 * The agent under soak: the stage it runs on, starting and ending it, and
 * the checks every phase makes of it.
 */
#include "soak.h"

#include <stdarg.h>
#include <stdio.h>

using namespace harness;

namespace soak {

namespace {
int g_failures;

void SayLine(const char *prefix, const char *format, va_list args)
{
    printf("%s", prefix);
    vprintf(format, args);
    printf("\n");
    fflush(stdout);
}
}  // namespace

void Say(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    SayLine("", format, args);
    va_end(args);
}

void Fail(const char *format, ...)
{
    ++g_failures;
    va_list args;
    va_start(args, format);
    SayLine("soak: FAIL: ", format, args);
    va_end(args);
}

int Failures() { return g_failures; }

std::string Hex(ULONG_PTR value, int digits)
{
    char text[24];
    snprintf(text, sizeof text, "0x%0*llX", digits, (unsigned long long)value);
    return text;
}

bool Soak::Start()
{
    RemoveProductKey();
    StopAllAgents();
    base = MakeTempDir("ostrel-soak");
    log = base + "\\recorder.log";
    SetEnvironmentVariableA("RECORDER_LOG", log.c_str());
    productDir = MakeProductDir(base, "product", true, false);
    if (productDir.empty()) {
        Fail("set-up: could not put a copy of %s in %s", RecorderPath().c_str(), base.c_str());
        return false;
    }
    productProgram = productDir + "\\Vorq.exe";

    const std::string path = options.agent.empty() ? AgentPath() : options.agent;
    Say("soak: agent %s", path.c_str());
    agent = harness::Start(path, Quote(path));
    if (!agent.Started()) {
        Fail("set-up: could not start %s (error %lu)", path.c_str(), GetLastError());
        return false;
    }
    window = WaitForAgentWindow(agent.Pid(), kStartTimeoutMs);
    if (window == NULL) {
        Fail("set-up: the agent (pid %lu) showed no window", agent.Pid());
        return false;
    }
    Say("soak: agent pid %lu, window %s", agent.Pid(), Hex((ULONG_PTR)window).c_str());
    return true;
}

void Soak::WarmUp()
{
    SendLaunch("warm-up, web site");
    StillWorks("warm-up, product");
    DWORD answer = 0;
    HidSendEvent(agent.Pid(), 0x101, &answer, kEventTimeoutMs);
    HidSendBase(agent.Pid(), 0, 0, &answer, kEventTimeoutMs);
    DWORD_PTR result = 0;
    SendMessageTimeoutA(window, kMsgEvent, 0, 0, SMTO_NORMAL, kAnswerTimeoutMs, &result);
    SendMessageTimeoutA(window, WM_USER + 0x123, 0, 0, SMTO_NORMAL, kAnswerTimeoutMs, &result);
    PostMessageA(window, WM_USER + 0x123, 0, 0);
    Quiesce();
}

void Soak::End()
{
    if (ended_)
        return;
    ended_ = true;
    if (agent.Running()) {
        // A hung agent reads no quit message; it is ended by force without
        // a second failure for the same fault.
        if (window != NULL)
            PostMessageA(window, WM_QUIT, 0, 0);
        PostThreadMessageA(agent.pi.dwThreadId, WM_QUIT, 0, 0);
        DWORD code = agent.Wait(usable ? kEventTimeoutMs : 0);
        if (code == STILL_ACTIVE) {
            if (usable)
                Fail("clean-up: the agent did not end on WM_QUIT; ending it by force");
            agent.Kill();
        } else if (code != 0 && usable) {
            Fail("clean-up: the agent ended on WM_QUIT with exit code %s", Hex(code, 8).c_str());
        }
    }
    if (agent.Started())
        WaitForChildren();
    RemoveProductKey();
    SetEnvironmentVariableA("RECORDER_LOG", NULL);
    if (!base.empty())
        RemoveTree(base);
}

Counts Soak::CountRecords() const
{
    Counts c;
    const std::string product = Lower(productProgram);
    for (const Record &r : ReadRecords(log)) {
        if (Lower(r.program) == product)
            ++c.product;
        else if (IsWebSiteRecord(r))
            ++c.web;
        else
            ++c.other;
    }
    return c;
}

bool Soak::WaitForRecords(const std::function<bool(const Counts &)> &done) const
{
    const DWORD start = GetTickCount();
    while (!done(CountRecords())) {
        if (GetTickCount() - start >= kStartTimeoutMs)
            return false;
        Sleep(20);
    }
    return true;
}

bool Soak::Alive(const char *where)
{
    if (!usable)
        return false;
    DWORD code = agent.Wait(0);
    DWORD owner = 0;
    if (code != STILL_ACTIVE) {
        Fail("%s: the agent process ended, exit code %s", where, Hex(code, 8).c_str());
        usable = false;
    } else if (!IsWindow(window) || !GetWindowThreadProcessId(window, &owner) || owner != agent.Pid()) {
        Fail("%s: the agent window %s is gone", where, Hex((ULONG_PTR)window).c_str());
        usable = false;
    } else if (FindAgentWindow() != window) {
        Fail("%s: the agent's class and title now find %s, not its window %s", where,
             Hex((ULONG_PTR)FindAgentWindow()).c_str(), Hex((ULONG_PTR)window).c_str());
        return false;
    }
    return usable;
}

bool Soak::SendLaunch(const char *where)
{
    DWORD answer = 0xFFFFFFFF;
    DWORD error = HidSendEvent(agent.Pid(), kEventLaunch, &answer, kEventTimeoutMs);
    if (error != ERROR_SUCCESS) {
        if (Alive(where)) {
            Fail("%s: launch event not delivered (error %lu%s)", where, error,
                 error == ERROR_TIMEOUT ? ", the agent did not answer: hung" : "");
            if (error == ERROR_TIMEOUT)
                Hung();
        }
        return false;
    }
    if (answer != 0)
        Fail("%s: launch event answered %lu, not 0", where, answer);
    WaitForChildren();
    return answer == 0;
}

bool Soak::StillWorks(const char *where)
{
    if (!Alive(where))
        return false;
    HidReply status{};
    DWORD error = HidQueryStatus(agent.Pid(), &status, kEventTimeoutMs);
    if (error != ERROR_SUCCESS) {
        Fail("%s: the library's channel in the agent does not answer (error %lu)", where, error);
        return false;
    }
    if (HidReplyWindow(status) != window || status.calls != 1) {
        Fail("%s: subscription changed: window %s, %lu subscription calls", where,
             Hex((ULONG_PTR)HidReplyWindow(status)).c_str(), status.calls);
        return false;
    }
    if (!WriteInstallDirText(productDir)) {
        Fail("%s: could not write InstallDir", where);
        return false;
    }
    const Counts before = CountRecords();
    bool ok = SendLaunch(where);
    if (ok && !WaitForRecords([&](const Counts &c) { return c.product > before.product; })) {
        Fail("%s: a launch event with the product installed started nothing", where);
        ok = false;
    }
    const Counts after = CountRecords();
    if (ok && (after.product != before.product + 1 || after.web != before.web || after.other != before.other)) {
        Fail("%s: one launch event started %ld product, %ld web site, %ld other programs", where,
             after.product - before.product, after.web - before.web, after.other - before.other);
        ok = false;
    }
    RemoveProductKey();
    return ok && Alive(where);
}

void Soak::Quiesce()
{
    WaitForChildren();
    DWORD_PTR answer = 0;
    if (usable)
        SendMessageTimeoutA(window, kMsgBase, 0, 0, SMTO_NORMAL, kAnswerTimeoutMs, &answer);
}

}  // namespace soak
