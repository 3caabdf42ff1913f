/*
 * The subscriber the stand-in library's tests feed, and the tests' handle
 * on it (hidusb_subscriber.h).
 */
#include "hidusb_subscriber.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "hidusb.h"
#include "hidusb_client.h"

namespace {

/* The subscriber first subscribes a decoy window with other values; only
 * the later subscription may ever receive anything. */
const UINT kDecoyMessage = WM_APP + 0x40;
const DWORD kDecoySelector = 0x11;
/* A subscriber never told to quit gives up by itself after this long. */
const DWORD kSubscriberLifetimeMs = 120000;

HANDLE g_log = INVALID_HANDLE_VALUE;
HWND g_decoy;
HWND g_window;

void Log(const std::string &line)
{
    std::string text = line + "\n";
    DWORD written;
    WriteFile(g_log, text.data(), (DWORD)text.size(), &written, NULL);
}

LRESULT CALLBACK SubscriberProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message < WM_USER)
        return DefWindowProcW(window, message, wParam, lParam);
    if (window == g_window && message == kBaseMessage + 1) {
        DWORD code = reinterpret_cast<const HidEventRecord *>(lParam)->code;
        Log(EventLine(code));
        if (code == kDestroyCode)
            DestroyWindow(window);
        return EventAnswer(code);
    }
    if (window == g_window && message == kBaseMessage) {
        /* lParam is only logged: senders may pass anything. */
        Log(BaseLine((DWORD)wParam, (ULONG_PTR)lParam));
        return BaseAnswer((DWORD)wParam);
    }
    Log(Format("stray to %s: message %04x %016llx %016llx", window == g_window ? "window" : "decoy", message,
               HandleValue((void *)wParam), HandleValue((void *)lParam)));
    return 0;
}

}  // namespace

std::string Format(const char *format, ...)
{
    char buffer[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

/* --subscriber NAME PARENT LOG: subscribes, sets event NAME-ready, then
 * serves messages until NAME-quit is set (exit 0) or process PARENT ends
 * (exit non-zero). */
int RunSubscriber(int argc, char **argv)
{
    if (argc != 5)
        return 10;
    const std::string name = argv[2];
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, (name + "-ready").c_str());
    HANDLE waits[] = {OpenEventA(SYNCHRONIZE, FALSE, (name + "-quit").c_str()),
                      OpenProcess(SYNCHRONIZE, FALSE, strtoul(argv[3], NULL, 10))};
    if (ready == NULL || waits[0] == NULL || waits[1] == NULL)
        return 9;
    g_log = CreateFileA(argv[4], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                        CREATE_ALWAYS, 0, NULL);
    if (g_log == INVALID_HANDLE_VALUE)
        return 11;
    WNDCLASSW windowClass;
    memset(&windowClass, 0, sizeof windowClass);
    windowClass.lpfnWndProc = SubscriberProc;
    windowClass.hInstance = GetModuleHandleW(NULL);
    windowClass.lpszClassName = L"HidUsbTestSubscriber";
    if (!RegisterClassW(&windowClass))
        return 12;
    g_decoy = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                              windowClass.hInstance, NULL);
    g_window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                               windowClass.hInstance, NULL);
    if (g_decoy == NULL || g_window == NULL)
        return 13;
    Log(Format("window %llx", HandleValue(g_window)));
    if (!HidSubscribe(g_decoy, kDecoyMessage, kDecoySelector) || !HidSubscribe(g_window, kBaseMessage, kSelector))
        return 14;
    SetEvent(ready);

    DWORD start = GetTickCount();
    for (;;) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= kSubscriberLifetimeMs)
            return 15;
        DWORD woke = MsgWaitForMultipleObjectsEx(2, waits, kSubscriberLifetimeMs - elapsed, QS_ALLINPUT,
                                                 MWMO_INPUTAVAILABLE);
        if (woke == WAIT_OBJECT_0)
            break;
        if (woke != WAIT_OBJECT_0 + 2)
            return 16;
        MSG message;
        while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    CloseHandle(g_log);
    return 0;
}

Subscriber::~Subscriber()
{
    process_.Kill();
    for (HANDLE h : {ready_, quit_})
        if (h != NULL)
            CloseHandle(h);
}

::testing::AssertionResult Subscriber::Start()
{
    static int serial;
    const std::string name = Format("hidusb-test-%lu-%d", GetCurrentProcessId(), ++serial);
    ready_ = CreateEventA(NULL, TRUE, FALSE, (name + "-ready").c_str());
    quit_ = CreateEventA(NULL, TRUE, FALSE, (name + "-quit").c_str());
    if (ready_ == NULL || quit_ == NULL || log_.Path().empty())
        return ::testing::AssertionFailure() << "cannot prepare a subscriber: error " << GetLastError();
    const std::string exe = harness::ProgramDir() + "hidusb_test.exe";
    process_ = harness::Start(exe, Format("\"%s\" --subscriber %s %lu \"%s\"", exe.c_str(), name.c_str(),
                                          GetCurrentProcessId(), log_.Path().c_str()));
    if (!process_.Started())
        return ::testing::AssertionFailure() << "cannot start a subscriber: error " << GetLastError();
    HANDLE waits[] = {ready_, process_.pi.hProcess};
    if (WaitForMultipleObjects(2, waits, FALSE, harness::kWaitMs) != WAIT_OBJECT_0)
        return ::testing::AssertionFailure() << "subscriber did not subscribe (exit code " << process_.Wait(0)
                                             << ")";
    std::vector<std::string> lines = harness::SplitLines(harness::ReadFileText(log_.Path()));
    unsigned long long window = 0;
    if (lines.empty() || sscanf(lines[0].c_str(), "window %llx", &window) != 1)
        return ::testing::AssertionFailure() << "subscriber did not log its window";
    window_ = (HWND)(ULONG_PTR)window;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult Subscriber::Finish(std::vector<std::string> *received)
{
    SetEvent(quit_);
    DWORD code = process_.Wait(harness::kWaitMs);
    if (code != 0)
        return ::testing::AssertionFailure() << "subscriber " << pid() << " ended with " << code;
    std::vector<std::string> lines = harness::SplitLines(harness::ReadFileText(log_.Path()));
    received->assign(lines.begin() + (lines.empty() ? 0 : 1), lines.end());
    return ::testing::AssertionSuccess();
}
