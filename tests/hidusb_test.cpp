/*
 * Tests of the stand-in device-event library, its channel and the sender
 * tool.  Every test uses real separate processes: started with
 * --subscriber, this program creates windows, subscribes one through the
 * ordinal import and logs every application message they receive; the test
 * process (and the sender tool) then feed it through the channel.
 */
#include <gtest/gtest.h>

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "agent_harness.h"
#include "hidusb.h"
#include "hidusb_client.h"

namespace {

const UINT kBaseMessage = WM_APP + 0x100;
const DWORD kSelector = 0xFF00;
/* The subscriber first subscribes a decoy window with other values; only
 * the later subscription may ever receive anything. */
const UINT kDecoyMessage = WM_APP + 0x40;
const DWORD kDecoySelector = 0x11;
/* On this event the subscriber destroys its window. */
const DWORD kDestroyCode = 0xDE570000;

const DWORD kTimeoutMs = 10000;
/* A subscriber never told to quit gives up by itself after this long. */
const DWORD kSubscriberLifetimeMs = 120000;

DWORD EventAnswer(DWORD code)
{
    return code * 2 + 1;
}

DWORD BaseAnswer(DWORD wParam)
{
    return wParam ^ 0x5A5A5A5Au;
}

std::string Format(const char *format, ...)
{
    char buffer[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

std::string EventLine(DWORD code)
{
    return Format("event %08lx", code);
}

std::string BaseLine(DWORD wParam, ULONGLONG lParam)
{
    return Format("base %08lx %016llx", wParam, lParam);
}

/* Handles as numbers, at their full width (64 bits in a 64-bit program). */
ULONGLONG HandleValue(const void *handle)
{
    return (ULONG_PTR)handle;
}

/* An LPARAM that fills the width of this build: its upper half must survive
 * the trip through the channel in a 64-bit build. */
const ULONGLONG kWideLParam = (ULONG_PTR)0xFEEDFACEDEADBEEFull;

/* ---- the subscriber, run in a child process ---- */

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

/* ---- the test process's side ---- */

/* A subscriber child process, ended with this object.  It is this very
 * program, started with --subscriber and told by named events when to
 * subscribe and when to quit. */
class Subscriber {
public:
    Subscriber() = default;
    ~Subscriber()
    {
        process_.Kill();
        for (HANDLE h : {ready_, quit_})
            if (h != NULL)
                CloseHandle(h);
    }
    Subscriber(const Subscriber &) = delete;
    Subscriber &operator=(const Subscriber &) = delete;

    DWORD pid() const { return process_.Pid(); }
    HWND window() const { return window_; }

    /* Starts the child and waits until it has subscribed. */
    ::testing::AssertionResult Start()
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

    /* Tells the child to quit and collects what its windows received. */
    ::testing::AssertionResult Finish(std::vector<std::string> *received)
    {
        SetEvent(quit_);
        DWORD code = process_.Wait(harness::kWaitMs);
        if (code != 0)
            return ::testing::AssertionFailure() << "subscriber " << pid() << " ended with " << code;
        std::vector<std::string> lines = harness::SplitLines(harness::ReadFileText(log_.Path()));
        received->assign(lines.begin() + (lines.empty() ? 0 : 1), lines.end());
        return ::testing::AssertionSuccess();
    }

private:
    harness::TempFile log_;
    harness::Process process_;
    HANDLE ready_ = NULL;
    HANDLE quit_ = NULL;
    HWND window_ = NULL;
};

/* Opens the channel of pid directly, as a misbehaving client would. */
HANDLE OpenChannel(DWORD pid)
{
    char name[64];
    HidPipeName(pid, name, sizeof name);
    WaitNamedPipeA(name, kTimeoutMs);
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
}

TEST(HidUsbChannel, SenderWithoutSubscriberFailsFast)
{
    DWORD found = 0;
    EXPECT_EQ((DWORD)ERROR_NOT_FOUND, HidFindSubscriber(&found)) << "found subscriber " << found;
    /* This process has the library loaded but never subscribed. */
    DWORD start = GetTickCount(), answer;
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, HidSendEvent(GetCurrentProcessId(), HID_EVENT_LAUNCH, &answer, kTimeoutMs));
    HidReply reply;
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, HidQueryStatus(GetCurrentProcessId(), &reply, kTimeoutMs));
    EXPECT_LT(GetTickCount() - start, 2000u) << "waited for the timeout instead of failing at once";
}

TEST(HidUsbChannel, DeliversEachRequestOnceInOrderWithWindowAnswer)
{
    Subscriber subscriber;
    ASSERT_TRUE(subscriber.Start());
    struct Request {
        const char *name;
        DWORD kind;
        DWORD value;  /* code, or wParam for the base message */
        ULONGLONG lParam; /* base message only */
    };
    const Request requests[] = {
        {"launch", HID_REQUEST_EVENT, HID_EVENT_LAUNCH, 0},
        {"code 0", HID_REQUEST_EVENT, 0, 0},
        {"base with garbage lParam", HID_REQUEST_BASE, 7, kWideLParam},
        {"code 1", HID_REQUEST_EVENT, 1, 0},
        {"code 1 again", HID_REQUEST_EVENT, 1, 0},
        {"highest code", HID_REQUEST_EVENT, 0xFFFFFFFF, 0},
        {"base with zeros", HID_REQUEST_BASE, 0, 0},
        {"code after base", HID_REQUEST_EVENT, 0x12345678, 0},
    };
    std::vector<std::string> expected;
    for (const Request &request : requests) {
        DWORD answer = 0, error;
        if (request.kind == HID_REQUEST_EVENT) {
            error = HidSendEvent(subscriber.pid(), request.value, &answer, kTimeoutMs);
            EXPECT_EQ(EventAnswer(request.value), answer) << request.name;
            expected.push_back(EventLine(request.value));
        } else {
            error = HidSendBase(subscriber.pid(), request.value, request.lParam, &answer, kTimeoutMs);
            EXPECT_EQ(BaseAnswer(request.value), answer) << request.name;
            expected.push_back(BaseLine(request.value, request.lParam));
        }
        EXPECT_EQ((DWORD)ERROR_SUCCESS, error) << request.name;
    }
    for (DWORD code = 1000; code < 1030; ++code) {
        DWORD answer = 0;
        EXPECT_EQ((DWORD)ERROR_SUCCESS, HidSendEvent(subscriber.pid(), code, &answer, kTimeoutMs)) << "burst " << code;
        EXPECT_EQ(EventAnswer(code), answer) << "burst " << code;
        expected.push_back(EventLine(code));
    }
    HidReply status;
    ASSERT_EQ((DWORD)ERROR_SUCCESS, HidQueryStatus(subscriber.pid(), &status, kTimeoutMs));
    EXPECT_EQ(expected.size(), status.delivered);

    std::vector<std::string> received;
    ASSERT_TRUE(subscriber.Finish(&received));
    EXPECT_EQ(expected, received);
}

TEST(HidUsbChannel, RefusesMalformedRequestsWithoutTouchingWindow)
{
    Subscriber subscriber;
    ASSERT_TRUE(subscriber.Start());
    HidRequest valid = {HIDUSB_MAGIC, HIDUSB_PROTOCOL_VERSION, HID_REQUEST_EVENT, 0x66, 0, 0};
    const BYTE *validBytes = reinterpret_cast<const BYTE *>(&valid);
    const std::vector<BYTE> request(validBytes, validBytes + sizeof valid);
    struct Malformed {
        const char *name;
        std::vector<BYTE> bytes;
    };
    std::vector<Malformed> cases = {
        {"truncated", std::vector<BYTE>(request.begin(), request.end() - 4)},
        {"single byte", std::vector<BYTE>(1, 1)},
        {"oversized by 4 bytes", request},
        {"oversized to 4 KiB", request},
        {"wrong magic", request},
        {"wrong version", request},
        {"kind 0", request},
        {"unknown kind", request},
    };
    cases[2].bytes.resize(sizeof valid + 4);
    cases[3].bytes.resize(4096);
    cases[4].bytes[0] ^= 0xFF;
    cases[5].bytes[offsetof(HidRequest, version)] = HIDUSB_PROTOCOL_VERSION + 1;
    cases[6].bytes[offsetof(HidRequest, kind)] = 0;
    cases[7].bytes[offsetof(HidRequest, kind)] = HID_REQUEST_STATUS + 1;
    for (const Malformed &malformed : cases) {
        HidReply reply;
        memset(&reply, 0, sizeof reply);
        DWORD replyBytes = 0;
        ASSERT_EQ((DWORD)ERROR_SUCCESS, HidTransactRaw(subscriber.pid(), malformed.bytes.data(),
                                                       (DWORD)malformed.bytes.size(), &reply, &replyBytes, kTimeoutMs))
            << malformed.name;
        ASSERT_EQ(sizeof reply, replyBytes) << malformed.name;
        EXPECT_EQ((DWORD)HID_STATUS_MALFORMED, reply.status) << malformed.name;
    }

    /* Clients that hang up at once, or connect and never write, must not
     * keep a well-formed request from being served. */
    HANDLE vanishing = OpenChannel(subscriber.pid());
    ASSERT_NE(INVALID_HANDLE_VALUE, vanishing) << "vanishing client: error " << GetLastError();
    CloseHandle(vanishing);
    HANDLE silent = OpenChannel(subscriber.pid());
    ASSERT_NE(INVALID_HANDLE_VALUE, silent) << "silent client: error " << GetLastError();
    DWORD answer = 0;
    DWORD error = HidSendEvent(subscriber.pid(), valid.code, &answer, kTimeoutMs);
    CloseHandle(silent);
    EXPECT_EQ((DWORD)ERROR_SUCCESS, error) << "request behind a silent client";
    EXPECT_EQ(EventAnswer(valid.code), answer) << "request behind a silent client";

    std::vector<std::string> received;
    ASSERT_TRUE(subscriber.Finish(&received));
    EXPECT_EQ(std::vector<std::string>{EventLine(valid.code)}, received);
}

TEST(HidUsbChannel, StatusReportsLastSubscriptionAndGoneWindowIsRefused)
{
    Subscriber subscriber;
    ASSERT_TRUE(subscriber.Start());
    HidReply status;
    ASSERT_EQ((DWORD)ERROR_SUCCESS, HidQueryStatus(subscriber.pid(), &status, kTimeoutMs));
    EXPECT_EQ(subscriber.window(), HidReplyWindow(status));
    EXPECT_EQ(kBaseMessage, status.message);
    EXPECT_EQ(kSelector, status.selector);
    EXPECT_EQ(2u, status.calls);
    EXPECT_EQ(0u, status.delivered);

    DWORD answer = 0;
    ASSERT_EQ((DWORD)ERROR_SUCCESS, HidSendEvent(subscriber.pid(), kDestroyCode, &answer, kTimeoutMs));
    ASSERT_FALSE(IsWindow(subscriber.window()));
    HidRequest request = {HIDUSB_MAGIC, HIDUSB_PROTOCOL_VERSION, HID_REQUEST_EVENT, 0x99, 0, 0};
    HidReply reply;
    ASSERT_EQ((DWORD)ERROR_SUCCESS, HidTransact(subscriber.pid(), &request, &reply, kTimeoutMs));
    EXPECT_EQ((DWORD)HID_STATUS_NOT_SUBSCRIBED, reply.status) << "event to a destroyed window";
    EXPECT_EQ((DWORD)ERROR_INVALID_WINDOW_HANDLE, HidSendBase(subscriber.pid(), 1, 2, &answer, kTimeoutMs))
        << "base message to a destroyed window";
    ASSERT_EQ((DWORD)ERROR_SUCCESS, HidQueryStatus(subscriber.pid(), &status, kTimeoutMs));
    EXPECT_EQ(2u, status.calls);
    EXPECT_EQ(1u, status.delivered) << "refused requests counted as delivered";

    std::vector<std::string> received;
    ASSERT_TRUE(subscriber.Finish(&received));
    EXPECT_EQ(std::vector<std::string>{EventLine(kDestroyCode)}, received);
}

TEST(HidUsbChannel, SubscribersSeeOnlyTheirOwnEvents)
{
    Subscriber first, second;
    ASSERT_TRUE(first.Start());
    DWORD found = 0;
    EXPECT_EQ((DWORD)ERROR_SUCCESS, HidFindSubscriber(&found));
    EXPECT_EQ(first.pid(), found);
    ASSERT_TRUE(second.Start());
    EXPECT_EQ((DWORD)ERROR_BUSY, HidFindSubscriber(&found));

    DWORD answer = 0;
    EXPECT_EQ((DWORD)ERROR_SUCCESS, HidSendEvent(first.pid(), 0x11, &answer, kTimeoutMs));
    EXPECT_EQ((DWORD)ERROR_SUCCESS, HidSendEvent(second.pid(), 0x22, &answer, kTimeoutMs));
    EXPECT_EQ((DWORD)ERROR_SUCCESS, HidSendBase(second.pid(), 3, 0x33, &answer, kTimeoutMs));
    EXPECT_EQ((DWORD)ERROR_SUCCESS, HidSendEvent(first.pid(), 0x44, &answer, kTimeoutMs));
    HidReply status;
    ASSERT_EQ((DWORD)ERROR_SUCCESS, HidQueryStatus(second.pid(), &status, kTimeoutMs));
    EXPECT_EQ(second.window(), HidReplyWindow(status));

    std::vector<std::string> received;
    ASSERT_TRUE(first.Finish(&received));
    EXPECT_EQ((std::vector<std::string>{EventLine(0x11), EventLine(0x44)}), received) << "first subscriber";
    ASSERT_TRUE(second.Finish(&received));
    EXPECT_EQ((std::vector<std::string>{EventLine(0x22), BaseLine(3, 0x33)}), received) << "second subscriber";
}

struct ToolCase {
    const char *name;
    std::string arguments;
    DWORD exitCode;
    std::string output; /* stdout on success; a piece of stderr on failure */
};

void CheckSenderTool(const ToolCase &tool)
{
    SCOPED_TRACE(std::string("hidusb-send ") + tool.name + ": " + tool.arguments);
    harness::Captured run = harness::RunCaptured(harness::ShippedPath("hidusb-send.exe"), tool.arguments);
    ASSERT_TRUE(run.finished) << "exit code " << run.exitCode << ", start error " << run.startError << ", stdout: "
                              << run.out << "stderr: " << run.err;
    EXPECT_EQ(tool.exitCode, run.exitCode) << "stdout: " << run.out << "stderr: " << run.err;
    if (tool.exitCode == 0) {
        EXPECT_EQ(std::vector<std::string>{tool.output}, harness::SplitLines(run.out));
        EXPECT_EQ("", run.err);
    } else {
        EXPECT_NE(std::string::npos, run.err.find(tool.output)) << run.err;
        EXPECT_EQ("", run.out);
    }
}

TEST(HidUsbSendTool, AnswersOnStdoutFailuresAsExitCodes)
{
    const ToolCase alone[] = {
        {"no command", "", 2, "no command"},
        {"unknown option", "--bogus status", 2, "unknown option"},
        {"not a code", "12abc", 2, "unknown command"},
        {"code beyond 32 bits", "0x100000000", 2, "unknown command"},
        {"decimal code beyond 32 bits", "4294967296", 2, "unknown command"},
        {"pid not a number", "--pid x status", 2, "not a number"},
        {"too many operands", "base 1 2 3", 2, "unexpected argument"},
        {"nobody subscribed", "launch", 3, "no process is subscribed"},
        {"pid without channel", Format("--pid %lu status", GetCurrentProcessId()), 3, "not subscribed"},
    };
    for (const ToolCase &tool : alone)
        CheckSenderTool(tool);

    Subscriber first;
    ASSERT_TRUE(first.Start());
    const ToolCase one[] = {
        {"launch to the one subscriber", "launch", 0, Format("answer %lu", EventAnswer(HID_EVENT_LAUNCH))},
        {"hex code by pid", Format("--pid %lu 0x10", first.pid()), 0, "answer 33"},
        {"decimal code with timeout", "--timeout 3000 16", 0, "answer 33"},
        {"base message, WPARAM first", Format("base 7 0x%llx", kWideLParam), 0, Format("answer %lu", BaseAnswer(7))},
        {"status", "status", 0,
         Format("window 0x%llx message 0x%x selector 0x%lx calls 2 delivered 4", HandleValue(first.window()),
                kBaseMessage, kSelector)},
        {"highest code in hex", "0xFFFFFFFF", 0, Format("answer %lu", EventAnswer(0xFFFFFFFF))},
        {"highest code in decimal", "4294967295", 0, Format("answer %lu", EventAnswer(0xFFFFFFFF))},
    };
    for (const ToolCase &tool : one)
        CheckSenderTool(tool);

    Subscriber second;
    ASSERT_TRUE(second.Start());
    const ToolCase two[] = {
        {"two subscribers", "launch", 4, "several processes"},
        {"second by pid", Format("--pid %lu %lu", second.pid(), kDestroyCode), 0,
         Format("answer %lu", EventAnswer(kDestroyCode))},
        {"window gone", Format("--pid %lu launch", second.pid()), 5, "no longer exists"},
    };
    for (const ToolCase &tool : two)
        CheckSenderTool(tool);

    std::vector<std::string> received;
    ASSERT_TRUE(first.Finish(&received));
    EXPECT_EQ((std::vector<std::string>{EventLine(HID_EVENT_LAUNCH), EventLine(0x10), EventLine(16),
                                        BaseLine(7, kWideLParam), EventLine(0xFFFFFFFF), EventLine(0xFFFFFFFF)}),
              received)
        << "first subscriber";
    ASSERT_TRUE(second.Finish(&received));
    EXPECT_EQ(std::vector<std::string>{EventLine(kDestroyCode)}, received) << "second subscriber";
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "--subscriber") == 0)
        return RunSubscriber(argc, argv);
    /* Wine's C runtime would write "\r\n", which test discovery misreads. */
    _setmode(_fileno(stdout), _O_BINARY);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
