// The preview pass drops AC values several symbols at a time through the
// skip tables; the full pass decodes them one by one. On random Huffman
// tables (long codes, unused codes, every run and size) and random streams,
// both built and damaged, the two passes must agree on every DC term and
// fail with the same code at the same offset. Also: the skip table against a
// one-symbol walk of the same bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "jpeg_support.h"

namespace {

struct Table {
    u8 counts[16] = {};
    std::vector<u8> symbols;
    std::vector<u32> code, length;  // per symbol index
};

// A canonical table with random code lengths; one code is always left
// unused, so the all-ones pattern is no code.
Table random_table(std::mt19937* rng, bool is_dc) {
    Table t;
    std::vector<u8> pool;
    if (is_dc) {
        for (u32 s = 0; s <= 11; s++) pool.push_back((u8)s);
    } else {
        for (u32 s = 0; s < 256; s++) pool.push_back((u8)s);
        std::shuffle(pool.begin() + 1, pool.end(), *rng);
        std::swap(pool[1], *std::find(pool.begin(), pool.end(), (u8)0xF0));
        pool.resize(2 + (*rng)() % 160);
    }
    std::shuffle(pool.begin(), pool.end(), *rng);
    u32 free_codes = 1;  // codes available at the current length
    u32 k = 0;
    u32 longest = 9 + (*rng)() % 8;
    for (u32 len = 1; len <= 16 && k < pool.size(); len++) {
        free_codes *= 2;
        u32 room = free_codes - 1;  // keep one free for longer codes
        u32 want = len < longest ? (u32)((*rng)() % (std::min<u32>(room, 8) + 1)) : room;
        u32 n = std::min<u32>({want, room, (u32)pool.size() - k});
        t.counts[len - 1] = (u8)n;
        free_codes -= n;
        k += n;
    }
    t.symbols.assign(pool.begin(), pool.begin() + k);
    u32 c = 0;
    for (u32 len = 1, i = 0; len <= 16; len++, c <<= 1) {
        for (u32 j = 0; j < t.counts[len - 1]; j++, i++, c++) {
            t.code.push_back(c);
            t.length.push_back(len);
        }
    }
    return t;
}

void put_table(StreamWriter* w, const Table& t, u8 class_slot) {
    std::vector<u8> p = {class_slot};
    p.insert(p.end(), t.counts, t.counts + 16);
    p.insert(p.end(), t.symbols.begin(), t.symbols.end());
    w->segment(0xC4, p);
}

void put_symbol(StreamWriter* w, std::mt19937* rng, const Table& t, u32 i) {
    w->bits(t.code[i], t.length[i]);
    u32 size = t.symbols[i] & 15;
    if (size) w->bits((*rng)() & ((1u << size) - 1), size);
}

// A sequential file of random tables and blocks; with `damage`, a few
// entropy-coded bytes are then overwritten.
std::vector<u8> random_file(std::mt19937* rng, bool damage) {
    u32 comps = (*rng)() % 2 ? 3 : 1;
    // 4:2:0 and 4:4:4 have walks of their own; 4:2:2 takes the general one.
    static const u32 luma[3] = {0x22, 0x11, 0x21};
    u32 sampling[3] = {luma[(*rng)() % 3], 0x11, 0x11};
    u32 width = 8 + (*rng)() % 60, height = 8 + (*rng)() % 40;
    u32 restart = (*rng)() % 3 == 0 ? 1 + (*rng)() % 5 : 0;
    StreamWriter w = minimal_header(width, height, comps, sampling, restart, 0xC0, 8);
    Table dc = random_table(rng, true);
    Table ac = random_table(rng, false);
    put_table(&w, dc, 0x01);
    put_table(&w, ac, 0x11);
    std::vector<u8> sos = {(u8)comps};
    for (u32 c = 0; c < comps; c++) sos.insert(sos.end(), {(u8)(c + 1), 0x11});
    sos.insert(sos.end(), {0, 63, 0});
    w.segment(0xDA, sos);
    u32 h = sampling[0] >> 4, v = sampling[0] & 15;
    u32 units = comps == 1 ? ((width + 7) / 8) * ((height + 7) / 8)
                           : ((width + 8 * h - 1) / (8 * h)) * ((height + 8 * v - 1) / (8 * v));
    u32 blocks_per_unit = comps == 1 ? 1 : h * v + 2;
    size_t data_start = w.bytes.size();
    for (u32 u = 0; u < units; u++) {
        if (restart && u && u % restart == 0) {
            w.flush_ones();
            w.marker((u8)(0xD0 + ((u / restart - 1) & 7)));
        }
        for (u32 b = 0; b < blocks_per_unit; b++) {
            put_symbol(&w, rng, dc, (*rng)() % dc.symbols.size());
            // Random AC symbols until the block is full or ended; now and
            // then one runs past the last position.
            for (u32 k = 1; k < 64;) {
                u32 i = (*rng)() % ac.symbols.size();
                u32 run = ac.symbols[i] >> 4, size = ac.symbols[i] & 15;
                if (size != 0 && k + run > 63 && (*rng)() % 50 != 0) continue;
                put_symbol(&w, rng, ac, i);
                if (size == 0 && run != 15) break;
                k += size == 0 ? 16 : run + 1;
            }
        }
    }
    w.flush_ones();
    if (damage && w.bytes.size() > data_start) {
        for (u32 n = 1 + (*rng)() % 3; n-- > 0;) {
            size_t at = data_start + (*rng)() % (w.bytes.size() - data_start);
            u8 v = (u8)(*rng)();
            if (v != 0xFF && w.bytes[at] != 0xFF && (at == 0 || w.bytes[at - 1] != 0xFF)) w.bytes[at] = v;
        }
    }
    w.marker(0xD9);
    return w.bytes;
}

struct PassResult {
    bool ok = false;
    JpegStatus st{};
    std::vector<i16> dc;
};

PassResult run_pass(const std::vector<u8>& file, const JpegDecoder& probed, u64 scratch_bytes, bool preview_only) {
    Aligned scratch;
    scratch.resize(scratch_bytes, 0xA5);
    memcpy(scratch.data, &probed, sizeof probed);
    JpegDecoder* d = (JpegDecoder*)scratch.data;
    JpegLayout layout;
    EXPECT_TRUE(jpeg_working_layout(d, &layout));
    JpegPlanes planes;
    JpegRestartIndex index;
    jpeg_planes_from_layout(scratch.data, &layout, &planes, &index);
    PassResult r;
    r.ok = decode_scans(file.data(), file.size(), d, &planes, &index, preview_only, &r.st);
    for (u32 c = 0; c < d->components && r.ok; c++) {
        r.dc.insert(r.dc.end(), planes.plane[c].dc, planes.plane[c].dc + planes.plane[c].dc_count);
    }
    return r;
}

TEST(JpegPreviewPass, AgreesWithTheFullPassOnRandomTablesAndStreams) {
    std::mt19937 rng(2024);
    u32 passed = 0, failed = 0;
    for (u32 trial = 0; trial < 1500; trial++) {
        std::vector<u8> file = random_file(&rng, trial % 3 == 2);
        ImageInfo info;
        JpegDecoder probed;
        CodecError err;
        ASSERT_TRUE(jpeg_probe(file.data(), file.size(), &info, &probed, &err)) << trial << " " << err.code;
        PassResult preview = run_pass(file, probed, info.scratch_bytes, true);
        PassResult full = run_pass(file, probed, info.scratch_bytes, false);
        ASSERT_EQ(preview.ok, full.ok) << trial;
        ASSERT_EQ(preview.st.code, full.st.code) << trial;
        ASSERT_EQ(preview.st.offset, full.st.offset) << trial;
        ASSERT_EQ(preview.dc, full.dc) << trial;
        (preview.ok ? passed : failed)++;
    }
    // Both outcomes are well represented.
    EXPECT_GT(passed, 300u);
    EXPECT_GT(failed, 300u);
}

// Every entry of the skip table against walking the same 12 bits one
// symbol at a time with the canonical codes.
TEST(JpegPreviewPass, SkipTableEntriesMatchASymbolWalk) {
    std::mt19937 rng(99);
    for (u32 trial = 0; trial < 60; trial++) {
        Table t = random_table(&rng, false);
        JpegHuffman h;
        ASSERT_EQ(build_huffman(t.counts, t.symbols.data(), false, &h), (u32)JPEG_HUFFMAN_OK);
        std::vector<u16> skip(1u << JPEG_SKIP_BITS);
        build_ac_skip(&h, skip.data());
        for (u32 bits = 0; bits < (1u << JPEG_SKIP_BITS); bits++) {
            // Whole symbols while code and magnitude fit in the index, and
            // then one more whose code fits but whose magnitude runs past.
            u32 used = 0, advance = 0, symbols = 0;
            bool eob = false;
            while (!eob && advance < 64 && used <= JPEG_SKIP_BITS) {
                u32 found = ~0u;
                for (u32 i = 0; i < t.code.size(); i++) {
                    u32 len = t.length[i];
                    if (used + len <= JPEG_SKIP_BITS && ((bits >> (JPEG_SKIP_BITS - used - len)) & ((1u << len) - 1)) == t.code[i]) found = i;
                }
                if (found == ~0u) break;
                u32 run = t.symbols[found] >> 4, size = t.symbols[found] & 15;
                used += t.length[found] + size;
                symbols++;
                advance += size ? run + 1 : (run == 15 ? 16 : 1);
                eob = size == 0 && run != 15;
            }
            u32 e = skip[bits];
            if (symbols == 0) {
                ASSERT_EQ(e, (u32)JPEG_SKIP_NONE) << trial << " " << bits;
                continue;
            }
            ASSERT_EQ(e & 31, used) << trial << " " << bits;
            ASSERT_LE(used, JPEG_SKIP_BITS + 15) << trial << " " << bits;
            ASSERT_EQ((e >> 5) & 127, advance) << trial << " " << bits;
            ASSERT_EQ((e & JPEG_SKIP_EOB) != 0, eob) << trial << " " << bits;
        }
    }
}


// Every entry of the full pass's wide table against reading the same 11
// bits one symbol at a time with the canonical codes: the first symbol when
// code and magnitude fit, and a second when it fits too and is a value or
// an end-of-block after a value; without one the second value repeats the
// first at no advance.
TEST(JpegPreviewPass, WideTableEntriesMatchASymbolWalk) {
    std::mt19937 rng(77);
    const u32 B = JPEG_WIDE_BITS;
    u32 pairs = 0, singles = 0;
    for (u32 trial = 0; trial < 60; trial++) {
        Table t = random_table(&rng, false);
        JpegHuffman h;
        ASSERT_EQ(build_huffman(t.counts, t.symbols.data(), false, &h), (u32)JPEG_HUFFMAN_OK);
        std::vector<u64> wide(1u << B);
        build_ac_wide(&h, wide.data());
        struct Sym {
            bool found = false;
            u32 bits = 0, run = 0, size = 0;
            i32 value = 0;
        };
        auto symbol_at = [&](u32 index, u32 used) {
            Sym s;
            for (u32 i = 0; i < t.code.size(); i++) {
                u32 len = t.length[i];
                if (used + len > B || ((index >> (B - used - len)) & ((1u << len) - 1)) != t.code[i]) continue;
                u32 size = t.symbols[i] & 15;
                if (used + len + size > B) return s;
                s.found = true;
                s.bits = len + size;
                s.run = t.symbols[i] >> 4;
                s.size = size;
                if (size) {
                    i32 raw = (i32)((index >> (B - used - len - size)) & ((1u << size) - 1));
                    s.value = raw < (1 << (size - 1)) ? raw - (1 << size) + 1 : raw;
                }
            }
            return s;
        };
        for (u32 index = 0; index < (1u << B); index++) {
            u64 e = wide[index];
            Sym a = symbol_at(index, 0);
            if (!a.found) {
                ASSERT_EQ(e & 63, 0u) << trial << " " << index;
                continue;
            }
            u32 advance = a.size ? a.run + 1 : (a.run == 15 ? 16 : 0);
            ASSERT_EQ((e & JPEG_WIDE_VALUE) != 0, a.size != 0) << trial << " " << index;
            ASSERT_EQ((e >> 8) & 255, advance) << trial << " " << index;
            ASSERT_EQ((i16)(u16)(e >> 16), a.value) << trial << " " << index;
            ASSERT_EQ((e >> 32) & 63, a.bits) << trial << " " << index;
            Sym b = a.size ? symbol_at(index, a.bits) : Sym{};
            bool pair = b.found && (b.size != 0 || b.run != 15);
            ASSERT_EQ((e & JPEG_WIDE_PAIR) != 0, pair) << trial << " " << index;
            ASSERT_EQ(e & 63, a.bits + (pair ? b.bits : 0)) << trial << " " << index;
            bool end = pair && b.size == 0;
            ASSERT_EQ((e & JPEG_WIDE_END) != 0, end) << trial << " " << index;
            if (pair && !end) {
                ASSERT_EQ((e >> 40) & 255, b.run + 1) << trial << " " << index;
                ASSERT_EQ((i16)(u16)(e >> 48), b.value) << trial << " " << index;
            } else {
                ASSERT_EQ((e >> 40) & 255, 0u) << trial << " " << index;
                ASSERT_EQ((i16)(u16)(e >> 48), a.value) << trial << " " << index;
            }
            (pair ? pairs : singles)++;
        }
    }
    EXPECT_GT(pairs, 1000u);
    EXPECT_GT(singles, 1000u);
}

}  // namespace
