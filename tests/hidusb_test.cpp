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
const DWORD kProcessWaitMs = 20000;
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

HANDLE HandleArgument(const char *text)
{
    return (HANDLE)(ULONG_PTR)strtoull(text, NULL, 10);
}

/* --subscriber READY QUIT PARENT LOG: subscribes, sets READY, then serves
 * messages until QUIT is set (exit 0) or PARENT ends (exit non-zero). */
int RunSubscriber(int argc, char **argv)
{
    if (argc != 6)
        return 10;
    HANDLE ready = HandleArgument(argv[2]);
    HANDLE waits[] = {HandleArgument(argv[3]), HandleArgument(argv[4])};
    g_log = CreateFileA(argv[5], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
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

/* ---- helpers of the test process ---- */

std::string ThisExecutable()
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
    return std::string(path, length);
}

std::string SenderTool()
{
    std::string exe = ThisExecutable();
    std::string relative = exe.substr(0, exe.find_last_of('\\') + 1) + "..\\bin\\hidusb-send.exe";
    char full[MAX_PATH];
    DWORD length = GetFullPathNameA(relative.c_str(), sizeof full, full, NULL);
    return length > 0 && length < sizeof full ? std::string(full, length) : relative;
}

/* A temporary file, deleted with this object. */
class TempFile {
public:
    TempFile()
    {
        char dir[MAX_PATH], path[MAX_PATH];
        if (GetTempPathA(sizeof dir, dir) && GetTempFileNameA(dir, "hid", 0, path))
            path_ = path;
    }
    ~TempFile()
    {
        if (!path_.empty())
            DeleteFileA(path_.c_str());
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    const std::string &path() const { return path_; }

    std::string Read() const
    {
        std::string text;
        HANDLE file = CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  NULL, OPEN_EXISTING, 0, NULL);
        if (file == INVALID_HANDLE_VALUE)
            return text;
        char buffer[4096];
        DWORD got;
        while (ReadFile(file, buffer, sizeof buffer, &got, NULL) && got > 0)
            text.append(buffer, got);
        CloseHandle(file);
        return text;
    }

private:
    std::string path_;
};

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(begin, end - begin);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
        begin = end + 1;
    }
    return lines;
}

/* Ends a child process that is still running and closes its handle. */
void Reap(HANDLE *process)
{
    if (*process == NULL)
        return;
    if (WaitForSingleObject(*process, 0) != WAIT_OBJECT_0) {
        TerminateProcess(*process, 99);
        WaitForSingleObject(*process, kProcessWaitMs);
    }
    CloseHandle(*process);
    *process = NULL;
}

/* A subscriber child process; killed on destruction unless it finished. */
class Subscriber {
public:
    Subscriber() = default;
    ~Subscriber()
    {
        Reap(&process_);
        if (ready_ != NULL)
            CloseHandle(ready_);
        if (quit_ != NULL)
            CloseHandle(quit_);
    }
    Subscriber(const Subscriber &) = delete;
    Subscriber &operator=(const Subscriber &) = delete;

    DWORD pid() const { return pid_; }
    HWND window() const { return window_; }

    /* Starts the child and waits until it has subscribed. */
    ::testing::AssertionResult Start()
    {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
        ready_ = CreateEventW(&inherit, TRUE, FALSE, NULL);
        quit_ = CreateEventW(&inherit, TRUE, FALSE, NULL);
        if (ready_ == NULL || quit_ == NULL || log_.path().empty())
            return ::testing::AssertionFailure() << "cannot prepare a subscriber: error " << GetLastError();
        /* Lets the child notice when this process dies without telling it to quit. */
        HANDLE parent = NULL;
        if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &parent, SYNCHRONIZE,
                             TRUE, 0))
            return ::testing::AssertionFailure() << "cannot share this process's handle: error " << GetLastError();
        std::string exe = ThisExecutable();
        std::string command = Format("\"%s\" --subscriber %llu %llu %llu \"%s\"", exe.c_str(), HandleValue(ready_),
                                     HandleValue(quit_), HandleValue(parent), log_.path().c_str());
        STARTUPINFOA startup;
        memset(&startup, 0, sizeof startup);
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info;
        BOOL started = CreateProcessA(exe.c_str(), &command[0], NULL, NULL, TRUE, 0, NULL, NULL, &startup, &info);
        DWORD error = GetLastError();
        CloseHandle(parent);
        if (!started)
            return ::testing::AssertionFailure() << "cannot start a subscriber: error " << error;
        CloseHandle(info.hThread);
        process_ = info.hProcess;
        pid_ = info.dwProcessId;

        HANDLE waits[] = {ready_, process_};
        DWORD woke = WaitForMultipleObjects(2, waits, FALSE, kProcessWaitMs);
        if (woke == WAIT_OBJECT_0 + 1) {
            DWORD code = 0;
            GetExitCodeProcess(process_, &code);
            return ::testing::AssertionFailure() << "subscriber exited with code " << code << " before subscribing";
        }
        if (woke != WAIT_OBJECT_0)
            return ::testing::AssertionFailure() << "subscriber did not subscribe within " << kProcessWaitMs << " ms";
        std::vector<std::string> lines = Lines(log_.Read());
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
        if (WaitForSingleObject(process_, kProcessWaitMs) != WAIT_OBJECT_0)
            return ::testing::AssertionFailure() << "subscriber " << pid_ << " did not quit";
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        if (code != 0)
            return ::testing::AssertionFailure() << "subscriber " << pid_ << " exited with code " << code;
        std::vector<std::string> lines = Lines(log_.Read());
        received->assign(lines.begin() + (lines.empty() ? 0 : 1), lines.end());
        return ::testing::AssertionSuccess();
    }

private:
    TempFile log_;
    HANDLE ready_ = NULL;
    HANDLE quit_ = NULL;
    HANDLE process_ = NULL;
    DWORD pid_ = 0;
    HWND window_ = NULL;
};

struct ToolRun {
    DWORD exitCode;
    std::string out;
    std::string err;
};

/* Runs the sender tool with arguments, capturing its output. */
::testing::AssertionResult RunSenderTool(const std::string &arguments, ToolRun *run)
{
    std::string exe = SenderTool();
    if (GetFileAttributesA(exe.c_str()) == INVALID_FILE_ATTRIBUTES)
        return ::testing::AssertionFailure() << "no sender tool at " << exe;
    TempFile outFile, errFile;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE out = CreateFileA(outFile.path().c_str(), GENERIC_WRITE, share, &inherit, CREATE_ALWAYS, 0, NULL);
    HANDLE err = CreateFileA(errFile.path().c_str(), GENERIC_WRITE, share, &inherit, CREATE_ALWAYS, 0, NULL);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = err;
    std::string command = "\"" + exe + "\" " + arguments;
    PROCESS_INFORMATION info;
    BOOL started = out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
                   CreateProcessA(exe.c_str(), &command[0], NULL, NULL, TRUE, CREATE_NO_WINDOW, NULL, NULL, &startup,
                                  &info);
    DWORD error = GetLastError();
    if (out != INVALID_HANDLE_VALUE)
        CloseHandle(out);
    if (err != INVALID_HANDLE_VALUE)
        CloseHandle(err);
    if (!started)
        return ::testing::AssertionFailure() << "cannot run " << command << ": error " << error;
    CloseHandle(info.hThread);
    bool finished = WaitForSingleObject(info.hProcess, kProcessWaitMs) == WAIT_OBJECT_0;
    GetExitCodeProcess(info.hProcess, &run->exitCode);
    Reap(&info.hProcess);
    if (!finished)
        return ::testing::AssertionFailure() << command << " did not finish within " << kProcessWaitMs << " ms";
    run->out = outFile.Read();
    run->err = errFile.Read();
    return ::testing::AssertionSuccess();
}

/* Opens the channel of pid directly, as a misbehaving client would. */
HANDLE OpenChannel(DWORD pid)
{
    std::string name = Format("%s%lu", HIDUSB_PIPE_PREFIX, pid);
    DWORD start = GetTickCount();
    for (;;) {
        HANDLE pipe = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (pipe != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY || GetTickCount() - start > kTimeoutMs)
            return pipe;
        WaitNamedPipeA(name.c_str(), kTimeoutMs);
    }
}

TEST(HidUsbLibrary, ExportsOnlyOrdinalTwoWithoutName)
{
    HMODULE module = GetModuleHandleA("HIDUSB.dll");
    ASSERT_NE(nullptr, module);
    const BYTE *image = reinterpret_cast<const BYTE *>(module);
    const IMAGE_NT_HEADERS *headers =
        reinterpret_cast<const IMAGE_NT_HEADERS *>(image + reinterpret_cast<const IMAGE_DOS_HEADER *>(image)->e_lfanew);
    const IMAGE_DATA_DIRECTORY &directory = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(0u, directory.VirtualAddress);
    const IMAGE_EXPORT_DIRECTORY *exports =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(image + directory.VirtualAddress);
    EXPECT_EQ(2u, exports->Base);
    EXPECT_EQ(1u, exports->NumberOfFunctions);
    EXPECT_EQ(0u, exports->NumberOfNames);
    /* Our own call goes through the import library: it must be bound to
     * that ordinal, since there is no name to bind to. */
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(GetProcAddress(module, MAKEINTRESOURCEA(2))),
              reinterpret_cast<ULONG_PTR>(&HidSubscribe));
    EXPECT_EQ(nullptr, GetProcAddress(module, "HidSubscribe"));
    EXPECT_EQ(nullptr, GetProcAddress(module, "HidSubscribe@12"));
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
    EXPECT_EQ((DWORD)ERROR_INVALID_DATA, HidSendBase(subscriber.pid(), 1, 2, &answer, kTimeoutMs))
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
    ToolRun run;
    ASSERT_TRUE(RunSenderTool(tool.arguments, &run));
    EXPECT_EQ(tool.exitCode, run.exitCode) << "stdout: " << run.out << "stderr: " << run.err;
    if (tool.exitCode == 0) {
        EXPECT_EQ(tool.output, Lines(run.out).empty() ? "" : Lines(run.out)[0]);
        EXPECT_EQ(1u, Lines(run.out).size()) << run.out;
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
        {"base message", Format("base 0x%llx 7", kWideLParam), 0, Format("answer %lu", BaseAnswer(7))},
        {"status", "status", 0,
         Format("window 0x%llx message 0x%x selector 0x%lx calls 2 delivered 4", HandleValue(first.window()),
                kBaseMessage, kSelector)},
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
                                        BaseLine(7, kWideLParam)}),
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
