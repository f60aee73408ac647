// The table builder: every code of random complete length sets (shallow and
// up to 15 bits, so second-level tables of all widths appear) must resolve to
// its symbol's entry with its exact length, tables must stay inside their
// capacity, and the Kraft checks must classify oversubscribed, incomplete,
// empty and the single allowed one-bit code as specified.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "inflate_support.h"

using namespace qbtest;

// An entry's value, flags and extra-bit count, as lookup() below reports it.
static u64 expected_entry(u32 alphabet, u32 sym) {
    static const u16 len_base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                     31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const u8 len_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                     2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static const u16 dist_base[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                      193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    if (alphabet == HUFF_ALPHABET_CODELEN) return (u64)sym << 32;
    if (alphabet == HUFF_ALPHABET_DIST) {
        if (sym >= 30) return HUFF_SPECIAL;
        u32 extra = sym < 4 ? 0 : sym / 2 - 1;
        return ((u64)dist_base[sym] << 32) | extra;
    }
    if (sym < 256) return ((u64)sym << 32) | HUFF_WRITES_ONE | HUFF_LITERAL;
    if (sym == 256) return HUFF_SPECIAL | HUFF_END_OF_BLOCK;
    if (sym >= 286) return HUFF_SPECIAL;
    return ((u64)len_base[sym - 257] << 32) | len_extra[sym - 257];
}

// The index width of the lookup that follows a symbol: the literal/length
// root after a literal or a distance, the distance root after a length.
static u32 expected_next_width(u32 alphabet, u32 sym) {
    if (alphabet == HUFF_ALPHABET_CODELEN) return 0;
    if (alphabet == HUFF_ALPHABET_DIST) return sym < 30 ? (u32)INFLATE_LITLEN_ROOT_BITS : 0;
    if (sym < 256) return INFLATE_LITLEN_ROOT_BITS;
    return sym == 256 || sym >= 286 ? 0 : (u32)INFLATE_DIST_ROOT_BITS;
}

// The table entry of a symbol without its code length.
static u64 raw_entry(u32 alphabet, u32 sym) {
    return expected_entry(alphabet, sym) | (u64)expected_next_width(alphabet, sym) << 8;
}

// An entry with a code of `len` bits: the length in its code field, and
// added to the extra bits in its drop field.
static u64 with_code(u64 entry, u32 len) {
    return entry + (len << 16) + len;
}

// Looks up `code` (MSB-first, `len` bits) as the decoder would; returns the
// entry's value, flags and extra-bit count, and in `bits_out` the code length
// it reads (root and second level together), and in `width_out` its
// next-lookup width. A link's own width field must index its second level.
static u64 lookup(const std::vector<HuffEntry>& table, u32 root_bits, u32 code, u32 len, u32* bits_out,
                  u32* width_out) {
    u32 rev = 0;
    for (u32 i = 0; i < len; i++) rev |= ((code >> (len - 1 - i)) & 1) << i;
    // Bits beyond the code are arbitrary in the stream: set them.
    u64 stream = rev | (~(u64)0 << len);
    HuffEntry e = table[stream & ((1u << root_bits) - 1)];
    u32 total = 0;
    if (e & HUFF_LINK) {
        EXPECT_EQ(huff_drop_bits(e), root_bits);
        u32 width = huff_link_bits(e);
        EXPECT_EQ(width, (e >> 8) & 0xFF);
        u64 rest = stream >> root_bits;
        u32 index = huff_value(e) + (u32)(rest & ((1u << width) - 1));
        EXPECT_LT(index, table.size());
        e = table[index];
        total = root_bits;
    }
    EXPECT_LE(huff_code_bits(e), huff_drop_bits(e));
    *bits_out = total + huff_code_bits(e);
    *width_out = (u32)(e >> 8) & 0xFF;
    return (e & ~(u64)0xFFFFFF) | huff_extra_bits(e);
}

static void check_all_codes(const std::vector<u8>& lengths, u32 alphabet, u32 root_bits, u32 capacity) {
    std::vector<HuffEntry> table(capacity, 0xDEADBEEF);
    u32 used = 0;
    ASSERT_EQ(inflate_build_table(lengths.data(), (u32)lengths.size(), alphabet, root_bits, table.data(), capacity, &used),
              HUFF_BUILD_OK);
    ASSERT_LE(used, capacity);
    for (u32 i = 0; i < used; i++) ASSERT_NE(table[i], 0xDEADBEEFu) << "slot " << i << " never written";
    std::vector<u32> codes = canonical_codes(lengths);
    for (u32 s = 0; s < lengths.size(); s++) {
        if (!lengths[s]) continue;
        u32 bits = 0, width = 0;
        u64 e = lookup(table, root_bits, codes[s], lengths[s], &bits, &width);
        ASSERT_EQ(e, expected_entry(alphabet, s)) << "symbol " << s;
        ASSERT_EQ(bits, lengths[s]) << "symbol " << s;
        ASSERT_EQ(width, expected_next_width(alphabet, s)) << "symbol " << s;
    }
}

TEST(HuffBuild, RandomCompleteCodesResolveEverySymbol) {
    std::mt19937 rng(3);
    u32 max_litlen = 0, max_dist = 0;
    for (u32 trial = 0; trial < 400; trial++) {
        bool deep = trial % 2;
        u32 n = 2 + rng() % 285;
        std::vector<u8> lit = random_complete_lengths(286, n, rng, deep);
        check_all_codes(lit, HUFF_ALPHABET_LITLEN, INFLATE_LITLEN_ROOT_BITS, INFLATE_LITLEN_ENTRIES);
        std::vector<u8> dist = random_complete_lengths(30, 2 + rng() % 29, rng, deep);
        check_all_codes(dist, HUFF_ALPHABET_DIST, INFLATE_DIST_ROOT_BITS, INFLATE_DIST_ENTRIES);
        std::vector<u8> cl = random_complete_lengths(19, 2 + rng() % 17, rng, false);
        bool short_enough = true;
        for (u8 l : cl) short_enough &= l <= 7;
        if (short_enough) check_all_codes(cl, HUFF_ALPHABET_CODELEN, 7, INFLATE_CODELEN_ENTRIES);
        u32 used = 0;
        std::vector<HuffEntry> t(INFLATE_LITLEN_ENTRIES);
        inflate_build_table(lit.data(), 286, HUFF_ALPHABET_LITLEN, INFLATE_LITLEN_ROOT_BITS, t.data(), INFLATE_LITLEN_ENTRIES, &used);
        max_litlen = std::max(max_litlen, used);
        inflate_build_table(dist.data(), 30, HUFF_ALPHABET_DIST, INFLATE_DIST_ROOT_BITS, t.data(), INFLATE_DIST_ENTRIES, &used);
        max_dist = std::max(max_dist, used);
    }
    // Deep sets must have produced second-level tables.
    EXPECT_GT(max_litlen, 1u << INFLATE_LITLEN_ROOT_BITS);
    EXPECT_GT(max_dist, 1u << INFLATE_DIST_ROOT_BITS);
}

TEST(HuffBuild, FixedCodesAndInvalidSymbols) {
    std::vector<u8> lit(288, 8);
    for (u32 i = 144; i < 256; i++) lit[i] = 9;
    for (u32 i = 256; i < 280; i++) lit[i] = 7;
    check_all_codes(lit, HUFF_ALPHABET_LITLEN, INFLATE_LITLEN_ROOT_BITS, INFLATE_LITLEN_ENTRIES);
    check_all_codes(std::vector<u8>(32, 5), HUFF_ALPHABET_DIST, INFLATE_DIST_ROOT_BITS, INFLATE_DIST_ENTRIES);
}

TEST(HuffBuild, KraftClassification) {
    std::vector<HuffEntry> t(INFLATE_LITLEN_ENTRIES);
    auto build = [&](std::vector<u8> lengths, u32 alphabet, u32 root) {
        return inflate_build_table(lengths.data(), (u32)lengths.size(), alphabet, root, t.data(), (u32)t.size(), nullptr);
    };
    EXPECT_EQ(build({1, 1, 1}, HUFF_ALPHABET_DIST, INFLATE_DIST_ROOT_BITS), HUFF_BUILD_OVERSUBSCRIBED);
    EXPECT_EQ(build({1, 2, 3, 3, 3}, HUFF_ALPHABET_LITLEN, INFLATE_LITLEN_ROOT_BITS), HUFF_BUILD_OVERSUBSCRIBED);
    EXPECT_EQ(build({1, 2}, HUFF_ALPHABET_DIST, INFLATE_DIST_ROOT_BITS), HUFF_BUILD_INCOMPLETE);
    EXPECT_EQ(build({0, 2}, HUFF_ALPHABET_DIST, INFLATE_DIST_ROOT_BITS), HUFF_BUILD_INCOMPLETE);
    EXPECT_EQ(build({1}, HUFF_ALPHABET_CODELEN, 7), HUFF_BUILD_INCOMPLETE);
    std::vector<u8> deep(20, 0);
    deep[3] = 15;  // one 15-bit code: incomplete, not the allowed case
    EXPECT_EQ(build(deep, HUFF_ALPHABET_LITLEN, INFLATE_LITLEN_ROOT_BITS), HUFF_BUILD_INCOMPLETE);

    // One 1-bit distance code: symbol on the 0 bit, an invalid 1-bit entry on
    // the 1 bit, repeated over the whole 8-bit root.
    EXPECT_EQ(build({0, 0, 1}, HUFF_ALPHABET_DIST, INFLATE_DIST_ROOT_BITS), HUFF_BUILD_OK);
    for (u32 i = 0; i < 256; i++) {
        if (i & 1)
            ASSERT_EQ(t[i], with_code(HUFF_SPECIAL, 1));
        else
            ASSERT_EQ(t[i], with_code(raw_entry(HUFF_ALPHABET_DIST, 2), 1));
    }
    // The same lone code is allowed for literal/length too.
    std::vector<u8> eob_only(257, 0);
    eob_only[256] = 1;
    EXPECT_EQ(build(eob_only, HUFF_ALPHABET_LITLEN, INFLATE_LITLEN_ROOT_BITS), HUFF_BUILD_OK);
    EXPECT_EQ(t[0], with_code(HUFF_SPECIAL | HUFF_END_OF_BLOCK, 1));
    EXPECT_EQ(t[INFLATE_LITLEN_ROOT_MASK], with_code(HUFF_SPECIAL, 1));

    // No codes at all: accepted, every lookup invalid.
    EXPECT_EQ(build(std::vector<u8>(30, 0), HUFF_ALPHABET_DIST, INFLATE_DIST_ROOT_BITS), HUFF_BUILD_OK);
    for (u32 i = 0; i < 256; i++) ASSERT_EQ(t[i], with_code(HUFF_SPECIAL, 1));
}
