// The converter's command line, the resize fragment, the application folder and the
// progress caption.
#include <gtest/gtest.h>

#include "convert/command_line.h"
#include "core/codepage.h"

namespace tess {
namespace {

CommandLineInputs Example() {
    CommandLineInputs in;
    in.appFolder = L"C:\\Apps\\PhotoConv";
    in.quality = L"85";
    in.inputPath = L"C:\\Photos\\IMG_0001.HEIC";
    in.resize = L"";
    in.outputFolder = L"C:\\output";
    in.outputBaseName = L"IMG_0001";
    in.formatWord = L"JPG";
    return in;
}

TEST(BuildCommandLine, WorkedExamplesByteForByte) {
    CommandLineInputs in = Example();
    const std::string plain = Windows1252().Narrow(BuildCommandLine(in));
    EXPECT_EQ(plain,
              "C:\\Apps\\PhotoConv\\data\\convert.exe -quality 85% \"C:\\Photos\\IMG_0001.HEIC\" "
              "\"C:\\output\\IMG_0001.JPG\"");

    const std::wstring resize = ReadResizeOption(L"YES", L"1600");
    in.resize = resize;
    EXPECT_EQ(Windows1252().Narrow(BuildCommandLine(in)),
              "C:\\Apps\\PhotoConv\\data\\convert.exe -quality 85% \"C:\\Photos\\IMG_0001.HEIC\" "
              "-resize 1600 \"C:\\output\\IMG_0001.JPG\"");
}

TEST(BuildCommandLine, PiecesAreUsedAsTheyStand) {
    CommandLineInputs in = Example();
    in.quality = L"";  // nothing between "-quality " and "% "
    in.formatWord = L"PNG";
    in.outputBaseName = L"  a&b #1";
    in.inputPath = L"C:\\My Photos\\a\"b.heic";  // no escaping, even of a quote
    EXPECT_EQ(BuildCommandLine(in),
              L"C:\\Apps\\PhotoConv\\data\\convert.exe -quality % \"C:\\My Photos\\a\"b.heic\" "
              L"\"C:\\output\\  a&b #1.PNG\"");
}

TEST(BuildCommandLine, DriveRootsDoubleTheBackslash) {
    CommandLineInputs in = Example();
    in.appFolder = L"D:\\";
    in.outputFolder = L"E:\\";
    EXPECT_EQ(BuildCommandLine(in),
              L"D:\\\\data\\convert.exe -quality 85% \"C:\\Photos\\IMG_0001.HEIC\" "
              L"\"E:\\\\IMG_0001.JPG\"");
}

TEST(BuildCommandLine, KeepsCharactersOutsideTheCodePage) {
    CommandLineInputs in = Example();
    in.inputPath = L"C:\\写真\\旅行.HEIC";
    in.outputBaseName = L"旅行";
    EXPECT_EQ(BuildCommandLine(in),
              L"C:\\Apps\\PhotoConv\\data\\convert.exe -quality 85% \"C:\\写真\\旅行.HEIC\" "
              L"\"C:\\output\\旅行.JPG\"");
}

TEST(ReadResizeOption, OnlyAnExactYesResizes) {
    EXPECT_EQ(ReadResizeOption(L"YES", L"1600"), L" -resize 1600");
    EXPECT_EQ(ReadResizeOption(L"YES", L"12ab"), L" -resize 12ab");  // not validated
    EXPECT_EQ(ReadResizeOption(L"YES", L""), L" -resize ");
    EXPECT_EQ(ReadResizeOption(L"NO", L"1600"), L"");
    EXPECT_EQ(ReadResizeOption(L"yes", L"1600"), L"");
    EXPECT_EQ(ReadResizeOption(L"YES ", L"1600"), L"");
    EXPECT_EQ(ReadResizeOption(L"", L"1600"), L"");
}

TEST(ApplicationFolder, DropsTheProgramFileName) {
    EXPECT_EQ(ApplicationFolder(L"C:\\Apps\\PhotoConv\\Tessaline.exe"), L"C:\\Apps\\PhotoConv");
    EXPECT_EQ(ApplicationFolder(L"\\\\server\\share\\Tessaline.exe"), L"\\\\server\\share");
    EXPECT_EQ(ApplicationFolder(L"C:\\My Apps\\a.b\\t.exe"), L"C:\\My Apps\\a.b");
}

TEST(ApplicationFolder, KeepsTheBackslashOfADriveRoot) {
    EXPECT_EQ(ApplicationFolder(L"D:\\Tessaline.exe"), L"D:\\");
    EXPECT_EQ(ApplicationFolder(L"\\\\?\\D:\\Tessaline.exe"), L"\\\\?\\D:\\");
    CommandLineInputs in = Example();
    const std::wstring folder = ApplicationFolder(L"D:\\Tessaline.exe");
    in.appFolder = folder;
    EXPECT_EQ(BuildCommandLine(in).substr(0, 22), L"D:\\\\data\\convert.exe -");
}

TEST(ProgressCaption, CountsFromOneInPlainDecimal) {
    EXPECT_EQ(ProgressCaption(0, 3), L"Converting...1/3");
    EXPECT_EQ(ProgressCaption(2, 3), L"Converting...3/3");
    EXPECT_EQ(ProgressCaption(9, 120), L"Converting...10/120");
    EXPECT_TRUE(IsBusyCaption(ProgressCaption(0, 1)));
    EXPECT_FALSE(IsBusyCaption(L"Please drag and drop Photos Here"));
    EXPECT_FALSE(IsBusyCaption(L"Preparing Files..."));
    EXPECT_FALSE(IsBusyCaption(L"conv"));
    EXPECT_FALSE(IsBusyCaption(L"Con"));
}

}  // namespace
}  // namespace tess
