/*
 * agent-stop "<path of agent.exe>"
 *
 * Run by the package before it removes or replaces the agent's files.  The
 * agent's own quit command ("agent.exe q") only posts WM_QUIT and returns at
 * once; the old agent's window, its instance object and its open files stay
 * until its process has ended.  Files removed before that are in use (a
 * restart would be needed), and an agent started before that ends at once
 * as a duplicate.  So this asks the agent to quit with that command and
 * waits until its process has really ended.
 *
 * The window's class and title are read from the given agent.exe's own
 * string resources, so they always match the agent being stopped.
 * Exit code: 0 when no agent window is left, 1 otherwise, 2 on bad usage.
 */
#include <windows.h>

#include "agent.h"

enum {
    QUIT_COMMAND_TIMEOUT_MS = 5000,
    AGENT_END_TIMEOUT_MS = 10000,
    /* A start racing with us could bring up one more agent; a few rounds
     * cover that without looping forever on an agent that will not quit. */
    MAX_ROUNDS = 3
};

static BOOL ReadIdentity(LPCWSTR agentPath, char *windowClass, char *windowTitle)
{
    HMODULE hAgent = LoadLibraryExW(agentPath, NULL, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (hAgent == NULL)
        return FALSE;
    BOOL ok = LoadStringA(hAgent, IDS_WINDOW_CLASS, windowClass, IDENTITY_TEXT_CAPACITY) > 0 &&
              LoadStringA(hAgent, IDS_WINDOW_TITLE, windowTitle, IDENTITY_TEXT_CAPACITY) > 0;
    FreeLibrary(hAgent);
    return ok;
}

/* Runs "<agent>" q and waits for that short-lived process, not the agent. */
static void RunQuitCommand(LPCWSTR agentPath)
{
    WCHAR commandLine[MAX_PATH + 8];
    if (lstrlenW(agentPath) > MAX_PATH)
        return;
    wsprintfW(commandLine, L"\"%s\" q", agentPath);
    STARTUPINFOW si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessW(agentPath, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return;
    WaitForSingleObject(pi.hProcess, QUIT_COMMAND_TIMEOUT_MS);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

static int StopAgent(LPCWSTR agentPath)
{
    char windowClass[IDENTITY_TEXT_CAPACITY];
    char windowTitle[IDENTITY_TEXT_CAPACITY];
    if (!ReadIdentity(agentPath, windowClass, windowTitle))
        return 1;

    for (int round = 0; round < MAX_ROUNDS; ++round) {
        HWND hWnd = FindWindowA(windowClass, windowTitle);
        if (hWnd == NULL)
            return 0;
        DWORD pid = 0;
        GetWindowThreadProcessId(hWnd, &pid);
        /* Opened before the quit command, so the handle outlives the agent. */
        HANDLE hAgent = pid != 0 ? OpenProcess(SYNCHRONIZE, FALSE, pid) : NULL;
        RunQuitCommand(agentPath);
        if (hAgent != NULL) {
            WaitForSingleObject(hAgent, AGENT_END_TIMEOUT_MS);
            CloseHandle(hAgent);
        }
    }
    return FindWindowA(windowClass, windowTitle) == NULL ? 0 : 1;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    int argc = 0;
    LPWSTR *argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == NULL || argc != 2)
        return 2;
    return StopAgent(argv[1]);
}
