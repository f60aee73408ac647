// The boolean decoder. Streams made by a plain boolean encoder from random
// bools with random probabilities (the extremes often) decode to those
// bools, with the even-odds sign reads mixed in; every prefix of a stream
// (zeros past its end) decodes as a plain decoder written from the
// arithmetic as the format defines it, and the end flag rises exactly at
// the read that first finds the data used up (what the macroblock loop's
// "truncated" check relies on). Damaged data, whose window can exceed the
// interval, decodes bool for bool as the straightforward form of the same
// decoder does (the split compared with the window), as libwebp's does.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "codec/webp/vp8.h"
#include "tests/codec/webp/webp_support.h"

namespace {

using webp_test::PlainEncoder;

// The format's boolean decoder: a 16-bit window, zeros past the end.
struct PlainDecoder {
    const u8* data;
    size_t size;
    size_t at = 0;
    u32 value = 0;
    u32 range = 255;
    u32 bit_count = 0;
    u64 shifts = 0;  // renormalisation steps so far

    PlainDecoder(const u8* d, size_t n) : data(d), size(n) {
        value = next_byte() << 8;
        value |= next_byte();
    }
    u32 next_byte() { return at < size ? data[at++] : (at++, 0u); }
    u32 read(u32 prob) {
        u32 split = 1 + (((range - 1) * prob) >> 8);
        u32 bit = value >= split << 8;
        if (bit) {
            range -= split;
            value -= split << 8;
        } else {
            range = split;
        }
        while (range < 128) {
            value <<= 1;
            range <<= 1;
            shifts++;
            if (++bit_count == 8) {
                bit_count = 0;
                value |= next_byte();
            }
        }
        return bit;
    }
};

// Our decoder's arithmetic in its straightforward form, the split
// computed and compared with the window.
u32 straightforward_read(Vp8Bits* br, u32 prob) {
    if (br->bits < 0) vp8_bits_load(br);
    u32 split = (br->range * prob) >> 8;
    u32 window = (u32)(br->value >> br->bits);
    u32 range;
    u32 bit = window > split;
    if (bit) {
        range = br->range - split;
        br->value -= (u64)(split + 1) << br->bits;
    } else {
        range = split + 1;
    }
    u32 shift = 7 - (31 - (u32)__builtin_clz(range));
    br->range = (range << shift) - 1;
    br->bits -= (i32)shift;
    return bit;
}

u32 random_prob(std::mt19937& rng) {
    u32 kind = rng() % 4;
    return kind == 0 ? 1 : kind == 1 ? 255 : 1 + rng() % 255;
}

struct Coded {
    std::vector<u32> probs;  // 0: a sign read
    std::vector<u32> bits;
    std::vector<u8> data;
};

// Random bools, mostly as likely as their probabilities say; a sign read
// never comes first (a partition's first read is never one, and only it
// could tell one from a read at 128).
Coded random_stream(std::mt19937& rng, u32 count) {
    Coded c;
    PlainEncoder enc;
    for (u32 k = 0; k < count; k++) {
        bool sign = k > 0 && rng() % 6 == 0;
        u32 prob = sign ? 128 : random_prob(rng);
        u32 bit = rng() % 8 == 0 ? rng() & 1 : (rng() % 256) >= prob;
        enc.write(bit, prob);
        c.probs.push_back(sign ? 0 : prob);
        c.bits.push_back(bit);
    }
    enc.flush();
    c.data = enc.out;
    return c;
}

// Reads c's bools from `data` (c's stream or a prefix of it) with ours and
// the plain decoder: equal while the data lasts, and the end flag raised
// at the first read to find every bit of the data spent.
void check_prefix(const Coded& c, const std::vector<u8>& data, bool whole) {
    Vp8Bits br;
    vp8_bits_init(&br, data.data(), data.size());
    PlainDecoder plain(data.data(), data.size());
    u64 spendable = 8 * (u64)data.size();
    bool expect_eof = data.empty();
    ASSERT_EQ(br.eof != 0, expect_eof);
    for (size_t k = 0; k < c.probs.size() && !expect_eof; k++) {
        if (plain.shifts + 8 > spendable) expect_eof = true;
        u32 want = plain.read(c.probs[k] ? c.probs[k] : 128);
        if (whole) {
            ASSERT_EQ(want, c.bits[k]) << "read " << k;  // the plain pair agrees with itself
        }
        u32 got;
        if (c.probs[k] == 0) {
            got = vp8_read_sign(&br, 5) < 0;
        } else {
            got = vp8_read(&br, c.probs[k]);
        }
        ASSERT_EQ(br.eof != 0, expect_eof) << "read " << k << " of data " << data.size();
        if (!expect_eof) {
            ASSERT_EQ(got, want) << "read " << k << " prob " << c.probs[k];
        }
    }
}

}  // namespace

TEST(Vp8Bits, DecodesWhatPlainEncoderWrote) {
    std::mt19937 rng(28);
    for (u32 round = 0; round < 12; round++) {
        Coded c = random_stream(rng, 20000 + rng() % 20000);
        SCOPED_TRACE(round);
        check_prefix(c, c.data, true);
    }
}

TEST(Vp8Bits, EveryPrefixAndItsEnd) {
    std::mt19937 rng(6386);
    for (u32 round = 0; round < 12; round++) {
        Coded c = random_stream(rng, 400);
        for (size_t size = 0; size <= c.data.size(); size++) {
            SCOPED_TRACE(testing::Message() << "round " << round << " size " << size);
            std::vector<u8> prefix(c.data.begin(), c.data.begin() + size);
            check_prefix(c, prefix, false);
        }
    }
}

TEST(Vp8Bits, DamagedDataAsStraightforwardForm) {
    std::mt19937 rng(2011);
    for (u32 round = 0; round < 400; round++) {
        std::vector<u8> data(1 + rng() % 200);
        for (auto& b : data) b = (u8)(rng() % 3 == 0 ? 255 : rng());
        Vp8Bits ours, plain;
        vp8_bits_init(&ours, data.data(), data.size());
        vp8_bits_init(&plain, data.data(), data.size());
        for (u32 k = 0; k < 3000; k++) {
            u32 prob = random_prob(rng);
            ASSERT_EQ(vp8_read(&ours, prob), straightforward_read(&plain, prob)) << "round " << round << " read " << k;
            ASSERT_EQ(ours.range, plain.range);
            ASSERT_EQ(ours.value, plain.value);
            ASSERT_EQ(ours.bits, plain.bits);
            ASSERT_EQ(ours.eof, plain.eof);
        }
    }
}

// A literal is its bits at even odds, most significant first, and a signed
// literal its magnitude then its sign.
TEST(Vp8Bits, Literals) {
    std::mt19937 rng(6386);
    PlainEncoder enc;
    std::vector<std::pair<u32, i32>> written;  // (bits, value)
    for (u32 k = 0; k < 300; k++) {
        u32 n = 1 + rng() % 8;
        i32 v = (i32)(rng() % (1u << n));
        for (u32 i = n; i-- > 0;) enc.write(((u32)v >> i) & 1, 128);
        if (k & 1) {
            bool negative = rng() & 1;
            enc.write(negative, 128);
            if (negative) v = -v;
        }
        written.push_back({n, v});
    }
    enc.flush();
    Vp8Bits br;
    vp8_bits_init(&br, enc.out.data(), enc.out.size());
    for (u32 k = 0; k < written.size(); k++) {
        auto [n, v] = written[k];
        if (k & 1) {
            ASSERT_EQ(vp8_read_signed(&br, n), v) << k;
        } else {
            ASSERT_EQ((i32)vp8_read_literal(&br, n), v) << k;
        }
    }
    EXPECT_EQ(br.eof, 0u);
}
