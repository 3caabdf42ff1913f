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
        {"both programs there", true, kPrimaryProgram},
        {"only the fallback there", false, kFallbackProgram},
    };
    ASSERT_NE(nullptr, StartAgent());
    for (const auto &c : cases) {
        ClearRecords();
        const std::string dir = MakeProduct(c.name, c.withVorq, true);
        ASSERT_TRUE(WriteInstallDirText(dir));
        EXPECT_EQ(0u, SendEvent(HID_EVENT_LAUNCH));
        EXPECT_TRUE(Started(c.name, {ProductStart(dir, c.expected)}));
    }
}

TEST_F(AgentTest, EveryLaunchEventStartsAnotherCopy)
{
    std::string dir = MakeProduct("product", true, false);
    ASSERT_TRUE(WriteInstallDirText(dir));
    ASSERT_NE(nullptr, StartAgent());
    EXPECT_EQ(0u, SendEvent(HID_EVENT_LAUNCH));
    EXPECT_EQ(0u, SendEvent(HID_EVENT_LAUNCH));
    const Record product = ProductStart(dir, kPrimaryProgram);
    EXPECT_TRUE(Started("two launch events", {product, product}));
}

TEST_F(AgentTest, InstallDirFormsThatStillStartTheProduct)
{
    const std::string plain = MakeProduct("plain", true, false);
    const std::string blanks = MakeProduct("ab cd", true, false);
    // The unquoted-path hijack: a program where the blank would cut the path.
    ASSERT_TRUE(CopyRecorderTo(base_ + "\\ab.exe"));
    const std::string nul(1, '\0');
    const struct {
        const char *name;
        std::string value;  // bytes as stored, terminator included or not
        DWORD type;
        Record expected;
    } cases[] = {
        {"trailing backslash", plain + "\\" + nul, REG_SZ, ProductStart(plain, kPrimaryProgram, plain + "\\\\" + kPrimaryProgram)},
        {"blanks in the directory", blanks + nul, REG_SZ, ProductStart(blanks, kPrimaryProgram)},
        {"stored without a terminator", plain, REG_SZ, ProductStart(plain, kPrimaryProgram)},
        {"bytes after the terminator", plain + nul + "junk", REG_SZ, ProductStart(plain, kPrimaryProgram)},
        {"expandable string type", plain + nul, REG_EXPAND_SZ, ProductStart(plain, kPrimaryProgram)},
    };
    ASSERT_NE(nullptr, StartAgent());
    for (const auto &c : cases) {
        ClearRecords();
        ASSERT_TRUE(WriteInstallDir(c.value.data(), (DWORD)c.value.size(), c.type)) << c.name;
        EXPECT_EQ(0u, SendEvent(HID_EVENT_LAUNCH));
        EXPECT_TRUE(Started(c.name, {c.expected}));
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
        EXPECT_EQ(0u, SendEvent(HID_EVENT_LAUNCH));
        EXPECT_TRUE(Started(c.name, {Browser()}));
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
    const std::string smuggling = product + "\\" + kPrimaryProgram + "\" \"";
    const std::string cases[] = {empty, dir502, quoted, smuggling};
    ASSERT_NE(nullptr, StartAgent());
    for (const std::string &value : cases) {
        ClearRecords();
        ASSERT_TRUE(WriteInstallDirText(value));
        EXPECT_EQ(0u, SendEvent(HID_EVENT_LAUNCH));
        EXPECT_TRUE(Started(value.substr(0, 60), {}));
        EXPECT_TRUE(agent_.Running());
    }
}

// The shell takes a bare host name for a file first, and "www.ostrel.com"
// is a program's name: planted where the shell looks, in the agent's current
// directory or in a folder on its PATH (on Windows the per-user PATH holds
// folders the user can write to), it must never run instead of the browser.
TEST_F(AgentTest, WebSiteIsNeverTakenForAPlantedProgram)
{
    const std::string onPath = base_ + "\\on-path";
    CreateDirectoryA(onPath.c_str(), NULL);
    const struct {
        const char *name;
        std::string folder;
    } cases[] = {
        {"planted in the agent's current directory", base_},
        {"planted in a folder on the agent's PATH", onPath},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(CopyRecorderTo(c.folder + "\\" + kWebSiteHost)) << c.name;
        ScopedEnvironment path("PATH", onPath + ";C:\\windows\\system32;C:\\windows");
        ASSERT_NE(nullptr, StartAgent()) << c.name;
        ClearRecords();
        EXPECT_EQ(0u, SendEvent(HID_EVENT_LAUNCH));
        EXPECT_TRUE(Started(c.name, {Browser()}));
        agent_.Quit();
        DeleteFileA((c.folder + "\\" + kWebSiteHost).c_str());
    }
}

// The product's uninstaller or upgrade must be able to remove the product's
// folder while an agent runs: once a launch has returned, the agent is back
// in its own current directory (a web-site launch shows where), and holds
// the product's folder no more.
TEST_F(AgentTest, ProductFolderIsNotHeldAfterALaunch)
{
    const struct {
        const char *name;
        bool withVorq;
    } cases[] = {
        {"after the product was started", true},
        {"after neither program could be started", false},
    };
    ASSERT_NE(nullptr, StartAgent());
    for (const auto &c : cases) {
        ClearRecords();
        const std::string dir = MakeProduct("product", c.withVorq, false);
        ASSERT_TRUE(WriteInstallDirText(dir));
        EXPECT_EQ(0u, SendEvent(HID_EVENT_LAUNCH));
        RemoveProductKey();
        EXPECT_EQ(0u, SendEvent(HID_EVENT_LAUNCH));
        std::vector<Record> expected = {Browser()};
        if (c.withVorq)
            expected.insert(expected.begin(), ProductStart(dir, kPrimaryProgram));
        EXPECT_TRUE(Started(c.name, expected));

        DeleteFileA((dir + "\\" + kPrimaryProgram).c_str());
        EXPECT_TRUE(RemoveDirectoryA(dir.c_str()))
            << c.name << ": the emptied product folder cannot be removed, error " << GetLastError();
    }
}

// The agent's own registry view decides where it has the key; the 64-bit
// view is read only when it has none.  Only a 32-bit agent on 64-bit
// Windows sees two views.
// On 64-bit Windows each width has a registry view of its own: the agent
// looks in its own first and, only where the key is missing there, in the
// other width's.
TEST_F(AgentTest, ProductKeyInTheOtherRegistryView)
{
    const bool wide = sizeof(void *) == 8;
    if (!wide && !UnderWow64())
        GTEST_SKIP() << "one registry view here: these cases need 64-bit Windows";
    const REGSAM ownView = wide ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    const REGSAM otherView = wide ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    const std::string own = MakeProduct("own view", true, false);
    const std::string other = MakeProduct("other view", true, false);
    enum OwnView { kNoKey, kKeyOnly, kEmptyText, kProduct };
    const struct {
        const char *name;
        OwnView ownView;
        std::vector<Record> expected;
    } cases[] = {
        {"key in the other width's view only", kNoKey, {ProductStart(other, kPrimaryProgram)}},
        {"key in both views", kProduct, {ProductStart(own, kPrimaryProgram)}},
        {"key without InstallDir in the agent's view", kKeyOnly, {Browser()}},
        {"empty InstallDir in the agent's view", kEmptyText, {Browser()}},
    };
    ASSERT_NE(nullptr, StartAgent());
    for (const auto &c : cases) {
        ClearRecords();
        RemoveProductKey();
        ASSERT_TRUE(WriteInstallDirText(other, otherView)) << c.name;
        if (c.ownView == kKeyOnly) {
            ASSERT_TRUE(CreateProductKeyOnly(ownView));
        }
        if (c.ownView == kEmptyText || c.ownView == kProduct) {
            ASSERT_TRUE(WriteInstallDirText(c.ownView == kProduct ? own : "", ownView));
        }
        EXPECT_EQ(0u, SendEvent(HID_EVENT_LAUNCH));
        EXPECT_TRUE(Started(c.name, c.expected));
    }
}

}  // namespace
