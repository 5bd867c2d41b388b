// The converter's imaging libraries as the project builds them (natively, and for Windows
// under Wine), linked statically: each one decodes or round-trips a small picture, and each
// reports the version of the Debian source it was built from. The pictures come from make-images.sh, in the
// working folder.
#include <gtest/gtest.h>

#include <libheif/heif.h>
#include <libde265/de265.h>
#include <libraw/libraw.h>
#include <turbojpeg.h>
#include <cstdio>  // jpeglib.h needs FILE
#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>
#include <gif_lib.h>
#include <lcms2.h>
#include <libimagequant.h>
#include <zlib.h>

#ifdef _WIN32
#include <windows.h>
#endif
#include <brotli/decode.h>
#include <dav1d/dav1d.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes readFile(const char* name) {
    std::ifstream in(name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The gradient make-images.sh draws: red across, green down, blue 128, alpha falling across.
uint8_t expected(int x, int y, int w, int h, int channel) {
    switch (channel) {
    case 0: return uint8_t(x * 255 / (w - 1));
    case 1: return uint8_t(y * 255 / (h - 1));
    case 2: return 128;
    default: return uint8_t(255 - x * 255 / (w - 1));
    }
}

// Mean absolute difference against the gradient, over every sample.
double meanError(const uint8_t* px, int w, int h, int channels, size_t stride) {
    double sum = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < channels; ++c)
                sum += std::abs(int(px[y * stride + size_t(x) * channels + c]) - int(expected(x, y, w, h, c)));
    return sum / (double(w) * h * channels);
}

Bytes gradientRgb(int w, int h) {
    Bytes px(size_t(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) px[(size_t(y) * w + x) * 3 + c] = expected(x, y, w, h, c);
    return px;
}

TEST(ImagingLibs, HeifDecodesAnOddSizedHeicCroppedToItsSize) {
    Bytes file = readFile("gradient.heic");
    ASSERT_FALSE(file.empty());
    std::unique_ptr<heif_context, decltype(&heif_context_free)> ctx(heif_context_alloc(), heif_context_free);
    heif_context_set_max_decoding_threads(ctx.get(), 2);
    ASSERT_EQ(heif_context_read_from_memory_without_copy(ctx.get(), file.data(), file.size(), nullptr).code,
              heif_error_Ok);
    heif_image_handle* handle = nullptr;
    ASSERT_EQ(heif_context_get_primary_image_handle(ctx.get(), &handle).code, heif_error_Ok);
    std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)> h(handle, heif_image_handle_release);
    heif_image* image = nullptr;
    ASSERT_EQ(heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr).code,
              heif_error_Ok);
    std::unique_ptr<heif_image, decltype(&heif_image_release)> img(image, heif_image_release);
    int w = heif_image_get_width(image, heif_channel_interleaved);
    int hgt = heif_image_get_height(image, heif_channel_interleaved);
    std::printf("heic %dx%d\n", w, hgt);
    EXPECT_EQ(w, 97);
    EXPECT_EQ(hgt, 65);
    int stride = 0;
    const uint8_t* px = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
    ASSERT_NE(px, nullptr);
    // Lossy and 4:2:0, but a smooth gradient comes back within a few levels.
    EXPECT_LT(meanError(px, w, hgt, 3, size_t(stride)), 4.0);
}

TEST(ImagingLibs, TurboJpegAndLibjpegReadTheSameJpeg) {
    Bytes file = readFile("gradient.jpg");
    ASSERT_FALSE(file.empty());
    tjhandle tj = tjInitDecompress();
    ASSERT_NE(tj, nullptr);
    int w = 0, h = 0, sub = 0, cs = 0;
    ASSERT_EQ(tjDecompressHeader3(tj, file.data(), file.size(), &w, &h, &sub, &cs), 0) << tjGetErrorStr2(tj);
    Bytes px(size_t(w) * h * 3);
    ASSERT_EQ(tjDecompress2(tj, file.data(), file.size(), px.data(), w, 0, h, TJPF_RGB, TJFLAG_ACCURATEDCT), 0);
    tjDestroy(tj);
    std::printf("jpeg %dx%d\n", w, h);
    EXPECT_EQ(w, 40);
    EXPECT_EQ(h, 30);
    EXPECT_LT(meanError(px.data(), w, h, 3, size_t(w) * 3), 2.0);

    // The classic API from memory, as LibRaw uses it for lossy DNG.
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, file.data(), static_cast<unsigned long>(file.size()));
    ASSERT_EQ(jpeg_read_header(&cinfo, TRUE), JPEG_HEADER_OK);
    EXPECT_EQ(int(cinfo.image_width), w);
    EXPECT_EQ(int(cinfo.image_height), h);
    jpeg_destroy_decompress(&cinfo);
}

TEST(ImagingLibs, LibpngDecodesRgbaExactly) {
    Bytes file = readFile("gradient.png");
    ASSERT_FALSE(file.empty());
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_memory(&image, file.data(), file.size())) << image.message;
    image.format = PNG_FORMAT_RGBA;
    Bytes px(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, px.data(), 0, nullptr)) << image.message;
    std::printf("png %ux%u\n", image.width, image.height);
    EXPECT_EQ(image.width, 64u);
    EXPECT_EQ(image.height, 48u);
    EXPECT_EQ(meanError(px.data(), 64, 48, 4, 64 * 4), 0.0);
}

TEST(ImagingLibs, LibtiffRoundTripsDeflateThroughAWideCharacterPath) {
    const int w = 33, h = 21;
    Bytes px = gradientRgb(w, h);
#ifdef _WIN32
    const wchar_t* name = L"tiff-\u00e9\u65e5\u672c.tif";
    auto open = [&](const char* mode) { return TIFFOpenW(name, mode); };
#else
    const char* name = "tiff-\u00e9\u65e5\u672c.tif";
    auto open = [&](const char* mode) { return TIFFOpen(name, mode); };
#endif
    TIFF* out = open("w");
    ASSERT_NE(out, nullptr);
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(out, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(out, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, h);
    for (int y = 0; y < h; ++y) ASSERT_EQ(TIFFWriteScanline(out, &px[size_t(y) * w * 3], y, 0), 1);
    TIFFClose(out);

    TIFF* in = open("r");
    ASSERT_NE(in, nullptr);
    uint32_t rw = 0, rh = 0;
    uint16_t compression = 0;
    TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &rw);
    TIFFGetField(in, TIFFTAG_IMAGELENGTH, &rh);
    TIFFGetField(in, TIFFTAG_COMPRESSION, &compression);
    EXPECT_EQ(rw, uint32_t(w));
    EXPECT_EQ(rh, uint32_t(h));
    EXPECT_EQ(compression, COMPRESSION_ADOBE_DEFLATE);
    Bytes back(px.size());
    for (int y = 0; y < h; ++y) ASSERT_EQ(TIFFReadScanline(in, &back[size_t(y) * w * 3], y, 0), 1);
    TIFFClose(in);
    EXPECT_EQ(back, px);
#ifdef _WIN32
    EXPECT_TRUE(DeleteFileW(name));
#else
    EXPECT_EQ(std::remove(name), 0);
#endif
}

int gifWrite(GifFileType* gif, const GifByteType* data, int len) {
    auto* sink = static_cast<Bytes*>(gif->UserData);
    sink->insert(sink->end(), data, data + len);
    return len;
}

struct GifSource {
    const Bytes* data;
    size_t pos;
};

int gifRead(GifFileType* gif, GifByteType* data, int len) {
    auto* src = static_cast<GifSource*>(gif->UserData);
    size_t n = std::min(size_t(len), src->data->size() - src->pos);
    std::memcpy(data, src->data->data() + src->pos, n);
    src->pos += n;
    return int(n);
}

TEST(ImagingLibs, QuantisedGradientRoundTripsThroughGiflib) {
    const int w = 48, h = 32;
    Bytes rgb = gradientRgb(w, h), rgba;
    for (size_t i = 0; i < rgb.size(); i += 3) rgba.insert(rgba.end(), {rgb[i], rgb[i + 1], rgb[i + 2], 255});

    liq_attr* attr = liq_attr_create();
    liq_image* image = liq_image_create_rgba(attr, rgba.data(), w, h, 0);
    liq_result* result = nullptr;
    ASSERT_EQ(liq_image_quantize(image, attr, &result), LIQ_OK);
    Bytes indices(size_t(w) * h);
    ASSERT_EQ(liq_write_remapped_image(result, image, indices.data(), indices.size()), LIQ_OK);
    const liq_palette* pal = liq_get_palette(result);
    ASSERT_GT(pal->count, 16u);  // a gradient needs many colours

    std::vector<GifColorType> colours(256);
    for (unsigned i = 0; i < pal->count; ++i) colours[i] = {pal->entries[i].r, pal->entries[i].g, pal->entries[i].b};
    ColorMapObject* map = GifMakeMapObject(256, colours.data());
    Bytes gif;
    int error = 0;
    GifFileType* out = EGifOpen(&gif, gifWrite, &error);
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(EGifPutScreenDesc(out, w, h, 8, 0, map), GIF_OK);
    ASSERT_EQ(EGifPutImageDesc(out, 0, 0, w, h, false, nullptr), GIF_OK);
    for (int y = 0; y < h; ++y) ASSERT_EQ(EGifPutLine(out, &indices[size_t(y) * w], w), GIF_OK);
    ASSERT_EQ(EGifCloseFile(out, &error), GIF_OK);
    GifFreeMapObject(map);

    GifSource src{&gif, 0};
    GifFileType* in = DGifOpen(&src, gifRead, &error);
    ASSERT_NE(in, nullptr);
    ASSERT_EQ(DGifSlurp(in), GIF_OK);
    std::printf("gif %dx%d, %u colours\n", in->SWidth, in->SHeight, pal->count);
    EXPECT_EQ(in->SWidth, w);
    EXPECT_EQ(in->SHeight, h);
    ASSERT_EQ(in->ImageCount, 1);
    Bytes back;
    const ColorMapObject* cm = in->SColorMap;
    for (int i = 0; i < w * h; ++i) {
        GifColorType c = cm->Colors[in->SavedImages[0].RasterBits[i]];
        back.insert(back.end(), {c.Red, c.Green, c.Blue});
    }
    EXPECT_LT(meanError(back.data(), w, h, 3, size_t(w) * 3), 3.0);
    DGifCloseFile(in, &error);
    liq_result_destroy(result);
    liq_image_destroy(image);
    liq_attr_destroy(attr);
}

TEST(ImagingLibs, Lcms2ConvertsBetweenSrgbAndLab) {
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM t = cmsCreateTransform(srgb, TYPE_RGB_8, lab, TYPE_Lab_DBL, INTENT_PERCEPTUAL, 0);
    ASSERT_NE(t, nullptr);
    const uint8_t white[3] = {255, 255, 255}, red[3] = {255, 0, 0};
    cmsCIELab w{}, r{};
    cmsDoTransform(t, white, &w, 1);
    cmsDoTransform(t, red, &r, 1);
    EXPECT_NEAR(w.L, 100.0, 0.5);
    EXPECT_NEAR(w.a, 0.0, 0.5);
    EXPECT_NEAR(r.L, 54.3, 1.0);  // sRGB red, D50
    EXPECT_GT(r.a, 70.0);
    cmsDeleteTransform(t);
    cmsCloseProfile(lab);
    cmsCloseProfile(srgb);
}

TEST(ImagingLibs, LibRawRefusesAJpegAndAMissingFile) {
    Bytes file = readFile("gradient.jpg");
    ASSERT_FALSE(file.empty());
    auto raw = std::make_unique<LibRaw>();
    EXPECT_EQ(raw->open_buffer(file.data(), file.size()), LIBRAW_FILE_UNSUPPORTED);
#ifdef _WIN32
    EXPECT_NE(raw->open_file(L"no such file.nrw"), LIBRAW_SUCCESS);
#else
    EXPECT_NE(raw->open_file("no such file.nrw"), LIBRAW_SUCCESS);
#endif
}

TEST(ImagingLibs, EveryLibraryIsTheDebianVersion) {
    EXPECT_STREQ(heif_get_version(), IL_LIBHEIF);
    EXPECT_STREQ(de265_get_version(), IL_LIBDE265);
    EXPECT_EQ(std::string(LibRaw::version()).rfind(IL_LIBRAW "-", 0), 0u) << LibRaw::version();
    const int jt = LIBJPEG_TURBO_VERSION_NUMBER;
    EXPECT_EQ(std::to_string(jt / 1000000) + "." + std::to_string(jt / 1000 % 1000) + "." +
                  std::to_string(jt % 1000), IL_LIBJPEG_TURBO);
    EXPECT_STREQ(png_get_libpng_ver(nullptr), IL_LIBPNG1_6);
    EXPECT_NE(std::string(TIFFGetVersion()).find("Version " IL_TIFF), std::string::npos);
    EXPECT_EQ(std::to_string(GIFLIB_MAJOR) + "." + std::to_string(GIFLIB_MINOR) + "." +
                  std::to_string(GIFLIB_RELEASE), IL_GIFLIB);
    int lcms = cmsGetEncodedCMMversion();
    EXPECT_EQ(std::to_string(lcms / 1000) + "." + std::to_string(lcms % 1000 / 10), IL_LCMS2);
    // 2.17.0 still numbers itself 21600; the string carries the release.
    EXPECT_STREQ(LIQ_VERSION_STRING, IL_LIBIMAGEQUANT);
    EXPECT_EQ(liq_version(), LIQ_VERSION);
    EXPECT_STREQ(zlibVersion(), IL_ZLIB);
    EXPECT_STREQ(dav1d_version(), IL_DAV1D);
    const uint32_t br = BrotliDecoderVersion();
    EXPECT_EQ(std::to_string(br >> 24) + "." + std::to_string(br >> 12 & 0xfff) + "." +
                  std::to_string(br & 0xfff), IL_BROTLI);
}

TEST(ImagingLibs, LibheifHasTheDecodersPhonesAndCamerasNeed) {
    EXPECT_TRUE(heif_have_decoder_for_format(heif_compression_HEVC));
    EXPECT_TRUE(heif_have_decoder_for_format(heif_compression_AV1));
    EXPECT_TRUE(heif_have_decoder_for_format(heif_compression_JPEG));
    EXPECT_TRUE(heif_have_decoder_for_format(heif_compression_uncompressed));
}

}  // namespace
