// The container rules with their codes and offsets: the RIFF frame and its
// effective end, the simple and extended layouts, alpha and lossy flags,
// animation frames, the image locator, the plausibility limit and the
// request rectangle.
#include <gtest/gtest.h>

// GCC 12 reports vector inserts of small built files as overflows (a known
// false positive of its string-operation checks).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#endif

#include "codec/probe.h"
#include "tests/codec/webp/webp_support.h"

using namespace webp_test;

namespace {

// A valid lossless stream of a w x h image: no transform, no cache, no meta
// codes, five single-symbol codes (opaque grey), so no pixel takes a bit.
std::vector<u8> grey_stream() {
    BitWriter b;
    b.put(0, 1);  // no transform
    b.put(0, 1);  // no colour cache
    b.put(0, 1);  // no meta prefix codes
    const u32 symbols[5] = {0x80, 0x80, 0x80, 0xFF, 0};
    for (u32 s : symbols) {
        b.put(1, 1);  // simple
        b.put(0, 1);  // one symbol
        b.put(1, 1);  // in 8 bits
        b.put(s, 8);
    }
    return b.bytes;
}

std::vector<u8> lossless_file(u32 w, u32 h) {
    return riff({chunk("VP8L", vp8l_payload(w, h, false, grey_stream()))});
}

CodecError header_error(const std::vector<u8>& f) {
    ImageHeader h;
    CodecError err;
    EXPECT_FALSE(webp_read_header(f.data(), f.size(), &h, &err));
    return err;
}

CodecError prepare_error(const std::vector<u8>& f, WebpRequest req = {0, 0, 0, 0, 0}) {
    WebpPrepared p;
    CodecError err;
    EXPECT_FALSE(webp_prepare(f.data(), f.size(), &req, &p, &err));
    return err;
}

#define EXPECT_ERROR(e, c, o) \
    do { \
        CodecError e_ = (e); \
        EXPECT_EQ(e_.code, (u32)(c)); \
        EXPECT_EQ(e_.offset, (u64)(o)); \
    } while (0)

// An "ANMF" payload: offset (halved), size and the frame's image chunk.
std::vector<u8> anmf(u32 x, u32 y, u32 w, u32 h, const std::vector<u8>& image) {
    std::vector<u8> p;
    put_le24(&p, x);
    put_le24(&p, y);
    put_le24(&p, w - 1);
    put_le24(&p, h - 1);
    put_le24(&p, 100);
    p.push_back(0);
    p.insert(p.end(), image.begin(), image.end());
    return chunk("ANMF", p);
}

}  // namespace

TEST(WebpContainer, RiffFrame) {
    const u8 riff10[] = {'R', 'I', 'F', 'F', 1, 2, 3, 4, 5, 6};
    ImageHeader h;
    CodecError err;
    EXPECT_FALSE(webp_read_header(riff10, sizeof riff10, &h, &err));
    EXPECT_ERROR(err, ERR_TRUNCATED, 10);
    const u8 rifx[] = {'R', 'I', 'F', 'X', 0, 0, 0, 0, 'W', 'E', 'B', 'P'};
    EXPECT_FALSE(webp_read_header(rifx, sizeof rifx, &h, &err));
    EXPECT_ERROR(err, ERR_BAD_SIGNATURE, 0);
    const u8 ri[] = {'R', 'I'};  // agrees so far, then too short
    EXPECT_FALSE(webp_read_header(ri, sizeof ri, &h, &err));
    EXPECT_ERROR(err, ERR_TRUNCATED, 2);

    std::vector<u8> f = lossless_file(3, 2);
    f[8] = 'w';
    EXPECT_ERROR(header_error(f), ERR_BAD_SIGNATURE, 8);
    f = lossless_file(3, 2);
    f[4] = 11, f[5] = f[6] = f[7] = 0;  // end 19
    EXPECT_ERROR(header_error(f), ERR_BAD_HEADER, 4);
    // A RIFF size past the data is truncated; one short of it uses only its
    // own bytes (here cutting the image chunk).
    f = lossless_file(3, 2);
    f[4] += 2;
    EXPECT_ERROR(header_error(f), ERR_TRUNCATED, f.size());
    f = lossless_file(3, 2);
    std::vector<u8> trailing = f;
    trailing.insert(trailing.end(), {'j', 'u', 'n', 'k', 1, 2, 3});
    EXPECT_TRUE(webp_read_header(trailing.data(), trailing.size(), &h, &err));
    EXPECT_EQ(h.width, 3u);
    f[4] -= 2;
    EXPECT_ERROR(header_error(f), ERR_BAD_HEADER, 16);  // the chunk's size field
}

static CodecError prepare_lossy_error(const std::vector<u8>& f) {
    WebpPrepared p;
    CodecError err;
    EXPECT_FALSE(webp_prepare_lossy(f.data(), f.size(), 0, &p, &err));
    return err;
}

TEST(WebpContainer, SimpleLayouts) {
    ImageHeader h;
    CodecError err;
    std::vector<u8> f = lossless_file(300, 200);
    ASSERT_TRUE(webp_read_header(f.data(), f.size(), &h, &err));
    EXPECT_EQ(h.width, 300u);
    EXPECT_EQ(h.height, 200u);
    EXPECT_EQ(h.frame_count, 1u);
    EXPECT_EQ(h.flags, 0u);
    EXPECT_EQ(h.pixel_format, (u32)Rgba8Straight);
    EXPECT_EQ(h.sample_bits, 8u);

    // Lossy: measured and probed, refused by the lossless preparation.
    f = riff({chunk("VP8 ", vp8_payload(640, 480))});
    ASSERT_TRUE(webp_read_header(f.data(), f.size(), &h, &err));
    EXPECT_EQ(h.width, 640u);
    EXPECT_EQ(h.height, 480u);
    EXPECT_EQ(h.flags, (u32)WEBP_FLAG_LOSSY);
    EXPECT_EQ(h.pixel_format, (u32)Yuv420_8);
    EXPECT_ERROR(prepare_error(f), ERR_UNSUPPORTED, 12);
    ImageInfo info;
    ASSERT_TRUE(probe_image(f.data(), f.size(), &info, &err));
    EXPECT_EQ(info.width, 640u);
    EXPECT_EQ(info.height, 480u);
    EXPECT_EQ(info.scratch_bytes, vp8_scratch_bytes(640, 480));

    // A lossy image claiming more than 2^24 pixels per payload byte.
    std::vector<u8> huge = vp8_payload(16383, 16383);
    f = riff({chunk("VP8 ", huge)});
    EXPECT_ERROR(prepare_lossy_error(f), ERR_LIMIT, 12);
    huge.resize(16, 0);
    f = riff({chunk("VP8 ", huge)});
    WebpPrepared lp;
    EXPECT_TRUE(webp_prepare_lossy(f.data(), f.size(), 0, &lp, &err));

    // Faults of a "VP8 " header, each at its own offset.
    auto vp8_with = [](size_t at, u8 value) {
        std::vector<u8> p = vp8_payload(16, 16);
        p[at] = value;
        return riff({chunk("VP8 ", p)});
    };
    EXPECT_ERROR(header_error(vp8_with(0, 0x11)), ERR_BAD_HEADER, 20);   // not a key frame
    EXPECT_ERROR(header_error(vp8_with(0, 0x18)), ERR_UNSUPPORTED, 20);  // version 4
    EXPECT_ERROR(header_error(vp8_with(0, 0x00)), ERR_BAD_HEADER, 20);   // not shown
    EXPECT_ERROR(header_error(vp8_with(0, 0x30)), ERR_BAD_HEADER, 20);   // partition past the chunk
    EXPECT_ERROR(header_error(vp8_with(4, 0x02)), ERR_BAD_HEADER, 23);   // start code
    EXPECT_ERROR(header_error(vp8_with(6, 0x00)), ERR_BAD_HEADER, 26);   // zero width
    EXPECT_ERROR(header_error(vp8_with(8, 0x00)), ERR_BAD_HEADER, 28);   // zero height

    // Faults of a "VP8L" header.
    std::vector<u8> p = vp8l_payload(4, 4, false, grey_stream());
    p[0] = 0x2E;
    EXPECT_ERROR(header_error(riff({chunk("VP8L", p)})), ERR_BAD_HEADER, 20);
    p = vp8l_payload(4, 4, false, grey_stream());
    p[4] |= 0x20;  // version 1
    EXPECT_ERROR(header_error(riff({chunk("VP8L", p)})), ERR_BAD_HEADER, 21);
    EXPECT_ERROR(header_error(riff({chunk("VP8L", {0x2F, 0, 0, 0})})), ERR_BAD_HEADER, 20);
    EXPECT_ERROR(header_error(riff({chunk("JUNK", {1, 2})})), ERR_BAD_HEADER, 12);
}

TEST(WebpContainer, ExtendedStill) {
    ImageHeader h;
    CodecError err;
    // "ALPH" before a lossy image: alpha and pixel format 9.
    std::vector<u8> f = riff({chunk("VP8X", vp8x_payload(0x10, 16, 16)), chunk("ALPH", {0, 1, 2}),
                              chunk("VP8 ", vp8_payload(16, 16))});
    ASSERT_TRUE(webp_read_header(f.data(), f.size(), &h, &err));
    EXPECT_EQ(h.flags, (u32)(WEBP_FLAG_ALPHA | WEBP_FLAG_LOSSY));
    EXPECT_EQ(h.pixel_format, (u32)Yuv420A_8);
    // A lossless image after other chunks, found by the locator.
    std::vector<u8> lossless = chunk("VP8L", vp8l_payload(5, 4, true, grey_stream()));
    f = riff({chunk("VP8X", vp8x_payload(0x10, 5, 4)), chunk("ICCP", {1, 2, 3}), lossless, chunk("EXIF", {9})});
    ASSERT_TRUE(webp_read_header(f.data(), f.size(), &h, &err));
    EXPECT_EQ(h.flags, (u32)WEBP_FLAG_ALPHA);
    EXPECT_EQ(h.pixel_format, (u32)Rgba8Straight);
    WebpImageRef ref;
    ASSERT_TRUE(webp_locate_image(f.data(), f.size(), 0, &ref, &h, &err));
    EXPECT_EQ(ref.image_pos, 12u + 18 + 12);
    EXPECT_EQ(ref.w, 5u);
    EXPECT_EQ(ref.lossy, 0);
    EXPECT_FALSE(webp_locate_image(f.data(), f.size(), 1, &ref, &h, &err));
    EXPECT_ERROR(err, ERR_BAD_TARGET, 0);
    Decoded d = decode_whole(f);
    ASSERT_TRUE(d.ok) << d.err.code;
    EXPECT_EQ(d.rgba[0], 0x80);
    EXPECT_EQ(d.rgba[3], 0xFF);

    // One pixel narrower or shorter than the canvas.
    f = riff({chunk("VP8X", vp8x_payload(0, 6, 4)), lossless});
    EXPECT_ERROR(header_error(f), ERR_BAD_HEADER, 24);
    f = riff({chunk("VP8X", vp8x_payload(0, 5, 5)), lossless});
    EXPECT_ERROR(header_error(f), ERR_BAD_HEADER, 27);
    // No image, a VP8X of the wrong size, a canvas of 2^32 pixels.
    f = riff({chunk("VP8X", vp8x_payload(0, 5, 4)), chunk("ICCP", {1})});
    EXPECT_ERROR(header_error(f), ERR_BAD_HEADER, f.size());
    std::vector<u8> eleven = vp8x_payload(0, 5, 4);
    eleven.push_back(0);
    EXPECT_ERROR(header_error(riff({chunk("VP8X", eleven), lossless})), ERR_BAD_HEADER, 12);
    f = riff({chunk("VP8X", vp8x_payload(0, 65536, 65536)), lossless});
    EXPECT_ERROR(header_error(f), ERR_TOO_LARGE, 27);
    // A chunk header cut by the end of the container.
    f = riff({chunk("VP8X", vp8x_payload(0, 5, 4)), lossless, {'A', 'B', 'C', 'D'}});
    EXPECT_ERROR(header_error(f), ERR_BAD_HEADER, f.size() - 4);
}

TEST(WebpContainer, Animation) {
    ImageHeader h;
    CodecError err;
    std::vector<u8> first = chunk("VP8L", vp8l_payload(6, 5, false, grey_stream()));
    std::vector<u8> lossy = chunk("VP8 ", vp8_payload(6, 5));
    std::vector<u8> f = riff({chunk("VP8X", vp8x_payload(0x02, 10, 8)), chunk("ANIM", {0, 0, 0, 0, 0, 0}),
                              anmf(0, 0, 6, 5, first), anmf(1, 1, 6, 5, lossy), anmf(2, 1, 6, 5, first)});
    ASSERT_TRUE(webp_read_header(f.data(), f.size(), &h, &err));
    EXPECT_EQ(h.frame_count, 3u);
    EXPECT_EQ(h.flags, (u32)(WEBP_FLAG_ANIMATED | WEBP_FLAG_LOSSY));
    EXPECT_EQ(h.pixel_format, 0u);
    // The lossless preparation finds each frame at its own size.
    WebpPrepared p;
    WebpRequest req = {0, 0, 0, 0, 0};
    ASSERT_TRUE(webp_prepare(f.data(), f.size(), &req, &p, &err));
    EXPECT_EQ(p.width, 6u);
    EXPECT_EQ(p.height, 5u);
    req.frame = 1;
    EXPECT_FALSE(webp_prepare(f.data(), f.size(), &req, &p, &err));
    EXPECT_EQ(err.code, (u32)ERR_UNSUPPORTED);
    req.frame = 3;
    EXPECT_ERROR(prepare_error(f, req), ERR_BAD_TARGET, 0);
    // The probe reports the canvas, every frame and the loop count, with
    // scratch for the largest frame's decoder beside a frame buffer.
    ImageInfo info;
    ASSERT_TRUE(probe_image(f.data(), f.size(), &info, &err));
    EXPECT_EQ(info.width, 10u);
    EXPECT_EQ(info.height, 8u);
    EXPECT_EQ(info.frame_count, 3u);
    EXPECT_EQ(info.play_count, 0u);
    EXPECT_EQ(info.pixel_bytes, row_stride(10) * 8 + 32);
    EXPECT_GE(info.scratch_bytes, vp8l_scratch_bytes(6, 5, p.payload_size));
    EXPECT_GE(info.scratch_bytes, vp8_scratch_bytes(6, 5));
    WebpFrameInfo fi;
    ASSERT_TRUE(webp_frame_info(f.data(), f.size(), 1, &fi, &err));
    EXPECT_EQ(fi.x, 2u);
    EXPECT_EQ(fi.y, 2u);
    EXPECT_EQ(fi.w, 6u);
    EXPECT_EQ(fi.lossy, 1u);
    // A lossy first frame probes the same way.
    f = riff({chunk("VP8X", vp8x_payload(0x02, 10, 8)), anmf(0, 0, 6, 5, lossy), anmf(0, 0, 6, 5, first)});
    ASSERT_TRUE(probe_image(f.data(), f.size(), &info, &err));
    EXPECT_EQ(info.width, 10u);
    EXPECT_EQ(info.frame_count, 2u);

    // Frame faults: too short, outside the canvas, a bad first sub-chunk or
    // one too large for the frame; no frame at all.
    size_t at = 12 + 18;
    std::vector<u8> shortf = riff({chunk("VP8X", vp8x_payload(0x02, 10, 8)), chunk("ANMF", std::vector<u8>(20))});
    EXPECT_ERROR(header_error(shortf), ERR_BAD_HEADER, at + 4);
    f = riff({chunk("VP8X", vp8x_payload(0x02, 10, 8)), anmf(3, 0, 6, 5, first)});
    EXPECT_ERROR(header_error(f), ERR_BAD_HEADER, at + 8);
    f = riff({chunk("VP8X", vp8x_payload(0x02, 10, 8)), anmf(0, 0, 6, 5, chunk("ICCP", {1, 2}))});
    EXPECT_ERROR(header_error(f), ERR_BAD_HEADER, at + 24);
    f = riff({chunk("VP8X", vp8x_payload(0x02, 10, 8)), anmf(0, 0, 6, 5, first)});
    f[at + 28] += 2;  // the image chunk claims more than the frame holds
    EXPECT_ERROR(header_error(f), ERR_BAD_HEADER, at + 28);
    f = riff({chunk("VP8X", vp8x_payload(0x02, 10, 8)), chunk("VP8L", vp8l_payload(10, 8, false, grey_stream()))});
    EXPECT_ERROR(header_error(f), ERR_BAD_HEADER, f.size());
}

TEST(WebpContainer, PlausibilityAndRectangle) {
    // 16385 cannot be written in 14 bits: an animation frame may claim it,
    // and the image header must then agree, so the side limit is met by the
    // header check first. The pixel count limit is tied to the payload size.
    std::vector<u8> tiny(14 - 5, 0);
    std::vector<u8> f = riff({chunk("VP8L", vp8l_payload(16384, 16384, false, tiny))});
    EXPECT_ERROR(prepare_error(f), ERR_LIMIT, 12);
    std::vector<u8> fifteen(15 - 5, 0);
    f = riff({chunk("VP8L", vp8l_payload(16384, 16384, false, fifteen))});
    WebpPrepared p;
    WebpRequest whole = {0, 0, 0, 0, 0};
    CodecError err;
    EXPECT_TRUE(webp_prepare(f.data(), f.size(), &whole, &p, &err));
    std::vector<u8> big = riff({chunk("VP8X", vp8x_payload(0x02, 16385, 1)),
                                anmf(0, 0, 16385, 1, chunk("VP8L", vp8l_payload(16384, 1, false, tiny)))});
    EXPECT_ERROR(prepare_error(big), ERR_BAD_HEADER, 12 + 18 + 24 + 9);

    f = lossless_file(7, 5);
    ASSERT_TRUE(webp_prepare(f.data(), f.size(), &whole, &p, &err));
    EXPECT_EQ(p.rect_width, 7u);
    EXPECT_EQ(p.rect_height, 5u);
    EXPECT_EQ(p.payload_pos, 20u);
    WebpRequest r = {0, 2, 3, 0, 0};
    ASSERT_TRUE(webp_prepare(f.data(), f.size(), &r, &p, &err));
    EXPECT_EQ(p.rect_width, 5u);
    EXPECT_EQ(p.rect_height, 2u);
    EXPECT_ERROR(prepare_error(f, {0, 7, 0, 0, 0}), ERR_BAD_TARGET, 0);
    EXPECT_ERROR(prepare_error(f, {0, 0, 5, 0, 0}), ERR_BAD_TARGET, 0);
    EXPECT_ERROR(prepare_error(f, {0, 3, 0, 5, 0}), ERR_BAD_TARGET, 0);
    EXPECT_ERROR(prepare_error(f, {0, 0, 1, 0, 5}), ERR_BAD_TARGET, 0);
}
