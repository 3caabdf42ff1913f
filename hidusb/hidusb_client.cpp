/*
 * Client side of the event channel.  Every wait is bounded by the caller's
 * timeout: a subscriber that is busy, hung or gone must not hang the sender.
 */
#include "hidusb_client.h"

#include <tlhelp32.h>

namespace {

/* Opens the subscriber's pipe, waiting while another client is being served. */
DWORD Connect(DWORD pid, DWORD start, DWORD timeoutMs, HANDLE *pipe)
{
    char name[64];
    HidPipeName(pid, name, sizeof name);
    for (;;) {
        *pipe = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
        if (*pipe != INVALID_HANDLE_VALUE)
            return ERROR_SUCCESS;
        DWORD error = GetLastError();
        if (error == ERROR_PATH_NOT_FOUND || error == ERROR_BAD_PATHNAME)
            return ERROR_FILE_NOT_FOUND;
        if (error != ERROR_PIPE_BUSY)
            return error;
        DWORD left = HidRemaining(start, timeoutMs);
        if (left == 0)
            return ERROR_PIPE_BUSY;
        /* A zero timeout would mean the server's default wait. */
        if (!WaitNamedPipeA(name, left) && GetLastError() == ERROR_FILE_NOT_FOUND)
            return ERROR_FILE_NOT_FOUND;
    }
}

/* Whether process pid serves a channel, without connecting: a connection
 * would occupy the subscriber until it gave up on us. */
bool ServesChannel(DWORD pid)
{
    char name[64];
    HidPipeName(pid, name, sizeof name);
    if (WaitNamedPipeA(name, 1))
        return true;
    DWORD error = GetLastError();
    /* A timeout means the pipe exists but is busy with another client. */
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_BAD_PATHNAME;
}

/* One request and, unless the subscriber hung up, one reply. */
DWORD Exchange(HANDLE pipe, OVERLAPPED *ov, const void *bytes, DWORD size, HidReply *reply, DWORD *replyBytes,
               DWORD start, DWORD timeoutMs)
{
    DWORD done;
    DWORD error = HidFinishIo(pipe, WriteFile(pipe, bytes, size, NULL, ov), ov, HidRemaining(start, timeoutMs), &done);
    if (error != ERROR_SUCCESS)
        return error;
    error = HidFinishIo(pipe, ReadFile(pipe, reply, sizeof *reply, NULL, ov), ov, HidRemaining(start, timeoutMs),
                        &done);
    if (error == ERROR_SUCCESS)
        *replyBytes = done;
    else if (error == ERROR_MORE_DATA)
        error = ERROR_INVALID_DATA; /* longer than any reply */
    else if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA)
        error = ERROR_SUCCESS; /* hung up without replying: refused */
    return error;
}

/* A request's reply turned into the error the convenience calls report. */
DWORD Deliver(DWORD pid, const HidRequest &request, HidReply *reply, DWORD timeoutMs)
{
    DWORD error = HidTransact(pid, &request, reply, timeoutMs);
    if (error != ERROR_SUCCESS)
        return error;
    switch (reply->status) {
    case HID_STATUS_OK:
        return ERROR_SUCCESS;
    case HID_STATUS_NOT_SUBSCRIBED:
        return ERROR_INVALID_WINDOW_HANDLE;
    default:
        return ERROR_INVALID_DATA;
    }
}

} // namespace

DWORD HidFindSubscriber(DWORD *pid)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return GetLastError();
    DWORD ourSession = 0;
    bool sessionKnown = ProcessIdToSessionId(GetCurrentProcessId(), &ourSession) != FALSE;
    DWORD found = 0, count = 0;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        DWORD session;
        /* Pipe names are machine-wide; subscribers on other desktops are not ours. */
        if (sessionKnown && ProcessIdToSessionId(entry.th32ProcessID, &session) && session != ourSession)
            continue;
        if (entry.th32ProcessID != 0 && ServesChannel(entry.th32ProcessID)) {
            found = entry.th32ProcessID;
            ++count;
        }
    }
    CloseHandle(snapshot);
    if (count == 0)
        return ERROR_NOT_FOUND;
    if (count > 1)
        return ERROR_BUSY;
    *pid = found;
    return ERROR_SUCCESS;
}

DWORD HidTransactRaw(DWORD pid, const void *bytes, DWORD size, HidReply *reply, DWORD *replyBytes, DWORD timeoutMs)
{
    *replyBytes = 0;
    const DWORD start = GetTickCount();
    HANDLE pipe;
    DWORD error = Connect(pid, start, timeoutMs, &pipe);
    if (error != ERROR_SUCCESS)
        return error;
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (ov.hEvent == NULL || !SetNamedPipeHandleState(pipe, &mode, NULL, NULL))
        error = GetLastError();
    else
        error = Exchange(pipe, &ov, bytes, size, reply, replyBytes, start, timeoutMs);
    if (ov.hEvent != NULL)
        CloseHandle(ov.hEvent);
    CloseHandle(pipe);
    return error;
}

DWORD HidTransact(DWORD pid, const HidRequest *request, HidReply *reply, DWORD timeoutMs)
{
    DWORD replyBytes;
    DWORD error = HidTransactRaw(pid, request, sizeof *request, reply, &replyBytes, timeoutMs);
    if (error == ERROR_SUCCESS && (replyBytes != sizeof *reply || reply->magic != HIDUSB_MAGIC))
        error = ERROR_INVALID_DATA;
    return error;
}

DWORD HidSendEvent(DWORD pid, DWORD code, DWORD *answer, DWORD timeoutMs)
{
    HidRequest request = HidMakeRequest(HID_REQUEST_EVENT);
    request.code = code;
    HidReply reply;
    DWORD error = Deliver(pid, request, &reply, timeoutMs);
    if (error == ERROR_SUCCESS)
        *answer = reply.answer;
    return error;
}

DWORD HidSendBase(DWORD pid, ULONGLONG wParam, ULONGLONG lParam, DWORD *answer, DWORD timeoutMs)
{
    HidRequest request = HidMakeRequest(HID_REQUEST_BASE);
    request.wParam = wParam;
    request.lParam = lParam;
    HidReply reply;
    DWORD error = Deliver(pid, request, &reply, timeoutMs);
    if (error == ERROR_SUCCESS)
        *answer = reply.answer;
    return error;
}

DWORD HidQueryStatus(DWORD pid, HidReply *reply, DWORD timeoutMs)
{
    return Deliver(pid, HidMakeRequest(HID_REQUEST_STATUS), reply, timeoutMs);
}
