/*
 * The floor the agent is measured against: the least a program that does
 * the agent's job can be.  One hidden top-level window, subscribed to the
 * same HIDUSB.dll through its import library (ordinal 2), and a blocking
 * GetMessage loop that ends on WM_QUIT, built the way the agent is (its own
 * entry point, no C runtime).  Every such program must load the device
 * library, so its thread and memory are part of the floor; what the agent
 * costs beyond this is the agent's own.
 */
#include <windows.h>

#include "agent_contract.h"
#include "bench_names.h"
#include "hidusb.h"

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
    HWND hWnd = CreateWindowExA(0, BENCH_FLOOR_CLASS, BENCH_FLOOR_TITLE, WS_OVERLAPPEDWINDOW,
                                CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, NULL, NULL, hInstance, NULL);
    if (hWnd == NULL)
        ExitProcess(1);

    /* The agent's subscription: its base message and selector.  Events
     * then reach DefWindowProcA, which answers them with 0. */
    if (!HidSubscribe(hWnd, harness::kMsgBase, harness::kSelector))
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
