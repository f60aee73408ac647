// Literal pairs: a root entry may stand for two literal codes at once. The
// table pass must pair exactly the entries whose index holds both codes
// whole, each pair agreeing with two single lookups; and a block whose codes
// make most symbols short literals, where pairs are made, must decode the
// same with every fast-loop variant, whatever the input split or output room.
#include <gtest/gtest.h>

#include <algorithm>

#include "inflate_support.h"

using namespace qbtest;

// A complete literal/length code of 286 symbols with the shortest codes on
// literals and the longest on end of block and the lengths: leaves of a
// binary tree split at random, half the time the deepest one, so some stay
// shallow (2 to 6 bits) while others reach 15.
static std::vector<u8> literal_heavy_lengths(std::mt19937& rng) {
    std::vector<u8> depths = {1, 1};
    while (depths.size() < 286) {
        size_t i = rng() % depths.size();
        if (rng() % 2) {
            for (size_t k = 0; k < depths.size(); k++)
                if (depths[k] > depths[i] && depths[k] < 15) i = k;
        }
        if (depths[i] >= 15) continue;
        depths[i]++;
        depths.push_back(depths[i]);
    }
    std::sort(depths.begin(), depths.end());
    std::vector<u32> order(256);
    for (u32 i = 0; i < 256; i++) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    std::vector<u8> lengths(286);
    for (u32 k = 0; k < 256; k++) lengths[order[k]] = depths[k];
    for (u32 k = 256; k < 286; k++) lengths[k] = depths[k];
    return lengths;
}

TEST(InflatePairs, EveryFittingLiteralPairIsMadeAndAgrees) {
    std::mt19937 rng(11);
    u32 pairs_seen = 0;
    for (u32 trial = 0; trial < 200; trial++) {
        std::vector<u8> lengths = literal_heavy_lengths(rng);
        std::vector<HuffEntry> single(INFLATE_LITLEN_ENTRIES), paired(INFLATE_LITLEN_ENTRIES);
        ASSERT_EQ(inflate_build_table(lengths.data(), 286, HUFF_ALPHABET_LITLEN, INFLATE_LITLEN_ROOT_BITS, single.data(),
                                      INFLATE_LITLEN_ENTRIES, nullptr),
                  HUFF_BUILD_OK);
        paired = single;
        inflate_pair_literals(paired.data(), INFLATE_LITLEN_ROOT_BITS);
        for (u32 i = 0; i < (1u << INFLATE_LITLEN_ROOT_BITS); i++) {
            const HuffEntry first = single[i];
            const bool first_literal = (first & (HUFF_LITERAL | HUFF_SPECIAL)) == HUFF_LITERAL;
            const u32 l1 = huff_drop_bits(first);
            const HuffEntry second = single[i >> l1];
            const bool fits = first_literal && (second & (HUFF_LITERAL | HUFF_SPECIAL)) == HUFF_LITERAL &&
                              l1 + huff_drop_bits(second) <= INFLATE_LITLEN_ROOT_BITS;
            const HuffEntry p = paired[i];
            if (!fits) {
                ASSERT_EQ(p, first) << "slot " << i;
                continue;
            }
            pairs_seen++;
            ASSERT_TRUE(p & HUFF_PAIR) << "slot " << i;
            ASSERT_TRUE(p & HUFF_LITERAL);
            ASSERT_EQ((p >> 32) & 0xFF, huff_value(first) & 0xFF) << "slot " << i;
            ASSERT_EQ((p >> 40) & 0xFF, huff_value(second) & 0xFF) << "slot " << i;
            ASSERT_EQ(p >> 48, 2u) << "slot " << i;
            ASSERT_EQ(first >> 48, 1u) << "slot " << i;
            ASSERT_EQ(huff_drop_bits(p), l1 + huff_drop_bits(second)) << "slot " << i;
            // Read as a single literal it is still the first code alone.
            ASSERT_EQ(huff_code_bits(p), huff_code_bits(first));
            ASSERT_EQ((u8)huff_value(p), (u8)huff_value(first));
        }
        // Entries past the root (second-level tables) are never touched.
        for (u32 i = 1u << INFLATE_LITLEN_ROOT_BITS; i < INFLATE_LITLEN_ENTRIES; i++) ASSERT_EQ(paired[i], single[i]);
    }
    EXPECT_GT(pairs_seen, 10000u);
}

// The builder that pairs as it goes must give exactly the table (root,
// second levels, entries used) and the result of building then pairing, on
// literal-heavy sets, on random complete sets of any depth, on sets whose
// longest code is shorter than the root, on the lone 1-bit code, and it must
// reject over-subscribed and incomplete sets as the plain builder does.
static void expect_paired_matches(const std::vector<u8>& lengths, const char* what, u32 trial) {
    const u32 size = INFLATE_LITLEN_ENTRIES;
    std::vector<HuffEntry> a(size, 0x5A5A5A5A5A5A5A5Aull), b(size, 0x5A5A5A5A5A5A5A5Aull);
    u32 used_a = 12345, used_b = 54321;
    const u32 ra = inflate_build_table(lengths.data(), (u32)lengths.size(), HUFF_ALPHABET_LITLEN,
                                       INFLATE_LITLEN_ROOT_BITS, a.data(), size, &used_a);
    if (ra == HUFF_BUILD_OK) inflate_pair_literals(a.data(), INFLATE_LITLEN_ROOT_BITS);
    const u32 rb = inflate_build_litlen_paired(lengths.data(), (u32)lengths.size(), b.data(), size, &used_b);
    ASSERT_EQ(rb, ra) << what << " trial " << trial;
    if (ra != HUFF_BUILD_OK) return;
    ASSERT_EQ(used_b, used_a) << what << " trial " << trial;
    for (u32 i = 0; i < size; i++) ASSERT_EQ(b[i], a[i]) << what << " trial " << trial << " slot " << i;
}

TEST(InflatePairs, PairingWhileBuildingEqualsBuildingThenPairing) {
    std::mt19937 rng(23);
    for (u32 trial = 0; trial < 300; trial++) {
        expect_paired_matches(literal_heavy_lengths(rng), "literal-heavy", trial);
        // Random complete codes over 257 to 286 symbols, shallow or deep,
        // with symbols shuffled so literals and lengths share every depth.
        const u32 symbols = 257 + rng() % 30;
        std::vector<u8> lengths = random_complete_lengths(symbols, 2 + rng() % (symbols - 1), rng, rng() % 2);
        expect_paired_matches(lengths, "random complete", trial);
        // One length nudged: most become over-subscribed or incomplete.
        std::vector<u8> broken = lengths;
        std::vector<u32> used;
        for (u32 i = 0; i < symbols; i++)
            if (lengths[i] != 0) used.push_back(i);
        const u32 at = used[rng() % used.size()];
        broken[at] = (u8)(rng() % 2 ? std::max(1, broken[at] - 1) : std::min(15, broken[at] + 1));
        expect_paired_matches(broken, "nudged", trial);
    }
    // Every literal at 8 bits with end of block: a root shorter than 10 bits,
    // repeated before pairing.
    std::vector<u8> flat(257, 8);
    flat[255] = 9;
    flat[256] = 9;
    expect_paired_matches(flat, "flat", 0);
    // The lone 1-bit code, on a literal and on end of block.
    std::vector<u8> lone(257, 0);
    lone[65] = 1;
    expect_paired_matches(lone, "lone literal", 0);
    lone[65] = 0;
    lone[256] = 1;
    expect_paired_matches(lone, "lone end of block", 0);
    // Two 1-bit literals: every root slot is a pair.
    std::vector<u8> two(257, 0);
    two[0] = 1;
    two[255] = 1;
    expect_paired_matches(two, "two literals", 0);
    std::vector<HuffEntry> t(INFLATE_LITLEN_ENTRIES);
    EXPECT_EQ(inflate_build_litlen_paired(two.data(), 257, t.data(), INFLATE_LITLEN_ENTRIES, nullptr), HUFF_BUILD_OK);
    for (u32 i = 0; i < (1u << INFLATE_LITLEN_ROOT_BITS); i++) ASSERT_TRUE(t[i] & HUFF_PAIR) << "slot " << i;
    // Over-subscribed and incomplete sets.
    std::vector<u8> over(257, 0);
    over[0] = over[1] = over[2] = 1;
    EXPECT_EQ(inflate_build_litlen_paired(over.data(), 257, t.data(), INFLATE_LITLEN_ENTRIES, nullptr),
              HUFF_BUILD_OVERSUBSCRIBED);
    std::vector<u8> gap(257, 0);
    gap[7] = 1;
    gap[256] = 2;
    EXPECT_EQ(inflate_build_litlen_paired(gap.data(), 257, t.data(), INFLATE_LITLEN_ENTRIES, nullptr),
              HUFF_BUILD_INCOMPLETE);
}

// A literal-heavy stream: mostly short-code literals, some long-code ones,
// and matches of every length at short and long distances.
static Bytes literal_heavy_stream(u32 seed, Bytes* expect) {
    std::mt19937 rng(seed);
    std::vector<u8> lengths(286, 0);
    for (u32 i = 0; i < 8; i++) lengths['a' + i] = 4;  // 8/16 of the code
    // 128 codes of 8 bits for the other half: EOB, the 29 lengths, 98 literals.
    u32 given = 0;
    for (u32 s = 256; s < 286; s++, given++) lengths[s] = 8;
    for (u32 s = 0; given < 128; s++) {
        if (lengths[s] == 0) {
            lengths[s] = 8;
            given++;
        }
    }
    Coder coder = Coder::with(lengths, dynamic_coder().dist_len);
    std::vector<Op> ops;
    size_t out = 0;
    while (out < 6000) {
        u32 r = rng() % 16;
        if (out > 300 && r == 0) {
            u32 len = 3 + rng() % 256;
            u32 dist = 1 + rng() % std::min<size_t>(out, 300);
            ops.push_back(match(len, dist));
            out += len;
        } else if (r == 1) {
            u32 b;
            do b = rng() % 256;
            while (lengths[b] != 8);
            ops.push_back(lit(b));
            out++;
        } else {
            ops.push_back(lit('a' + rng() % 8));
            out++;
        }
    }
    *expect = expand(ops);
    return encode(ops, true, coder);
}

TEST(InflatePairs, LiteralHeavyBlocksAgreeAcrossVariantsSplitsAndRoom) {
    VariantGuard guard;
    Bytes expect;
    Bytes z = literal_heavy_stream(5, &expect);
    for (u32 v = 0; v < INFLATE_VARIANT_COUNT; v++) {
        if (!inflate_force_variant(v)) continue;  // BMI2 needs the CPU
        Outcome ref = run_once(z, expect.size() + 64);
        ASSERT_EQ(ref.result, INFLATE_DONE) << "variant " << v << " error " << ref.error;
        ASSERT_TRUE(ref.out == expect) << "variant " << v;
        for (size_t k = 0; k <= z.size(); k += 7) {
            Outcome o = run_plain(z, {k}, expect.size() + 64);
            ASSERT_TRUE(o == ref) << "variant " << v << " split " << k;
        }
        for (size_t p = 0; p <= expect.size(); p += 5) {
            Outcome o = run_plain(z, {}, expect.size() + 64, {p});
            ASSERT_TRUE(o == ref) << "variant " << v << " room " << p;
        }
        // An output buffer of exactly the decoded size: the two-byte literal
        // writes must stay inside it.
        Outcome exact = run_once(z, expect.size());
        ASSERT_TRUE(exact == ref) << "variant " << v;
        Outcome w = run_windowed(z, INFLATE_MIN_WINDOW, 333);
        ASSERT_EQ(w.result, INFLATE_DONE);
        ASSERT_TRUE(w.out == expect) << "variant " << v;
    }
}
