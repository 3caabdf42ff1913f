/*
 * The package's life through the real msiexec, silently, one verbose log
 * per step: install, reinstall, repair, upgrade, refused downgrade,
 * uninstall, an install that starts nothing, and the clean-up that leaves
 * nothing installed.  Each case installs what it stands on.
 */
#include "package_fixture.h"

using namespace harness;
using namespace package;

namespace {
const Packages &P() { return TestPackages(); }

std::vector<std::string> ExpectedFiles() { return {"HIDUSB.dll", "agent.exe"}; }
}  // namespace

// What a default install leaves: the two files in the agent's Program
// Files (Program Files (x86) for the 32-bit agent on 64-bit Windows), the
// Run value in the agent's registry view only, one agent in every session
// with a signed-in user, and that agent serving the device's launch.
TEST_F(PackageLife, Install)
{
    const MsiRun run = Install(P().current, "install");
    EXPECT_EQ(InstalledFiles(), ExpectedFiles()) << "in " << InstallDir();
    EXPECT_EQ(RunValue(), ExpectedRunValue()) << "the Run value, in the agent's registry view";
    if (UnderWow64()) {
        EXPECT_NE(Lower(InstallDir()).find("\\program files (x86)\\"), std::string::npos)
            << "the 32-bit agent on 64-bit Windows belongs in Program Files (x86), not " << InstallDir();
        char native[MAX_PATH] = "";
        ExpandEnvironmentStringsA("%ProgramW6432%\\Ostrel Agent", native, MAX_PATH);
        EXPECT_FALSE(Exists(native)) << "installed into the 64-bit Program Files";
        EXPECT_EQ(RunValue(KEY_WOW64_64KEY), "") << "the Run value written in the 64-bit view";
    }
    EXPECT_EQ(RegisteredVersion(P().current), P().current.version);
    ExpectStartedInEverySession(run);
    const std::vector<Agent> agents = AgentsNow();
    if (!agents.empty())
        ExpectLaunchStartsProduct(agents[0].pid);
}

// The same version again: a maintenance run that changes nothing, stops
// no agent and starts none beside the one there.
TEST_F(PackageLife, Reinstall)
{
    Install(P().current, "install");
    const std::vector<Agent> before = Agents(1);
    const std::string state = InstalledState();
    const MsiRun run = Install(P().current, "reinstall");
    EXPECT_EQ(InstalledState(), state) << "files or Run value changed";
    EXPECT_FALSE(run.Logged("StopAgents: asked")) << "an agent was asked to quit (" << run.logPath << ")";
    EXPECT_EQ(List(Agents(1)), List(before)) << "not the same agent";
    if (!before.empty()) {
        const std::string line = "an agent already runs there (process " + std::to_string(before[0].pid) + ")";
        EXPECT_TRUE(run.Logged(line)) << "expected in " << run.logPath << ": StartAgent: session N: " << line;
    }
}

// A repair that replaces every file (REINSTALLMODE a), as msiexec /fa does
// (Wine's msiexec does not take /f): the agent quits first, a new one runs.
TEST_F(PackageLife, Repair)
{
    Install(P().current, "install");
    const std::vector<Agent> before = Agents(1);
    const MsiRun run = Install(P().current, "repair", "REINSTALL=ALL REINSTALLMODE=amus");
    for (const Agent &agent : before)
        EXPECT_TRUE(run.Logged("StopAgents: agent " + std::to_string(agent.pid) + " quit"))
            << "agent " << agent.pid << " did not quit before the files were checked (" << run.logPath << ")";
    ExpectStartedInEverySession(run, before);
}

// The next version over this one: it replaces it in place, ends the old
// agent and starts one from the new files.
TEST_F(PackageLife, Upgrade)
{
    Install(P().current, "install");
    const std::vector<Agent> before = Agents(1);
    const MsiRun run = Install(P().next, "upgrade");
    EXPECT_EQ(RegisteredVersion(P().next), P().next.version);
    EXPECT_EQ(RegisteredVersion(P().current), "") << "the upgraded version is still registered";
    EXPECT_EQ(InstalledFiles(), ExpectedFiles());
    EXPECT_EQ(RunValue(), ExpectedRunValue());
    for (const Agent &agent : before)
        EXPECT_TRUE(run.Logged("StopAgents: agent " + std::to_string(agent.pid) + " quit"))
            << "the old agent " << agent.pid << " did not quit (" << run.logPath << ")";
    ExpectStartedInEverySession(run, before);
    const std::vector<Agent> agents = AgentsNow();
    if (!agents.empty())
        ExpectLaunchStartsProduct(agents[0].pid);
}

// An older package over a newer one is refused and changes nothing.
TEST_F(PackageLife, RefusedDowngrade)
{
    Install(P().next, "install-next");
    const std::vector<Agent> before = Agents(1);
    const MsiRun run = Msiexec("/i " + Quote(P().current.path), "downgrade");
    EXPECT_EQ(run.exitCode, kInstallFailure) << "installing " << P().current.version << " over " << P().next.version;
    EXPECT_EQ(RegisteredVersion(P().next), P().next.version) << "the newer version is no longer registered";
    EXPECT_EQ(InstalledFiles(), ExpectedFiles());
    EXPECT_EQ(RunValue(), ExpectedRunValue());
    EXPECT_EQ(List(Agents(1)), List(before)) << "not the same agent";
}

// Uninstall: the agent quits, nothing of the installation is left, and
// the product's own key and folder stay.
TEST_F(PackageLife, Uninstall)
{
    Install(P().current, "install");
    const std::vector<Agent> before = Agents(1);
    const MsiRun run = Msiexec("/x " + Quote(P().current.path), "uninstall");
    EXPECT_EQ(run.exitCode, kSuccess) << run.logPath;
    for (const Agent &agent : before)
        EXPECT_TRUE(run.Logged("StopAgents: agent " + std::to_string(agent.pid) + " quit")) << run.logPath;
    Agents(0);
    ExpectNothingLeft();
    ExpectProductUntouched();
    EXPECT_EQ(RegisteredVersion(P().current), "") << "still registered";
}

// Deployment without a start: nothing starts, and the Run value's command,
// run as a logon runs it, brings the agent up.
TEST_F(PackageLife, NoStartThenTheRunValueStartsIt)
{
    const MsiRun run = Install(P().current, "install", "START_AGENT=0");
    Agents(0);
    EXPECT_FALSE(run.Logged("StartAgent: session")) << "StartAgent started something (" << run.logPath << ")";
    const std::string command = RunValue();
    ASSERT_EQ(command, ExpectedRunValue());
    // The command line exactly as stored; the program is found in it.
    Process logon = Start("", command);
    ASSERT_TRUE(logon.Started()) << "cannot run " << command << " (error " << GetLastError() << ")";
    const std::vector<Agent> agents = Agents(1);
    ASSERT_EQ(agents.size(), 1u);
    EXPECT_EQ(agents[0].pid, logon.Pid());
    EXPECT_EQ(agents[0].checksum, FileChecksum());
}

// What a failed step leaves installed is removed by the clean-up every
// case ends with (the kit relies on it): shown with what a refused
// downgrade leaves, the newer version and its agent.
TEST_F(PackageLife, CleanUpRemovesWhatARunInstalled)
{
    Install(P().next, "install-next");
    EXPECT_EQ(Msiexec("/i " + Quote(P().current.path), "downgrade").exitCode, kInstallFailure);
    TearDown();
    EXPECT_EQ(RegisteredVersion(P().next), "") << "the clean-up left " << P().next.version << " installed";
    EXPECT_TRUE(AgentsNow().empty()) << "the clean-up left an agent running";
}

// An installation that fails after StartAgent rolls back, and the agent it
// started from the files it takes away ends with them (StartAgent.Rollback).
TEST_F(PackageLife, FailureAfterTheStartRollsBack)
{
    const MsiRun run = Msiexec("/i " + Quote(P().failing.path), "install-failing");
    EXPECT_TRUE(run.exitCode == kInstallFailure || run.exitCode == kFunctionFailed)
        << "msiexec exited " << run.exitCode << ", not " << kInstallFailure << " (Wine: " << kFunctionFailed << ")";
    // "StartAgent: session N: started PATH, process PID"
    const size_t at = Lower(run.log).find("startagent: session "), line = run.log.find('\n', at);
    const size_t started = run.log.find(", process ", run.log.find(": started ", at));
    ASSERT_TRUE(at != std::string::npos && started < line)
        << "StartAgent started nothing before the failure (" << run.logPath << ")";
    const DWORD pid = (DWORD)strtoul(run.log.c_str() + started + 10, NULL, 10);
    EXPECT_TRUE(run.Logged("StopAgents: agent " + std::to_string(pid) + " quit") ||
                run.Logged("StopAgents: agent " + std::to_string(pid) + " could not be asked to quit and was ended"))
        << "the rollback did not end agent " << pid << " (" << run.logPath << "); the custom actions logged:"
        << run.ActionLines();
    EXPECT_TRUE(WaitForProcessId(pid)) << "agent " << pid << " still runs after the rollback";
    Agents(0);
    ExpectNothingLeft();
    EXPECT_EQ(RegisteredVersion(P().failing), "") << "registered though it failed";
}
