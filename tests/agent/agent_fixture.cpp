/*
 * The agent's end-to-end fixture: each test starts from no agent, no product
 * key and an empty folder of its own, and leaves the same behind.
 */
#include "agent_fixture.h"

using namespace harness;

void AgentTest::SetUp()
{
    // What the tests take from the test bed, checked rather than assumed:
    // the shipped files where the tests find them, the right to write the
    // product's key (an administrator's, on Windows), the recorder as the
    // browser.
    for (const std::string &file : {AgentPath(), ShippedPath("HIDUSB.dll"), RecorderPath()})
        ASSERT_TRUE(Exists(file)) << "missing " << file;
    ASSERT_TRUE(CreateProductKeyOnly()) << "cannot write HKLM\\" << kProductKey
                                        << ": the agent's tests need an administrator's rights";
    const std::string browser = BrowserCommand();
    ASSERT_NE(std::string::npos, Lower(browser).find(Lower(RecorderPath())))
        << "the test bed has not made the recorder the browser: https addresses open with \"" << browser
        << "\", not \"" << RecorderPath() << "\" \"%1\"";
    StopAllAgents();
    RemoveProductKey();
    base_ = MakeTempDir("agent-test");
    log_ = base_ + "\\recorder.log";
    SetEnvironmentVariableA("RECORDER_LOG", log_.c_str());
}

void AgentTest::TearDown()
{
    agent_.Quit();
    StopAllAgents();
    RemoveProductKey();
    SetEnvironmentVariableA("RECORDER_LOG", NULL);
    RemoveTree(base_);
}

HWND AgentTest::StartAgent(const std::string &tail, int showState)
{
    agent_ = Start(AgentPath(), Quote(AgentPath()) + tail, showState, false, base_);
    HWND hwnd = agent_.Started() ? WaitForAgentWindow(agent_.Pid()) : NULL;
    HidReply status;
    return hwnd != NULL && WaitForSubscription(agent_.Pid(), &status) == ERROR_SUCCESS ? hwnd : NULL;
}

DWORD AgentTest::RunOnce(const std::string &commandLine)
{
    Process p = Start(AgentPath(), commandLine);
    if (!p.Started())
        return 0xBAD;
    DWORD code = p.Wait(kWaitMs);
    if (code == STILL_ACTIVE) {
        StopAllAgents(agent_.Pid());
        p.Kill();
    }
    return code;
}

DWORD AgentTest::SendEvent(DWORD code)
{
    DWORD answer = 0xFFFFFFFF;
    const ULONGLONG sent = SystemTimeNow();
    DWORD error = HidSendEvent(agent_.Pid(), code, &answer, kWaitMs);
    EXPECT_EQ(ERROR_SUCCESS, error) << "event 0x" << std::hex << code;
    WaitForChildrenOf(agent_.Pid(), kWaitMs, sent);
    return answer;
}

std::string AgentTest::MakeProduct(const std::string &name, bool withVorq, bool withDuxo)
{
    std::string dir = MakeProductDir(base_, name, withVorq, withDuxo);
    EXPECT_FALSE(dir.empty()) << "could not make the product folder " << name;
    return dir;
}

ScopedEnvironment::ScopedEnvironment(const char *name, const std::string &value) : name_(name)
{
    char old[32767];
    DWORD n = GetEnvironmentVariableA(name, old, sizeof old);
    had_ = n > 0 && n < sizeof old;
    old_ = had_ ? old : "";
    SetEnvironmentVariableA(name, value.c_str());
}

ScopedEnvironment::~ScopedEnvironment() { SetEnvironmentVariableA(name_.c_str(), had_ ? old_.c_str() : NULL); }
