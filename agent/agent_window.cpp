/*
 * The agent window: the agent's identity on the desktop and its only inbox.
 * It is never shown; device events and close requests arrive at
 * AgentWndProc.
 */
#include "agent.h"

void RegisterAgentClass(HINSTANCE hInstance)
{
    WNDCLASSEXA wcex;
    wcex.cbSize = sizeof wcex;
    wcex.style = CS_HREDRAW | CS_VREDRAW;
    wcex.lpfnWndProc = AgentWndProc;
    wcex.cbClsExtra = 0;
    wcex.cbWndExtra = 0;
    wcex.hInstance = hInstance;
    wcex.hIcon = LoadIconA(hInstance, MAKEINTRESOURCEA(IDI_AGENT));
    wcex.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    wcex.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    wcex.lpszMenuName = MAKEINTRESOURCEA(IDM_AGENT_MENU);
    wcex.lpszClassName = g_szWindowClass;
    wcex.hIconSm = LoadIconA(hInstance, MAKEINTRESOURCEA(IDI_AGENT_SMALL));
    RegisterClassExA(&wcex);
}

/* Creates the agent window, subscribes it to device events and hides it,
 * whatever show state the process was started with: the agent has nothing to
 * show, and a user who started it maximised must not get an empty window. */
BOOL CreateAgentWindow(HINSTANCE hInstance, int nCmdShow)
{
    (void)nCmdShow;

    g_hInstance = hInstance;

    HWND hWnd = CreateWindowExA(0, g_szWindowClass, g_szWindowTitle, WS_OVERLAPPEDWINDOW,
                                CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                                NULL, NULL, hInstance, NULL);
    if (hWnd == NULL)
        return FALSE;

    HidSubscribe(hWnd, AGENT_MSG_BASE, AGENT_HID_SELECTOR);

    ShowWindow(hWnd, SW_HIDE);
    UpdateWindow(hWnd);
    return TRUE;
}

static void PaintAgentWindow(HWND hWnd)
{
    char szText[IDENTITY_TEXT_CAPACITY];
    szText[0] = '\0';
    LoadStringA(g_hInstance, IDS_PAINT_TEXT, szText, IDENTITY_TEXT_CAPACITY);

    PAINTSTRUCT ps;
    HDC hdc = BeginPaint(hWnd, &ps);
    RECT rc;
    GetClientRect(hWnd, &rc);
    DrawTextA(hdc, szText, -1, &rc, DT_CENTER);
    EndPaint(hWnd, &ps);
}

LRESULT CALLBACK AgentWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case AGENT_MSG_EVENT: {
        DWORD dwCode;
        if (ReadEventCode(lParam, &dwCode) && dwCode == AGENT_EVENT_LAUNCH)
            LaunchProductApplication();
        return 0;
    }
    case AGENT_MSG_BASE:
        return 0;
    case WM_PAINT:
        PaintAgentWindow(hWnd);
        return 0;
    /* Restart Manager, which updaters use to close running programs, asks
     * first and then sends ENDSESSION_CLOSEAPP; only after its time-out
     * does it fall back to WM_CLOSE.  The agent holds nothing to save, so it
     * agrees and ends as a close request ends it.  Every other end-session
     * form (logoff, shutdown, a cancelled end) keeps default processing. */
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_ENDSESSION:
        if (wParam && (lParam & ENDSESSION_CLOSEAPP)) {
            DestroyWindow(hWnd);
            return 0;
        }
        return DefWindowProcA(hWnd, message, wParam, lParam);
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(hWnd, message, wParam, lParam);
    }
}
