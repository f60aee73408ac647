// The PAM decoder against ImageMagick (MagickCore), which reads P7 where
// Pillow does not: every depth, with and without a tuple type, 8 and 16-bit
// samples. Maxvals other than 255 and 65535 may round one step apart.
// (ImageMagick 6.9 inverts the alpha of PAM files with a maxval other
// than 255 and 65535, so that case is left out.)
#include <gtest/gtest.h>

#include "../magick_support.h"
#include "codec/pnm/pnm.h"
#include "pnm_support.h"

using namespace decodetest;
using namespace pnmtest;

TEST(PnmMagick, PamAgrees) {
    static bool started = (magick_start("qb_test_pnm_magick"), true);
    (void)started;
    struct Case {
        u32 depth;
        const char* type;
        u32 maxval;
    } cases[] = {
        {1, "BLACKANDWHITE", 1}, {1, "GRAYSCALE", 255}, {1, "GRAYSCALE", 4000}, {2, "GRAYSCALE_ALPHA", 255},
        {2, "BLACKANDWHITE_ALPHA", 1}, {3, "RGB", 255}, {3, "RGB", 65535}, {3, "", 255}, {4, "RGB_ALPHA", 255},
        {4, "RGB_ALPHA", 65535}, {3, "RGB", 1000}, {1, "GRAYSCALE", 300},
    };
    const u32 w = 19, h = 7;
    for (const Case& c : cases) {
        std::vector<u32> s = random_samples((size_t)w * h * c.depth, c.maxval, c.depth * 3 + c.maxval);
        Bytes f = pam_write(w, h, c.depth, c.maxval, c.type, s);
        Decoded d = run(pnm_probe, pnm_decode, f);
        ASSERT_TRUE(d.ok) << c.type << " " << c.maxval;
        std::vector<unsigned char> theirs;
        unsigned tw = 0, th = 0;
        ASSERT_TRUE(magick_decode(f.data(), f.size(), "PAM", &theirs, &tw, &th)) << c.type << " " << c.maxval;
        ASSERT_EQ(tw, w);
        int tolerance = c.maxval == 1 || c.maxval == 255 || c.maxval == 65535 ? 0 : 1;
        EXPECT_LE(max_diff(d.rgba, theirs), tolerance)
            << c.type << " maxval " << c.maxval << ": " << first_difference(d.rgba, theirs, w, tolerance);
    }
}
