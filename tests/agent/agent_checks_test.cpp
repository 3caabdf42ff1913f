/*
 * The agent's checks on outside input, in isolation: the argument text it
 * derives from a command line, the quit command, the reading of an event
 * record from an address any program can send, and the reading of the
 * registry value anyone with the rights can write.
 */
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "agent.h"
#include "agent_harness.h"

using harness::kKernelSpace;
using harness::kTopOfMemory;

namespace {

constexpr UINT kShiftJis = 932;

TEST(GetArgumentText, SkipsProgramNameAsThePlatformStartupDoes)
{
    const struct {
        const char *name;
        const char *line;
        UINT codePage;
        const char *expected;
    } cases[] = {
        {"empty line", "", 1252, ""},
        {"name only", "agent.exe", 1252, ""},
        {"name and blank", "agent.exe ", 1252, ""},
        {"plain argument", "agent.exe q", 1252, "q"},
        {"blanks and tabs skipped", "agent.exe \t  \t/q", 1252, "/q"},
        {"control bytes skipped", "agent.exe\x01\x02\x1f\x20q", 1252, "q"},
        {"trailing blanks kept", "agent.exe q  ", 1252, "q  "},
        {"inner blanks kept", "agent.exe a  b", 1252, "a  b"},
        {"quoted name", "\"C:\\Program Files\\agent.exe\" q", 1252, "q"},
        {"quoted name glued to text", "\"C:\\x\\agent.exe\"q", 1252, "q"},
        {"quoted name without closing quote", "\"C:\\x\\agent.exe q", 1252, ""},
        {"empty quoted name", "\"\" q", 1252, "q"},
        {"quote inside unquoted name", "ag\"ent.exe q", 1252, "q"},
        {"high bytes belong to an unquoted name", "C:\\x\\ag\xe9nt\xa0x.exe q", 1252, "q"},
        {"0xFF belongs to the name", "a\xff b", 1252, "b"},
        {"high byte glued to text", "agent.exe\xa0q", 1252, ""},
        {"second quote starts the text", "\"a.exe\" \"q\"", 1252, "\"q\""},
        // 0x81 0x22 is one double-byte character in code page 932: its trail
        // byte is not the closing quote.
        {"lead byte carries a quote", "\"C:\\\x81\"x.exe\" q", kShiftJis, "q"},
        {"same bytes without lead bytes", "\"C:\\\x81\"x.exe\" q", 1252, "x.exe\" q"},
        {"line ends after a lead byte", "\"C:\\\x81", kShiftJis, ""},
        {"lead byte before the closing quote", "\"a\x81\"\" q", kShiftJis, "q"},
        {"same bytes without lead bytes", "\"a\x81\"\" q", 1252, "\" q"},
    };
    for (const auto &c : cases) {
        EXPECT_STREQ(c.expected, GetArgumentText(c.line, c.codePage)) << c.name;
    }
}

TEST(GetArgumentText, PointsIntoTheGivenLine)
{
    const char line[] = "\"a.exe\"  q";
    EXPECT_EQ(line + 9, GetArgumentText(line, CP_ACP));
    EXPECT_STREQ("", GetArgumentText(NULL, CP_ACP));
}

TEST(IsQuitCommand, OnlyExactTexts)
{
    const struct {
        const char *text;
        bool quit;
    } cases[] = {
        {"q", true},   {"/q", true},  {"Q", false},  {"/Q", false}, {"q ", false}, {" q", false},
        {"qq", false}, {"//q", false}, {"-q", false}, {"\\q", false}, {"", false},  {"/", false},
        {"q\t", false}, {"/q ", false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.quit, IsQuitCommand(c.text) != FALSE) << "\"" << c.text << "\"";
    }
    EXPECT_FALSE(IsQuitCommand(NULL));
}

// Two adjacent pages: the first readable and filled, the second set up by
// each case (reserved, that is untouchable, unless the case commits it), so
// that records can straddle the boundary and buffers can end against it.
class TwoPages : public ::testing::Test {
protected:
    void SetUp() override
    {
        SYSTEM_INFO si;
        GetSystemInfo(&si);
        page_ = si.dwPageSize;
        base_ = static_cast<BYTE *>(VirtualAlloc(NULL, 2 * page_, MEM_RESERVE, PAGE_NOACCESS));
        ASSERT_NE(nullptr, base_);
        ASSERT_NE(nullptr, VirtualAlloc(base_, page_, MEM_COMMIT, PAGE_READWRITE));
        for (DWORD i = 0; i < page_; ++i)
            base_[i] = (BYTE)(i * 7 + 1);
    }
    void TearDown() override { VirtualFree(base_, 0, MEM_RELEASE); }

    BYTE *base_ = nullptr;
    DWORD page_ = 0;
};

TEST_F(TwoPages, ReadsCodeInPlatformByteOrderAtAnyAlignment)
{
    for (DWORD offset : {0u, 1u, 2u, 3u, 64u, 4093u}) {
        offset = offset >= page_ - 3 ? page_ - 4 : offset;
        BYTE *p = base_ + offset;
        p[0] = 0x00;
        p[1] = 0x01;
        p[2] = 0x00;
        p[3] = 0x00;
        DWORD code = 0xFFFFFFFF;
        ASSERT_TRUE(ReadEventCode((LPARAM)p, &code)) << "offset " << offset;
        EXPECT_EQ(AGENT_EVENT_LAUNCH, code) << "offset " << offset;
    }
}

TEST_F(TwoPages, RefusesUnreadableAddresses)
{
    BYTE *second = base_ + page_;
    const struct {
        const char *name;
        DWORD secondPage;  // 0: leave reserved
        LPARAM address;
    } cases[] = {
        {"null", 0, 0},
        {"first page of memory", 0, 0x10},
        {"top of memory, wrapping", 0, kTopOfMemory},
        {"kernel space", 0, kKernelSpace},
        {"reserved page", 0, (LPARAM)second},
        {"straddling into a reserved page", 0, (LPARAM)(second - 2)},
        {"no-access page", PAGE_NOACCESS, (LPARAM)second},
        {"straddling into a no-access page", PAGE_NOACCESS, (LPARAM)(second - 1)},
        {"guard page", PAGE_READWRITE | PAGE_GUARD, (LPARAM)second},
        {"straddling into a guard page", PAGE_READWRITE | PAGE_GUARD, (LPARAM)(second - 3)},
    };
    for (const auto &c : cases) {
        if (c.secondPage != 0) {
            ASSERT_NE(nullptr, VirtualAlloc(second, page_, MEM_COMMIT, c.secondPage)) << c.name;
        }
        DWORD code = 0x12345678;
        EXPECT_FALSE(ReadEventCode(c.address, &code)) << c.name;
        EXPECT_EQ(0x12345678u, code) << c.name << ": code was written";
        if (c.secondPage != 0) {
            VirtualFree(second, page_, MEM_DECOMMIT);
        }
    }
}

TEST_F(TwoPages, ReadsReadOnlyAndStraddlingReadablePages)
{
    BYTE *second = base_ + page_;
    ASSERT_NE(nullptr, VirtualAlloc(second, page_, MEM_COMMIT, PAGE_READWRITE));
    second[0] = 0x00;
    second[1] = 0x00;
    base_[page_ - 2] = 0x01;
    base_[page_ - 1] = 0x01;
    DWORD old;
    ASSERT_TRUE(VirtualProtect(base_, 2 * page_, PAGE_READONLY, &old));
    DWORD code = 0;
    ASSERT_TRUE(ReadEventCode((LPARAM)(second - 2), &code));
    EXPECT_EQ(0x00000101u, code);
}

// The registry read writes no byte past its buffer, which here ends where the
// untouchable page begins: a read that offered the whole buffer would put the
// terminator of a 512-byte value one byte beyond it, and fault.
TEST_F(TwoPages, ReadInstallDirStaysInsideItsBuffer)
{
    char *buffer = reinterpret_cast<char *>(base_ + page_ - PATH_BUFFER_SIZE);
    const std::string dir502 = "C:\\" + std::string(499, 'd');
    const std::string nul(1, '\0');
    const struct {
        const char *name;
        std::string bytes;
        BOOL installed;
        std::string text;
    } cases[] = {
        {"512 bytes without terminator", std::string(512, 'x'), FALSE, ""},
        {"511 bytes without terminator", std::string(511, 'x'), FALSE, ""},
        {"503 characters without terminator", dir502 + "d", FALSE, ""},
        {"502 characters and terminator", dir502 + nul, TRUE, dir502},
        {"502 characters and junk after the terminator, 511 bytes", dir502 + nul + std::string(7, 'j') + nul, TRUE,
         dir502},
        {"a short text without terminator", "C:\\x", TRUE, "C:\\x"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(harness::WriteInstallDir(c.bytes.data(), (DWORD)c.bytes.size(), REG_SZ));
        EXPECT_EQ(c.installed, ReadInstallDir(buffer));
        if (c.installed) {
            EXPECT_EQ(c.text, std::string(buffer));
        }
    }
    harness::RemoveProductKey();
}

// A value stored without its terminator, read into a buffer whose other
// bytes are not zero (as a stack buffer's are not): the text read is exactly
// the stored one, not the stored one and whatever followed it in memory.
// Only Windows can fail this: Wine terminates the text itself, once when it
// is written (RegSetValueEx adds a terminator to string data that lacks
// one) and again when it is read (RegQueryValueExA writes a zero after the
// text, uncounted, where the buffer has room).
TEST(ReadInstallDir, GivesExactlyTheStoredTextWhenItHasNoTerminator)
{
    for (size_t length : {4u, 9u, 100u, 502u}) {
        SCOPED_TRACE(length);
        const std::string stored = "C:\\" + std::string(length - 3, 'p');
        ASSERT_TRUE(harness::WriteInstallDir(stored.data(), (DWORD)stored.size(), REG_SZ));
        char buffer[PATH_BUFFER_SIZE];
        memset(buffer, 'X', sizeof buffer);
        ASSERT_TRUE(ReadInstallDir(buffer));
        EXPECT_EQ(stored, std::string(buffer));
    }
    harness::RemoveProductKey();
}

}  // namespace
