/*
 * The package's life on the kit's machine: the released 1.0.0 package
 * installed, this version's package installed over it (the 1.0.0 agent
 * must end, and where the desktop has a shell a new agent from the new file
 * must start), then uninstalled (no agent, no folder left).  Tried only
 * where no product of the package's family (its UpgradeCode, shared by
 * every version and both widths) is installed: a test machine's own
 * installation is left alone.  So whatever of the family is installed
 * afterwards is the run's own, left by a step that failed or was
 * interrupted, and it is removed.
 */
#include "kit_runner.h"

#include <msi.h>
#include <msiquery.h>

#include <algorithm>

using namespace harness;

namespace {

const DWORD kMsiTimeoutMs = 5 * 60 * 1000;
const DWORD ERROR_SUCCESS_REBOOT_REQUIRED_ = 3010;

// The package in dir that is (or is not) the released 1.0.0 one.
std::string Package(const std::string &dir, bool released)
{
    for (const std::string &name : FilesIn(dir, "*.msi"))
        if ((name.find("-1.0.0-") != std::string::npos) == released)
            return dir + "\\" + name;
    return "";
}

// msiexec ARGS /qn /norestart with a verbose log; 0 and 3010 (a restart is
// needed to finish) are success.
bool Msiexec(const std::string &args, const std::string &log)
{
    char system[MAX_PATH];
    GetSystemDirectoryA(system, MAX_PATH);
    const Captured run =
        RunCaptured(std::string(system) + "\\msiexec.exe", args + " /qn /norestart /l*v " + Quote(log), kMsiTimeoutMs);
    return run.finished && (run.exitCode == 0 || run.exitCode == ERROR_SUCCESS_REBOOT_REQUIRED_);
}

// Waits, through session-tool, until exactly count agents of path run, and
// gives their "PID CHECKSUM" lines; false when that never happened.
bool Agents(const std::string &path, int count, std::vector<std::string> *lines)
{
    const Captured run =
        RunCaptured(ProgramDir() + "session-tool.exe", "images " + Quote(path) + " " + std::to_string(count), 20000);
    *lines = SplitLines(run.out);
    return run.finished && run.exitCode == 0;
}

// The package's UpgradeCode, from its Property table ("" when unreadable).
std::string UpgradeCode(const std::string &package)
{
    MSIHANDLE db = 0, view = 0, record = 0;
    char code[64] = "";
    DWORD size = sizeof code;
    if (MsiOpenDatabaseA(package.c_str(), MSIDBOPEN_READONLY, &db) == ERROR_SUCCESS &&
        MsiDatabaseOpenViewA(db, "SELECT `Value` FROM `Property` WHERE `Property` = 'UpgradeCode'", &view) ==
            ERROR_SUCCESS &&
        MsiViewExecute(view, 0) == ERROR_SUCCESS && MsiViewFetch(view, &record) == ERROR_SUCCESS)
        MsiRecordGetStringA(record, 1, code, &size);
    for (MSIHANDLE h : {record, view, db})
        if (h != 0)
            MsiCloseHandle(h);
    return code;
}

// The product codes of the family's installed products, of either width.
std::vector<std::string> Installed(const std::string &upgradeCode)
{
    std::vector<std::string> products;
    char product[39];
    for (DWORD i = 0; MsiEnumRelatedProductsA(upgradeCode.c_str(), 0, i, product) == ERROR_SUCCESS; ++i)
        products.push_back(product);
    return products;
}

std::string FileVersion(const std::string &path)
{
    DWORD ignored, size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    std::vector<BYTE> data(size);
    VS_FIXEDFILEINFO *info = NULL;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoA(path.c_str(), 0, size, data.data()) ||
        !VerQueryValueA(data.data(), "\\", (void **)&info, &length) || info == NULL)
        return "";
    return std::to_string(HIWORD(info->dwFileVersionMS)) + "." + std::to_string(LOWORD(info->dwFileVersionMS)) + "." +
           std::to_string(HIWORD(info->dwFileVersionLS));
}

// Install 1.0.0, upgrade, uninstall, each checked; stops at an interruption.
void Steps(ResultFn result, const std::string &released, const std::string &current, const std::string &installDir,
           const std::string &logDir)
{
    const std::string agent = installDir + "\\agent.exe";
    result(Msiexec("/i " + Quote(released), logDir + "\\install-1.0.0.log") && Exists(agent),
           "package: 1.0.0 installs (logs\\install-1.0.0.log)");
    std::vector<std::string> old, now;
    const bool oldRuns = Agents(agent, 1, &old);
    result(oldRuns, "package: the 1.0.0 agent runs: " + (old.empty() ? "none" : old[0]));
    if (Interrupted())
        return;

    result(Msiexec("/i " + Quote(current), logDir + "\\upgrade.log"),
           "package: the current version installs over 1.0.0 (logs\\upgrade.log)");
    const std::string version = FileVersion(ShippedPath("agent.exe"));
    result(!version.empty() && FileVersion(agent) == version, "package: the installed agent.exe is version " + version);
    // Where the desktop has a shell, the interactive user's agent is started
    // again; without one (as in session 0) it comes at the next logon.
    const bool shell = GetShellWindow() != NULL;
    const bool counted = Agents(agent, shell ? 1 : 0, &now);
    const bool oldEnded = old.size() == 1 && std::find(now.begin(), now.end(), old[0]) == now.end();
    result(counted && oldEnded,
           std::string("package: the 1.0.0 agent ended, ") + (shell ? "one new agent runs" : "no shell, so none started"));
    if (Interrupted())
        return;

    result(Msiexec("/x " + Quote(current), logDir + "\\uninstall.log") && Agents(agent, 0, &now) &&
               !Exists(installDir),
           "package: it uninstalls, no agent and no folder left (logs\\uninstall.log)");
}

}  // namespace

void RunPackageLife(ResultFn result, const std::string &kitDir, const std::string &logDir)
{
    char programFiles[MAX_PATH] = "";
    ExpandEnvironmentStringsA("%ProgramFiles%", programFiles, MAX_PATH);
    const std::string installDir = std::string(programFiles) + "\\Ostrel Agent";
    const std::string released = Package(kitDir + "\\packages", true);
    const std::string current = Package(kitDir + "\\packages", false);
    const std::string family = current.empty() ? "" : UpgradeCode(current);
    if (released.empty() || family.empty()) {
        result(false, "package: the kit's packages\\ folder lacks the 1.0.0 package or a readable current one");
        return;
    }
    const std::vector<std::string> before = Installed(family);
    if (!before.empty() || Exists(installDir)) {
        result(false, "package: Ostrel Agent is installed here (" + (before.empty() ? installDir : before[0]) +
                          "): it is left alone, the package's life not tried");
        return;
    }
    Steps(result, released, current, installDir, logDir);
    for (const std::string &product : Installed(family)) {
        result(false, "package: " + product + " is still installed after the steps above");
        result(Msiexec("/x " + product, logDir + "\\clean-up.log"),
               "package: " + product + " removed (logs\\clean-up.log)");
    }
}
