/*
 * The launch action: the product started from the directory the registry
 * records, its fallback, and the web site when the product is not
 * installed, for every form the registry value may take.
 */
#include "agent_fixture.h"

using namespace harness;

namespace {

TEST_F(AgentTest, LaunchStartsFirstProgramThereInItsDirectory)
{
    const struct {
        const char *name;
        bool withVorq;
        const char *expected;
    } cases[] = {
        {"both programs there", true, "Vorq.exe"},
        {"only the fallback there", false, "Duxo.exe"},
    };
    ASSERT_NE(nullptr, StartAgent());
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ClearRecords();
        const std::string dir = MakeProduct(c.name, c.withVorq, true);
        ASSERT_TRUE(WriteInstallDirText(dir));
        EXPECT_EQ(0u, SendEvent(kEventLaunch));
        auto records = Records();
        ASSERT_EQ(1u, records.size()) << Describe(records);
        const std::string program = dir + "\\" + c.expected;
        EXPECT_EQ(Lower(program), Lower(records[0].program));
        EXPECT_EQ(Lower(dir), Lower(records[0].directory));
        EXPECT_EQ(Quote(program), records[0].commandLine);
    }
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
        ClearRecords();
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
    const ULONGLONG qword = 0x0000007465735C3Aull;              // ":\set" if taken as text
    const std::string terminated = dir + std::string(1, '\0');
    enum Store { kNoKey, kKeyOnly, kValue, kSubkey, kDefaultValue };
    const struct {
        const char *name;
        Store store;
        std::string value;
        DWORD type;
    } cases[] = {
        {"key absent", kNoKey, "", REG_SZ},
        {"value absent", kKeyOnly, "", REG_SZ},
        {"InstallDir a subkey, not a value", kSubkey, "", REG_SZ},
        {"the directory as the key's default value", kDefaultValue, terminated, REG_SZ},
        {"empty text", kValue, std::string(1, '\0'), REG_SZ},
        {"empty text without terminator", kValue, "", REG_SZ},
        {"value longer than the buffer", kValue, tooLongValue + std::string(1, '\0'), REG_SZ},
        {"directory too long for its paths", kValue, dir503 + std::string(1, '\0'), REG_SZ},
        {"number", kValue, std::string((const char *)&number, 4), REG_DWORD},
        {"64-bit number", kValue, std::string((const char *)&qword, 8), REG_QWORD},
        {"binary", kValue, terminated, REG_BINARY},
        {"multi-string", kValue, dir + std::string(2, '\0'), REG_MULTI_SZ},
        {"no type", kValue, terminated, REG_NONE},
        {"a type of nobody's", kValue, terminated, 0x7F3A},
    };
    ASSERT_NE(nullptr, StartAgent());
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ClearRecords();
        RemoveProductKey();
        HKEY key = NULL;
        if (c.store != kNoKey) {
            ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, NULL, 0, KEY_ALL_ACCESS,
                                                     NULL, &key, NULL));
        }
        if (c.store == kSubkey) {
            HKEY subkey;
            ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(key, kInstallDirValue, &subkey));
            RegCloseKey(subkey);
        }
        if (c.store == kValue || c.store == kDefaultValue) {
            ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, c.store == kValue ? kInstallDirValue : NULL, 0, c.type,
                                                    (const BYTE *)c.value.data(), (DWORD)c.value.size()));
        }
        if (key != NULL)
            RegCloseKey(key);
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
    // Quoted as the agent quotes paths, this would read as the product's
    // program followed by an argument.
    const std::string product = MakeProduct("product", true, false);
    const std::string smuggling = product + "\\Vorq.exe\" \"";
    const std::string cases[] = {empty, dir502, quoted, smuggling};
    ASSERT_NE(nullptr, StartAgent());
    for (const std::string &value : cases) {
        SCOPED_TRACE(value.substr(0, 60));
        ClearRecords();
        ASSERT_TRUE(WriteInstallDirText(value));
        EXPECT_EQ(0u, SendEvent(kEventLaunch));
        EXPECT_TRUE(Records().empty()) << Describe(Records());
        EXPECT_TRUE(agent_.Running());
    }
}

}  // namespace
