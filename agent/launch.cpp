/*
 * The launch action: start the product application from its installation
 * directory, or open the vendor's web site when the product is not
 * installed.
 */
#include "agent.h"

/* Starts a program by its full path.  The path is handed over in quotes:
 * unquoted, a directory with blanks in it ("C:\Program Files\...") would
 * first be tried as "C:\Program.exe".  A path that itself holds a quote
 * cannot be a file name and could smuggle in arguments, so it is not
 * started.  Returns WinExec's result, or 0 when nothing was started. */
static UINT StartProgram(LPCSTR lpszPath)
{
    char szCommand[PATH_BUFFER_SIZE + 2];
    char *out = szCommand;
    *out++ = '"';
    for (LPCSTR in = lpszPath; *in != '\0'; ++in) {
        if (*in == '"' || out >= szCommand + sizeof szCommand - 2)
            return 0;
        *out++ = *in;
    }
    *out++ = '"';
    *out = '\0';
    return WinExec(szCommand, SW_SHOWNORMAL);
}

/* Starts the product's program, else its fallback, from the installation
 * directory, which they inherit as their working directory. */
static void StartProductProgram(LPCSTR lpszDirectory)
{
    char szPrimaryPath[PATH_BUFFER_SIZE];
    char szFallbackPath[PATH_BUFFER_SIZE];
    lstrcpyA(szPrimaryPath, lpszDirectory);
    lstrcatA(szPrimaryPath, AGENT_PRIMARY_FILE_PART);
    lstrcpyA(szFallbackPath, lpszDirectory);
    lstrcatA(szFallbackPath, AGENT_FALLBACK_FILE_PART);

    SetCurrentDirectoryA(lpszDirectory);
    if (StartProgram(szPrimaryPath) > WINEXEC_STARTED_THRESHOLD)
        return;
    StartProgram(szFallbackPath);
}

void LaunchProductApplication(void)
{
    char szDirectory[PATH_BUFFER_SIZE];
    if (!ReadInstallDir(szDirectory)) {
        OpenVendorWebSite();
        return;
    }

    /* A process's current directory is held open: left in the product's
     * folder, the agent would keep the product's uninstaller or upgrade
     * from removing or renaming it.  So once the start has returned, the
     * agent goes back to where it was.  (A current directory always fits:
     * it is at most MAX_PATH characters.) */
    char szPrevious[PATH_BUFFER_SIZE];
    DWORD cchPrevious = GetCurrentDirectoryA(PATH_BUFFER_SIZE, szPrevious);

    StartProductProgram(szDirectory);

    if (cchPrevious > 0 && cchPrevious < PATH_BUFFER_SIZE)
        SetCurrentDirectoryA(szPrevious);
}
