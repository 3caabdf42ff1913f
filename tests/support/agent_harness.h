/*
 * The test-support layer shared by the test programs, the bench and the soak:
 * starting programs with exact command lines and ending them, waiting for
 * windows, children and exits, the product's folder and registry value as an
 * installer would leave them, the recorder programs' log, and a process's
 * handle and memory figures.  Nothing here knows GoogleTest.
 */
#ifndef AGENT_HARNESS_H
#define AGENT_HARNESS_H

#include <windows.h>

#include <string>
#include <vector>

#include "agent_contract.h"
#include "hidusb_client.h"

namespace harness {

// For what should happen at once (a window, an exit, a started program's
// record): every such wait ends as soon as it happens, so this bound costs
// a passing case nothing, and it is far above what it takes under Wine, so
// that a machine loaded by other Wine sessions still passes (5 s, and once
// 10 s, were seen to be too short beside three other suites on two cores).
constexpr DWORD kWaitMs = 30000;

// Event records no program can read, whatever the width: two bytes below the
// top of the address space (the last byte would wrap to 0), and the start of
// the top half, which belongs to the system.
const LPARAM kTopOfMemory = (LPARAM)((ULONG_PTR)0 - 2);
const LPARAM kKernelSpace = (LPARAM)(~(ULONG_PTR)0 / 2 + 1);

/* ------------------------------------------------------------ paths */

// Folder of the running program, with a trailing backslash.
std::string ProgramDir();
// build\bin\agent.exe and the other shipped files, found from build\tests
// (or build\bench, build\soak).
std::string ShippedPath(const char *fileName);
std::string AgentPath();
std::string RecorderPath();

/* -------------------------------------------------------- processes */

// A child process; closes its handles when it goes.
struct Process {
    PROCESS_INFORMATION pi{};
    Process() = default;
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    Process(Process &&other) noexcept;
    Process &operator=(Process &&other) noexcept;
    ~Process();
    bool Started() const { return pi.hProcess != NULL; }
    DWORD Pid() const { return pi.dwProcessId; }
    // Exit code, or STILL_ACTIVE when it has not ended within timeoutMs.
    DWORD Wait(DWORD timeoutMs) const;
    bool Running() const { return Wait(0) == STILL_ACTIVE; }
    // A quit message to its main thread; then, if need be, force.
    void Quit();
    void Kill();
};

// Starts program with commandLine exactly as given (an empty program: the
// command line names it, as a logon's Run value does).  showState < 0 means no
// STARTF_USESHOWWINDOW.  suspended leaves the main thread suspended.  An
// empty directory keeps ours as the child's current directory.
Process Start(const std::string &program, const std::string &commandLine, int showState = -1,
              bool suspended = false, const std::string &directory = "");

// A console program run to its end with its output captured.
struct Captured {
    bool finished = false;  // false: not started, or still running at the timeout (then killed)
    DWORD exitCode = 0;
    DWORD startError = 0;   // CreateProcess's error when it could not be started
    std::string out;
    std::string err;
};
// startedPid, when given, gets the program's process id as soon as it has
// started, for another thread (a Ctrl+C handler) to tell it from the rest.
Captured RunCaptured(const std::string &program, const std::string &arguments, DWORD timeoutMs = kWaitMs,
                     volatile DWORD *startedPid = nullptr);

// Waits for a process we hold no handle of; false when it is still there.
bool WaitForProcessId(DWORD pid, DWORD timeoutMs = kWaitMs);
// The processes pid started (since the moment since, a SystemTimeNow(),
// when given), and waiting until they have ended.  A moment matters under
// Wine: the first window of a session starts Wine's desktop process, which
// is then a child of that program and never ends.
ULONGLONG SystemTimeNow();
std::vector<DWORD> ChildrenOf(DWORD pid, ULONGLONG since = 0);
void WaitForChildrenOf(DWORD pid, DWORD timeoutMs = kWaitMs, ULONGLONG since = 0);

/* ---------------------------------------------------------- figures */

// The process's entries in the system's handle list (-1 when unknown).
// GetProcessHandleCount is the obvious call, but Wine answers it with 0 for
// every process; the list is what the system itself holds.
long HandleCount(DWORD pid);

struct MemoryFigures {
    long workingSetKiB = -1;  // resident memory; under Wine the process's VmRSS
    long pagefileKiB = -1;    // private memory in use; under Wine RssAnon plus VmSwap
    long privateKiB = -1;     // committed private memory, from the address map
};
MemoryFigures MeasureMemory(HANDLE process);

// The current directory of process pid, read from its process parameters
// (as a debugger reads them); "" when it cannot be read.  The process must
// be of this program's width.
std::string CurrentDirectoryOf(DWORD pid);

// Lower-case base names of the modules loaded in process pid, in load order,
// read from outside it as any tool would; empty when they cannot be read.
std::vector<std::string> LoadedModules(DWORD pid);

/* ---------------------------------------------------------- windows */

// The top-level window of that class and title (owned by pid, when pid is
// not 0), or NULL once timeoutMs has passed.
HWND WaitForWindow(const char *windowClass, const char *windowTitle, DWORD pid = 0, DWORD timeoutMs = kWaitMs);
HWND WaitForAgentWindow(DWORD pid, DWORD timeoutMs = kWaitMs);
// Waits until process pid serves the device library's channel (its window
// exists a moment before it subscribes) and fills *status; the client
// call's error otherwise.
DWORD WaitForSubscription(DWORD pid, HidReply *status, DWORD timeoutMs = kWaitMs);
// The window FindWindowA finds for the agent's class and title, if any.
HWND FindAgentWindow();
// Ends every process but exceptPid owning a top-level window of that class
// and title (quit message, then force).  False when one is still there.
bool StopAllWindows(const char *windowClass, const char *windowTitle, DWORD exceptPid = 0);
void StopAllAgents(DWORD exceptPid = 0);

/* ---------------------------------------------------------- product */

// The product's key, with anything under it, as an uninstaller removes it,
// from both registry views of 64-bit Windows.
void RemoveProductKey();
// The key, and InstallDir in it, as an installer writes them: in this
// program's own registry view unless view names one (KEY_WOW64_64KEY,
// KEY_WOW64_32KEY; ignored where there is only one view).
bool CreateProductKeyOnly(REGSAM view = 0);
bool WriteInstallDir(const void *data, DWORD size, DWORD type, REGSAM view = 0);
bool WriteInstallDirText(const std::string &dir, REGSAM view = 0);
// A 32-bit program on 64-bit Windows, which has a registry view of its own.
bool UnderWow64();

// Fresh empty folder under the temporary folder, and its removal.
std::string MakeTempDir(const std::string &name);
void RemoveTree(const std::string &dir);
// Whether a file or folder is there.
bool Exists(const std::string &path);
// The names of the files in dir that match pattern ("*.msi"), sorted.
std::vector<std::string> FilesIn(const std::string &dir, const std::string &pattern);
bool CopyRecorderTo(const std::string &path);
// base\name, holding recorder copies as Vorq.exe and Duxo.exe as asked.
std::string MakeProductDir(const std::string &base, const std::string &name, bool withVorq, bool withDuxo);

// A temporary file, deleted with this object.
class TempFile {
public:
    TempFile();
    ~TempFile();
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    const std::string &Path() const { return path_; }

private:
    std::string path_;
};

/* ------------------------------------------------------ text and logs */

// A file's bytes ("" when it cannot be read), and text cut into its
// non-empty lines without their line ends.
std::string ReadFileText(const std::string &path);
std::vector<std::string> SplitLines(const std::string &text);

// One start the recorder program logged.
struct Record {
    std::string program;  // full path of the started program
    std::string directory;
    int showState;        // from its start-up information; -1 when it was given none
    std::string commandLine;
};
std::vector<Record> ReadRecords(const std::string &logPath);
// The log's records once it holds at least count of them, or what it holds
// when timeoutMs has passed.  A start can outlive the request that caused
// it (the shell may hand an address on before its program has written
// anything), so a case that expects starts waits for them.
std::vector<Record> WaitForRecords(const std::string &logPath, size_t count, DWORD timeoutMs = kWaitMs);
// The command the shell opens an address of scheme with (its "%1" still in
// place), found as the shell finds it: on Windows 10 and 11 through the
// user's choice of browser; empty when there is none.
std::string BrowserCommand(const char *scheme = "https");
bool IsWebSiteRecord(const Record &record);

std::string Lower(std::string s);
std::string Quote(const std::string &s);

}  // namespace harness

#endif
