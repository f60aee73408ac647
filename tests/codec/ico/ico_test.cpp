// Icons and cursors built in the test: bitmaps of every depth with their AND
// masks, 32-bit alpha as stored, the entry choice (largest, then deepest,
// from the entries' own headers), PNG entries handed on, entries outside the
// file skipped, bad directories with their codes and offsets, and every
// prefix of a file.
#include <gtest/gtest.h>

#include <random>

#include "ico_support.h"

using namespace icotest;
using bmptest::Decoded;
using bmptest::rgba;
using bmptest::Spec;

namespace {

struct Icon {
    Spec spec;
    u32 w, h;
    std::vector<u32> values;
    Bytes dib;
    std::vector<u32> want;
};

Icon make_icon(u32 bits, u32 w, u32 h, u32 seed) {
    Icon ic;
    ic.w = w, ic.h = h;
    ic.spec.bits = bits;
    ic.spec.icon = true;
    std::mt19937 rng(seed);
    if (bits <= 8) {
        for (u32 i = 0; i < (1u << bits); i++) ic.spec.palette.push_back(rng() & 0xFFFFFF);
    }
    ic.values.resize((size_t)w * h);
    for (auto& v : ic.values) v = bits <= 8 ? rng() % (1u << bits) : (bits == 16 ? rng() & 0xFFFF : rng());
    ic.spec.and_mask.resize((size_t)w * h);
    for (auto& m : ic.spec.and_mask) m = rng() % 3 == 0;
    ic.dib = bmptest::write_dib(ic.spec, w, h, ic.values);
    ic.want = bmptest::expected(ic.spec, w, h, ic.values);
    if (bits < 32)
        for (size_t i = 0; i < ic.want.size(); i++)
            if (ic.spec.and_mask[i]) ic.want[i] &= 0x00FFFFFFu;
    return ic;
}

Entry entry_of(const Bytes& payload, u32 w = 0, u32 h = 0, u32 bits = 32) {
    Entry e;
    e.payload = payload;
    e.dir_width = w, e.dir_height = h, e.dir_bits = bits;
    return e;
}

}  // namespace

TEST(IcoDecode, EveryDepthWithItsMask) {
    for (u32 type : {1u, 2u})
        for (u32 bits : {1u, 4u, 8u, 16u, 24u, 32u})
            for (u32 side : {1u, 16u, 31u, 48u}) {
                SCOPED_TRACE(testing::Message() << "type " << type << " bits " << bits << " side " << side);
                Icon ic = make_icon(bits, side, side, bits * 100 + side);
                Bytes f = ico_file({entry_of(ic.dib, side, side, bits)}, type);
                EXPECT_TRUE(ico_sniff(f.data(), f.size()));
                Decoded d = decode_ico(f);
                ASSERT_TRUE(d.ok) << d.err.code << " at " << d.err.offset;
                EXPECT_EQ(d.info.decoder, DECODER_ICO);
                EXPECT_EQ(d.info.pixel_bytes, row_stride(side) * side + 32);
                EXPECT_TRUE(d.canary_intact);
                EXPECT_EQ(d.px, ic.want);
                ByteSpan span;
                CodecError err;
                ASSERT_TRUE(ico_embedded(f.data(), f.size(), &span, &err));
                EXPECT_EQ(span.size, 0u);
            }
}

TEST(IcoDecode, ThirtyTwoBitAlphaAsStoredEvenWhenZero) {
    Icon ic = make_icon(32, 4, 4, 3);
    for (auto& v : ic.values) v &= 0x00FFFFFF;
    ic.dib = bmptest::write_dib(ic.spec, 4, 4, ic.values);
    Decoded d = decode_ico(ico_file({entry_of(ic.dib)}));
    ASSERT_TRUE(d.ok);
    for (u32 p : d.px) EXPECT_EQ(p >> 24, 0u);
    // The AND mask of a 32-bit icon, present or not, changes nothing.
    Bytes with_mask = ic.dib;
    with_mask.insert(with_mask.end(), 16, 0xFF);
    Decoded m = decode_ico(ico_file({entry_of(with_mask)}));
    ASSERT_TRUE(m.ok);
    EXPECT_EQ(m.px, d.px);
}

TEST(IcoChoose, LargestThenDeepestFromTheEntriesThemselves) {
    Icon small32 = make_icon(32, 16, 16, 1), big8 = make_icon(8, 32, 32, 2), big24 = make_icon(24, 32, 32, 3);
    // The directory claims the 16 x 16 one is 256 x 256: the DIB header wins.
    Bytes f = ico_file({entry_of(small32.dib, 0, 0, 32), entry_of(big8.dib, 32, 32, 8), entry_of(big24.dib, 32, 32, 24)});
    IcoEntry e;
    CodecError err;
    ASSERT_TRUE(ico_choose(f.data(), f.size(), &e, &err));
    EXPECT_EQ(e.index, 2u);
    EXPECT_EQ(e.depth, 24u);
    Decoded d = decode_ico(f);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.px, big24.want);
    // Equal size and depth: the first.
    f = ico_file({entry_of(big8.dib), entry_of(make_icon(8, 32, 32, 9).dib)});
    ASSERT_TRUE(ico_choose(f.data(), f.size(), &e, &err));
    EXPECT_EQ(e.index, 0u);
}

TEST(IcoChoose, PngEntriesByTheirIhdr) {
    Icon big = make_icon(32, 48, 48, 5);
    // The directory says 16 x 16, the IHDR 64 x 64 RGBA: the PNG is chosen.
    Bytes png = png_stub(64, 64, 8, 6);
    Bytes f = ico_file({entry_of(big.dib, 48, 48), entry_of(png, 16, 16)});
    ByteSpan span;
    CodecError err;
    ASSERT_TRUE(ico_embedded(f.data(), f.size(), &span, &err));
    ASSERT_EQ(span.size, png.size());
    EXPECT_EQ(Bytes(span.data, span.data + span.size), png);
    ImageInfo info;
    EXPECT_FALSE(ico_probe(f.data(), f.size(), &info, &err));
    EXPECT_EQ(err.code, ERR_UNSUPPORTED);
    // Same size: the 32-bit DIB beats an 8-bit palette PNG, a 16-bit RGBA PNG (64) beats it.
    Icon same = make_icon(32, 64, 64, 6);
    f = ico_file({entry_of(png_stub(64, 64, 8, 3)), entry_of(same.dib)});
    ASSERT_TRUE(ico_embedded(f.data(), f.size(), &span, &err));
    EXPECT_EQ(span.size, 0u);
    EXPECT_EQ(decode_ico(f).px, same.want);
    f = ico_file({entry_of(same.dib), entry_of(png_stub(64, 64, 16, 6))});
    ASSERT_TRUE(ico_embedded(f.data(), f.size(), &span, &err));
    EXPECT_NE(span.size, 0u);
}

TEST(IcoChoose, EntriesOutsideTheFileAreSkipped) {
    Icon ok = make_icon(8, 16, 16, 7), big = make_icon(32, 64, 64, 8);
    Entry past = entry_of(big.dib);
    past.override_size = true, past.size = 1u << 20;  // runs past the end
    Bytes f = ico_file({past, entry_of(ok.dib)});
    Decoded d = decode_ico(f);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.px, ok.want);
    Entry far = entry_of(big.dib);
    far.override_offset = true, far.offset = 0xFFFFFFF0u;
    f = ico_file({far, entry_of(ok.dib)});
    d = decode_ico(f);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.w, 16u);
    // Nothing usable: the first entry's fault.
    f = ico_file({far});
    d = decode_ico(f);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.err.code, ERR_TRUNCATED);
    EXPECT_EQ(d.err.offset, f.size());
    ByteSpan span;
    CodecError err;
    EXPECT_FALSE(ico_embedded(f.data(), f.size(), &span, &err));
}

TEST(IcoChoose, BadDirectoriesAndEntries) {
    Icon ok = make_icon(24, 8, 8, 1);
    struct Case {
        const char* what;
        Bytes file;
        u32 code;
        u64 offset;
    };
    Bytes good = ico_file({entry_of(ok.dib)});
    Bytes zero_count = good;
    zero_count[4] = 0;
    Bytes short_dir = good;
    short_dir[4] = 3;
    short_dir.resize(40);
    Entry empty = entry_of(ok.dib);
    empty.override_size = true, empty.size = 0;
    Bytes bad_height = ok.dib;
    bmptest::set32(bad_height, 8, 0);
    Bytes cut_mask = ok.dib;
    cut_mask.resize(cut_mask.size() - 4);
    Bytes png_bad = png_stub(4, 4, 8, 5);
    Case cases[] = {
        {"not an icon", Bytes{0, 0, 3, 0, 1, 0}, ERR_BAD_SIGNATURE, 0},
        {"three bytes", Bytes{0, 0, 1}, ERR_TRUNCATED, 3},
        {"no entries", zero_count, ERR_BAD_HEADER, 4},
        {"directory cut short", short_dir, ERR_TRUNCATED, 40},
        {"entry of 0 bytes", ico_file({empty}), ERR_BAD_HEADER, 14},
        {"DIB height 0", ico_file({entry_of(bad_height)}), ERR_BAD_HEADER, 22 + 8},
        {"AND mask cut short", ico_file({entry_of(cut_mask)}), ERR_TRUNCATED, 22 + cut_mask.size()},
        {"PNG colour type 5", ico_file({entry_of(png_bad)}), ERR_BAD_HEADER, 22 + 25},
        {"PNG without IHDR", ico_file({entry_of(Bytes(png_bad.begin(), png_bad.begin() + 8))}), ERR_TRUNCATED, 30},
    };
    for (const Case& c : cases) {
        Decoded d = decode_ico(c.file);
        EXPECT_FALSE(d.ok) << c.what;
        EXPECT_EQ(d.err.code, c.code) << c.what;
        EXPECT_EQ(d.err.offset, c.offset) << c.what;
    }
    EXPECT_FALSE(ico_sniff(zero_count.data(), zero_count.size()));
    EXPECT_FALSE(ico_sniff(Bytes{0, 0, 1, 1}.data(), 4));
}

TEST(IcoDecode, EveryPrefixFailsCleanly) {
    Icon a = make_icon(4, 7, 5, 1), b = make_icon(32, 9, 9, 2);
    Bytes f = ico_file({entry_of(a.dib), entry_of(png_stub(3, 3, 8, 2)), entry_of(b.dib)});
    for (size_t n = 0; n < f.size(); n++) {
        Bytes cut(f.begin(), f.begin() + n);
        Decoded d = decode_ico(cut);
        ByteSpan span;
        CodecError err;
        if (ico_embedded(cut.data(), cut.size(), &span, &err)) {
            EXPECT_LE(span.data + span.size, cut.data() + cut.size());
        } else {
            EXPECT_LE(err.offset, n);
        }
        if (d.ok) continue;
        EXPECT_NE(d.err.code, ERR_OK);
        EXPECT_LE(d.err.offset, n);
    }
}
