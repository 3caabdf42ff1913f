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
    EXPECT_TRUE(Records().empty()) << Describe(Records());

    // Still the same agent, and still working.
    EXPECT_EQ(0u, SendEvent(kEventLaunch));
    auto records = Records();
    ASSERT_EQ(1u, records.size()) << Describe(records);
    EXPECT_EQ(Lower(dir + "\\Vorq.exe"), Lower(records[0].program));
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
    const DWORD launch = kEventLaunch;
    DWORD old;
    ASSERT_TRUE(WriteProcessMemory(process, page, &launch, sizeof launch, NULL));
    ASSERT_TRUE(VirtualProtectEx(process, page, 4096, PAGE_READWRITE | PAGE_GUARD, &old));

    DWORD_PTR answer = 0xFFFF;
    ASSERT_NE(0, SendMessageTimeoutA(hwnd, kMsgEvent, 0, (LPARAM)page, SMTO_NORMAL, kWaitMs, &answer));
    EXPECT_EQ(0u, answer);
    WaitForChildrenOf(agent_.Pid());
    MEMORY_BASIC_INFORMATION mbi{};
    ASSERT_EQ(sizeof mbi, VirtualQueryEx(process, page, &mbi, sizeof mbi));
    EXPECT_TRUE(mbi.Protect & PAGE_GUARD) << "the agent touched the guard page";
    EXPECT_TRUE(Records().empty()) << Describe(Records());
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
    SendEvent(kEventLaunch);
    const long before = HandleCount(agent_.Pid());
    ASSERT_GT(before, 0) << "the system's handle list cannot be read";
    for (int i = 0; i < kLaunches; ++i)
        EXPECT_EQ(0u, SendEvent(kEventLaunch));
    const long after = HandleCount(agent_.Pid());
    EXPECT_EQ(kLaunches + 1, (int)Records().size()) << Describe(Records());
    EXPECT_LE(after, before + 2) << kLaunches << " launches took the agent from " << before << " to " << after
                                 << " handles";
}

}  // namespace
