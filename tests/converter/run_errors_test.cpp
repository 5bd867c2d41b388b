// Everything that must fail: the exit code, one line on standard error naming
// the file, and no output file (nor temporary file) left behind.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <iterator>

#include "run_helpers.h"

using namespace convtest;

namespace {

size_t lines(const std::string& s) {
    size_t n = 0;
    for (char c : s) n += c == '\n';
    return n;
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESS_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef TESS_ADDRESS_SANITIZER
constexpr bool kUnderAddressSanitizer = true;
#else
constexpr bool kUnderAddressSanitizer = false;
#endif

void expectOneLine(const RunResult& r) {
    EXPECT_EQ(lines(r.err), 1u) << r.err;
    EXPECT_EQ(r.err.rfind("convert: ", 0), 0u) << r.err;
}

TEST(Arguments, NotUnderstoodGivesExitOneAndOneLine) {
    TempDir tmp;
    const std::string in = fixture("src.png"), out = tmp.path("out.jpg");
    const std::vector<std::vector<std::string>> cases = {
        {},
        {in},
        {"-frobnicate", in, out},
        {"-quality", "abc", in, out},
        {"-quality", "0", in, out},
        {"-quality", "101%", in, out},
        {"-quality"},
        {in, "-resize", "wide", out},
        {in, "-resize", "10x10^", out},
        {in, "-resize"},
        {in, out, tmp.path("third.jpg")},
        {in, tmp.path("out.xyz")},
        {in, tmp.path("noextension")},
    };
    for (const auto& args : cases) {
        std::string shown;
        for (const auto& a : args) shown += a + " ";
        SCOPED_TRACE(shown);
        RunResult r = runConvert(args);
        EXPECT_EQ(r.code, 1);
        expectOneLine(r);
        EXPECT_TRUE(tmp.files().empty());
    }
}

TEST(Arguments, HelpAndVersionSucceed) {
    RunResult h = runConvert({"-help"});
    EXPECT_EQ(h.code, 0);
    EXPECT_NE(h.out.find("Usage: convert"), std::string::npos);
    EXPECT_NE(h.out.find("-resize"), std::string::npos);
    RunResult v = runConvert({"-version"});
    EXPECT_EQ(v.code, 0);
    EXPECT_NE(v.out.find("convert"), std::string::npos);
    // The libraries that decide what a photo looks like, with their versions.
    for (const char* lib : {"\nlibheif 1.", "\nlibde265 1.", "\nLibRaw 0.", "\nlibjpeg-turbo 2."})
        EXPECT_NE(v.out.find(lib), std::string::npos) << lib << " in " << v.out;
}

// The two errors that list the formats, word for word.
TEST(Arguments, UnknownKindsAreAnsweredWithWhatIsKnown) {
    TempDir tmp;
    const std::string text = fixture("text.heic"), xyz = tmp.path("out.xyz");
    RunResult in = runConvert({text, tmp.path("out.jpg")});
    EXPECT_EQ(in.code, 2);
    EXPECT_EQ(in.err, "convert: " + text +
                          ": not a picture this program reads (HEIC/HEIF, camera raw, HDR, JPEG, PNG, TIFF, BMP, GIF)\n");
    RunResult out = runConvert({fixture("src.png"), xyz});
    EXPECT_EQ(out.code, 1);
    EXPECT_EQ(out.err, "convert: " + xyz + ": the output name must end in .jpg, .jpeg, .png, .gif, .tif, .tiff or .bmp\n");
    EXPECT_TRUE(tmp.files().empty());
}

struct BadInput {
    const char* name;
    int code;
};

void PrintTo(const BadInput& b, std::ostream* os) { *os << b.name; }

class BrokenInput : public ::testing::TestWithParam<BadInput> {};

TEST_P(BrokenInput, FailsWithItsCodeNamingTheFileAndLeavesNothing) {
    TempDir tmp;
    const std::string in = fixture(GetParam().name);
    for (const char* ext : {"jpg", "png"}) {
        RunResult r = runConvert({"-quality", "85%", in, tmp.path(std::string("out.") + ext)});
        EXPECT_EQ(r.code, GetParam().code) << r.err;
        expectOneLine(r);
        EXPECT_NE(r.err.find(GetParam().name), std::string::npos) << r.err;
        EXPECT_TRUE(tmp.files().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, BrokenInput,
                         ::testing::Values(BadInput{"empty.heic", 2}, BadInput{"text.heic", 2},
                                           BadInput{"truncated_16.heic", 2}, BadInput{"truncated_200.heic", 2},
                                           BadInput{"truncated.jpg", 2}, BadInput{"huge.heic", 4},
                                           BadInput{"huge_grid.heic", 4}, BadInput{"missing.heic", 2},
                                           BadInput{"predicted.heic", 2}),
                         [](const auto& info) { return testName(info.param.name); });

TEST(BrokenInput, TruncatedHeicAtEveryCutFails) {
    TempDir tmp;
    int tried = 0;
    for (const auto& e : fs::directory_iterator(CONVERTER_FIXTURES)) {
        const std::string n = e.path().filename().string();
        if (n.rfind("truncated_", 0) != 0 || e.path().extension() != ".heic") continue;
        SCOPED_TRACE(n);
        ++tried;
        RunResult r = runConvert({e.path().string(), tmp.path("out.jpg")});
        EXPECT_EQ(r.code, 2) << r.err;
        expectOneLine(r);
        EXPECT_TRUE(tmp.files().empty());
    }
    EXPECT_GE(tried, 4);
}

// A flipped bit may or may not be noticed (HEVC data carries no checksum), but
// the converter must neither crash nor leave a half-written file: it either
// writes a whole picture or fails with code 2.
TEST(BrokenInput, BitFlipsNeverCrashOrLeaveHalfFiles) {
    TempDir tmp;
    int tried = 0;
    for (const auto& e : fs::directory_iterator(CONVERTER_FIXTURES)) {
        const std::string n = e.path().filename().string();
        if (n.rfind("bitflip_", 0) != 0) continue;
        SCOPED_TRACE(n);
        ++tried;
        const std::string out = tmp.path("out.jpg");
        RunResult r = runConvert({e.path().string(), out});
        ASSERT_TRUE(r.code == 0 || r.code == 2) << r.code << " " << r.err;
        if (r.code == 0) {
            EXPECT_EQ(decodeJpegFile(out).width, 600u);
            fs::remove(out);
        } else {
            expectOneLine(r);
        }
        EXPECT_TRUE(tmp.files().empty());
    }
    EXPECT_GE(tried, 5);
}

// libpng fails from deep inside itself; wherever the file ends, that must come
// back as an input error naming the file.
TEST(BrokenInput, PngCutAnywhereFailsWithTwo) {
    TempDir tmp;
    std::ifstream f(fixture("src.png"), std::ios::binary);
    const std::string whole{std::istreambuf_iterator<char>(f), {}};
    ASSERT_GT(whole.size(), 1000u);
    // In the signature, the header chunks, the pixel data, and the end chunk.
    for (size_t cut : {size_t(4), size_t(30), size_t(200), whole.size() / 2, whole.size() - 12}) {
        SCOPED_TRACE(cut);
        const std::string in = tmp.path("cut.png");
        std::ofstream(in, std::ios::binary) << whole.substr(0, cut);
        RunResult r = runConvert({in, tmp.path("out.jpg")});
        EXPECT_EQ(r.code, 2) << r.err;
        expectOneLine(r);
        EXPECT_NE(r.err.find("cut.png"), std::string::npos) << r.err;
        fs::remove(in);
        EXPECT_TRUE(tmp.files().empty());
    }
}

// Inputs that fuzzing found faults with (bench/fuzz/regressions/input), each
// refused as damaged.
TEST(BrokenInput, FuzzFindingsAreRefused) {
    TempDir tmp;
    int tried = 0;
    for (const auto& e : fs::directory_iterator(FUZZ_FINDINGS)) {
        SCOPED_TRACE(e.path().filename().string());
        ++tried;
        RunResult r = runConvert({e.path().string(), tmp.path("out.png")});
        EXPECT_EQ(r.code, 2) << r.err;
        expectOneLine(r);
        EXPECT_NE(r.err.find(e.path().string()), std::string::npos) << r.err;
        EXPECT_TRUE(tmp.files().empty());
    }
    EXPECT_GE(tried, 1);
}

TEST(OutputErrors, MissingFolderGivesThree) {
    TempDir tmp;
    RunResult r = runConvert({fixture("src.png"), tmp.path("no/such/folder/out.jpg")});
    EXPECT_EQ(r.code, 3);
    expectOneLine(r);
    EXPECT_NE(r.err.find("out.jpg"), std::string::npos);
    EXPECT_TRUE(tmp.files().empty());
}

TEST(OutputErrors, FolderWhereNothingCanBeCreatedGivesThree) {
    // /proc refuses new files even to root.
    RunResult r = runConvert({fixture("src.png"), "/proc/out.jpg"});
    EXPECT_EQ(r.code, 3);
    expectOneLine(r);
}

TEST(OutputErrors, ReadOnlyFolderGivesThree) {
    if (geteuid() == 0) GTEST_SKIP() << "running as root, who may write into read-only folders";
    TempDir tmp;
    fs::permissions(tmp.dir(), fs::perms::owner_read | fs::perms::owner_exec);
    RunResult r = runConvert({fixture("src.png"), tmp.path("out.jpg")});
    fs::permissions(tmp.dir(), fs::perms::owner_all);
    EXPECT_EQ(r.code, 3);
    expectOneLine(r);
    EXPECT_TRUE(tmp.files().empty());
}

TEST(OutputErrors, OutputNamingTheInputIsRefusedAndTheInputKept) {
    TempDir tmp;
    const std::string in = tmp.path("photo.jpg");
    fs::copy_file(fixture("plain.jpg"), in);
    const auto size = fs::file_size(in);
    const auto when = fs::last_write_time(in);
    for (const std::string& out : {in, tmp.dir().string() + "/./photo.jpg"}) {
        RunResult r = runConvert({in, out});
        EXPECT_EQ(r.code, 3);
        expectOneLine(r);
    }
    // A hard link is the same file under another name.
    fs::create_hard_link(in, tmp.path("link.jpg"));
    EXPECT_EQ(runConvert({in, tmp.path("link.jpg")}).code, 3);
    EXPECT_EQ(fs::file_size(in), size);
    EXPECT_EQ(fs::last_write_time(in), when);
    EXPECT_EQ(tmp.files().size(), 2u);
}

TEST(OutputErrors, FailedConversionLeavesAnEarlierOutputUntouched) {
    TempDir tmp;
    const std::string out = tmp.path("out.jpg");
    { std::ofstream(out) << "earlier"; }
    EXPECT_EQ(runConvert({fixture("truncated_200.heic"), out}).code, 2);
    std::ifstream f(out);
    std::string s;
    std::getline(f, s);
    EXPECT_EQ(s, "earlier");
    EXPECT_EQ(tmp.files().size(), 1u);
    // A good conversion replaces it.
    EXPECT_EQ(runConvert({fixture("src.png"), out}).code, 0);
    EXPECT_EQ(decodeJpegFile(out).width, 600u);
}

// The disk fills part way (here a file-size limit): whichever writer or
// library was writing, an output error naming the file, and nothing left.
TEST(OutputErrors, DiskFullPartWayGivesThreeAndLeavesNothing) {
    TempDir tmp;
    for (const std::string ext : {"jpg", "png", "tif", "gif", "bmp"}) {
        // Every output of src.png is far over 8 KiB.
        RunResult r = runConvertLimited("trap '' XFSZ; ulimit -f 16", {fixture("src.png"), tmp.path("out." + ext)});
        EXPECT_EQ(r.code, 3) << ext << ": " << r.err;
        expectOneLine(r);
        EXPECT_NE(r.err.find("out." + ext), std::string::npos) << r.err;
        EXPECT_TRUE(tmp.files().empty()) << ext;
    }
}

// Short of memory at whatever point (an address-space limit): a code and one
// line that names the file or says what ran out, never a signal, nothing left.
TEST(OutOfMemory, AnyLimitEndsWithACodeAndOneLine) {
    if (kUnderAddressSanitizer) GTEST_SKIP() << "AddressSanitizer reserves more address space than these limits";
    TempDir tmp;
    for (const std::string ext : {"jpg", "png", "tif"}) {
        // From a start that runs out at once, past a band where a worker thread
        // cannot be started (52-56 MiB here), to one where most complete.
        for (int mib : {44, 52, 56, 80}) {
            SCOPED_TRACE(ext + " within " + std::to_string(mib) + " MiB");
            const std::string out = tmp.path("out." + ext);
            RunResult r = runConvertLimited("ulimit -v " + std::to_string(mib * 1024),
                                            {fixture("photo.png"), "-resize", "2112", out});
            if (r.code == 0) {
                fs::remove(out);
                continue;
            }
            EXPECT_TRUE(r.code >= 2 && r.code <= 4) << r.code << " " << r.err;
            expectOneLine(r);
            EXPECT_TRUE(r.err.find("photo.png") != std::string::npos || r.err.find("out.") != std::string::npos ||
                        r.err.find("out of memory") != std::string::npos)
                << r.err;
            EXPECT_TRUE(tmp.files().empty());
        }
    }
}

}  // namespace

// A run short of memory: either the picture is written (and nothing else), or the
// code is 2 or 4 with one line that names the input or the output, and nothing is
// left in the folder. True when the picture was written.
static bool writtenOrFailedCleanly(const RunResult& r, const std::string& in, const std::string& out, TempDir& tmp) {
    if (r.code == 0) {
        EXPECT_EQ(tmp.files(), std::vector<std::string>{fs::path(out).filename().string()});
        fs::remove(out);
        return true;
    }
    EXPECT_TRUE(r.code == 2 || r.code == 4) << r.code << " " << r.err;
    expectOneLine(r);
    EXPECT_TRUE(r.err.find(in) != std::string::npos || r.err.find(out) != std::string::npos) << r.err;
    EXPECT_TRUE(tmp.files().empty());
    return false;
}

// Memory that runs out anywhere (decoding, turning, resizing, encoding, every
// output format) ends with code 4 or 2 and one line, never with a signal, and
// leaves nothing behind; with enough memory the picture is written. The limits
// (of the address space, as `ulimit -v` sets it) sweep across what a 12 MP
// photo needs, so that each stage is the one that fails for some limit.
TEST(OutOfMemory, EveryStageEndsWithOneLine) {
    if (kUnderAddressSanitizer) GTEST_SKIP() << "AddressSanitizer reserves more address space than these limits";
    TempDir tmp;
    const std::string photo = TWELVE_MP_PHOTO;  // 4224x3168 JPEG
    int written = 0, failed = 0;
    for (const std::string& in : {photo, fixture("photo.heic")})
        for (size_t mb : {40, 100, 160, 280})
            for (const char* ext : {"jpg", "png", "tif", "bmp", "gif"}) {
                SCOPED_TRACE(in + " to " + ext + " in " + std::to_string(mb) + " MB");
                const std::string out = tmp.path(std::string("out.") + ext);
                const RunResult r =
                    runConvertLimited("ulimit -v " + std::to_string(mb * 1024), {in, "-resize", "90%", out});
                ++(writtenOrFailedCleanly(r, in, out, tmp) ? written : failed);
            }
    // The sweep is only a test when both sides of it are reached.
    EXPECT_GT(written, 0);
    EXPECT_GT(failed, 0);
}

// Memory that runs out where no handler of ours runs: on the HEVC decoder's own
// worker threads (a 10-bit 4:2:2 picture, decoded without libheif's conversion),
// and while libheif turns a phone's grid (the portrait sample, when the shared
// folder is there). Fine steps, as each of these fails only in a narrow band.
TEST(OutOfMemory, DecoderThreadsAndTurnedGridsEndWithOneLine) {
    if (kUnderAddressSanitizer) GTEST_SKIP() << "AddressSanitizer reserves more address space than these limits";
    struct Sweep {
        std::string in, ext;
        int fromMb, toMb, stepMb;
    };
    std::vector<Sweep> sweeps{{fixture("deep10_422.heic"), "jpg", 30, 50, 2}};
    const std::string portrait = std::string(CONVERTER_SAMPLES) + "/iphone13pm_portrait_grid_p3_rot90.heic";
    if (fs::exists(portrait)) sweeps.push_back({portrait, "png", 40, 120, 8});
    TempDir tmp;
    for (const Sweep& s : sweeps)
        for (int mb = s.fromMb; mb <= s.toMb; mb += s.stepMb) {
            SCOPED_TRACE(s.in + " to " + s.ext + " in " + std::to_string(mb) + " MB");
            const std::string out = tmp.path("out." + s.ext);
            writtenOrFailedCleanly(runConvertLimited("ulimit -v " + std::to_string(mb * 1024), {s.in, out}), s.in,
                                   out, tmp);
        }
}
