#include "agent_harness.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

namespace harness {

std::string ProgramDir()
{
    char path[MAX_PATH] = "";
    GetModuleFileNameA(NULL, path, sizeof path);
    std::string s(path);
    return s.substr(0, s.find_last_of('\\') + 1);
}

std::string ShippedPath(const char *fileName)
{
    std::string relative = ProgramDir() + "..\\bin\\" + fileName;
    char full[MAX_PATH] = "";
    GetFullPathNameA(relative.c_str(), sizeof full, full, NULL);
    return full;
}

std::string AgentPath() { return ShippedPath("agent.exe"); }
std::string RecorderPath() { return ProgramDir() + "recorder.exe"; }

Process::Process(Process &&other) noexcept : pi(other.pi) { other.pi = PROCESS_INFORMATION{}; }

Process &Process::operator=(Process &&other) noexcept
{
    if (this != &other) {
        this->~Process();
        pi = other.pi;
        other.pi = PROCESS_INFORMATION{};
    }
    return *this;
}

Process::~Process()
{
    if (pi.hThread)
        CloseHandle(pi.hThread);
    if (pi.hProcess)
        CloseHandle(pi.hProcess);
}

DWORD Process::Wait(DWORD timeoutMs) const
{
    if (!pi.hProcess)
        return 0xFFFFFFFF;
    if (WaitForSingleObject(pi.hProcess, timeoutMs) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    return code;
}

void Process::Kill()
{
    if (pi.hProcess && Running()) {
        TerminateProcess(pi.hProcess, 0xDEAD);
        WaitForSingleObject(pi.hProcess, kWaitMs);
    }
}

Process Start(const std::string &program, const std::string &commandLine, int showState, bool suspended,
              const std::string &directory)
{
    STARTUPINFOA si{};
    si.cb = sizeof si;
    if (showState >= 0) {
        si.dwFlags = STARTF_USESHOWWINDOW;
        si.wShowWindow = (WORD)showState;
    }
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    Process p;
    if (!CreateProcessA(program.c_str(), line.data(), NULL, NULL, FALSE,
                        suspended ? CREATE_SUSPENDED : 0, NULL,
                        directory.empty() ? NULL : directory.c_str(), &si, &p.pi))
        p.pi = PROCESS_INFORMATION{};
    return p;
}

namespace {
struct WindowSearch {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK MatchAgentWindow(HWND hwnd, LPARAM lParam)
{
    auto *search = reinterpret_cast<WindowSearch *>(lParam);
    DWORD owner = 0;
    GetWindowThreadProcessId(hwnd, &owner);
    if (owner != search->pid)
        return TRUE;
    char cls[128] = "", title[128] = "";
    GetClassNameA(hwnd, cls, sizeof cls);
    GetWindowTextA(hwnd, title, sizeof title);
    if (strcmp(cls, kWindowClass) == 0 && strcmp(title, kWindowTitle) == 0) {
        search->found = hwnd;
        return FALSE;
    }
    return TRUE;
}
}  // namespace

HWND WaitForAgentWindow(DWORD pid, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        WindowSearch search{pid, NULL};
        EnumWindows(MatchAgentWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found)
            return search.found;
        if (GetTickCount() - start >= timeoutMs)
            return NULL;
        Sleep(10);
    }
}

HWND FindAgentWindow() { return FindWindowA(kWindowClass, kWindowTitle); }

bool StopAllWindows(const char *windowClass, const char *windowTitle)
{
    for (int round = 0; round < 20; ++round) {
        HWND hwnd = FindWindowA(windowClass, windowTitle);
        if (!hwnd)
            return true;
        DWORD pid = 0;
        GetWindowThreadProcessId(hwnd, &pid);
        HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
        PostMessageA(hwnd, WM_QUIT, 0, 0);
        if (h) {
            if (WaitForSingleObject(h, 5000) != WAIT_OBJECT_0) {
                TerminateProcess(h, 0xDEAD);
                WaitForSingleObject(h, 5000);
            }
            CloseHandle(h);
        } else {
            Sleep(100);
        }
    }
    return FindWindowA(windowClass, windowTitle) == NULL;
}

void StopAllAgents() { StopAllWindows(kWindowClass, kWindowTitle); }

void RemoveProductKey()
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kProductKey);
}

bool CreateProductKeyOnly()
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool WriteInstallDir(const void *data, DWORD size, DWORD type)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL) != ERROR_SUCCESS)
        return false;
    LONG r = RegSetValueExA(key, kInstallDirValue, 0, type, static_cast<const BYTE *>(data), size);
    RegCloseKey(key);
    return r == ERROR_SUCCESS;
}

bool WriteInstallDirText(const std::string &dir)
{
    return WriteInstallDir(dir.c_str(), (DWORD)dir.size() + 1, REG_SZ);
}

std::string MakeTempDir(const std::string &name)
{
    char tmp[MAX_PATH] = "";
    GetTempPathA(sizeof tmp, tmp);
    std::string dir = std::string(tmp) + name;
    RemoveTree(dir);
    CreateDirectoryA(dir.c_str(), NULL);
    return dir;
}

void RemoveTree(const std::string &dir)
{
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string name = fd.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string path = dir + "\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileA(path.c_str());
        } while (FindNextFileA(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryA(dir.c_str());
}

bool CopyRecorderTo(const std::string &path)
{
    return CopyFileA(RecorderPath().c_str(), path.c_str(), FALSE) != 0;
}

std::vector<DWORD> ChildrenOf(DWORD pid)
{
    std::vector<DWORD> children;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return children;
    PROCESSENTRY32 pe{};
    pe.dwSize = sizeof pe;
    for (BOOL ok = Process32First(snap, &pe); ok; ok = Process32Next(snap, &pe)) {
        if (pe.th32ParentProcessID == pid && pe.th32ProcessID != pid)
            children.push_back(pe.th32ProcessID);
    }
    CloseHandle(snap);
    return children;
}

void WaitForChildrenOf(DWORD pid, DWORD timeoutMs)
{
    for (DWORD child : ChildrenOf(pid)) {
        HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, child);
        if (h) {
            WaitForSingleObject(h, timeoutMs);
            CloseHandle(h);
        }
    }
}

std::vector<Record> ReadRecords(const std::string &logPath)
{
    std::vector<Record> records;
    std::ifstream in(logPath, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        size_t a = line.find('|');
        size_t b = line.find('|', a + 1);
        if (a == std::string::npos || b == std::string::npos)
            continue;
        records.push_back({line.substr(0, a), line.substr(a + 1, b - a - 1), line.substr(b + 1)});
    }
    return records;
}

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return (char)std::tolower(c); });
    return s;
}

std::string Quote(const std::string &s) { return "\"" + s + "\""; }

}  // namespace harness
