/*
 * The package's life test's fixture (package_fixture.h): each case's set-up
 * and clean-up, msiexec, and the running agents.
 */
#include "package_fixture.h"

#include <algorithm>
#include <cstdlib>

#include "expect_started.h"

using namespace harness;

namespace package {

namespace {

const DWORD kMsiTimeoutMs = 5 * 60 * 1000;
// Set once a case has found the machine clean: from then on, what a case
// finds installed was left by the one before, not the machine's own.
bool g_ranOnce;
}  // namespace

/* ------------------------------------------------------------ the fixture */

void PackageLife::SetUp()
{
    if (Interrupted())
        GTEST_SKIP() << "the run was interrupted";
    agentView_ = sizeof(void *) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    const Packages &p = TestPackages();
    ASSERT_TRUE(!p.released.productCode.empty() && !p.current.productCode.empty() && !p.next.productCode.empty() &&
                !p.failing.productCode.empty() && !p.signedCurrent.productCode.empty())
        << "the packages in " << PackagesDir()
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
    run.logPath = LogDir() + "\\" + name + "-" + step + ".log";
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
                                      << "); the custom actions logged:" << run.ActionLines();
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
            << "expected in " << run.logPath << ": " << line << "\n  the custom actions logged:" << run.ActionLines();
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
    EXPECT_TRUE(StartedExactly("the installed agent's launch", {ProductStart(productDir_, kPrimaryProgram)},
                               WaitForRecords(log, 1)));
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

}  // namespace package
