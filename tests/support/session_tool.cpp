/*
 * session-tool: what the package's life test needs to model a Windows
 * desktop that Wine does not have.
 *
 *   session-tool start DESKTOP [--suspended] PROGRAM
 *       starts PROGRAM on the desktop DESKTOP (made if need be), out of the
 *       reach of a window lookup on the default desktop, as a program in
 *       another session is; --suspended leaves its main thread suspended,
 *       so that it never reads a message.  Prints its process id.
 *   session-tool images PATH [COUNT]
 *       one line "PID CHECKSUM" for each running process whose image is
 *       PATH, CHECKSUM being the PE checksum of the image as mapped in that
 *       process: which file it was started from, even after the file on
 *       disk was replaced.  With COUNT, first waits (10 s at most) until
 *       exactly COUNT such processes, each with its image mapped, have run
 *       for a moment, and exits 1 if that never happened: a program started
 *       without being waited for shows up, and one that ends goes, without
 *       a Wine process started per look.  A process of PATH's file name
 *       that cannot be opened, even with the debug privilege (another
 *       user's, say), is listed as "PID unreadable" and never counted as
 *       mapped: it is not taken for gone.
 *
 * Exit codes: 0 done, 1 failed, 2 usage.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tlhelp32.h>

#include <algorithm>
#include <string>

namespace {

int StartOnDesktop(const char *desktop, bool suspended, const char *program)
{
    HDESK handle = CreateDesktopA(desktop, NULL, NULL, 0, GENERIC_ALL, NULL);
    if (handle == NULL) {
        fprintf(stderr, "session-tool: cannot make the desktop %s (error %lu)\n", desktop, GetLastError());
        return 1;
    }
    std::string commandLine = std::string("\"") + program + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.lpDesktop = const_cast<char *>(desktop);
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(program, &commandLine[0], NULL, NULL, FALSE, suspended ? CREATE_SUSPENDED : 0, NULL, NULL,
                        &si, &pi)) {
        fprintf(stderr, "session-tool: cannot start %s (error %lu)\n", program, GetLastError());
        return 1;
    }
    printf("%lu\n", pi.dwProcessId);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    // The desktop lives as long as a handle to it or a thread on it: the
    // started program holds it from now on.
    return 0;
}

// The checksum in the PE header of process's main image, 0 when unreadable.
DWORD MappedChecksum(HANDLE process, DWORD pid)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, pid);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    MODULEENTRY32 module{};
    module.dwSize = sizeof module;
    BOOL found = Module32First(snapshot, &module);
    CloseHandle(snapshot);
    if (!found)
        return 0;
    const BYTE *base = module.modBaseAddr;
    IMAGE_DOS_HEADER dos;
    DWORD checksum = 0;
    // The checksum sits at the same offset of PE32 and PE32+ headers.
    const SIZE_T checksumOffset = 4 + sizeof(IMAGE_FILE_HEADER) + 64;
    if (ReadProcessMemory(process, base, &dos, sizeof dos, NULL) &&
        ReadProcessMemory(process, base + dos.e_lfanew + checksumOffset, &checksum, sizeof checksum, NULL))
        return checksum;
    return 0;
}

// "PID CHECKSUM" lines of the processes whose image is path; *mapped counts
// those whose image could be read.
// An administrator's debug privilege opens other users' processes.
void EnableDebugPrivilege()
{
    HANDLE token;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) {
        if (LookupPrivilegeValueA(NULL, "SeDebugPrivilege", &privileges.Privileges[0].Luid))
            AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL);
        CloseHandle(token);
    }
}

std::string ListImages(const char *path, int *mapped)
{
    std::string list;
    *mapped = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return list;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID);
        if (process == NULL) {
            // Another user's process may be closed even to an administrator:
            // one of the right name is listed, so that it is not missed.
            const char *name = strrchr(path, '\\');
            if (lstrcmpiA(entry.szExeFile, name ? name + 1 : path) == 0)
                list += std::to_string(entry.th32ProcessID) + " unreadable\n";
            continue;
        }
        char image[MAX_PATH * 2];
        DWORD size = sizeof image;
        if (QueryFullProcessImageNameA(process, 0, image, &size) && lstrcmpiA(image, path) == 0) {
            char line[64];
            const DWORD checksum = MappedChecksum(process, entry.th32ProcessID);
            snprintf(line, sizeof line, "%lu %08lx\n", entry.th32ProcessID, checksum);
            list += line;
            *mapped += checksum != 0;
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return list;
}

// All the images now, or, with count >= 0, once exactly count of them, each
// mapped, have stayed the same for 300 ms (10 s at most).
int Images(const char *path, int count)
{
    EnableDebugPrivilege();
    const DWORD start = GetTickCount();
    DWORD steadySince = start;
    std::string list, last;
    bool met = count < 0;
    while (!met) {
        int mapped;
        list = ListImages(path, &mapped);
        const bool matches = mapped == count && (int)std::count(list.begin(), list.end(), '\n') == count;
        if (!matches || list != last)
            steadySince = GetTickCount();
        last = list;
        met = matches && GetTickCount() - steadySince >= 300;
        if (met || GetTickCount() - start >= 10000)
            break;
        Sleep(50);
    }
    if (count < 0) {
        int mapped;
        list = ListImages(path, &mapped);
    }
    fputs(list.c_str(), stdout);
    return met ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "start") == 0)
        return StartOnDesktop(argv[2], false, argv[3]);
    if (argc == 5 && strcmp(argv[1], "start") == 0 && strcmp(argv[3], "--suspended") == 0)
        return StartOnDesktop(argv[2], true, argv[4]);
    if (argc == 3 && strcmp(argv[1], "images") == 0)
        return Images(argv[2], -1);
    if (argc == 4 && strcmp(argv[1], "images") == 0)
        return Images(argv[2], atoi(argv[3]));
    fprintf(stderr, "usage: session-tool start DESKTOP [--suspended] PROGRAM | images PATH [COUNT]\n");
    return 2;
}
