// CleanBaseName: through the code page, nine characters to spaces, 200 characters at
// most, a timestamp when nothing is left.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>

#include "convert/naming.h"
#include "core/codepage.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace tess {
namespace {

const LocalTime kFixed{2026, 12, 7, 17, 50, 36};
LocalTime FixedClock() { return kFixed; }

std::wstring Clean1252(std::wstring_view name) {
    return CleanBaseName(name, Windows1252(), FixedClock);
}

bool LooksLikeTimestamp(const std::wstring& s) {
    return std::regex_match(s, std::wregex(L"[0-9]{8}-[0-9]{6}"));
}

TEST(TimestampName, PadsEveryField) {
    EXPECT_EQ(TimestampName(kFixed), L"20261207-175036");
    EXPECT_EQ(TimestampName({2027, 1, 2, 3, 4, 5}), L"20270102-030405");
    EXPECT_EQ(TimestampName({999, 10, 31, 0, 0, 0}), L"09991031-000000");
}

TEST(CleanBaseName, NameOutsideTheCodePageBecomesTimestamp) {
    EXPECT_EQ(Clean1252(L"写真"), L"20261207-175036");
    EXPECT_EQ(Clean1252(L"旅行の写真"), L"20261207-175036");
    // What the code page cannot hold turns into "?" and then into spaces; the rest stays,
    // untrimmed.
    EXPECT_EQ(Clean1252(L"写真 trip"), L"   trip");
    EXPECT_EQ(Clean1252(L"trip 写真"), L"trip   ");
}

TEST(CleanBaseName, BlankOrEmptyBecomesTimestamp) {
    EXPECT_EQ(Clean1252(L""), L"20261207-175036");
    EXPECT_EQ(Clean1252(L"   "), L"20261207-175036");
    EXPECT_EQ(Clean1252(L"?*:"), L"20261207-175036");
}

TEST(CleanBaseName, ReplacesExactlyTheNineCharacters) {
    EXPECT_EQ(Clean1252(L"a/b\\c<d>e?f\"g:h*i|j"), L"a b c d e f g h i j");
    EXPECT_EQ(Clean1252(L"//||"), L"20261207-175036");
    // Everything else the code page holds passes unchanged, spaces at either end too.
    const std::wstring kept =
        L" & # % ' ; , = + [ ] { } ! @ ~ ` ^ ( ) $ - _ . é ñ Ü ß æ ø € Š œ Ÿ ";
    EXPECT_EQ(Clean1252(kept), kept);
}

TEST(CleanBaseName, CutsTo200CharactersBeforeTheBlankTest) {
    const std::wstring exactly200(200, L'x');
    EXPECT_EQ(Clean1252(exactly200), exactly200);

    std::wstring long250;
    for (int i = 0; i < 250; ++i) long250 += static_cast<wchar_t>(L'a' + i % 26);
    EXPECT_EQ(Clean1252(long250), long250.substr(0, 200));

    // 200 characters the code page cannot hold and then a word: the cut leaves only
    // blanks, so the name becomes the timestamp.
    EXPECT_EQ(Clean1252(std::wstring(200, L'写') + L"trip"), L"20261207-175036");
    // One character fewer and the word's first letter survives the cut.
    EXPECT_EQ(Clean1252(std::wstring(199, L'写') + L"trip"), std::wstring(199, L' ') + L"t");
}

TEST(CleanBaseName, OrdinaryNameIsUnchanged) {
    EXPECT_EQ(Clean1252(L"IMG_0001"), L"IMG_0001");
    EXPECT_EQ(Clean1252(L"trip.2023"), L"trip.2023");
}

// The system's own code page: the table natively, CP_ACP under Wine.
#ifdef _WIN32
// Guards the runs below: under a Japanese locale they must really see code page 932.
TEST(SystemCodePage, IsTheOneTheLocaleAsksFor) {
    const char* locale = std::getenv("LC_ALL");
    if (!locale || !*locale) GTEST_SKIP() << "LC_ALL not set: run through CTest";
    const std::string name(locale);
    EXPECT_EQ(GetACP(), name.rfind("ja_JP", 0) == 0 ? 932u : 1252u) << "LC_ALL=" << name;
}
#endif

TEST(SystemCodePage, CjkNameSurvivesOnlyWhereTheCodePageHoldsIt) {
    const std::wstring name = CleanBaseName(L"写真");
#ifdef _WIN32
    if (GetACP() == 932) {
        EXPECT_EQ(name, L"写真");
        return;
    }
#endif
    EXPECT_TRUE(LooksLikeTimestamp(name)) << "got a name of " << name.size() << " characters";
}

TEST(SystemCodePage, BlankNameTakesTheLocalClock) {
    const std::wstring name = CleanBaseName(L"");
    ASSERT_TRUE(LooksLikeTimestamp(name));
    const LocalTime now = LocalNow();
    // The date part names this year (unless the year turned in between).
    const int year = std::stoi(name.substr(0, 4));
    EXPECT_TRUE(year == now.year || year + 1 == now.year);
    EXPECT_GE(now.month, 1);
    EXPECT_LE(now.month, 12);
}

TEST(SystemCodePage, AsciiNameAndTheNineCharactersBehaveTheSameEverywhere) {
    EXPECT_EQ(CleanBaseName(L"IMG_0001 & #5 %"), L"IMG_0001 & #5 %");
    EXPECT_EQ(CleanBaseName(L"a/b<c>d?e\"f:g*h|i"), L"a b c d e f g h i");
}

TEST(SurvivesCodePage, TellsWhichPathsNeedAScratchCopy) {
    EXPECT_TRUE(SurvivesCodePage(L"C:\\Photos\\Été à Paris.HEIC", Windows1252()));
    EXPECT_FALSE(SurvivesCodePage(L"C:\\写真\\IMG_1.HEIC", Windows1252()));
    EXPECT_FALSE(SurvivesCodePage(L"C:\\Photos\\Ĳssel.HEIC", Windows1252()));
}

}  // namespace
}  // namespace tess
