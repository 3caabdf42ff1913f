/*
 * Stand-in for the closed device-event library.  A process subscribes one of
 * its windows with HidSubscribe; from then on other programs (the sender
 * tool, tests, benchmarks) feed it events through a named pipe that one
 * library thread serves, and that thread hands each event to the window with
 * SendMessage, exactly as the device library would.
 *
 * While nothing arrives, the channel thread sits in a blocking wait: no
 * timers, no polling.
 */
#define HIDUSB_BUILDING_DLL
#include "hidusb.h"
#include "hidusb_protocol.h"

namespace {

/* How long a connected client may take to send its request, and to collect
 * the reply and hang up, before the channel drops it and serves the next. */
const DWORD kClientTimeoutMs = 2000;

/* Longest request we read in one go; anything longer is malformed anyway
 * and is drained in chunks of this size. */
const DWORD kReadChunk = 64;

struct Subscription {
    HWND window;
    UINT message;
    DWORD selector;
    DWORD calls;
};

CRITICAL_SECTION g_lock; /* guards g_subscription and g_channelStarted */
Subscription g_subscription;
bool g_channelStarted;
volatile LONG g_delivered;

HANDLE g_pipe;      /* owned by the channel thread once it runs */
HANDLE g_ioEvent;   /* completion event for g_pipe's overlapped I/O */

Subscription CurrentSubscription()
{
    EnterCriticalSection(&g_lock);
    Subscription copy = g_subscription;
    LeaveCriticalSection(&g_lock);
    return copy;
}

DWORD ReadMessage(OVERLAPPED *ov, BYTE *buffer, DWORD timeoutMs, DWORD *bytes)
{
    return HidFinishIo(g_pipe, ReadFile(g_pipe, buffer, kReadChunk, NULL, ov), ov, timeoutMs, bytes);
}

bool WellFormed(const BYTE *bytes, DWORD size, HidRequest *request)
{
    if (size != sizeof *request)
        return false;
    memcpy(request, bytes, sizeof *request);
    return request->magic == HIDUSB_MAGIC && request->version == HIDUSB_PROTOCOL_VERSION &&
           (request->kind == HID_REQUEST_EVENT || request->kind == HID_REQUEST_BASE ||
            request->kind == HID_REQUEST_STATUS);
}

/* Carries out one well-formed request, delivering to the subscribed window
 * on this thread so that the record outlives the window procedure. */
void Execute(const HidRequest &request, HidReply *reply)
{
    if (request.kind == HID_REQUEST_STATUS)
        return;
    Subscription subscription = CurrentSubscription();
    if (!IsWindow(subscription.window)) {
        reply->status = HID_STATUS_NOT_SUBSCRIBED;
        return;
    }
    LRESULT answer;
    if (request.kind == HID_REQUEST_EVENT) {
        HidEventRecord record;
        record.code = request.code;
        record.sequence = (DWORD)InterlockedIncrement(&g_delivered);
        answer = SendMessageW(subscription.window, subscription.message + 1, 0, (LPARAM)&record);
    } else {
        InterlockedIncrement(&g_delivered);
        answer = SendMessageW(subscription.window, subscription.message, (WPARAM)request.wParam,
                              (LPARAM)request.lParam);
    }
    reply->answer = (DWORD)answer;
}

/* Serves the client connected to the pipe: one request, one reply. */
void ServeClient(OVERLAPPED *ov)
{
    BYTE buffer[kReadChunk];
    DWORD size;
    DWORD error = ReadMessage(ov, buffer, kClientTimeoutMs, &size);
    if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA)
        return; /* silent, gone or broken: drop it */

    HidReply reply;
    memset(&reply, 0, sizeof reply);
    reply.magic = HIDUSB_MAGIC;
    HidRequest request;
    if (error == ERROR_MORE_DATA) {
        /* Oversized: swallow the rest of the message so that the reply
         * below is not mistaken for an answer to it and lost on hang-up. */
        DWORD start = GetTickCount(), ignored;
        while (ReadMessage(ov, buffer, HidRemaining(start, kClientTimeoutMs), &ignored) == ERROR_MORE_DATA) {
        }
        reply.status = HID_STATUS_MALFORMED;
    } else if (!WellFormed(buffer, size, &request)) {
        reply.status = HID_STATUS_MALFORMED;
    } else {
        reply.status = HID_STATUS_OK;
        Execute(request, &reply);
    }

    Subscription subscription = CurrentSubscription();
    reply.window = (ULONG_PTR)subscription.window;
    reply.message = subscription.message;
    reply.selector = subscription.selector;
    reply.calls = subscription.calls;
    reply.delivered = (DWORD)g_delivered;

    DWORD written;
    if (HidFinishIo(g_pipe, WriteFile(g_pipe, &reply, sizeof reply, NULL, ov), ov, kClientTimeoutMs, &written) !=
        ERROR_SUCCESS)
        return;
    /* Disconnecting discards whatever the client has not read yet, so wait
     * for it to hang up first; anything more it sends is ignored. */
    DWORD start = GetTickCount(), ignored;
    for (;;) {
        error = ReadMessage(ov, buffer, HidRemaining(start, kClientTimeoutMs), &ignored);
        if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA)
            break;
    }
}

/* Blocks until a client connects.  Returns false when the attempt failed
 * (for instance because the client left again at once). */
bool AwaitClient(OVERLAPPED *ov)
{
    if (ConnectNamedPipe(g_pipe, ov))
        return true;
    DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED)
        return true;
    if (error == ERROR_IO_PENDING) {
        DWORD ignored;
        return GetOverlappedResult(g_pipe, ov, &ignored, TRUE) != FALSE;
    }
    if (error != ERROR_NO_DATA)
        Sleep(100); /* unexpected failure: do not let a retry loop spin */
    return false;
}

DWORD WINAPI ChannelThread(LPVOID)
{
    OVERLAPPED ov;
    for (;;) {
        memset(&ov, 0, sizeof ov);
        ov.hEvent = g_ioEvent;
        if (AwaitClient(&ov))
            ServeClient(&ov);
        DisconnectNamedPipe(g_pipe);
    }
}

/* Creates this process's pipe and the thread serving it.  The pipe exists
 * before HidSubscribe returns, so a sender started right after a
 * subscription finds it.  Called under g_lock. */
bool StartChannel()
{
    char name[64];
    HidPipeName(GetCurrentProcessId(), name, sizeof name);
    /* One instance: requests are served strictly one after another, and a
     * second would-be server under our name is refused. */
    const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE;
    const DWORD pipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;
    HANDLE pipe = CreateNamedPipeA(name, openMode, pipeMode | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                   sizeof(HidReply), sizeof(HidRequest), 0, NULL);
    if (pipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER) {
        /* Systems before Vista do not know PIPE_REJECT_REMOTE_CLIENTS. */
        pipe = CreateNamedPipeA(name, openMode, pipeMode, 1, sizeof(HidReply), sizeof(HidRequest), 0, NULL);
    }
    if (pipe == INVALID_HANDLE_VALUE)
        return false;
    HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (event == NULL) {
        CloseHandle(pipe);
        return false;
    }
    g_pipe = pipe;
    g_ioEvent = event;

    /* The thread runs for the rest of the process's life, so the library
     * must never be unloaded under it. */
    HMODULE self;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            (LPCWSTR)(void *)&ChannelThread, &self)) {
        CloseHandle(event);
        CloseHandle(pipe);
        return false;
    }
    HANDLE thread = CreateThread(NULL, 64 * 1024, ChannelThread, NULL, STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
    if (thread == NULL) {
        CloseHandle(event);
        CloseHandle(pipe);
        return false;
    }
    CloseHandle(thread);
    return true;
}

/* A real device library may initialise COM on its caller's thread.  With
 * HIDUSB_COINIT=multithreaded in the environment the stand-in does that in
 * the subscription call, so that tests can see what the subscriber does on
 * a thread whose COM mode was chosen for it.  ole32 is loaded only then. */
void InitializeCallerComIfAsked()
{
    char mode[32];
    DWORD length = GetEnvironmentVariableA("HIDUSB_COINIT", mode, sizeof mode);
    if (length == 0 || length >= sizeof mode || lstrcmpA(mode, "multithreaded") != 0)
        return;
    char path[MAX_PATH];
    UINT system = GetSystemDirectoryA(path, MAX_PATH - 12);
    if (system == 0 || system >= MAX_PATH - 12)
        return;
    lstrcpyA(path + system, "\\ole32.dll");
    HMODULE ole32 = LoadLibraryA(path);
    typedef HRESULT(WINAPI * CoInitializeExFn)(LPVOID, DWORD);
    CoInitializeExFn initialize = ole32 ? (CoInitializeExFn)(void *)GetProcAddress(ole32, "CoInitializeEx") : NULL;
    if (initialize != NULL)
        initialize(NULL, COINIT_MULTITHREADED);
}

} // namespace

extern "C" BOOL WINAPI HidSubscribe(HWND window, UINT message, DWORD selector)
{
    InitializeCallerComIfAsked();
    EnterCriticalSection(&g_lock);
    g_subscription.window = window;
    g_subscription.message = message;
    g_subscription.selector = selector;
    ++g_subscription.calls;
    if (!g_channelStarted)
        g_channelStarted = StartChannel();
    bool serving = g_channelStarted;
    LeaveCriticalSection(&g_lock);
    return serving ? TRUE : FALSE;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        InitializeCriticalSection(&g_lock);
    } else if (reason == DLL_PROCESS_DETACH && reserved == NULL) {
        /* Unloaded by FreeLibrary, which the pin above rules out once the
         * channel runs; at process exit the lock may still be held. */
        DeleteCriticalSection(&g_lock);
    }
    return TRUE;
}
