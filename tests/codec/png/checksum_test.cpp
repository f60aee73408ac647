// CRC-32 and Adler-32: known values, every vector variant against its scalar
// twin over all lengths and alignments that reach the round and group edges,
// the worst case for the sums (all bytes 0xFF), and chaining across pieces.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "codec/png/adler32.h"
#include "codec/png/crc32.h"

static const u8* text(const char* s) {
    return (const u8*)s;
}

TEST(Crc32, KnownValuesAndTables) {
    static Crc32Table t;
    crc32_make_table(&t);
    EXPECT_EQ(t.entries[0][1], 0x77073096u);
    EXPECT_EQ(t.entries[0][255], 0x2D02EF8Du);
    EXPECT_EQ(crc32_update(&t, 0, text("123456789"), 9), 0xCBF43926u);
    EXPECT_EQ(crc32_update_scalar(&t, 0, text("123456789"), 9), 0xCBF43926u);
    EXPECT_EQ(crc32_update(&t, 0, text("IEND"), 4), 0xAE426082u);
    EXPECT_EQ(crc32_update(&t, 0, nullptr, 0), 0u);
}

TEST(Crc32, SlicingMatchesScalarAndChains) {
    static Crc32Table t;
    crc32_make_table(&t);
    std::mt19937 rng(5);
    std::vector<u8> buf(1100);
    for (auto& b : buf) b = (u8)rng();
    for (u32 offset = 0; offset < 8; offset++) {
        for (u32 len = 0; len < 300; len++) {
            u32 seed = rng();
            ASSERT_EQ(crc32_update(&t, seed, buf.data() + offset, len),
                      crc32_update_scalar(&t, seed, buf.data() + offset, len))
                << offset << " " << len;
        }
    }
    u32 whole = crc32_update(&t, 0, buf.data(), buf.size());
    for (u32 cut = 0; cut <= buf.size(); cut += 37) {
        u32 c = crc32_update(&t, 0, buf.data(), cut);
        ASSERT_EQ(crc32_update(&t, c, buf.data() + cut, buf.size() - cut), whole);
    }
}

// Every variant against the bytewise twin: lengths around the 16- and
// 64-byte steps, every alignment, chained pieces, and a large buffer.
TEST(Crc32, EveryVariantMatchesScalar) {
    static Crc32Table t;
    crc32_make_table(&t);
    std::mt19937 rng(9);
    std::vector<u8> buf(70000);
    for (auto& b : buf) b = (u8)rng();
    u32 tested = 0;
    for (u32 v : {CRC32_VARIANT_SCALAR, CRC32_VARIANT_SLICING, CRC32_VARIANT_CLMUL, CRC32_VARIANT_VPCLMUL}) {
        if (!crc32_force_variant(v)) {
            EXPECT_TRUE(v == CRC32_VARIANT_CLMUL || v == CRC32_VARIANT_VPCLMUL)
                << "only carry-less multiplication may be missing";
            continue;
        }
        tested++;
        EXPECT_EQ(crc32_update(&t, 0, text("123456789"), 9), 0xCBF43926u);
        for (u32 offset = 0; offset < 16; offset += 3) {
            for (u32 len = 0; len < 400; len++) {
                u32 seed = rng();
                ASSERT_EQ(crc32_update(&t, seed, buf.data() + offset, len),
                          crc32_update_scalar(&t, seed, buf.data() + offset, len))
                    << v << " " << offset << " " << len;
            }
        }
        u32 whole = crc32_update_scalar(&t, 0, buf.data(), buf.size());
        ASSERT_EQ(crc32_update(&t, 0, buf.data(), buf.size()), whole) << v;
        for (u32 cut = 0; cut <= buf.size(); cut += 4099) {
            u32 c = crc32_update(&t, 0, buf.data(), cut);
            ASSERT_EQ(crc32_update(&t, c, buf.data() + cut, buf.size() - cut), whole) << v << " " << cut;
        }
    }
    EXPECT_FALSE(crc32_force_variant(7));
    EXPECT_GE(tested, 2u);
    EXPECT_FALSE(crc32_force_variant(4));
    crc32_force_variant(crc32_variant_supported(CRC32_VARIANT_VPCLMUL) ? CRC32_VARIANT_VPCLMUL
                        : crc32_variant_supported(CRC32_VARIANT_CLMUL) ? CRC32_VARIANT_CLMUL
                                                                       : CRC32_VARIANT_SLICING);
}

TEST(Adler32, KnownValues) {
    u32 tested = 0;
    for (u32 v = 0; v < 3; v++) {
        if (!adler32_force_variant(v)) {
            EXPECT_EQ(v, ADLER32_VARIANT_AVX2) << "only AVX2 may be missing";
            continue;
        }
        tested++;
        EXPECT_EQ(adler32_update(1, text("Wikipedia"), 9), 0x11E60398u);
        EXPECT_EQ(adler32_update(1, nullptr, 0), 1u);
    }
    EXPECT_GE(tested, 2u);
    EXPECT_FALSE(adler32_force_variant(3));
    adler32_select_variant();
}

typedef u32 (*AdlerKernel)(u32, const u8*, u64);

// The vector kernels this CPU runs.
static std::vector<AdlerKernel> vector_kernels() {
    std::vector<AdlerKernel> k = {adler32_update_sse2};
    if (adler32_variant_supported(ADLER32_VARIANT_AVX2)) k.push_back(adler32_update_avx2);
    return k;
}

TEST(Adler32, VariantsMatchScalar) {
    std::mt19937 rng(9);
    std::vector<u8> random(5000), ones(5000, 0xFF);
    for (auto& b : random) b = (u8)rng();
    for (AdlerKernel kernel : vector_kernels()) {
        for (const std::vector<u8>* buf : {&random, &ones}) {
            for (u32 offset = 0; offset < 32; offset += 3) {
                for (u32 len = 0; len < 700; len++) {
                    // Start from large sums too: the rounds must not overflow.
                    u32 seed = len % 3 == 0 ? 1u : (65520u << 16) | 65520u;
                    ASSERT_EQ(kernel(seed, buf->data() + offset, len),
                              adler32_update_scalar(seed, buf->data() + offset, len))
                        << offset << " " << len;
                }
            }
            ASSERT_EQ(kernel(1, buf->data(), buf->size()), adler32_update_scalar(1, buf->data(), buf->size()));
        }
    }
    // The scalar kernel against the definition, one byte at a time.
    u32 a = 1, b = 0;
    for (u8 x : ones) {
        a = (a + x) % 65521;
        b = (b + a) % 65521;
    }
    EXPECT_EQ(adler32_update_scalar(1, ones.data(), ones.size()), (b << 16) | a);
}

// The vector kernels reduce once per 2048 bytes: whole rounds of 0xFF bytes
// from the largest sums, and lengths on either side of round ends.
TEST(Adler32, LongRoundsFromLargestSums) {
    std::vector<u8> ones(3 * 2048 + 64, 0xFF);
    std::vector<u8> random(ones.size());
    std::mt19937 rng(12);
    for (auto& x : random) x = (u8)rng();
    for (AdlerKernel kernel : vector_kernels()) {
        for (const std::vector<u8>* buf : {&ones, &random}) {
            for (u32 rounds = 1; rounds <= 3; rounds++) {
                for (int delta = -33; delta <= 33; delta++) {
                    const u64 len = (u64)(2048 * rounds + delta);
                    for (u32 seed : {1u, (65520u << 16) | 65520u, (12345u << 16) | 65000u})
                        ASSERT_EQ(kernel(seed, buf->data(), len), adler32_update_scalar(seed, buf->data(), len))
                            << len << " " << seed;
                }
            }
        }
    }
}
