/*
 * agent.exe's start-up: the single-instance rule, the quit command, exit
 * codes, and the hidden, subscribed window whatever the show state.
 */
#include <cctype>

#include "agent_fixture.h"

using namespace harness;

namespace {

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
        EXPECT_EQ(kSelector, status.selector);
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
    for (const char *cls : {kWindowClass, "SomethingElse"}) {
        wc.lpszClassName = cls;
        RegisterClassA(&wc);
    }
    // The title with a blank for its underscore; and both texts upper-case
    // for the class, lower-case for the title.
    std::string otherTitle = kWindowTitle, upperClass = kWindowClass;
    otherTitle[otherTitle.find('_')] = ' ';
    for (char &ch : upperClass)
        ch = (char)toupper((unsigned char)ch);
    const std::string lowerTitle = Lower(kWindowTitle);
    const struct {
        const char *name;
        const char *cls;
        const char *title;
        bool countsAsAgent;
    } cases[] = {
        {"class matches, title differs", kWindowClass, otherTitle.c_str(), false},
        {"title matches, class differs", "SomethingElse", kWindowTitle, false},
        {"both match but for case", upperClass.c_str(), lowerTitle.c_str(), true},
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

        HWND hwnd = WaitForWindow(kWindowClass, kWindowTitle);
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
    HANDLE squatter = CreateEventA(NULL, TRUE, FALSE, kInstanceObject);
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

}  // namespace
