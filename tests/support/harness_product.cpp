/*
 * The product as an installer leaves it, for the test-support layer: its
 * registry key and InstallDir value, folders holding stand-in programs, and
 * the log those stand-ins (the recorder program) write.
 */
#include "agent_harness.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <initializer_list>

#include <shlwapi.h>

namespace harness {

namespace {
// RegDeleteTree is not in every system's advapi32; the key's subkeys are at
// most one level deep here.
void RemoveProductKeyIn(REGSAM view)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ | KEY_WRITE | view, &key) == ERROR_SUCCESS) {
        char name[256];
        while (RegEnumKeyA(key, 0, name, sizeof name) == ERROR_SUCCESS &&
               RegDeleteKeyExA(key, name, view, 0) == ERROR_SUCCESS) {
        }
        RegCloseKey(key);
    }
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kProductKey, view, 0);
}

HKEY CreateProductKey(REGSAM view)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, NULL, 0, KEY_WRITE | view, NULL, &key, NULL) !=
        ERROR_SUCCESS)
        return NULL;
    return key;
}
}  // namespace

bool UnderWow64()
{
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

void RemoveProductKey()
{
    RemoveProductKeyIn(KEY_WOW64_32KEY);
    RemoveProductKeyIn(KEY_WOW64_64KEY);
}

bool CreateProductKeyOnly(REGSAM view)
{
    HKEY key = CreateProductKey(view);
    if (key == NULL)
        return false;
    RegCloseKey(key);
    return true;
}

bool WriteInstallDir(const void *data, DWORD size, DWORD type, REGSAM view)
{
    HKEY key = CreateProductKey(view);
    if (key == NULL)
        return false;
    LONG r = RegSetValueExA(key, kInstallDirValue, 0, type, static_cast<const BYTE *>(data), size);
    RegCloseKey(key);
    return r == ERROR_SUCCESS;
}

bool WriteInstallDirText(const std::string &dir, REGSAM view)
{
    return WriteInstallDir(dir.c_str(), (DWORD)dir.size() + 1, REG_SZ, view);
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

bool CopyRecorderTo(const std::string &path) { return CopyFileA(RecorderPath().c_str(), path.c_str(), FALSE) != 0; }

std::string MakeProductDir(const std::string &base, const std::string &name, bool withVorq, bool withDuxo)
{
    std::string dir = base + "\\" + name;
    CreateDirectoryA(dir.c_str(), NULL);
    if ((withVorq && !CopyRecorderTo(dir + "\\" + kPrimaryProgram)) ||
        (withDuxo && !CopyRecorderTo(dir + "\\" + kFallbackProgram)))
        return "";
    return dir;
}

TempFile::TempFile()
{
    char dir[MAX_PATH], path[MAX_PATH];
    if (GetTempPathA(sizeof dir, dir) && GetTempFileNameA(dir, "tst", 0, path))
        path_ = path;
}

TempFile::~TempFile()
{
    if (!path_.empty())
        DeleteFileA(path_.c_str());
}

bool Exists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::string> FilesIn(const std::string &dir, const std::string &pattern)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    const bool separated = !dir.empty() && dir.back() == '\\';
    HANDLE h = FindFirstFileA((dir + (separated ? "" : "\\") + pattern).c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(fd.cFileName);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadFileText(const std::string &path)
{
    std::string text;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return text;
    char buffer[4096];
    DWORD got;
    while (ReadFile(file, buffer, sizeof buffer, &got, NULL) && got > 0)
        text.append(buffer, got);
    CloseHandle(file);
    return text;
}

std::vector<std::string> SplitLines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = std::min(text.find('\n', begin), text.size());
        std::string line = text.substr(begin, end - begin);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
        begin = end + 1;
    }
    return lines;
}

std::vector<Record> ReadRecords(const std::string &logPath)
{
    std::vector<Record> records;
    for (const std::string &line : SplitLines(ReadFileText(logPath))) {
        size_t a = line.find('|');
        size_t b = line.find('|', a + 1);
        size_t c = b == std::string::npos ? b : line.find('|', b + 1);
        if (a == std::string::npos || b == std::string::npos || c == std::string::npos)
            continue;
        const std::string show = line.substr(b + 1, c - b - 1);
        records.push_back({line.substr(0, a), line.substr(a + 1, b - a - 1), show == "none" ? -1 : atoi(show.c_str()),
                           line.substr(c + 1)});
    }
    return records;
}

std::vector<Record> WaitForRecords(const std::string &logPath, size_t count, DWORD timeoutMs)
{
    std::vector<Record> records = ReadRecords(logPath);
    for (const ULONGLONG start = GetTickCount64(); records.size() < count && GetTickCount64() - start < timeoutMs;
         records = ReadRecords(logPath))
        Sleep(20);
    return records;
}

std::string BrowserCommand(const char *scheme)
{
    // ASSOCF_IS_PROTOCOL (Windows 8 and later) follows the user's choice;
    // Windows 7 knows only the scheme's own class.
    for (ASSOCF flags : {ASSOCF_IS_PROTOCOL, ASSOCF_NONE}) {
        char command[2048] = "";
        DWORD size = sizeof command;
        if (SUCCEEDED(AssocQueryStringA(flags, ASSOCSTR_COMMAND, scheme, "open", command, &size)))
            return command;
    }
    return "";
}

bool IsWebSiteRecord(const Record &record)
{
    return Lower(record.program).find("recorder.exe") != std::string::npos &&
           record.commandLine.find(kWebSite) != std::string::npos;
}

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return (char)std::tolower(c); });
    return s;
}

std::string Quote(const std::string &s) { return "\"" + s + "\""; }

}  // namespace harness
