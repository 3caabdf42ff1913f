/*
 * StopAgents: ends every running copy of the installed agent.exe before
 * the installation replaces or removes its files.
 *
 * The rule, and its bounds:
 *  - An agent is found by its image path, the full path of the installed
 *    agent.exe (the action's CustomActionData), compared without regard to
 *    case: a window lookup sees one desktop of one session only.
 *  - The action is deferred and not impersonated, so it runs in the
 *    installer's own context, LocalSystem under the Windows Installer
 *    service: that context lists and may end the processes of every user
 *    in every session, whoever started the installation (an administrator,
 *    or a deployment that runs as LocalSystem in session 0).
 *  - Each agent is first asked to quit: WM_QUIT posted to its threads, which
 *    ends its message loop with exit code 0.  Where that request cannot
 *    reach (another session's threads may refuse it) or the agent does not
 *    end within QUIT_WAIT_MS, it is ended with TerminateProcess: the agent
 *    keeps no state and writes no file, so nothing can be lost.
 *  - The action then waits, at most END_WAIT_MS, until every one has ended,
 *    since only then are the files free.  What still runs after that is
 *    left to Windows Installer, which replaces its files at the next
 *    restart, as it would without this action.
 */
#include "custom_actions.h"

#include <tlhelp32.h>

enum {
    QUIT_WAIT_MS = 5000,
    END_WAIT_MS = 5000,
    /* ERROR_PROCESS_ABORTED: the exit code of an agent this action ended. */
    ENDED_BY_INSTALLER = 1067,
    /* One agent runs per session at most; a terminal server with more
     * sessions than this is served in several rounds. */
    MAX_AGENTS = 256,
    MAX_ROUNDS = 8
};

struct Agent {
    DWORD dwPid;
    HANDLE hProcess;
};

/* The path in its long form, so that a short (8.3) spelling of the same
 * file compares equal; left as it is when it cannot be resolved. */
static void MakeLongPath(LPWSTR lpszPath)
{
    WCHAR szLong[ACTION_PATH_SIZE];
    DWORD cch = GetLongPathNameW(lpszPath, szLong, ACTION_PATH_SIZE);
    if (cch > 0 && cch < ACTION_PATH_SIZE)
        lstrcpyW(lpszPath, szLong);
}

static BOOL IsImageOf(HANDLE hProcess, LPCWSTR lpszAgentPath)
{
    WCHAR szImage[ACTION_PATH_SIZE];
    DWORD cch = ACTION_PATH_SIZE;
    if (!QueryFullProcessImageNameW(hProcess, 0, szImage, &cch))
        return FALSE;
    MakeLongPath(szImage);
    return CompareStringOrdinal(szImage, -1, lpszAgentPath, -1, TRUE) == CSTR_EQUAL;
}

/* Opens the running agents, at most MAX_AGENTS; how many. */
static int FindAgents(LPCWSTR lpszAgentPath, Agent *agents)
{
    int count = 0;
    HANDLE hSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (hSnapshot == INVALID_HANDLE_VALUE)
        return 0;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(hSnapshot, &entry); more && count < MAX_AGENTS;
         more = Process32NextW(hSnapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId())
            continue;
        HANDLE hProcess = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE | PROCESS_TERMINATE, FALSE,
                                      entry.th32ProcessID);
        if (hProcess == NULL)
            continue;
        if (IsImageOf(hProcess, lpszAgentPath)) {
            agents[count].dwPid = entry.th32ProcessID;
            agents[count].hProcess = hProcess;
            ++count;
        } else {
            CloseHandle(hProcess);
        }
    }
    CloseHandle(hSnapshot);
    return count;
}

/* Posts WM_QUIT to every thread of process dwPid; how many took it. */
static int AskToQuit(DWORD dwPid)
{
    int asked = 0;
    HANDLE hSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (hSnapshot == INVALID_HANDLE_VALUE)
        return 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(hSnapshot, &entry); more; more = Thread32Next(hSnapshot, &entry)) {
        if (entry.th32OwnerProcessID == dwPid && PostThreadMessageW(entry.th32ThreadID, WM_QUIT, 0, 0))
            ++asked;
    }
    CloseHandle(hSnapshot);
    return asked;
}

/* Waits until every agent has ended, or until dwTimeoutMs has passed. */
static void WaitForAgents(const Agent *agents, int count, DWORD dwTimeoutMs)
{
    const DWORD dwStart = GetTickCount();
    for (int i = 0; i < count; ++i) {
        DWORD dwElapsed = GetTickCount() - dwStart;
        WaitForSingleObject(agents[i].hProcess, dwElapsed >= dwTimeoutMs ? 0 : dwTimeoutMs - dwElapsed);
    }
}

static BOOL HasEnded(const Agent &agent) { return WaitForSingleObject(agent.hProcess, 0) == WAIT_OBJECT_0; }

/* One round: the agents found now, asked, waited for, ended if need be.
 * How many were found. */
static int StopFoundAgents(MSIHANDLE hInstall, LPCWSTR lpszAgentPath)
{
    static Agent agents[MAX_AGENTS];
    const int count = FindAgents(lpszAgentPath, agents);
    LogLine(hInstall, L"StopAgents: %d running agent(s) of %ls", count, lpszAgentPath);

    for (int i = 0; i < count; ++i)
        LogLine(hInstall, L"StopAgents: asked agent %lu to quit (%d thread(s) took the request)", agents[i].dwPid,
                AskToQuit(agents[i].dwPid));
    WaitForAgents(agents, count, QUIT_WAIT_MS);

    for (int i = 0; i < count; ++i) {
        if (HasEnded(agents[i])) {
            LogLine(hInstall, L"StopAgents: agent %lu quit", agents[i].dwPid);
        } else {
            TerminateProcess(agents[i].hProcess, ENDED_BY_INSTALLER);
            LogLine(hInstall, L"StopAgents: agent %lu did not quit within %d ms and was ended", agents[i].dwPid,
                    (int)QUIT_WAIT_MS);
        }
    }
    WaitForAgents(agents, count, END_WAIT_MS);

    for (int i = 0; i < count; ++i) {
        if (!HasEnded(agents[i]))
            LogLine(hInstall, L"StopAgents: agent %lu is still running; its files change at the next restart",
                    agents[i].dwPid);
        CloseHandle(agents[i].hProcess);
    }
    return count;
}

extern "C" UINT WINAPI StopAgents(MSIHANDLE hInstall)
{
    WCHAR szAgentPath[ACTION_PATH_SIZE];
    if (!GetInstallerProperty(hInstall, L"CustomActionData", szAgentPath) || szAgentPath[0] == L'\0') {
        LogLine(hInstall, L"StopAgents: no agent path given");
        return ERROR_SUCCESS;
    }
    MakeLongPath(szAgentPath);
    for (int round = 0; round < MAX_ROUNDS && StopFoundAgents(hInstall, szAgentPath) == MAX_AGENTS; ++round) {
    }
    return ERROR_SUCCESS;
}
