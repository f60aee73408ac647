// Test support for inflate: a bit writer that crafts DEFLATE streams (fixed
// and dynamic blocks with chosen code lengths, stored blocks, any bad field),
// generated data, and stream drivers that feed input in pieces and give output
// in limited amounts or through a sliding window. Each piece of input and the
// output buffer are exact-size heap blocks, so AddressSanitizer sees any read
// or write past them.
#pragma once

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <vector>

#include "codec/png/adler32.h"
#include "codec/png/inflate.h"

namespace qbtest {

// A random complete code: split random leaves of a binary tree until there
// are `n` leaves, keeping depths at most 15.
inline std::vector<u8> random_complete_lengths(u32 symbols, u32 n, std::mt19937& rng, bool deep) {
    std::vector<u8> depths = {1, 1};
    while (depths.size() < n) {
        size_t i = rng() % depths.size();
        // Deep sets keep splitting the deepest leaf to reach 15 bits.
        if (deep && rng() % 2) {
            i = 0;
            for (size_t k = 1; k < depths.size(); k++)
                if (depths[k] > depths[i]) i = k;
        }
        if (depths[i] >= 15) {
            bool any = false;
            for (size_t k = 0; k < depths.size(); k++) {
                if (depths[k] < 15) {
                    i = k;
                    any = true;
                    break;
                }
            }
            if (!any) break;
        }
        depths[i]++;
        depths.push_back(depths[i]);
    }
    std::vector<u8> lengths(symbols, 0);
    std::vector<u32> order(symbols);
    for (u32 i = 0; i < symbols; i++) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    for (size_t k = 0; k < depths.size(); k++) lengths[order[k]] = depths[k];
    return lengths;
}

using Bytes = std::vector<u8>;

// ---- Bit writer ----------------------------------------------------------------

struct BitWriter {
    Bytes bytes;
    u64 acc = 0;
    u32 n = 0;

    u64 bit_pos() const { return bytes.size() * 8 + n; }
    u64 byte_pos() const { return bit_pos() / 8; }
    void put(u32 value, u32 bits) {
        for (u32 i = 0; i < bits; i++) {
            acc |= (u64)(i < 32 ? (value >> i) & 1 : 0) << n;
            if (++n == 8) {
                bytes.push_back((u8)acc);
                acc = 0;
                n = 0;
            }
        }
    }
    // A Huffman code: most significant bit first.
    void put_code(u32 code, u32 len) {
        for (u32 i = len; i-- > 0;) put((code >> i) & 1, 1);
    }
    void align() {
        if (n) put(0, 8 - n);
    }
    void put_byte(u8 b) { put(b, 8); }
};

// Canonical codes for a set of lengths (RFC 1951 3.2.2).
inline std::vector<u32> canonical_codes(const std::vector<u8>& lengths) {
    u32 bl_count[16] = {};
    for (u8 l : lengths) bl_count[l]++;
    bl_count[0] = 0;
    u32 next[16] = {};
    u32 code = 0;
    for (u32 bits = 1; bits < 16; bits++) {
        code = (code + bl_count[bits - 1]) << 1;
        next[bits] = code;
    }
    std::vector<u32> codes(lengths.size());
    for (size_t i = 0; i < lengths.size(); i++) {
        if (lengths[i]) codes[i] = next[lengths[i]]++;
    }
    return codes;
}

// Length and distance symbols with their extra bits.
inline void length_symbol(u32 len, u32* sym, u32* extra_bits, u32* extra) {
    static const u16 base[29] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27,
                                 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const u8 eb[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    u32 i = 28;
    while (base[i] > len) i--;
    if (len == 258) i = 28;
    *sym = 257 + i;
    *extra_bits = eb[i];
    *extra = len - base[i];
}
inline void dist_symbol(u32 dist, u32* sym, u32* extra_bits, u32* extra) {
    u32 i = 29;
    auto base = [](u32 d) { return d < 4 ? d + 1 : ((2u | (d & 1)) << (d / 2 - 1)) + 1; };
    while (base(i) > dist) i--;
    *sym = i;
    *extra_bits = i < 4 ? 0 : i / 2 - 1;
    *extra = dist - base(i);
}

// Writes symbols with given code lengths (fixed or dynamic).
struct Coder {
    std::vector<u8> lit_len;
    std::vector<u8> dist_len;
    std::vector<u32> lit_code;
    std::vector<u32> dist_code;

    static Coder fixed() {
        Coder c;
        c.lit_len.assign(288, 8);
        for (u32 i = 144; i < 256; i++) c.lit_len[i] = 9;
        for (u32 i = 256; i < 280; i++) c.lit_len[i] = 7;
        c.dist_len.assign(32, 5);
        c.lit_code = canonical_codes(c.lit_len);
        c.dist_code = canonical_codes(c.dist_len);
        return c;
    }
    static Coder with(std::vector<u8> lit, std::vector<u8> dist) {
        Coder c;
        c.lit_len = std::move(lit);
        c.dist_len = std::move(dist);
        c.lit_code = canonical_codes(c.lit_len);
        c.dist_code = canonical_codes(c.dist_len);
        return c;
    }
    void sym(BitWriter& w, u32 s) const { w.put_code(lit_code[s], lit_len[s]); }
    void dist_sym(BitWriter& w, u32 s) const { w.put_code(dist_code[s], dist_len[s]); }
    void match(BitWriter& w, u32 len, u32 dist) const {
        u32 s, eb, ex;
        length_symbol(len, &s, &eb, &ex);
        sym(w, s);
        w.put(ex, eb);
        dist_symbol(dist, &s, &eb, &ex);
        dist_sym(w, s);
        w.put(ex, eb);
    }
};

// A dynamic block header for the coder's lengths: HLIT and HDIST from the
// array sizes, and a code-length code giving symbols 0 to 15 four bits each.
inline void put_dynamic_header(BitWriter& w, const Coder& c, bool final) {
    w.put(final, 1);
    w.put(2, 2);
    w.put((u32)c.lit_len.size() - 257, 5);
    w.put((u32)c.dist_len.size() - 1, 5);
    w.put(19 - 4, 4);
    static const u8 order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    for (u32 i = 0; i < 19; i++) w.put(order[i] < 16 ? 4 : 0, 3);
    for (u8 l : c.lit_len) w.put_code(l, 4);
    for (u8 l : c.dist_len) w.put_code(l, 4);
}

inline void put_zlib_header(BitWriter& w) {
    w.put_byte(0x78);
    w.put_byte(0x01);
}
inline void put_trailer(BitWriter& w, const Bytes& decoded) {
    w.align();
    u32 a = adler32_update_scalar(1, decoded.data(), decoded.size());
    for (int i = 3; i >= 0; i--) w.put_byte((u8)(a >> (8 * i)));
}
inline void put_stored(BitWriter& w, const Bytes& data, bool final) {
    w.put(final, 1);
    w.put(0, 2);
    w.align();
    u32 len = (u32)data.size();
    w.put(len, 16);
    w.put(~len & 0xFFFF, 16);
    for (u8 b : data) w.put_byte(b);
}

// A dynamic header with an explicit code-length code: `cl` gives the lengths
// of the 19 code-length symbols by symbol, all 19 are sent (HCLEN 15).
inline Coder put_codelen_header(BitWriter& w, bool final, u32 hlit, u32 hdist, const std::vector<u8>& cl) {
    w.put(final, 1);
    w.put(2, 2);
    w.put(hlit - 257, 5);
    w.put(hdist - 1, 5);
    w.put(19 - 4, 4);
    static const u8 order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    for (u32 i = 0; i < 19; i++) w.put(cl[order[i]], 3);
    // The returned coder writes code-length symbols through `sym`.
    return Coder::with(cl, {});
}
// Code-length lengths that form a complete code: 0 to 15 five bits, 16 two,
// 17 and 18 three.
inline std::vector<u8> full_codelen_code() {
    std::vector<u8> cl(19, 5);
    cl[16] = 2;
    cl[17] = 3;
    cl[18] = 3;
    return cl;
}

// Scripted content: literals, matches and stored pieces, with a reference
// expansion and encoders for fixed and dynamic blocks.
struct Op {
    u32 kind;  // 0 literal, 1 match, 2 stored block, 3 end the current block
    u32 a;     // literal byte, or match length
    u32 b;     // match distance
    Bytes stored;
};

inline Bytes expand(const std::vector<Op>& ops) {
    Bytes out;
    for (const Op& op : ops) {
        if (op.kind == 0) out.push_back((u8)op.a);
        if (op.kind == 1) {
            // A match reaching before the start ends the valid content.
            if (op.b > out.size()) break;
            for (u32 i = 0; i < op.a; i++) out.push_back(out[out.size() - op.b]);
        }
        if (op.kind == 2) out.insert(out.end(), op.stored.begin(), op.stored.end());
    }
    return out;
}

// Encodes ops with `coder` blocks (fixed when `dynamic` is false), stored ops
// as their own stored blocks, kind 3 closing a block; the last block final.
inline Bytes encode(const std::vector<Op>& ops, bool dynamic, const Coder& coder) {
    BitWriter w;
    put_zlib_header(w);
    bool open = false;
    for (size_t i = 0; i < ops.size(); i++) {
        const Op& op = ops[i];
        bool last = i + 1 == ops.size();
        if (op.kind == 2) {
            if (open) coder.sym(w, 256);
            open = false;
            put_stored(w, op.stored, last);
            continue;
        }
        if (op.kind == 3) {
            if (open) coder.sym(w, 256);
            open = false;
            if (last) {
                put_stored(w, {}, true);
            }
            continue;
        }
        if (!open) {
            // A block is final when no block op follows it.
            bool final = true;
            for (size_t k = i + 1; k < ops.size(); k++) final &= !(ops[k].kind == 2 || ops[k].kind == 3);
            if (dynamic) {
                put_dynamic_header(w, coder, final);
            } else {
                w.put(final, 1);
                w.put(1, 2);
            }
            open = true;
        }
        if (op.kind == 0) coder.sym(w, op.a);
        if (op.kind == 1) coder.match(w, op.a, op.b);
        if (last) coder.sym(w, 256);
    }
    put_trailer(w, expand(ops));
    return w.bytes;
}

inline Op lit(u32 b) {
    return Op{0, b, 0, {}};
}
inline Op match(u32 len, u32 dist) {
    return Op{1, len, dist, {}};
}
inline Op stored(Bytes b) {
    return Op{2, 0, 0, std::move(b)};
}
inline Op end_block() {
    return Op{3, 0, 0, {}};
}

// A dynamic coder where every literal/length symbol up to 285 and every
// distance symbol has a code (lengths from a fixed complete pattern).
inline Coder dynamic_coder() {
    std::vector<u8> lit(286, 9);
    // 286 codes: 226 of 9 bits and 60 of 8 would be 226/512 + 60/256 = 346/512;
    // use 8 bits for the first 226 and 9 for the rest: 226/256 + 60/512 = 1.
    for (u32 i = 0; i < 226; i++) lit[i] = 8;
    std::vector<u8> dist(30, 5);
    // 30 codes: 28 of 5 bits and 2 of 4 bits = 28/32 + 2/16 = 1.
    dist[0] = 4;
    dist[1] = 4;
    return Coder::with(lit, dist);
}

// ---- Generated data ----------------------------------------------------------

inline Bytes gen_random(size_t n, u32 seed) {
    std::mt19937 rng(seed);
    Bytes v(n);
    for (auto& b : v) b = (u8)rng();
    return v;
}
inline Bytes gen_text(size_t n, u32 seed) {
    static const char* words[] = {"the ", "quick ", "brown ", "fox ", "jumps ", "over ", "lazy ", "dog ",
                                  "image ", "viewer ", "tile ", "pixel ", "\n", "zlib ", "stream ", ", "};
    std::mt19937 rng(seed);
    Bytes v;
    while (v.size() < n) {
        const char* w = words[rng() % 16];
        v.insert(v.end(), w, w + strlen(w));
    }
    v.resize(n);
    return v;
}
inline Bytes gen_runs(size_t n, u32 seed) {
    std::mt19937 rng(seed);
    Bytes v;
    while (v.size() < n) {
        size_t run = 1 + rng() % 600;
        u8 b = (u8)(rng() % 4);
        v.insert(v.end(), run, b);
    }
    v.resize(n);
    return v;
}
// Rows of smooth RGB with a filter byte in front, like the data of a PNG.
inline Bytes gen_png_rows(u32 width, u32 height, u32 seed) {
    std::mt19937 rng(seed);
    Bytes v;
    for (u32 y = 0; y < height; y++) {
        v.push_back((u8)(rng() % 5));
        for (u32 x = 0; x < width; x++) {
            for (u32 c = 0; c < 3; c++) {
                int val = (int)((x * (c + 1) + y * 2) & 0xFF) + (int)(rng() % 9) - 4;
                v.push_back((u8)val);
            }
        }
    }
    return v;
}

// ---- Drivers -----------------------------------------------------------------

struct Outcome {
    Bytes out;
    InflateResult result = 0;
    InflateError error = 0;
    u64 error_offset = 0;
    u64 consumed = 0;  // total input consumed
    u32 calls = 0;
};

inline bool operator==(const Outcome& a, const Outcome& b) {
    return a.out == b.out && a.result == b.result && a.error == b.error && a.error_offset == b.error_offset &&
           a.consumed == b.consumed;
}

// Plain mode. Input arrives up to each of `cuts` in turn (then to the end,
// declared final); output room grows through `limits` (then to `out_cap`).
// With `move_state` the state is copied to a fresh allocation after every
// call (it holds no pointers, so that must not matter).
inline Outcome run_plain(const Bytes& z, std::vector<size_t> cuts, size_t out_cap, std::vector<size_t> limits = {},
                         bool move_state = false) {
    Outcome o;
    InflateState* s = new InflateState;
    inflate_init(s);
    cuts.push_back(z.size());
    limits.push_back(out_cap);
    size_t cut_i = 0, limit_i = 0;
    size_t pos = 0;
    u8* out = new u8[out_cap ? out_cap : 1];
    for (;;) {
        size_t end = cuts[cut_i];
        if (end < pos) end = pos;
        bool final = end == z.size();
        Bytes piece(z.begin() + pos, z.begin() + end);
        u8* in = piece.empty() ? nullptr : new u8[piece.size()];
        if (in) memcpy(in, piece.data(), piece.size());
        InflateResult r = inflate_run(s, in, piece.size(), out, limits[limit_i], final);
        delete[] in;
        o.calls++;
        pos += inflate_consumed(s);
        if (move_state) {
            InflateState* moved = new InflateState;
            memcpy((void*)moved, (const void*)s, sizeof(InflateState));
            memset((void*)s, 0xA5, sizeof(InflateState));
            delete s;
            s = moved;
        }
        if (r == INFLATE_NEED_INPUT) {
            if (cut_i + 1 < cuts.size()) {
                cut_i++;
                continue;
            }
        } else if (r == INFLATE_OUTPUT_FULL) {
            if (limit_i + 1 < limits.size()) {
                limit_i++;
                continue;
            }
        }
        o.result = r;
        break;
    }
    o.out.assign(out, out + inflate_out_pos(s));
    o.error = inflate_error(s);
    o.error_offset = inflate_error_offset(s);
    o.consumed = pos;
    delete[] out;
    delete s;
    return o;
}

inline Outcome run_once(const Bytes& z, size_t out_cap) {
    return run_plain(z, {}, out_cap);
}

// Windowed mode with a `window`-byte buffer: the output read after every call,
// then slid. Input in pieces of `step` bytes (0: all at once).
inline Outcome run_windowed(const Bytes& z, size_t window, size_t step) {
    Outcome o;
    InflateState* s = new InflateState;
    u8* out = new u8[window];
    inflate_init_windowed(s, out, window);
    size_t pos = 0, avail = step ? std::min(step, z.size()) : z.size();
    u64 read = 0;
    for (;;) {
        inflate_slide(s, out);
        read = inflate_out_pos(s);
        u8* in = avail > pos ? new u8[avail - pos] : nullptr;
        if (in) memcpy(in, z.data() + pos, avail - pos);
        InflateResult r = inflate_run(s, in, avail - pos, out, window, avail == z.size());
        delete[] in;
        o.calls++;
        pos += inflate_consumed(s);
        o.out.insert(o.out.end(), out + read, out + inflate_out_pos(s));
        read = inflate_out_pos(s);
        if (r == INFLATE_NEED_INPUT) {
            avail = std::min(z.size(), avail + (step ? step : z.size()));
            continue;
        }
        if (r == INFLATE_OUTPUT_FULL) continue;
        o.result = r;
        break;
    }
    o.error = inflate_error(s);
    o.error_offset = inflate_error_offset(s);
    o.consumed = pos;
    delete[] out;
    delete s;
    return o;
}

// Restores the machine's preferred fast loop when a test ends.
struct VariantGuard {
    ~VariantGuard() { inflate_select_variant(); }
};

}  // namespace qbtest
