/*
 * Opening the vendor's web site through the shell.
 *
 * The shell is needed only when a launch finds the product not installed,
 * yet binding SHELL32.dll at load would keep it, and everything it pulls in,
 * resident for the agent's whole life.  So it is loaded the first time the
 * site must be opened, and kept from then on; so is COM, which the shell
 * wants initialised first.  An explicit load rather than a delay-load
 * import: the delay-load helper raises an exception when the DLL cannot be
 * loaded, whereas here that simply opens nothing, as any failed start does.
 */
#include "agent.h"

typedef decltype(&ShellExecuteA) SHELL_EXECUTE_A;
typedef decltype(&CoInitializeEx) CO_INITIALIZE_EX;

/* Zero until the shell has been loaded. */
static SHELL_EXECUTE_A g_pfnShellExecuteA;

/* Loads a DLL by its full path in the system folder, so that no DLL of
 * that name elsewhere on the search path (the current directory, the
 * agent's own folder) can take its place, and returns its entry point
 * lpszName.  NULL when either cannot be had. */
static FARPROC LoadSystemEntryPoint(LPCSTR lpszFilePart, LPCSTR lpszName)
{
    char szPath[MAX_PATH];
    UINT cchSystem = GetSystemDirectoryA(szPath, MAX_PATH);
    if (cchSystem == 0 || cchSystem + lstrlenA(lpszFilePart) >= MAX_PATH)
        return NULL;
    lstrcpyA(szPath + cchSystem, lpszFilePart);

    HMODULE hModule = LoadLibraryA(szPath);
    if (hModule == NULL)
        return NULL;
    FARPROC pfn = GetProcAddress(hModule, lpszName);
    if (pfn == NULL)
        FreeLibrary(hModule);
    return pfn;
}

/* The shell's handler for a web address is often a COM object, and COM
 * must be initialised on the calling thread before ShellExecute, in a
 * single-threaded apartment without OLE1 DDE.  A thread already set up in
 * another mode (RPC_E_CHANGED_MODE, say by the device library) still calls
 * the shell, so the result is not tested. */
static void InitializeComForShell(void)
{
    CO_INITIALIZE_EX pfnCoInitializeEx =
        (CO_INITIALIZE_EX)(void *)LoadSystemEntryPoint("\\OLE32.dll", "CoInitializeEx");
    if (pfnCoInitializeEx != NULL)
        pfnCoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
}

void OpenVendorWebSite(void)
{
    if (g_pfnShellExecuteA == NULL) {
        g_pfnShellExecuteA = (SHELL_EXECUTE_A)(void *)LoadSystemEntryPoint("\\SHELL32.dll", "ShellExecuteA");
        if (g_pfnShellExecuteA == NULL)
            return;
        InitializeComForShell();
    }
    g_pfnShellExecuteA(NULL, "open", AGENT_WEB_SITE, NULL, NULL, SW_SHOW);
}
