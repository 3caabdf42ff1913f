/*
 * Soak driver for ./dev soak.
 *
 * Starts agent.exe as a separate process and works it, from this process,
 * through four phases:
 *
 *   1. random window messages in and around its private range, sent and
 *      posted, with event records at null, small, unmapped, unaligned,
 *      kernel-space, top-of-memory, no-access, guard and page-straddling
 *      addresses, and at readable addresses whose code may or may not be
 *      the launch code;
 *   2. hostile InstallDir values, each followed by one launch event;
 *   3. a long run of launch events with the product not installed, each of
 *      which opens the web site;
 *   4. a long run of other device events, which must start nothing.
 *
 * After each phase the agent must be the same process with the same window
 * and subscription, must still start the product on a launch event, and its
 * handle count and memory must not have grown past the tolerances below.
 * A crash, a hang (every wait here is bounded), a wrong answer, a wrong or
 * missing start, or growth makes the exit code 1.
 *
 * Every random choice comes from one seed, printed at the start; --seed
 * repeats a run.  The recorder program stands in for the product and for
 * the browser, and logs every start to the file named by RECORDER_LOG.
 */
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <errno.h>
/* psapi.dll's own entry points, which every version of the system has. */
#define PSAPI_VERSION 1
#include <psapi.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "agent_harness.h"
#include "hidusb_client.h"

using namespace harness;

namespace {

const uint64_t kDefaultSeed = 0x0A6E7501;

/* Growth allowed from one measurement to the next.
 *
 * The first measurement is taken after a warm-up that has used every path
 * once (a started product, an opened web site, a refused record, the other
 * messages), so what the system libraries allocate on first use is already
 * in it.  From then on the agent keeps nothing per message or per event,
 * and its figures should stay put: under Wine 8 the handle count does not
 * move at all, and memory moves by at most some 60 KiB (phase 2, whose
 * 64 KiB registry values pass through the system's buffers).
 *
 * Handles: 4, for what the system does on its own schedule (a thread-pool
 * worker coming or going holds a handle or two).  One leaked handle per
 * launch event is +39 in phase 2 and +300 in phase 3; one per message or
 * event is thousands in phases 1 and 4.
 *
 * Memory: 256 KiB of each figure, four times the largest movement seen.  A
 * leak of 256 bytes per event is 500 KiB in phase 4; of 1 KiB per launch,
 * 300 KiB in phase 3. */
const long kHandleTolerance = 4;
const long kMemoryToleranceKiB = 256;

/* Bounds on every wait for the agent. */
const DWORD kAnswerTimeoutMs = 10000;  /* one sent message */
const DWORD kEventTimeoutMs = 20000;   /* one delivery through the library */
const DWORD kStartTimeoutMs = 30000;   /* a started program's record */

/* Messages that end the agent or its session by design; never sent. */
bool EndsAgentByDesign(UINT msg)
{
    switch (msg) {
    case WM_DESTROY:
    case WM_NCDESTROY:
    case WM_CLOSE:
    case WM_QUIT:
    case WM_QUERYENDSESSION:
    case WM_ENDSESSION:
    case WM_SYSCOMMAND:
        return true;
    default:
        return false;
    }
}

/* ------------------------------------------------------------ reporting */

int g_failures;

void SayLine(const char *prefix, const char *format, va_list args)
{
    printf("%s", prefix);
    vprintf(format, args);
    printf("\n");
    fflush(stdout);
}

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

std::string Hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", (unsigned)value);
    return text;
}

/* ----------------------------------------------------------------- random */

/* SplitMix64: small, and the same sequence on every compiler. */
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint32_t Next()
    {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return (uint32_t)((z ^ (z >> 31)) >> 32);
    }
    uint32_t Below(uint32_t n) { return (uint32_t)(((uint64_t)Next() * n) >> 32); }
    uint32_t Between(uint32_t lo, uint32_t hi) { return lo + Below(hi - lo + 1); }
    bool Percent(uint32_t p) { return Below(100) < p; }

private:
    uint64_t state_;
};

/* Each phase draws from a stream of its own, so a phase repeats with the
 * same seed even when an earlier phase was changed. */
Rng PhaseRng(uint64_t seed, int phase) { return Rng(seed ^ (0xD1B54A32D192ED03ull * (uint64_t)(phase + 1))); }

/* ---------------------------------------------------------------- options */

struct Options {
    uint64_t seed = kDefaultSeed;
    std::string agent;
    long messages = 10000;
    long launches = 300;
    long events = 2000;
};

bool ParseNumber(const char *text, uint64_t *value)
{
    char *end = NULL;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0')
        return false;
    *value = v;
    return true;
}

bool ParseOptions(int argc, char **argv, Options *options)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc)
            return false;
        const char *value = argv[++i];
        uint64_t number = 0;
        if (arg == "--agent") {
            options->agent = value;
            continue;
        }
        if (!ParseNumber(value, &number))
            return false;
        if (arg == "--seed")
            options->seed = number;
        else if (arg == "--messages")
            options->messages = (long)number;
        else if (arg == "--launches")
            options->launches = (long)number;
        else if (arg == "--events")
            options->events = (long)number;
        else
            return false;
    }
    return true;
}

/* --------------------------------------------------------------- registry */

const char kInstallDirSubkey[] = "SOFTWARE\\Ostrel\\Corrandel\\InstallDir";

/* Removes the product key with anything we put under it. */
void RemoveProductTree()
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kInstallDirSubkey);
    RemoveProductKey();
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Ostrel");  /* only if nothing else is in it */
}

/* The product key as a phase left it: whether it exists, and its InstallDir
 * value if any. */
struct RegistryState {
    bool key = false;
    bool value = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;

    static RegistryState Read()
    {
        RegistryState s;
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return s;
        s.key = true;
        DWORD size = 0;
        if (RegQueryValueExA(key, kInstallDirValue, NULL, &s.type, NULL, &size) == ERROR_SUCCESS) {
            s.data.resize(size);
            if (RegQueryValueExA(key, kInstallDirValue, NULL, &s.type, s.data.data(), &size) == ERROR_SUCCESS) {
                s.value = true;
                s.data.resize(size);
            }
        }
        RegCloseKey(key);
        return s;
    }

    bool Restore() const
    {
        if (!key) {
            RemoveProductTree();
            return RegistryState::Read().key == false;
        }
        if (value)
            return WriteInstallDir(data.data(), (DWORD)data.size(), type);
        HKEY k;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_SET_VALUE, &k) != ERROR_SUCCESS)
            return false;
        LONG r = RegDeleteValueA(k, kInstallDirValue);
        RegCloseKey(k);
        return r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND;
    }
};

/* ---------------------------------------------------------------- figures */

/* The process's entries in the system's handle list.  GetProcessHandleCount
 * is the obvious call, but some systems (Wine among them) answer it with 0
 * for every process; the list is what the system itself holds. */
typedef LONG(WINAPI *QuerySystemInformationFn)(ULONG, PVOID, ULONG, PULONG);

struct HandleEntryEx {
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handleValue;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
};

struct HandleEntry {
    USHORT processId;  /* the high half is the back-trace index on some systems */
    USHORT creatorBackTraceIndex;
    UCHAR objectTypeIndex;
    UCHAR attributes;
    USHORT handleValue;
    PVOID object;
    ULONG grantedAccess;
};

const ULONG kSystemHandleInformation = 16;
const ULONG kSystemExtendedHandleInformation = 64;
const LONG kStatusInfoLengthMismatch = (LONG)0xC0000004;

long SystemHandleCount(DWORD pid)
{
    static QuerySystemInformationFn query = (QuerySystemInformationFn)(void *)GetProcAddress(
        GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    if (query == NULL)
        return -1;
    std::vector<BYTE> buffer(256 * 1024);
    for (ULONG infoClass : {kSystemExtendedHandleInformation, kSystemHandleInformation}) {
        LONG status;
        for (;;) {
            ULONG needed = 0;
            status = query(infoClass, buffer.data(), (ULONG)buffer.size(), &needed);
            if (status != kStatusInfoLengthMismatch || buffer.size() >= 64u * 1024 * 1024)
                break;
            buffer.resize(buffer.size() * 2);
        }
        if (status < 0)
            continue;
        long count = 0;
        const ULONG_PTR entries = *(const ULONG_PTR *)buffer.data();
        if (infoClass == kSystemExtendedHandleInformation) {
            const HandleEntryEx *e = (const HandleEntryEx *)(buffer.data() + 2 * sizeof(ULONG_PTR));
            for (ULONG_PTR i = 0; i < entries; ++i)
                count += e[i].processId == pid;
        } else {
            const HandleEntry *e = (const HandleEntry *)(buffer.data() + sizeof(ULONG_PTR));
            for (ULONG_PTR i = 0; i < entries; ++i)
                count += e[i].processId == (USHORT)pid;
        }
        return count;
    }
    return -1;
}

/* Committed private memory, from the process's own map: what it allocated,
 * touched or not. */
long CommittedPrivateKiB(HANDLE process)
{
    unsigned long long total = 0;
    ULONG_PTR address = 0;
    MEMORY_BASIC_INFORMATION mbi;
    while (VirtualQueryEx(process, (LPCVOID)address, &mbi, sizeof mbi) == sizeof mbi) {
        if (mbi.State == MEM_COMMIT && mbi.Type == MEM_PRIVATE)
            total += mbi.RegionSize;
        ULONG_PTR next = (ULONG_PTR)mbi.BaseAddress + mbi.RegionSize;
        if (next <= address)
            break;
        address = next;
    }
    return (long)(total / 1024);
}

struct Figures {
    long handles = -1;
    long workingSetKiB = -1;  /* resident memory; under Wine the process's VmRSS */
    long pagefileKiB = -1;    /* private memory in use; under Wine RssAnon plus VmSwap */
    long privateKiB = -1;     /* committed private memory, from the address map */
};

Figures Measure(const Process &agent)
{
    Figures f;
    f.handles = SystemHandleCount(agent.Pid());
    PROCESS_MEMORY_COUNTERS pmc;
    memset(&pmc, 0, sizeof pmc);
    pmc.cb = sizeof pmc;
    if (GetProcessMemoryInfo(agent.pi.hProcess, &pmc, sizeof pmc)) {
        f.workingSetKiB = (long)(pmc.WorkingSetSize / 1024);
        f.pagefileKiB = (long)(pmc.PagefileUsage / 1024);
    }
    f.privateKiB = CommittedPrivateKiB(agent.pi.hProcess);
    return f;
}

/* --------------------------------------------------------------- the run */

enum class Outcome { Nothing, WebSite, Product, WebSiteOrNothing, Several };

const char *OutcomeName(Outcome o)
{
    switch (o) {
    case Outcome::Nothing:
        return "nothing started";
    case Outcome::WebSite:
        return "web site";
    case Outcome::Product:
        return "product";
    case Outcome::WebSiteOrNothing:
        return "web site or nothing";
    case Outcome::Several:
        return "several starts";
    }
    return "?";
}

/* The agent's address space as phase 1 prepares it: four pages of our own,
 * and the agent's own image. */
struct Probe {
    ULONG_PTR pages = 0;       /* page 0 read-write, holding records */
    ULONG_PTR released = 0;    /* a region given back again; see ReleasedRegion */
    ULONG_PTR imageBase = 0;   /* the agent's image: its header is readable */
    DWORD pageSize = 4096;
    std::vector<BYTE> page0;   /* what page 0 holds */
    std::vector<BYTE> header;  /* what the image's first page holds */

    ULONG_PTR Page(int i) const { return pages + (ULONG_PTR)i * pageSize; }
    ULONG_PTR LaunchRecord() const { return Page(0); }
};

struct Counts {
    long web = 0;
    long product = 0;
    long other = 0;
};

class Soak {
public:
    explicit Soak(const Options &options) : options_(options) {}
    ~Soak() { Cleanup(); }
    int Run();

private:
    /* set-up and tear-down */
    bool Setup();
    void Cleanup();
    void EndAgent();

    /* what the agent started */
    Counts CountRecords() const;
    bool WaitForRecords(const std::function<bool(const Counts &)> &done, Counts *seen) const;
    void WaitForAgentChildren() const { WaitForChildrenOf(agent_.Pid(), kStartTimeoutMs); }

    /* checks */
    bool Alive(const char *where);
    bool CheckStillLaunches(const char *where);
    bool SendLaunch(const char *where);
    void Quiesce();

    /* phases */
    void WarmUp();
    bool PhaseMessages();
    bool PhaseRegistry();
    bool PhaseWebSite();
    bool PhaseOtherEvents();

    /* phase 1 helpers */
    bool PrepareProbe();
    bool IsUnreadableHere(ULONG_PTR address) const;
    ULONG_PTR PickUnreadable(Rng &rng, ULONG_PTR lo, ULONG_PTR hi) const;
    ULONG_PTR ReleasedRegion();
    bool ExpectLaunchAt(const char **category, Rng &rng, LPARAM *lParam);

    Options options_;
    Process agent_;
    HWND window_ = NULL;
    std::string base_;
    std::string log_;
    std::string productDir_;
    std::string productProgram_;
    std::string recorder_;
    Probe probe_;
    bool agentLost_ = false;
    bool cleanedUp_ = false;
};

Counts Soak::CountRecords() const
{
    Counts c;
    const std::string product = Lower(productProgram_);
    for (const Record &r : ReadRecords(log_)) {
        std::string program = Lower(r.program);
        if (program == product)
            ++c.product;
        else if (program.find("recorder.exe") != std::string::npos && r.commandLine.find(kWebSite) != std::string::npos)
            ++c.web;
        else
            ++c.other;
    }
    return c;
}

/* Polls the log until done() holds, for at most kStartTimeoutMs. */
bool Soak::WaitForRecords(const std::function<bool(const Counts &)> &done, Counts *seen) const
{
    DWORD start = GetTickCount();
    for (;;) {
        *seen = CountRecords();
        if (done(*seen))
            return true;
        if (GetTickCount() - start >= kStartTimeoutMs)
            return false;
        Sleep(20);
    }
}

bool Soak::Alive(const char *where)
{
    if (agentLost_)
        return false;
    DWORD code = agent_.Wait(0);
    if (code != STILL_ACTIVE) {
        Fail("%s: the agent process ended, exit code %s", where, Hex(code).c_str());
        agentLost_ = true;
        return false;
    }
    DWORD owner = 0;
    if (!IsWindow(window_) || !GetWindowThreadProcessId(window_, &owner) || owner != agent_.Pid()) {
        Fail("%s: the agent window %p is gone", where, (void *)window_);
        agentLost_ = true;
        return false;
    }
    if (FindAgentWindow() != window_) {
        Fail("%s: the agent's class and title now find %p, not its window %p", where, (void *)FindAgentWindow(),
             (void *)window_);
        return false;
    }
    return true;
}

/* Sends one launch event through the library and waits for what it started. */
bool Soak::SendLaunch(const char *where)
{
    DWORD answer = 0xFFFFFFFF;
    DWORD error = HidSendEvent(agent_.Pid(), kEventLaunch, &answer, kEventTimeoutMs);
    if (error != ERROR_SUCCESS) {
        Fail("%s: launch event not delivered (error %lu%s)", where, error,
             error == ERROR_TIMEOUT ? ", the agent did not answer: hung" : "");
        return false;
    }
    if (answer != 0)
        Fail("%s: launch event answered %lu, not 0", where, answer);
    WaitForAgentChildren();
    return answer == 0;
}

/* The agent is the same process, with the same window and one subscription,
 * and a launch event with the product installed starts the product exactly
 * once.  The registry is then put back as the phase left it. */
bool Soak::CheckStillLaunches(const char *where)
{
    if (!Alive(where))
        return false;
    HidReply status;
    memset(&status, 0, sizeof status);
    DWORD error = HidQueryStatus(agent_.Pid(), &status, kEventTimeoutMs);
    if (error != ERROR_SUCCESS) {
        Fail("%s: the library's channel in the agent does not answer (error %lu)", where, error);
        return false;
    }
    if (HidReplyWindow(status) != window_ || status.calls != 1) {
        Fail("%s: subscription changed: window %p, %lu subscription calls", where, (void *)HidReplyWindow(status),
             status.calls);
        return false;
    }

    RegistryState saved = RegistryState::Read();
    if (!WriteInstallDirText(productDir_)) {
        Fail("%s: could not write InstallDir", where);
        return false;
    }
    Counts before = CountRecords();
    bool ok = SendLaunch(where);
    Counts after;
    if (ok && !WaitForRecords([&](const Counts &c) { return c.product > before.product; }, &after)) {
        Fail("%s: a launch event with the product installed started nothing", where);
        ok = false;
    }
    if (ok) {
        after = CountRecords();
        if (after.product != before.product + 1 || after.web != before.web || after.other != before.other) {
            Fail("%s: one launch event started %ld product, %ld web site, %ld other programs", where,
                 after.product - before.product, after.web - before.web, after.other - before.other);
            ok = false;
        }
    }
    if (!saved.Restore()) {
        Fail("%s: could not restore the registry", where);
        ok = false;
    }
    return ok && Alive(where);
}

/* Lets the agent settle before its figures are taken: whatever it started
 * has ended, and it has answered a message, so nothing of ours is in
 * flight. */
void Soak::Quiesce()
{
    WaitForAgentChildren();
    DWORD_PTR answer = 0;
    SendMessageTimeoutA(window_, kMsgBase, 0, 0, SMTO_NORMAL, kAnswerTimeoutMs, &answer);
}

bool Soak::Setup()
{
    RemoveProductTree();
    StopAllAgents();

    base_ = MakeTempDir("ostrel-soak");
    log_ = base_ + "\\recorder.log";
    SetEnvironmentVariableA("RECORDER_LOG", log_.c_str());

    char full[MAX_PATH] = "";
    GetFullPathNameA((ProgramDir() + "..\\tests\\recorder.exe").c_str(), sizeof full, full, NULL);
    recorder_ = full;
    productDir_ = base_ + "\\product";
    productProgram_ = productDir_ + "\\Vorq.exe";
    CreateDirectoryA(productDir_.c_str(), NULL);
    if (!CopyFileA(recorder_.c_str(), productProgram_.c_str(), FALSE)) {
        Fail("set-up: could not copy %s to %s", recorder_.c_str(), productProgram_.c_str());
        return false;
    }

    const std::string agentPath = options_.agent.empty() ? AgentPath() : options_.agent;
    Say("soak: agent %s", agentPath.c_str());
    agent_ = Start(agentPath, Quote(agentPath));
    if (!agent_.Started()) {
        Fail("set-up: could not start %s (error %lu)", agentPath.c_str(), GetLastError());
        return false;
    }
    window_ = WaitForAgentWindow(agent_.Pid(), kStartTimeoutMs);
    if (window_ == NULL) {
        Fail("set-up: the agent (pid %lu) showed no window", agent_.Pid());
        return false;
    }
    Say("soak: agent pid %lu, window %p", agent_.Pid(), (void *)window_);
    return PrepareProbe();
}

void Soak::EndAgent()
{
    if (!agent_.Started())
        return;
    if (agent_.Running()) {
        if (window_ != NULL)
            PostMessageA(window_, WM_QUIT, 0, 0);
        PostThreadMessageA(agent_.pi.dwThreadId, WM_QUIT, 0, 0);
        DWORD code = agent_.Wait(kEventTimeoutMs);
        if (code == STILL_ACTIVE) {
            Fail("clean-up: the agent did not end on WM_QUIT; terminating it");
            agent_.Kill();
        } else if (code != 0 && !agentLost_) {
            Fail("clean-up: the agent ended on WM_QUIT with exit code %s", Hex(code).c_str());
        }
    }
    WaitForChildrenOf(agent_.Pid(), kStartTimeoutMs);
}

void Soak::Cleanup()
{
    if (cleanedUp_)
        return;
    cleanedUp_ = true;
    EndAgent();
    RemoveProductTree();
    SetEnvironmentVariableA("RECORDER_LOG", NULL);
    if (!base_.empty())
        RemoveTree(base_);
}

/* ------------------------------------------------------------- warm-up */

/* Uses every path once, so that what the system allocates on first use is
 * in the first figures rather than counted as growth. */
void Soak::WarmUp()
{
    RemoveProductTree();
    SendLaunch("warm-up, web site");
    CheckStillLaunches("warm-up, product");
    DWORD answer = 0;
    HidSendEvent(agent_.Pid(), 0x101, &answer, kEventTimeoutMs);
    HidSendBase(agent_.Pid(), 0, 0, &answer, kEventTimeoutMs);
    DWORD_PTR result = 0;
    SendMessageTimeoutA(window_, kMsgEvent, 0, 0, SMTO_NORMAL, kAnswerTimeoutMs, &result);
    SendMessageTimeoutA(window_, WM_USER + 0x123, 0, 0, SMTO_NORMAL, kAnswerTimeoutMs, &result);
    PostMessageA(window_, WM_USER + 0x123, 0, 0);
    RemoveProductTree();
    Counts seen;
    WaitForRecords([](const Counts &c) { return c.web >= 1 && c.product >= 1; }, &seen);
    Quiesce();
}

/* ----------------------------------------------------- phase 1: messages */

/* Four pages in the agent: page 0 read-write with event records, page 1
 * no-access, page 2 a guard page that starts with a launch record, page 3
 * reserved but not committed.  Page 0 ends with a launch record in its last
 * four bytes; the three addresses after it straddle into page 1. */
bool Soak::PrepareProbe()
{
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    probe_.pageSize = si.dwPageSize;
    const DWORD ps = probe_.pageSize;
    HANDLE h = agent_.pi.hProcess;

    LPVOID pages = VirtualAllocEx(h, NULL, 4 * ps, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (pages == NULL) {
        Fail("set-up: could not allocate memory in the agent (error %lu)", GetLastError());
        return false;
    }
    probe_.pages = (ULONG_PTR)pages;

    /* Page 0: random bytes, without the launch code at any offset except
     * where it is put on purpose. */
    Rng rng(0x9A6E0);
    std::vector<BYTE> &p0 = probe_.page0;
    p0.resize(ps);
    for (DWORD i = 0; i < ps; ++i)
        p0[i] = (BYTE)rng.Next();
    auto dwordAt = [&](DWORD offset) {
        DWORD v;
        memcpy(&v, &p0[offset], 4);
        return v;
    };
    for (DWORD i = 0; i + 4 <= ps; ++i) {
        if (dwordAt(i) == kEventLaunch)
            p0[i] ^= 0x01;
    }
    const DWORD launch = kEventLaunch;
    memcpy(&p0[0], &launch, 4);
    memcpy(&p0[0x11], &launch, 4);
    memcpy(&p0[ps - 4], &launch, 4);

    std::vector<BYTE> p2(ps, 0xCC);
    memcpy(&p2[0], &launch, 4);
    SIZE_T written = 0;
    DWORD old;
    if (!WriteProcessMemory(h, pages, p0.data(), ps, &written) || written != ps ||
        !WriteProcessMemory(h, (LPVOID)probe_.Page(2), p2.data(), ps, &written) || written != ps ||
        !VirtualProtectEx(h, (LPVOID)probe_.Page(1), ps, PAGE_NOACCESS, &old) ||
        !VirtualProtectEx(h, (LPVOID)probe_.Page(2), ps, PAGE_READWRITE | PAGE_GUARD, &old) ||
        !VirtualFreeEx(h, (LPVOID)probe_.Page(3), ps, MEM_DECOMMIT)) {
        Fail("set-up: could not prepare the agent's probe pages (error %lu)", GetLastError());
        return false;
    }

    /* The agent's image: the module whose file is the agent's. */
    HMODULE modules[1];
    DWORD needed = 0;
    if (!EnumProcessModules(h, modules, sizeof modules, &needed) || needed < sizeof modules[0]) {
        Fail("set-up: could not find the agent's image (error %lu)", GetLastError());
        return false;
    }
    probe_.imageBase = (ULONG_PTR)modules[0];
    probe_.header.resize(ps);
    if (!ReadProcessMemory(h, modules[0], probe_.header.data(), ps, &written) || written != ps) {
        Fail("set-up: could not read the agent's image header (error %lu)", GetLastError());
        return false;
    }
    Say("soak: probe pages at %s (read-write, no-access, guard, reserved), agent image at %s",
        Hex((uint32_t)probe_.pages).c_str(), Hex((uint32_t)probe_.imageBase).c_str());
    return true;
}

/* None of the four bytes at address is committed in the agent. */
bool Soak::IsUnreadableHere(ULONG_PTR address) const
{
    for (ULONG_PTR a : {address, address + 3}) {
        if (a < address)
            return true; /* wraps past the top */
        MEMORY_BASIC_INFORMATION mbi;
        if (VirtualQueryEx(agent_.pi.hProcess, (LPCVOID)a, &mbi, sizeof mbi) != sizeof mbi)
            continue; /* beyond what the process can address */
        if (mbi.State == MEM_COMMIT)
            return false;
    }
    return true;
}

/* A region that was allocated in the agent and given back.  The agent soon
 * maps something else there (the system reuses freed address space first),
 * so a new one is made whenever the last one is taken. */
ULONG_PTR Soak::ReleasedRegion()
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (probe_.released != 0 && IsUnreadableHere(probe_.released) &&
            IsUnreadableHere(probe_.released + probe_.pageSize - 4))
            return probe_.released;
        LPVOID region = VirtualAllocEx(agent_.pi.hProcess, NULL, probe_.pageSize, MEM_RESERVE | MEM_COMMIT,
                                       PAGE_READWRITE);
        if (region == NULL)
            break;
        VirtualFreeEx(agent_.pi.hProcess, region, 0, MEM_RELEASE);
        probe_.released = (ULONG_PTR)region;
    }
    return 0; /* null, then: nothing is committed there either */
}

/* A random address in [lo, hi] at which the agent has nothing committed. */
ULONG_PTR Soak::PickUnreadable(Rng &rng, ULONG_PTR lo, ULONG_PTR hi) const
{
    for (int attempt = 0; attempt < 64; ++attempt) {
        ULONG_PTR a = rng.Between((uint32_t)lo, (uint32_t)hi);
        if (IsUnreadableHere(a))
            return a;
    }
    return 0; /* null: unreadable everywhere */
}

/* Picks an event record address for message 0x0501 and says whether the
 * agent must take it for a launch: only when all four bytes are readable
 * and hold the launch code. */
bool Soak::ExpectLaunchAt(const char **category, Rng &rng, LPARAM *lParam)
{
    const DWORD ps = probe_.pageSize;
    auto fromPage0 = [&](DWORD offset) {
        DWORD v;
        memcpy(&v, &probe_.page0[offset], 4);
        return v == kEventLaunch;
    };
    uint32_t r = rng.Below(100);
    ULONG_PTR a;
    bool launch = false;
    if (r < 6) {
        *category = "null";
        a = 0;
    } else if (r < 16) {
        *category = "small";
        a = PickUnreadable(rng, 1, 0xFFFF);
    } else if (r < 26) {
        *category = "unmapped";
        a = PickUnreadable(rng, 0x10000, 0x7FFEFFFF);
    } else if (r < 32) {
        *category = "unmapped, unaligned";
        a = PickUnreadable(rng, 0x10000, 0x7FFEFFFF) | rng.Between(1, 3);
    } else if (r < 42) {
        *category = "kernel space";
        a = PickUnreadable(rng, 0x80000000u, 0xFFFEFFFFu);
        if (rng.Percent(30))
            a |= rng.Between(1, 3);
    } else if (r < 47) {
        *category = "top of memory";
        a = rng.Between(0xFFFFFFF0u, 0xFFFFFFFFu);
    } else if (r < 55) {
        *category = "straddling into a no-access page";
        a = probe_.Page(1) - rng.Between(1, 3);
    } else if (r < 60) {
        *category = "no-access page";
        a = probe_.Page(1) + rng.Below(ps - 3);
    } else if (r < 63) {
        *category = "guard page";
        a = probe_.Page(2) + (rng.Percent(50) ? 0 : rng.Below(ps - 3));
    } else if (r < 66) {
        *category = "reserved page";
        a = probe_.Page(3) + rng.Below(ps - 3);
    } else if (r < 69) {
        *category = "released region";
        a = ReleasedRegion() + rng.Below(ps - 3);
    } else if (r < 91) {
        *category = "readable, other code";
        DWORD offset;
        do
            offset = rng.Below(ps - 3);
        while (fromPage0(offset));
        a = probe_.Page(0) + offset;
    } else if (r < 97) {
        *category = "the agent's image header";
        DWORD offset = rng.Below(ps - 3);
        DWORD v;
        memcpy(&v, &probe_.header[offset], 4);
        launch = v == kEventLaunch;
        a = probe_.imageBase + offset;
    } else {
        *category = "readable launch record";
        const DWORD offsets[] = {0, 0x11, ps - 4};  /* aligned, unaligned, last four bytes */
        DWORD offset = offsets[rng.Below(3)];
        launch = fromPage0(offset);
        a = probe_.Page(0) + offset;
    }
    *lParam = (LPARAM)a;
    return launch;
}

struct SentMessage {
    long index;
    bool posted;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
    const char *category;
};

std::string Describe(const SentMessage &m)
{
    char text[200];
    snprintf(text, sizeof text, "#%ld %s 0x%04X wParam %s lParam %s%s%s%s", m.index, m.posted ? "posted" : "sent",
             m.msg, Hex((uint32_t)m.wParam).c_str(), Hex((uint32_t)m.lParam).c_str(), m.category ? " (" : "",
             m.category ? m.category : "", m.category ? ")" : "");
    return text;
}

bool Soak::PhaseMessages()
{
    Rng rng = PhaseRng(options_.seed, 1);
    RemoveProductTree(); /* any launch opens the web site, so every launch shows */
    const long total = options_.messages;
    const long markerEvery = 500;
    const Counts start = CountRecords();
    long expectedWeb = start.web;
    long sent = 0, posted = 0, records = 0, launches = 0;
    std::vector<SentMessage> recent; /* the last few, to show when the agent dies */
    std::vector<std::pair<const char *, long>> tally; /* event records by kind of address */
    const char *phase = "phase 1 (window messages)";

    auto showRecent = [&]() {
        Say("soak: the last messages before that:");
        for (const SentMessage &m : recent)
            Say("soak:   %s", Describe(m).c_str());
    };

    /* Posts a launch record behind everything posted so far; once its web
     * site opens, every earlier posted message has been handled, and the
     * count of what was started must match. */
    auto drain = [&](long index) {
        if (!PostMessageA(window_, kMsgEvent, rng.Next(), (LPARAM)probe_.LaunchRecord())) {
            Fail("%s: posting message 0x0501 failed after message #%ld (error %lu)", phase, index, GetLastError());
            return false;
        }
        ++expectedWeb;
        ++launches;
        Counts seen;
        bool reached = WaitForRecords([&](const Counts &c) { return c.web >= expectedWeb; }, &seen);
        WaitForAgentChildren();
        seen = CountRecords();
        if (!Alive(phase)) {
            showRecent();
            return false;
        }
        if (!reached || seen.web != expectedWeb || seen.product != start.product || seen.other != start.other) {
            Fail("%s: by message #%ld the web site opened %ld times, expected %ld (product %ld, other %ld starts)%s",
                 phase, index, seen.web - start.web, expectedWeb - start.web, seen.product - start.product,
                 seen.other - start.other,
                 reached ? "" : "; the posted queue did not drain: hung?");
            showRecent();
            return false;
        }
        return true;
    };

    for (long i = 0; i < total; ++i) {
        SentMessage m{i, rng.Percent(30), 0, (WPARAM)rng.Next(), 0, NULL};
        bool launch = false;
        uint32_t kind = rng.Below(100);
        if (kind < 45) {
            m.msg = kMsgEvent;
            launch = ExpectLaunchAt(&m.category, rng, &m.lParam);
            ++records;
            auto it = tally.begin();
            while (it != tally.end() && strcmp(it->first, m.category) != 0)
                ++it;
            if (it == tally.end())
                tally.push_back({m.category, 1});
            else
                ++it->second;
        } else if (kind < 65) {
            m.msg = kMsgBase;
            m.lParam = rng.Percent(50) ? (LPARAM)rng.Next() : (LPARAM)probe_.LaunchRecord();
        } else if (kind < 97) {
            do
                m.msg = rng.Between(WM_USER, 0x0800);
            while (m.msg == kMsgEvent);
            m.lParam = (LPARAM)rng.Next();
        } else {
            m.msg = rng.Between(WM_APP, 0xBFFF);
            m.lParam = (LPARAM)rng.Next();
        }
        if (EndsAgentByDesign(m.msg)) {
            Fail("%s: drew a message that ends the agent: %s", phase, Describe(m).c_str());
            return false;
        }
        if (recent.size() == 16)
            recent.erase(recent.begin());
        recent.push_back(m);

        if (m.posted) {
            ++posted;
            if (!PostMessageA(window_, m.msg, m.wParam, m.lParam)) {
                Fail("%s: could not post %s (error %lu)", phase, Describe(m).c_str(), GetLastError());
                showRecent();
                return false;
            }
        } else {
            ++sent;
            DWORD_PTR answer = 0xFFFFFFFF;
            SetLastError(0);
            if (!SendMessageTimeoutA(window_, m.msg, m.wParam, m.lParam, SMTO_NORMAL | SMTO_ABORTIFHUNG,
                                     kAnswerTimeoutMs, &answer)) {
                DWORD error = GetLastError();
                if (Alive(phase))
                    Fail("%s: no answer to %s (error %lu): hung, on it or on a message posted before it", phase,
                         Describe(m).c_str(), error);
                else
                    Say("soak: it died on %s", Describe(m).c_str());
                showRecent();
                return false;
            }
            if ((m.msg == kMsgEvent || m.msg == kMsgBase) && answer != 0) {
                Fail("%s: %s answered %lu, not 0", phase, Describe(m).c_str(), (unsigned long)answer);
            }
        }
        if (launch) {
            ++expectedWeb;
            ++launches;
            if (!m.posted)
                WaitForAgentChildren();
        }
        if (!Alive(phase)) {
            showRecent();
            return false;
        }
        if ((i + 1) % markerEvery == 0 && !drain(i))
            return false;
    }
    if (total % markerEvery != 0 && !drain(total - 1))
        return false;
    Say("soak: %ld messages (%ld sent, %ld posted), %ld of them 0x0501, %ld launches, all as expected", total, sent,
        posted, records, launches);
    std::string kinds;
    for (const auto &t : tally)
        kinds += std::string(kinds.empty() ? "" : ", ") + t.first + " " + std::to_string(t.second);
    Say("soak: 0x0501 record addresses: %s", kinds.c_str());
    return true;
}

/* -------------------------------------------- phase 2: registry values */

struct HostileValue {
    std::string name;
    std::function<bool()> write;
    Outcome expected;
};

std::string Bytes(const std::string &text, bool terminator) { return terminator ? text + std::string(1, '\0') : text; }

bool WriteValue(const std::string &bytes, DWORD type)
{
    RemoveProductTree();
    return WriteInstallDir(bytes.data(), (DWORD)bytes.size(), type);
}

/* What the agent must do with InstallDir bytes stored with type: it takes
 * only a string type, at most PATH_BUFFER_SIZE - 1 bytes, whose text up to
 * its first terminator is 1 to 502 characters long.  Such a directory that
 * does not hold the product starts nothing. */
Outcome ModelOutcome(const std::string &bytes, DWORD type)
{
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return Outcome::WebSite;
    if (bytes.size() > 511)
        return Outcome::WebSite;
    size_t length = strnlen(bytes.data(), bytes.size());
    if (length == 0 || length > 502)
        return Outcome::WebSite;
    return Outcome::Nothing;
}

const char *TypeName(DWORD type)
{
    switch (type) {
    case REG_SZ:
        return "REG_SZ";
    case REG_EXPAND_SZ:
        return "REG_EXPAND_SZ";
    case REG_BINARY:
        return "REG_BINARY";
    case REG_MULTI_SZ:
        return "REG_MULTI_SZ";
    default:
        return "another type";
    }
}

bool Soak::PhaseRegistry()
{
    Rng rng = PhaseRng(options_.seed, 2);
    const char *phase = "phase 2 (registry values)";
    const std::string dir = productDir_;
    const DWORD number = 0x00005C3A;  /* ":\" if taken as text */
    const unsigned long long qword = 0x0000007465735C3Aull;
    CPINFO cp;
    const bool singleByte = GetCPInfo(CP_ACP, &cp) && cp.MaxCharSize == 1;

    std::vector<HostileValue> cases = {
        {"key absent", [] { RemoveProductTree(); return true; }, Outcome::WebSite},
        {"key without the value", [] { RemoveProductTree(); return CreateProductKeyOnly(); }, Outcome::WebSite},
        {"InstallDir is a subkey, not a value",
         [] {
             RemoveProductTree();
             HKEY k;
             if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kInstallDirSubkey, 0, NULL, 0, KEY_WRITE, NULL, &k, NULL))
                 return false;
             RegCloseKey(k);
             return true;
         },
         Outcome::WebSite},
        {"the product directory as the key's default value",
         [dir] {
             RemoveProductTree();
             return RegSetValueA(HKEY_LOCAL_MACHINE, kProductKey, REG_SZ, dir.c_str(), (DWORD)dir.size()) ==
                    ERROR_SUCCESS;
         },
         Outcome::WebSite},
        {"empty", [] { return WriteValue(Bytes("", true), REG_SZ); }, Outcome::WebSite},
        {"empty without terminator", [] { return WriteValue("", REG_SZ); }, Outcome::WebSite},
        {"600 characters", [] { return WriteValue(Bytes(std::string(600, 'x'), true), REG_SZ); }, Outcome::WebSite},
        {"4096 characters", [] { return WriteValue(Bytes(std::string(4096, 'y'), true), REG_SZ); }, Outcome::WebSite},
        {"65536 characters", [dir] { return WriteValue(Bytes(dir + std::string(65536 - dir.size(), 'z'), true), REG_SZ); },
         Outcome::WebSite},
        {"600 characters without terminator", [] { return WriteValue(std::string(600, 'x'), REG_SZ); },
         Outcome::WebSite},
        {"65536 characters without terminator", [] { return WriteValue(std::string(65536, 'z'), REG_SZ); },
         Outcome::WebSite},
        {"511 characters without terminator", [] { return WriteValue("C:\\" + std::string(508, 'd'), REG_SZ); },
         Outcome::WebSite},
        {"503-character directory", [] { return WriteValue(Bytes("C:\\" + std::string(500, 'd'), true), REG_SZ); },
         Outcome::WebSite},
        {"502-character directory", [] { return WriteValue(Bytes("C:\\" + std::string(499, 'd'), true), REG_SZ); },
         Outcome::Nothing},
        {"the product directory stored without terminator", [dir] { return WriteValue(dir, REG_SZ); },
         Outcome::Product},
        {"the product directory, then junk after the terminator",
         [dir] { return WriteValue(Bytes(dir, true) + "\x01\x02junk\"", REG_SZ); }, Outcome::Product},
        {"the product directory as an expandable string", [dir] { return WriteValue(Bytes(dir, true), REG_EXPAND_SZ); },
         Outcome::Product},
        {"REG_DWORD", [number] { return WriteValue(std::string((const char *)&number, 4), REG_DWORD); },
         Outcome::WebSite},
        {"REG_QWORD", [qword] { return WriteValue(std::string((const char *)&qword, 8), REG_QWORD); },
         Outcome::WebSite},
        {"REG_BINARY holding the product directory", [dir] { return WriteValue(Bytes(dir, true), REG_BINARY); },
         Outcome::WebSite},
        {"REG_MULTI_SZ holding the product directory",
         [dir] { return WriteValue(Bytes(dir, true) + std::string(1, '\0'), REG_MULTI_SZ); }, Outcome::WebSite},
        {"REG_NONE holding the product directory", [dir] { return WriteValue(Bytes(dir, true), REG_NONE); },
         Outcome::WebSite},
        {"type 0x7F3A holding the product directory", [dir] { return WriteValue(Bytes(dir, true), 0x7F3A); },
         Outcome::WebSite},
        {"REG_BINARY, empty", [] { return WriteValue("", REG_BINARY); }, Outcome::WebSite},
        {"a directory with a quote in it", [dir] { return WriteValue(Bytes(dir + "\\a\" b", true), REG_SZ); },
         Outcome::Nothing},
        /* Quoted as the agent quotes it, this would read as the product's
         * program followed by an argument. */
        {"a directory whose quote would pass an argument",
         [dir] { return WriteValue(Bytes(dir + "\\Vorq.exe\" \"", true), REG_SZ); }, Outcome::Nothing},
        {"a lone quote", [] { return WriteValue(Bytes("\"", true), REG_SZ); }, Outcome::Nothing},
        {"an existing directory without the product", [this] { return WriteValue(Bytes(base_, true), REG_SZ); },
         Outcome::Nothing},
    };

    for (int i = 0; i < 10; ++i) {
        /* Random bytes, sometimes with terminators among them, as a string
         * or as binary, short enough to fit or too long. */
        size_t size = rng.Percent(75) ? rng.Between(1, 400) : rng.Between(400, 2000);
        std::string bytes(size, '\0');
        for (char &b : bytes)
            b = (char)(rng.Percent(3) ? 0 : rng.Between(1, 255));
        if (rng.Percent(15))
            bytes[0] = '\0';
        /* A text of only dots, blanks and slashes could name a real folder
         * relative to the agent's own; make it a name no folder has. */
        size_t length = strnlen(bytes.data(), bytes.size());
        if (length > 0 && bytes.find_first_not_of("./\\ ", 0) >= length)
            bytes[0] = '\x01';
        const DWORD types[] = {REG_SZ, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_MULTI_SZ};
        DWORD type = types[rng.Below(5)];
        Outcome expected = ModelOutcome(bytes, type);
        /* Under a multi-byte code page the text is converted on its way in
         * and out, and its length is no longer the number of bytes. */
        if (!singleByte && expected == Outcome::Nothing)
            expected = Outcome::WebSiteOrNothing;
        char name[80];
        snprintf(name, sizeof name, "random bytes %d: %zu bytes as %s", i, size, TypeName(type));
        cases.push_back({name, [bytes, type] { return WriteValue(bytes, type); }, expected});
    }

    long checked = 0;
    for (const HostileValue &c : cases) {
        if (!c.write()) {
            Fail("%s: could not write \"%s\"", phase, c.name.c_str());
            continue;
        }
        Counts before = CountRecords();
        std::string where = std::string(phase) + ", " + c.name;
        if (!SendLaunch(where.c_str()) || !Alive(where.c_str()))
            return false;
        Counts after;
        if (c.expected == Outcome::Product)
            WaitForRecords([&](const Counts &n) { return n.product > before.product; }, &after);
        else if (c.expected == Outcome::WebSite)
            WaitForRecords([&](const Counts &n) { return n.web > before.web; }, &after);
        after = CountRecords();
        long web = after.web - before.web, product = after.product - before.product, other = after.other - before.other;
        Outcome seen = web == 1 && product == 0 && other == 0     ? Outcome::WebSite
                       : product == 1 && web == 0 && other == 0 ? Outcome::Product
                       : web == 0 && product == 0 && other == 0 ? Outcome::Nothing
                                                                : Outcome::Several;
        bool ok = seen == c.expected ||
                  (c.expected == Outcome::WebSiteOrNothing && (seen == Outcome::WebSite || seen == Outcome::Nothing));
        if (!ok)
            Fail("%s: expected %s, got %ld web site, %ld product, %ld other starts", where.c_str(),
                 OutcomeName(c.expected), web, product, other);
        Say("soak:   %-56.56s %-16s %s", c.name.c_str(), OutcomeName(seen), ok ? "ok" : "WRONG");
        ++checked;
    }
    Say("soak: %ld hostile values, one launch event each", checked);
    return true;
}

/* ---------------------------------------------- phase 3: the web site */

bool Soak::PhaseWebSite()
{
    const char *phase = "phase 3 (launch events, product not installed)";
    RemoveProductTree();
    Counts before = CountRecords();
    for (long i = 0; i < options_.launches; ++i) {
        char where[120];
        snprintf(where, sizeof where, "%s, event %ld", phase, i + 1);
        if (!SendLaunch(where) || !Alive(where))
            return false;
    }
    Counts after;
    WaitForRecords([&](const Counts &c) { return c.web >= before.web + options_.launches; }, &after);
    after = CountRecords();
    long web = after.web - before.web;
    Say("soak: %ld launch events opened the web site %ld times (%ld product, %ld other starts)", options_.launches, web,
        after.product - before.product, after.other - before.other);
    if (web != options_.launches || after.product != before.product || after.other != before.other)
        Fail("%s: expected the web site %ld times and nothing else", phase, options_.launches);
    return true;
}

/* -------------------------------------------- phase 4: other events */

bool Soak::PhaseOtherEvents()
{
    Rng rng = PhaseRng(options_.seed, 4);
    const char *phase = "phase 4 (other events)";
    /* With the product installed, a wrongly taken launch would start it. */
    if (!WriteInstallDirText(productDir_)) {
        Fail("%s: could not write InstallDir", phase);
        return false;
    }
    /* Codes next to the launch code, in the other byte order, or sharing
     * its bit, besides random ones. */
    const DWORD nearLaunch[] = {0x00000000, 0x000000FF, 0x00000101, 0x000001FF, 0x00000001, 0x00010000, 0x01000000,
                          0x00001000, 0x00000010, 0x80000100, 0xFFFFFF00, 0xFFFFFEFF, 0xFFFFFFFF, 0x00000110,
                          0x00010100, 0x01000100, 0x00000200, 0x00000180};
    Counts before = CountRecords();
    long base = 0;
    for (long i = 0; i < options_.events; ++i) {
        DWORD answer = 0xFFFFFFFF, error;
        DWORD code = 0;
        char what[80];
        if (rng.Percent(10)) {
            DWORD wp = rng.Next(), lp = rng.Next();
            snprintf(what, sizeof what, "event #%ld: base message wParam %s lParam %s", i + 1, Hex(wp).c_str(),
                     Hex(lp).c_str());
            error = HidSendBase(agent_.Pid(), wp, lp, &answer, kEventTimeoutMs);
            ++base;
        } else {
            do
                code = rng.Percent(30) ? nearLaunch[rng.Below(sizeof nearLaunch / sizeof nearLaunch[0])] : rng.Next();
            while (code == kEventLaunch);
            snprintf(what, sizeof what, "event #%ld: code %s", i + 1, Hex(code).c_str());
            error = HidSendEvent(agent_.Pid(), code, &answer, kEventTimeoutMs);
        }
        if (error != ERROR_SUCCESS) {
            if (Alive(phase))
                Fail("%s, %s: not delivered (error %lu%s)", phase, what, error,
                     error == ERROR_TIMEOUT ? ", the agent did not answer: hung" : "");
            else
                Say("soak: it died on %s", what);
            return false;
        }
        if (answer != 0)
            Fail("%s, %s: answered %lu, not 0", phase, what, answer);
        if (!ChildrenOf(agent_.Pid()).empty()) {
            Fail("%s, %s: the agent started a program", phase, what);
            WaitForAgentChildren();
        }
        if (!Alive(phase))
            return false;
    }
    WaitForAgentChildren();
    Counts after = CountRecords();
    Say("soak: %ld events (%ld of them base messages) started %ld programs", options_.events, base,
        (after.web + after.product + after.other) - (before.web + before.product + before.other));
    if (after.web != before.web || after.product != before.product || after.other != before.other)
        Fail("%s: events other than launch started programs", phase);
    return true;
}

/* ------------------------------------------------------------------ run */

struct Row {
    const char *phase;
    Figures before;
    Figures after;
    bool measured;
};

bool Grew(long before, long after, long tolerance) { return before < 0 || after < 0 || after - before > tolerance; }

void PrintTable(const std::vector<Row> &rows)
{
    Say("");
    Say("soak: the agent's figures around each phase (tolerated growth: %ld handles, %ld KiB of each memory figure)",
        kHandleTolerance, kMemoryToleranceKiB);
    Say("%-32s %15s %19s %19s %19s  %s", "", "handles", "working set KiB", "private in use KiB",
        "committed priv KiB", "");
    Say("%-32s %7s %7s %9s %9s %9s %9s %9s %9s  %s", "phase", "before", "after", "before", "after", "before", "after",
        "before", "after", "verdict");
    for (const Row &r : rows) {
        if (!r.measured) {
            Say("%-32s %7ld %7s %9ld %9s %9ld %9s %9ld %9s  %s", r.phase, r.before.handles, "-",
                r.before.workingSetKiB, "-", r.before.pagefileKiB, "-", r.before.privateKiB, "-", "not measured");
            continue;
        }
        std::string verdict;
        if (Grew(r.before.handles, r.after.handles, kHandleTolerance))
            verdict += "handles grew; ";
        if (Grew(r.before.workingSetKiB, r.after.workingSetKiB, kMemoryToleranceKiB))
            verdict += "working set grew; ";
        if (Grew(r.before.pagefileKiB, r.after.pagefileKiB, kMemoryToleranceKiB))
            verdict += "private memory grew; ";
        if (Grew(r.before.privateKiB, r.after.privateKiB, kMemoryToleranceKiB))
            verdict += "committed memory grew; ";
        if (verdict.empty())
            verdict = "ok";
        else
            verdict.resize(verdict.size() - 2);
        Say("%-32s %7ld %7ld %9ld %9ld %9ld %9ld %9ld %9ld  %s", r.phase, r.before.handles, r.after.handles,
            r.before.workingSetKiB, r.after.workingSetKiB, r.before.pagefileKiB, r.after.pagefileKiB,
            r.before.privateKiB, r.after.privateKiB, verdict.c_str());
    }
    Say("");
}

int Soak::Run()
{
    Say("soak: seed %llu (repeat with SOAK_SEED=%llu ./dev soak)", (unsigned long long)options_.seed,
        (unsigned long long)options_.seed);
    if (!Setup()) {
        Cleanup();
        return 1;
    }
    WarmUp();
    if (!Alive("warm-up")) {
        Cleanup();
        return 1;
    }

    struct Phase {
        const char *name;
        bool (Soak::*run)();
    };
    const Phase phases[] = {
        {"1 window messages", &Soak::PhaseMessages},
        {"2 hostile registry values", &Soak::PhaseRegistry},
        {"3 launches, web site", &Soak::PhaseWebSite},
        {"4 other events", &Soak::PhaseOtherEvents},
    };
    std::vector<Row> rows;
    Figures first = Measure(agent_);
    Figures last = first;
    for (const Phase &p : phases) {
        Say("soak: phase %s", p.name);
        DWORD start = GetTickCount();
        bool completed = (this->*p.run)();
        char where[80];
        snprintf(where, sizeof where, "after phase %s", p.name);
        bool works = !agentLost_ && CheckStillLaunches(where);
        if (works)
            Say("soak: after phase %s the agent is the same process and still starts the product (%.1f s)", p.name,
                (GetTickCount() - start) / 1000.0);
        if (agentLost_) {
            rows.push_back({p.name, last, Figures(), false});
            break;
        }
        Quiesce();
        Figures now = Measure(agent_);
        rows.push_back({p.name, last, now, true});
        last = now;
        if (!completed || !works)
            break;
    }
    if (!agentLost_ && rows.size() > 1)
        rows.push_back({"all phases", first, last, true});
    PrintTable(rows);
    for (const Row &r : rows) {
        if (r.measured && (Grew(r.before.handles, r.after.handles, kHandleTolerance) ||
                           Grew(r.before.workingSetKiB, r.after.workingSetKiB, kMemoryToleranceKiB) ||
                           Grew(r.before.pagefileKiB, r.after.pagefileKiB, kMemoryToleranceKiB) ||
                           Grew(r.before.privateKiB, r.after.privateKiB, kMemoryToleranceKiB)))
            Fail("%s: the agent grew past the tolerance (see the table)", r.phase);
    }
    Cleanup();
    if (g_failures != 0) {
        Say("soak: %d failure(s); repeat with SOAK_SEED=%llu ./dev soak", g_failures,
            (unsigned long long)options_.seed);
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
        fprintf(stderr,
                "usage: soak [--seed N] [--agent PATH] [--messages N] [--launches N] [--events N]\n");
        return 2;
    }
    Soak soak(options);
    return soak.Run();
}
