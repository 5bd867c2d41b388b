// The Windows converter on its own: every input family read from, and every output format
// written to, paths that no ANSI code page holds (given on a wide command line), and a
// command line started through the ANSI entry point, as the window starts it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "convert/naming.h"
#include "core/codepage.h"
#include "core/scoped_win.h"
#include "tests/batch/support.h"
#include "tests/dialogs/dialog_driver.h"
#include "tests/e2e/e2e_paths.h"
#include "tests/e2e/jpeg_check.h"

namespace tess {
namespace {

using testing::ReadBytes;
using testing::Utf8;

std::wstring Converter() { return testing::ProgramFolder() + L"\\data\\convert.exe"; }

// Exit code of the finished converter; -1 when it could not start or did not end.
DWORD Wait(const PROCESS_INFORMATION& started) {
    const UniqueHandle process(started.hProcess), thread(started.hThread);
    if (WaitForSingleObject(process.get(), 120000) != WAIT_OBJECT_0) return DWORD(-1);
    DWORD code = DWORD(-1);
    GetExitCodeProcess(process.get(), &code);
    return code;
}

DWORD RunWide(const std::wstring& input, const std::wstring& output) {
    std::wstring command = L"\"" + Converter() + L"\" -quality 85% \"" + input + L"\" \"" + output + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &started))
        return DWORD(-1);
    return Wait(started);
}

// The first bytes of each output format.
std::string MagicOf(const std::wstring& format) {
    if (format == L"JPG") return "\xFF\xD8\xFF";
    if (format == L"PNG") return "\x89PNG";
    if (format == L"GIF") return "GIF8";
    if (format == L"TIF") return "II*";
    return "BM";
}

// Hangul: outside Windows-1252 and 932 alike.
const std::wstring kFolderName = L"\uC0AC\uC9C4 \uD3F4\uB354";  // 사진 폴더
const std::wstring kBaseName = L"\uD48D\uACBD";                  // 풍경

class WidePaths : public ::testing::TestWithParam<std::wstring> {
protected:
    void SetUp() override {
        folder_ = temp_.Path() + L"\\" + kFolderName;
        ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
    }
    // A copy of the photo under a Hangul name, keeping its extension.
    std::wstring Input(const std::wstring& photo) {
        const std::wstring path = folder_ + L"\\" + kBaseName + photo.substr(photo.rfind(L'.'));
        EXPECT_TRUE(CopyFileW(e2e::Photo(photo).c_str(), path.c_str(), FALSE)) << Utf8(photo);
        return path;
    }

    testing::TempFolder temp_;
    std::wstring folder_;
};

class InputFamily : public WidePaths {};

TEST_P(InputFamily, IsReadFromAHangulPath) {
    const std::wstring input = Input(GetParam());
    const std::wstring output = folder_ + L"\\" + kBaseName + L" \uACB0\uACFC.JPG";  // 결과
    ASSERT_EQ(RunWide(input, output), 0u);
    const e2e::JpegMarkers m = e2e::ReadJpegMarkers(ReadBytes(output));
    ASSERT_TRUE(m.valid);
    EXPECT_GT(m.width, 0);
    EXPECT_GT(m.height, 0);
}

INSTANTIATE_TEST_SUITE_P(E2E, InputFamily,
                         ::testing::Values(L"small.heic", L"small.jpg", L"small.png", L"small.tif", L"small.gif",
                                           L"small.bmp", L"scene.hdr", L"camera.cr2"),
                         [](const auto& info) {
                             std::string name = Utf8(info.param);
                             for (char& c : name)
                                 if (c == '.') c = '_';
                             return name;
                         });

class OutputFormat : public WidePaths {};

TEST_P(OutputFormat, IsWrittenToAHangulPath) {
    const std::wstring input = Input(L"small.heic");
    const std::wstring output = folder_ + L"\\" + kBaseName + L"." + GetParam();
    ASSERT_EQ(RunWide(input, output), 0u);
    EXPECT_EQ(ReadBytes(output).rfind(MagicOf(GetParam()), 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(E2E, OutputFormat, ::testing::Values(L"JPG", L"PNG", L"GIF", L"TIF", L"BMP"),
                         [](const auto& info) { return Utf8(info.param); });

// The window starts the converter through CreateProcessA: a name the ANSI code page holds
// (accented Latin under 1252, Japanese under 932) must reach it intact.
TEST_F(WidePaths, CodePageAnsiCommandLineKeepsTheName) {
    std::wstring name;
    for (const std::wstring candidate : {L"Caf\u00E9 \u00DCber", L"\u5199\u771F"})  // Café Über, 写真
        if (SurvivesCodePage(candidate)) name = candidate;
    ASSERT_FALSE(name.empty()) << "neither name fits the ANSI code page";

    const std::wstring input = temp_.Path() + L"\\" + name + L".heic";
    const std::wstring output = temp_.Path() + L"\\" + name + L".JPG";
    ASSERT_TRUE(CopyFileW(e2e::Photo(L"small.heic").c_str(), input.c_str(), FALSE));
    std::string command = SystemCodePage().Narrow(Converter() + L" -quality 85% \"" + input + L"\" \"" + output + L"\"");
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                               nullptr, &startup, &started));
    ASSERT_EQ(Wait(started), 0u);
    EXPECT_EQ(e2e::ReadJpegMarkers(ReadBytes(output)).width, 800);
}

}  // namespace
}  // namespace tess
