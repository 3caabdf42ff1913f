/*
 * hidusb-send: feeds one device event to the subscribed process, standing in
 * for the hardware during development and tests.
 *
 * Exit codes: 0 delivered, 2 usage, 3 no subscriber, 4 several subscribers,
 * 5 refused or failed.
 */
#include "hidusb_client.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

enum ExitCode {
    kExitOk = 0,
    kExitUsage = 2,
    kExitNoSubscriber = 3,
    kExitSeveralSubscribers = 4,
    kExitFailed = 5
};

const DWORD kDefaultTimeoutMs = 5000;

const char kUsage[] =
    "usage: hidusb-send [--pid PID] [--timeout MS] COMMAND\n"
    "commands:\n"
    "  launch                    deliver the launch event (0x100)\n"
    "  CODE                      deliver event CODE (decimal or 0x-hex)\n"
    "  base [LPARAM [WPARAM]]    deliver the base message itself\n"
    "  status                    show the subscription\n"
    "Without --pid the one subscribed process is found automatically.\n";

int UsageError(const char *problem, const char *detail)
{
    if (detail != NULL)
        fprintf(stderr, "hidusb-send: %s: %s\n", problem, detail);
    else
        fprintf(stderr, "hidusb-send: %s\n", problem);
    fputs(kUsage, stderr);
    return kExitUsage;
}

/* Decimal, or hexadecimal after 0x; the whole of text, up to max.
 * (Leading zeros do not mean octal: event codes are written in decimal.) */
bool ParseNumber(const char *text, ULONGLONG max, ULONGLONG *value)
{
    int base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    if (!(base == 16 ? isxdigit((unsigned char)text[0]) : isdigit((unsigned char)text[0])))
        return false;
    char *end;
    errno = 0;
    unsigned long long parsed = strtoull(text, &end, base);
    if (*end != '\0' || errno == ERANGE || parsed > max)
        return false;
    *value = parsed;
    return true;
}

/* Event codes, process ids and times are 32-bit. */
bool ParseNumber(const char *text, DWORD *value)
{
    ULONGLONG wide;
    if (!ParseNumber(text, 0xFFFFFFFFull, &wide))
        return false;
    *value = (DWORD)wide;
    return true;
}

/* Message parameters are as wide as a 64-bit subscriber takes them. */
bool ParseNumber(const char *text, ULONGLONG *value)
{
    return ParseNumber(text, ~0ull, value);
}

int Failure(DWORD pid, DWORD error, DWORD timeoutMs)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
        fprintf(stderr, "hidusb-send: process %lu is not subscribed to device events\n", pid);
        return kExitNoSubscriber;
    case ERROR_TIMEOUT:
        fprintf(stderr, "hidusb-send: process %lu did not answer within %lu ms\n", pid, timeoutMs);
        return kExitFailed;
    case ERROR_PIPE_BUSY:
        fprintf(stderr, "hidusb-send: process %lu stayed busy for %lu ms\n", pid, timeoutMs);
        return kExitFailed;
    case ERROR_INVALID_DATA:
        fprintf(stderr, "hidusb-send: process %lu sent an unreadable reply\n", pid);
        return kExitFailed;
    default:
        fprintf(stderr, "hidusb-send: request to process %lu failed (error %lu)\n", pid, error);
        return kExitFailed;
    }
}

} // namespace

int main(int argc, char **argv)
{
    DWORD pid = 0, timeoutMs = kDefaultTimeoutMs;
    bool pidGiven = false;
    int arg = 1;
    for (; arg < argc && strncmp(argv[arg], "--", 2) == 0; ++arg) {
        const char *option = argv[arg];
        if (strcmp(option, "--help") == 0) {
            fputs(kUsage, stdout);
            return kExitOk;
        }
        DWORD *target = strcmp(option, "--pid") == 0 ? &pid : strcmp(option, "--timeout") == 0 ? &timeoutMs : NULL;
        if (target == NULL)
            return UsageError("unknown option", option);
        if (++arg == argc)
            return UsageError("missing value for", option);
        if (!ParseNumber(argv[arg], target))
            return UsageError("not a number", argv[arg]);
        pidGiven = pidGiven || target == &pid;
    }
    if (arg == argc)
        return UsageError("no command given", NULL);

    HidRequest request;
    memset(&request, 0, sizeof request);
    request.magic = HIDUSB_MAGIC;
    request.version = HIDUSB_PROTOCOL_VERSION;
    const char *command = argv[arg++];
    int maxOperands = 0;
    if (strcmp(command, "launch") == 0) {
        request.kind = HID_REQUEST_EVENT;
        request.code = HID_EVENT_LAUNCH;
    } else if (strcmp(command, "status") == 0) {
        request.kind = HID_REQUEST_STATUS;
    } else if (strcmp(command, "base") == 0) {
        request.kind = HID_REQUEST_BASE;
        maxOperands = 2;
        if (arg < argc && !ParseNumber(argv[arg], &request.lParam))
            return UsageError("not a number", argv[arg]);
        if (arg + 1 < argc && !ParseNumber(argv[arg + 1], &request.wParam))
            return UsageError("not a number", argv[arg + 1]);
    } else if (ParseNumber(command, &request.code)) {
        request.kind = HID_REQUEST_EVENT;
    } else {
        return UsageError("unknown command", command);
    }
    if (argc - arg > maxOperands)
        return UsageError("unexpected argument", argv[arg + maxOperands]);

    if (!pidGiven) {
        DWORD error = HidFindSubscriber(&pid);
        if (error == ERROR_NOT_FOUND) {
            fputs("hidusb-send: no process is subscribed to device events\n", stderr);
            return kExitNoSubscriber;
        }
        if (error == ERROR_BUSY) {
            fputs("hidusb-send: several processes are subscribed to device events; choose one with --pid\n",
                  stderr);
            return kExitSeveralSubscribers;
        }
        if (error != ERROR_SUCCESS) {
            fprintf(stderr, "hidusb-send: cannot look for subscribers (error %lu)\n", error);
            return kExitFailed;
        }
    }

    HidReply reply;
    DWORD error = HidTransact(pid, &request, &reply, timeoutMs);
    if (error != ERROR_SUCCESS)
        return Failure(pid, error, timeoutMs);
    switch (reply.status) {
    case HID_STATUS_OK:
        break;
    case HID_STATUS_NOT_SUBSCRIBED:
        fprintf(stderr, "hidusb-send: process %lu refused: its subscribed window no longer exists\n", pid);
        return kExitFailed;
    case HID_STATUS_MALFORMED:
        fprintf(stderr, "hidusb-send: process %lu refused the request as malformed\n", pid);
        return kExitFailed;
    default:
        fprintf(stderr, "hidusb-send: process %lu refused the request (status %lu)\n", pid, reply.status);
        return kExitFailed;
    }
    if (request.kind == HID_REQUEST_STATUS)
        printf("window 0x%llx message 0x%lx selector 0x%lx calls %lu delivered %lu\n", reply.window, reply.message,
               reply.selector, reply.calls, reply.delivered);
    else
        printf("answer %lu\n", reply.answer);
    return kExitOk;
}
