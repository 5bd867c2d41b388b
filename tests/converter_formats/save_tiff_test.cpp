// TIFF writer, read back with libtiff; EXIF built by hand in both byte orders.
#include <tiffio.h>

#include <cstring>
#include <string>

#include "tests/converter_formats/saver_support.h"
#include "tools/convert/exif.h"
#include "tools/convert/save_tiff.h"

using namespace savetest;

namespace {

struct TiffCloser { void operator()(TIFF* t) const { TIFFClose(t); } };
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

TiffPtr openTiff(const fs::path& p) {
    TiffPtr t(TIFFOpen(p.string().c_str(), "r"));
    EXPECT_TRUE(t) << p;
    return t;
}

// Every sample, top row first, as 16-bit values (8-bit files as they are).
std::vector<uint16_t> readSamples(TIFF* t) {
    uint32_t w = 0, h = 0;
    uint16_t bits = 0, spp = 0;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetField(t, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetField(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
    std::vector<uint8_t> row(size_t(TIFFScanlineSize(t)));
    std::vector<uint16_t> out;
    for (uint32_t y = 0; y < h; ++y) {
        EXPECT_EQ(TIFFReadScanline(t, row.data(), y), 1);
        for (size_t i = 0; i < size_t(w) * spp; ++i) {
            if (bits == 8) out.push_back(row[i]);
            else {
                uint16_t v;
                std::memcpy(&v, row.data() + i * 2, 2);
                out.push_back(v);
            }
        }
    }
    return out;
}

std::vector<uint16_t> samplesOf(const conv::Image& img) {
    if (img.bits == 16) return img.px16;
    return std::vector<uint16_t>(img.px8.begin(), img.px8.end());
}

// A small EXIF block: IFD0 (Make, Model, Orientation 1, DateTime), an EXIF
// directory (DateTimeOriginal, ExposureTime, ISO, an Interoperability pointer
// and PixelXDimension) and a GPS directory (latitude N 48 51' 29.5").
class ExifBuilder {
public:
    explicit ExifBuilder(bool be) : be_(be) {}

    std::vector<uint8_t> build() {
        b_.clear();
        b_.insert(b_.end(), be_ ? std::initializer_list<uint8_t>{'M', 'M', 0, 42} : std::initializer_list<uint8_t>{'I', 'I', 42, 0});
        u32(8);
        // IFD0 at 8: 6 entries.
        const size_t ifd0 = b_.size();
        const size_t ifd0Size = 2 + 6 * 12 + 4;
        const size_t exifAt = ifd0 + ifd0Size + 64;  // leave room for IFD0's values
        const size_t gpsAt = exifAt + 2 + 5 * 12 + 4 + 32;
        b_.resize(gpsAt + 2 + 2 * 12 + 4 + 64, 0);
        size_t values = ifd0 + ifd0Size;
        size_t e = ifd0;
        put16(e, 6);
        e += 2;
        entry(e, 271, 2, 6, text(values, "Canon"));
        entry(e, 272, 2, 13, text(values, "EOS 30D test"));
        entry(e, 274, 3, 1, 1);
        entry(e, 306, 2, 20, text(values, "2021:03:04 05:06:07"));
        entry(e, 34665, 4, 1, uint32_t(exifAt));
        entry(e, 34853, 4, 1, uint32_t(gpsAt));
        values = exifAt + 2 + 5 * 12 + 4;
        e = exifAt;
        put16(e, 5);
        e += 2;
        entry(e, 33434, 5, 1, rationals(values, {1, 250}));  // ExposureTime
        entry(e, 34855, 3, 1, 400);                   // ISO
        entry(e, 36867, 2, 20, text(values, "2021:03:04 05:06:07"));
        entry(e, 40962, 4, 1, 4000);                           // PixelXDimension: dropped
        entry(e, 40965, 4, 1, 12345);                          // Interoperability: dropped
        values = gpsAt + 2 + 2 * 12 + 4;
        e = gpsAt;
        put16(e, 2);
        e += 2;
        entry(e, 1, 2, 2, uint32_t('N') << 24);  // GPSLatitudeRef "N\0" inline
        entry(e, 2, 5, 3, rationals(values, {48, 1, 51, 1, 295, 10}));
        return b_;
    }

private:
    void put16(size_t at, uint16_t v) {
        b_[at] = uint8_t(be_ ? v >> 8 : v);
        b_[at + 1] = uint8_t(be_ ? v : v >> 8);
    }
    void put32(size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) b_[at + size_t(i)] = uint8_t(v >> (be_ ? 24 - 8 * i : 8 * i));
    }
    void u32(uint32_t v) {
        b_.resize(b_.size() + 4);
        put32(b_.size() - 4, v);
    }
    uint32_t text(size_t& at, const std::string& s) {
        const uint32_t off = uint32_t(at);
        std::memcpy(b_.data() + at, s.c_str(), s.size() + 1);
        at += (s.size() + 2) & ~size_t(1);
        return off;
    }
    uint32_t rationals(size_t& at, std::initializer_list<uint32_t> v) {
        const uint32_t off = uint32_t(at);
        for (uint32_t x : v) {
            put32(at, x);
            at += 4;
        }
        return off;
    }
    // A SHORT or up to four ASCII bytes sit in the value field itself (ASCII
    // given as the bytes in file order, first byte most significant); anything
    // else is a LONG value or an offset.
    void entry(size_t& at, uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        put16(at, tag);
        put16(at + 2, type);
        put32(at + 4, count);
        if (type == 3 && count == 1) {
            put16(at + 8, uint16_t(value));
        } else if (type == 2 && count <= 4) {
            for (int i = 0; i < 4; ++i) b_[at + 8 + size_t(i)] = uint8_t(value >> (24 - 8 * i));
        } else {
            put32(at + 8, value);
        }
        at += 12;
    }
    bool be_;
    std::vector<uint8_t> b_;
};

}  // namespace

TEST(SaveTiff, PixelsComeBackExactInEveryLayout) {
    TempDir dir;
    for (int channels : {3, 4})
        for (int bits : {8, 16}) {
            // 701 x 397: odd sizes, several strips, rows that are not word-aligned.
            const conv::Image img = testPicture(701, 397, channels, bits);
            auto t = openTiff(save(conv::saveTiff, img, dir / "out.tif"));
            ASSERT_TRUE(t);
            uint16_t compression = 0, predictor = 0, photometric = 0, orientation = 0;
            TIFFGetField(t.get(), TIFFTAG_COMPRESSION, &compression);
            TIFFGetField(t.get(), TIFFTAG_PREDICTOR, &predictor);
            TIFFGetField(t.get(), TIFFTAG_PHOTOMETRIC, &photometric);
            TIFFGetFieldDefaulted(t.get(), TIFFTAG_ORIENTATION, &orientation);
            EXPECT_EQ(compression, COMPRESSION_ADOBE_DEFLATE);
            EXPECT_EQ(predictor, PREDICTOR_HORIZONTAL);
            EXPECT_EQ(photometric, PHOTOMETRIC_RGB);
            EXPECT_EQ(orientation, ORIENTATION_TOPLEFT);
            EXPECT_GT(TIFFNumberOfStrips(t.get()), 1u);
            if (channels == 4) {
                uint16_t count = 0;
                uint16_t* types = nullptr;
                ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_EXTRASAMPLES, &count, &types));
                ASSERT_EQ(count, 1);
                EXPECT_EQ(types[0], EXTRASAMPLE_UNASSALPHA);
            }
            EXPECT_EQ(readSamples(t.get()), samplesOf(img)) << channels << " channels, " << bits << " bits";
        }
}

TEST(SaveTiff, EveryEffortIsLosslessAndHigherEffortIsNotLarger) {
    TempDir dir;
    const conv::Image img = testPicture(200, 120, 3, 8);
    uintmax_t previous = UINTMAX_MAX;
    for (int quality : {50, 96, 100}) {
        const fs::path p = save(conv::saveTiff, img, dir / ("q" + std::to_string(quality) + ".tif"), quality, true);
        auto t = openTiff(p);
        ASSERT_TRUE(t);
        EXPECT_EQ(readSamples(t.get()), samplesOf(img)) << quality;
        EXPECT_LE(fs::file_size(p), previous) << quality;
        previous = fs::file_size(p);
    }
    // One thread or several: the same file.
    const auto one = readBytes(save(conv::saveTiff, img, dir / "t1.tif", 85, false, 1));
    const auto three = readBytes(save(conv::saveTiff, img, dir / "t3.tif", 85, false, 3));
    EXPECT_EQ(one, three);
}

TEST(SaveTiff, ProfileAndXmpAreKept) {
    TempDir dir;
    conv::Image img = testPicture(40, 30, 3, 16);
    img.icc = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};  // carried as bytes, not interpreted
    const std::string xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'>tessaline test</x:xmpmeta>";
    img.xmp.assign(xmp.begin(), xmp.end());
    auto t = openTiff(save(conv::saveTiff, img, dir / "meta.tif"));
    ASSERT_TRUE(t);
    uint32_t n = 0;
    const uint8_t* data = nullptr;
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_ICCPROFILE, &n, &data));
    EXPECT_EQ(std::vector<uint8_t>(data, data + n), img.icc);
    ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_XMLPACKET, &n, &data));
    EXPECT_EQ(std::string(data, data + n), xmp);
    EXPECT_EQ(readSamples(t.get()), samplesOf(img));
}

TEST(SaveTiff, ExifAndGpsDirectoriesAreCarriedOverFromEitherByteOrder) {
    TempDir dir;
    for (bool bigEndian : {false, true}) {
        conv::Image img = testPicture(50, 20, 4, 8);
        img.exif = ExifBuilder(bigEndian).build();
        const fs::path p = save(conv::saveTiff, img, dir / "exif.tif");
        auto t = openTiff(p);
        ASSERT_TRUE(t);
        char* s = nullptr;
        ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_MAKE, &s));
        EXPECT_STREQ(s, "Canon");
        ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_MODEL, &s));
        EXPECT_STREQ(s, "EOS 30D test");
        ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_DATETIME, &s));
        EXPECT_STREQ(s, "2021:03:04 05:06:07");
        EXPECT_EQ(readSamples(t.get()), samplesOf(img));  // the pixels are untouched by the patching

        toff_t exifOff = 0, gpsOff = 0;
        ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_EXIFIFD, &exifOff));
        ASSERT_TRUE(TIFFGetField(t.get(), TIFFTAG_GPSIFD, &gpsOff));
        ASSERT_NE(exifOff, 0u);
        ASSERT_NE(gpsOff, 0u);

        ASSERT_TRUE(TIFFReadEXIFDirectory(t.get(), exifOff));
        ASSERT_TRUE(TIFFGetField(t.get(), EXIFTAG_DATETIMEORIGINAL, &s));
        EXPECT_STREQ(s, "2021:03:04 05:06:07");
        float exposure = 0;  // libtiff hands EXIF rationals out as float
        ASSERT_TRUE(TIFFGetField(t.get(), EXIFTAG_EXPOSURETIME, &exposure));
        EXPECT_NEAR(exposure, 1.0 / 250, 1e-6);
        uint16_t isoCount = 0;
        uint16_t* iso = nullptr;
        ASSERT_TRUE(TIFFGetField(t.get(), EXIFTAG_ISOSPEEDRATINGS, &isoCount, &iso));
        ASSERT_EQ(isoCount, 1);
        EXPECT_EQ(iso[0], 400);
        uint32_t pixelX = 0;
        EXPECT_FALSE(TIFFGetField(t.get(), EXIFTAG_PIXELXDIMENSION, &pixelX));

        ASSERT_TRUE(TIFFReadGPSDirectory(t.get(), gpsOff));
        ASSERT_TRUE(TIFFGetField(t.get(), GPSTAG_LATITUDEREF, &s));
        EXPECT_STREQ(s, "N");
        double* lat = nullptr;  // and GPS rationals as double
        ASSERT_TRUE(TIFFGetField(t.get(), GPSTAG_LATITUDE, &lat));
        EXPECT_DOUBLE_EQ(lat[0], 48.0);
        EXPECT_DOUBLE_EQ(lat[1], 51.0);
        EXPECT_DOUBLE_EQ(lat[2], 29.5);
    }
}

TEST(SaveTiff, DamagedExifIsLeftOutNotFatal) {
    TempDir dir;
    conv::Image img = testPicture(16, 16, 3, 8);
    auto good = ExifBuilder(false).build();
    for (size_t cut : {size_t(0), size_t(7), size_t(30), good.size() / 2}) {
        img.exif.assign(good.begin(), good.begin() + ptrdiff_t(cut));
        img.exif.resize(good.size() / 2 + 8, 0xEE);  // garbage after the cut
        auto t = openTiff(save(conv::saveTiff, img, dir / "bad.tif"));
        ASSERT_TRUE(t);
        EXPECT_EQ(readSamples(t.get()), samplesOf(img)) << cut;
    }
}

TEST(SaveTiff, ExifPartsParsedAndLaidOut) {
    const auto parts = conv::parseExif(ExifBuilder(true).build());
    EXPECT_TRUE(parts.bigEndian);
    EXPECT_EQ(parts.ifd0.size(), 6u);
    EXPECT_EQ(parts.exif.size(), 3u);  // PixelXDimension and the Interoperability pointer left out
    EXPECT_EQ(parts.gps.size(), 2u);
    // Big-endian source, little-endian layout at offset 1000: the rational's
    // two numbers swapped one by one, its data after the table, word-aligned.
    const auto blob = conv::serialiseIfd(parts.exif, true, false, 1000);
    const size_t table = 2 + 3 * 12 + 4;
    ASSERT_GE(blob.size(), table + 8);
    EXPECT_EQ(blob[0], 3);
    EXPECT_EQ(blob[1], 0);
    // Entries are sorted by tag: ExposureTime (33434) first.
    EXPECT_EQ(blob[2] | blob[3] << 8, 33434);
    const uint32_t off = uint32_t(blob[10] | blob[11] << 8 | blob[12] << 16 | blob[13] << 24);
    EXPECT_EQ(off % 2, 0u);
    ASSERT_GE(off, 1000 + table);
    const size_t at = off - 1000;
    EXPECT_EQ(blob[at], 1);        // numerator 1, little-endian
    EXPECT_EQ(blob[at + 4], 250);  // denominator 250
    EXPECT_TRUE(conv::parseExif({}).ifd0.empty());
    EXPECT_TRUE(conv::parseExif({'I', 'I', 43, 0, 8, 0, 0, 0}).ifd0.empty());
}

// The EXIF block the TIFF loader makes from a TIFF file's own directories (the
// EXIF builder's block is a TIFF structure too).
TEST(ExifFromTiffFile, KeepsTheShotAndBothDirectoriesInLittleEndian) {
    const std::vector<uint8_t> block = conv::exifFromTiffFile(ExifBuilder(true).build());
    ASSERT_GE(block.size(), 8u);
    EXPECT_EQ(block[0], 'I');
    EXPECT_EQ(conv::exifOrientation(block), 1);
    const auto parts = conv::parseExif(block);
    EXPECT_FALSE(parts.bigEndian);
    std::vector<uint16_t> tags;
    for (const auto& e : parts.ifd0) tags.push_back(e.tag);
    EXPECT_EQ(tags, (std::vector<uint16_t>{271, 272, 274, 306, 34665, 34853}));
    ASSERT_EQ(parts.exif.size(), 3u);
    const conv::TiffEntry* exposure = conv::findEntry(parts.exif, 33434);
    ASSERT_NE(exposure, nullptr);
    EXPECT_EQ(exposure->value, (std::vector<uint8_t>{1, 0, 0, 0, 250, 0, 0, 0}));
    const conv::TiffEntry* latitude = conv::findEntry(parts.gps, 2);
    ASSERT_NE(latitude, nullptr);
    EXPECT_EQ(latitude->value,
              (std::vector<uint8_t>{48, 0, 0, 0, 1, 0, 0, 0, 51, 0, 0, 0, 1, 0, 0, 0, 39, 1, 0, 0, 10, 0, 0, 0}));
    const conv::TiffEntry* model = conv::findEntry(parts.ifd0, 272);
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(std::string(model->value.begin(), model->value.end()), std::string("EOS 30D test") + '\0');
}

TEST(ExifFromTiffFile, APictureWithNothingAboutTheShotGetsNoBlock) {
    // IFD0 with one ASCII entry: Software "ab", then Make "ab".
    std::vector<uint8_t> tiff = {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x31, 0x01, 2, 0, 3, 0, 0, 0, 'a', 'b', 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(conv::exifFromTiffFile(tiff).empty());
    tiff[10] = 0x0F;  // tag 271, Make
    const auto block = conv::exifFromTiffFile(tiff);
    ASSERT_FALSE(block.empty());
    EXPECT_EQ(conv::exifOrientation(block), 1);
    EXPECT_NE(conv::findEntry(conv::parseExif(block).ifd0, 271), nullptr);
}

TEST(ExifFromTiffFile, DamagedFilesGiveWhatCanBeReadAndNeverReadPastTheEnd) {
    const auto good = ExifBuilder(false).build();
    for (size_t cut = 0; cut < good.size(); cut += 7) {
        const std::vector<uint8_t> part(good.begin(), good.begin() + ptrdiff_t(cut));
        const auto block = conv::exifFromTiffFile(part);
        if (cut < 8) {
            EXPECT_TRUE(block.empty()) << cut;
        }
        if (!block.empty()) {
            EXPECT_EQ(conv::exifOrientation(block), 1) << cut;
        }
    }
}
