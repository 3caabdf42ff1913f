/*
 * What the package's life test reads of the machine (package_fixture.h):
 * its options and packages, msiexec's logs, the sessions, an interruption,
 * and what is installed, read as the agent and Windows Installer read it.
 */
#include "package_fixture.h"

#include <msi.h>
#include <msiquery.h>
#include <wtsapi32.h>

#include <algorithm>
#include <functional>

using namespace harness;

namespace package {

namespace {

const char *const kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char *const kRunValue = "OstrelAgent";

std::string g_packagesDir, g_logDir;

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

HANDLE g_interruptEvent;
volatile LONG g_interrupted;

BOOL WINAPI OnCtrl(DWORD)
{
    InterlockedExchange(&g_interrupted, 1);
    return TRUE;  // the step under way finishes; the cases stop after it
}

}  // namespace

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

std::string Joined(const std::vector<std::string> &items, const char *separator)
{
    std::string all;
    for (const std::string &item : items)
        all += (all.empty() ? "" : separator) + item;
    return all.empty() ? "none" : all;
}

std::string List(const std::vector<Agent> &agents)
{
    std::vector<std::string> items;
    for (const Agent &a : agents)
        items.push_back(std::to_string(a.pid) + " (image " + a.checksum + ")");
    return Joined(items);
}

const std::string &PackagesDir() { return g_packagesDir; }
const std::string &LogDir() { return g_logDir; }

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

std::string MsiRun::ActionLines() const
{
    std::string lines;
    for (const std::string &line : SplitLines(log))
        if (line.find("StartAgent:") != std::string::npos || line.find("StopAgents:") != std::string::npos)
            lines += "\n    " + line;
    return lines.empty() ? " (none)" : lines;
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
