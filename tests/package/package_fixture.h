/*
 * The package's life test: its fixture and what its cases look at.  Every
 * case starts from a machine where nothing of the package's family is
 * installed and no agent of the installation runs, installs what it needs,
 * and leaves the machine so: its tear-down removes whatever of the family
 * is installed (by the package's UpgradeCode, whichever step failed) and
 * ends the agents the case itself started.  A machine that has the family
 * installed before the first case is left alone: every case fails at once,
 * saying so, and nothing is installed or removed.
 *
 * The packages are built by the build (tests/package/CMakeLists.txt), in
 * a folder PACKAGES with one package in each of released\ (1.0.0, as
 * shipped), current\, next\ (the next build number), failing\ (a step
 * after StartAgent fails) and signed\ (the current version signed with the
 * tests' throwaway key).  The program's options:
 *   --packages=DIR  default: ..\packages beside the program's folder
 *   --logs=DIR      msiexec's verbose logs, one per step; default ..\logs
 *                   where that exists (the kit), else the temporary folder
 */
#ifndef PACKAGE_FIXTURE_H
#define PACKAGE_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent_harness.h"

namespace package {

// Windows Installer's exit codes that the cases expect.
const DWORD kSuccess = 0;
const DWORD kRestartNeeded = 3010;  // ERROR_SUCCESS_REBOOT_REQUIRED
const DWORD kInstallFailure = 1603;
const DWORD kFunctionFailed = 1627;  // Wine's code for a custom action that failed

struct Package {
    std::string path;
    std::string productCode;
    std::string upgradeCode;
    std::string version;  // ProductVersion
};
struct Packages {
    Package released, current, next, failing, signedCurrent;
};
// Read once, from the folder the options name; ok false says what is missing.
const Packages &TestPackages();
void ParseOptions(int argc, char **argv);

// One msiexec run: its exit code, its verbose log, how long it took.
struct MsiRun {
    DWORD exitCode = 0;
    bool finished = false;
    double seconds = 0;
    std::string logPath;
    std::string log;
    // Whether the log has text (case aside: paths are logged as Windows
    // Installer spells them), and has it before the line that starts action.
    bool Logged(const std::string &text) const;
    bool LoggedBeforeAction(const std::string &text, const std::string &action) const;
    // The log's lines of the custom actions, to print beside a failed check
    // (the log itself is overwritten by the next run).
    std::string ActionLines() const;
};

// One running agent of the installed path, as session-tool lists it.
struct Agent {
    DWORD pid;
    std::string checksum;  // the PE checksum of the image it was started from
    bool operator==(const Agent &o) const { return pid == o.pid && checksum == o.checksum; }
};

// "PID (image CHECKSUM), ...", or "none".
std::string List(const std::vector<Agent> &agents);
// What the cases share of the machine (package_machine.cpp): items joined,
// or "none"; the family's installed products (either width, any version);
// the folders of the packages and of the logs; the system folder,
// environment text expanded, a folder without its trailing backslash.
std::string Joined(const std::vector<std::string> &items, const char *separator = ", ");
std::vector<std::string> InstalledOfFamily(const std::string &upgradeCode);
const std::string &PackagesDir();
const std::string &LogDir();
std::string SystemFolder();
std::string Expand(const char *text);
std::string WithoutTrailingSlash(std::string dir);

// The sessions with a signed-in user: the enumerated ones whose user name
// is not empty, and the active console session when someone is signed in
// there; sorted.
std::vector<DWORD> SignedInSessions();

// True once the run is to stop (Ctrl+C here, or the kit runner's
// interruption event, named by OSTREL_KIT_INTERRUPT): the step under way
// finishes, what it installed is removed, no further case runs.
bool Interrupted();
void WatchForInterruption();

class PackageLife : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // msiexec ARGUMENTS /qn /norestart /l*v <log of this case's step>,
    // started by CreateProcess with exactly that command line; once the run
    // is interrupted, not started (exit code 1602) unless it is the
    // clean-up's.
    MsiRun Msiexec(const std::string &arguments, const std::string &step, bool evenIfInterrupted = false);
    // Installs a package (with extra properties) and expects exit code 0.
    MsiRun Install(const Package &package, const std::string &step, const std::string &properties = "");

    // Waits (session-tool, bounded) until exactly count agents of the
    // installation run, and lists them; ADD_FAILURE with the list when that
    // never happens.
    std::vector<Agent> Agents(size_t count);
    std::vector<Agent> AgentsNow();
    // The one agent expected after a start in every signed-in session: one
    // per session, each named by the log's StartAgent line for its session,
    // started from the installed file, in the system folder, none of them
    // one of before.
    void ExpectStartedInEverySession(const MsiRun &run, const std::vector<Agent> &before = {});
    // A launch event starts the product's program there (the recorder).
    void ExpectLaunchStartsProduct(DWORD agentPid);
    // An agent started, through session-tool, on another desktop (out of a
    // window lookup's reach, as in another session), suspended if asked;
    // the tear-down ends it if it is still there.
    DWORD StartElsewhere(const std::string &desktop, bool suspended);

    // What is installed, read as the agent and Windows Installer read it.
    std::string InstallDir() const;  // Program Files (of the agent's width)\Ostrel Agent
    std::string AgentFile() const { return InstallDir() + "\\agent.exe"; }
    std::string FileChecksum() const;  // of the installed agent.exe
    std::vector<std::string> InstalledFiles() const;
    // The Run value in view (0: the agent's own); "" when absent.
    std::string RunValue(REGSAM view = 0) const;
    std::string ExpectedRunValue() const { return harness::Quote(AgentFile()); }
    // What Windows Installer has registered of a package ("" when not).
    std::string RegisteredVersion(const Package &package) const;
    // Files' bytes and the Run value, to compare a step's before and after.
    std::string InstalledState() const;
    // Nothing of the installation is left: no folder, no Run value.
    void ExpectNothingLeft() const;
    void ExpectProductUntouched() const;

    std::string productDir_;
    REGSAM agentView_ = 0;

private:
    void RemoveFamily();
    bool cleanStart_ = false;
    std::vector<DWORD> startedElsewhere_;
};

}  // namespace package

#endif
