/*
 * Stands in for the product program when reaction time is measured.  The
 * first thing it does at its entry point is read the performance counter,
 * one clock for every process on the machine (and under Wine); then it
 * writes
 *
 *     <counter> <counter frequency> <its process id>\r\n
 *
 * in hexadecimal to a new file named by BENCH_STAMP, and ends.  The file is
 * created exclusively and held until the line is complete, so a reader that
 * can open it sees the whole line.  Then it sets the BENCH_STARTED_EVENT
 * event, when there is one.  Built like the agent and the floor: its own
 * entry point, kernel32 alone.
 *
 * Exit codes: 0 written, 2 BENCH_STAMP unset, 3 the file could not be made
 * (it already exists, for one), 4 the write failed.
 */
#include <windows.h>

#include "bench_names.h"

static char *PutHex(char *out, ULONGLONG value)
{
    static const char kDigits[] = "0123456789abcdef";
    for (int shift = 60; shift >= 0; shift -= 4)
        *out++ = kDigits[(value >> shift) & 0xF];
    return out;
}

extern "C" void WINAPI ProductStartup(void)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);

    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA(BENCH_STAMP_VARIABLE, path, sizeof path);
    if (n == 0 || n >= sizeof path)
        ExitProcess(2);

    char line[64];
    char *p = PutHex(line, (ULONGLONG)now.QuadPart);
    *p++ = ' ';
    p = PutHex(p, (ULONGLONG)frequency.QuadPart);
    *p++ = ' ';
    p = PutHex(p, GetCurrentProcessId());
    *p++ = '\r';
    *p++ = '\n';

    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        ExitProcess(3);
    DWORD size = (DWORD)(p - line), written = 0;
    BOOL ok = WriteFile(h, line, size, &written, NULL);
    CloseHandle(h);

    HANDLE started = OpenEventA(EVENT_MODIFY_STATE, FALSE, BENCH_STARTED_EVENT);
    if (started != NULL) {
        SetEvent(started);
        CloseHandle(started);
    }
    ExitProcess(ok && written == size ? 0 : 4);
}
