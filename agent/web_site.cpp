/*
 * Opening the vendor's web site through the shell.
 *
 * The shell is needed only when a launch finds the product not installed,
 * yet binding SHELL32.dll at load would keep it, and everything it pulls in,
 * resident for the agent's whole life.  So it is loaded the first time the
 * site must be opened, and kept from then on.  An explicit load rather than
 * a delay-load import: the delay-load helper raises an exception when the
 * DLL cannot be loaded, whereas here that simply opens nothing, as any
 * failed start does.
 */
#include "agent.h"

typedef decltype(&ShellExecuteA) SHELL_EXECUTE_A;

static const char SHELL_FILE_PART[] = "\\SHELL32.dll";

/* Zero until the shell has been loaded. */
static SHELL_EXECUTE_A g_pfnShellExecuteA;

/* Loads the shell by its full path in the system folder, so that no DLL of
 * that name elsewhere on the search path (the current directory, the
 * agent's own folder) can take its place.  NULL when it cannot be loaded. */
static SHELL_EXECUTE_A LoadShellExecute(void)
{
    char szPath[MAX_PATH];
    UINT cchSystem = GetSystemDirectoryA(szPath, MAX_PATH);
    if (cchSystem == 0 || cchSystem >= MAX_PATH - (sizeof SHELL_FILE_PART - 1))
        return NULL;
    lstrcpyA(szPath + cchSystem, SHELL_FILE_PART);

    HMODULE hShell = LoadLibraryA(szPath);
    if (hShell == NULL)
        return NULL;
    FARPROC pfn = GetProcAddress(hShell, "ShellExecuteA");
    if (pfn == NULL) {
        FreeLibrary(hShell);
        return NULL;
    }
    return (SHELL_EXECUTE_A)(void *)pfn;
}

void OpenVendorWebSite(void)
{
    if (g_pfnShellExecuteA == NULL)
        g_pfnShellExecuteA = LoadShellExecute();
    if (g_pfnShellExecuteA == NULL)
        return;
    g_pfnShellExecuteA(NULL, "open", AGENT_WEB_SITE, NULL, NULL, SW_SHOW);
}
