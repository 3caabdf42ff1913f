/*
 * The process entry point.  The agent links no C runtime start-up code: this
 * derives what WinMain is given from the command line and the start-up
 * information, and ends the process with WinMain's result.
 */
#include "agent.h"

/* The show state the starting program asked for, or SW_SHOWDEFAULT. */
static int GetStartupShowState(void)
{
    STARTUPINFOA si;
    si.cb = sizeof si;
    si.dwFlags = 0;
    GetStartupInfoA(&si);
    if (si.dwFlags & STARTF_USESHOWWINDOW)
        return si.wShowWindow;
    return SW_SHOWDEFAULT;
}

extern "C" void WINAPI AgentStartup(void)
{
    LPSTR lpArgumentText = (LPSTR)GetArgumentText(GetCommandLineA(), CP_ACP);
    int nExitCode = WinMain(GetModuleHandleA(NULL), NULL, lpArgumentText, GetStartupShowState());
    ExitProcess((UINT)nExitCode);
}
