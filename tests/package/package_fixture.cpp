/*
 * The package's life test's fixture (package_fixture.h): msiexec, the
 * packages, the running agents and what is installed.
 */
#include "package_fixture.h"

#include <msi.h>
#include <msiquery.h>
#include <wtsapi32.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

#include "expect_started.h"

using namespace harness;

namespace package {

namespace {

const DWORD kMsiTimeoutMs = 5 * 60 * 1000;
const char *const kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char *const kRunValue = "OstrelAgent";

std::string g_packagesDir, g_logDir;
// Set once a case has found the machine clean: from then on, what a case
// finds installed was left by the one before, not the machine's own.
bool g_ranOnce;

std::string Property(MSIHANDLE db, const char *name)
{
    MSIHANDLE view = 0, record = 0;
    char value[128] = "";
    DWORD size = sizeof value;
    const std::string query = std::string("SELECT `Value` FROM `Property` WHERE `Property` = '") + name + "'";
    if (MsiDatabaseOpenViewA(db, query.c_str(), &view) == ERROR_SUCCESS && MsiViewExecute(view, 0) == ERROR_SUCCESS &&
        MsiViewFetch(view, &record) == ERROR_SUCCESS)
        MsiRecordGetStringA(record, 1, value, &size);
    for (MSIHANDLE h : {record, view})
        if (h != 0)
            MsiCloseHandle(h);
    return value;
}

Package ReadPackage(const std::string &dir)
{
    Package p;
    const std::vector<std::string> found = FilesIn(dir, "*.msi");
    if (found.size() != 1)
        return p;
    p.path = dir + "\\" + found[0];
    MSIHANDLE db = 0;
    if (MsiOpenDatabaseA(p.path.c_str(), MSIDBOPEN_READONLY, &db) == ERROR_SUCCESS) {
        p.productCode = Property(db, "ProductCode");
        p.upgradeCode = Property(db, "UpgradeCode");
        p.version = Property(db, "ProductVersion");
        MsiCloseHandle(db);
    }
    return p;
}

std::string WithoutTrailingSlash(std::string dir)
{
    while (dir.size() > 3 && dir.back() == '\\')
        dir.pop_back();
    return dir;
}

std::string SystemFolder()
{
    char dir[MAX_PATH] = "";
    GetSystemDirectoryA(dir, MAX_PATH);
    return dir;
}

std::string Expand(const char *text)
{
    char out[MAX_PATH] = "";
    ExpandEnvironmentStringsA(text, out, MAX_PATH);
    return out;
}

// The family's installed products (either width, any version).
std::vector<std::string> InstalledOfFamily(const std::string &upgradeCode)
{
    std::vector<std::string> products;
    char product[39];
    for (DWORD i = 0; MsiEnumRelatedProductsA(upgradeCode.c_str(), 0, i, product) == ERROR_SUCCESS; ++i)
        products.push_back(product);
    return products;
}

std::string Joined(const std::vector<std::string> &items, const char *separator = ", ")
{
    std::string all;
    for (const std::string &item : items)
        all += (all.empty() ? "" : separator) + item;
    return all.empty() ? "none" : all;
}

}  // namespace

std::string List(const std::vector<Agent> &agents)
{
    std::vector<std::string> items;
    for (const Agent &a : agents)
        items.push_back(std::to_string(a.pid) + " (image " + a.checksum + ")");
    return Joined(items);
}

namespace {

// The log's lines of the custom actions, to print beside a failed check.
std::string ActionLines(const std::string &log)
{
    std::string lines;
    for (const std::string &line : SplitLines(log))
        if (line.find("StartAgent:") != std::string::npos || line.find("StopAgents:") != std::string::npos)
            lines += "\n    " + line;
    return lines.empty() ? " (none)" : lines;
}

HANDLE g_interruptEvent;
volatile LONG g_interrupted;

BOOL WINAPI OnCtrl(DWORD)
{
    InterlockedExchange(&g_interrupted, 1);
    return TRUE;  // the step under way finishes; the cases stop after it
}

}  // namespace

void ParseOptions(int argc, char **argv)
{
    g_packagesDir = ProgramDir() + "..\\packages";
    g_logDir = Exists(ProgramDir() + "..\\logs") ? ProgramDir() + "..\\logs" : MakeTempDir("ostrel-package-logs");
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option.rfind("--packages=", 0) == 0)
            g_packagesDir = option.substr(11);
        else if (option.rfind("--logs=", 0) == 0)
            g_logDir = option.substr(7);
    }
    CreateDirectoryA(g_logDir.c_str(), NULL);
    for (std::string *dir : {&g_packagesDir, &g_logDir}) {
        char full[MAX_PATH] = "";
        const DWORD length = GetFullPathNameA(dir->c_str(), sizeof full, full, NULL);
        if (length > 0 && length < sizeof full)
            *dir = full;
    }
}

const Packages &TestPackages()
{
    static const Packages packages = {ReadPackage(g_packagesDir + "\\released"), ReadPackage(g_packagesDir + "\\current"),
                                      ReadPackage(g_packagesDir + "\\next"), ReadPackage(g_packagesDir + "\\failing"),
                                      ReadPackage(g_packagesDir + "\\signed")};
    return packages;
}

bool MsiRun::Logged(const std::string &text) const { return Lower(log).find(Lower(text)) != std::string::npos; }

bool MsiRun::LoggedBeforeAction(const std::string &text, const std::string &action) const
{
    const size_t at = Lower(log).find(Lower(text));
    for (size_t line = 0; at != std::string::npos && line < log.size(); line = log.find('\n', line) + 1) {
        const std::string current = log.substr(line, log.find('\n', line) - line);
        if (current.rfind("Action start", 0) == 0 && current.find(": " + action) != std::string::npos)
            return at < line;
        if (log.find('\n', line) == std::string::npos)
            break;
    }
    return false;
}

std::vector<DWORD> SignedInSessions()
{
    std::vector<DWORD> sessions;
    WTS_SESSION_INFOA *info = NULL;
    DWORD count = 0;
    std::vector<DWORD> candidates;
    if (WTSEnumerateSessionsA(WTS_CURRENT_SERVER_HANDLE, 0, 1, &info, &count)) {
        for (DWORD i = 0; i < count; ++i)
            candidates.push_back(info[i].SessionId);
        WTSFreeMemory(info);
    }
    candidates.push_back(WTSGetActiveConsoleSessionId());
    for (DWORD session : candidates) {
        char *user = NULL;
        DWORD bytes = 0;
        if (session != 0xFFFFFFFF &&
            WTSQuerySessionInformationA(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, &user, &bytes)) {
            if (user != NULL && user[0] != '\0' && std::find(sessions.begin(), sessions.end(), session) == sessions.end())
                sessions.push_back(session);
            WTSFreeMemory(user);
        }
    }
    std::sort(sessions.begin(), sessions.end());
    return sessions;
}

void WatchForInterruption()
{
    SetConsoleCtrlHandler(OnCtrl, TRUE);
    char name[256] = "";
    if (GetEnvironmentVariableA("OSTREL_KIT_INTERRUPT", name, sizeof name) > 0 && name[0] != '\0')
        g_interruptEvent = OpenEventA(SYNCHRONIZE, FALSE, name);
}

bool Interrupted()
{
    return g_interrupted != 0 ||
           (g_interruptEvent != NULL && WaitForSingleObject(g_interruptEvent, 0) == WAIT_OBJECT_0);
}

/* ------------------------------------------------------------ the fixture */

void PackageLife::SetUp()
{
    if (Interrupted())
        GTEST_SKIP() << "the run was interrupted";
    agentView_ = sizeof(void *) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    const Packages &p = TestPackages();
    ASSERT_TRUE(!p.released.productCode.empty() && !p.current.productCode.empty() && !p.next.productCode.empty() &&
                !p.failing.productCode.empty() && !p.signedCurrent.productCode.empty())
        << "the packages in " << g_packagesDir
        << " (released, current, next, failing, signed, one .msi each) are not all there";
    const std::vector<std::string> installed = InstalledOfFamily(p.current.upgradeCode);
    if (!installed.empty() || Exists(InstallDir()))
        FAIL() << (g_ranOnce ? "left installed by the case before, whose clean-up failed: "
                             : "Ostrel Agent is installed on this machine, and it is left alone (the package's life "
                               "is not tried): ")
               << Joined(installed) << (Exists(InstallDir()) ? "; the folder " + InstallDir() + " exists" : "");
    const std::vector<Agent> running = AgentsNow();
    ASSERT_TRUE(running.empty()) << "agents of " << AgentFile() << " run before the case: " << List(running);
    cleanStart_ = g_ranOnce = true;
    const std::string base = Expand("%SystemDrive%\\Ostrel Package Test");
    RemoveTree(base);
    CreateDirectoryA(base.c_str(), NULL);
    productDir_ = MakeProductDir(base, "Ostrel Product", true, false);
    ASSERT_FALSE(productDir_.empty()) << "cannot put the recorder in " << base;
    ASSERT_TRUE(WriteInstallDirText(productDir_, agentView_)) << "cannot write the product's InstallDir";
}

void PackageLife::RemoveFamily()
{
    for (const std::string &product : InstalledOfFamily(TestPackages().current.upgradeCode)) {
        const MsiRun run = Msiexec("/x " + product, "clean-up", true);
        EXPECT_TRUE(run.exitCode == kSuccess || run.exitCode == kRestartNeeded)
            << "removing " << product << " exited " << run.exitCode << " (" << run.logPath << ")";
    }
}

void PackageLife::TearDown()
{
    if (!cleanStart_)
        return;  // a machine's own installation, or no packages: nothing of ours to remove
    for (DWORD pid : startedElsewhere_) {
        HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (h != NULL) {
            TerminateProcess(h, 0xDEAD);
            WaitForSingleObject(h, kWaitMs);
            CloseHandle(h);
        }
    }
    RemoveFamily();
    EXPECT_EQ(Joined(InstalledOfFamily(TestPackages().current.upgradeCode)), "none")
        << "still installed after the clean-up";
    ExpectNothingLeft();
    Agents(0);
    RemoveProductKey();
    RemoveTree(Expand("%SystemDrive%\\Ostrel Package Test"));
}

MsiRun PackageLife::Msiexec(const std::string &arguments, const std::string &step, bool evenIfInterrupted)
{
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    MsiRun run;
    if (Interrupted() && !evenIfInterrupted) {
        // The step under way has finished; only the clean-up runs now.
        run.exitCode = ERROR_INSTALL_USEREXIT;
        printf("  msiexec %s: not run, the run was interrupted\n", arguments.c_str());
        return run;
    }
    // A parameterised case's name holds a slash.
    std::string name = info->name();
    std::replace(name.begin(), name.end(), '/', '-');
    run.logPath = g_logDir + "\\" + name + "-" + step + ".log";
    DeleteFileA(run.logPath.c_str());
    const ULONGLONG start = GetTickCount64();
    const Captured msiexec = RunCaptured(SystemFolder() + "\\msiexec.exe",
                                         arguments + " /qn /norestart /l*v " + Quote(run.logPath), kMsiTimeoutMs);
    run.seconds = (GetTickCount64() - start) / 1000.0;
    run.finished = msiexec.finished;
    run.exitCode = msiexec.finished ? msiexec.exitCode : STILL_ACTIVE;
    std::string bytes = ReadFileText(run.logPath);
    // Windows writes the log in the ANSI code page, or UTF-16 with a mark.
    if (bytes.size() >= 2 && (BYTE)bytes[0] == 0xFF && (BYTE)bytes[1] == 0xFE) {
        const std::wstring wide((const wchar_t *)(bytes.data() + 2), (bytes.size() - 2) / 2);
        std::vector<char> ansi(wide.size() * 2 + 1);
        const int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), (int)wide.size(), ansi.data(), (int)ansi.size(),
                                          NULL, NULL);
        bytes.assign(ansi.data(), n > 0 ? n : 0);
    }
    run.log = bytes;
    printf("  msiexec %s: exit code %lu, %.2f s (%s)\n", arguments.c_str(), run.exitCode, run.seconds,
           run.logPath.c_str());
    return run;
}

MsiRun PackageLife::Install(const Package &package, const std::string &step, const std::string &properties)
{
    MsiRun run = Msiexec("/i " + Quote(package.path) + (properties.empty() ? "" : " " + properties), step);
    EXPECT_EQ(run.exitCode, kSuccess) << "installing " << package.path << " " << properties << " (" << run.logPath
                                      << "); the custom actions logged:" << ActionLines(run.log);
    return run;
}

namespace {
// session-tool's "PID CHECKSUM" lines.
std::vector<Agent> ParseAgents(const std::string &out)
{
    std::vector<Agent> agents;
    for (const std::string &line : SplitLines(out)) {
        const size_t space = line.find(' ');
        agents.push_back({(DWORD)strtoul(line.c_str(), NULL, 10), space == std::string::npos ? "" : line.substr(space + 1)});
    }
    return agents;
}
}  // namespace

std::vector<Agent> PackageLife::AgentsNow()
{
    return ParseAgents(RunCaptured(ProgramDir() + "session-tool.exe", "images " + Quote(AgentFile()), kWaitMs * 2).out);
}

std::vector<Agent> PackageLife::Agents(size_t count)
{
    // session-tool waits (bounded) for that count, then lists what runs.
    const Captured waited = RunCaptured(ProgramDir() + "session-tool.exe",
                                        "images " + Quote(AgentFile()) + " " + std::to_string(count), kWaitMs * 2);
    const std::vector<Agent> agents = ParseAgents(waited.out);
    EXPECT_TRUE(waited.finished && waited.exitCode == 0)
        << "expected " << count << " agent(s) of " << AgentFile() << " to run; running: " << List(agents);
    return agents;
}

void PackageLife::ExpectStartedInEverySession(const MsiRun &run, const std::vector<Agent> &before)
{
    const std::vector<DWORD> sessions = SignedInSessions();
    ASSERT_FALSE(sessions.empty()) << "no session with a signed-in user was found: no agent is expected to start";
    const std::vector<Agent> agents = Agents(sessions.size());
    std::vector<DWORD> agentSessions;
    for (const Agent &agent : agents) {
        DWORD session = 0xFFFFFFFF;
        ProcessIdToSessionId(agent.pid, &session);
        agentSessions.push_back(session);
        EXPECT_EQ(agent.checksum, FileChecksum()) << "agent " << agent.pid << " is not started from the installed file";
        EXPECT_TRUE(std::find_if(before.begin(), before.end(), [&](const Agent &a) { return a.pid == agent.pid; }) ==
                    before.end())
            << "agent " << agent.pid << " ran before the step: no new agent";
        EXPECT_EQ(Lower(WithoutTrailingSlash(CurrentDirectoryOf(agent.pid))), Lower(SystemFolder()))
            << "agent " << agent.pid << "'s current directory is not the system folder";
        const std::string line = "StartAgent: session " + std::to_string(session) + ": started " + AgentFile() +
                                 ", process " + std::to_string(agent.pid);
        EXPECT_TRUE(run.Logged(line))
            << "expected in " << run.logPath << ": " << line << "\n  the custom actions logged:" << ActionLines(run.log);
    }
    std::sort(agentSessions.begin(), agentSessions.end());
    EXPECT_EQ(agentSessions, sessions) << "one agent in each session with a signed-in user (sessions of the agents "
                                       << List(agents) << ")";
}

void PackageLife::ExpectLaunchStartsProduct(DWORD agentPid)
{
    const std::string log = productDir_ + "\\" + kPrimaryProgram + ".log";
    DeleteFileA(log.c_str());
    DWORD answer = 0;
    ASSERT_EQ(HidSendEvent(agentPid, HID_EVENT_LAUNCH, &answer, kWaitMs), (DWORD)ERROR_SUCCESS)
        << "the launch event could not be delivered to agent " << agentPid;
    std::vector<Record> records;
    for (const ULONGLONG start = GetTickCount64(); records.empty() && GetTickCount64() - start < kWaitMs; Sleep(50))
        records = ReadRecords(log);
    EXPECT_TRUE(StartedExactly("the installed agent's launch", {ProductStart(productDir_, kPrimaryProgram)}, records));
}

DWORD PackageLife::StartElsewhere(const std::string &desktop, bool suspended)
{
    const Captured started = RunCaptured(ProgramDir() + "session-tool.exe",
                                         "start " + desktop + (suspended ? " --suspended " : " ") + Quote(AgentFile()));
    const DWORD pid = (DWORD)strtoul(started.out.c_str(), NULL, 10);
    EXPECT_TRUE(started.finished && started.exitCode == 0 && pid != 0)
        << "session-tool could not start an agent on the desktop " << desktop << ": " << started.err;
    if (pid != 0)
        startedElsewhere_.push_back(pid);
    return pid;
}

/* ------------------------------------------------------------ what is installed */

std::string PackageLife::InstallDir() const { return Expand("%ProgramFiles%") + "\\Ostrel Agent"; }

std::string PackageLife::FileChecksum() const
{
    // The checksum sits at the same offset of PE32 and PE32+ headers.
    const std::string bytes = ReadFileText(AgentFile());
    if (bytes.size() < 0x40)
        return "";
    const DWORD peOffset = *(const DWORD *)(bytes.data() + 0x3C);
    const size_t at = peOffset + 4 + sizeof(IMAGE_FILE_HEADER) + 64;
    if (at + 4 > bytes.size())
        return "";
    char text[16];
    snprintf(text, sizeof text, "%08lx", (unsigned long)*(const DWORD *)(bytes.data() + at));
    return text;
}

std::vector<std::string> PackageLife::InstalledFiles() const
{
    std::vector<std::string> names = FilesIn(InstallDir(), "*");
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const std::string &n) { return n == "." || n == ".."; }),
                names.end());
    return names;
}

std::string PackageLife::RunValue(REGSAM view) const
{
    char value[MAX_PATH * 2] = "";
    DWORD size = sizeof value;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_QUERY_VALUE | (view != 0 ? view : agentView_), &key) !=
        ERROR_SUCCESS)
        return "";
    if (RegQueryValueExA(key, kRunValue, NULL, NULL, (BYTE *)value, &size) != ERROR_SUCCESS)
        value[0] = '\0';
    RegCloseKey(key);
    return value;
}

std::string PackageLife::RegisteredVersion(const Package &package) const
{
    char version[64] = "";
    DWORD size = sizeof version;
    if (MsiGetProductInfoA(package.productCode.c_str(), INSTALLPROPERTY_VERSIONSTRING, version, &size) != ERROR_SUCCESS)
        return "";
    return version;
}

std::string PackageLife::InstalledState() const
{
    std::string state = "Run value " + RunValue() + "\n";
    for (const std::string &name : InstalledFiles())
        state += name + ": " + std::to_string(ReadFileText(InstallDir() + "\\" + name).size()) + " bytes, " +
                 std::to_string(std::hash<std::string>()(ReadFileText(InstallDir() + "\\" + name))) + "\n";
    return state;
}

void PackageLife::ExpectNothingLeft() const
{
    EXPECT_FALSE(Exists(InstallDir())) << InstallDir() << " is still there, holding: " << Joined(InstalledFiles());
    EXPECT_EQ(RunValue(), "") << "the Run value is still there";
}

void PackageLife::ExpectProductUntouched() const
{
    char dir[MAX_PATH] = "";
    DWORD size = sizeof dir;
    RegGetValueA(HKEY_LOCAL_MACHINE, kProductKey, kInstallDirValue, RRF_RT_REG_SZ | (agentView_ == KEY_WOW64_32KEY
                                                                                       ? RRF_SUBKEY_WOW6432KEY
                                                                                       : RRF_SUBKEY_WOW6464KEY),
                 NULL, dir, &size);
    EXPECT_EQ(std::string(dir), productDir_) << "the product's InstallDir changed";
    EXPECT_TRUE(Exists(productDir_ + "\\" + kPrimaryProgram)) << "the product's folder lost its program";
}

}  // namespace package
