// Orientation: the EXIF reader on hand-made blocks (both byte orders, and
// blocks that lie, point outside themselves or are cut short), the
// composition of turns, and the eight orientations on the tiles of every
// level a job serves (pixel buffer, JPEG full-resolution tiles, WebP tiles),
// at the image's edges, against whole level images turned in the test.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "codec/codecs.h"
#include "codec/jpeg/encode.h"
#include "codec/job.h"
#include "codec/orientation.h"
#include "codec/probe.h"

namespace fs = std::filesystem;
using Bytes = std::vector<u8>;

// ---- EXIF ---------------------------------------------------------------------------

// A TIFF-structured block: header, IFD 0 at `ifd` with the given entries
// (tag, type, count, value), byte order by `le`.
struct Entry {
    u32 tag, type, count, value;
};

static void put(Bytes& b, u64 at, u32 v, u32 size, bool le) {
    if (b.size() < at + size) b.resize(at + size, 0);
    for (u32 i = 0; i < size; i++) b[at + i] = (u8)(le ? v >> (8 * i) : v >> (8 * (size - 1 - i)));
}

static Bytes exif_block(bool le, u32 ifd, const std::vector<Entry>& entries, u32 claimed_count = 0xFFFFFFFF) {
    Bytes b = {(u8)(le ? 'I' : 'M'), (u8)(le ? 'I' : 'M')};
    put(b, 2, 42, 2, le);
    put(b, 4, ifd, 4, le);
    put(b, ifd, claimed_count != 0xFFFFFFFF ? claimed_count : (u32)entries.size(), 2, le);
    for (size_t i = 0; i < entries.size(); i++) {
        u64 e = ifd + 2 + 12 * i;
        put(b, e, entries[i].tag, 2, le);
        put(b, e + 2, entries[i].type, 2, le);
        put(b, e + 4, entries[i].count, 4, le);
        // A SHORT sits in the first two bytes of the value field.
        put(b, e + 8, entries[i].value, entries[i].type == 3 ? 2 : 4, le);
    }
    put(b, ifd + 2 + 12 * entries.size(), 0, 4, le);  // no next IFD
    return b;
}

TEST(Exif, OrientationInBothByteOrders) {
    for (bool le : {true, false}) {
        for (u32 v = 1; v <= 8; v++) {
            Bytes b = exif_block(le, 8, {{0x010F, 2, 4, 0}, {0x0112, 3, 1, v}, {0x011A, 5, 1, 100}});
            EXPECT_EQ(exif_orientation(b.data(), b.size()), v) << le << " " << v;
        }
        // A LONG is taken as well; values outside 1..8 mean 1.
        Bytes l = exif_block(le, 8, {{0x0112, 4, 1, 6}});
        EXPECT_EQ(exif_orientation(l.data(), l.size()), 6u);
        for (u32 bad : {0u, 9u, 0xFFFFu}) {
            Bytes b = exif_block(le, 8, {{0x0112, 3, 1, bad}});
            EXPECT_EQ(exif_orientation(b.data(), b.size()), 1u);
        }
        // The IFD further on, after other data.
        Bytes far = exif_block(le, 40, {{0x0112, 3, 1, 8}});
        EXPECT_EQ(exif_orientation(far.data(), far.size()), 8u);
    }
}

TEST(Exif, BlocksThatLieAreIgnored) {
    Bytes good = exif_block(true, 8, {{0x0100, 4, 1, 640}, {0x0112, 3, 1, 6}});
    ASSERT_EQ(exif_orientation(good.data(), good.size()), 6u);
    // Cut anywhere before the tag's value: no orientation, no read past the cut.
    for (size_t n = 0; n < 8 + 2 + 12 + 10; n++) {
        std::vector<u8> cut(good.begin(), good.begin() + n);  // exact size: ASan sees any overread
        EXPECT_EQ(exif_orientation(cut.data(), cut.size()), 1u) << n;
    }
    // An IFD offset past the block, or pointing into the header.
    Bytes outside = good;
    put(outside, 4, 0xFFFFFFF0u, 4, true);
    EXPECT_EQ(exif_orientation(outside.data(), outside.size()), 1u);
    put(outside, 4, 2, 4, true);
    EXPECT_EQ(exif_orientation(outside.data(), outside.size()), 1u);
    // A count far above what the block holds: only entries that fit are read.
    Bytes many = exif_block(false, 8, {{0x0112, 3, 1, 3}}, 60000);
    EXPECT_EQ(exif_orientation(many.data(), many.size()), 3u);
    Bytes hidden = exif_block(false, 8, {{0x0100, 3, 1, 3}}, 60000);
    EXPECT_EQ(exif_orientation(hidden.data(), hidden.size()), 1u);
    // The tag with a count other than 1, or a type that is neither SHORT nor LONG.
    Bytes counted = exif_block(true, 8, {{0x0112, 3, 2, 6}});
    EXPECT_EQ(exif_orientation(counted.data(), counted.size()), 1u);
    Bytes typed = exif_block(true, 8, {{0x0112, 2, 1, 6}});
    EXPECT_EQ(exif_orientation(typed.data(), typed.size()), 1u);
    // A byte-order mark or magic that is wrong.
    Bytes mark = good;
    mark[1] = 'M';
    EXPECT_EQ(exif_orientation(mark.data(), mark.size()), 1u);
    Bytes magic = good;
    magic[2] = 43;
    EXPECT_EQ(exif_orientation(magic.data(), magic.size()), 1u);
    // An IFD that points at itself as the next one is never followed: the
    // orientation of IFD 0 is all that is read.
    Bytes loop = exif_block(true, 8, {{0x0112, 3, 1, 5}});
    put(loop, 8 + 2 + 12, 8, 4, true);
    EXPECT_EQ(exif_orientation(loop.data(), loop.size()), 5u);
}

// The EXIF block inside each container, and containers that lie.
TEST(Exif, FoundInJpegPngAndWebp) {
    Bytes exif = exif_block(false, 8, {{0x0112, 3, 1, 6}});
    Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0, 4, 'J', 'F', 0xFF, 0xE1};
    put(jpeg, jpeg.size(), (u32)(2 + 6 + exif.size()), 2, false);
    for (u8 c : std::string("Exif\0\0", 6)) jpeg.push_back(c);
    jpeg.insert(jpeg.end(), exif.begin(), exif.end());
    Bytes tail = {0xFF, 0xDA, 0, 2, 0xFF, 0xD9};
    jpeg.insert(jpeg.end(), tail.begin(), tail.end());
    EXPECT_EQ(jpeg_file_orientation(jpeg.data(), jpeg.size()), 6u);
    // A segment length past the end of the file: ignored.
    Bytes long_segment = jpeg;
    long_segment[11] = 0xF0;
    EXPECT_EQ(jpeg_file_orientation(long_segment.data(), long_segment.size()), 1u);
    // After the scan starts nothing more is read.
    Bytes late = {0xFF, 0xD8, 0xFF, 0xDA, 0, 2};
    late.insert(late.end(), jpeg.begin() + 8, jpeg.end());
    EXPECT_EQ(jpeg_file_orientation(late.data(), late.size()), 1u);

    Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    auto chunk = [&](const char* type, const Bytes& data) {
        put(png, png.size(), (u32)data.size(), 4, false);
        png.insert(png.end(), type, type + 4);
        png.insert(png.end(), data.begin(), data.end());
        put(png, png.size(), 0, 4, false);  // the CRC is not this reader's business
    };
    chunk("IHDR", Bytes(13, 0));
    chunk("eXIf", exif);
    chunk("IEND", {});
    EXPECT_EQ(png_file_orientation(png.data(), png.size()), 6u);

    Bytes webp = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B', 'P', 'V', 'P', '8', 'X', 10, 0, 0, 0};
    webp.resize(30, 0);
    webp.insert(webp.end(), {'E', 'X', 'I', 'F'});
    put(webp, webp.size(), (u32)exif.size() + 1, 4, true);  // odd: padded
    webp.insert(webp.end(), exif.begin(), exif.end());
    webp.push_back(0);
    EXPECT_EQ(webp_file_orientation(webp.data(), webp.size()), 6u);
    Bytes cut(webp.begin(), webp.end() - 5);
    EXPECT_EQ(webp_file_orientation(cut.data(), cut.size()), 1u);
}

// ---- Composition ---------------------------------------------------------------------

TEST(Orientation, TurnsCompose) {
    for (u32 o = 1; o <= 8; o++) {
        u32 t = o;
        for (int i = 0; i < 4; i++) t = orientation_then(t, ORIENT_TURN_CW);
        EXPECT_EQ(t, o);  // four quarter turns
        EXPECT_EQ(orientation_then(orientation_then(o, ORIENT_TURN_CW), ORIENT_TURN_CCW), o);
        EXPECT_EQ(orientation_then(orientation_then(o, ORIENT_FLIP_H), ORIENT_FLIP_H), o);
        EXPECT_EQ(orientation_swaps(orientation_then(o, ORIENT_TURN_CW)), !orientation_swaps(o));
    }
    EXPECT_EQ(orientation_then(1, ORIENT_TURN_CW), 6u);
    EXPECT_EQ(orientation_then(6, ORIENT_TURN_CW), 3u);
    EXPECT_EQ(orientation_then(3, ORIENT_TURN_CW), 8u);
    EXPECT_EQ(orientation_then(1, ORIENT_FLIP_H), 2u);
    EXPECT_EQ(orientation_then(6, ORIENT_FLIP_H), 5u);  // turned, then mirrored: transposed
}

// ---- Tiles ---------------------------------------------------------------------------

struct Picture {
    u32 w = 0, h = 0;
    std::vector<u32> px;
    u32& at(u32 x, u32 y) { return px[(size_t)y * w + x]; }
};

// The reference: each orientation written out from its definition, as a map
// of every stored pixel to where it shows.
static Picture turned(Picture s, u32 o) {
    bool swap = o >= 5;
    Picture d;
    d.w = swap ? s.h : s.w;
    d.h = swap ? s.w : s.h;
    d.px.assign((size_t)d.w * d.h, 0);
    for (u32 y = 0; y < s.h; y++) {
        for (u32 x = 0; x < s.w; x++) {
            u32 v = s.at(x, y);
            switch (o) {
            case 1: d.at(x, y) = v; break;
            case 2: d.at(s.w - 1 - x, y) = v; break;                  // mirrored left to right
            case 3: d.at(s.w - 1 - x, s.h - 1 - y) = v; break;        // half a turn
            case 4: d.at(x, s.h - 1 - y) = v; break;                  // mirrored top to bottom
            case 5: d.at(y, x) = v; break;                            // transposed
            case 6: d.at(s.h - 1 - y, x) = v; break;                  // a quarter turn clockwise
            case 7: d.at(s.h - 1 - y, s.w - 1 - x) = v; break;        // transversed
            case 8: d.at(y, s.w - 1 - x) = v; break;                  // a quarter turn counter-clockwise
            }
        }
    }
    return d;
}

struct OpenJob {
    Bytes bytes;
    ImageInfo info{};
    CodecError err{};
    std::vector<u8> memory;
    DecodeJob job{};
    explicit OpenJob(Bytes file) : bytes(std::move(file)) {
        static ProbeWork work;
        EXPECT_TRUE(probe_image(bytes.data(), bytes.size(), FORMAT_NONE, &info, &work, &err)) << err.code;
        u64 scratch = align64(info.scratch_bytes), pixels = align64(info.pixel_bytes), extra = align64(info.extra_bytes);
        memory.assign(scratch + pixels + extra + info.orient_bytes + 64, 0);
        u8* base = (u8*)(((uintptr_t)memory.data() + 63) & ~(uintptr_t)63);
        EXPECT_TRUE(start_job(&job, ByteSpan{bytes.data(), bytes.size()}, &info, &work, base, info.scratch_bytes,
                              base + scratch, &err));
        if (info.orient_bytes) job.orient_cache = base + scratch + pixels + extra;
        EXPECT_TRUE(decode_step(&job, &err));
        EXPECT_TRUE(finish_full_resolution(&job, &err));
    }
    // Every tile of a level, put together (valid parts only), and each
    // tile's edge fill checked on the way.
    Picture level(u32 l) {
        Picture p;
        p.w = (u32)ceil_shift(job.info.width, l);
        p.h = (u32)ceil_shift(job.info.height, l);
        p.px.assign((size_t)p.w * p.h, 0);
        std::vector<u32> tile(256 * 256);
        PixelBuffer t = {(u8*)tile.data(), 1024, 256, 256};
        for (u32 r = 0; r * 256 < p.h; r++) {
            for (u32 c = 0; c * 256 < p.w; c++) {
                EXPECT_TRUE(render_tile(&job, l, c, r, &t, &err)) << err.code;
                u32 cw = std::min(256u, p.w - c * 256), ch = std::min(256u, p.h - r * 256);
                for (u32 y = 0; y < ch; y++)
                    for (u32 x = 0; x < cw; x++) p.at(c * 256 + x, r * 256 + y) = tile[y * 256 + x];
                EXPECT_EQ(tile[255 * 256 + 255], tile[(ch - 1) * 256 + cw - 1]);
            }
        }
        return p;
    }
};

static Bytes read_all(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// A JPEG of a width and height that are not multiples of the tile or block
// size, from our encoder.
static Bytes test_jpeg(u32 w, u32 h) {
    std::vector<u8> rgba((size_t)w * h * 4);
    for (u32 y = 0; y < h; y++)
        for (u32 x = 0; x < w; x++) {
            u8* p = &rgba[((size_t)y * w + x) * 4];
            p[0] = (u8)(x * 255 / w);
            p[1] = (u8)(y * 255 / h);
            p[2] = (u8)((x / 17 + y / 13) % 2 ? 220 : 40);
            p[3] = 255;
        }
    JpegEncodeSettings s = {90, 1, 0};
    Bytes ws(jpeg_encode_workspace_bytes(&s, w, h) + 64), out(jpeg_encode_output_bound(&s, w, h));
    JpegEncodeResult r;
    EXPECT_TRUE(jpeg_encode(ByteSpan{rgba.data(), rgba.size()}, 4 * (u64)w, w, h, &s, ws.data(), ws.size(),
                            out.data(), out.size(), &r));
    out.resize(r.bytes);
    return out;
}

TEST(Orientation, TilesOfEveryLevelMatchTheTurnedImage) {
    std::vector<std::pair<std::string, Bytes>> files = {
        {"JPEG", test_jpeg(601, 333)},
        {"WebP", read_all(fs::path(QB_SOURCE_DIR) / "tests" / "data" / "lossless-600x400.webp")},
        {"PNG", read_all(fs::path(QB_SOURCE_DIR) / "tests" / "data" / "small-rgb.png")},
        {"QOI", read_all(fs::path(QB_SOURCE_DIR) / "tests" / "data" / "alpha-96x64.qoi")},
    };
    for (auto& [name, bytes] : files) {
        ASSERT_FALSE(bytes.empty()) << name;
        OpenJob j(bytes);
        // A JPEG after its second stage serves its full size and its preview.
        for (u32 l = 0; l <= j.info.preview_level; l++) {
            if (j.job.full_ready && l != 0 && l != j.info.preview_level) continue;
            job_set_orientation(&j.job, 1);
            Picture stored = j.level(l);
            for (u32 o = 2; o <= 8; o++) {
                job_set_orientation(&j.job, o);
                Picture want = turned(stored, o);
                Picture got = j.level(l);
                ASSERT_EQ(got.w, want.w) << name << " level " << l << " orientation " << o;
                ASSERT_EQ(got.h, want.h);
                size_t diff = 0;
                for (size_t i = 0; i < want.px.size(); i++) diff += got.px[i] != want.px[i];
                EXPECT_EQ(diff, 0u) << name << " level " << l << " orientation " << o;
            }
        }
        // The whole image as shown, as saving takes it.
        job_set_orientation(&j.job, 6);
        Picture full = j.level(0);
        std::vector<u8> memory(full_resolution_bytes(&j.job) + 64);
        PixelBuffer whole;
        ASSERT_TRUE(full_resolution_pixels(&j.job, memory.data(), &whole, &j.err)) << name;
        ASSERT_EQ(whole.width, full.w);
        ASSERT_EQ(whole.height, full.h);
        for (u32 y = 0; y < whole.height; y++)
            for (u32 x = 0; x < whole.width; x++)
                ASSERT_EQ(((const u32*)(whole.pixels + y * whole.stride))[x], full.at(x, y)) << name;
    }
}

// The probe reports the size as shown when the file asks to be turned.
TEST(Orientation, ProbeReportsTheSizeAsShown) {
    Bytes jpeg = test_jpeg(64, 40);
    Bytes exif = exif_block(true, 8, {{0x0112, 3, 1, 6}});
    Bytes app1 = {0xFF, 0xE1};
    put(app1, 2, (u32)(2 + 6 + exif.size()), 2, false);
    for (u8 c : std::string("Exif\0\0", 6)) app1.push_back(c);
    app1.insert(app1.end(), exif.begin(), exif.end());
    jpeg.insert(jpeg.begin() + 2, app1.begin(), app1.end());
    OpenJob j(jpeg);
    EXPECT_EQ(j.info.orientation, 6u);
    EXPECT_EQ(j.info.width, 40u);
    EXPECT_EQ(j.info.height, 64u);
    EXPECT_EQ(j.job.stored_width, 64u);
    EXPECT_EQ(j.job.orientation, 6u);
}
