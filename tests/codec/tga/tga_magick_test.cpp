// The TGA decoder against ImageMagick (MagickCore) on the variants Pillow
// does not read: 15-bit pixels, 15/16/32-bit colour-map entries, 16-bit
// indices, maps with a first index, and RLE packets that cross row ends.
// Indices stay inside the map and alpha is never zero everywhere, where
// the two decoders' rules differ; 5-bit channels may differ by one in
// rounding. ImageMagick 6.9 reads some variants its own way, left out here:
// a colour map on a true-colour image becomes a palette, 16-bit grey is
// read as 5-5-5 colour, 16-bit indices are not read, and the top bit of
// 16-bit map entries is alpha (ours: opaque, as the entries of a map carry
// no attribute bits), so those compare colour only.
#include <gtest/gtest.h>

#include "../magick_support.h"
#include "codec/tga/tga.h"
#include "tga_support.h"

using namespace decodetest;
using namespace tgatest;

TEST(TgaMagick, EveryVariantAgrees) {
    static bool started = (magick_start("qb_test_tga_magick"), true);
    (void)started;
    u32 n = 0;
    for (Variant v : every_variant()) {
        v.in_map = true;
        if ((v.type & 7) != 1 && v.map_bits) continue;
        if ((v.type & 7) == 3 && v.depth == 16) continue;
        if ((v.type & 7) == 1 && v.depth == 16) continue;
        Written t = write_tga(v, 23, 6, 500 + n++);
        Decoded d = run(tga_probe, tga_decode, t.file);
        ASSERT_TRUE(d.ok) << describe(v);
        std::vector<unsigned char> theirs;
        unsigned w = 0, h = 0;
        ASSERT_TRUE(magick_decode(t.file.data(), t.file.size(), "TGA", &theirs, &w, &h)) << describe(v);
        ASSERT_EQ(w, d.w);
        ASSERT_EQ(h, d.h);
        bool five = v.depth == 15 || (v.depth == 16 && (v.type & 7) == 2) || v.map_bits == 15 || v.map_bits == 16;
        int tolerance = five ? 1 : 0;
        if (v.map_bits == 16)
            for (size_t i = 3; i < theirs.size(); i += 4) theirs[i] = 255;
        EXPECT_LE(max_diff(d.rgba, theirs), tolerance) << describe(v) << ": " << first_difference(d.rgba, theirs, w, tolerance);
    }
}
