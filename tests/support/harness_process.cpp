/*
 * Processes for the test-support layer: starting with exact command lines,
 * capturing a console program's output, waiting for exits and children, and
 * the handle and memory figures the soak and the leak tests read.
 */
#include "agent_harness.h"

#include <tlhelp32.h>
/* psapi.dll's own entry points, which every version of the system has. */
#define PSAPI_VERSION 1
#include <psapi.h>

namespace harness {

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

void Process::Quit()
{
    if (Started() && Running()) {
        PostThreadMessageA(pi.dwThreadId, WM_QUIT, 0, 0);
        Wait(kWaitMs);
    }
    Kill();
}

void Process::Kill()
{
    if (Started() && Running()) {
        TerminateProcess(pi.hProcess, 0xDEAD);
        WaitForSingleObject(pi.hProcess, kWaitMs);
    }
}

namespace {
Process StartWith(const std::string &program, const std::string &commandLine, STARTUPINFOA &si, DWORD flags,
                  BOOL inherit, const std::string &directory)
{
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    Process p;
    if (!CreateProcessA(program.empty() ? NULL : program.c_str(), line.data(), NULL, NULL, inherit, flags, NULL,
                        directory.empty() ? NULL : directory.c_str(), &si, &p.pi))
        p.pi = PROCESS_INFORMATION{};
    return p;
}
}  // namespace

Process Start(const std::string &program, const std::string &commandLine, int showState, bool suspended,
              const std::string &directory)
{
    STARTUPINFOA si{};
    si.cb = sizeof si;
    if (showState >= 0) {
        si.dwFlags = STARTF_USESHOWWINDOW;
        si.wShowWindow = (WORD)showState;
    }
    return StartWith(program, commandLine, si, suspended ? CREATE_SUSPENDED : 0, FALSE, directory);
}

Captured RunCaptured(const std::string &program, const std::string &arguments, DWORD timeoutMs,
                     volatile DWORD *startedPid)
{
    // Files, not pipes: under Wine what the program starts may hold on to
    // its standard handles, and a pipe would stay open as long as they live.
    TempFile out, err;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = CreateFileA(out.Path().c_str(), GENERIC_WRITE, share, &inherit, CREATE_ALWAYS, 0, NULL);
    si.hStdError = CreateFileA(err.Path().c_str(), GENERIC_WRITE, share, &inherit, CREATE_ALWAYS, 0, NULL);
    Captured run;
    if (si.hStdOutput != INVALID_HANDLE_VALUE && si.hStdError != INVALID_HANDLE_VALUE) {
        Process p = StartWith(program, Quote(program) + " " + arguments, si, CREATE_NO_WINDOW, TRUE, "");
        run.startError = p.Started() ? 0 : GetLastError();
        if (startedPid != nullptr)
            *startedPid = p.Pid();
        run.exitCode = p.Wait(timeoutMs);
        run.finished = p.Started() && run.exitCode != STILL_ACTIVE;
        p.Kill();
    }
    for (HANDLE h : {si.hStdOutput, si.hStdError})
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    run.out = ReadFileText(out.Path());
    run.err = ReadFileText(err.Path());
    return run;
}

bool WaitForProcessId(DWORD pid, DWORD timeoutMs)
{
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!h)
        return true;
    bool ended = WaitForSingleObject(h, timeoutMs) == WAIT_OBJECT_0;
    CloseHandle(h);
    return ended;
}

ULONGLONG SystemTimeNow()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return ((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime;
}

namespace {
// When process pid was created; 0 when it cannot be read.
ULONGLONG CreationTime(DWORD pid)
{
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    FILETIME created{}, exited, kernel, user;
    BOOL ok = h != NULL && GetProcessTimes(h, &created, &exited, &kernel, &user);
    if (h != NULL)
        CloseHandle(h);
    return ok ? ((ULONGLONG)created.dwHighDateTime << 32) | created.dwLowDateTime : 0;
}
}  // namespace

std::vector<DWORD> ChildrenOf(DWORD pid, ULONGLONG since)
{
    std::vector<DWORD> children;
    // A process id is reused once its process has gone: a process whose
    // parent id is pid but that is older than pid's process is the child of
    // an earlier process with that id (Wine's services, say), not ours.
    const ULONGLONG parentCreated = CreationTime(pid);
    HANDLE snap = parentCreated != 0 ? CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0) : INVALID_HANDLE_VALUE;
    if (snap == INVALID_HANDLE_VALUE)
        return children;
    PROCESSENTRY32 pe{};
    pe.dwSize = sizeof pe;
    for (BOOL ok = Process32First(snap, &pe); ok; ok = Process32Next(snap, &pe)) {
        if (pe.th32ParentProcessID == pid && pe.th32ProcessID != pid &&
            CreationTime(pe.th32ProcessID) >= (since > parentCreated ? since : parentCreated))
            children.push_back(pe.th32ProcessID);
    }
    CloseHandle(snap);
    return children;
}

void WaitForChildrenOf(DWORD pid, DWORD timeoutMs, ULONGLONG since)
{
    for (DWORD child : ChildrenOf(pid, since))
        WaitForProcessId(child, timeoutMs);
}

/* ------------------------------------------------------------ figures */

namespace {
typedef LONG(WINAPI *QuerySystemInformationFn)(ULONG, PVOID, ULONG, PULONG);

// SystemExtendedHandleInformation's entry; the older class's 16-bit process
// ids would confuse processes whose ids differ above 0xFFFF.
struct HandleEntryEx {
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handleValue;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
};
const ULONG kSystemExtendedHandleInformation = 64;
const LONG kStatusInfoLengthMismatch = (LONG)0xC0000004;
}  // namespace

long HandleCount(DWORD pid)
{
    static QuerySystemInformationFn query = (QuerySystemInformationFn)(void *)GetProcAddress(
        GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    if (query == NULL)
        return -1;
    std::vector<BYTE> buffer(256 * 1024);
    LONG status;
    while ((status = query(kSystemExtendedHandleInformation, buffer.data(), (ULONG)buffer.size(), NULL)) ==
               kStatusInfoLengthMismatch &&
           buffer.size() < 64u * 1024 * 1024)
        buffer.resize(buffer.size() * 2);
    if (status < 0)
        return -1;
    const ULONG_PTR entries = *(const ULONG_PTR *)buffer.data();
    const HandleEntryEx *e = (const HandleEntryEx *)(buffer.data() + 2 * sizeof(ULONG_PTR));
    long count = 0;
    for (ULONG_PTR i = 0; i < entries; ++i)
        count += e[i].processId == pid;
    return count;
}

MemoryFigures MeasureMemory(HANDLE process)
{
    MemoryFigures f;
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof pmc;
    if (GetProcessMemoryInfo(process, &pmc, sizeof pmc)) {
        f.workingSetKiB = (long)(pmc.WorkingSetSize / 1024);
        f.pagefileKiB = (long)(pmc.PagefileUsage / 1024);
    }
    // Committed private memory from the address map: what the process
    // allocated, touched or not.
    unsigned long long total = 0;
    ULONG_PTR address = 0;
    MEMORY_BASIC_INFORMATION mbi;
    while (VirtualQueryEx(process, (LPCVOID)address, &mbi, sizeof mbi) == sizeof mbi) {
        if (mbi.State == MEM_COMMIT && mbi.Type == MEM_PRIVATE)
            total += mbi.RegionSize;
        ULONG_PTR next = (ULONG_PTR)mbi.BaseAddress + mbi.RegionSize;
        if (next <= address)
            break;
        address = next;
    }
    f.privateKiB = (long)(total / 1024);
    return f;
}

namespace {
typedef LONG(WINAPI *QueryInformationProcessFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);

struct BasicInformation {
    LONG exitStatus;
    PVOID pebBaseAddress;
    ULONG_PTR rest[4];
};
struct CountedText {  // UNICODE_STRING
    USHORT length;
    USHORT maximumLength;
    PWSTR buffer;
};
// Where the PEB keeps its ProcessParameters, and where those keep
// CurrentDirectory.DosPath (after four ULONGs, the console handle and flags
// and the three standard handles), in a process of this program's width.
const SIZE_T kParametersInPeb = 4 * sizeof(PVOID);
const SIZE_T kCurrentDirectoryInParameters = 16 + 5 * sizeof(PVOID);
}  // namespace

std::string CurrentDirectoryOf(DWORD pid)
{
    static QueryInformationProcessFn query = (QueryInformationProcessFn)(void *)GetProcAddress(
        GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess");
    HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (h == NULL || query == NULL) {
        if (h != NULL)
            CloseHandle(h);
        return "";
    }
    BasicInformation basic{};
    PVOID parameters = NULL;
    CountedText path{};
    std::wstring wide;
    if (query(h, 0 /* ProcessBasicInformation */, &basic, sizeof basic, NULL) >= 0 &&
        ReadProcessMemory(h, (const BYTE *)basic.pebBaseAddress + kParametersInPeb, &parameters, sizeof parameters,
                          NULL) &&
        ReadProcessMemory(h, (const BYTE *)parameters + kCurrentDirectoryInParameters, &path, sizeof path, NULL) &&
        path.length > 0) {
        wide.resize(path.length / sizeof(WCHAR));
        if (!ReadProcessMemory(h, path.buffer, &wide[0], path.length, NULL))
            wide.clear();
    }
    CloseHandle(h);
    char text[MAX_PATH * 2] = "";
    if (wide.empty() ||
        !WideCharToMultiByte(CP_ACP, 0, wide.c_str(), (int)wide.size() + 1, text, sizeof text, NULL, NULL))
        return "";
    return text;
}

std::vector<std::string> LoadedModules(DWORD pid)
{
    std::vector<std::string> names;
    HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (h == NULL)
        return names;
    HMODULE modules[512];
    DWORD bytes = 0;
    if (EnumProcessModules(h, modules, sizeof modules, &bytes) && bytes <= sizeof modules) {
        for (DWORD i = 0; i < bytes / sizeof(HMODULE); ++i) {
            char name[MAX_PATH] = "";
            if (GetModuleBaseNameA(h, modules[i], name, sizeof name))
                names.push_back(Lower(name));
        }
    }
    CloseHandle(h);
    return names;
}

}  // namespace harness
