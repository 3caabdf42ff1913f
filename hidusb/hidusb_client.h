/*
 * Client side of the event channel: used by the sender tool, the tests and
 * the benchmarks.  Every call returns a Win32 error code (ERROR_SUCCESS on
 * success) and never waits longer than timeoutMs for the subscriber.
 */
#ifndef HIDUSB_CLIENT_H
#define HIDUSB_CLIENT_H

#include <windows.h>

#include "hidusb_protocol.h"

/* The event code that means "launch". */
#define HID_EVENT_LAUNCH 0x00000100u

/* Finds the one process on this desktop that serves an event channel.
 * ERROR_NOT_FOUND when none does, ERROR_BUSY when several do. */
DWORD HidFindSubscriber(DWORD *pid);

/* Sends one request to the subscriber with process id pid and reads its
 * reply.  ERROR_FILE_NOT_FOUND when that process has no channel. */
DWORD HidTransact(DWORD pid, const HidRequest *request, HidReply *reply, DWORD timeoutMs);

/* Convenience forms of HidTransact.  *answer receives the window's answer.
 * A subscriber whose window is gone gives ERROR_INVALID_WINDOW_HANDLE, one
 * that refuses the request as malformed ERROR_INVALID_DATA. */
DWORD HidSendEvent(DWORD pid, DWORD code, DWORD *answer, DWORD timeoutMs);
DWORD HidSendBase(DWORD pid, ULONGLONG wParam, ULONGLONG lParam, DWORD *answer, DWORD timeoutMs);

/* The window a status reply names. */
inline HWND HidReplyWindow(const HidReply &reply) { return (HWND)(ULONG_PTR)reply.window; }
DWORD HidQueryStatus(DWORD pid, HidReply *reply, DWORD timeoutMs);

/* Sends raw bytes down the channel, for tests of malformed requests.
 * *replyBytes receives how many reply bytes came back (0 when refused
 * without a reply). */
DWORD HidTransactRaw(DWORD pid, const void *bytes, DWORD size, HidReply *reply, DWORD *replyBytes, DWORD timeoutMs);

#endif
