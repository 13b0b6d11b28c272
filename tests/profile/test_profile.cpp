// SPDX-License-Identifier: GPL-3.0-or-later
// The profile (ini) reader and writer: the same text read from UTF-8 and
// UTF-16LE files, writes that keep every other line and the encoding, the
// 254-character cut, profile integers and the defaults.
#include "common/profile/Profile.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace kestova {
namespace {

const std::string kText =
    "; factory settings\r\n"
    "[info]\r\n"
    "JpgQuality = 85\r\n"
    "Titlename=\"Mein Rahmen\"\r\n"
    "LangIndex=-1\r\n"
    "\r\n"
    "[Language]\r\n"
    "Lan_1=English\r\n"
    "Lan_2=中文(简体)\r\n"
    "[中文(简体)]\r\n"
    "IDC_BUTTON_SAVE=保存 😀\r\n";

std::string Utf16(const std::string& utf8)
{
    std::string out = "\xFF\xFE";
    std::u32string cps;
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char b = static_cast<unsigned char>(utf8[i]);
        int n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        char32_t cp = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
        for (int k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        cps += cp;
        i += n;
    }
    auto unit = [&](unsigned u) { out += char(u & 0xFF); out += char(u >> 8); };
    for (char32_t cp : cps) {
        if (cp >= 0x10000) {
            unit(0xD800 + ((cp - 0x10000) >> 10));
            unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            unit(unsigned(cp));
        }
    }
    return out;
}

std::string Repeat(const std::string& s, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

struct EncodingCase {
    const char* name;
    std::string bytes;
    ProfileFile::Encoding encoding;
};

std::vector<EncodingCase> EncodingCases()
{
    return {{"utf8", kText, ProfileFile::Encoding::Utf8},
            {"utf8-bom", "\xEF\xBB\xBF" + kText, ProfileFile::Encoding::Utf8Bom},
            {"utf16le", Utf16(kText), ProfileFile::Encoding::Utf16LE}};
}

TEST(Profile, EveryEncodingReadsAlikeAndAWriteKeepsOtherLinesAndEncoding)
{
    test::TempDir dir;
    for (const EncodingCase& c : EncodingCases()) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.File(std::string(c.name) + ".ini");
        test::WriteFile(path, std::vector<uint8_t>(c.bytes.begin(), c.bytes.end()));

        // Lookups: case-insensitive names, trimmed and unquoted values,
        // non-ASCII section names and values, integers.
        EXPECT_EQ(ReadProfileInt(path, "INFO", "jpgquality", 90), 85);
        EXPECT_EQ(ReadProfileString(path, "info", "TITLENAME", "Kestova"), "Mein Rahmen");
        EXPECT_EQ(ReadProfileInt(path, "info", "LangIndex", 0), -1);
        EXPECT_EQ(ReadProfileString(path, "Language", "Lan_2", ""), "中文(简体)");
        EXPECT_EQ(ReadProfileString(path, "中文(简体)", "IDC_BUTTON_SAVE", "Save"), "保存 😀");
        EXPECT_EQ(ReadProfileString(path, "Language", "Lan_3", "none"), "none");
        EXPECT_EQ(ReadProfileString(path, "Deutsch", "Lan_1", "x"), "x");

        // Change one key and add one key to an existing and to a new section;
        // the file stays as private as it was.
        std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        ASSERT_TRUE(WriteProfileString(path, "Info", "langindex", "1"));
        ASSERT_TRUE(WriteProfileString(path, "info", "Language", "中文(简体)"));
        ASSERT_TRUE(WriteProfileString(path, "Extra", "Key", "v"));
        const std::vector<uint8_t> after = test::ReadFile(path);
        const ProfileFile f = ProfileFile::Parse(std::string(after.begin(), after.end()));
        EXPECT_EQ(f.GetEncoding(), c.encoding);
        EXPECT_EQ(std::filesystem::status(path).permissions(),
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        const std::string expected =
            "; factory settings\r\n"
            "[info]\r\n"
            "JpgQuality = 85\r\n"
            "Titlename=\"Mein Rahmen\"\r\n"
            "LangIndex=1\r\n"
            "Language=中文(简体)\r\n"
            "\r\n"
            "[Language]\r\n"
            "Lan_1=English\r\n"
            "Lan_2=中文(简体)\r\n"
            "[中文(简体)]\r\n"
            "IDC_BUTTON_SAVE=保存 😀\r\n"
            "[Extra]\r\n"
            "Key=v\r\n";
        const std::string want = c.encoding == ProfileFile::Encoding::Utf16LE ? Utf16(expected)
                                 : c.encoding == ProfileFile::Encoding::Utf8Bom ? "\xEF\xBB\xBF" + expected
                                                                                : expected;
        EXPECT_EQ(std::string(after.begin(), after.end()), want);
    }
}

TEST(Profile, ValuesAreCutAt254CharactersNeverInsideOne)
{
    const struct {
        std::string value;
        std::string expected;
    } cases[] = {
        {std::string(300, 'x'), std::string(254, 'x')},
        {std::string(254, 'y'), std::string(254, 'y')},
        // 300 three-byte characters: 254 whole characters, 762 bytes.
        {Repeat("中", 300), Repeat("中", 254)},
    };
    for (const auto& c : cases) {
        const ProfileFile f = ProfileFile::Parse("[info]\nTitlename=" + c.value + "\n");
        EXPECT_EQ(f.GetString("info", "Titlename", ""), c.expected);
        // Defaults are handed out through the same buffer.
        EXPECT_EQ(f.GetString("info", "Missing", c.value), c.expected);
    }
}

TEST(Profile, ProfileIntegers)
{
    const struct {
        const char* value;
        int expected;
    } cases[] = {{"90", 90},   {"  -1 ", -1}, {"+7", 7},         {"12abc", 12}, {"abc", 0},
                 {"", 5},      {"0x1F", 31},  {"4294967295", -1}, {"\"3\"", 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        const ProfileFile f = ProfileFile::Parse(std::string("[s]\nk=") + c.value + "\n");
        EXPECT_EQ(f.GetInt("s", "k", 5), c.expected);
    }
    EXPECT_EQ(ProfileFile().GetInt("s", "k", -1), -1);
}

TEST(Profile, MissingOversizedAndNonTextFilesGiveDefaults)
{
    test::TempDir dir;
    EXPECT_EQ(ReadProfileString(dir.File("none.ini"), "info", "VID", "norvelta"), "norvelta");
    EXPECT_EQ(ReadProfileInt(dir.File("none.ini"), "info", "ThumbColumn", 5), 5);

    // Too large to be a profile: every key defaults and a write leaves it alone.
    const std::string big = dir.File("big.ini");
    std::string content = "[info]\nJpgQuality=50\n";
    content.resize(ProfileFile::kMaxFileBytes + 1, ' ');
    test::WriteFile(big, std::vector<uint8_t>(content.begin(), content.end()));
    EXPECT_EQ(ReadProfileInt(big, "info", "JpgQuality", 90), 90);
    EXPECT_FALSE(WriteProfileString(big, "info", "JpgQuality", "1"));
    EXPECT_EQ(test::ReadFile(big).size(), content.size());

    // Bytes that are not text: no section matches, and they survive a write.
    std::string junk;
    for (int i = 0; i < 256; ++i) junk += char(i);
    ProfileFile f = ProfileFile::Parse(junk);
    EXPECT_EQ(f.GetString("info", "VID", "norvelta"), "norvelta");
    f.SetString("info", "LangIndex", "0");
    EXPECT_EQ(f.Serialize().substr(0, junk.size()), junk);
    EXPECT_EQ(ProfileFile::Parse(f.Serialize()).GetInt("info", "LangIndex", -1), 0);

    // A missing file is created by a write.
    ASSERT_TRUE(WriteProfileString(dir.File("new.ini"), "info", "LangIndex", "2"));
    EXPECT_EQ(ReadProfileInt(dir.File("new.ini"), "info", "LangIndex", -1), 2);
}

} // namespace
} // namespace kestova
