/*
 * StartAgent: starts the installed agent.exe after an installation, for
 * the interactive user of the desktop the installation runs on, and never
 * elevated or as LocalSystem.
 *
 * The agent starts the product on the device's launch event; whatever token
 * it has, the product gets.  So it is started with the token of the
 * desktop's shell, the interactive user's own unelevated one, even when the
 * installation runs from an elevated prompt.  Where that cannot be done
 * because this action holds no right to use another token, the action's
 * own token serves if it is not elevated: that is the user's own.  Where
 * there is no shell on the desktop (an installation as LocalSystem in
 * session 0, or with no one logged on) nothing is started; the Run value
 * starts the agent at the next logon.  The package's condition also rules
 * out LocalSystem (UserSID S-1-5-18) and START_AGENT=0.
 *
 * The agent's current directory is the system folder, as at a logon, never
 * the program folder, which it would otherwise hold open.
 */
#include "custom_actions.h"

/* The primary token of the desktop shell's process, or NULL. */
static HANDLE ShellUserToken(void)
{
    HWND hShell = GetShellWindow();
    DWORD dwPid = 0;
    if (hShell == NULL || !GetWindowThreadProcessId(hShell, &dwPid) || dwPid == 0)
        return NULL;
    HANDLE hProcess = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, dwPid);
    if (hProcess == NULL)
        return NULL;
    HANDLE hToken = NULL, hPrimary = NULL;
    if (OpenProcessToken(hProcess, TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY, &hToken)) {
        DuplicateTokenEx(hToken, MAXIMUM_ALLOWED, NULL, SecurityImpersonation, TokenPrimary, &hPrimary);
        CloseHandle(hToken);
    }
    CloseHandle(hProcess);
    return hPrimary;
}

static BOOL OwnTokenIsElevated(void)
{
    HANDLE hToken;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &hToken) &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken))
        return TRUE;
    TOKEN_ELEVATION elevation = {TRUE};
    DWORD cbSize;
    GetTokenInformation(hToken, TokenElevation, &elevation, sizeof elevation, &cbSize);
    CloseHandle(hToken);
    return elevation.TokenIsElevated != 0;
}

extern "C" UINT WINAPI StartAgent(MSIHANDLE hInstall)
{
    WCHAR szAgentPath[ACTION_PATH_SIZE];
    WCHAR szCommandLine[ACTION_PATH_SIZE + 2];
    WCHAR szSystemDir[MAX_PATH];
    UINT cchSystem = GetSystemDirectoryW(szSystemDir, MAX_PATH);
    if (!FormatInstallerText(hInstall, L"[#AgentExe]", szAgentPath) || szAgentPath[0] == L'\0' ||
        lstrlenW(szAgentPath) >= ACTION_PATH_SIZE - 1 || cchSystem == 0 || cchSystem >= MAX_PATH) {
        LogLine(hInstall, L"StartAgent: no agent path or system folder");
        return ERROR_SUCCESS;
    }
    wsprintfW(szCommandLine, L"\"%s\"", szAgentPath);
    STARTUPINFOW si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;

    HANDLE hToken = ShellUserToken();
    if (hToken == NULL) {
        LogLine(hInstall, L"StartAgent: no shell on this desktop: the agent starts at the next logon");
        return ERROR_SUCCESS;
    }
    LPCWSTR lpszHow = L"with the desktop shell's token";
    BOOL bStarted = CreateProcessWithTokenW(hToken, 0, szAgentPath, szCommandLine, 0, NULL, szSystemDir, &si, &pi);
    DWORD dwError = bStarted ? ERROR_SUCCESS : GetLastError();
    CloseHandle(hToken);
    if (!bStarted && !OwnTokenIsElevated()) {
        lpszHow = L"with the installing user's own token";
        bStarted = CreateProcessW(szAgentPath, szCommandLine, NULL, NULL, FALSE, 0, NULL, szSystemDir, &si, &pi);
        dwError = bStarted ? ERROR_SUCCESS : GetLastError();
    }
    if (!bStarted) {
        LogLine(hInstall, L"StartAgent: %ls could not be started unelevated (error %lu): it starts at the next logon",
                szAgentPath, dwError);
        return ERROR_SUCCESS;
    }
    LogLine(hInstall, L"StartAgent: started %ls %ls, process %lu", szAgentPath, lpszHow, pi.dwProcessId);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return ERROR_SUCCESS;
}
