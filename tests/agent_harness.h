/*
 * Driving agent.exe from another process: starting it with exact command
 * lines, finding its window, installing and removing the product the way an
 * installer would, sending device events through the stand-in library, and
 * reading what the recorder programs logged.
 */
#ifndef AGENT_HARNESS_H
#define AGENT_HARNESS_H

#include <windows.h>

#include <string>
#include <vector>

namespace harness {

constexpr const char *kWindowClass = "OstrelCorandel";
constexpr const char *kWindowTitle = "Ostrel_Corandel";
constexpr const char *kProductKey = "SOFTWARE\\Ostrel\\Corrandel";
constexpr const char *kInstallDirValue = "InstallDir";
constexpr const char *kWebSite = "www.ostrel.com";
constexpr UINT kMsgBase = 0x0500;
constexpr UINT kMsgEvent = 0x0501;
constexpr DWORD kEventLaunch = 0x00000100;
constexpr DWORD kWaitMs = 20000;

// Event records no program can read, whatever the width: two bytes below the
// top of the address space (the last byte would wrap to 0), and the start of
// the top half, which belongs to the system.
const LPARAM kTopOfMemory = (LPARAM)((ULONG_PTR)0 - 2);
const LPARAM kKernelSpace = (LPARAM)(~(ULONG_PTR)0 / 2 + 1);

// Folder of the running program, with a trailing backslash.
std::string ProgramDir();
// build\bin\agent.exe and friends, found from build\tests.
std::string ShippedPath(const char *fileName);
std::string AgentPath();
std::string RecorderPath();

// A running child process; closes its handles when it goes.
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
    void Kill();
};

// Starts program with commandLine exactly as given.  showState < 0 means no
// STARTF_USESHOWWINDOW.  suspended leaves the main thread suspended.  An
// empty directory keeps ours as the child's current directory.
Process Start(const std::string &program, const std::string &commandLine, int showState = -1,
              bool suspended = false, const std::string &directory = "");

// The agent window owned by pid, or NULL once timeoutMs has passed.
HWND WaitForAgentWindow(DWORD pid, DWORD timeoutMs = kWaitMs);
// The window FindWindowA finds for the agent's class and title, if any.
HWND FindAgentWindow();
// Ends every process owning a top-level window of that class and title
// (quit message, then force).  False when one is still there.
bool StopAllWindows(const char *windowClass, const char *windowTitle);
// Ends every agent on the desktop.
void StopAllAgents();

// Product installation, as an installer would write it.
void RemoveProductKey();
bool WriteInstallDir(const void *data, DWORD size, DWORD type);
bool WriteInstallDirText(const std::string &dir);
bool CreateProductKeyOnly();

// Fresh empty folder under the temporary folder, and its removal.
std::string MakeTempDir(const std::string &name);
void RemoveTree(const std::string &dir);
bool CopyRecorderTo(const std::string &path);

// Processes whose parent is pid, waited for until they end.
void WaitForChildrenOf(DWORD pid, DWORD timeoutMs = kWaitMs);
std::vector<DWORD> ChildrenOf(DWORD pid);

struct Record {
    std::string program;  // full path of the started program
    std::string directory;
    std::string commandLine;
};
std::vector<Record> ReadRecords(const std::string &logPath);

std::string Lower(std::string s);
std::string Quote(const std::string &s);

}  // namespace harness

#endif
