/*
 * What the resident agent keeps loaded: the shell is not part of the idle
 * agent, and is loaded only when a launch finds the product not installed
 * and the web site must be opened.  The module list is read from outside
 * the process, as any tool on the desktop would read it.
 *
 * The recorder stands in for the browser (the test bed registers it as the
 * http handler) and logs to the file named by RECORDER_LOG.
 */
#include <gtest/gtest.h>

#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <set>

#include "agent_harness.h"
#include "hidusb_client.h"

using namespace harness;

namespace {

const char kShell[] = "shell32.dll";

// Lower-case base names of the modules loaded in process pid; empty when
// they cannot be read.
std::set<std::string> LoadedModules(DWORD pid)
{
    std::set<std::string> names;
    HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (h == NULL)
        return names;
    HMODULE modules[512];
    DWORD bytes = 0;
    if (EnumProcessModules(h, modules, sizeof modules, &bytes)) {
        const DWORD count = std::min<DWORD>(bytes / sizeof(HMODULE), 512);
        for (DWORD i = 0; i < count; ++i) {
            char name[MAX_PATH] = "";
            if (GetModuleBaseNameA(h, modules[i], name, sizeof name))
                names.insert(Lower(name));
        }
    }
    CloseHandle(h);
    return names;
}

std::string Describe(const std::set<std::string> &names)
{
    std::string s;
    for (const std::string &n : names)
        s += " " + n;
    return s;
}

// True when running under Wine, whose loader takes per-program DLL overrides.
bool UnderWine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != NULL && GetProcAddress(ntdll, "wine_get_version") != NULL;
}

// Wine's per-program load order: an empty entry makes its loader refuse
// the DLL to agent.exe alone.
const char kAgentOverridesKey[] = "Software\\Wine\\AppDefaults\\agent.exe\\DllOverrides";

bool RefuseShellToAgent()
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kAgentOverridesKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL) !=
        ERROR_SUCCESS)
        return false;
    const LONG result = RegSetValueExA(key, "shell32", 0, REG_SZ, (const BYTE *)"", 1);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

void AllowShellToAgent()
{
    // The emptied key is left: it changes nothing, and may hold entries
    // that are not ours.
    RegDeleteKeyValueA(HKEY_CURRENT_USER, kAgentOverridesKey, "shell32");
}

class AgentFootprintTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        StopAllAgents();
        RemoveProductKey();  // not installed: a launch opens the web site
        base_ = MakeTempDir("agent-footprint-test");
        log_ = base_ + "\\recorder.log";
        SetEnvironmentVariableA("RECORDER_LOG", log_.c_str());
    }

    void TearDown() override
    {
        if (agent_.Started() && agent_.Running()) {
            PostThreadMessageA(agent_.pi.dwThreadId, WM_QUIT, 0, 0);
            if (agent_.Wait(5000) == STILL_ACTIVE)
                agent_.Kill();
        }
        StopAllAgents();
        AllowShellToAgent();
        SetEnvironmentVariableA("RECORDER_LOG", NULL);
        RemoveTree(base_);
    }

    // Starts the agent and waits until it is subscribed: from then on it
    // only waits for events.
    bool StartIdleAgent()
    {
        agent_ = Start(AgentPath(), Quote(AgentPath()));
        if (!agent_.Started() || WaitForAgentWindow(agent_.Pid()) == NULL)
            return false;
        HidReply status{};
        for (int attempt = 0; attempt < 200; ++attempt) {
            if (HidQueryStatus(agent_.Pid(), &status, kWaitMs) == ERROR_SUCCESS)
                return true;
            Sleep(50);
        }
        return false;
    }

    // One launch event; what it started, once that has finished.
    std::vector<Record> Launch()
    {
        DeleteFileA(log_.c_str());
        DWORD answer = 0xFFFFFFFF;
        EXPECT_EQ(ERROR_SUCCESS, HidSendEvent(agent_.Pid(), kEventLaunch, &answer, kWaitMs));
        WaitForChildrenOf(agent_.Pid());
        return ReadRecords(log_);
    }

    std::string base_;
    std::string log_;
    Process agent_;
};

TEST_F(AgentFootprintTest, ShellIsLoadedOnlyWhenTheWebSiteIsOpened)
{
    ASSERT_TRUE(StartIdleAgent());
    const std::set<std::string> idle = LoadedModules(agent_.Pid());
    // The list is the agent's own, read in full: its program, the device
    // library and the system DLLs it imports are all in it.
    for (const char *expected : {"agent.exe", "hidusb.dll", "kernel32.dll", "user32.dll"})
        ASSERT_EQ(1u, idle.count(expected)) << expected << " missing from" << Describe(idle);
    EXPECT_EQ(0u, idle.count(kShell)) << "the idle agent has loaded the shell:" << Describe(idle);

    for (int launch = 1; launch <= 2; ++launch) {
        SCOPED_TRACE("launch " + std::to_string(launch));
        const std::vector<Record> records = Launch();
        ASSERT_EQ(1u, records.size());
        EXPECT_NE(std::string::npos, Lower(records[0].program).find("recorder.exe")) << records[0].program;
        EXPECT_NE(std::string::npos, records[0].commandLine.find(kWebSite)) << records[0].commandLine;
        EXPECT_EQ(1u, LoadedModules(agent_.Pid()).count(kShell));
        EXPECT_TRUE(agent_.Running());
    }
}

// When the shell cannot be loaded the agent still starts and waits, and a
// launch that would open the web site does nothing, as any failed start.
TEST_F(AgentFootprintTest, WithoutTheShellTheAgentCarriesOn)
{
    if (!UnderWine())
        GTEST_SKIP() << "only Wine's loader can be told to refuse the shell";
    // Wine reads the entry whenever the agent loads a DLL, so it stays until
    // the test ends.
    ASSERT_TRUE(RefuseShellToAgent());
    ASSERT_TRUE(StartIdleAgent()) << "the agent did not start without the shell";

    for (int launch = 1; launch <= 2; ++launch) {
        SCOPED_TRACE("launch " + std::to_string(launch));
        EXPECT_TRUE(Launch().empty());
        EXPECT_TRUE(agent_.Running());
        EXPECT_EQ(0u, LoadedModules(agent_.Pid()).count(kShell));
    }
}

}  // namespace
