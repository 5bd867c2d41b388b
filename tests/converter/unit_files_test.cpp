// The file layer: path pieces and the output that appears only when complete;
// and the JPEG writer's strips, which it writes through that layer.
#include <gtest/gtest.h>

#include <turbojpeg.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>

#include "tools/convert/fileio.h"
#include "tools/convert/image.h"
#include "tools/convert/savers.h"

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

namespace {

std::vector<uint8_t> decodeJpeg(const std::string& bytes, int& w, int& h) {
    tjhandle tj = tjInitDecompress();
    int ss = 0, cs = 0;
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    std::vector<uint8_t> px;
    if (tjDecompressHeader3(tj, b, bytes.size(), &w, &h, &ss, &cs) == 0) {
        px.resize(size_t(w) * h * 3);
        if (tjDecompress2(tj, b, bytes.size(), px.data(), w, 0, h, TJPF_RGB, TJFLAG_ACCURATEDCT) != 0) px.clear();
    }
    tjDestroy(tj);
    return px;
}

// Encodes img with the given thread count and returns the file's bytes.
std::string encode(const Image& img, int quality, int threads, const Folder& f, const std::string& name) {
    SaveOptions opt;
    opt.quality = quality;
    opt.threads = threads;
    OutFile out(f.at(name));
    saveJpeg(img, opt, out);
    out.commit();
    return contents(f.at(name));
}

TEST(JpegStrips, JoinedStripsDecodeToTheSamePixelsAsOneRun) {
    Folder f;
    Image rgb;
    rgb.allocate(333, 1100, 3, 8);  // 69 MCU rows at 4:2:0, the last one partial
    for (size_t i = 0; i < rgb.px8.size(); ++i) rgb.px8[i] = uint8_t((i * 2654435761u) >> 24 ^ (i / 999));
    Image ycc;
    ycc.width = 333;
    ycc.height = 1100;
    ycc.ycc420.resize(333 * 1100 + 2 * 167 * 550);
    for (size_t i = 0; i < ycc.ycc420.size(); ++i) ycc.ycc420[i] = uint8_t(128 + 60 * std::sin(i * 0.01));
    for (const Image* img : {&rgb, &ycc})
        for (int q : {85, 95}) {
            SCOPED_TRACE(std::string(img->isYcc420() ? "planes" : "rgb") + " q" + std::to_string(q));
            const std::string one = encode(*img, q, 1, f, "one.jpg"), three = encode(*img, q, 3, f, "three.jpg");
            EXPECT_NE(one, three);  // three strips: restart markers in the file
            int w1 = 0, h1 = 0, w3 = 0, h3 = 0;
            const std::vector<uint8_t> a = decodeJpeg(one, w1, h1), b = decodeJpeg(three, w3, h3);
            ASSERT_FALSE(b.empty());
            EXPECT_EQ(w3, 333);
            EXPECT_EQ(h3, 1100);
            EXPECT_TRUE(a == b);
        }
}

}  // namespace
