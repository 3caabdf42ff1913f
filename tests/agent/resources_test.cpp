/*
 * agent.exe's resources as the platform's loader sees them: nothing beyond
 * the identity strings, the two icon groups, the application manifest and
 * the version resource, all in language 0x0404 (check_binaries.sh reads
 * the manifest's content, package_tables_test.sh the version's).
 */
#include <gtest/gtest.h>

#include <windows.h>

#include <set>
#include <string>
#include <tuple>

#include "agent_harness.h"

namespace {

constexpr WORD kLanguage = harness::kResourceLanguage;

using Resource = std::tuple<std::string, std::string, WORD>;  // type, name, language

std::string ResourceId(LPCSTR id)
{
    return IS_INTRESOURCE(id) ? "#" + std::to_string((ULONG_PTR)id) : std::string(id);
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCSTR type, LPCSTR name, WORD language, LONG_PTR param)
{
    reinterpret_cast<std::set<Resource> *>(param)->insert({ResourceId(type), ResourceId(name), language});
    return TRUE;
}

BOOL CALLBACK CollectName(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR param)
{
    EnumResourceLanguagesA(module, type, name, CollectLanguage, param);
    return TRUE;
}

BOOL CALLBACK CollectType(HMODULE module, LPSTR type, LONG_PTR param)
{
    EnumResourceNamesA(module, type, CollectName, param);
    return TRUE;
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colorCount, reserved;
    WORD planes, bitCount;
    DWORD bytesInRes;
    WORD id;
};
struct GroupIconHeader {
    WORD reserved, type, count;
    GroupIconEntry entries[1];
};
#pragma pack(pop)

class AgentResources : public ::testing::Test {
protected:
    void SetUp() override
    {
        module_ = LoadLibraryExA(harness::AgentPath().c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(nullptr, module_) << harness::AgentPath();
    }
    void TearDown() override
    {
        if (module_)
            FreeLibrary(module_);
    }

    const void *Find(LPCSTR type, int id, DWORD *size = nullptr) const
    {
        HRSRC res = FindResourceExA(module_, type, MAKEINTRESOURCEA(id), kLanguage);
        if (!res)
            return nullptr;
        if (size)
            *size = SizeofResource(module_, res);
        return LockResource(LoadResource(module_, res));
    }

    HMODULE module_ = nullptr;
};

TEST_F(AgentResources, HoldsExactlyTheListedResourcesAllInLanguage0404)
{
    std::set<Resource> found;
    EnumResourceTypesA(module_, CollectType, reinterpret_cast<LONG_PTR>(&found));

    std::set<std::string> groups, images, manifests, versions;
    for (const Resource &r : found) {
        EXPECT_EQ(kLanguage, std::get<2>(r)) << std::get<0>(r) << " " << std::get<1>(r);
        const std::string &type = std::get<0>(r);
        if (type == ResourceId(RT_GROUP_ICON))
            groups.insert(std::get<1>(r));
        else if (type == ResourceId(RT_ICON))
            images.insert(std::get<1>(r));
        else if (type == ResourceId(RT_MANIFEST))
            manifests.insert(std::get<1>(r));
        else if (type == ResourceId(RT_VERSION))
            versions.insert(std::get<1>(r));
        else
            EXPECT_EQ(ResourceId(RT_STRING), type) << "unexpected resource " << std::get<1>(r);
    }
    EXPECT_EQ((std::set<std::string>{ResourceId(MAKEINTRESOURCEA(harness::kIconGroup)),
                                     ResourceId(MAKEINTRESOURCEA(harness::kSmallIconGroup))}),
              groups);
    // The application manifest, as the loader looks for it at process start.
    EXPECT_EQ((std::set<std::string>{ResourceId(CREATEPROCESS_MANIFEST_RESOURCE_ID)}), manifests);
    // The version resource, which Explorer and inventory tools read.
    EXPECT_EQ((std::set<std::string>{ResourceId(MAKEINTRESOURCEA(VS_VERSION_INFO))}), versions);
    EXPECT_EQ(3u, images.size()) << "icon images";
    // Strings 103 to 109 share one string block, of 16 strings from 96;
    // there is no other block.
    const std::string block = ResourceId(MAKEINTRESOURCEA(harness::kWindowTitleString / 16 + 1));
    EXPECT_EQ(harness::kWindowTitleString / 16, harness::kWindowClassString / 16);
    EXPECT_EQ(1u, found.count({ResourceId(RT_STRING), block, kLanguage}));
    EXPECT_EQ(nullptr, Find(RT_MENU, harness::kMenu)) << "menu " << harness::kMenu << " must not exist";
}

TEST_F(AgentResources, StringTableHoldsIdentityTextsAndNoPaintText)
{
    const struct {
        int id;
        const char *text;
    } cases[] = {
        {harness::kWindowTitleString, harness::kWindowTitle},
        {harness::kWindowClassString, harness::kWindowClass},
        {harness::kPaintTextString, ""},
        {harness::kWindowTitleString + 1, ""},
        {harness::kWindowClassString + 1, ""},
    };
    for (const auto &c : cases) {
        char buffer[100];
        lstrcpyA(buffer, "untouched");
        int length = LoadStringA(module_, c.id, buffer, sizeof buffer);
        EXPECT_EQ((int)strlen(c.text), length) << "string " << c.id;
        if (length > 0) {
            EXPECT_STREQ(c.text, buffer) << "string " << c.id;
        }
    }
}

TEST_F(AgentResources, IconGroupsHoldSixteenColourImagesOfTheListedSizes)
{
    const struct {
        int group;
        std::set<int> sizes;
    } cases[] = {{harness::kIconGroup, {32, 16}}, {harness::kSmallIconGroup, {16}}};
    for (const auto &c : cases) {
        DWORD size = 0;
        auto *header = static_cast<const GroupIconHeader *>(Find(RT_GROUP_ICON, c.group, &size));
        ASSERT_NE(nullptr, header) << "icon group " << c.group;
        ASSERT_EQ(c.sizes.size(), header->count) << "icon group " << c.group;
        std::set<int> sizes;
        for (int i = 0; i < header->count; ++i) {
            const GroupIconEntry &e = header->entries[i];
            SCOPED_TRACE("icon group " + std::to_string(c.group) + " image " + std::to_string(e.id));
            EXPECT_EQ(e.width, e.height);
            EXPECT_EQ(4, e.bitCount);
            EXPECT_EQ(16, e.colorCount);
            sizes.insert(e.width);
            DWORD imageSize = 0;
            auto *bih = static_cast<const BITMAPINFOHEADER *>(Find(RT_ICON, e.id, &imageSize));
            ASSERT_NE(nullptr, bih);
            EXPECT_EQ(e.bytesInRes, imageSize);
            EXPECT_EQ(4, bih->biBitCount);
            EXPECT_EQ((LONG)e.width, bih->biWidth);
            EXPECT_EQ(2 * (LONG)e.height, bih->biHeight);
            // A black-and-white picture: every pixel is grey-scale, and both
            // black and white occur.
            const RGBQUAD *palette = reinterpret_cast<const RGBQUAD *>(bih + 1);
            const BYTE *pixels = reinterpret_cast<const BYTE *>(palette + 16);
            const int rowBytes = ((e.width * 4 + 31) / 32) * 4;
            bool black = false, white = false;
            for (int y = 0; y < e.height; ++y) {
                for (int x = 0; x < e.width; ++x) {
                    BYTE b = pixels[y * rowBytes + x / 2];
                    const RGBQUAD &q = palette[x % 2 ? b & 0x0F : b >> 4];
                    EXPECT_TRUE(q.rgbRed == q.rgbGreen && q.rgbGreen == q.rgbBlue) << "colour at " << x << "," << y;
                    black |= q.rgbRed == 0;
                    white |= q.rgbRed == 0xFF;
                }
            }
            EXPECT_TRUE(black && white) << "not a black-and-white picture";
        }
        EXPECT_EQ(c.sizes, sizes) << "icon group " << c.group;
    }
}

}  // namespace
