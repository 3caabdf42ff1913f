/*
 * Stand-in for the programs the agent starts: the product's Vorq.exe and
 * Duxo.exe, and the browser the shell opens a web address with.  It appends
 * one line to a log and exits:
 *
 *     <its own path>|<its current directory>|<its show state>|<its command line>
 *
 * The show state is the one its start-up information carries, or "none"
 * when the starter gave none.  The command line comes last: it is the one
 * field that may itself hold a "|".
 *
 * The log is the file named by RECORDER_LOG (the agent hands its environment
 * on to what it starts), or <its own path>.log when that is not set.
 */
#include <windows.h>

#include <cstring>
#include <string>

int main()
{
    char self[MAX_PATH] = "";
    GetModuleFileNameA(NULL, self, sizeof self);
    char cwd[MAX_PATH] = "";
    GetCurrentDirectoryA(sizeof cwd, cwd);

    STARTUPINFOA si;
    GetStartupInfoA(&si);
    const std::string show = si.dwFlags & STARTF_USESHOWWINDOW ? std::to_string(si.wShowWindow) : "none";

    std::string line = std::string(self) + "|" + cwd + "|" + show + "|" + GetCommandLineA() + "\r\n";

    char logPath[MAX_PATH] = "";
    DWORD n = GetEnvironmentVariableA("RECORDER_LOG", logPath, sizeof logPath);
    if (n == 0 || n >= sizeof logPath)
        lstrcpynA(logPath, (std::string(self) + ".log").c_str(), sizeof logPath);

    // Several recorders may finish at once: append-only writes of one line
    // each keep their lines whole.
    for (int attempt = 0; attempt < 100; ++attempt) {
        HANDLE h = CreateFileA(logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (h != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            BOOL ok = WriteFile(h, line.data(), (DWORD)line.size(), &written, NULL);
            CloseHandle(h);
            return ok && written == line.size() ? 0 : 1;
        }
        Sleep(10);
    }
    return 1;
}
