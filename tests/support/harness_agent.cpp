/*
 * Paths and windows for the test-support layer: where the shipped programs
 * are, and finding, awaiting and ending resident programs by their window.
 */
#include "agent_harness.h"

#include <cstring>

namespace harness {

std::string ProgramDir()
{
    char path[MAX_PATH] = "";
    GetModuleFileNameA(NULL, path, sizeof path);
    std::string s(path);
    return s.substr(0, s.find_last_of('\\') + 1);
}

namespace {
// path without its "..": as it was where that does not fit in MAX_PATH, never
// an empty text that every other text would seem to contain.
std::string FullPath(const std::string &path)
{
    char full[MAX_PATH] = "";
    const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, NULL);
    return length > 0 && length < sizeof full ? std::string(full, length) : path;
}
}  // namespace

std::string ShippedPath(const char *fileName) { return FullPath(ProgramDir() + "..\\bin\\" + fileName); }

std::string AgentPath() { return ShippedPath("agent.exe"); }

std::string RecorderPath() { return FullPath(ProgramDir() + "..\\tests\\recorder.exe"); }

namespace {
// How often the waits below look: often enough to add little to a test, and
// seldom enough to leave the processor to the programs being waited for.
const DWORD kPollMs = 25;

struct WindowSearch {
    const char *windowClass;
    const char *windowTitle;
    DWORD pid;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND hwnd, LPARAM lParam)
{
    auto *search = reinterpret_cast<WindowSearch *>(lParam);
    DWORD owner = 0;
    GetWindowThreadProcessId(hwnd, &owner);
    if (search->pid != 0 && owner != search->pid)
        return TRUE;
    char cls[128] = "", title[128] = "";
    GetClassNameA(hwnd, cls, sizeof cls);
    GetWindowTextA(hwnd, title, sizeof title);
    if (strcmp(cls, search->windowClass) != 0 || strcmp(title, search->windowTitle) != 0)
        return TRUE;
    search->found = hwnd;
    return FALSE;
}
}  // namespace

HWND WaitForWindow(const char *windowClass, const char *windowTitle, DWORD pid, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        WindowSearch search{windowClass, windowTitle, pid, NULL};
        EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found || GetTickCount() - start >= timeoutMs)
            return search.found;
        Sleep(kPollMs);
    }
}

HWND WaitForAgentWindow(DWORD pid, DWORD timeoutMs) { return WaitForWindow(kWindowClass, kWindowTitle, pid, timeoutMs); }

DWORD WaitForSubscription(DWORD pid, HidReply *status, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        DWORD error = HidQueryStatus(pid, status, timeoutMs);
        if (error != ERROR_FILE_NOT_FOUND || GetTickCount() - start >= timeoutMs)
            return error;
        Sleep(kPollMs);
    }
}

HWND FindAgentWindow() { return FindWindowA(kWindowClass, kWindowTitle); }

bool StopAllWindows(const char *windowClass, const char *windowTitle, DWORD exceptPid)
{
    for (int round = 0; round < 20; ++round) {
        HWND hwnd = NULL;
        DWORD pid = 0;
        while ((hwnd = FindWindowExA(NULL, hwnd, windowClass, windowTitle)) != NULL) {
            GetWindowThreadProcessId(hwnd, &pid);
            if (pid != exceptPid)
                break;
        }
        if (!hwnd)
            return true;
        HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
        PostMessageA(hwnd, WM_QUIT, 0, 0);
        if (h) {
            if (WaitForSingleObject(h, kWaitMs) != WAIT_OBJECT_0) {
                TerminateProcess(h, 0xDEAD);
                WaitForSingleObject(h, kWaitMs);
            }
            CloseHandle(h);
        } else {
            Sleep(100);
        }
    }
    return false;
}

void StopAllAgents(DWORD exceptPid) { StopAllWindows(kWindowClass, kWindowTitle, exceptPid); }

}  // namespace harness
