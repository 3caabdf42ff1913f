/*
 * What the resident agent keeps loaded: the shell and COM are not part of
 * the idle agent, and are loaded only when a launch finds the product not
 * installed and the web site must be opened.  The module list is read from outside
 * the process, as any tool on the desktop would read it.
 */
#include <algorithm>

#include "agent_fixture.h"

using namespace harness;

namespace {

const char kShell[] = "shell32.dll";
// What the agent loads the first time it opens the web site: the shell, and
// COM, which it initialises for the shell.
const char *const kOnDemand[] = {kShell, "ole32.dll"};

bool HasModule(const std::vector<std::string> &modules, const char *name)
{
    return std::find(modules.begin(), modules.end(), name) != modules.end();
}

std::string ModuleList(const std::vector<std::string> &modules)
{
    std::string s;
    for (const std::string &m : modules)
        s += " " + m;
    return s;
}

// True when running under Wine, whose loader takes per-program DLL overrides.
bool UnderWine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != NULL && GetProcAddress(ntdll, "wine_get_version") != NULL;
}

// Wine's per-program load order: an empty entry makes its loader refuse the
// shell to agent.exe alone, for as long as this object lives.  The emptied
// key is left: it changes nothing, and may hold entries that are not ours.
class ShellRefusedToAgent {
public:
    ShellRefusedToAgent()
    {
        HKEY key;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL) != ERROR_SUCCESS)
            return;
        refused_ = RegSetValueExA(key, "shell32", 0, REG_SZ, (const BYTE *)"", 1) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    ~ShellRefusedToAgent() { RegDeleteKeyValueA(HKEY_CURRENT_USER, kKey, "shell32"); }
    bool Refused() const { return refused_; }

private:
    static constexpr const char *kKey = "Software\\Wine\\AppDefaults\\agent.exe\\DllOverrides";
    bool refused_ = false;
};

TEST_F(AgentTest, ShellIsLoadedOnlyWhenTheWebSiteIsOpened)
{
    ASSERT_NE(nullptr, StartAgent());
    const std::vector<std::string> idle = LoadedModules(agent_.Pid());
    // The list is the agent's own, read in full: its program, the device
    // library and the system DLLs it imports are all in it.
    for (const char *expected : {"agent.exe", "hidusb.dll", "kernel32.dll", "user32.dll"})
        ASSERT_TRUE(HasModule(idle, expected)) << expected << " missing from" << ModuleList(idle);
    for (const char *onDemand : kOnDemand)
        EXPECT_FALSE(HasModule(idle, onDemand)) << "the idle agent has loaded " << onDemand << ":" << ModuleList(idle);

    for (int launch = 1; launch <= 2; ++launch) {
        const std::string name = "web site opened, launch " + std::to_string(launch);
        ClearRecords();
        EXPECT_EQ(0u, SendEvent(HID_EVENT_LAUNCH));
        EXPECT_TRUE(Started(name, {Browser()}));
        const std::vector<std::string> modules = LoadedModules(agent_.Pid());
        for (const char *onDemand : kOnDemand)
            EXPECT_TRUE(HasModule(modules, onDemand)) << name << ": " << onDemand << " not loaded:" << ModuleList(modules);
        EXPECT_TRUE(agent_.Running());
    }
}

// COM set up on the agent's thread in another mode before the agent gets
// to it, as a device library may do in its subscription call: the agent
// cannot have its single-threaded apartment, and still opens the web site.
TEST_F(AgentTest, WebSiteOpensOnAThreadWithCOMInAnotherMode)
{
    ScopedEnvironment mode("HIDUSB_COINIT", "multithreaded");
    ASSERT_NE(nullptr, StartAgent());
    for (int launch = 1; launch <= 2; ++launch) {
        const std::string name = "COM already multithreaded, launch " + std::to_string(launch);
        ClearRecords();
        EXPECT_EQ(0u, SendEvent(HID_EVENT_LAUNCH));
        EXPECT_TRUE(Started(name, {Browser()}));
    }
}

// When the shell cannot be loaded the agent still starts and waits, and a
// launch that would open the web site does nothing, as any failed start.
TEST_F(AgentTest, WithoutTheShellTheAgentCarriesOn)
{
    if (!UnderWine())
        GTEST_SKIP() << "only Wine's loader can be told to refuse the shell";
    ShellRefusedToAgent refusal;
    ASSERT_TRUE(refusal.Refused());
    ASSERT_NE(nullptr, StartAgent()) << "the agent did not start without the shell";

    for (int launch = 1; launch <= 2; ++launch) {
        EXPECT_EQ(0u, SendEvent(HID_EVENT_LAUNCH));
        EXPECT_TRUE(Started("no shell, launch " + std::to_string(launch), {}));
        EXPECT_TRUE(agent_.Running());
        EXPECT_FALSE(HasModule(LoadedModules(agent_.Pid()), kShell));
    }
}

}  // namespace
