/*
 * The Windows side of ./dev bench.  bench.sh runs it under Wine in the
 * bench prefix; it prints one "<figure> <who> <value>" line per sample on
 * standard output and a plain message on standard error when a measurement
 * could not be made (exit code 1; 2 for a wrong command line).
 *
 *   bench_driver startup RUNS
 *       start-up: from CreateProcess to FindWindowA finding the program's
 *       window, polled without pause; agent.exe and floor.exe in turn.
 *   bench_driver reaction RUNS
 *       reaction: from the sender's launch event (HidSendEvent) to the entry
 *       point of the product program the agent starts, against a direct
 *       CreateProcess of the same program.  The product program stamps the
 *       time and sets an event; the driver waits for that blocked, so that
 *       it takes no processor time from either side while they work.
 *   bench_driver await
 *       waits for a running agent's and floor's windows and checks that
 *       both are subscribed to the device library.
 *   bench_driver modules
 *       the modules loaded in the running agent and floor: their number
 *       and names, read with EnumProcessModules.
 *   bench_driver quit
 *       ends every agent and floor on the desktop.
 *
 * Times come from QueryPerformanceCounter; the product program reads the
 * same clock at its entry point.  Each kind of trial is run once first
 * without being counted, and the two sides of a comparison take turns
 * going first.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "agent_harness.h"
#include "bench_names.h"
#include "hidusb_client.h"

using namespace harness;

namespace {

const DWORD kTimeoutMs = 20000;
/* Pause between trials, so that one program's end is not the next one's
 * start-up cost. */
const DWORD kSettleMs = 250;

LONGLONG g_frequency;

LONGLONG Now()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

double Ms(LONGLONG from, LONGLONG to) { return (double)(to - from) * 1000.0 / (double)g_frequency; }

/* Processes this driver started and has not ended yet, in two slots (a
 * resident program, one trial's program): a failed measurement ends them
 * rather than leaving them behind. */
Process g_held[2];

[[noreturn]] void Abort(const std::string &message)
{
    for (Process &p : g_held)
        if (p.Started())
            p.Kill();
    fprintf(stderr, "bench_driver: %s\n", message.c_str());
    fflush(stderr);
    exit(1);
}

std::string Num(unsigned long n) { return std::to_string(n); }

void Sample(const char *figure, const char *who, double value)
{
    printf("%s %s %.3f\n", figure, who, value);
    fflush(stdout);
}

Process &StartHeld(int slot, const std::string &path, int showState = -1, const std::string &dir = "")
{
    g_held[slot] = Start(path, Quote(path), showState, false, dir);
    if (!g_held[slot].Started())
        Abort("cannot start " + path + " (error " + Num(GetLastError()) + ")");
    return g_held[slot];
}

/* Waits for a held program to end, which it must do with exit code 0. */
void AwaitEnd(int slot, const std::string &name)
{
    const DWORD code = g_held[slot].Wait(kTimeoutMs);
    if (code == STILL_ACTIVE)
        Abort(name + " did not end");
    g_held[slot] = Process();
    if (code != 0)
        Abort(name + " ended with exit code " + Num(code));
}

struct Resident {
    const char *name;
    std::string path;
    const char *windowClass;
    const char *windowTitle;
};

Resident Agent() { return {"agent", AgentPath(), kWindowClass, kWindowTitle}; }
Resident Floor() { return {"floor", ProgramDir() + "floor.exe", BENCH_FLOOR_CLASS, BENCH_FLOOR_TITLE}; }

/* Ends every process whose window matches r.  False when one is still there. */
bool StopAll(const Resident &r) { return StopAllWindows(r.windowClass, r.windowTitle); }

/* r's window, and the process that owns it. */
HWND AwaitWindow(const Resident &r, DWORD *pid)
{
    HWND hwnd = WaitForWindow(r.windowClass, r.windowTitle, 0, kTimeoutMs);
    if (!hwnd)
        Abort(std::string("no ") + r.name + " window within 20 s");
    GetWindowThreadProcessId(hwnd, pid);
    return hwnd;
}

/* Waits until r's window is subscribed to the device library, as the
 * agent subscribes it. */
void AwaitSubscription(const Resident &r, HWND hwnd, DWORD pid)
{
    HidReply status{};
    DWORD error = WaitForSubscription(pid, &status, kTimeoutMs);
    if (error != ERROR_SUCCESS)
        Abort(std::string("the ") + r.name + " serves no device channel (error " + Num(error) + ")");
    if (HidReplyWindow(status) != hwnd || status.message != kMsgBase || status.calls != 1)
        Abort(std::string("the ") + r.name + "'s subscription is not its window's");
}

/* ------------------------------------------------------------ start-up */

double TimeStartup(const Resident &r)
{
    const LONGLONG t0 = Now();
    const DWORD pid = StartHeld(0, r.path).Pid();
    HWND hwnd;
    const DWORD startTick = GetTickCount();
    while ((hwnd = FindWindowA(r.windowClass, r.windowTitle)) == NULL) {
        if (GetTickCount() - startTick > kTimeoutMs)
            Abort(std::string(r.name) + " started but showed no window within 20 s");
    }
    const LONGLONG t1 = Now();

    DWORD owner = 0;
    GetWindowThreadProcessId(hwnd, &owner);
    if (owner != pid)
        Abort(std::string("the ") + r.name + " window found belongs to another process");
    PostMessageA(hwnd, WM_QUIT, 0, 0);
    AwaitEnd(0, std::string(r.name) + ", told WM_QUIT,");
    Sleep(kSettleMs);
    return Ms(t0, t1);
}

int RunStartup(int runs)
{
    const Resident agent = Agent(), floor = Floor();
    if (!StopAll(agent) || !StopAll(floor))
        Abort("an agent or floor left from before will not end");
    TimeStartup(agent);
    TimeStartup(floor);
    for (int run = 0; run < runs; ++run) {
        const bool agentFirst = run % 2 == 0;
        const Resident &first = agentFirst ? agent : floor;
        const Resident &second = agentFirst ? floor : agent;
        const double a = TimeStartup(first);
        const double b = TimeStartup(second);
        Sample("startup", first.name, a);
        Sample("startup", second.name, b);
    }
    return 0;
}

/* ------------------------------------------------------------ reaction */

struct Stamp {
    LONGLONG counter;
    LONGLONG frequency;
    LONGLONG pid;
};

HANDLE g_started; /* BENCH_STARTED_EVENT, set by the product program */

/* Waits, blocked, for the product program to signal that its stamp is
 * written, and reads the stamp. */
Stamp AwaitStamp(const std::string &path)
{
    if (WaitForSingleObject(g_started, kTimeoutMs) != WAIT_OBJECT_0)
        Abort("the product program did not start within 20 s");
    /* The product closed the file before it set the event. */
    const std::string text = ReadFileText(path);
    if (text.empty())
        Abort("the product program started but wrote no " + path);
    Stamp s;
    const char *next = text.c_str();
    for (LONGLONG *field : {&s.counter, &s.frequency, &s.pid}) {
        char *end;
        *field = (LONGLONG)strtoull(next, &end, 16);
        if (end == next)
            Abort("the product's stamp is malformed");
        next = end;
    }
    if (s.frequency != g_frequency)
        Abort("the product's counter frequency differs from ours: not one clock");
    return s;
}

struct ReactionBed {
    std::string base;
    std::string productDir;
    std::string productPath;
    std::string stampPath;
};

/* The agent's way (the agent held in slot 1): one launch event through the
 * device library. */
double TimeAgentReaction(ReactionBed &bed, double *callMs)
{
    DeleteFileA(bed.stampPath.c_str());
    ResetEvent(g_started);
    DWORD answer = 0xFFFFFFFF;
    const ULONGLONG sent = SystemTimeNow();
    const LONGLONG t0 = Now();
    DWORD error = HidSendEvent(g_held[1].Pid(), HID_EVENT_LAUNCH, &answer, kTimeoutMs);
    const LONGLONG returned = Now();
    if (error != ERROR_SUCCESS)
        Abort("the launch event was not delivered (error " + Num(error) + ")");
    const Stamp s = AwaitStamp(bed.stampPath);
    WaitForProcessId((DWORD)s.pid, kTimeoutMs);
    WaitForChildrenOf(g_held[1].Pid(), kTimeoutMs, sent);
    if (!g_held[1].Running())
        Abort("the agent ended during a launch");
    *callMs = Ms(t0, returned);
    Sleep(kSettleMs);
    return Ms(t0, s.counter);
}

/* The floor: the same program started directly, the way the agent starts
 * it (quoted path, normal show state, the installation folder as its
 * current directory). */
double TimeDirectReaction(ReactionBed &bed)
{
    DeleteFileA(bed.stampPath.c_str());
    ResetEvent(g_started);
    const LONGLONG t0 = Now();
    const DWORD pid = StartHeld(0, bed.productPath, SW_SHOWNORMAL, bed.productDir).Pid();
    const Stamp s = AwaitStamp(bed.stampPath);
    AwaitEnd(0, "the product program");
    if (s.pid != pid)
        Abort("the stamp was written by another process");
    Sleep(kSettleMs);
    return Ms(t0, s.counter);
}

/* A product folder holding the stamping program, registered as installed. */
ReactionBed MakeReactionBed()
{
    ReactionBed bed;
    bed.base = MakeTempDir("ostrel-bench");
    bed.productDir = bed.base + "\\product";
    bed.productPath = bed.productDir + "\\" + kPrimaryProgram;
    bed.stampPath = bed.base + "\\stamp.txt";
    if (!CreateDirectoryA(bed.productDir.c_str(), NULL))
        Abort("cannot create " + bed.productDir);
    const std::string product = ProgramDir() + "bench_product.exe";
    if (!CopyFileA(product.c_str(), bed.productPath.c_str(), FALSE))
        Abort("cannot copy " + product);
    if (!WriteInstallDirText(bed.productDir))
        Abort(std::string("cannot write the product's installation folder to HKLM\\") + kProductKey);
    return bed;
}

int RunReaction(int runs)
{
    ReactionBed bed = MakeReactionBed();
    SetEnvironmentVariableA(BENCH_STAMP_VARIABLE, bed.stampPath.c_str());
    g_started = CreateEventA(NULL, FALSE, FALSE, BENCH_STARTED_EVENT);
    if (g_started == NULL || GetLastError() == ERROR_ALREADY_EXISTS)
        Abort("cannot create the " BENCH_STARTED_EVENT " event, or another holds it");

    /* The agent inherits our environment, and hands it on to the product. */
    StopAllAgents();
    const DWORD pid = StartHeld(1, AgentPath()).Pid();
    HWND hwnd = WaitForAgentWindow(pid, kTimeoutMs);
    if (!hwnd)
        Abort("the agent showed no window within 20 s");
    AwaitSubscription(Agent(), hwnd, pid);

    double call;
    TimeAgentReaction(bed, &call);
    TimeDirectReaction(bed);
    for (int run = 0; run < runs; ++run) {
        double agentMs, directMs;
        if (run % 2 == 0) {
            agentMs = TimeAgentReaction(bed, &call);
            directMs = TimeDirectReaction(bed);
        } else {
            directMs = TimeDirectReaction(bed);
            agentMs = TimeAgentReaction(bed, &call);
        }
        Sample("reaction", "agent", agentMs);
        Sample("reaction", "floor", directMs);
        Sample("event-call", "agent", call);
    }

    PostMessageA(hwnd, WM_QUIT, 0, 0);
    AwaitEnd(1, "the agent, told WM_QUIT,");
    RemoveProductKey();
    SetEnvironmentVariableA(BENCH_STAMP_VARIABLE, NULL);
    RemoveTree(bed.base);
    CloseHandle(g_started);
    return 0;
}

/* ------------------------------------------------ resident measurement */

int RunAwait()
{
    DWORD pids[2];
    const Resident residents[2] = {Agent(), Floor()};
    for (int i = 0; i < 2; ++i) {
        HWND hwnd = AwaitWindow(residents[i], &pids[i]);
        AwaitSubscription(residents[i], hwnd, pids[i]);
    }
    printf("agent pid %lu and floor pid %lu subscribed\n", pids[0], pids[1]);
    return 0;
}

/* Prints "modules WHO N" and "module-names WHO a.dll b.dll ..." (lower
 * case, load order) for the running process of r, read from outside it as
 * any tool would (EnumProcessModules). */
void PrintModules(const Resident &r)
{
    DWORD pid = 0;
    AwaitWindow(r, &pid);
    const std::vector<std::string> modules = LoadedModules(pid);
    if (modules.empty())
        Abort(std::string("cannot list the ") + r.name + "'s modules");
    std::string names;
    for (const std::string &m : modules)
        names += " " + m;
    Sample("modules", r.name, (double)modules.size());
    printf("module-names %s%s\n", r.name, names.c_str());
    fflush(stdout);
}

int RunModules()
{
    PrintModules(Agent());
    PrintModules(Floor());
    return 0;
}

int RunQuit()
{
    if (!StopAll(Agent()) || !StopAll(Floor()))
        Abort("an agent or floor will not end");
    return 0;
}

int Usage()
{
    fprintf(stderr, "usage: bench_driver startup RUNS | reaction RUNS | await | modules | quit\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    g_frequency = f.QuadPart;

    if (argc < 2)
        return Usage();
    const std::string mode = argv[1];
    if (mode == "startup" || mode == "reaction") {
        int runs = argc == 3 ? atoi(argv[2]) : 0;
        if (runs < 1)
            return Usage();
        return mode == "startup" ? RunStartup(runs) : RunReaction(runs);
    }
    if (argc == 2 && mode == "await")
        return RunAwait();
    if (argc == 2 && mode == "quit")
        return RunQuit();
    if (argc == 2 && mode == "modules")
        return RunModules();
    return Usage();
}
