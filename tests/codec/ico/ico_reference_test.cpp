// Our icon decoder against Pillow: icons the test writes (1, 4, 8, 24 and
// 32-bit bitmaps with AND masks, several sizes in one file) and the icons
// Pillow writes with bitmap entries; Pillow's PNG-entry icon must hand on
// its largest PNG. Pillow shows cursors without their AND mask, so there
// only colours are compared. Skips when /usr/bin/python3 lacks PIL.
#include <gtest/gtest.h>

#include <random>

#include "../bmp/pillow_support.h"
#include "ico_support.h"

using namespace icotest;
using namespace pillowtest;

namespace {

Bytes icon_dib(u32 bits, u32 side, u32 seed) {
    bmptest::Spec s;
    s.bits = bits, s.icon = true;
    std::mt19937 rng(seed);
    if (bits <= 8)
        for (u32 i = 0; i < (1u << bits); i++) s.palette.push_back(rng() & 0xFFFFFF);
    std::vector<u32> v((size_t)side * side);
    for (u32 y = 0; y < side; y++)
        for (u32 x = 0; x < side; x++) {
            u32 n = rng();
            v[(size_t)y * side + x] = bits <= 8 ? (x / 3 + y + n % 3) % (1u << bits)
                                                : ((x * 8) << 16 | (y * 8) << 8 | (n & 255)) | (n % 255 + 1) << 24;
        }
    s.and_mask.resize(v.size());
    for (u32 i = 0; i < v.size(); i++) s.and_mask[i] = (i * 7 + i / side) % 5 == 0;
    return bmptest::write_dib(s, side, side, v);
}

Entry entry(const Bytes& dib, u32 side, u32 bits) {
    Entry e;
    e.payload = dib;
    e.dir_width = side, e.dir_height = side, e.dir_bits = bits;
    return e;
}

}  // namespace

TEST(IcoReference, OursMatchesPillow) {
    if (!pillow_available()) GTEST_SKIP() << "no Pillow for /usr/bin/python3 (install python3-pil): skipping";
    Folder folder;
    ASSERT_TRUE(folder.write_pillow_files());

    std::vector<std::pair<std::string, Bytes>> files;
    for (u32 bits : {1u, 4u, 8u, 24u, 32u}) {
        u32 side = 8 + bits;
        files.push_back({"ours-" + std::to_string(bits) + ".ico", ico_file({entry(icon_dib(bits, side, bits), side, bits)})});
    }
    files.push_back({"ours-many.ico", ico_file({entry(icon_dib(8, 16, 1), 16, 8), entry(icon_dib(32, 40, 2), 40, 32),
                                                entry(icon_dib(4, 24, 3), 24, 4)})});
    files.push_back({"ours-cursor.cur", ico_file({entry(icon_dib(24, 20, 4), 20, 24)}, 2)});
    for (const char* name : {"pil-bmp.ico", "pil-bmp24.ico"}) files.push_back({name, read_file(folder.dir / name)});

    std::vector<std::string> names;
    for (auto& f : files) {
        write_file(folder.dir / f.first, f.second);
        names.push_back(f.first);
    }
    ASSERT_TRUE(folder.decode(names));
    for (auto& f : files) {
        SCOPED_TRACE(f.first);
        ASSERT_FALSE(f.second.empty());
        Picture ref = load_decoded(folder.dir / f.first);
        ASSERT_TRUE(ref.ok) << "Pillow: " << ref.error;
        bmptest::Decoded ours = decode_ico(f.second);
        ASSERT_TRUE(ours.ok) << "code " << ours.err.code << " at " << ours.err.offset;
        ASSERT_EQ(ours.w, ref.w);
        ASSERT_EQ(ours.h, ref.h);
        // Pillow ignores a cursor's AND mask: colours only there.
        u32 compared = f.first.ends_with(".cur") ? 0x00FFFFFFu : 0xFFFFFFFFu;
        size_t bad = 0;
        for (size_t i = 0; i < ref.px.size(); i++) bad += ((ours.px[i] ^ ref.px[i]) & compared) != 0;
        EXPECT_EQ(bad, 0u) << "pixels differing from Pillow's";
    }

    // Pillow's default icon holds PNG entries: the 48 x 48 one is handed on.
    Bytes png_icon = read_file(folder.dir / "pil-png.ico");
    ByteSpan span;
    CodecError err;
    ASSERT_TRUE(ico_embedded(png_icon.data(), png_icon.size(), &span, &err));
    ASSERT_GE(span.size, 24u);
    EXPECT_EQ(span.data[1], 'P');
    EXPECT_EQ(load_be32(span.data, span.size, 16), 48u);
    EXPECT_EQ(load_be32(span.data, span.size, 20), 48u);
}
