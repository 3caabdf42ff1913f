/*
 * hidusb-send: feeds one device event to the subscribed process, standing in
 * for the hardware during development and tests.  Built on the channel's
 * client calls.
 *
 * Exit codes: 0 delivered, 2 usage, 3 no subscriber, 4 several subscribers,
 * 5 refused or failed.
 */
#include "hidusb_client.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>

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
    "  CODE                      deliver event CODE (decimal or 0x-hex, 32 bits)\n"
    "  base [WPARAM [LPARAM]]    deliver the base message itself, as Win32 orders them\n"
    "  status                    show the subscription\n"
    "Without --pid the one subscribed process is found automatically.\n";

int UsageError(const char *problem, const char *detail)
{
    fprintf(stderr, "hidusb-send: %s%s%s\n%s", problem, detail ? ": " : "", detail ? detail : "", kUsage);
    return kExitUsage;
}

/* Decimal, or hexadecimal after 0x; the whole of text, up to max.  (Leading
 * zeros do not mean octal: event codes are written in decimal.) */
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

bool ParseDword(const char *text, DWORD *value)
{
    ULONGLONG wide;
    if (!ParseNumber(text, 0xFFFFFFFFull, &wide))
        return false;
    *value = (DWORD)wide;
    return true;
}

/* Message parameters are as wide as a 64-bit subscriber takes them. */
bool ParseParameter(const char *text, ULONGLONG *value) { return ParseNumber(text, ~0ull, value); }

int Failure(DWORD pid, DWORD error, DWORD timeoutMs)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
        fprintf(stderr, "hidusb-send: process %lu is not subscribed to device events\n", pid);
        return kExitNoSubscriber;
    case ERROR_INVALID_WINDOW_HANDLE:
        fprintf(stderr, "hidusb-send: process %lu refused: its subscribed window no longer exists\n", pid);
        return kExitFailed;
    case ERROR_INVALID_DATA:
        fprintf(stderr, "hidusb-send: process %lu refused the request or sent an unreadable reply\n", pid);
        return kExitFailed;
    case ERROR_TIMEOUT:
    case ERROR_PIPE_BUSY:
        fprintf(stderr, "hidusb-send: process %lu did not answer within %lu ms\n", pid, timeoutMs);
        return kExitFailed;
    default:
        fprintf(stderr, "hidusb-send: request to process %lu failed (error %lu)\n", pid, error);
        return kExitFailed;
    }
}

int FindSubscriber(DWORD *pid)
{
    DWORD error = HidFindSubscriber(pid);
    if (error == ERROR_NOT_FOUND) {
        fputs("hidusb-send: no process is subscribed to device events\n", stderr);
        return kExitNoSubscriber;
    }
    if (error == ERROR_BUSY) {
        fputs("hidusb-send: several processes are subscribed to device events; choose one with --pid\n", stderr);
        return kExitSeveralSubscribers;
    }
    if (error != ERROR_SUCCESS) {
        fprintf(stderr, "hidusb-send: cannot look for subscribers (error %lu)\n", error);
        return kExitFailed;
    }
    return kExitOk;
}

/* A command line's request, read before any subscriber is looked for. */
struct Command {
    DWORD kind = HID_REQUEST_EVENT;
    DWORD code = HID_EVENT_LAUNCH;
    ULONGLONG parameters[2] = {0, 0};
};

int ParseCommand(int argc, char **argv, Command *command)
{
    const char *name = argv[0];
    const int allowed = strcmp(name, "base") == 0 ? 2 : 0;
    if (argc - 1 > allowed)
        return UsageError("unexpected argument", argv[1 + allowed]);
    if (strcmp(name, "status") == 0) {
        command->kind = HID_REQUEST_STATUS;
    } else if (strcmp(name, "base") == 0) {
        command->kind = HID_REQUEST_BASE;
        for (int i = 1; i < argc; ++i)
            if (!ParseParameter(argv[i], &command->parameters[i - 1]))
                return UsageError("not a number", argv[i]);
    } else if (strcmp(name, "launch") != 0 && !ParseDword(name, &command->code)) {
        return UsageError("unknown command", name);
    }
    return kExitOk;
}

int Send(DWORD pid, const Command &command, DWORD timeoutMs)
{
    DWORD answer = 0, error;
    if (command.kind == HID_REQUEST_STATUS) {
        HidReply reply;
        if ((error = HidQueryStatus(pid, &reply, timeoutMs)) != ERROR_SUCCESS)
            return Failure(pid, error, timeoutMs);
        printf("window 0x%llx message 0x%lx selector 0x%lx calls %lu delivered %lu\n", reply.window, reply.message,
               reply.selector, reply.calls, reply.delivered);
        return kExitOk;
    }
    if (command.kind == HID_REQUEST_BASE)
        error = HidSendBase(pid, command.parameters[0], command.parameters[1], &answer, timeoutMs);
    else
        error = HidSendEvent(pid, command.code, &answer, timeoutMs);
    if (error != ERROR_SUCCESS)
        return Failure(pid, error, timeoutMs);
    printf("answer %lu\n", answer);
    return kExitOk;
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
        if (!ParseDword(argv[arg], target))
            return UsageError("not a number", argv[arg]);
        pidGiven = pidGiven || target == &pid;
    }
    if (arg == argc)
        return UsageError("no command given", NULL);
    Command command;
    int result = ParseCommand(argc - arg, argv + arg, &command);
    if (result == kExitOk && !pidGiven)
        result = FindSubscriber(&pid);
    return result == kExitOk ? Send(pid, command, timeoutMs) : result;
}
