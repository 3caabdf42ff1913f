/*
 * Wire format between the stand-in device-event library (HIDUSB.dll, loaded
 * into a subscribing process) and the programs that feed it events.
 *
 * Each subscribing process serves one message-mode named pipe, named
 * HIDUSB_PIPE_PREFIX followed by its process id in decimal.  A client writes
 * exactly one HidRequest and reads exactly one HidReply; the library refuses
 * anything else without touching the subscribed window.
 */
#ifndef HIDUSB_PROTOCOL_H
#define HIDUSB_PROTOCOL_H

#include <windows.h>

#include <stdio.h>
#include <string.h>

#define HIDUSB_PIPE_PREFIX "\\\\.\\pipe\\hidusb-"

enum {
    HIDUSB_MAGIC = 0x42444948,       /* "HIDB" in memory order */
    HIDUSB_PROTOCOL_VERSION = 2
};

/* What a request asks the library to do. */
enum HidRequestKind {
    HID_REQUEST_EVENT = 1,  /* deliver message base+1 with a record holding code */
    HID_REQUEST_BASE = 2,   /* deliver the base message with wParam and lParam */
    HID_REQUEST_STATUS = 3  /* report the subscription; deliver nothing */
};

/* How the library answered. */
enum HidReplyStatus {
    HID_STATUS_OK = 0,
    HID_STATUS_MALFORMED = 1,     /* wrong size, magic, version or kind */
    HID_STATUS_NOT_SUBSCRIBED = 2 /* no window to deliver to (any more) */
};

/* The same layout for 32-bit and 64-bit programs: window handles and message
 * parameters travel as 64 bits, so a sender of either width serves a
 * subscriber of either width without cutting a 64-bit LPARAM short. */
#pragma pack(push, 4)
typedef struct HidRequest {
    DWORD magic;    /* HIDUSB_MAGIC */
    DWORD version;  /* HIDUSB_PROTOCOL_VERSION */
    DWORD kind;     /* HidRequestKind */
    DWORD code;     /* event code, HID_REQUEST_EVENT only */
    ULONGLONG wParam; /* HID_REQUEST_BASE only */
    ULONGLONG lParam; /* HID_REQUEST_BASE only */
} HidRequest;

typedef struct HidReply {
    DWORD magic;    /* HIDUSB_MAGIC */
    DWORD status;   /* HidReplyStatus */
    DWORD answer;   /* the window procedure's result, for deliveries */
    ULONGLONG window; /* last subscribed window */
    DWORD message;  /* last subscribed base message number */
    DWORD selector; /* last subscription selector */
    DWORD calls;    /* number of subscription calls so far */
    DWORD delivered;/* number of messages delivered so far */
} HidReply;

/* The record whose address travels in lParam of message base+1.  Only the
 * first field is part of the contract; the rest is the library's own. */
typedef struct HidEventRecord {
    DWORD code;
    DWORD sequence;
} HidEventRecord;
#pragma pack(pop)

/* ---- what both ends of the channel do alike ---- */

/* The pipe of the subscriber with process id pid. */
static inline void HidPipeName(DWORD pid, char *name, size_t size)
{
    snprintf(name, size, "%s%lu", HIDUSB_PIPE_PREFIX, pid);
}

/* A request of the given kind, with nothing else filled in. */
static inline HidRequest HidMakeRequest(DWORD kind)
{
    HidRequest request;
    memset(&request, 0, sizeof request);
    request.magic = HIDUSB_MAGIC;
    request.version = HIDUSB_PROTOCOL_VERSION;
    request.kind = kind;
    return request;
}

/* What is left of timeoutMs since start (GetTickCount); INFINITE stays so. */
static inline DWORD HidRemaining(DWORD start, DWORD timeoutMs)
{
    if (timeoutMs == INFINITE)
        return INFINITE;
    DWORD elapsed = GetTickCount() - start;
    return elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
}

/* Completes overlapped I/O that `started` began on handle, waiting at most
 * timeoutMs and cancelling it when the other end is too slow: neither end
 * may hang on the other.  Returns ERROR_SUCCESS, ERROR_MORE_DATA for a
 * partial read of a longer message, ERROR_TIMEOUT, or the error the I/O
 * failed with.  Either way the OVERLAPPED is free again. */
static inline DWORD HidFinishIo(HANDLE handle, BOOL started, OVERLAPPED *ov, DWORD timeoutMs, DWORD *bytes)
{
    *bytes = 0;
    if (!started) {
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA)
            return error;
    }
    if (WaitForSingleObject(ov->hEvent, timeoutMs) != WAIT_OBJECT_0) {
        CancelIo(handle);
        if (GetOverlappedResult(handle, ov, bytes, TRUE))
            return ERROR_SUCCESS;
        DWORD error = GetLastError();
        return error == ERROR_OPERATION_ABORTED ? ERROR_TIMEOUT : error;
    }
    return GetOverlappedResult(handle, ov, bytes, FALSE) ? ERROR_SUCCESS : GetLastError();
}

#endif
