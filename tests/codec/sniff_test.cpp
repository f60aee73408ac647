#include <gtest/gtest.h>

#include <string>

#include "codec/sniff.h"

static ImageFormat fmt(const std::string& name) {
    return format_from_name((const u8*)name.data(), name.size());
}

TEST(FormatFromName, Table) {
    EXPECT_EQ(fmt("a.bmp"), FORMAT_BMP);
    EXPECT_EQ(fmt("a.ico"), FORMAT_ICO);
    EXPECT_EQ(fmt("a.png"), FORMAT_PNG);
    EXPECT_EQ(fmt("a.jpg"), FORMAT_JPEG);
    EXPECT_EQ(fmt("a.jpeg"), FORMAT_JPEG);
    EXPECT_EQ(fmt("a.tif"), FORMAT_TIFF);
    EXPECT_EQ(fmt("a.tiff"), FORMAT_TIFF);
    EXPECT_EQ(fmt("a.gif"), FORMAT_GIF);
    EXPECT_EQ(fmt("a.webp"), FORMAT_WEBP);
    EXPECT_EQ(fmt("a.avif"), FORMAT_AVIF);
    EXPECT_EQ(fmt("a.dng"), FORMAT_DNG);
    EXPECT_EQ(fmt("a.ktx2"), FORMAT_KTX2);
    EXPECT_EQ(fmt("a.dds"), FORMAT_DDS);
    EXPECT_EQ(fmt("a.pam"), FORMAT_PAM);
    EXPECT_EQ(fmt("a.pnm"), FORMAT_PNM);
    EXPECT_EQ(fmt("a.qoi"), FORMAT_QOI);
    EXPECT_EQ(fmt("a.tga"), FORMAT_TGA);
}

TEST(FormatFromName, Rules) {
    EXPECT_EQ(fmt("photo.JPG"), FORMAT_JPEG);   // letters fold to lower case
    EXPECT_EQ(fmt("photo.JpEg"), FORMAT_JPEG);
    EXPECT_EQ(fmt("archive.tar.png"), FORMAT_PNG);  // the last "." decides
    EXPECT_EQ(fmt("png.txt"), FORMAT_NONE);
    EXPECT_EQ(fmt("png"), FORMAT_NONE);          // no "."
    EXPECT_EQ(fmt("image."), FORMAT_NONE);       // empty extension
    EXPECT_EQ(fmt("image.pngxx"), FORMAT_NONE);  // longer than four
    EXPECT_EQ(fmt("image.jpe"), FORMAT_NONE);
    EXPECT_EQ(fmt("image.pn"), FORMAT_NONE);
    EXPECT_EQ(fmt(".png"), FORMAT_PNG);
    EXPECT_EQ(fmt(""), FORMAT_NONE);
    // Only A to Z fold: a byte with the high bit set never matches.
    EXPECT_EQ(fmt("x.\xD0\xD0g"), FORMAT_NONE);
    EXPECT_EQ(fmt("C:\\dir.png\\file"), FORMAT_NONE);
    EXPECT_TRUE(has_image_extension(lit("x.gif")));
    EXPECT_FALSE(has_image_extension(lit("x.gifs")));
}
