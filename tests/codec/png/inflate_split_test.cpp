// Resumability: a set of small streams (fixed, dynamic, stored, codes long
// enough for second-level tables, and streams failing mid-way) decoded with
// the input split at every byte, fed one byte at a time, and with output room
// that runs out at every position must give the same bytes, result, error,
// offset and consumed count as one call. Also the sliding window: a 32768-byte
// back-reference right after a slide, windows of the minimum size with input
// in pieces, and a trailer check that covers output from before every slide.
// Every case runs with each fast-loop variant, careful-only included.
#include <gtest/gtest.h>

#include "inflate_support.h"

using namespace qbtest;

// Random literals and matches producing about `n` bytes.
static std::vector<Op> random_ops(size_t n, u32 seed) {
    std::mt19937 rng(seed);
    std::vector<Op> ops;
    size_t out = 0;
    while (out < n) {
        if (out < 3 || rng() % 3 == 0) {
            ops.push_back(lit("etaoin shrdlu"[rng() % 13]));
            out++;
            continue;
        }
        u32 len = rng() % 4 == 0 ? 3 + rng() % 256 : 3 + rng() % 20;
        u32 max_dist = (u32)std::min<size_t>(out, 32768);
        u32 dist = rng() % 2 ? 1 + rng() % std::min<u32>(max_dist, 40) : 1 + rng() % max_dist;
        ops.push_back(match(len, dist));
        out += len;
    }
    return ops;
}

// Codes of 1 to 15 bits: literal 'a' + k gets k + 1 bits, and so on, so that
// lookups cross into second-level tables in both alphabets.
static Coder deep_coder() {
    std::vector<u8> lit(286, 0);
    for (u32 k = 0; k < 14; k++) lit['a' + k] = (u8)(k + 1);
    lit[256] = 15;
    lit[257] = 15;  // length 3
    std::vector<u8> dist(30, 0);
    for (u32 k = 0; k < 14; k++) dist[k] = (u8)(k + 1);
    dist[14] = 15;
    dist[15] = 15;
    return Coder::with(lit, dist);
}

static Bytes deep_stream() {
    Coder c = deep_coder();
    BitWriter w;
    put_zlib_header(w);
    put_dynamic_header(w, c, true);
    Bytes out;
    std::mt19937 rng(4);
    for (u32 i = 0; i < 300; i++) {
        if (out.size() > 400 && rng() % 3 == 0) {
            u32 dsym = rng() % 16;
            u32 base = dsym < 4 ? dsym + 1 : ((2u | (dsym & 1)) << (dsym / 2 - 1)) + 1;
            u32 eb = dsym < 4 ? 0 : dsym / 2 - 1;
            u32 ex = eb ? rng() % (1u << eb) : 0;
            c.sym(w, 257);
            c.dist_sym(w, dsym);
            w.put(ex, eb);
            for (u32 k = 0; k < 3; k++) out.push_back(out[out.size() - (base + ex)]);
        } else {
            u32 k = rng() % 14;
            c.sym(w, 'a' + k);
            out.push_back((u8)('a' + k));
        }
    }
    c.sym(w, 256);
    put_trailer(w, out);
    return w.bytes;
}

static std::vector<Bytes> small_streams() {
    std::vector<Bytes> v;
    v.push_back(encode(random_ops(700, 1), false, Coder::fixed()));
    v.push_back(encode(random_ops(900, 2), true, dynamic_coder()));
    std::vector<Op> mixed = random_ops(300, 3);
    mixed.push_back(stored({}));
    mixed.push_back(stored(gen_random(50, 3)));
    for (const Op& op : random_ops(200, 4)) mixed.push_back(op.kind == 1 ? match(op.a, op.b % 300 + 1) : op);
    mixed.push_back(end_block());
    v.push_back(encode(mixed, false, Coder::fixed()));
    v.push_back(deep_stream());
    // Failing mid-way: a distance beyond the output, a bad trailer.
    std::vector<Op> far = random_ops(200, 5);
    far.push_back(match(10, 30000));
    far.push_back(lit('x'));
    v.push_back(encode(far, true, dynamic_coder()));
    Bytes bad = encode(random_ops(400, 6), false, Coder::fixed());
    bad[bad.size() - 2] ^= 0x40;
    v.push_back(bad);
    return v;
}

static void expect_same(const Outcome& a, const Outcome& ref, const char* what, size_t at) {
    ASSERT_EQ(a.result, ref.result) << what << " " << at;
    ASSERT_EQ(a.error, ref.error) << what << " " << at;
    ASSERT_EQ(a.error_offset, ref.error_offset) << what << " " << at;
    ASSERT_EQ(a.consumed, ref.consumed) << what << " " << at;
    ASSERT_TRUE(a.out == ref.out) << what << " " << at;
}

TEST(InflateSplit, EveryInputSplitAndOutputLimit) {
    VariantGuard guard;
    std::vector<Bytes> streams = small_streams();
    u32 failing = 0;
    for (u32 v = 0; v < INFLATE_VARIANT_COUNT; v++) {
        if (!inflate_force_variant(v)) continue;  // BMI2 needs the CPU
        for (size_t si = 0; si < streams.size(); si++) {
            const Bytes& z = streams[si];
            const size_t cap = 4096;
            Outcome ref = run_once(z, cap);
            if (v == 0) failing += ref.result == INFLATE_ERROR;
            if (si < 4) {
                ASSERT_EQ(ref.result, INFLATE_DONE) << si << " error " << ref.error;
            }
            for (size_t k = 0; k <= z.size(); k++) expect_same(run_plain(z, {k}, cap), ref, "split", k);
            std::vector<size_t> each;
            for (size_t k = 1; k < z.size(); k++) each.push_back(k);
            expect_same(run_plain(z, each, cap), ref, "byte by byte", 0);
            expect_same(run_plain(z, each, cap, {}, true), ref, "byte by byte, state moved", 0);
            for (size_t p = 0; p <= ref.out.size(); p++) {
                Outcome o = run_plain(z, {}, cap, {p});
                expect_same(o, ref, "output limit", p);
            }
            // Both at once: one more byte of input and of room per call.
            std::vector<size_t> rooms;
            for (size_t p = 1; p < ref.out.size(); p++) rooms.push_back(p);
            expect_same(run_plain(z, each, cap, rooms), ref, "both", 0);
        }
    }
    EXPECT_EQ(failing, 2u);
}

TEST(InflateWindow, BackReferenceOf32768RightAfterASlide) {
    VariantGuard guard;
    // 128 KiB of stored bytes fill the window exactly; the slide then leaves
    // 32768 bytes and the next symbols reach back all of them.
    Bytes a = gen_random(65535, 7), b = gen_random(65535, 8), c = gen_random(2, 9);
    std::vector<Op> ops = {stored(a), stored(b), stored(c), match(258, 32768), match(258, 32768), lit('k'),
                           match(3, 32768), match(100, 1), match(258, 32768)};
    Bytes z = encode(ops, false, Coder::fixed());
    Bytes expect = expand(ops);
    for (u32 v = 0; v < INFLATE_VARIANT_COUNT; v++) {
        if (!inflate_force_variant(v)) continue;  // BMI2 needs the CPU
        Outcome o = run_windowed(z, 128 * 1024, 0);
        EXPECT_EQ(o.result, INFLATE_DONE) << o.error;
        EXPECT_GE(o.calls, 2u);
        EXPECT_TRUE(o.out == expect);
        // A plain decode agrees.
        Outcome plain = run_once(z, expect.size());
        EXPECT_TRUE(plain.out == expect);
    }
}

TEST(InflateWindow, MinimumWindowAndInputPieces) {
    VariantGuard guard;
    std::vector<Op> ops = random_ops(300000, 11);
    Bytes expect = expand(ops);
    const Bytes streams[] = {encode(ops, true, dynamic_coder()), encode(ops, false, Coder::fixed())};
    for (u32 v = 0; v < INFLATE_VARIANT_COUNT; v++) {
        if (!inflate_force_variant(v)) continue;  // BMI2 needs the CPU
        for (const Bytes& z : streams) {
            for (size_t step : {(size_t)0, (size_t)4093, (size_t)65536}) {
                for (size_t window : {(size_t)0x8400, (size_t)128 * 1024}) {
                    Outcome o = run_windowed(z, window, step);
                    ASSERT_EQ(o.result, INFLATE_DONE) << o.error << " step " << step << " window " << window;
                    ASSERT_TRUE(o.out == expect);
                    ASSERT_EQ(o.consumed, z.size());
                }
            }
        }
    }
}

TEST(InflateWindow, TrailerCoversEverySlide) {
    std::vector<Op> ops = random_ops(200000, 12);
    Bytes z = encode(ops, true, dynamic_coder());
    ASSERT_EQ(run_windowed(z, 0x8400, 0).result, INFLATE_DONE);
    // Change one literal early, in the middle and at the end, keeping the
    // original trailer: whichever window the byte went through, the check
    // must see it.
    std::vector<size_t> literal_ops;
    for (size_t i = 0; i < ops.size(); i++)
        if (ops[i].kind == 0) literal_ops.push_back(i);
    ASSERT_GT(literal_ops.size(), 10u);
    for (size_t which : {(size_t)0, literal_ops.size() / 2, literal_ops.size() - 1}) {
        std::vector<Op> changed = ops;
        changed[literal_ops[which]].a = changed[literal_ops[which]].a == 'e' ? 't' : 'e';
        Bytes z2 = encode(changed, true, dynamic_coder());
        memcpy(z2.data() + z2.size() - 4, z.data() + z.size() - 4, 4);
        Outcome o = run_windowed(z2, 0x8400, 0);
        EXPECT_EQ(o.result, INFLATE_ERROR);
        EXPECT_EQ(o.error, INFLATE_ERR_ADLER_MISMATCH);
        EXPECT_EQ(o.error_offset, z2.size() - 4);
        EXPECT_GT(o.calls, 10u);
    }
}

TEST(InflateWindow, TotalOutputAndSlideBookkeeping) {
    std::vector<Op> ops = random_ops(100000, 13);
    Bytes z = encode(ops, false, Coder::fixed());
    InflateState* s = new InflateState;
    Bytes out(0x8400);
    inflate_init_windowed(s, out.data(), out.size());
    size_t pos = 0;
    InflateResult r;
    do {
        inflate_slide(s, out.data());
        EXPECT_LE(inflate_out_pos(s), 32768u);
        r = inflate_run(s, z.data() + pos, z.size() - pos, out.data(), out.size(), true);
        pos += inflate_consumed(s);
    } while (r == INFLATE_OUTPUT_FULL);
    EXPECT_EQ(r, INFLATE_DONE);
    EXPECT_EQ(inflate_total_out(s), expand(ops).size());
    EXPECT_EQ(s->out_base + s->out_pos, inflate_total_out(s));
    delete s;
}
