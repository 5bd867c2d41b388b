// Base name, extension and scratch-copy rules of a path.
#include <gtest/gtest.h>

#include "convert/get_file.h"
#include "convert/naming.h"

namespace tess {
namespace {

TEST(GetBaseName, TakesTheFileNameWithoutItsLastExtension) {
    EXPECT_EQ(GetBaseName(L"C:\\Photos\\IMG_0001.HEIC"), L"IMG_0001");
    EXPECT_EQ(GetBaseName(L"D:\\a.b\\trip.2023.heic"), L"trip.2023");
    EXPECT_EQ(GetBaseName(L"IMG_7.heic"), L"IMG_7");  // no folder at all
    EXPECT_EQ(GetBaseName(L"C:\\x\\a b & c.dng"), L"a b & c");
    EXPECT_EQ(GetBaseName(L"\\\\server\\share\\写真.HEIC"), L"写真");
}

TEST(GetBaseName, FailsToEmpty) {
    EXPECT_EQ(GetBaseName(L""), L"");
    EXPECT_EQ(GetBaseName(L"C:\\Photos\\README"), L"");   // no "." in the file name
    EXPECT_EQ(GetBaseName(L"D:\\a.b\\README"), L"");      // a "." in a folder does not count
    EXPECT_EQ(GetBaseName(L"C:\\Photos\\"), L"");         // empty file part
    EXPECT_EQ(GetBaseName(L"C:\\Photos\\.hidden"), L"");  // its only "." comes first
}

TEST(GetBaseName, OnlyBackslashSeparates) {
    EXPECT_EQ(GetBaseName(L"C:/Photos/IMG_1.HEIC"), L"C:/Photos/IMG_1");
    EXPECT_EQ(GetBaseName(L"C:\\a/b\\c/d.e"), L"c/d");
}

TEST(ExtensionOf, ScansTheWholePathBackToTheLastDot) {
    EXPECT_EQ(ExtensionOf(L"C:\\Photos\\IMG_0001.HEIC"), L"HEIC");  // case kept
    EXPECT_EQ(ExtensionOf(L"C:\\Photos\\x.tar.gz"), L"gz");
    EXPECT_EQ(ExtensionOf(L"D:\\a.b\\README"), L"b\\README");      // path, not file part
    EXPECT_EQ(ExtensionOf(L"C:\\Photos\\README"), L"C:\\Photos\\README");
    EXPECT_EQ(ExtensionOf(L"C:\\Photos\\x."), L"");
}

TEST(ScratchCopy, PathIsPlainConcatenation) {
    EXPECT_EQ(ScratchCopyPath(L"20261207-175036", L"HEIC"), L"c:\\tmp\\20261207-175036.HEIC");
    EXPECT_EQ(ScratchCopyPath(L"  a", L"heic"), L"c:\\tmp\\  a.heic");
}

TEST(ScratchCopy, FileWithoutDotGetsNoExtension) {
    EXPECT_EQ(ScratchExtensionOf(L"C:\\写真\\旅行.heic"), L"heic");
    EXPECT_EQ(ScratchExtensionOf(L"C:\\Photos\\README"), L"");
    EXPECT_EQ(ScratchExtensionOf(L"D:\\a.b\\README"), L"");
    EXPECT_EQ(ScratchCopyPath(L"x", ScratchExtensionOf(L"D:\\a.b\\README")), L"c:\\tmp\\x.");
}

TEST(OutputPath, IsPlainConcatenation) {
    EXPECT_EQ(OutputPath(L"C:\\output", L"IMG_0001", L"JPG"), L"C:\\output\\IMG_0001.JPG");
    // A drive root keeps its backslash: the separator doubles.
    EXPECT_EQ(OutputPath(L"D:\\", L"IMG_0001", L"PNG"), L"D:\\\\IMG_0001.PNG");
    // An empty base name (a file used directly by the dialog batch with no ".").
    EXPECT_EQ(OutputPath(L"C:\\output", L"", L"TIF"), L"C:\\output\\.TIF");
}

}  // namespace
}  // namespace tess
