/*
 * agent.exe as a user, an installer and the device library see it: started
 * as a separate process with exact command lines, found by its window,
 * fed events through the stand-in library, judged by what it started.
 *
 * The recorder program stands in for the product's programs and for the
 * browser (the test bed registers it as the http handler); every program the
 * agent starts appends a line to the log named by RECORDER_LOG.
 */
#include <gtest/gtest.h>

#include "agent_harness.h"
#include "hidusb_client.h"

using namespace harness;

namespace {

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        StopAllAgents();
        RemoveProductKey();
        base_ = MakeTempDir("agent-test");
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
        RemoveProductKey();
        SetEnvironmentVariableA("RECORDER_LOG", NULL);
        RemoveTree(base_);
    }

    // Starts agent.exe with its quoted path followed by tail and waits for
    // its window.
    HWND StartAgent(const std::string &tail = "", int showState = -1)
    {
        agent_ = Start(AgentPath(), Quote(AgentPath()) + tail, showState);
        if (!agent_.Started())
            return NULL;
        return WaitForAgentWindow(agent_.Pid());
    }

    // A second process started with an exact command line; its exit code.
    DWORD RunOnce(const std::string &commandLine)
    {
        Process p = Start(AgentPath(), commandLine);
        if (!p.Started())
            return 0xBAD;
        DWORD code = p.Wait(kWaitMs);
        if (code == STILL_ACTIVE) {
            StopAllAgentsExcept(agent_.Pid());
            p.Kill();
        }
        return code;
    }

    void StopAllAgentsExcept(DWORD pid)
    {
        for (int i = 0; i < 10; ++i) {
            HWND hwnd = FindAgentWindow();
            DWORD owner = 0;
            GetWindowThreadProcessId(hwnd, &owner);
            if (!hwnd || owner == pid)
                return;
            PostMessageA(hwnd, WM_QUIT, 0, 0);
            Sleep(200);
        }
    }

    // Sends one device event through the library and waits until whatever
    // the agent started has finished writing its record.
    DWORD SendEvent(DWORD code)
    {
        DWORD answer = 0xFFFFFFFF;
        DWORD error = HidSendEvent(agent_.Pid(), code, &answer, kWaitMs);
        EXPECT_EQ(ERROR_SUCCESS, error) << "event 0x" << std::hex << code;
        WaitForChildrenOf(agent_.Pid());
        return answer;
    }

    // A product folder under the test folder holding recorder copies.
    std::string MakeProduct(const std::string &name, bool withVorq, bool withDuxo)
    {
        std::string dir = base_ + "\\" + name;
        CreateDirectoryA(dir.c_str(), NULL);
        if (withVorq) {
            EXPECT_TRUE(CopyRecorderTo(dir + "\\Vorq.exe"));
        }
        if (withDuxo) {
            EXPECT_TRUE(CopyRecorderTo(dir + "\\Duxo.exe"));
        }
        return dir;
    }

    std::vector<Record> Records() const { return ReadRecords(log_); }

    static bool IsWebSiteRecord(const Record &r)
    {
        return Lower(r.program).find("recorder.exe") != std::string::npos &&
               r.commandLine.find(kWebSite) != std::string::npos;
    }

    std::string base_;
    std::string log_;
    Process agent_;
};

std::string Describe(const std::vector<Record> &records)
{
    std::string s;
    for (const Record &r : records)
        s += "\n  started " + r.program + " in " + r.directory + " as " + r.commandLine;
    return s.empty() ? "\n  (nothing started)" : s;
}

/* ---------- start-up and instance control ---------- */

TEST_F(AgentTest, BecomesHiddenSubscribedAgentWhateverTheShowState)
{
    const struct {
        const char *name;
        int showState;
    } cases[] = {
        {"no show state", -1},
        {"normal", SW_SHOWNORMAL},
        {"maximised", SW_SHOWMAXIMIZED},
        {"minimised", SW_SHOWMINIMIZED},
        {"show", SW_SHOW},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        HWND hwnd = StartAgent("", c.showState);
        ASSERT_NE(nullptr, hwnd);
        EXPECT_EQ(hwnd, FindAgentWindow());
        EXPECT_FALSE(IsWindowVisible(hwnd));
        EXPECT_EQ(nullptr, GetMenu(hwnd));
        // Of the class record only the style can be read from another
        // process under Wine.
        EXPECT_EQ((DWORD)(CS_HREDRAW | CS_VREDRAW), GetClassLongA(hwnd, GCL_STYLE));
        EXPECT_EQ(WS_OVERLAPPEDWINDOW, GetWindowLongA(hwnd, GWL_STYLE) & WS_OVERLAPPEDWINDOW);

        HidReply status{};
        ASSERT_EQ(ERROR_SUCCESS, HidQueryStatus(agent_.Pid(), &status, kWaitMs));
        EXPECT_EQ(hwnd, HidReplyWindow(status));
        EXPECT_EQ(kMsgBase, status.message);
        EXPECT_EQ(0xFF00u, status.selector);
        EXPECT_EQ(1u, status.calls);

        EXPECT_EQ(0u, RunOnce(Quote(AgentPath()) + " q"));
        EXPECT_EQ(0u, agent_.Wait(kWaitMs));
    }
}

TEST_F(AgentTest, QuitCommandEndsRunningAgent)
{
    const std::string path = AgentPath();
    const struct {
        const char *name;
        std::string commandLine;
    } cases[] = {
        {"q", Quote(path) + " q"},
        {"/q", Quote(path) + " /q"},
        {"quoted name directly followed by q", Quote(path) + "q"},
        {"quoted name directly followed by /q", Quote(path) + "/q"},
        {"blanks and tabs before q", Quote(path) + " \t \t q"},
        {"control bytes before q", Quote(path) + "\x01\x1f q"},
        {"unquoted name", "agent.exe q"},
        {"unquoted name with bytes above 0x7F", "C:\\x\\ag\xe9nt\xa0x.exe /q"},
        {"unquoted name with every high byte run", "a\x80\x9f\xff\xa0.exe q"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(nullptr, StartAgent());
        EXPECT_EQ(0u, RunOnce(c.commandLine));
        EXPECT_EQ(0u, agent_.Wait(kWaitMs)) << "the running agent did not end";
        EXPECT_EQ(nullptr, FindAgentWindow());
    }
}

TEST_F(AgentTest, OtherTextsLeaveRunningAgentAlone)
{
    ASSERT_NE(nullptr, StartAgent());
    const std::string path = AgentPath();
    const struct {
        const char *name;
        std::string commandLine;
    } cases[] = {
        {"no argument", Quote(path)},
        {"upper-case Q", Quote(path) + " Q"},
        {"upper-case /Q", Quote(path) + " /Q"},
        {"q with a trailing blank", Quote(path) + " q "},
        {"/q with a trailing tab", Quote(path) + " /q\t"},
        {"qq", Quote(path) + " qq"},
        {"-q", Quote(path) + " -q"},
        {"quoted q", Quote(path) + " \"q\""},
        {"q after a second word", Quote(path) + " x q"},
        {"backslash q", Quote(path) + " \\q"},
        {"high byte name glued to q", "agent.exe\xa0q"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(0u, RunOnce(c.commandLine));
        EXPECT_TRUE(agent_.Running()) << "the running agent ended";
    }
    HidReply status{};
    ASSERT_EQ(ERROR_SUCCESS, HidQueryStatus(agent_.Pid(), &status, kWaitMs));
    EXPECT_EQ(1u, status.calls) << "the running agent subscribed again";
}

TEST_F(AgentTest, QuitCommandWithoutAgentStartsNothing)
{
    for (const char *tail : {" q", " /q", "q"}) {
        SCOPED_TRACE(tail);
        EXPECT_EQ(0u, RunOnce(Quote(AgentPath()) + tail));
        EXPECT_EQ(nullptr, FindAgentWindow());
    }
}

TEST_F(AgentTest, NearQuitTextWithoutAgentBecomesAgent)
{
    for (const char *tail : {" Q", " q ", " /Q"}) {
        SCOPED_TRACE(tail);
        ASSERT_NE(nullptr, StartAgent(tail));
        PostThreadMessageA(agent_.pi.dwThreadId, WM_QUIT, 0, 0);
        EXPECT_EQ(0u, agent_.Wait(kWaitMs));
    }
}

TEST_F(AgentTest, ExitCodeIsFirstParameterOfPostedQuit)
{
    for (WPARAM code : {WPARAM(7), WPARAM(0), WPARAM(0x1234)}) {
        SCOPED_TRACE(code);
        HWND hwnd = StartAgent();
        ASSERT_NE(nullptr, hwnd);
        PostMessageA(hwnd, WM_QUIT, code, 99);
        EXPECT_EQ((DWORD)code, agent_.Wait(kWaitMs));
    }
}

TEST_F(AgentTest, CloseRequestEndsAgentWithZero)
{
    HWND hwnd = StartAgent();
    ASSERT_NE(nullptr, hwnd);
    PostMessageA(hwnd, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, agent_.Wait(kWaitMs));
}

LRESULT CALLBACK DecoyWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    return DefWindowProcA(hwnd, msg, wp, lp);
}

TEST_F(AgentTest, OnlyWindowsMatchingBothIdentityTextsCountAsRunningAgent)
{
    WNDCLASSA wc{};
    wc.lpfnWndProc = DecoyWndProc;
    wc.hInstance = GetModuleHandleA(NULL);
    for (const char *cls : {"OstrelCorandel", "SomethingElse"}) {
        wc.lpszClassName = cls;
        RegisterClassA(&wc);
    }
    const struct {
        const char *name;
        const char *cls;
        const char *title;
        bool countsAsAgent;
    } cases[] = {
        {"class matches, title differs", "OstrelCorandel", "Ostrel Corandel", false},
        {"title matches, class differs", "SomethingElse", "Ostrel_Corandel", false},
        {"both match but for case", "OSTRELCORANDEL", "ostrel_corandel", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        HWND decoy = CreateWindowExA(0, c.cls, c.title, WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, NULL, NULL,
                                     GetModuleHandleA(NULL), NULL);
        ASSERT_NE(nullptr, decoy);
        agent_ = Start(AgentPath(), Quote(AgentPath()));
        ASSERT_TRUE(agent_.Started());
        if (c.countsAsAgent) {
            EXPECT_EQ(0u, agent_.Wait(kWaitMs)) << "should have ended as a duplicate";
        } else {
            EXPECT_NE(nullptr, WaitForAgentWindow(agent_.Pid())) << "should have become the agent";
            PostThreadMessageA(agent_.pi.dwThreadId, WM_QUIT, 0, 0);
            EXPECT_EQ(0u, agent_.Wait(kWaitMs));
        }
        DestroyWindow(decoy);
    }
}

TEST_F(AgentTest, OfSimultaneousStartsExactlyOneBecomesAgent)
{
    constexpr int kStarts = 6;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        std::vector<Process> starts;
        for (int i = 0; i < kStarts; ++i) {
            starts.push_back(Start(AgentPath(), Quote(AgentPath()), -1, true));
            ASSERT_TRUE(starts.back().Started());
        }
        for (Process &p : starts)
            ResumeThread(p.pi.hThread);

        HWND hwnd = NULL;
        DWORD deadline = GetTickCount() + kWaitMs;
        while (!hwnd && GetTickCount() < deadline) {
            hwnd = FindAgentWindow();
            Sleep(10);
        }
        ASSERT_NE(nullptr, hwnd);
        DWORD agentPid = 0;
        GetWindowThreadProcessId(hwnd, &agentPid);

        int running = 0;
        for (Process &p : starts) {
            if (p.Pid() == agentPid)
                continue;
            DWORD code = p.Wait(kWaitMs);
            if (code == STILL_ACTIVE)
                ++running;
            else
                EXPECT_EQ(0u, code);
        }
        EXPECT_EQ(0, running) << "more than one start became an agent";
        for (Process &p : starts) {
            if (p.Pid() == agentPid) {
                PostThreadMessageA(p.pi.dwThreadId, WM_QUIT, 0, 0);
                EXPECT_EQ(0u, p.Wait(kWaitMs));
            }
            p.Kill();
        }
        StopAllAgents();
    }
}

TEST_F(AgentTest, InstanceObjectOfAnotherKindLeavesWindowLookupInCharge)
{
    // An event squatting on the instance object's name: the mutex cannot be
    // made, and the start must still become the agent.
    HANDLE squatter = CreateEventA(NULL, TRUE, FALSE, "Local\\OstrelCorandel.Agent");
    ASSERT_NE(nullptr, squatter);
    HWND hwnd = StartAgent();
    EXPECT_NE(nullptr, hwnd) << "did not become the agent";
    EXPECT_EQ(0u, RunOnce(Quote(AgentPath()))) << "second start";
    EXPECT_TRUE(agent_.Running());
    EXPECT_EQ(0u, RunOnce(Quote(AgentPath()) + " q"));
    EXPECT_EQ(0u, agent_.Wait(kWaitMs));
    CloseHandle(squatter);
}

TEST_F(AgentTest, DoesNotStartWithoutDeviceLibrary)
{
    std::string dir = base_ + "\\alone";
    CreateDirectoryA(dir.c_str(), NULL);
    std::string lonely = dir + "\\agent.exe";
    ASSERT_TRUE(CopyFileA(AgentPath().c_str(), lonely.c_str(), FALSE));
    // The loader also searches the current directory, and ours may hold the
    // library: start it from its own folder.
    Process p = Start(lonely, Quote(lonely), -1, false, dir);
    if (p.Started()) {
        DWORD code = p.Wait(kWaitMs);
        EXPECT_NE(STILL_ACTIVE, code);
        EXPECT_NE(0u, code) << "the process started without HIDUSB.dll";
    }
    EXPECT_EQ(nullptr, FindAgentWindow());
}

/* ---------- the agent window's messages ---------- */

TEST_F(AgentTest, MessagesAreAnsweredWithoutLaunching)
{
    std::string dir = MakeProduct("product", true, true);
    ASSERT_TRUE(WriteInstallDirText(dir));
    HWND hwnd = StartAgent();
    ASSERT_NE(nullptr, hwnd);

    const struct {
        const char *name;
        UINT msg;
        WPARAM wp;
        LPARAM lp;
    } direct[] = {
        {"paint", WM_PAINT, 0, 0},
        {"base message with an unusable LPARAM", kMsgBase, 0x55, (LPARAM)0xDEAD0001},
        {"event with a null record", kMsgEvent, 0, 0},
        {"event with a record in the first page", kMsgEvent, 0, 0x10},
        {"event with a record at the top of memory", kMsgEvent, 0, kTopOfMemory},
        {"event with a record in kernel space", kMsgEvent, 0, kKernelSpace},
        {"event with an unaligned unmapped record", kMsgEvent, 0, (LPARAM)0x00010003},
        {"private message of nobody", WM_USER + 0x102, 1, 2},
    };
    for (const auto &c : direct) {
        SCOPED_TRACE(c.name);
        DWORD_PTR answer = 0xFFFF;
        ASSERT_NE(0, SendMessageTimeoutA(hwnd, c.msg, c.wp, c.lp, SMTO_NORMAL, kWaitMs, &answer));
        EXPECT_EQ(0u, answer);
        EXPECT_TRUE(agent_.Running());
    }

    for (DWORD code : {0x00000101u, 0x00000000u, 0x00010100u, 0xFFFFFFFFu, 0x000000FFu}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(0u, SendEvent(code));
    }
    DWORD answer = 0xFFFF;
    EXPECT_EQ(ERROR_SUCCESS, HidSendBase(agent_.Pid(), 0, 0xDEAD0001, &answer, kWaitMs));
    EXPECT_EQ(0u, answer);
    EXPECT_TRUE(Records().empty()) << Describe(Records());

    // Still the same agent, and still working.
    EXPECT_EQ(0u, SendEvent(kEventLaunch));
    auto records = Records();
    ASSERT_EQ(1u, records.size()) << Describe(records);
    EXPECT_EQ(Lower(dir + "\\Vorq.exe"), Lower(records[0].program));
}

/* ---------- the launch action ---------- */

TEST_F(AgentTest, LaunchStartsPrimaryProgramInItsDirectory)
{
    std::string dir = MakeProduct("product", true, true);
    ASSERT_TRUE(WriteInstallDirText(dir));
    ASSERT_NE(nullptr, StartAgent());
    EXPECT_EQ(0u, SendEvent(kEventLaunch));
    auto records = Records();
    ASSERT_EQ(1u, records.size()) << Describe(records);
    EXPECT_EQ(Lower(dir + "\\Vorq.exe"), Lower(records[0].program));
    EXPECT_EQ(Lower(dir), Lower(records[0].directory));
    EXPECT_EQ(Quote(dir + "\\Vorq.exe"), records[0].commandLine);
}

TEST_F(AgentTest, LaunchFallsBackToSecondProgram)
{
    std::string dir = MakeProduct("product", false, true);
    ASSERT_TRUE(WriteInstallDirText(dir));
    ASSERT_NE(nullptr, StartAgent());
    EXPECT_EQ(0u, SendEvent(kEventLaunch));
    auto records = Records();
    ASSERT_EQ(1u, records.size()) << Describe(records);
    EXPECT_EQ(Lower(dir + "\\Duxo.exe"), Lower(records[0].program));
    EXPECT_EQ(Lower(dir), Lower(records[0].directory));
    EXPECT_EQ(Quote(dir + "\\Duxo.exe"), records[0].commandLine);
}

TEST_F(AgentTest, EveryLaunchEventStartsAnotherCopy)
{
    std::string dir = MakeProduct("product", true, false);
    ASSERT_TRUE(WriteInstallDirText(dir));
    ASSERT_NE(nullptr, StartAgent());
    EXPECT_EQ(0u, SendEvent(kEventLaunch));
    EXPECT_EQ(0u, SendEvent(kEventLaunch));
    auto records = Records();
    ASSERT_EQ(2u, records.size()) << Describe(records);
    for (const Record &r : records)
        EXPECT_EQ(Lower(dir + "\\Vorq.exe"), Lower(r.program));
}

TEST_F(AgentTest, InstallDirFormsThatStillStartTheProduct)
{
    const std::string plain = MakeProduct("plain", true, false);
    const std::string blanks = MakeProduct("ab cd", true, false);
    // The unquoted-path hijack: a program where the blank would cut the path.
    ASSERT_TRUE(CopyRecorderTo(base_ + "\\ab.exe"));
    const struct {
        const char *name;
        std::string value;  // bytes as stored, terminator included or not
        DWORD type;
        std::string expectedProgram;
    } cases[] = {
        {"trailing backslash", plain + "\\" + std::string(1, '\0'), REG_SZ, plain + "\\\\Vorq.exe"},
        {"blanks in the directory", blanks + std::string(1, '\0'), REG_SZ, blanks + "\\Vorq.exe"},
        {"stored without a terminator", plain, REG_SZ, plain + "\\Vorq.exe"},
        {"bytes after the terminator", plain + std::string(1, '\0') + "junk", REG_SZ, plain + "\\Vorq.exe"},
        {"expandable string type", plain + std::string(1, '\0'), REG_EXPAND_SZ, plain + "\\Vorq.exe"},
    };
    ASSERT_NE(nullptr, StartAgent());
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileA(log_.c_str());
        ASSERT_TRUE(WriteInstallDir(c.value.data(), (DWORD)c.value.size(), c.type));
        EXPECT_EQ(0u, SendEvent(kEventLaunch));
        auto records = Records();
        ASSERT_EQ(1u, records.size()) << Describe(records);
        EXPECT_EQ(Lower(Quote(c.expectedProgram)), Lower(records[0].commandLine));
    }
}

TEST_F(AgentTest, ProductNotInstalledOpensWebSite)
{
    const std::string dir = MakeProduct("product", true, true);
    const std::string tooLongValue(600, 'x');
    const std::string dir503 = "C:\\" + std::string(500, 'd');  // 503 characters
    const DWORD number = 0x00434241;                            // "ABC" if taken as text
    const struct {
        const char *name;
        bool createKey;
        std::string value;
        DWORD type;
        bool writeValue;
    } cases[] = {
        {"key absent", false, "", REG_SZ, false},
        {"value absent", true, "", REG_SZ, false},
        {"empty text", true, std::string(1, '\0'), REG_SZ, true},
        {"empty text without terminator", true, "", REG_SZ, true},
        {"value longer than the buffer", true, tooLongValue + std::string(1, '\0'), REG_SZ, true},
        {"directory too long for its paths", true, dir503 + std::string(1, '\0'), REG_SZ, true},
        {"number", true, std::string((const char *)&number, 4), REG_DWORD, true},
        {"binary", true, dir + std::string(1, '\0'), REG_BINARY, true},
        {"multi-string", true, dir + std::string(2, '\0'), REG_MULTI_SZ, true},
    };
    ASSERT_NE(nullptr, StartAgent());
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileA(log_.c_str());
        RemoveProductKey();
        if (c.createKey) {
            ASSERT_TRUE(CreateProductKeyOnly());
        }
        if (c.writeValue) {
            ASSERT_TRUE(WriteInstallDir(c.value.data(), (DWORD)c.value.size(), c.type));
        }
        EXPECT_EQ(0u, SendEvent(kEventLaunch));
        auto records = Records();
        ASSERT_EQ(1u, records.size()) << Describe(records);
        EXPECT_TRUE(IsWebSiteRecord(records[0])) << Describe(records);
    }
}

TEST_F(AgentTest, UnstartableProductDoesNothingVisible)
{
    const std::string empty = MakeProduct("empty", false, false);
    const std::string dir502 = "C:\\" + std::string(499, 'd');  // 502 characters
    // A quote in the directory would end the quoted path early and start
    // this program instead.
    const std::string quoted = base_ + "\\a\" b";
    ASSERT_TRUE(CopyRecorderTo(base_ + "\\a.exe"));
    const std::string cases[] = {empty, dir502, quoted};
    ASSERT_NE(nullptr, StartAgent());
    for (const std::string &value : cases) {
        SCOPED_TRACE(value.substr(0, 60));
        DeleteFileA(log_.c_str());
        ASSERT_TRUE(WriteInstallDirText(value));
        EXPECT_EQ(0u, SendEvent(kEventLaunch));
        EXPECT_TRUE(Records().empty()) << Describe(Records());
        EXPECT_TRUE(agent_.Running());
    }
}

}  // namespace
