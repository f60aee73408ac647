// TIFF decoder tests on hand-made files.
#include <gtest/gtest.h>

#include "tiff_support.h"

using namespace tifftest;

TEST(TiffSniff, BothOrdersAndBigTiff) {
    EXPECT_TRUE(tiff_sniff((const u8*)"II*\0", 4));
    EXPECT_TRUE(tiff_sniff((const u8*)"MM\0*", 4));
    EXPECT_TRUE(tiff_sniff((const u8*)"II+\0", 4));
    EXPECT_TRUE(tiff_sniff((const u8*)"MM\0+", 4));
    EXPECT_FALSE(tiff_sniff((const u8*)"MM*\0", 4));
    EXPECT_FALSE(tiff_sniff((const u8*)"II*", 3));
}
