/*
 * Start-up and instance control: decides whether this process asks the
 * running agent to quit, ends as a duplicate, or becomes the agent and runs
 * the message loop.
 */
#include "agent.h"

char g_szWindowTitle[IDENTITY_TEXT_CAPACITY];
char g_szWindowClass[IDENTITY_TEXT_CAPACITY];
HINSTANCE g_hInstance;

/* The window lookup alone leaves a gap between a start's lookup and its
 * window's creation, in which a second start also finds no agent.  Only the
 * first start to create the named object goes on to be the agent; its handle
 * stays open until the process ends.  When the object cannot be made at all
 * (a different kind of object holds the name), the window lookup is all
 * there is, as before. */
static BOOL ClaimAgentRole(void)
{
    HANDLE hInstanceObject = CreateMutexA(NULL, FALSE, AGENT_INSTANCE_OBJECT);
    if (hInstanceObject == NULL)
        return TRUE;
    return GetLastError() != ERROR_ALREADY_EXISTS;
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow)
{
    (void)hPrevInstance;

    LoadStringA(hInstance, IDS_WINDOW_TITLE, g_szWindowTitle, IDENTITY_TEXT_CAPACITY);
    LoadStringA(hInstance, IDS_WINDOW_CLASS, g_szWindowClass, IDENTITY_TEXT_CAPACITY);

    /* One lookup serves both the quit command and the single-instance rule. */
    HWND hWndRunning = FindWindowA(g_szWindowClass, g_szWindowTitle);

    if (IsQuitCommand(lpCmdLine)) {
        /* With no agent running this lands on our own queue, which nobody reads. */
        PostMessageA(hWndRunning, WM_QUIT, 0, 0);
        return 0;
    }
    if (hWndRunning != NULL)
        return 0;
    if (!ClaimAgentRole())
        return 0;

    RegisterAgentClass(hInstance);
    if (!CreateAgentWindow(hInstance, nCmdShow))
        return 0;

    MSG msg;
    BOOL bResult;
    while ((bResult = GetMessageA(&msg, NULL, 0, 0)) != 0) {
        if (bResult == -1)
            return 0;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return (int)msg.wParam;
}
