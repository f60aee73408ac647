// Every error code with its absolute offset, on streams crafted bit by bit,
// and the stream-level edge cases: the three zlib header cases, empty stored
// blocks, a distance alphabet with no codes or a single one-bit code, the
// distance equal to the output so far, the fixed code's unused symbols,
// truncation of every prefix, and the window size limit.
#include <gtest/gtest.h>

#include "inflate_support.h"

using namespace qbtest;

static Outcome decode(const Bytes& z) {
    return run_once(z, 1 << 20);
}

#define EXPECT_FAILS(z, code, offset)                   \
    do {                                                \
        Outcome o_ = decode(z);                         \
        EXPECT_EQ(o_.result, INFLATE_ERROR);            \
        EXPECT_EQ(o_.error, (u32)(code));               \
        EXPECT_EQ(o_.error_offset, (u64)(offset));      \
    } while (0)

static Bytes two_bytes(u8 a, u8 b) {
    BitWriter w;
    w.put_byte(a);
    w.put_byte(b);
    w.put(3, 3);  // a final fixed block
    Coder::fixed().sym(w, 256);
    put_trailer(w, {});
    return w.bytes;
}

TEST(InflateErrors, ZlibHeader) {
    EXPECT_EQ(decode(two_bytes(0x78, 0x9C)).result, INFLATE_DONE);
    EXPECT_EQ(decode(two_bytes(0x78, 0x01)).result, INFLATE_DONE);
    EXPECT_FAILS(two_bytes(0x78, 0x9D), INFLATE_ERR_ZLIB_CHECK, 1);
    EXPECT_FAILS(two_bytes(0x88, 0x98), INFLATE_ERR_ZLIB_WINDOW, 0);
    EXPECT_FAILS(two_bytes(0x79, 0x9C), INFLATE_ERR_ZLIB_METHOD, 0);
    // 0x78 0xBB: a valid check with FDICT set.
    EXPECT_EQ((0x78 * 256 + 0xBB) % 31, 0);
    EXPECT_FAILS(two_bytes(0x78, 0xBB), INFLATE_ERR_ZLIB_DICTIONARY, 1);
}

TEST(InflateErrors, BlockTypeAndStoredLength) {
    {
        BitWriter w;
        put_zlib_header(w);
        w.put(1, 1);
        w.put(3, 2);
        w.align();
        EXPECT_FAILS(w.bytes, INFLATE_ERR_BAD_BLOCK_TYPE, 2);
    }
    {
        // The bad header starts mid-byte after a fixed block.
        BitWriter w;
        put_zlib_header(w);
        Coder f = Coder::fixed();
        w.put(0, 1);
        w.put(1, 2);
        f.sym(w, 'x');
        f.sym(w, 256);
        u64 at = w.byte_pos();
        EXPECT_NE(w.bit_pos() % 8, 0u);
        w.put(1, 1);
        w.put(3, 2);
        w.align();
        EXPECT_FAILS(w.bytes, INFLATE_ERR_BAD_BLOCK_TYPE, at);
    }
    {
        BitWriter w;
        put_zlib_header(w);
        put_stored(w, {}, false);
        // LEN/NLEN of the second block at bytes 7 and 8.
        w.put(1, 1);
        w.put(0, 2);
        w.align();
        w.put(5, 16);
        w.put(0xFFFF, 16);
        EXPECT_FAILS(w.bytes, INFLATE_ERR_BAD_STORED_LENGTH, 8);
    }
}

// A dynamic header starting at byte 2; `body` writes the rest.
template <typename F>
static Bytes dynamic_stream(F body) {
    BitWriter w;
    put_zlib_header(w);
    body(w);
    w.align();
    w.put(0, 32);
    return w.bytes;
}

TEST(InflateErrors, DynamicHeaderCodes) {
    // HLIT 287 and HDIST 31.
    EXPECT_FAILS(dynamic_stream([](BitWriter& w) {
                     w.put(1, 1), w.put(2, 2), w.put(30, 5), w.put(0, 5), w.put(0, 4);
                 }),
                 INFLATE_ERR_TOO_MANY_SYMBOLS, 2);
    EXPECT_FAILS(dynamic_stream([](BitWriter& w) {
                     w.put(1, 1), w.put(2, 2), w.put(0, 5), w.put(30, 5), w.put(0, 4);
                 }),
                 INFLATE_ERR_TOO_MANY_SYMBOLS, 2);
    // Code-length code: all nineteen 1-bit (oversubscribed); a single code
    // (incomplete, not allowed here); none at all (the first lookup fails).
    EXPECT_FAILS(dynamic_stream([](BitWriter& w) { put_codelen_header(w, true, 257, 1, std::vector<u8>(19, 1)); }),
                 INFLATE_ERR_OVERSUBSCRIBED, 2);
    EXPECT_FAILS(dynamic_stream([](BitWriter& w) {
                     std::vector<u8> cl(19, 0);
                     cl[8] = 1;
                     put_codelen_header(w, true, 257, 1, cl);
                 }),
                 INFLATE_ERR_INCOMPLETE, 2);
    EXPECT_FAILS(dynamic_stream([](BitWriter& w) { put_codelen_header(w, true, 257, 1, std::vector<u8>(19, 0)); }),
                 INFLATE_ERR_BAD_CODE_LENGTHS, 2);
    // Repeat 16 with no previous length; a repeat past HLIT + HDIST.
    EXPECT_FAILS(dynamic_stream([](BitWriter& w) {
                     Coder cl = put_codelen_header(w, true, 257, 1, full_codelen_code());
                     cl.sym(w, 16);
                     w.put(0, 2);
                 }),
                 INFLATE_ERR_BAD_CODE_LENGTHS, 2);
    EXPECT_FAILS(dynamic_stream([](BitWriter& w) {
                     Coder cl = put_codelen_header(w, true, 257, 1, full_codelen_code());
                     // 138 zeros twice: 276 > 257 + 1
                     for (u32 i = 0; i < 2; i++) cl.sym(w, 18), w.put(127, 7);
                 }),
                 INFLATE_ERR_BAD_CODE_LENGTHS, 2);
    // Symbol 256 without a code.
    EXPECT_FAILS(dynamic_stream([](BitWriter& w) {
                     Coder cl = put_codelen_header(w, true, 257, 1, full_codelen_code());
                     for (u32 i = 0; i < 256; i++) cl.sym(w, 8);
                     cl.sym(w, 0);  // 256
                     cl.sym(w, 1);  // the one distance code
                 }),
                 INFLATE_ERR_NO_END_OF_BLOCK, 2);
    // Literal/length lengths oversubscribed and incomplete.
    EXPECT_FAILS(dynamic_stream([](BitWriter& w) {
                     Coder cl = put_codelen_header(w, true, 257, 1, full_codelen_code());
                     for (u32 i = 0; i < 257; i++) cl.sym(w, 8);
                     cl.sym(w, 1);
                 }),
                 INFLATE_ERR_OVERSUBSCRIBED, 2);
    EXPECT_FAILS(dynamic_stream([](BitWriter& w) {
                     Coder cl = put_codelen_header(w, true, 257, 1, full_codelen_code());
                     for (u32 i = 0; i < 257; i++) cl.sym(w, 9);
                     cl.sym(w, 1);
                 }),
                 INFLATE_ERR_INCOMPLETE, 2);
    // Distance lengths: two 1-bit codes and a third are oversubscribed.
    EXPECT_FAILS(dynamic_stream([](BitWriter& w) {
                     Coder cl = put_codelen_header(w, true, 257, 3, full_codelen_code());
                     for (u32 i = 0; i < 256; i++) cl.sym(w, 8);
                     cl.sym(w, 8);
                     for (u32 i = 0; i < 3; i++) cl.sym(w, 1);
                 }),
                 INFLATE_ERR_OVERSUBSCRIBED, 2);
}

TEST(InflateErrors, FixedCodeUnusedSymbols) {
    Coder f = Coder::fixed();
    for (u32 sym : {286u, 287u}) {
        BitWriter w;
        put_zlib_header(w);
        w.put(1, 1);
        w.put(1, 2);
        for (u32 i = 0; i < 100; i++) f.sym(w, 'a');
        u64 at = w.byte_pos();
        f.sym(w, sym);
        w.put(0, 400);
        EXPECT_FAILS(w.bytes, INFLATE_ERR_BAD_SYMBOL, at);
    }
    for (u32 dsym : {30u, 31u}) {
        BitWriter w;
        put_zlib_header(w);
        w.put(1, 1);
        w.put(1, 2);
        for (u32 i = 0; i < 5; i++) f.sym(w, 'a' + i);
        f.sym(w, 257);  // length 3
        u64 at = w.byte_pos();
        f.dist_sym(w, dsym);
        w.put(0, 400);
        EXPECT_FAILS(w.bytes, INFLATE_ERR_BAD_DISTANCE_CODE, at);
    }
}

TEST(InflateErrors, DistanceLimitIsTheOutputSoFar) {
    // Short streams end in the careful step; long ones meet the match inside
    // the fast loop. Every variant must accept distance == out_pos and refuse
    // one more at the distance code.
    VariantGuard guard;
    Coder f = Coder::fixed();
    for (u32 v = 0; v < INFLATE_VARIANT_COUNT; v++) {
        if (!inflate_force_variant(v)) continue;  // BMI2 needs the CPU
        for (u32 prefix : {9u, 300u}) {
            for (u32 extra : {0u, 1u}) {
                BitWriter w;
                put_zlib_header(w);
                w.put(1, 1);
                w.put(1, 2);
                Bytes expect;
                for (u32 i = 0; i < prefix; i++) f.sym(w, 'a' + i % 26), expect.push_back((u8)('a' + i % 26));
                u32 s, eb, ex;
                length_symbol(10, &s, &eb, &ex);
                f.sym(w, s);
                w.put(ex, eb);
                u64 at = w.byte_pos();
                dist_symbol(prefix + extra, &s, &eb, &ex);
                f.dist_sym(w, s);
                w.put(ex, eb);
                for (u32 i = 0; i < 10; i++) expect.push_back(expect[i]);
                for (u32 i = 0; i < 100; i++) f.sym(w, 'z'), expect.push_back('z');
                f.sym(w, 256);
                put_trailer(w, expect);
                if (extra == 0) {
                    Outcome o = decode(w.bytes);
                    EXPECT_EQ(o.result, INFLATE_DONE) << v;
                    EXPECT_TRUE(o.out == expect);
                } else {
                    EXPECT_FAILS(w.bytes, INFLATE_ERR_DISTANCE_TOO_FAR, at);
                }
            }
        }
    }
}

TEST(InflateErrors, DistanceAlphabets) {
    // No distance codes: literals decode, the first back-reference fails.
    std::vector<u8> lit(257, 8);
    lit[256] = 8;  // 257 codes of 8 bits would be oversubscribed: 256 of 8 plus
    lit[255] = 9;  // two 9-bit codes (255 and 256) make it complete.
    lit[256] = 9;
    Coder c = Coder::with(lit, {0});
    BitWriter w;
    put_zlib_header(w);
    put_dynamic_header(w, c, true);
    Bytes expect;
    for (u32 i = 0; i < 40; i++) c.sym(w, i * 7 % 256), expect.push_back((u8)(i * 7 % 256));
    BitWriter ok = w;
    c.sym(ok, 256);
    put_trailer(ok, expect);
    Outcome o = decode(ok.bytes);
    EXPECT_EQ(o.result, INFLATE_DONE) << o.error;
    EXPECT_TRUE(o.out == expect);

    // The first back-reference: length symbol 257 is not in this alphabet,
    // so make one that has it.
    std::vector<u8> lit2(258, 8);
    lit2[254] = 9, lit2[255] = 9, lit2[256] = 9, lit2[257] = 9;
    Coder c2 = Coder::with(lit2, {0});
    BitWriter w2;
    put_zlib_header(w2);
    put_dynamic_header(w2, c2, true);
    for (u32 i = 0; i < 40; i++) c2.sym(w2, 'a');
    c2.sym(w2, 257);
    u64 at = w2.byte_pos();
    w2.put(0, 40);
    EXPECT_FAILS(w2.bytes, INFLATE_ERR_BAD_DISTANCE_CODE, at);

    // One distance code of length 1 is accepted and works; its unused code
    // is an invalid distance.
    Coder c3 = Coder::with(lit2, {0, 0, 0, 0, 0, 0, 1});  // symbol 6: distances 9 to 12
    for (u32 bad : {0u, 1u}) {
        BitWriter w3;
        put_zlib_header(w3);
        put_dynamic_header(w3, c3, true);
        Bytes e3;
        for (u32 i = 0; i < 12; i++) c3.sym(w3, 'a' + i), e3.push_back((u8)('a' + i));
        c3.sym(w3, 257);
        u64 dist_at = w3.byte_pos();
        if (bad) {
            w3.put(1, 1);  // the unused code
            w3.put(0, 40);
            EXPECT_FAILS(w3.bytes, INFLATE_ERR_BAD_DISTANCE_CODE, dist_at);
            continue;
        }
        c3.dist_sym(w3, 6);
        w3.put(2, 2);  // distance 11
        for (u32 i = 0; i < 3; i++) e3.push_back(e3[e3.size() - 11]);
        c3.sym(w3, 256);
        put_trailer(w3, e3);
        Outcome o3 = decode(w3.bytes);
        EXPECT_EQ(o3.result, INFLATE_DONE) << o3.error;
        EXPECT_TRUE(o3.out == e3);
    }
}

TEST(InflateErrors, StoredBlocksOfLengthZero) {
    Bytes data = gen_text(300, 1);
    Bytes z = encode({stored({}), stored(data), lit('q'), match(20, 5), stored({}), lit('z'), end_block()}, false,
                     Coder::fixed());
    Outcome o = decode(z);
    EXPECT_EQ(o.result, INFLATE_DONE) << o.error;
    Bytes expect = data;
    expect.push_back('q');
    for (u32 i = 0; i < 20; i++) expect.push_back(expect[expect.size() - 5]);
    expect.push_back('z');
    EXPECT_TRUE(o.out == expect);
    EXPECT_EQ(o.consumed, z.size());
    // The last block above is a final stored block of length 0.
    EXPECT_EQ(z[z.size() - 8] | z[z.size() - 7], 0x00);
    EXPECT_EQ(z[z.size() - 6] & z[z.size() - 5], 0xFF);
}

TEST(InflateErrors, AdlerMismatchAndTruncation) {
    Bytes z = encode({stored(gen_random(100, 2)), lit('a'), match(30, 1)}, true, dynamic_coder());
    Bytes bad = z;
    bad[bad.size() - 1] ^= 1;
    EXPECT_FAILS(bad, INFLATE_ERR_ADLER_MISMATCH, z.size() - 4);
    // Every prefix: with more input to come it needs input; declared final
    // it is truncated at its end.
    for (size_t n = 0; n < z.size(); n++) {
        Bytes prefix(z.begin(), z.begin() + n);
        Outcome truncated = run_plain(prefix, {}, 1 << 12);
        InflateState* s = new InflateState;
        inflate_init(s);
        Bytes out(1 << 12);
        EXPECT_EQ(inflate_run(s, prefix.data(), n, out.data(), out.size(), false), INFLATE_NEED_INPUT) << n;
        EXPECT_LE(inflate_consumed(s), n);
        delete s;
        EXPECT_EQ(truncated.result, INFLATE_ERROR);
        EXPECT_EQ(truncated.error, INFLATE_ERR_TRUNCATED) << n;
        EXPECT_EQ(truncated.error_offset, n);
    }
}

TEST(InflateErrors, StateStaysFailedAndDone) {
    Bytes z = two_bytes(0x88, 0x98);
    InflateState* s = new InflateState;
    inflate_init(s);
    Bytes out(64);
    EXPECT_EQ(inflate_run(s, z.data(), z.size(), out.data(), out.size(), true), INFLATE_ERROR);
    Bytes good = two_bytes(0x78, 0x9C);
    EXPECT_EQ(inflate_run(s, good.data(), good.size(), out.data(), out.size(), true), INFLATE_ERROR);
    EXPECT_EQ(inflate_consumed(s), 0u);
    EXPECT_EQ(inflate_error(s), INFLATE_ERR_ZLIB_WINDOW);
    inflate_init(s);
    EXPECT_EQ(inflate_run(s, good.data(), good.size(), out.data(), out.size(), true), INFLATE_DONE);
    EXPECT_EQ(inflate_consumed(s), good.size());
    EXPECT_EQ(inflate_run(s, good.data(), good.size(), out.data(), out.size(), true), INFLATE_DONE);
    EXPECT_EQ(inflate_consumed(s), 0u);
    delete s;
}

TEST(InflateErrors, WindowTooSmall) {
    InflateState* s = new InflateState;
    Bytes out(0x8400);
    inflate_init_windowed(s, out.data(), 0x83FF);
    EXPECT_EQ(inflate_error(s), INFLATE_ERR_WINDOW_TOO_SMALL);
    EXPECT_EQ(inflate_error_offset(s), 0u);
    Bytes z = two_bytes(0x78, 0x9C);
    EXPECT_EQ(inflate_run(s, z.data(), z.size(), out.data(), out.size(), true), INFLATE_ERROR);

    inflate_init_windowed(s, out.data(), 0x8400);
    EXPECT_EQ(inflate_error(s), INFLATE_ERR_NONE);
    EXPECT_EQ(inflate_run(s, z.data(), z.size(), out.data(), 0x83FF, true), INFLATE_ERROR);
    EXPECT_EQ(inflate_error(s), INFLATE_ERR_WINDOW_TOO_SMALL);
    delete s;
}

TEST(InflateErrors, NamesOfEveryCode) {
    const char* names[25] = {"none",           "bad_block_type",  "bad_stored_length", "oversubscribed",
                             "incomplete",     "bad_code_lengths", "too_many_symbols", "no_end_of_block",
                             "bad_symbol",     "bad_distance_code", "distance_too_far", "truncated",
                             "",               "zlib_method",      "zlib_window",      "zlib_check",
                             "zlib_dictionary", "adler_mismatch",  "",                 "",
                             "",               "",                 "",                 "",
                             "window_too_small"};
    for (u32 i = 0; i < 25; i++) {
        ByteSpan n = inflate_error_name(i);
        EXPECT_EQ(std::string((const char*)n.data, n.size), names[i]) << i;
    }
    EXPECT_EQ(inflate_error_name(25).size, 0u);
}
