// The test converter keeps the converter's contract: started the way the window program
// starts it (ANSI command line built by BuildCommandLine, hidden, output on a pipe), it
// writes the output file, fails when told to, and runs under the image name convert.exe.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <filesystem>
#include <string>

#include "convert/command_line.h"
#include "convert/naming.h"
#include "core/codepage.h"
#include "core/scoped_win.h"
#include "tests/support/utf8.h"

namespace fs = std::filesystem;

namespace tess {
namespace {

std::wstring AppFolder() {
    wchar_t buf[MAX_PATH * 2];
    const DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH * 2);
    return ApplicationFolder(std::wstring(buf, n));
}

struct Started {
    UniqueHandle process;
    UniqueHandle output;  // read end of the pipe
};

Started Start(const std::wstring& commandLine) {
    Started s;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    UniqueHandle write;
    if (!CreatePipe(s.output.put(), write.put(), &sa, 0)) return s;
    SetHandleInformation(s.output.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    si.hStdOutput = write.get();
    si.hStdError = write.get();
    std::string narrow = SystemCodePage().Narrow(commandLine);
    PROCESS_INFORMATION pi{};
    if (CreateProcessA(nullptr, narrow.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                       nullptr, &si, &pi)) {
        UniqueHandle thread(pi.hThread);
        s.process.reset(pi.hProcess);
    }
    return s;
}

struct Finished {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;
};

Finished Wait(Started& s) {
    Finished f;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(s.output.get(), buf, sizeof buf, &got, nullptr) && got > 0) f.output.append(buf, got);
    WaitForSingleObject(s.process.get(), 30000);
    GetExitCodeProcess(s.process.get(), &f.exitCode);
    return f;
}

Finished RunToEnd(const std::wstring& commandLine) {
    Started s = Start(commandLine);
    if (!s.process) return {};
    return Wait(s);
}

// Through the wide entry points: the C++ streams of this runtime narrow the file name.
std::string Slurp(const fs::path& p) {
    UniqueHandle f(CreateFileW(p.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes;
    char buf[4096];
    DWORD got = 0;
    while (f && ReadFile(f.get(), buf, sizeof buf, &got, nullptr) && got > 0) bytes.append(buf, got);
    return bytes;
}

void Put(const fs::path& p, const std::string& bytes) {
    UniqueHandle f(CreateFileW(p.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(f && WriteFile(f.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                               nullptr));
}

using testing::Utf8;

bool ConverterRunning() {
    UniqueHandle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snap) return false;
    PROCESSENTRY32W pe{};
    pe.dwSize = sizeof pe;
    for (BOOL ok = Process32FirstW(snap.get(), &pe); ok; ok = Process32NextW(snap.get(), &pe))
        if (_wcsicmp(pe.szExeFile, L"convert.exe") == 0) return true;
    return false;
}

class FakeConverter : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t tmp[MAX_PATH];
        GetTempPathW(MAX_PATH, tmp);
        dir_ = fs::path(tmp) / (L"tessaline-fakeconv-" + std::to_wstring(GetCurrentProcessId()) +
                                L"-" + std::to_wstring(GetTickCount64()));
        fs::create_directories(dir_);
        log_ = dir_ / L"calls.log";
        SetEnvironmentVariableW(L"TESS_FAKECONV_LOG", log_.wstring().c_str());
        ASSERT_TRUE(fs::exists(AppFolder() + L"\\data\\convert.exe"));
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"TESS_FAKECONV_LOG", nullptr);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::wstring Folder() const { return dir_.wstring(); }

    std::wstring CommandFor(const std::wstring& input, const std::wstring& base,
                            const std::wstring& resize = L"") const {
        const std::wstring app = AppFolder();
        const std::wstring folder = Folder();
        CommandLineInputs in;
        in.appFolder = app;
        in.quality = L"85";
        in.inputPath = input;
        in.resize = resize;
        in.outputFolder = folder;
        in.outputBaseName = base;
        in.formatWord = L"JPG";
        return BuildCommandLine(in);
    }

    fs::path dir_, log_;
};

TEST_F(FakeConverter, WritesTheOutputAndLogsTheCall) {
    const fs::path input = dir_ / L"IMG_1.HEIC";
    Put(input, "photo one");
    const std::wstring cmd = CommandFor(input.wstring(), L"IMG_1");
    const Finished f = RunToEnd(cmd);
    EXPECT_EQ(f.exitCode, 0u);
    EXPECT_EQ(f.output, "");
    const std::string out = Slurp(dir_ / L"IMG_1.JPG");
    EXPECT_EQ(out, "photo one\n#convert " + Utf8(cmd) + "\n");

    const std::string log = Slurp(log_);
    EXPECT_NE(log.find("start "), std::string::npos);
    EXPECT_NE(log.find(Utf8(cmd)), std::string::npos);
    EXPECT_NE(log.find("end "), std::string::npos);
    EXPECT_LT(log.find("start "), log.find("end "));
}

TEST_F(FakeConverter, TakesTheResizeBetweenInputAndOutput) {
    const fs::path input = dir_ / L"a b & c.heic";
    Put(input, "x");
    const Finished f = RunToEnd(CommandFor(input.wstring(), L"a b & c", ReadResizeOption(L"YES", L"1600")));
    EXPECT_EQ(f.exitCode, 0u);
    EXPECT_NE(Slurp(dir_ / L"a b & c.JPG").find("\" -resize 1600 \""), std::string::npos);
}

TEST_F(FakeConverter, FailsWhenToldWithItsReasonOnThePipe) {
    const fs::path input = dir_ / L"IMG_2.HEIC";
    Put(input, "header FAIL rest");
    const Finished f = RunToEnd(CommandFor(input.wstring(), L"IMG_2"));
    EXPECT_EQ(f.exitCode, 2u);
    EXPECT_NE(f.output.find("IMG_2.HEIC"), std::string::npos) << f.output;
    EXPECT_FALSE(fs::exists(dir_ / L"IMG_2.JPG"));

    const fs::path quiet = dir_ / L"IMG_3_FAIL_MUTE.HEIC";
    Put(quiet, "x");
    const Finished g = RunToEnd(CommandFor(quiet.wstring(), L"IMG_3"));
    EXPECT_EQ(g.exitCode, 2u);
    EXPECT_EQ(g.output, "");
}

TEST_F(FakeConverter, CanSucceedWithoutWritingAnything) {
    const fs::path input = dir_ / L"IMG_NOOUT.HEIC";
    Put(input, "x");
    EXPECT_EQ(RunToEnd(CommandFor(input.wstring(), L"IMG_NOOUT")).exitCode, 0u);
    EXPECT_FALSE(fs::exists(dir_ / L"IMG_NOOUT.JPG"));
}

TEST_F(FakeConverter, RefusesAFolderOrAMissingFile) {
    fs::create_directories(dir_ / L"Trip");
    const Finished f = RunToEnd(CommandFor((dir_ / L"Trip").wstring(), L"Trip"));
    EXPECT_NE(f.exitCode, 0u);
    EXPECT_NE(f.output.find("unable to open"), std::string::npos) << f.output;
    EXPECT_FALSE(fs::exists(dir_ / L"Trip.JPG"));
    EXPECT_NE(RunToEnd(CommandFor((dir_ / L"gone.HEIC").wstring(), L"gone")).exitCode, 0u);
}

TEST_F(FakeConverter, RefusesAnotherCommandLine) {
    const Finished f = RunToEnd(AppFolder() + L"\\data\\convert.exe -quality 85% \"only-one.heic\"");
    EXPECT_EQ(f.exitCode, 1u);
    EXPECT_NE(f.output.find("usage"), std::string::npos);
}

TEST_F(FakeConverter, RunsAsConvertExeForAsLongAsItIsSlow) {
    const fs::path input = dir_ / L"IMG_SLOW400.HEIC";
    Put(input, "x");
    const ULONGLONG t0 = GetTickCount64();
    Started s = Start(CommandFor(input.wstring(), L"IMG_SLOW400"));
    ASSERT_TRUE(s.process);
    bool seen = false;
    for (int i = 0; i < 20 && !seen; ++i) {
        seen = ConverterRunning();
        if (!seen) Sleep(10);
    }
    EXPECT_TRUE(seen) << "no process named convert.exe while it runs";
    const Finished f = Wait(s);
    EXPECT_EQ(f.exitCode, 0u);
    EXPECT_GE(GetTickCount64() - t0, 400u);
    EXPECT_TRUE(fs::exists(dir_ / L"IMG_SLOW400.JPG"));
}

TEST_F(FakeConverter, CjkNameWhereTheCodePageHoldsIt) {
    const fs::path input = dir_ / L"写真.HEIC";
    if (!SurvivesCodePage(input.wstring()))
        GTEST_SKIP() << "the ANSI code page " << GetACP() << " cannot hold the name";
    Put(input, "cjk");
    const Finished f = RunToEnd(CommandFor(input.wstring(), L"写真"));
    EXPECT_EQ(f.exitCode, 0u) << Utf8(SystemCodePage().Widen(f.output));
    EXPECT_EQ(Slurp(dir_ / L"写真.JPG").substr(0, 3), "cjk");
}

}  // namespace
}  // namespace tess
