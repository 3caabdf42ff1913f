/*
 * The agent window's messages as any program on the desktop can send them,
 * and what the agent keeps of them: nothing.
 */
#include "agent_fixture.h"

using namespace harness;

namespace {

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
    EXPECT_TRUE(Started("messages and other events", {}));

    // Still the same agent, and still working.
    EXPECT_EQ(0u, SendEvent(HID_EVENT_LAUNCH));
    EXPECT_TRUE(Started("a launch after them", {ProductStart(dir, kPrimaryProgram)}));
}

// Restart Manager, as updaters use it, asks with WM_QUERYENDSESSION and then
// closes with WM_ENDSESSION and ENDSESSION_CLOSEAPP: the agent agrees, and
// that close ends it as a close request does.  Every other end-session form
// is left to default processing, which keeps it running (at a real logoff or
// shutdown the system ends the process itself).
TEST_F(AgentTest, EndSessionMessages)
{
    const std::string dir = MakeProduct("product", true, false);
    ASSERT_TRUE(WriteInstallDirText(dir));
    const struct {
        const char *name;
        UINT msg;
        WPARAM wp;
        LPARAM lp;
        LRESULT answer;
        bool ends;
    } cases[] = {
        {"query, shutdown", WM_QUERYENDSESSION, 0, 0, TRUE, false},
        {"query, from Restart Manager", WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP, TRUE, false},
        {"query, logoff", WM_QUERYENDSESSION, 0, (LPARAM)ENDSESSION_LOGOFF, TRUE, false},
        {"end of a cancelled close", WM_ENDSESSION, FALSE, ENDSESSION_CLOSEAPP, 0, false},
        {"shutdown", WM_ENDSESSION, TRUE, 0, 0, false},
        {"logoff", WM_ENDSESSION, TRUE, (LPARAM)ENDSESSION_LOGOFF, 0, false},
        {"critical shutdown", WM_ENDSESSION, TRUE, ENDSESSION_CRITICAL, 0, false},
        {"Restart Manager closes it", WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP, 0, true},
        {"Restart Manager closes it, critical", WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP | ENDSESSION_CRITICAL, 0, true},
    };
    // The messages that must leave the agent running go to one agent, one
    // after the other, each followed by a launch; each closing one gets an
    // agent of its own.
    HWND hwnd = NULL;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ClearRecords();
        if (hwnd == NULL || !agent_.Running())
            hwnd = StartAgent();
        ASSERT_NE(nullptr, hwnd);
        DWORD_PTR answer = 0xFFFF;
        ASSERT_NE(0, SendMessageTimeoutA(hwnd, c.msg, c.wp, c.lp, SMTO_NORMAL, kWaitMs, &answer));
        EXPECT_EQ((DWORD_PTR)c.answer, answer);
        if (c.ends) {
            EXPECT_EQ(0u, agent_.Wait(kWaitMs)) << "the agent did not end with 0";
            EXPECT_FALSE(IsWindow(hwnd)) << "the agent window was not destroyed";
            hwnd = NULL;
        } else {
            EXPECT_TRUE(agent_.Running());
            EXPECT_EQ(hwnd, FindAgentWindow());
            EXPECT_EQ(0u, SendEvent(HID_EVENT_LAUNCH));
            EXPECT_TRUE(Started(c.name, {ProductStart(dir, kPrimaryProgram)}));
        }
    }
}

// A record the agent must not read: a guard page of its own that holds the
// launch code.  Reading it would raise the guard (which Wine swallows inside
// a window procedure) and launch the product; the guard must still be set
// afterwards, and nothing started.
TEST_F(AgentTest, EventRecordInAGuardPageIsNotRead)
{
    std::string dir = MakeProduct("product", true, false);
    ASSERT_TRUE(WriteInstallDirText(dir));
    HWND hwnd = StartAgent();
    ASSERT_NE(nullptr, hwnd);
    HANDLE process = agent_.pi.hProcess;
    void *page = VirtualAllocEx(process, NULL, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    ASSERT_NE(nullptr, page);
    const DWORD launch = HID_EVENT_LAUNCH;
    DWORD old;
    ASSERT_TRUE(WriteProcessMemory(process, page, &launch, sizeof launch, NULL));
    ASSERT_TRUE(VirtualProtectEx(process, page, 4096, PAGE_READWRITE | PAGE_GUARD, &old));

    DWORD_PTR answer = 0xFFFF;
    const ULONGLONG sent = SystemTimeNow();
    ASSERT_NE(0, SendMessageTimeoutA(hwnd, kMsgEvent, 0, (LPARAM)page, SMTO_NORMAL, kWaitMs, &answer));
    EXPECT_EQ(0u, answer);
    WaitForChildrenOf(agent_.Pid(), kWaitMs, sent);
    MEMORY_BASIC_INFORMATION mbi{};
    ASSERT_EQ(sizeof mbi, VirtualQueryEx(process, page, &mbi, sizeof mbi));
    EXPECT_TRUE(mbi.Protect & PAGE_GUARD) << "the agent touched the guard page";
    EXPECT_TRUE(Started("launch code in a guard page", {}));
    EXPECT_TRUE(agent_.Running());
}

// Launch after launch, the agent keeps nothing open: its entries in the
// system's handle list stay where they were (a key left open per launch
// would add one each time).
TEST_F(AgentTest, HandlesStayFlatOverLaunches)
{
    constexpr int kLaunches = 20;
    std::string dir = MakeProduct("product", true, false);
    ASSERT_TRUE(WriteInstallDirText(dir));
    ASSERT_NE(nullptr, StartAgent());
    // What the system sets up on first use is in the first count.
    SendEvent(HID_EVENT_LAUNCH);
    const long before = HandleCount(agent_.Pid());
    ASSERT_GT(before, 0) << "the system's handle list cannot be read";
    for (int i = 0; i < kLaunches; ++i)
        EXPECT_EQ(0u, SendEvent(HID_EVENT_LAUNCH));
    const long after = HandleCount(agent_.Pid());
    EXPECT_TRUE(Started("launch after launch",
                               std::vector<Record>(kLaunches + 1, ProductStart(dir, kPrimaryProgram))));
    EXPECT_LE(after, before + 2) << kLaunches << " launches took the agent from " << before << " to " << after
                                 << " handles";
}

}  // namespace
