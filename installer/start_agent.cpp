/*
 * StartAgent: once the installation's files are in place, starts the
 * installed agent.exe in every session that has a signed-in user and no
 * agent yet, so that no user has to sign out and in again after an
 * install, upgrade or repair.
 *
 * The agent starts the product on the device's launch event; whatever token
 * it has, the product gets.  So each agent is started with its session
 * user's own token (WTSQueryUserToken: the one the user's shell runs with,
 * filtered under UAC), never elevated and never as LocalSystem, on that
 * session's interactive desktop, with the user's environment.  Only
 * LocalSystem may ask for that token, which is why the action is deferred
 * and not impersonated: it then works alike from a double-click with UAC,
 * an elevated prompt of another account, a silent install and a deployment
 * as LocalSystem, and needs no Secondary Logon service.
 *
 * The sessions are those WTSEnumerateSessions lists and the active console
 * session, should the list lack it (an enumeration that fails, or one that
 * lists none, as Wine's, which models a single session, does).  A session without a user (session
 * 0's services, a listener) has no token and is skipped; with nobody signed
 * in, nothing starts, and the Run value starts the agent at the next logon.
 *
 * The agent's current directory is the system folder, as at a logon, never
 * msiexec's, which it would otherwise hold open (a removable drive the
 * package was run from, say) until the user signs out.
 */
#include "custom_actions.h"

#include <userenv.h>
#include <wtsapi32.h>

enum { MAX_SESSIONS = 256 };

/* The sessions to serve, each once: how many. */
static int ListSessions(DWORD *sessions)
{
    int count = 0;
    WTS_SESSION_INFOW *info = NULL;
    DWORD cInfo = 0;
    if (WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &info, &cInfo)) {
        for (DWORD i = 0; i < cInfo && count < MAX_SESSIONS; ++i)
            sessions[count++] = info[i].SessionId;
        WTSFreeMemory(info);
    }
    const DWORD dwConsole = WTSGetActiveConsoleSessionId();
    for (int i = 0; i < count; ++i)
        if (sessions[i] == dwConsole)
            return count;
    if (dwConsole != NO_SESSION && count < MAX_SESSIONS)
        sessions[count++] = dwConsole;
    return count;
}

/* The pid of an agent already running in dwSession, or 0. */
static DWORD AgentIn(DWORD dwSession, const RunningAgent *agents, int count)
{
    for (int i = 0; i < count; ++i)
        if (agents[i].dwSession == dwSession)
            return agents[i].dwPid;
    return 0;
}

/* How long a started agent is given to reach its message loop. */
static const DWORD START_WAIT_MS = 10000;

/* Starts the agent with the session user's token: the process id, or 0
 * with the error in *pdwError. */
static DWORD StartIn(HANDLE hToken, LPCWSTR lpszAgentPath, LPCWSTR lpszSystemDir, DWORD *pdwError)
{
    WCHAR szCommandLine[ACTION_PATH_SIZE + 2];
    wsprintfW(szCommandLine, L"\"%s\"", lpszAgentPath);
    STARTUPINFOW si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    si.lpDesktop = const_cast<LPWSTR>(L"winsta0\\default");
    LPVOID lpEnvironment = NULL;
    if (!CreateEnvironmentBlock(&lpEnvironment, hToken, FALSE))
        lpEnvironment = NULL;
    PROCESS_INFORMATION pi;
    BOOL bStarted = CreateProcessAsUserW(hToken, lpszAgentPath, szCommandLine, NULL, NULL, FALSE,
                                         CREATE_UNICODE_ENVIRONMENT, lpEnvironment, lpszSystemDir, &si, &pi);
    *pdwError = bStarted ? ERROR_SUCCESS : GetLastError();
    if (lpEnvironment != NULL)
        DestroyEnvironmentBlock(lpEnvironment);
    if (!bStarted)
        return 0;
    CloseHandle(pi.hThread);
    /* Until its message loop runs (bounded), so that "started" in the log
     * means an agent that is up, which a rollback right after this can find
     * and end.  A wait that fails or runs out only means less is known. */
    WaitForInputIdle(pi.hProcess, START_WAIT_MS);
    CloseHandle(pi.hProcess);
    return pi.dwProcessId;
}

/* One line in the log for each session: started, or skipped and why. */
static void ServeSession(MSIHANDLE hInstall, DWORD dwSession, LPCWSTR lpszAgentPath, LPCWSTR lpszSystemDir,
                         const RunningAgent *agents, int count)
{
    const DWORD dwRunning = AgentIn(dwSession, agents, count);
    if (dwRunning != 0) {
        LogLine(hInstall, L"StartAgent: session %lu: an agent already runs there (process %lu)", dwSession, dwRunning);
        return;
    }
    HANDLE hToken = NULL;
    if (!WTSQueryUserToken(dwSession, &hToken)) {
        LogLine(hInstall, L"StartAgent: session %lu: no signed-in user (error %lu)", dwSession, GetLastError());
        return;
    }
    DWORD dwError = ERROR_SUCCESS;
    const DWORD dwPid = StartIn(hToken, lpszAgentPath, lpszSystemDir, &dwError);
    CloseHandle(hToken);
    if (dwPid != 0)
        LogLine(hInstall, L"StartAgent: session %lu: started %ls, process %lu", dwSession, lpszAgentPath, dwPid);
    else
        LogLine(hInstall, L"StartAgent: session %lu: could not start %ls (error %lu): it starts at the next logon",
                dwSession, lpszAgentPath, dwError);
}

extern "C" UINT WINAPI StartAgent(MSIHANDLE hInstall)
{
    WCHAR szAgentPath[ACTION_PATH_SIZE];
    WCHAR szSystemDir[MAX_PATH];
    UINT cchSystem = GetSystemDirectoryW(szSystemDir, MAX_PATH);
    if (!GetAgentPath(hInstall, L"StartAgent", szAgentPath))
        return ERROR_SUCCESS;
    if (lstrlenW(szAgentPath) >= ACTION_PATH_SIZE - 1 || cchSystem == 0 || cchSystem >= MAX_PATH) {
        LogLine(hInstall, L"StartAgent: the agent's path is too long, or there is no system folder");
        return ERROR_SUCCESS;
    }
    static DWORD sessions[MAX_SESSIONS];
    static RunningAgent agents[MAX_AGENTS];
    const int cSessions = ListSessions(sessions);
    const int cAgents = FindAgents(szAgentPath, agents);
    if (cSessions == 0)
        LogLine(hInstall, L"StartAgent: no session: the agent starts at each user's next logon");
    for (int i = 0; i < cSessions; ++i)
        ServeSession(hInstall, sessions[i], szAgentPath, szSystemDir, agents, cAgents);
    CloseAgents(agents, cAgents);
    return ERROR_SUCCESS;
}
