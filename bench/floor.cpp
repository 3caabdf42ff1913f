/*
 * The floor the agent is measured against: the least a resident Win32
 * program can be.  One hidden top-level window and a GetMessage loop that
 * ends on WM_QUIT, built the way the agent is (its own entry point, no C
 * runtime), so that what the agent costs beyond this is the agent's own.
 */
#include <windows.h>

#include "bench_names.h"

extern "C" void WINAPI FloorStartup(void)
{
    HINSTANCE hInstance = GetModuleHandleA(NULL);

    WNDCLASSA wc;
    wc.style = 0;
    wc.lpfnWndProc = DefWindowProcA;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = hInstance;
    wc.hIcon = NULL;
    wc.hCursor = NULL;
    wc.hbrBackground = NULL;
    wc.lpszMenuName = NULL;
    wc.lpszClassName = BENCH_FLOOR_CLASS;
    if (!RegisterClassA(&wc))
        ExitProcess(1);

    /* Created without WS_VISIBLE: never shown. */
    if (CreateWindowExA(0, BENCH_FLOOR_CLASS, BENCH_FLOOR_TITLE, WS_OVERLAPPEDWINDOW,
                        CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, NULL, NULL, hInstance, NULL) == NULL)
        ExitProcess(1);

    MSG msg;
    BOOL bResult;
    while ((bResult = GetMessageA(&msg, NULL, 0, 0)) != 0) {
        if (bResult == -1)
            ExitProcess(1);
        DispatchMessageA(&msg);
    }
    ExitProcess((UINT)msg.wParam);
}
