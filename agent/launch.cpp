/*
 * The launch action: start the product application from its installation
 * directory, or open the vendor's web site when the product is not
 * installed.
 */
#include "agent.h"

/* Reads the installation directory into szDirectory (PATH_BUFFER_SIZE bytes).
 * The value is read into a buffer of its own with one byte kept back, so the
 * text is terminated even when the value was stored without a terminator.
 * FALSE, meaning "not installed", for a missing key or value, a value that
 * is not a string, one longer than the buffer, an empty text, and a text so
 * long that the program paths would not fit their buffers. */
static BOOL ReadInstallDir(char *szDirectory)
{
    HKEY hKey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, AGENT_PRODUCT_KEY, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return FALSE;

    char szValue[PATH_BUFFER_SIZE];
    DWORD dwType = REG_NONE;
    DWORD cbValue = PATH_BUFFER_SIZE - 1;
    LONG lResult = RegQueryValueExA(hKey, AGENT_INSTALL_DIR_VALUE, NULL, &dwType,
                                    (LPBYTE)szValue, &cbValue);
    RegCloseKey(hKey);

    if (lResult != ERROR_SUCCESS || cbValue > PATH_BUFFER_SIZE - 1)
        return FALSE;
    if (dwType != REG_SZ && dwType != REG_EXPAND_SZ)
        return FALSE;
    szValue[cbValue] = '\0';

    int nLength = lstrlenA(szValue);
    if (nLength == 0 || nLength > MAX_INSTALL_DIR_LENGTH)
        return FALSE;
    lstrcpynA(szDirectory, szValue, PATH_BUFFER_SIZE);
    return TRUE;
}

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

void LaunchProductApplication(void)
{
    char szDirectory[PATH_BUFFER_SIZE];
    if (!ReadInstallDir(szDirectory)) {
        OpenVendorWebSite();
        return;
    }

    /* Started programs inherit the installation directory as theirs. */
    SetCurrentDirectoryA(szDirectory);

    char szPrimaryPath[PATH_BUFFER_SIZE];
    lstrcpyA(szPrimaryPath, szDirectory);
    lstrcatA(szDirectory, AGENT_FALLBACK_FILE_PART);
    lstrcatA(szPrimaryPath, AGENT_PRIMARY_FILE_PART);

    if (StartProgram(szPrimaryPath) > WINEXEC_STARTED_THRESHOLD)
        return;
    StartProgram(szDirectory);
}
