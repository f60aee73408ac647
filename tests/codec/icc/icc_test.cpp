// Colour profiles without a reference library: the SSE2 kernel against its
// scalar twin, what makes a profile one we ignore (damaged tag tables,
// LUT-based and other colour spaces), sRGB detection, and finding profiles
// in files: JPEG segments in any order or missing, PNG iCCP, WebP ICCP.
#include <algorithm>
#include <random>

#include "tests/codec/icc/icc_support.h"

using namespace icctest;

namespace {

Tag gamma_curv(const char* name, double gamma) {
    return curv_tag(name, {(u16)(gamma * 256 + 0.5)});
}

Bytes adobe_like() {
    return rgb_profile(gamma_curv("rTRC", 2.2), gamma_curv("gTRC", 2.2), gamma_curv("bTRC", 2.2));
}

// Wide primaries, so that many colours fall outside sRGB and clamp.
Bytes wide_profile() {
    std::vector<Tag> tags = {xyz_tag("rXYZ", 0.7977, 0.2880, 0.0),
                             xyz_tag("gXYZ", 0.1352, 0.7119, 0.0),
                             xyz_tag("bXYZ", 0.0313, 0.0001, 0.8249),
                             para_tag("rTRC", 3, {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045}),
                             para_tag("gTRC", 0, {1.8}),
                             curv_tag("bTRC", {0, 1000, 30000, 65535})};
    return make_profile("RGB ", tags);
}

IccTransform* build(const Bytes& profile) {
    static IccTransform t;
    IccProfile parsed;
    if (!icc_parse(profile.data(), profile.size(), &parsed)) return nullptr;
    return icc_build(&parsed, &t) ? &t : nullptr;
}

bool parses(const Bytes& profile) {
    IccProfile parsed;
    return icc_parse(profile.data(), profile.size(), &parsed);
}

}  // namespace

// ---- Kernels ---------------------------------------------------------------------

TEST(IccKernels, Sse2MatchesScalarOnEveryColour) {
    IccTransform* t = build(wide_profile());
    ASSERT_NE(t, nullptr);
    // Every RGB triple once, with varied alpha, in rows of 4096.
    std::vector<u8> src(4096 * 4), a(4096 * 4), b(4096 * 4);
    for (u32 block = 0; block < 4096; block++) {
        for (u32 i = 0; i < 4096; i++) {
            u32 v = block * 4096 + i;
            src[4 * i] = (u8)v;
            src[4 * i + 1] = (u8)(v >> 8);
            src[4 * i + 2] = (u8)(v >> 16);
            src[4 * i + 3] = (u8)(v * 37);
        }
        icc_row_scalar(t, src.data(), a.data(), 4096);
        icc_row_sse2(t, src.data(), b.data(), 4096);
        ASSERT_EQ(a, b) << "block " << block;
    }
    // Alpha is kept, and a row may end anywhere.
    for (u32 i = 0; i < 4096; i++) ASSERT_EQ(a[4 * i + 3], src[4 * i + 3]);
    for (u64 count = 0; count < 11; count++) {
        std::vector<u8> x(src.begin(), src.begin() + 4 * count + 8), y = x;
        icc_row_scalar(t, x.data(), x.data(), count);
        icc_row_sse2(t, y.data(), y.data(), count);
        EXPECT_EQ(x, y) << count;
        EXPECT_TRUE(std::equal(x.end() - 8, x.end(), src.begin() + 4 * count)) << "wrote past the row";
    }
}

TEST(IccKernels, ForcedVariantsAreUsed) {
    ASSERT_TRUE(icc_kernel_force(ICC_KERNEL_SCALAR));
    EXPECT_EQ(icc_row_kernel(), &icc_row_scalar);
    ASSERT_TRUE(icc_kernel_force(ICC_KERNEL_SSE2));
    EXPECT_EQ(icc_row_kernel(), &icc_row_sse2);
    EXPECT_FALSE(icc_kernel_force(7));
    EXPECT_EQ(icc_row_kernel(), &icc_row_sse2);
}

// ---- Profiles --------------------------------------------------------------------

TEST(IccProfiles, SrgbIsDetectedAndSkipped) {
    std::vector<Tag> tags = {xyz_tag("rXYZ", 0.43604, 0.22249, 0.01392),
                             xyz_tag("gXYZ", 0.38512, 0.71690, 0.09706),
                             xyz_tag("bXYZ", 0.14305, 0.06061, 0.71393),
                             para_tag("rTRC", 3, {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045})};
    Tag g = tags[3], b = tags[3];
    g.name = "gTRC";
    b.name = "bTRC";
    tags.push_back(g);
    tags.push_back(b);
    Bytes srgb = make_profile("RGB ", tags);
    ASSERT_TRUE(parses(srgb));
    EXPECT_EQ(build(srgb), nullptr) << "an sRGB profile needs no transform";
    // The same primaries with a plain 2.2 gamma are not sRGB.
    tags[3] = gamma_curv("rTRC", 2.2);
    EXPECT_NE(build(make_profile("RGB ", tags)), nullptr);
    // A grey profile with the sRGB curve is sRGB too; one with gamma 1.0 not.
    EXPECT_EQ(build(make_profile("GRAY", {para_tag("kTRC", 3, {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045})})),
              nullptr);
    EXPECT_NE(build(make_profile("GRAY", {curv_tag("kTRC", {})})), nullptr);
}

TEST(IccProfiles, GreyRowsFeedEveryChannelFromTheFirst) {
    IccTransform* t = build(make_profile("GRAY", {gamma_curv("kTRC", 1.0)}));
    ASSERT_NE(t, nullptr);
    for (u32 v = 0; v < 256; v++) {
        EXPECT_EQ(t->rows[0][v][0], t->rows[0][v][1]);
        EXPECT_EQ(t->rows[0][v][0], t->rows[0][v][2]);
        EXPECT_EQ(t->rows[1][v][0], 0);
        EXPECT_EQ(t->rows[2][v][2], 0);
    }
    // Linear 0.5 is sRGB 188.
    u8 px[4] = {128, 128, 128, 255};
    icc_row_scalar(t, px, px, 1);
    EXPECT_EQ(px[0], 188);
    EXPECT_EQ(px[1], 188);
    EXPECT_EQ(px[2], 188);
}

TEST(IccProfiles, WhatWeDoNotConvertIsRefused) {
    Bytes good = adobe_like();
    ASSERT_TRUE(parses(good));
    // A2B tables take precedence in colour-managed readers.
    {
        std::vector<Tag> tags = {xyz_tag("rXYZ", 0.6, 0.3, 0.02), xyz_tag("gXYZ", 0.2, 0.6, 0.06),
                                 xyz_tag("bXYZ", 0.15, 0.06, 0.74), gamma_curv("rTRC", 2.2),
                                 gamma_curv("gTRC", 2.2), gamma_curv("bTRC", 2.2), Tag{"A2B0", Bytes(64, 0)}};
        tags[6].data[0] = 'm';
        EXPECT_FALSE(parses(make_profile("RGB ", tags)));
    }
    // Other colour spaces, connection spaces and classes.
    {
        Bytes p = good;
        set_be32(p, 16, tag_sig("CMYK"));
        EXPECT_FALSE(parses(p));
        p = good;
        set_be32(p, 20, tag_sig("Lab "));
        EXPECT_FALSE(parses(p));
        p = good;
        set_be32(p, 12, tag_sig("link"));
        EXPECT_FALSE(parses(p));
        p = good;
        set_be32(p, 36, tag_sig("acsq"));
        EXPECT_FALSE(parses(p));
    }
    // A missing curve, a curve of another type, a para type beyond 4.
    EXPECT_FALSE(parses(make_profile("RGB ", {xyz_tag("rXYZ", 0.6, 0.3, 0.02), xyz_tag("gXYZ", 0.2, 0.6, 0.06),
                                              xyz_tag("bXYZ", 0.15, 0.06, 0.74), gamma_curv("rTRC", 2.2),
                                              gamma_curv("gTRC", 2.2)})));
    {
        Tag mft = gamma_curv("bTRC", 2.2);
        set_be32(mft.data, 0, tag_sig("mft2"));
        EXPECT_FALSE(parses(rgb_profile(gamma_curv("rTRC", 2.2), gamma_curv("gTRC", 2.2), mft)));
    }
    EXPECT_FALSE(parses(rgb_profile(gamma_curv("r", 2.2), gamma_curv("g", 2.2), para_tag("b", 5, {2.2, 1, 0}))));
    // A para tag too short for its type's parameters.
    EXPECT_FALSE(parses(rgb_profile(gamma_curv("r", 2.2), gamma_curv("g", 2.2), para_tag("b", 4, {2.2, 1, 0}))));
}

TEST(IccProfiles, DamagedTagTablesAreRefused) {
    Bytes good = adobe_like();
    ASSERT_TRUE(parses(good));
    const size_t table = 132;
    // Tag 4 is rTRC (after wtpt and the three colorants).
    auto entry = [&](const Bytes&, u32 i, u32 field) { return table + 12 * i + 4 * field; };
    Bytes p = good;
    set_be32(p, entry(p, 4, 1), (u32)good.size() - 4);  // runs past the end
    EXPECT_FALSE(parses(p));
    p = good;
    set_be32(p, entry(p, 4, 1), 0xFFFFFFF0u);
    EXPECT_FALSE(parses(p));
    p = good;
    set_be32(p, entry(p, 4, 2), 0xFFFFFFFFu);
    EXPECT_FALSE(parses(p));
    // Overlapping another tag partly (the same offset and size is shared
    // data, which is allowed).
    p = good;
    u32 gxyz = (u32)(p[entry(p, 2, 1)] << 24 | p[entry(p, 2, 1) + 1] << 16 | p[entry(p, 2, 1) + 2] << 8 |
                     p[entry(p, 2, 1) + 3]);
    set_be32(p, entry(p, 3, 1), gxyz + 4);
    EXPECT_FALSE(parses(p));
    p = good;
    for (u32 f = 1; f <= 2; f++) {
        for (u32 k = 0; k < 4; k++) p[entry(p, 6, f) + k] = p[entry(p, 4, f) + k];
    }
    EXPECT_TRUE(parses(p)) << "bTRC sharing rTRC's data";
    // Inside the tag table itself.
    p = good;
    set_be32(p, entry(p, 4, 1), (u32)table + 4);
    EXPECT_FALSE(parses(p));
    // A tag count of 100000, and of one more tag than the table holds.
    p = good;
    set_be32(p, 128, 100000);
    EXPECT_FALSE(parses(p));
    // The declared size beyond the bytes, and too small for a header.
    p = good;
    set_be32(p, 0, (u32)good.size() + 1);
    EXPECT_FALSE(parses(p));
    p = good;
    set_be32(p, 0, 100);
    EXPECT_FALSE(parses(p));
    // Every prefix of a good profile is refused without reading past it.
    for (size_t n = 0; n < good.size(); n++) {
        Bytes cut(good.begin(), good.begin() + n);
        IccProfile parsed;
        EXPECT_FALSE(icc_parse(cut.data(), cut.size(), &parsed)) << n;
    }
}

TEST(IccProfiles, CurvCountsAreCheckedAgainstTheTag) {
    Tag c = curv_tag("bTRC", {0, 20000, 65535});
    set_be32(c.data, 8, 1000);  // more entries than the tag holds
    EXPECT_FALSE(parses(rgb_profile(gamma_curv("rTRC", 2.2), gamma_curv("gTRC", 2.2), c)));
    // 0 entries (identity), 1 (gamma) and n (sampled) all convert.
    std::vector<u16> ramp(4096);
    for (u32 i = 0; i < 4096; i++) ramp[i] = (u16)(i * 65535 / 4095);
    EXPECT_NE(build(rgb_profile(curv_tag("rTRC", {}), gamma_curv("gTRC", 1.8), curv_tag("bTRC", ramp))), nullptr);
}

// ---- Finding profiles in files -------------------------------------------------

namespace {

// SOI, APP2 segments holding `pieces` in the given order, a frame header of
// `components`, EOI.
Bytes jpeg_with_segments(const std::vector<Bytes>& pieces, const std::vector<u32>& order, u32 count,
                         u32 components) {
    Bytes f = {0xFF, 0xD8};
    for (u32 seq : order) {
        const Bytes& piece = pieces[seq - 1];
        f.push_back(0xFF);
        f.push_back(0xE2);
        put_be16(f, (u32)(2 + 14 + piece.size()));
        const char* tag = "ICC_PROFILE";
        f.insert(f.end(), tag, tag + 12);
        f.push_back((u8)seq);
        f.push_back((u8)count);
        f.insert(f.end(), piece.begin(), piece.end());
    }
    f.insert(f.end(), {0xFF, 0xC0});
    put_be16(f, 8 + 3 * components);
    f.insert(f.end(), {8, 0, 16, 0, 16, (u8)components});
    for (u32 c = 0; c < components; c++) f.insert(f.end(), {(u8)(c + 1), 0x11, 0});
    f.insert(f.end(), {0xFF, 0xD9});
    return f;
}

std::vector<Bytes> split3(const Bytes& p) {
    size_t a = p.size() / 3, b = 2 * p.size() / 3;
    return {Bytes(p.begin(), p.begin() + a), Bytes(p.begin() + a, p.begin() + b), Bytes(p.begin() + b, p.end())};
}

// Runs the finder and reads the profile as the job does.
u32 prepare(void (*find_fn)(const u8*, u64, IccFind*), const Bytes& file, IccFind* find,
            const IccTransform** t) {
    find_fn(file.data(), file.size(), find);
    static std::vector<u8> memory;
    memory.assign(icc_memory_bytes(find) + 64, 0xA5);
    u8* base = (u8*)(((uintptr_t)memory.data() + 63) & ~(uintptr_t)63);
    u64 size = icc_memory_bytes(find);
    u32 state = icc_prepare(file.data(), file.size(), find, size != 0 ? base : nullptr, size, t);
    return state;
}

bool same_transform(const IccTransform* a, const IccTransform* b) {
    return a != nullptr && b != nullptr && memcmp(a->rows, b->rows, sizeof a->rows) == 0 &&
           memcmp(a->encode, b->encode, ICC_ONE + 1) == 0;
}

}  // namespace

TEST(IccFind, JpegSegmentsInAnyOrder) {
    Bytes profile = adobe_like();
    IccTransform whole = *build(profile);
    std::vector<Bytes> pieces = split3(profile);
    std::vector<u32> order = {1, 2, 3};
    do {
        Bytes f = jpeg_with_segments(pieces, order, 3, 3);
        IccFind find;
        const IccTransform* t;
        EXPECT_EQ(prepare(jpeg_find_profile, f, &find, &t), (u32)COLOUR_CONVERT);
        EXPECT_EQ(find.size, profile.size());
        EXPECT_TRUE(same_transform(t, &whole));
    } while (std::next_permutation(order.begin(), order.end()));
}

TEST(IccFind, JpegSegmentFaultsMeanIgnored) {
    std::vector<Bytes> pieces = split3(adobe_like());
    struct Case {
        std::vector<u32> order;
        u32 count;
        const char* what;
    };
    for (const Case& c : {Case{{1, 3}, 3, "missing segment"}, Case{{1, 2, 2, 3}, 3, "repeated segment"},
                          Case{{1, 2, 3}, 2, "number beyond the count"}, Case{{1, 2, 3}, 0, "count 0"}}) {
        Bytes f = jpeg_with_segments(pieces, c.order, c.count, 3);
        IccFind find;
        const IccTransform* t;
        EXPECT_EQ(prepare(jpeg_find_profile, f, &find, &t), (u32)COLOUR_IGNORED) << c.what;
        EXPECT_EQ(find.state, (u32)COLOUR_IGNORED) << c.what;
        EXPECT_EQ(icc_memory_bytes(&find), 0u) << c.what;
        EXPECT_EQ(t, nullptr);
    }
    // Counts that disagree between segments.
    Bytes f = jpeg_with_segments(pieces, {1, 2, 3}, 3, 3);
    f[2 + 4 + 12 + 1] = 4;
    IccFind find;
    jpeg_find_profile(f.data(), f.size(), &find);
    EXPECT_EQ(find.state, (u32)COLOUR_IGNORED);
    // A grey image with an RGB profile, and an RGB one with a grey profile.
    const IccTransform* t;
    EXPECT_EQ(prepare(jpeg_find_profile, jpeg_with_segments(pieces, {1, 2, 3}, 3, 1), &find, &t),
              (u32)COLOUR_IGNORED);
    Bytes grey = make_profile("GRAY", {gamma_curv("kTRC", 2.2)});
    EXPECT_EQ(prepare(jpeg_find_profile, jpeg_with_segments({grey}, {1}, 1, 3), &find, &t), (u32)COLOUR_IGNORED);
    EXPECT_EQ(prepare(jpeg_find_profile, jpeg_with_segments({grey}, {1}, 1, 1), &find, &t), (u32)COLOUR_CONVERT);
    // No profile at all, and a segment length running past the file.
    EXPECT_EQ(prepare(jpeg_find_profile, jpeg_with_segments({}, {}, 0, 3), &find, &t), (u32)COLOUR_NONE);
    f = jpeg_with_segments(pieces, {1, 2, 3}, 3, 3);
    f.resize(40);
    jpeg_find_profile(f.data(), f.size(), &find);
    EXPECT_EQ(find.state, (u32)COLOUR_NONE);
}

namespace {

u32 adler(const Bytes& d) {
    u32 a = 1, b = 0;
    for (u8 v : d) {
        a = (a + v) % 65521;
        b = (b + a) % 65521;
    }
    return b << 16 | a;
}

// A zlib stream of stored blocks.
Bytes zlib_stored(const Bytes& d) {
    Bytes z = {0x78, 0x01};
    size_t at = 0;
    do {
        size_t n = std::min<size_t>(d.size() - at, 65535);
        z.push_back(at + n == d.size() ? 1 : 0);
        z.push_back((u8)n);
        z.push_back((u8)(n >> 8));
        z.push_back((u8)~n);
        z.push_back((u8)(~n >> 8));
        z.insert(z.end(), d.begin() + at, d.begin() + at + n);
        at += n;
    } while (at < d.size());
    put_be32(z, adler(d));
    return z;
}

void png_chunk(Bytes& f, const char* type, const Bytes& data) {
    put_be32(f, (u32)data.size());
    f.insert(f.end(), type, type + 4);
    f.insert(f.end(), data.begin(), data.end());
    put_be32(f, 0);  // the finder does not check CRCs; the decoder does
}

Bytes png_with(u8 colour_type, const std::vector<std::pair<const char*, Bytes>>& chunks) {
    Bytes f = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    Bytes ihdr;
    put_be32(ihdr, 16);
    put_be32(ihdr, 16);
    ihdr.insert(ihdr.end(), {8, colour_type, 0, 0, 0});
    png_chunk(f, "IHDR", ihdr);
    for (const auto& c : chunks) png_chunk(f, c.first, c.second);
    png_chunk(f, "IDAT", {});
    png_chunk(f, "IEND", {});
    return f;
}

Bytes iccp(const char* name, u8 method, const Bytes& z) {
    Bytes d(name, name + strlen(name));
    d.push_back(0);
    d.push_back(method);
    d.insert(d.end(), z.begin(), z.end());
    return d;
}

}  // namespace

TEST(IccFind, PngIccpInflatedIntoSizedMemory) {
    Bytes profile = adobe_like();
    IccFind find;
    const IccTransform* t;
    Bytes f = png_with(2, {{"iCCP", iccp("Adobe RGB", 0, zlib_stored(profile))}});
    EXPECT_EQ(prepare(png_find_profile, f, &find, &t), (u32)COLOUR_CONVERT);
    EXPECT_EQ(find.size, profile.size());
    EXPECT_TRUE(same_transform(t, build(profile)));
    // An sRGB chunk says sRGB, whatever else the file has.
    f = png_with(2, {{"sRGB", {0}}, {"iCCP", iccp("x", 0, zlib_stored(profile))}});
    EXPECT_EQ(prepare(png_find_profile, f, &find, &t), (u32)COLOUR_NONE);
    // A compression method other than 0, an empty or unterminated name.
    for (const Bytes& chunk : {iccp("x", 1, zlib_stored(profile)), iccp("", 0, zlib_stored(profile)),
                               Bytes(90, 'a')}) {
        EXPECT_EQ(prepare(png_find_profile, png_with(2, {{"iCCP", chunk}}), &find, &t), (u32)COLOUR_IGNORED);
    }
    // A stream that ends early, one longer than its profile says, a broken
    // checksum: found at probe time, ignored when read.
    Bytes z = zlib_stored(profile);
    Bytes shorter(z.begin(), z.end() - 20);
    Bytes longer_profile = profile;
    longer_profile.resize(profile.size() + 10, 0);
    Bytes bad_sum = z;
    bad_sum.back() ^= 1;
    for (const Bytes& stream : {shorter, zlib_stored(longer_profile), bad_sum}) {
        EXPECT_EQ(prepare(png_find_profile, png_with(2, {{"iCCP", iccp("x", 0, stream)}}), &find, &t),
                  (u32)COLOUR_IGNORED);
    }
    // A profile declaring more than 16 MiB is ignored at once.
    Bytes huge = profile;
    set_be32(huge, 0, (u32)(ICC_MAX_PROFILE + 1));
    png_find_profile(png_with(2, {{"iCCP", iccp("x", 0, zlib_stored(huge))}}).data(), 0, &find);
    EXPECT_EQ(find.state, (u32)COLOUR_NONE);
    Bytes g = png_with(2, {{"iCCP", iccp("x", 0, zlib_stored(huge))}});
    png_find_profile(g.data(), g.size(), &find);
    EXPECT_EQ(find.state, (u32)COLOUR_IGNORED);
    // Grey colour types take grey profiles only.
    Bytes grey = make_profile("GRAY", {gamma_curv("kTRC", 2.2)});
    EXPECT_EQ(prepare(png_find_profile, png_with(0, {{"iCCP", iccp("g", 0, zlib_stored(grey))}}), &find, &t),
              (u32)COLOUR_CONVERT);
    EXPECT_EQ(prepare(png_find_profile, png_with(4, {{"iCCP", iccp("g", 0, zlib_stored(profile))}}), &find, &t),
              (u32)COLOUR_IGNORED);
}

TEST(IccFind, WebpIccpNeedsTheVp8xFlag) {
    Bytes profile = adobe_like();
    auto webp = [&](u8 flags) {
        Bytes f = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B', 'P', 'V', 'P', '8', 'X', 10, 0, 0, 0};
        f.insert(f.end(), {flags, 0, 0, 0, 15, 0, 0, 15, 0, 0});
        f.insert(f.end(), {'I', 'C', 'C', 'P'});
        for (int s = 0; s < 32; s += 8) f.push_back((u8)(profile.size() >> s));
        f.insert(f.end(), profile.begin(), profile.end());
        return f;
    };
    IccFind find;
    const IccTransform* t;
    EXPECT_EQ(prepare(webp_find_profile, webp(0x20), &find, &t), (u32)COLOUR_CONVERT);
    EXPECT_TRUE(same_transform(t, build(profile)));
    EXPECT_EQ(prepare(webp_find_profile, webp(0x00), &find, &t), (u32)COLOUR_NONE);
    Bytes cut = webp(0x20);
    cut.resize(cut.size() - 1);
    EXPECT_EQ(prepare(webp_find_profile, cut, &find, &t), (u32)COLOUR_NONE);
}
