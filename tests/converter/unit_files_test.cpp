// The file layer: path pieces and the output that appears only when complete.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "tools/convert/fileio.h"
#include "tools/convert/image.h"

using namespace conv;
namespace fs = std::filesystem;

namespace {

struct Folder {
    fs::path dir = fs::temp_directory_path() / ("convunit-" + std::to_string(std::random_device{}()));
    Folder() { fs::create_directories(dir); }
    ~Folder() { fs::remove_all(dir); }
    Path at(const std::string& n) const { return fromUtf8((dir / n).string()); }
    size_t count() const { return size_t(std::distance(fs::directory_iterator(dir), fs::directory_iterator())); }
};

std::string contents(const Path& p) {
    std::ifstream f(toUtf8(p), std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

TEST(Paths, ExtensionAndParent) {
    EXPECT_EQ(extensionLower(fromUtf8("/a/b/IMG_1.HEIC")), "heic");
    EXPECT_EQ(extensionLower(fromUtf8("/a.dir/b")), "");
    EXPECT_EQ(extensionLower(fromUtf8("/a/b.")), "");
    EXPECT_EQ(extensionLower(fromUtf8("x.tar.GZ")), "gz");
    EXPECT_EQ(extensionLower(fromUtf8("/a/b.j\xc3\xa9g")), "");  // not ASCII: no format
    EXPECT_EQ(toUtf8(parentDir(fromUtf8("/a/b/c.jpg"))), "/a/b");
    EXPECT_EQ(toUtf8(parentDir(fromUtf8("/c.jpg"))), "/");
    EXPECT_EQ(toUtf8(parentDir(fromUtf8("c.jpg"))), ".");
}

TEST(OutFile, NothingAppearsUntilCommitAndNothingStaysWithout) {
    Folder f;
    const Path target = f.at("out.jpg");
    {
        OutFile out(target);
        out.write("abc", 3);
        EXPECT_FALSE(fileExists(target));
        EXPECT_EQ(f.count(), 1u);  // the temporary file, in the same folder
        EXPECT_EQ(toUtf8(parentDir(out.tempPath())), f.dir.string());
    }
    EXPECT_FALSE(fileExists(target));
    EXPECT_EQ(f.count(), 0u);
}

TEST(OutFile, CommitReplacesAnExistingFileWhole) {
    Folder f;
    const Path target = f.at("out.png");
    { std::ofstream(toUtf8(target)) << "an older and longer file"; }
    OutFile out(target);
    out.write("new", 3);
    EXPECT_EQ(contents(target), "an older and longer file");
    out.commit();
    EXPECT_EQ(contents(target), "new");
    EXPECT_EQ(f.count(), 1u);
}

TEST(OutFile, SeekReadAndPatchLikeATiffWriter) {
    Folder f;
    const Path target = f.at("out.tif");
    OutFile out(target);
    out.write("0123456789", 10);
    EXPECT_EQ(out.tell(), 10);
    out.seek(2, SEEK_SET);
    out.write("ab", 2);
    out.seek(0, SEEK_SET);
    char buf[4] = {};
    EXPECT_EQ(out.read(buf, 4), 4u);
    EXPECT_EQ(std::string(buf, 4), "01ab");
    EXPECT_EQ(out.size(), 10);
    out.commit();
    EXPECT_EQ(contents(target), "01ab456789");
}

TEST(OutFile, TwoWritersToOneNameDoNotShareATemporaryFile) {
    Folder f;
    OutFile a(f.at("same.jpg")), b(f.at("same.jpg"));
    EXPECT_NE(a.tempPath(), b.tempPath());
    a.write("A", 1);
    b.write("B", 1);
    a.commit();
    b.commit();
    EXPECT_EQ(contents(f.at("same.jpg")), "B");
    EXPECT_EQ(f.count(), 1u);
}

TEST(OutFile, MissingFolderIsAnOutputError) {
    Folder f;
    try {
        OutFile out(f.at("nope/out.jpg"));
        FAIL() << "created a file in a missing folder";
    } catch (const ConvertError& e) {
        EXPECT_EQ(e.code, kExitOutput);
        EXPECT_NE(e.message.find("out.jpg"), std::string::npos);
        EXPECT_NE(e.message.find("does not exist"), std::string::npos);
    }
}

TEST(Files, SameFileSeesThroughSpellingsAndLinks) {
    Folder f;
    const Path a = f.at("a.jpg");
    { std::ofstream(toUtf8(a)) << "x"; }
    EXPECT_TRUE(sameFile(a, fromUtf8((f.dir / "." / "a.jpg").string())));
    fs::create_hard_link(toUtf8(a), f.dir / "b.jpg");
    EXPECT_TRUE(sameFile(a, f.at("b.jpg")));
    EXPECT_FALSE(sameFile(a, f.at("missing.jpg")));
}

TEST(Files, ReadingAMissingFileIsAnInputError) {
    Folder f;
    try {
        readWholeFile(f.at("gone.heic"));
        FAIL();
    } catch (const ConvertError& e) {
        EXPECT_EQ(e.code, kExitInput);
        EXPECT_NE(e.message.find("gone.heic"), std::string::npos);
    }
}

}  // namespace
