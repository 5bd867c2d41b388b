#include "app/settings_file.h"

#include <gtest/gtest.h>

#include <string>

namespace tess {
namespace {

const CodePage& cp = Windows1252();

SettingsValues Values(std::wstring a, std::wstring b, std::wstring c, std::wstring d) {
    return SettingsValues{std::move(a), std::move(b), std::move(c), std::move(d)};
}

std::vector<std::wstring> Lines(std::initializer_list<const wchar_t*> l) { return {l.begin(), l.end()}; }

TEST(SettingsText, WritesFourCrLfLines) {
    EXPECT_EQ(FormatSettings(Values(L"JPG", L"85", L"NO", L"1600"), cp), "JPG\r\n85\r\nNO\r\n1600\r\n");
}

TEST(SettingsText, ValuesComeBackUnchanged) {
    const SettingsValues cases[] = {
        Values(L"PNG", L"90", L"YES", L"1200"),
        Values(L"JPG", L"8,5", L"NO", L"1600"),          // a comma is not a separator
        Values(L"JPG", L"\"85\"", L"NO", L"1600"),       // quotes are kept, not stripped
        Values(L"JPG", L"", L"NO", L"1600"),             // an empty line stays empty
        Values(L" jpg ", L"\t85", L"yes", L"1600 "),     // nothing is trimmed or case-folded
        Values(L"BMP", L"100", L"YES", L"-1"),           // nothing is validated
    };
    for (const auto& v : cases) {
        const auto lines = ParseSettingsLines(FormatSettings(v, cp), cp);
        ASSERT_EQ(lines.size(), 4u);
        EXPECT_EQ(lines[0], v.format);
        EXPECT_EQ(lines[1], v.quality);
        EXPECT_EQ(lines[2], v.resizeSwitch);
        EXPECT_EQ(lines[3], v.width);
    }
}

TEST(SettingsText, NarrowsThroughTheCodePage) {
    // Euro and e-acute live in Windows-1252; a CJK character does not and becomes '?'.
    const std::string text = FormatSettings(Values(L"J\u20ACG", L"\u00E9", L"\u5B57", L"1600"), cp);
    EXPECT_EQ(text, "J\x80G\r\n\xE9\r\n?\r\n1600\r\n");
    const auto lines = ParseSettingsLines(text, cp);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], L"J\u20ACG");
    EXPECT_EQ(lines[1], L"\u00E9");
    EXPECT_EQ(lines[2], L"?");
}

TEST(SettingsText, FewerLinesGiveFewerValues) {
    EXPECT_TRUE(ParseSettingsLines("", cp).empty());
    EXPECT_EQ(ParseSettingsLines("PNG\r\n", cp), Lines({L"PNG"}));
    EXPECT_EQ(ParseSettingsLines("PNG\r\n90\r\n", cp), Lines({L"PNG", L"90"}));
    // The last line may lack its line end.
    EXPECT_EQ(ParseSettingsLines("PNG\r\n90\r\nYES", cp), Lines({L"PNG", L"90", L"YES"}));
    // An empty line is a line.
    EXPECT_EQ(ParseSettingsLines("\r\n\r\nNO\r\n", cp), Lines({L"", L"", L"NO"}));
}

TEST(SettingsText, OnlyTheFirstFourLinesAreRead) {
    EXPECT_EQ(ParseSettingsLines("a\r\nb\r\nc\r\nd\r\ne\r\nf\r\n", cp), Lines({L"a", L"b", L"c", L"d"}));
}

TEST(SettingsText, LoneCrOrLfEndsALine) {
    EXPECT_EQ(ParseSettingsLines("a\nb\rc\r\nd", cp), Lines({L"a", L"b", L"c", L"d"}));
    // CR CR LF: an empty line between.
    EXPECT_EQ(ParseSettingsLines("a\r\r\nb", cp), Lines({L"a", L"", L"b"}));
}

TEST(SettingsText, BinaryGarbageIsTakenAsText) {
    std::string garbage;
    for (int i = 0; i < 256; ++i) garbage.push_back(static_cast<char>(i));
    const auto lines = ParseSettingsLines(garbage, cp);
    // Bytes 0..9, then LF ends line 1; 11, 12, then CR ends line 2; the rest is line 3.
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].size(), 10u);
    EXPECT_EQ(lines[0][0], L'\0');
    EXPECT_EQ(lines[1], std::wstring(L"\x0B\x0C"));
    EXPECT_EQ(lines[2].size(), 256u - 14u);
    EXPECT_EQ(lines[2].back(), L'\u00FF');
}

TEST(SettingsText, AMegabyteLineIsKeptWhole) {
    const std::string big(1 << 20, 'x');
    const auto lines = ParseSettingsLines(big + "\r\n90\r\nYES\r\n1200\r\n", cp);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].size(), big.size());
    EXPECT_EQ(lines[3], L"1200");
}

TEST(SettingsPath, IsAppDataFollowedByTheFileName) {
    EXPECT_EQ(SettingsPathFor(L"C:\\Users\\u\\AppData\\Roaming"), L"C:\\Users\\u\\AppData\\Roaming\\settingheic.ini");
    // No separator check: a trailing backslash doubles.
    EXPECT_EQ(SettingsPathFor(L"D:\\cfg\\"), L"D:\\cfg\\\\settingheic.ini");
    // Unset: the root of the current drive.
    EXPECT_EQ(SettingsPathFor(L""), L"\\settingheic.ini");
}

}  // namespace
}  // namespace tess
