/*
 * The agent's constants and module-wide state.
 *
 * The resource script includes this header too, so everything that is not a
 * plain #define stays behind RC_INVOKED.
 */
#ifndef AGENT_H
#define AGENT_H

/* Resources.  Every resource is in language 0x0404 (Chinese, Traditional,
 * Taiwan), as the product's resources have always been: the loader falls
 * back to the one language there is whatever the user's, and the texts are
 * plain ASCII, so nothing depends on it. */
#define IDS_WINDOW_TITLE   103  /* window title, also used to find a running agent */
#define IDS_PAINT_TEXT     106  /* absent on purpose: the window is never shown, so
                                 * it paints empty text and needs no translation */
#define IDI_AGENT          107  /* class icon, 32x32 and 16x16 */
#define IDI_AGENT_SMALL    108  /* class small icon, 16x16 */
#define IDS_WINDOW_CLASS   109  /* window class name, also used to find a running agent */
#define IDM_AGENT_MENU     109  /* named by the class, absent on purpose: a window
                                 * that is never shown has no use for a menu, and
                                 * an absent menu leaves it with none */

#ifndef RC_INVOKED

#include <windows.h>

/* The device-event library's subscription call, imported by ordinal 2. */
#include "hidusb.h"

/* Buffer sizes, in characters including the terminator. */
enum {
    IDENTITY_TEXT_CAPACITY = 100,
    PATH_BUFFER_SIZE = 512
};

/* Window messages.  The device-event library is handed AGENT_MSG_BASE and
 * delivers events as the next number. */
#define AGENT_MSG_BASE      (WM_USER + 0x0100)  /* 0x0500 */
#define AGENT_MSG_EVENT     (WM_USER + 0x0101)  /* 0x0501 */

/* Event codes: the first 32-bit field of the record AGENT_MSG_EVENT points to. */
#define AGENT_EVENT_LAUNCH  0x00000100u

/* Selector handed to the device-event library with the subscription. */
#define AGENT_HID_SELECTOR  0xFF00u

/* Where the product records its installation directory (HKLM, read only). */
#define AGENT_PRODUCT_KEY       "SOFTWARE\\Ostrel\\Corrandel"
#define AGENT_INSTALL_DIR_VALUE "InstallDir"

/* The registry view of the other width, where the key is looked for when
 * the agent's own view lacks it. */
#ifdef _WIN64
#define AGENT_OTHER_REGISTRY_VIEW KEY_WOW64_32KEY
#else
#define AGENT_OTHER_REGISTRY_VIEW KEY_WOW64_64KEY
#endif

/* Programs tried in the installation directory, in this order. */
#define AGENT_PRIMARY_FILE_PART  "\\Vorq.exe"
#define AGENT_FALLBACK_FILE_PART "\\Duxo.exe"

/* One length limit serves both program paths. */
static_assert(sizeof(AGENT_PRIMARY_FILE_PART) == sizeof(AGENT_FALLBACK_FILE_PART),
              "the program names must be equally long");

/* Opened through the shell when the product is not installed.  A full
 * address with its scheme, so that the shell can only take it for a web
 * address: a bare host name is first looked for as a file, in the current
 * directory and on PATH, and "www.ostrel.com" is a program's name there. */
#define AGENT_WEB_SITE "https://www.ostrel.com/"

/* Longest installation directory whose program paths still fit a
 * PATH_BUFFER_SIZE buffer. */
enum {
    MAX_INSTALL_DIR_LENGTH = PATH_BUFFER_SIZE - 1 - (sizeof(AGENT_PRIMARY_FILE_PART) - 1)
};

/* A named object in this session's namespace: the first start to create it
 * is the agent, so two starts that both miss the window lookup cannot both
 * become agents. */
#define AGENT_INSTANCE_OBJECT "Local\\OstrelCorandel.Agent"

/* The result above which WinExec has started a program. */
#define WINEXEC_STARTED_THRESHOLD 31u

/* Module-wide state, zero at process start. */
extern char g_szWindowTitle[IDENTITY_TEXT_CAPACITY];
extern char g_szWindowClass[IDENTITY_TEXT_CAPACITY];
extern HINSTANCE g_hInstance;

/* Start-up and instance control. */
LPCSTR GetArgumentText(LPCSTR lpCommandLine, UINT codePage);
BOOL IsQuitCommand(LPCSTR lpArgumentText);

/* Agent window. */
void RegisterAgentClass(HINSTANCE hInstance);
BOOL CreateAgentWindow(HINSTANCE hInstance, int nCmdShow);
LRESULT CALLBACK AgentWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
BOOL ReadEventCode(LPARAM lParam, DWORD *pdwCode);

/* Launch action. */
BOOL ReadInstallDir(LPSTR lpszDirectory);
void LaunchProductApplication(void);
void OpenVendorWebSite(void);

#endif /* RC_INVOKED */
#endif /* AGENT_H */
