#include <gtest/gtest.h>

#include <string>

#include "codec/image.h"

static std::string str(ByteSpan s) {
    return std::string((const char*)s.data, s.size);
}

TEST(ImageTypes, NameTables) {
    EXPECT_EQ(image_format_name(0).size, 0u);
    EXPECT_EQ(image_format_name(16).size, 0u);
    EXPECT_EQ(image_format_name(0xFFFFFFFF).size, 0u);
    EXPECT_EQ(str(image_format_name(15)), "TGA");
    EXPECT_EQ(str(image_format_name(7)), "WebP");
    EXPECT_EQ(str(image_format_name(10)), "KTX2");
    EXPECT_EQ(str(pixel_format_name(0)), "Rgba8Straight");
    EXPECT_EQ(str(pixel_format_name(9)), "Yuv420A_8");
    EXPECT_EQ(str(pixel_format_name(29)), "Eac");
    EXPECT_EQ(pixel_format_name(30).size, 0u);
    const char* errors[] = {"ok", "bad_signature", "truncated", "bad_header",
                            "unsupported", "too_large", "limit", "bad_target"};
    for (u32 i = 0; i < 8; i++) EXPECT_EQ(str(codec_error_name(i)), errors[i]);
    EXPECT_EQ(codec_error_name(8).size, 0u);
    EXPECT_EQ(str(jpeg_status_name(8)), "bad_scan");
    EXPECT_EQ(str(jpeg_status_name(10)), "bad_target");
}

TEST(ImageTypes, DecoderAndJpegMappings) {
    EXPECT_EQ(decoder_to_format(DECODER_WEBP), FORMAT_WEBP);
    EXPECT_EQ(decoder_to_format(DECODER_JPEG), FORMAT_JPEG);
    EXPECT_EQ(decoder_to_format(DECODER_GIF), FORMAT_GIF);
    EXPECT_EQ(decoder_to_format(DECODER_PNG), FORMAT_PNG);
    EXPECT_EQ(decoder_to_format(DECODER_NONE), FORMAT_NONE);
    EXPECT_EQ(decoder_to_format(DECODER_KIND_COUNT), FORMAT_NONE);
    const u32 expected[11] = {0, 1, 2, 3, 4, 5, 6, 3, 3, 3, 7};
    for (u32 i = 0; i < 11; i++) EXPECT_EQ(jpeg_status_to_codec_error(i), expected[i]) << i;
    EXPECT_NE(jpeg_status_to_codec_error(11), ERR_OK);
    CodecError e = codec_error_from_jpeg(JpegStatus{JPEG_BAD_DATA, 12345});
    EXPECT_EQ(e.code, ERR_BAD_HEADER);
    EXPECT_EQ(e.offset, 12345u);
}

TEST(ImageTypes, ByteReaders) {
    const u8 b[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x88};
    EXPECT_EQ(load_le16(b, 8, 0), 0x0201u);
    EXPECT_EQ(load_le24(b, 8, 1), 0x040302u);
    EXPECT_EQ(load_le32(b, 8, 4), 0x88070605u);
    EXPECT_EQ(load_be16(b, 8, 6), 0x0788u);
    EXPECT_EQ(load_be32(b, 8, 4), 0x05060788u);
    EXPECT_EQ(load_be64(b, 8, 0), 0x0102030405060788ull);
}

TEST(ImageTypes, Comparisons) {
    const u8 sig[6] = {'G', 'I', 'F', '8', '9', 'a'};
    const u8 two[2] = {'G', 'I'};
    const u8 other[3] = {'G', 'X', 'F'};
    EXPECT_EQ(prefix_match(two, 2, sig, 6), PREFIX_PARTIAL);
    EXPECT_EQ(prefix_match(sig, 6, sig, 6), PREFIX_FULL);
    EXPECT_EQ(prefix_match(other, 3, sig, 6), PREFIX_MISMATCH);
    EXPECT_EQ(prefix_match(sig, 0, sig, 6), PREFIX_PARTIAL);
    EXPECT_TRUE(may_match(two, 2, sig, 6));
    EXPECT_FALSE(may_match(other, 3, sig, 6));

    EXPECT_TRUE(bytes_equal(sig, 6, sig, 6));
    EXPECT_FALSE(bytes_equal(sig, 6, sig, 5));
    u8 last_differs[6] = {'G', 'I', 'F', '8', '9', 'b'};
    EXPECT_FALSE(bytes_equal(sig, 6, last_differs, 6));

    EXPECT_TRUE(match_at(sig, 6, 3, (const u8*)"89a", 3));
    EXPECT_FALSE(match_at(sig, 6, 4, (const u8*)"9a!", 3));  // runs past the end
    EXPECT_FALSE(match_at(sig, 6, 7, (const u8*)"", 0));     // index beyond the data
    EXPECT_TRUE(match_at(sig, 6, 6, (const u8*)"", 0));
    EXPECT_FALSE(match_at(sig, 6, ~(u64)0, (const u8*)"a", 1));
}

TEST(ImageTypes, Checks) {
    CodecError e = {ERR_LIMIT, 99};
    EXPECT_TRUE(need_bytes(10, 10, &e));
    EXPECT_EQ(e.code, ERR_OK);
    EXPECT_EQ(e.offset, 0u);
    EXPECT_FALSE(need_bytes(7, 10, &e));
    EXPECT_EQ(e.code, ERR_TRUNCATED);
    EXPECT_EQ(e.offset, 7u);

    EXPECT_TRUE(fits(4, 8, 32));
    EXPECT_FALSE(fits(4, 8, 31));
    EXPECT_FALSE(fits((u64)1 << 32, (u64)1 << 33, ~(u64)0));  // product overflows
    EXPECT_TRUE(fits(0, ~(u64)0, 0));

    ImageHeader h;
    image_header_clear(&h);
    EXPECT_FALSE(check_dimensions(65536, 65536, 16, &h, &e));
    EXPECT_EQ(e.code, ERR_TOO_LARGE);
    EXPECT_EQ(e.offset, 16u);
    EXPECT_EQ(h.width, 0u);
    error_clear(&e);
    EXPECT_TRUE(check_dimensions(65535, 65537, 16, &h, &e));
    EXPECT_EQ(h.width, 65535u);
    EXPECT_EQ(h.height, 65537u);
    EXPECT_EQ(e.code, ERR_OK);
    EXPECT_FALSE(check_dimensions(0xFFFFFFFF, 0xFFFFFFFF, 0, &h, &e));
}

TEST(ImageTypes, SizeArithmetic) {
    EXPECT_EQ(row_stride(0), 0u);
    EXPECT_EQ(row_stride(1), 32u);
    EXPECT_EQ(row_stride(8), 32u);
    EXPECT_EQ(row_stride(9), 64u);
    EXPECT_EQ(row_stride(0xFFFFFFFFull), 0x400000000ull);
    EXPECT_EQ(align_up(65, 64), 128u);
    EXPECT_EQ(align_up(64, 64), 64u);
    EXPECT_EQ(align64(1), 64u);
    EXPECT_EQ(align64(0), 0u);
    EXPECT_EQ(packed_row(5, 3), 16u);
    EXPECT_EQ(packed_row(6, 3), 32u);
    EXPECT_EQ(ceil_div(10, 3), 4u);
    EXPECT_EQ(ceil_div(9, 3), 3u);
    EXPECT_EQ(ceil_shift(1, 3), 1u);
    EXPECT_EQ(ceil_shift(8, 3), 1u);
    EXPECT_EQ(ceil_shift(9, 3), 2u);
    EXPECT_EQ(ceil_shift(9, 0), 9u);
}
