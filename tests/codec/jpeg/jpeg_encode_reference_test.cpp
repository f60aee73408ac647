// The encoder against libjpeg-turbo's compressor on the same RGBA pixels,
// configured the same way: standard defaults, quality through its
// baseline-limited scaling, the accurate integer transform, 2 x 2 or 1 x 1
// luma sampling, the standard Huffman tables for baseline and its simple
// progression script (with tables optimised per scan) for progressive. The
// files must be identical byte for byte; every file must also decode with
// libjpeg-turbo and with our decoder to the same pixels, with a quality
// that rises with the quality setting.
#include <gtest/gtest.h>

#include "jpeg_encode_reference.h"
#include "jpeg_support.h"

namespace {

std::vector<u8> reference_encode(const RgbaImage& img, int quality, bool s444, bool progressive) {
    return ref_compress(img.pixels.data(), img.stride, img.height, [&](jpeg_compress_struct* c) {
        configure_like_ours(c, img, quality, s444, progressive);
    });
}

std::string first_difference(const std::vector<u8>& ours, const std::vector<u8>& ref) {
    size_t n = std::min(ours.size(), ref.size());
    size_t i = 0;
    while (i < n && ours[i] == ref[i]) i++;
    if (i == n && ours.size() == ref.size()) return "";
    // Name the segment the difference falls in.
    std::string where = "?";
    for (const Segment& s : segments(ref)) {
        if (s.offset <= i) {
            char buf[32];
            snprintf(buf, sizeof buf, "FF%02X at %zu", s.marker, s.offset);
            where = buf;
        }
    }
    char buf[160];
    snprintf(buf, sizeof buf, "first difference at byte %zu of %zu/%zu (in %s): ours %02X, reference %02X", i,
             ours.size(), ref.size(), where.c_str(), i < ours.size() ? ours[i] : 0, i < ref.size() ? ref[i] : 0);
    return buf;
}

struct Case {
    u32 w, h;
    u32 kind;
};

void check_identical(const Case& k, u32 quality, bool s444, bool progressive, u32 seed) {
    RgbaImage img = make_image(k.w, k.h, k.kind, seed);
    OurEncode ours = our_encode(img, quality, s444, progressive);
    ASSERT_TRUE(ours.ok) << "code " << ours.result.code;
    std::vector<u8> ref = reference_encode(img, (int)quality, s444, progressive);
    ASSERT_FALSE(ref.empty());
    EXPECT_EQ(first_difference(ours.file, ref), "")
        << k.w << " x " << k.h << " kind " << k.kind << " q" << quality << (s444 ? " 4:4:4" : " 4:2:0")
        << (progressive ? " progressive" : " baseline");
}

const Case k_sizes[] = {
    {1, 1, 0},   {1, 1, 1},    {2, 2, 0},    {3, 5, 1},     {7, 9, 0},     {8, 8, 1},   {9, 7, 1},
    {15, 17, 0}, {16, 16, 1},  {17, 15, 1},  {31, 33, 0},   {33, 31, 1},   {64, 1, 1},  {1, 70, 1},
    {100, 75, 1}, {129, 257, 0}, {257, 129, 1}, {300, 200, 2}, {640, 480, 1}, {3001, 9, 1}, {9, 2049, 1},
};
const u32 k_qualities[] = {1, 10, 50, 75, 90, 100};

TEST(JpegEncodeReference, BaselineMatchesByteForByte) {
    u32 seed = 1;
    for (const Case& k : k_sizes) {
        for (u32 q : k_qualities) {
            for (bool s444 : {false, true}) check_identical(k, q, s444, false, seed++);
        }
    }
}

TEST(JpegEncodeReference, ProgressiveMatchesByteForByte) {
    u32 seed = 100;
    for (const Case& k : k_sizes) {
        for (u32 q : k_qualities) {
            for (bool s444 : {false, true}) check_identical(k, q, s444, true, seed++);
        }
    }
}

// Larger photo-like images, where long end-of-band runs and many
// correction bits build up.
TEST(JpegEncodeReference, LargeImagesMatch) {
    for (bool progressive : {false, true}) {
        check_identical({1200, 803, 1}, 75, false, progressive, 7);
        check_identical({803, 1200, 1}, 90, true, progressive, 8);
        check_identical({2048, 512, 2}, 50, false, progressive, 9);
    }
}

// The baseline scan is transformed and coded 128 pixels across at a time:
// widths on either side of those steps, with and without right-edge
// padding blocks, at both samplings.
TEST(JpegEncodeReference, WidthsAroundCodingStepsMatch) {
    u32 seed = 300;
    for (u32 w : {120u, 127u, 128u, 129u, 136u, 143u, 255u, 256u, 263u, 384u, 385u}) {
        for (bool s444 : {false, true}) {
            check_identical({w, 19, 1}, 75, s444, false, seed++);
            check_identical({w, 9, 0}, 90, s444, false, seed++);
        }
    }
}

// Our decoder and libjpeg-turbo (same transform and upsampling) agree on
// every file we write, and the error falls as the quality rises.
TEST(JpegEncodeReference, DecodesAlikeWithRisingQuality) {
    for (bool progressive : {false, true}) {
        for (bool s444 : {false, true}) {
            RgbaImage img = make_image(203, 150, 1, 3);
            double last = 0;
            for (u32 q : k_qualities) {
                OurEncode ours = our_encode(img, q, s444, progressive);
                ASSERT_TRUE(ours.ok);
                DecodeResult dec;
                ASSERT_TRUE(run_decoder(ours.file, &dec, true)) << dec.stage;
                RefImage ref = ref_decode(ours.file, 1, true, JCS_EXT_RGBA);
                ASSERT_TRUE(ref.ok);
                ASSERT_EQ(ref.width, img.width);
                ASSERT_EQ(ref.height, img.height);
                u32 count = img.width * img.height;
                EXPECT_EQ(dec.full, ref.pixels) << "q" << q;
                std::vector<u8> packed((size_t)count * 4);
                for (u32 y = 0; y < img.height; y++) {
                    memcpy(&packed[(size_t)y * img.width * 4], &img.pixels[y * img.stride], img.width * 4);
                }
                double ours_db = psnr(dec.full, packed, count, 4, 4);
                double ref_db = psnr(ref.pixels, packed, count, 4, 4);
                EXPECT_NEAR(ours_db, ref_db, 0.5) << "q" << q;
                EXPECT_GT(ours_db, last) << "q" << q << (progressive ? " progressive" : " baseline");
                last = ours_db;
            }
            // Halving the chroma resolution caps the 4:2:0 figure.
            EXPECT_GT(last, s444 ? 45.0 : 35.0);
        }
    }
}

}  // namespace

namespace {

// A 1 x 1 image at 4:2:0 is one MCU: four luminance blocks, three of them
// padding that carry the real block's DC and nothing else, and one block
// each of Cb and Cr. libjpeg-turbo keeps the whole MCU's blocks in its
// coefficient arrays, padding included.
TEST(JpegEncodeReference, OnePixelIsOneMcu) {
    RgbaImage img = make_image(1, 1, 0, 4);
    img.pixels[0] = 200;
    img.pixels[1] = 30;
    img.pixels[2] = 90;
    OurEncode ours = our_encode(img, 75, false, false);
    ASSERT_TRUE(ours.ok);
    jpeg_decompress_struct d;
    RefError err;
    d.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = ref_error_exit;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&d);
        FAIL() << "libjpeg-turbo refused the file";
    }
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, ours.file.data(), (unsigned long)ours.file.size());
    jpeg_read_header(&d, TRUE);
    jvirt_barray_ptr* arrays = jpeg_read_coefficients(&d);
    ASSERT_EQ(d.num_components, 3);
    EXPECT_EQ(d.comp_info[0].h_samp_factor, 2);
    EXPECT_EQ(d.comp_info[0].v_samp_factor, 2);
    JBLOCKARRAY y = d.mem->access_virt_barray((j_common_ptr)&d, arrays[0], 0, 2, FALSE);
    i16 dc = y[0][0][0];
    EXPECT_EQ(dc, -40);  // Y = 88: DC (88 - 128) * 8, quantiser 8 at quality 75
    for (u32 b = 0; b < 4; b++) {
        const JCOEF* block = y[b / 2][b % 2];
        EXPECT_EQ(block[0], dc) << "block " << b;
        for (u32 k = 1; k < 64; k++) EXPECT_EQ(b == 0 || block[k] == 0, true) << "block " << b;
    }
    for (u32 c = 1; c < 3; c++) {
        EXPECT_EQ(d.comp_info[c].width_in_blocks, 1u);
        EXPECT_EQ(d.comp_info[c].height_in_blocks, 1u);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
}

}  // namespace
