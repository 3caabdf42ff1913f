/*
 * kit-runner: the Windows test kit's runner, behind run-tests.cmd and
 * restore.cmd.  From an elevated prompt on a test machine:
 *
 *   kit-runner run [OPTIONS]
 *                        saves what it will change (the browser the shell
 *                        opens http and https addresses with, both registry
 *                        views of the product's key) in the kit's folder,
 *                        makes the recorder the browser, runs every test
 *                        program (the package's life among them, verbose
 *                        logs in logs\), puts back what it changed, and ends with one
 *                        line "N passed, N failed" counting test cases;
 *                        OPTIONS go to every test program (a
 *                        --gtest_filter to run some cases only);
 *   kit-runner redirect  saves and makes the recorder the browser, then
 *                        stops, as an interrupted run would;
 *   kit-runner restore   puts back what a run that did not finish changed.
 *
 * On Windows 10 and 11 the browser is the user's choice (UserChoice), whose
 * value only the system's own settings may write (it is checked against a
 * hash).  So the choice is left alone, and the class it names is redirected
 * instead: a per-user HKCU\Software\Classes\<class>\shell\open\command,
 * which the shell prefers to the machine's.  Where that does not take (Wine
 * reads no per-user classes) the machine's class is redirected.  Either way
 * the effective command is read back as the shell reads it.
 *
 * Ctrl+C ends the programs the run has started, but lets the package's
 * life test finish the msiexec step under way and remove what it installed
 * (ending msiexec's client would leave the Windows Installer service going
 * on, and every removal after it refused with 1618 until it is done); then
 * it puts back what it changed (a closed window may leave that to
 * restore.cmd).
 *
 * Exit codes: 0 all passed, 1 something failed, 2 not elevated or usage,
 * 3 interrupted.
 */
#include "kit_runner.h"

#include <shlwapi.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

using namespace harness;

namespace {

const DWORD kProgramTimeoutMs = 15 * 60 * 1000;
const char *const kSchemes[] = {"http", "https"};

int g_passed, g_failed;

// The kit's folder: the runner is in its tests\ folder.
std::string KitDir()
{
    char full[MAX_PATH] = "";
    GetFullPathNameA((ProgramDir() + "..").c_str(), sizeof full, full, NULL);
    return full;
}
std::string StatePath() { return KitDir() + "\\saved-state.txt"; }
std::string LogDir() { return KitDir() + "\\logs"; }

void Say(const std::string &line)
{
    printf("%s\n", line.c_str());
    fflush(stdout);
}

void Result(bool ok, const std::string &what)
{
    Say(std::string(ok ? "ok   " : "FAIL ") + what);
    ++(ok ? g_passed : g_failed);
}

bool WriteText(const std::string &path, const std::string &text)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written = 0;
    BOOL ok = h != INVALID_HANDLE_VALUE && WriteFile(h, text.data(), (DWORD)text.size(), &written, NULL);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return ok && written == text.size();
}

// The class whose shell\open\command opens scheme: the user's choice of
// browser where there is one, else the scheme's own class.  The shell says
// which (Windows 8 and later, whichever key holds the choice); where it
// cannot (Wine), the choice is read from the registry.
std::string BrowserClass(const char *scheme)
{
    char progId[256] = "";
    DWORD size = sizeof progId;
    if (AssocQueryStringA(ASSOCF_IS_PROTOCOL, ASSOCSTR_PROGID, scheme, NULL, progId, &size) == S_OK && progId[0] != '\0')
        return progId;
    const std::string choice =
        std::string("Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\") + scheme + "\\UserChoice";
    size = sizeof progId;
    if (RegGetValueA(HKEY_CURRENT_USER, choice.c_str(), "ProgId", RRF_RT_REG_SZ, NULL, progId, &size) == ERROR_SUCCESS &&
        progId[0] != '\0')
        return progId;
    return scheme;
}

// What the run will change, saved before it does: the user's browser
// classes and the product's key now; the machine's class only once it is
// about to be changed (SaveMachineClass), so that a run that did not need
// it leaves it untouched.
std::string g_state;

bool SaveState()
{
    bool ok = true;
    for (const char *scheme : kSchemes)
        ok &= SaveKey("HKCU", 0, "Software\\Classes\\" + BrowserClass(scheme), g_state);
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY})
        ok &= SaveKey("HKLM", view, "SOFTWARE\\Ostrel", g_state);
    return ok && WriteText(StatePath(), g_state);
}

bool SaveMachineClass(const std::string &cls)
{
    const std::string path = "Software\\Classes\\" + cls;
    // Saved once: http and https often name the same class.
    if (g_state.find("tree HKLM 0 " + path + "\n") != std::string::npos)
        return true;
    return SaveKey("HKLM", 0, path, g_state) && WriteText(StatePath(), g_state);
}

// Every program the run starts is in the runner's job (they inherit it),
// so that an interrupted run can end them before it puts the machine back:
// they would otherwise carry on writing what it restores.  Closing the job,
// as the runner ends, ends any the tests left.
HANDLE g_job;
volatile LONG g_interrupted;
HANDLE g_putBack;  // set once the run has put the machine back
// The package's life test, while it runs: told of an interruption by an
// event (named in its environment, OSTREL_KIT_INTERRUPT), it finishes its
// step, removes what it installed and stops, bounded by msiexec's own
// bound; it and what it started are not ended.
const char *const kPackageTest = "package_test.exe";
volatile DWORD g_packageTestPid;
HANDLE g_interruptEvent;

// Whether pid is the package test or one of its descendants.
bool UnderPackageTest(DWORD pid, HANDLE snapshot)
{
    for (int depth = 0; depth < 8 && pid != 0; ++depth) {
        if (g_packageTestPid != 0 && pid == g_packageTestPid)
            return true;
        PROCESSENTRY32 entry{};
        entry.dwSize = sizeof entry;
        DWORD parent = 0;
        for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
            if (entry.th32ProcessID == pid)
                parent = entry.th32ParentProcessID;
        pid = parent;
    }
    return false;
}

void JoinJob()
{
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    g_job = CreateJobObjectA(NULL, NULL);
    if (g_job == NULL || !SetInformationJobObject(g_job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(g_job, GetCurrentProcess()))
        Say("kit: cannot hold the programs it starts in a job (error " + std::to_string(GetLastError()) +
            "): an interrupted run cannot end them");
}

void EndStartedPrograms()
{
    std::vector<BYTE> buffer(sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) + 1024 * sizeof(ULONG_PTR));
    JOBOBJECT_BASIC_PROCESS_ID_LIST *list = (JOBOBJECT_BASIC_PROCESS_ID_LIST *)buffer.data();
    if (g_job == NULL ||
        !QueryInformationJobObject(g_job, JobObjectBasicProcessIdList, list, (DWORD)buffer.size(), NULL))
        return;
    const ULONG_PTR *pids = list->ProcessIdList;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    for (DWORD i = 0; i < list->NumberOfProcessIdsInList; ++i) {
        HANDLE p = pids[i] == GetCurrentProcessId() ||
                           (snapshot != INVALID_HANDLE_VALUE && UnderPackageTest((DWORD)pids[i], snapshot))
                       ? NULL
                       : OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, (DWORD)pids[i]);
        if (p != NULL) {
            TerminateProcess(p, 3);
            WaitForSingleObject(p, 5000);
            CloseHandle(p);
        }
    }
    if (snapshot != INVALID_HANDLE_VALUE)
        CloseHandle(snapshot);
}

// Ctrl+C, Ctrl+Break or a closed window: the programs end here, and the run
// itself stops at its next step and puts everything back.
BOOL WINAPI OnInterrupt(DWORD)
{
    InterlockedExchange(&g_interrupted, 1);
    SetEvent(g_interruptEvent);
    EndStartedPrograms();
    // A closed console ends the process once this returns.
    WaitForSingleObject(g_putBack, 60000);
    return TRUE;
}

bool Restore()
{
    const std::string state = ReadFileText(StatePath());
    if (state.empty())
        return true;
    const bool ok = RestoreKeys(state);
    if (ok)
        DeleteFileA(StatePath().c_str());
    Say(ok ? "kit: put back the browser and the product's key as they were"
           : "kit: could not put everything back; " + StatePath() + " is kept for restore.cmd");
    return ok;
}

bool SetCommand(HKEY root, const std::string &cls, const std::string &command)
{
    HKEY key;
    if (RegCreateKeyExA(root, ("Software\\Classes\\" + cls + "\\shell\\open\\command").c_str(), 0, NULL, 0,
                        KEY_WRITE, NULL, &key, NULL) != ERROR_SUCCESS)
        return false;
    LONG r = RegSetValueExA(key, NULL, 0, REG_SZ, (const BYTE *)command.c_str(), (DWORD)command.size() + 1);
    RegDeleteValueA(key, "DelegateExecute");  // a COM handler would take precedence over the command
    RegCloseKey(key);
    return r == ERROR_SUCCESS;
}

bool MakeRecorderTheBrowser()
{
    const std::string command = Quote(RecorderPath()) + " \"%1\"";
    bool ok = true;
    for (const char *scheme : kSchemes) {
        const std::string cls = BrowserClass(scheme);
        SetCommand(HKEY_CURRENT_USER, cls, command);
        if (BrowserCommand(scheme) != command && SaveMachineClass(cls))
            SetCommand(HKEY_LOCAL_MACHINE, cls, command);
        const bool taken = BrowserCommand(scheme) == command;
        Say(std::string("kit: ") + scheme + " addresses open with the recorder (class " + cls + ")" +
            (taken ? "" : ": NOT TAKEN, they open with " + BrowserCommand(scheme)));
        ok &= taken;
    }
    return ok;
}

// The number after name=" in text, 0 when there is none.
long Attribute(const std::string &text, const char *name)
{
    const size_t at = text.find(std::string(" ") + name + "=\"");
    return at == std::string::npos ? 0 : atol(text.c_str() + at + strlen(name) + 3);
}

void RunTestProgram(const std::string &name, const std::string &options)
{
    const std::string xml = LogDir() + "\\" + name + ".xml";
    DeleteFileA(xml.c_str());
    const bool packageTest = name == kPackageTest;
    const Captured run = RunCaptured(ProgramDir() + name, "--gtest_output=xml:" + Quote(xml) + options,
                                     kProgramTimeoutMs, packageTest ? &g_packageTestPid : nullptr);
    g_packageTestPid = 0;
    WriteText(LogDir() + "\\" + name + ".txt", run.out + run.err);
    const std::string results = ReadFileText(xml);
    const size_t root = results.find("<testsuites ");
    if (!run.finished || root == std::string::npos) {
        Result(false, name + " did not finish (exit code " + std::to_string(run.exitCode) + "; logs\\" + name + ".txt)");
        return;
    }
    // "tests" counts the disabled cases too, which did not run.
    const std::string counts = results.substr(root);
    const long tests = Attribute(counts, "tests"), failed = Attribute(counts, "failures");
    long skipped = Attribute(counts, "disabled");
    for (size_t at = 0; (at = results.find("result=\"skipped\"", at)) != std::string::npos; ++at)
        ++skipped;
    g_passed += tests - failed - skipped;
    g_failed += failed;
    Say("kit: " + name + ": " + std::to_string(tests - failed - skipped) + " passed, " + std::to_string(failed) +
        " failed, " + std::to_string(skipped) + " skipped (logs\\" + name + ".txt)");
    // A failed global set-up fails no case, and a crash after the results
    // were written leaves them whole: only the exit code tells.
    if (run.exitCode != 0 && failed == 0)
        Result(false, name + " exited with code " + std::to_string(run.exitCode) + " though no case failed (logs\\" +
                          name + ".txt)");
}

}  // namespace

bool Interrupted() { return g_interrupted != 0; }

int main(int argc, char **argv)
{
    const std::string command = argc >= 2 ? argv[1] : "";
    std::string options;
    for (int i = 2; command == "run" && i < argc; ++i)
        options += " " + Quote(argv[i]);
    if ((command != "run" && command != "redirect" && command != "restore") || (command != "run" && argc != 2)) {
        fprintf(stderr, "usage: kit-runner run [test program options] | redirect | restore\n");
        return 2;
    }
    HANDLE token;
    TOKEN_ELEVATION elevation{};
    DWORD size;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) ||
        !GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) || !elevation.TokenIsElevated) {
        Say("kit: run this from an elevated prompt: the tests write HKLM and install a package");
        return 2;
    }
    if (command == "restore")
        return Restore() ? 0 : 1;
    CreateDirectoryA(LogDir().c_str(), NULL);
    if (Exists(StatePath())) {
        Say("kit: an earlier run did not finish; putting back what it changed first");
        if (!Restore())
            return 1;
    }
    if (!SaveState()) {
        Say("kit: cannot save the machine's state in " + StatePath() + "; nothing was changed");
        return 1;
    }
    if (command == "run")
        JoinJob();
    g_putBack = CreateEventA(NULL, TRUE, FALSE, NULL);
    const std::string interruptName = "Local\\ostrel-kit-interrupt-" + std::to_string(GetCurrentProcessId());
    g_interruptEvent = CreateEventA(NULL, TRUE, FALSE, interruptName.c_str());
    SetEnvironmentVariableA("OSTREL_KIT_INTERRUPT", interruptName.c_str());
    SetConsoleCtrlHandler(OnInterrupt, TRUE);
    Result(MakeRecorderTheBrowser(), "the recorder is the browser for the tests");
    if (command == "redirect")
        return 0;
    for (const std::string &program : FilesIn(ProgramDir(), "*_test.exe"))
        if (!Interrupted())
            RunTestProgram(program, options);
    if (!Restore())
        ++g_failed;
    SetEvent(g_putBack);
    if (Interrupted()) {
        Say("kit: interrupted; " + std::to_string(g_passed) + " passed, " + std::to_string(g_failed) + " failed so far");
        return 3;
    }
    Say(std::to_string(g_passed) + " passed, " + std::to_string(g_failed) + " failed");
    return g_failed == 0 ? 0 : 1;
}
