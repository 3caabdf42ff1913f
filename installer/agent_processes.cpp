/*
 * The running copies of the installed agent.exe, found by their image path
 * (the full path of the installed file, compared without regard to case),
 * in every session: a window lookup sees one desktop of one session only.
 * Both actions need the list: StopAgents to end them, StartAgent to see
 * which sessions already have one.
 */
#include "custom_actions.h"

#include <tlhelp32.h>

void MakeLongPath(LPWSTR lpszPath)
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

int FindAgents(LPCWSTR lpszAgentPath, RunningAgent *agents)
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
            RunningAgent &agent = agents[count++];
            agent.dwPid = entry.th32ProcessID;
            agent.hProcess = hProcess;
            if (!ProcessIdToSessionId(agent.dwPid, &agent.dwSession))
                agent.dwSession = NO_SESSION;
        } else {
            CloseHandle(hProcess);
        }
    }
    CloseHandle(hSnapshot);
    return count;
}

void CloseAgents(RunningAgent *agents, int count)
{
    for (int i = 0; i < count; ++i)
        CloseHandle(agents[i].hProcess);
}
