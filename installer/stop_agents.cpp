/*
 * StopAgents: ends every running copy of the installed agent.exe before
 * the installation replaces or removes its files.
 *
 * The rule, and its bounds:
 *  - Every agent of the installed path, in every session, is found
 *    (agent_processes.cpp); the action runs as LocalSystem, which may end
 *    the processes of every user.
 *  - Each agent is first asked to quit: WM_QUIT posted to its threads, which
 *    ends its message loop with exit code 0.  A thread of another session
 *    or desktop cannot be posted to (PostThreadMessage needs the caller's
 *    desktop or logon), nor one without a message queue: an agent none of
 *    whose threads took the request is ended at once, since waiting for it
 *    could only cost time.  Those that were asked and do not end within
 *    QUIT_WAIT_MS are ended too: the agent keeps no state and writes no
 *    file, so nothing can be lost.
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
    MAX_ROUNDS = 8
};

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
static void WaitForAgents(const RunningAgent *agents, int count, DWORD dwTimeoutMs)
{
    const DWORD dwStart = GetTickCount();
    for (int i = 0; i < count; ++i) {
        DWORD dwElapsed = GetTickCount() - dwStart;
        WaitForSingleObject(agents[i].hProcess, dwElapsed >= dwTimeoutMs ? 0 : dwTimeoutMs - dwElapsed);
    }
}

static BOOL HasEnded(const RunningAgent &agent) { return WaitForSingleObject(agent.hProcess, 0) == WAIT_OBJECT_0; }

/* One round: the agents found now, asked (those that cannot be asked ended
 * at once), waited for, ended if need be.  How many were found. */
static int StopFoundAgents(MSIHANDLE hInstall, LPCWSTR lpszAgentPath)
{
    static RunningAgent agents[MAX_AGENTS];
    static RunningAgent asked[MAX_AGENTS];
    const int count = FindAgents(lpszAgentPath, agents);
    int askedCount = 0;
    LogLine(hInstall, L"StopAgents: %d running agent(s) of %ls", count, lpszAgentPath);

    for (int i = 0; i < count; ++i) {
        const int threads = AskToQuit(agents[i].dwPid);
        if (threads > 0) {
            LogLine(hInstall, L"StopAgents: asked agent %lu to quit (%d thread(s) took the request)", agents[i].dwPid,
                    threads);
            asked[askedCount++] = agents[i];
        } else {
            TerminateProcess(agents[i].hProcess, ENDED_BY_INSTALLER);
            LogLine(hInstall, L"StopAgents: agent %lu could not be asked to quit and was ended", agents[i].dwPid);
        }
    }
    WaitForAgents(asked, askedCount, QUIT_WAIT_MS);

    for (int i = 0; i < askedCount; ++i) {
        if (HasEnded(asked[i])) {
            LogLine(hInstall, L"StopAgents: agent %lu quit", asked[i].dwPid);
        } else {
            TerminateProcess(asked[i].hProcess, ENDED_BY_INSTALLER);
            LogLine(hInstall, L"StopAgents: agent %lu did not quit within %d ms and was ended", asked[i].dwPid,
                    (int)QUIT_WAIT_MS);
        }
    }
    WaitForAgents(agents, count, END_WAIT_MS);

    for (int i = 0; i < count; ++i) {
        if (!HasEnded(agents[i]))
            LogLine(hInstall, L"StopAgents: agent %lu is still running; its files change at the next restart",
                    agents[i].dwPid);
    }
    CloseAgents(agents, count);
    return count;
}

extern "C" UINT WINAPI StopAgents(MSIHANDLE hInstall)
{
    WCHAR szAgentPath[ACTION_PATH_SIZE];
    if (!GetAgentPath(hInstall, L"StopAgents", szAgentPath))
        return ERROR_SUCCESS;
    for (int round = 0; round < MAX_ROUNDS && StopFoundAgents(hInstall, szAgentPath) == MAX_AGENTS; ++round) {
    }
    return ERROR_SUCCESS;
}
