// Colour conversion against LittleCMS: generated pictures tagged with the
// matrix/TRC and grey profiles the system ships (and hand-made ones for the
// curve types none of them uses), written as PNG by libpng, JPEG by
// libjpeg-turbo and lossless WebP by libwebp, decoded through the viewer's
// path with the conversion, and held against LittleCMS's float transform of
// the same stored pixels: at most 3 levels apart, below 0.6 on average per
// channel. Profiles we do not convert leave the pixels exactly as stored.
#include <lcms2.h>
#include <png.h>
#include <zlib.h>
#include <math.h>
#include <stdio.h>

#include <csetjmp>
#include <filesystem>
#include <fstream>
#include <map>

#include "tests/codec/icc/icc_support.h"
#include "tests/codec/jpeg/libjpeg_support.h"
#include "tests/codec/webp/libwebp_support.h"

using namespace icctest;
namespace fs = std::filesystem;

namespace {

const char* kProfileDirs[] = {"/usr/share/color/icc", "/usr/share/color/icc/colord"};

Bytes read_all(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Every .icc file the system ships, by name.
std::map<std::string, Bytes> shipped_profiles() {
    std::map<std::string, Bytes> out;
    for (const char* dir : kProfileDirs) {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(dir, ec)) {
            if (e.path().extension() == ".icc" || e.path().extension() == ".ICM") {
                out[e.path().stem().string()] = read_all(e.path());
            }
        }
    }
    return out;
}

// A picture with every red and green level, blue varying across both, and
// a band of noise; grey pictures take the red channel.
Bytes picture(u32 w, u32 h, u32 channels) {
    Bytes p((size_t)w * h * channels);
    u32 s = 12345;
    for (u32 y = 0; y < h; y++) {
        for (u32 x = 0; x < w; x++) {
            s = s * 1664525u + 1013904223u;
            u8 v[4] = {(u8)x, (u8)y, (u8)(x * 3 + y * 5), (u8)(255 - (x ^ y))};
            if (y >= 200) {
                v[0] = (u8)(s >> 24);
                v[1] = (u8)(s >> 16);
                v[2] = (u8)(s >> 8);
            }
            for (u32 c = 0; c < channels; c++) p[((size_t)y * w + x) * channels + c] = v[c];
        }
    }
    return p;
}

// ---- Writers -------------------------------------------------------------------

void png_mem_write(png_structp png, png_bytep data, png_size_t n) {
    Bytes* out = (Bytes*)png_get_io_ptr(png);
    out->insert(out->end(), data, data + n);
}
void png_mem_flush(png_structp) {}

// Colour type 2 (RGB) for 3 channels, 6 for 4, 0 for 1; the profile in iCCP.
Bytes write_png(const Bytes& pixels, u32 w, u32 h, u32 channels, const Bytes& profile) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    // The hand-made and damaged profiles are written as they are.
    png_set_benign_errors(png, 1);
    png_set_option(png, PNG_SKIP_sRGB_CHECK_PROFILE, PNG_OPTION_ON);
    png_set_check_for_invalid_index(png, 0);
    png_set_write_fn(png, &out, png_mem_write, png_mem_flush);
    int type = channels == 4 ? PNG_COLOR_TYPE_RGBA : channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY;
    png_set_IHDR(png, info, w, h, 8, type, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (!profile.empty()) png_set_iCCP(png, info, "profile", 0, profile.data(), (png_uint_32)profile.size());
    png_write_info(png, info);
    for (u32 y = 0; y < h; y++) png_write_row(png, pixels.data() + (size_t)y * w * channels);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

// libpng refuses to write a profile it finds damaged or of the wrong
// colour space; such a profile goes into an iCCP chunk of our own, right
// after IHDR.
Bytes with_iccp(Bytes png, const Bytes& profile) {
    uLongf zsize = compressBound(profile.size());
    Bytes z(zsize);
    compress(z.data(), &zsize, profile.data(), profile.size());
    Bytes chunk;
    put_be32(chunk, (u32)(9 + zsize));
    const char* head = "iCCPprofile";
    chunk.insert(chunk.end(), head, head + 11);
    chunk.push_back(0);
    chunk.push_back(0);
    chunk.insert(chunk.end(), z.begin(), z.begin() + zsize);
    put_be32(chunk, (u32)crc32(0, chunk.data() + 4, (uInt)(chunk.size() - 4)));
    png.insert(png.begin() + 33, chunk.begin(), chunk.end());
    return png;
}

Bytes write_jpeg(const Bytes& pixels, u32 w, u32 h, u32 channels, const Bytes& profile, bool progressive) {
    jpeg_compress_struct c;
    RefError err;
    c.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = ref_error_exit;
    unsigned char* mem = nullptr;
    unsigned long size = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&c);
        free(mem);
        return {};
    }
    jpeg_create_compress(&c);
    jpeg_mem_dest(&c, &mem, &size);
    c.image_width = w;
    c.image_height = h;
    c.input_components = (int)channels;
    c.in_color_space = channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 90, TRUE);
    if (progressive) jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    if (!profile.empty()) jpeg_write_icc_profile(&c, profile.data(), (unsigned)profile.size());
    while (c.next_scanline < h) {
        JSAMPROW row = (JSAMPROW)(pixels.data() + (size_t)c.next_scanline * w * channels);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    Bytes out(mem, mem + size);
    free(mem);
    return out;
}

Bytes write_webp(const Bytes& rgba, u32 w, u32 h, const Bytes& profile) {
    Bytes plain = webp_test::ref_encode_lossless(rgba, w, h, webp_test::LosslessOptions{});
    WebPData image = {plain.data(), plain.size()};
    WebPMux* mux = WebPMuxCreate(&image, 1);
    WebPData icc = {profile.data(), profile.size()};
    WebPData assembled = {nullptr, 0};
    Bytes out;
    if (mux != nullptr && WebPMuxSetChunk(mux, "ICCP", &icc, 1) == WEBP_MUX_OK &&
        WebPMuxAssemble(mux, &assembled) == WEBP_MUX_OK) {
        out.assign(assembled.bytes, assembled.bytes + assembled.size);
    }
    WebPDataClear(&assembled);
    WebPMuxDelete(mux);
    return out;
}

// ---- The reference -------------------------------------------------------------

// LittleCMS's float transform of stored RGBA pixels (grey: the red channel)
// to sRGB, relative colorimetric, rounded to 8 bits; alpha kept.
bool lcms_reference(const Bytes& profile, bool grey, const Bytes& stored, Bytes* out) {
    cmsHPROFILE in = cmsOpenProfileFromMem(profile.data(), (cmsUInt32Number)profile.size());
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM t = in ? cmsCreateTransform(in, grey ? TYPE_GRAY_FLT : TYPE_RGB_FLT, srgb, TYPE_RGB_FLT,
                                              INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOCACHE)
                         : nullptr;
    if (t != nullptr) {
        size_t n = stored.size() / 4;
        std::vector<float> src(n * 3), dst(n * 3);
        for (size_t i = 0; i < n; i++) {
            for (u32 c = 0; c < 3; c++) src[3 * i + c] = stored[4 * i + c] / 255.0f;
        }
        if (grey) {
            for (size_t i = 0; i < n; i++) src[i] = stored[4 * i] / 255.0f;
        }
        cmsDoTransform(t, src.data(), dst.data(), (cmsUInt32Number)n);
        out->resize(stored.size());
        for (size_t i = 0; i < n; i++) {
            for (u32 c = 0; c < 3; c++) {
                float v = dst[3 * i + c] * 255.0f + 0.5f;
                (*out)[4 * i + c] = (u8)(v < 0 ? 0 : v > 255 ? 255 : v);
            }
            (*out)[4 * i + 3] = stored[4 * i + 3];
        }
        cmsDeleteTransform(t);
    }
    if (in) cmsCloseProfile(in);
    cmsCloseProfile(srgb);
    return t != nullptr;
}

struct Diff {
    int max = 0;
    double mean = 0;
};

Diff compare(const Bytes& a, const Bytes& b) {
    Diff d;
    if (a.size() != b.size() || a.empty()) return Diff{999, 999};
    u64 sum = 0, count = 0;
    for (size_t i = 0; i < a.size(); i++) {
        if (i % 4 == 3) continue;
        int v = std::abs((int)a[i] - (int)b[i]);
        d.max = std::max(d.max, v);
        sum += v;
        count++;
    }
    d.mean = (double)sum / count;
    return d;
}

// An uncompressed classic TIFF, one strip, little-endian, with the profile
// in tag 34675 when one is given.
Bytes write_tiff(const Bytes& pixels, u32 w, u32 h, u32 channels, const Bytes& profile) {
    struct Entry {
        u16 tag, type;
        u32 count, value;
    };
    u32 header = 8;
    u32 strip = header;
    u32 bps_at = strip + (u32)pixels.size();
    u32 icc_at = bps_at + 8;
    u32 ifd = icc_at + (u32)profile.size();
    ifd += ifd & 1;
    std::vector<Entry> e = {{256, 4, 1, w},
                            {257, 4, 1, h},
                            {258, 3, channels, channels == 3 ? bps_at : 8},
                            {259, 3, 1, 1},
                            {262, 3, 1, channels == 3 ? 2u : 1u},
                            {273, 4, 1, strip},
                            {277, 3, 1, channels},
                            {278, 4, 1, h},
                            {279, 4, 1, (u32)pixels.size()}};
    if (!profile.empty()) e.push_back({34675, 7, (u32)profile.size(), icc_at});
    Bytes out(ifd + 2 + 12 * e.size() + 4, 0);
    auto le16 = [&](u64 at, u32 v) { out[at] = (u8)v, out[at + 1] = (u8)(v >> 8); };
    auto le32 = [&](u64 at, u32 v) { le16(at, v & 0xFFFF), le16(at + 2, v >> 16); };
    out[0] = out[1] = 'I';
    le16(2, 42);
    le32(4, ifd);
    memcpy(&out[strip], pixels.data(), pixels.size());
    for (u32 i = 0; i < 3; i++) le16(bps_at + 2 * i, 8);
    if (!profile.empty()) memcpy(&out[icc_at], profile.data(), profile.size());
    le16(ifd, (u32)e.size());
    for (size_t i = 0; i < e.size(); i++) {
        u64 at = ifd + 2 + 12 * i;
        le16(at, e[i].tag);
        le16(at + 2, e[i].type);
        le32(at + 4, e[i].count);
        if (e[i].type == 3 && e[i].count == 1) {
            le16(at + 8, e[i].value);
        } else {
            le32(at + 8, e[i].value);
        }
    }
    return out;
}

enum Container { PNG_FILE, JPEG_FILE, JPEG_PROGRESSIVE_FILE, WEBP_FILE, PNG_OWN_ICCP, TIFF_FILE };
const char* kContainerNames[] = {"PNG", "JPEG", "progressive JPEG", "WebP", "PNG", "TIFF"};

Bytes tagged_file(Container k, bool grey, const Bytes& profile) {
    const u32 w = 256, h = 232;
    u32 channels = grey ? 1 : k == WEBP_FILE ? 4 : 3;
    Bytes px = picture(w, h, channels);
    switch (k) {
    case PNG_FILE: return write_png(px, w, h, channels, profile);
    case PNG_OWN_ICCP: return with_iccp(write_png(px, w, h, channels, {}), profile);
    case JPEG_FILE: return write_jpeg(px, w, h, channels, profile, false);
    case JPEG_PROGRESSIVE_FILE: return write_jpeg(px, w, h, channels, profile, true);
    case WEBP_FILE: return write_webp(px, w, h, profile);
    case TIFF_FILE: return write_tiff(px, w, h, channels, profile);
    }
    return {};
}

// Decodes `file` stored and converted; checks the converted pixels against
// LittleCMS applied to the stored ones.
void expect_close(const Bytes& file, const Bytes& profile, bool grey, const std::string& what, Diff* diff_out) {
    Decoded stored = decode_file(file, false);
    Decoded shown = decode_file(file, true);
    ASSERT_TRUE(stored.ok && shown.ok) << what;
    ASSERT_EQ(stored.info.colour, (u32)COLOUR_PENDING) << what;
    ASSERT_EQ(shown.colour, (u32)COLOUR_CONVERT) << what;
    Bytes want;
    ASSERT_TRUE(lcms_reference(profile, grey, stored.rgba, &want)) << what;
    Diff d = compare(shown.rgba, want);
    EXPECT_LE(d.max, 3) << what;
    EXPECT_LT(d.mean, 0.6) << what;
    *diff_out = d;
}

bool parses(const Bytes& p) {
    IccProfile parsed;
    return icc_parse(p.data(), p.size(), &parsed);
}

}  // namespace

TEST(IccReference, ShippedProfilesInEveryContainer) {
    std::map<std::string, Bytes> profiles = shipped_profiles();
    if (profiles.count("AdobeRGB1998") == 0) {
        GTEST_SKIP() << "the shipped profiles are missing (icc-profiles-free and colord-data, see scripts/setup)";
    }
    // The matrix/TRC profiles every system with these packages has.
    for (const char* name : {"AdobeRGB1998", "ProPhotoRGB", "WideGamutRGB", "AppleRGB", "ECI-RGBv2", "Rec709",
                             "Gray", "BestRGB", "NTSC-RGB", "compatibleWithAdobeRGB1998"}) {
        ASSERT_TRUE(profiles.count(name)) << name;
        EXPECT_TRUE(parses(profiles[name])) << name;
    }
    u32 converted = 0;
    Diff worst;
    for (const auto& [name, profile] : profiles) {
        IccProfile parsed;
        if (!icc_parse(profile.data(), profile.size(), &parsed)) continue;
        IccTransform t;
        if (!icc_build(&parsed, &t)) {
            // sRGB itself: the file is shown as stored, at no cost.
            Decoded d = decode_file(tagged_file(PNG_FILE, parsed.grey, profile), true);
            EXPECT_EQ(d.colour, (u32)COLOUR_NONE) << name;
            continue;
        }
        for (Container k : {PNG_FILE, JPEG_FILE, JPEG_PROGRESSIVE_FILE, WEBP_FILE, TIFF_FILE}) {
            if (parsed.grey && k == WEBP_FILE) continue;  // WebP has no grey images
            Diff d;
            expect_close(tagged_file(k, parsed.grey, profile), profile, parsed.grey,
                         name + " in " + kContainerNames[k], &d);
            worst.max = std::max(worst.max, d.max);
            worst.mean = std::max(worst.mean, d.mean);
        }
        converted++;
    }
    EXPECT_GE(converted, 10u);
    printf("converted %u shipped profiles; largest difference %d, largest mean %.3f\n", converted, worst.max,
           worst.mean);
}

TEST(IccReference, ProfilesWeIgnoreLeaveTheStoredPixels) {
    std::map<std::string, Bytes> profiles = shipped_profiles();
    if (profiles.empty()) GTEST_SKIP() << "no shipped profiles (icc-profiles-free, colord-data)";
    u32 ignored = 0;
    for (const auto& [name, profile] : profiles) {
        if (parses(profile)) continue;
        for (Container k : {PNG_OWN_ICCP, JPEG_FILE, WEBP_FILE, TIFF_FILE}) {
            Bytes file = tagged_file(k, false, profile);
            Decoded stored = decode_file(file, false);
            Decoded shown = decode_file(file, true);
            ASSERT_TRUE(stored.ok && shown.ok) << name;
            EXPECT_EQ(shown.colour, (u32)COLOUR_IGNORED) << name << " in " << kContainerNames[k];
            EXPECT_EQ(shown.rgba, stored.rgba) << name;
        }
        ignored++;
    }
    EXPECT_GE(ignored, 1u) << "some shipped profiles are LUT-based or Lab";
}

TEST(IccReference, HandMadeCurves) {
    const double g = 2.2;
    std::vector<u16> sampled(4096);
    for (u32 i = 0; i < 4096; i++) sampled[i] = (u16)(pow(i / 4095.0, 1.8) * 65535 + 0.5);
    struct Case {
        const char* what;
        Tag curve;
    };
    std::vector<Case> cases = {
        {"para 0", para_tag("c", 0, {g})},
        {"para 1", para_tag("c", 1, {g, 1.1, -0.1})},
        {"para 2", para_tag("c", 2, {g, 1.1, -0.1, 0.05})},
        {"para 3", para_tag("c", 3, {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045})},
        {"para 4", para_tag("c", 4, {2.6, 0.95, 0.05, 0.1, 0.08, 0.002, 0.01})},
        {"curv 1 entry", curv_tag("c", {(u16)(1.8 * 256)})},
        {"curv 0 entries", curv_tag("c", {})},
        {"curv 4096 entries", curv_tag("c", sampled)},
    };
    for (const Case& c : cases) {
        // Different curves per channel catch a channel mix-up.
        Bytes profile = rgb_profile(c.curve, para_tag("g", 0, {1.8}), c.curve);
        Diff d;
        expect_close(tagged_file(PNG_FILE, false, profile), profile, false, c.what, &d);
        Bytes grey = make_profile("GRAY", {Tag{"kTRC", c.curve.data}});
        Bytes grey_file = tagged_file(PNG_FILE, true, grey);
        if (std::string(c.what) == "para 3") {
            // The sRGB curve: a grey image that already is sRGB.
            EXPECT_EQ(decode_file(grey_file, true).colour, (u32)COLOUR_NONE);
        } else {
            expect_close(grey_file, grey, true, std::string("grey ") + c.what, &d);
        }
        // Version 2 profiles read the same way.
        Bytes v2 = profile;
        set_be32(v2, 8, 0x02100000);
        expect_close(tagged_file(JPEG_FILE, false, v2), v2, false, std::string("v2 ") + c.what, &d);
    }
}

TEST(IccReference, SplitJpegProfileWithAMissingSegment) {
    // A profile of about 150 KB goes out in three APP2 segments.
    Bytes profile = rgb_profile(para_tag("r", 0, {2.2}), para_tag("g", 0, {2.2}), para_tag("b", 0, {2.2}));
    std::vector<Tag> tags = {xyz_tag("rXYZ", 0.60974, 0.31111, 0.01947), xyz_tag("gXYZ", 0.20528, 0.62567, 0.06087),
                             xyz_tag("bXYZ", 0.14919, 0.06322, 0.74457), para_tag("rTRC", 0, {2.2}),
                             para_tag("gTRC", 0, {2.2}), para_tag("bTRC", 0, {2.2}), Tag{"zzzz", Bytes(150000, 7)}};
    profile = make_profile("RGB ", tags);
    Bytes file = tagged_file(JPEG_FILE, false, profile);
    Diff d;
    expect_close(file, profile, false, "split profile", &d);
    // Take the second APP2 segment out.
    u32 seen = 0;
    for (size_t pos = 2; pos + 4 < file.size();) {
        size_t len = (size_t)file[pos + 2] << 8 | file[pos + 3];
        if (file[pos + 1] == 0xE2 && ++seen == 2) {
            file.erase(file.begin() + pos, file.begin() + pos + 2 + len);
            break;
        }
        pos += 2 + len;
    }
    ASSERT_EQ(seen, 2u);
    Decoded stored = decode_file(file, false);
    Decoded shown = decode_file(file, true);
    ASSERT_TRUE(stored.ok && shown.ok);
    EXPECT_EQ(stored.info.colour, (u32)COLOUR_IGNORED);
    EXPECT_EQ(stored.info.colour_bytes, 0u);
    EXPECT_EQ(shown.colour, (u32)COLOUR_IGNORED);
    EXPECT_EQ(shown.rgba, stored.rgba);
}

TEST(IccReference, DamagedProfilesInFilesLeaveTheStoredPixels) {
    Bytes good = rgb_profile(para_tag("r", 0, {2.2}), para_tag("g", 0, {2.2}), para_tag("b", 0, {2.2}));
    Bytes out_of_range = good, overlapping = good, many = good;
    set_be32(out_of_range, 132 + 12 * 4 + 4, 0x7FFFFFF0);
    set_be32(overlapping, 132 + 12 * 4 + 4, 132 + 12 * 7 + 8);
    set_be32(many, 128, 100000);
    for (const Bytes& p : {out_of_range, overlapping, many}) {
        for (Container k : {PNG_OWN_ICCP, JPEG_FILE, WEBP_FILE, TIFF_FILE}) {
            Bytes file = tagged_file(k, false, p);
            Decoded stored = decode_file(file, false);
            Decoded shown = decode_file(file, true);
            ASSERT_TRUE(stored.ok && shown.ok) << kContainerNames[k];
            EXPECT_EQ(shown.colour, (u32)COLOUR_IGNORED) << kContainerNames[k];
            EXPECT_EQ(shown.rgba, stored.rgba) << kContainerNames[k];
        }
    }
}

namespace {

// A job kept open, with or without its colour transform, whose tiles the
// test asks for as the tile cache does.
struct OpenJob {
    Bytes file;
    ImageInfo info{};
    std::vector<u8> memory;
    DecodeJob job{};
    OpenJob(const Bytes& f, bool convert) : file(f) {
        static ProbeWork work;
        CodecError err;
        EXPECT_TRUE(probe_image(file.data(), file.size(), FORMAT_NONE, &info, &work, &err));
        u64 scratch = align64(info.scratch_bytes), pixels = align64(info.pixel_bytes);
        u64 colour = align64(info.colour_bytes), extra = align64(info.extra_bytes);
        memory.assign(scratch + pixels + colour + extra + info.orient_bytes + 64, 0);
        u8* base = (u8*)(((uintptr_t)memory.data() + 63) & ~(uintptr_t)63);
        EXPECT_TRUE(start_job(&job, ByteSpan{file.data(), file.size()}, &info, &work, base, info.scratch_bytes,
                              base + scratch, &err));
        if (info.orient_bytes != 0) job.orient_cache = base + scratch + pixels + colour + extra;
        if (convert) {
            EXPECT_EQ(job_prepare_colour(&job), (u32)COLOUR_CONVERT);
        }
    }
    Bytes tile(u32 level, u32 column, u32 row) {
        Bytes t(256 * 1024);
        PixelBuffer b = {t.data(), 1024, 256, 256};
        CodecError err;
        EXPECT_TRUE(render_tile(&job, level, column, row, &b, &err)) << err.code;
        return t;
    }
};

// Every tile the converted job gives is the stored job's tile through the
// transform (edge fill included).
void expect_converted_tiles(OpenJob& stored, OpenJob& shown, u32 level, const std::string& what) {
    u64 lw = ceil_shift(shown.job.info.width, level), lh = ceil_shift(shown.job.info.height, level);
    for (u32 row = 0; (u64)row * 256 < lh; row++) {
        for (u32 column = 0; (u64)column * 256 < lw; column++) {
            Bytes want = stored.tile(level, column, row);
            icc_row_scalar(shown.job.colour, want.data(), want.data(), 65536);
            ASSERT_EQ(shown.tile(level, column, row), want) << what << " level " << level << " tile " << column
                                                             << ", " << row;
        }
    }
}

}  // namespace

TEST(IccReference, EveryTileIsConvertedTurnedOrNot) {
    Bytes profile = rgb_profile(para_tag("r", 0, {2.2}), para_tag("g", 0, {1.8}),
                                para_tag("b", 3, {2.4, 0.9, 0.1, 0.08, 0.05}));
    // 600 x 520: tiles that end inside the image across and down.
    const u32 w = 600, h = 520;
    Bytes px = picture(w, h, 3), rgba = picture(w, h, 4);
    struct Case {
        const char* what;
        Bytes file;
    };
    std::vector<Case> cases = {{"PNG", write_png(px, w, h, 3, profile)},
                               {"JPEG", write_jpeg(px, w, h, 3, profile, false)},
                               {"progressive JPEG", write_jpeg(px, w, h, 3, profile, true)},
                               {"WebP", write_webp(rgba, w, h, profile)}};
    for (Case& c : cases) {
        OpenJob stored(c.file, false), shown(c.file, true);
        ASSERT_NE(shown.job.colour, nullptr) << c.what;
        for (u32 orientation : {1u, 6u, 3u}) {
            job_set_orientation(&stored.job, orientation);
            job_set_orientation(&shown.job, orientation);
            std::string what = std::string(c.what) + " orientation " + std::to_string(orientation);
            // A JPEG's preview serves levels 0 to 3 before its second stage.
            for (u32 level = 0; level <= stored.info.preview_level; level++) {
                expect_converted_tiles(stored, shown, level, what);
            }
        }
        CodecError err;
        ASSERT_TRUE(finish_full_resolution(&stored.job, &err) && finish_full_resolution(&shown.job, &err));
        for (u32 orientation : {1u, 8u}) {
            job_set_orientation(&stored.job, orientation);
            job_set_orientation(&shown.job, orientation);
            expect_converted_tiles(stored, shown, 0, std::string(c.what) + " full, orientation " +
                                                         std::to_string(orientation));
        }
    }
}

// A TIFF's profile tag is read only as far as the file holds it: a profile
// whose bytes lie past the end is ignored (and the TIFF reader refuses the
// file), and a file without the tag has none.
TEST(IccReference, TiffProfileTag) {
    Bytes profile = rgb_profile(para_tag("r", 0, {2.2}), para_tag("g", 0, {2.2}), para_tag("b", 0, {2.2}));
    Bytes px = picture(16, 8, 3);
    Bytes good = write_tiff(px, 16, 8, 3, profile);
    IccFind find;
    tiff_find_profile(good.data(), good.size(), &find);
    EXPECT_EQ(find.container, (u32)ICC_IN_TIFF);
    EXPECT_EQ(find.state, (u32)COLOUR_PENDING);
    EXPECT_EQ(find.size, profile.size());
    EXPECT_FALSE(find.grey);
    Bytes none = write_tiff(px, 16, 8, 3, {});
    tiff_find_profile(none.data(), none.size(), &find);
    EXPECT_EQ(find.state, (u32)COLOUR_NONE);
    // The tag's offset moved past the end of the file.
    Bytes past = good;
    u32 ifd = past[4] | past[5] << 8 | past[6] << 16 | (u32)past[7] << 24;
    u32 entries = past[ifd] | past[ifd + 1] << 8;
    u64 last = ifd + 2 + 12 * (u64)(entries - 1);
    ASSERT_EQ(past[last] | past[last + 1] << 8, 34675);
    past[last + 8] = past[last + 9] = past[last + 10] = 0xF0;
    tiff_find_profile(past.data(), past.size(), &find);
    EXPECT_EQ(find.state, (u32)COLOUR_IGNORED);
    // The TIFF reader itself refuses an entry whose data lies past the end.
    EXPECT_FALSE(decode_file(past, true).ok);
    // Every prefix of the tag table: never a read past the bytes given.
    for (size_t n = 0; n < good.size(); n += 7) {
        Bytes cut(good.begin(), good.begin() + n);
        tiff_find_profile(cut.data(), cut.size(), &find);
        EXPECT_NE(find.state, (u32)COLOUR_CONVERT);
    }
}
