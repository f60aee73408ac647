// Entropy coding of the encoder's scans. A scan walks its blocks and turns
// each into symbols (table slot, symbol, extra bits) that are either counted
// (the first pass of a progressive scan, whose tables are then optimised) or
// emitted: the symbols go to a buffer of 4096 entries, and when it nears
// full one tight loop counts or emits them. Both passes run the same symbol
// generator, so the counts describe exactly what is emitted. Symbols follow
// the standard's F.1.2 (baseline) and G.1.2 (progressive: DC first and
// refinement, AC first with end-of-band runs, AC refinement with buffered
// correction bits). The baseline scan of a baseline file has its own coder
// at the end of the file: no buffer, no counting, codes written as found.
#include "codec/jpeg/encode.h"

#include <string.h>

// ---- Huffman tables ----------------------------------------------------------------

void jpeg_huffman_codes(const u8* dht, u32 codes[256]) {
    memset(codes, 0, 256 * sizeof(u32));
    u32 code = 0;
    u32 k = 0;
    for (u32 len = 1; len <= 16; len++) {
        for (u32 i = 0; i < dht[len - 1]; i++, k++, code++) codes[dht[16 + k]] = code | (len << 16);
        code <<= 1;
    }
}

// Annex K.2: repeatedly merge the two least frequent entries (among equals
// the one with the larger symbol number counts as smaller), chaining the
// merged symbols through `others` so each merge lengthens every code in
// both trees; then limit lengths to 16 (Figure K.3) and drop the reserved
// symbol 256 from the longest length. Symbols are listed by their merged
// length, then by value.
bool jpeg_optimal_huffman(const u64 freq_in[256], u8 dht[16 + 256]) {
    u64 freq[257];
    u32 codesize[257];
    i32 others[257];
    for (u32 i = 0; i < 256; i++) freq[i] = freq_in[i];
    freq[256] = 1;
    for (u32 i = 0; i < 257; i++) {
        codesize[i] = 0;
        others[i] = -1;
    }
    for (;;) {
        i32 c1 = -1, c2 = -1;
        u64 v = ~(u64)0;
        for (i32 i = 0; i <= 256; i++) {
            if (freq[i] && freq[i] <= v) {
                v = freq[i];
                c1 = i;
            }
        }
        v = ~(u64)0;
        for (i32 i = 0; i <= 256; i++) {
            if (freq[i] && freq[i] <= v && i != c1) {
                v = freq[i];
                c2 = i;
            }
        }
        if (c2 < 0) break;
        freq[c1] += freq[c2];
        freq[c2] = 0;
        codesize[c1]++;
        while (others[c1] >= 0) {
            c1 = others[c1];
            codesize[c1]++;
        }
        others[c1] = c2;
        codesize[c2]++;
        while (others[c2] >= 0) {
            c2 = others[c2];
            codesize[c2]++;
        }
    }
    u32 bits[33] = {};
    for (u32 i = 0; i <= 256; i++) {
        if (!codesize[i]) continue;
        if (codesize[i] > 32) return false;
        bits[codesize[i]]++;
    }
    u32 i = 32;
    for (; i > 16; i--) {
        while (bits[i] > 0) {
            u32 j = i - 2;
            while (bits[j] == 0) j--;
            bits[i] -= 2;
            bits[i - 1]++;
            bits[j + 1] += 2;
            bits[j]--;
        }
    }
    while (bits[i] == 0) i--;
    bits[i]--;
    for (u32 len = 1; len <= 16; len++) dht[len - 1] = (u8)bits[len];
    u32 p = 16;
    for (u32 len = 1; len <= 32; len++) {
        for (u32 s = 0; s < 256; s++) {
            if (codesize[s] == len) dht[p++] = (u8)s;
        }
    }
    return true;
}

// ---- Symbol buffer -------------------------------------------------------------------
// Symbols are collected in a buffer of 4096 entries and then counted or
// emitted in one loop. What an entry holds depends on the pass:
//   counting: a u32 with bits 0-15 the extra bits (cut to their count),
//     16-20 the extra-bit count, 21-28 the symbol, 29-30 the table slot and
//     bit 31 set for raw bits without a symbol (DC refinement and
//     correction bits); bits 21-31 index a frequency table of 5 x 256 whose
//     fifth row takes the raw bits and is never read.
//   emitting: a u64 with the symbol's code already looked up: bits 0-5 the
//     total length (code and extra bits, at most 32), bits 6-37 the bits.

enum : u32 {
    SYMBOL_CAPACITY = 4096,
    // Most entries one block can add: 63 coefficient symbols, 4 runs of 16
    // zeros, an end-of-band run, and correction bits in 16-bit entries (up to
    // 1000 waiting bits plus one per coefficient, each symbol's share in an
    // entry of its own).
    BLOCK_ENTRIES_MAX = 256,
    RAW = 1u << 31,
    EOBRUN_MAX = 0x7FFF,
    CORRECTION_LIMIT = 937,  // flush the end-of-band run when more bits wait
};

struct CountPass {
    typedef u32 Entry;
    u64 (*freq)[256];  // 5 rows
    QB_FORCE_INLINE Entry symbol(u32 slot, u32 symbol, u32 nbits, u32 bits) const {
        return (slot << 29) | (symbol << 21) | (nbits << 16) | bits;
    }
    QB_FORCE_INLINE Entry raw(u32 nbits, u32 bits) const { return RAW | (nbits << 16) | bits; }
};

struct EmitPass {
    typedef u64 Entry;
    const u32* codes;  // 4 x 256: code | length << 16
    JpegWriter* w;
    u64 acc;  // pending bits in the low `fill` bits
    u32 fill;
    QB_FORCE_INLINE Entry symbol(u32 slot, u32 symbol, u32 nbits, u32 bits) const {
        u32 code = codes[slot * 256 + symbol];
        return ((u64)(((code & 0xFFFF) << nbits) | bits) << 6) | ((code >> 16) + nbits);
    }
    QB_FORCE_INLINE Entry raw(u32 nbits, u32 bits) const { return ((u64)bits << 6) | nbits; }
};

template <class P>
struct SymbolSink {
    typename P::Entry entries[SYMBOL_CAPACITY];
    P pass;
};

static void drain(SymbolSink<CountPass>* s, u32 n) {
    u64* freq = &s->pass.freq[0][0];
    for (u32 i = 0; i < n; i++) freq[s->entries[i] >> 21]++;
}

static void drain(SymbolSink<EmitPass>* s, u32 n) {
    EmitPass* p = &s->pass;
    JpegWriter* w = p->w;
    if (w->overflow) return;
    const u64* entries = s->entries;
    u64 acc = p->acc;
    u32 fill = p->fill;
    u8* out = w->data + w->size;
    u8* const end = w->data + w->capacity;
    // Every entry stores the top 32 pending bits whether or not 32 are
    // ready, and the output only advances when they are: no hard-to-predict
    // branch per entry. A word holding 0xFF is redone byte by byte.
    for (u32 i = 0; i < n; i++) {
        u64 e = entries[i];
        u32 len = (u32)e & 63;
        acc = (acc << len) | (e >> 6);
        fill += len;
        if ((u64)(end - out) < 16) {
            // The last bytes of the output: a ready word goes out byte by
            // byte, and only a byte that does not fit is an overflow.
            if (fill < 32) continue;
            fill -= 32;
            u32 word = (u32)(acc >> fill);
            bool fits = true;
            for (int shift = 24; shift >= 0 && fits; shift -= 8) {
                u8 b = (u8)(word >> shift);
                u32 need = b == 0xFF ? 2 : 1;
                fits = (u64)(end - out) >= need;
                if (!fits) break;
                *out++ = b;
                if (b == 0xFF) *out++ = 0;
            }
            if (!fits) {
                w->overflow = true;
                break;
            }
            continue;
        }
        u32 ready = fill & 32;  // fill < 64: 32 exactly when a word is ready
        fill -= ready;
        u32 word = (u32)(acc >> fill);
        u32 be = __builtin_bswap32(word);
        memcpy(out, &be, 4);
        u32 inv = ~word;
        if (((inv - 0x01010101u) & ~inv & 0x80808080u & (0u - (ready >> 5))) != 0) {
            u32 k = 0;
            for (int shift = 24; shift >= 0; shift -= 8) {
                u8 b = (u8)(word >> shift);
                out[k++] = b;
                if (b == 0xFF) out[k++] = 0;
            }
            out += k;
            continue;
        }
        out += ready >> 3;
    }
    w->size = (u64)(out - w->data);
    p->acc = acc;
    p->fill = fill;
}

static bool stopped(const SymbolSink<CountPass>*) {
    return false;
}
static bool stopped(const SymbolSink<EmitPass>* s) {
    return s->pass.w->overflow;
}

static QB_FORCE_INLINE u32 bit_count(u32 v) {
    return v ? 32 - (u32)__builtin_clz(v) : 0;
}

static QB_FORCE_INLINE u32 ctz64(u64 v) {
    return (u32)__builtin_ctzll(v);
}

// `count` raw bits (one a byte) in entries of up to 16.
template <class P>
static QB_FORCE_INLINE typename P::Entry* raw_bits(const P& p, typename P::Entry* e, const u8* bits, u32 count) {
    u32 i = 0;
    while (i < count) {
        u32 n = count - i < 16 ? count - i : 16;
        u32 v = 0;
        for (u32 j = 0; j < n; j++) v = (v << 1) | bits[i + j];
        *e++ = p.raw(n, v);
        i += n;
    }
    return e;
}

// ---- Scan state --------------------------------------------------------------------

struct ScanState {
    i32 last_dc[3];
    u32 eobrun;
    u32 ac_slot;
    u32 correction_count;  // correction bits waiting for the end-of-band run
    u8 correction[1024];
};

template <class P>
static typename P::Entry* flush_eobrun(const P& p, ScanState* st, typename P::Entry* e) {
    if (st->eobrun == 0) return e;
    u32 nbits = bit_count(st->eobrun) - 1;
    *e++ = p.symbol(st->ac_slot, nbits << 4, nbits, st->eobrun & ((1u << nbits) - 1));
    st->eobrun = 0;
    e = raw_bits(p, e, st->correction, st->correction_count);
    st->correction_count = 0;
    return e;
}

// ---- Block coders ----------------------------------------------------------------------
// Each appends a block's entries at `e` and returns the new end.

template <class P>
static QB_FORCE_INLINE typename P::Entry* code_dc(const P& p, i32* last_dc, i32 value, u32 slot,
                                                  typename P::Entry* e) {
    i32 diff = value - *last_dc;
    *last_dc = value;
    i32 sign = diff >> 31;
    u32 nbits = bit_count((u32)((diff ^ sign) - sign));
    *e++ = p.symbol(slot, nbits, nbits, (u32)(diff + sign) & ((1u << nbits) - 1));
    return e;
}

// Sequential: DC difference, then run/size symbols with ZRL and EOB.
template <class P>
static QB_FORCE_INLINE typename P::Entry* code_baseline(const P& p, const i16* z, u64 mask, i32* last_dc, u32 dc_slot,
                                                        u32 ac_slot, typename P::Entry* e) {
    e = code_dc(p, last_dc, z[0], dc_slot, e);
    u64 m = mask & ~(u64)1;
    u32 last = 0;
    while (m) {
        u32 k = ctz64(m);
        m &= m - 1;
        u32 run = k - last - 1;
        last = k;
        while (run > 15) {
            *e++ = p.symbol(ac_slot, 0xF0, 0, 0);
            run -= 16;
        }
        i32 v = z[k];
        i32 sign = v >> 31;
        u32 nbits = 32 - (u32)__builtin_clz((u32)((v ^ sign) - sign));  // v is not zero
        *e++ = p.symbol(ac_slot, (run << 4) | nbits, nbits, (u32)(v + sign) & ((1u << nbits) - 1));
    }
    if (last != 63) *e++ = p.symbol(ac_slot, 0x00, 0, 0);
    return e;
}

static QB_FORCE_INLINE u64 band_mask(u32 ss, u32 se) {
    u64 upto = se == 63 ? ~(u64)0 : (((u64)1 << (se + 1)) - 1);
    return upto & ~(((u64)1 << ss) - 1);
}

// Progressive AC first pass: coefficients divided by 2^Al (towards zero);
// blocks ending in zeros add to the end-of-band run.
template <class P>
static QB_FORCE_INLINE typename P::Entry* code_ac_first(const P& p, ScanState* st, const i16* z, u64 mask, u32 ss,
                                                        u32 se, u32 al, typename P::Entry* e) {
    u64 m = mask & band_mask(ss, se);
    u32 last = ss - 1;
    while (m) {
        u32 k = ctz64(m);
        m &= m - 1;
        i32 v = z[k];
        u32 a = (u32)(v < 0 ? -v : v) >> al;
        if (a == 0) continue;
        e = flush_eobrun(p, st, e);
        u32 run = k - last - 1;
        while (run > 15) {
            *e++ = p.symbol(st->ac_slot, 0xF0, 0, 0);
            run -= 16;
        }
        u32 nbits = bit_count(a);
        *e++ = p.symbol(st->ac_slot, (run << 4) | nbits, nbits, (v < 0 ? ~a : a) & ((1u << nbits) - 1));
        last = k;
    }
    if (last != se) {
        st->eobrun++;
        if (st->eobrun == EOBRUN_MAX) e = flush_eobrun(p, st, e);
    }
    return e;
}

// Progressive AC refinement: coefficients that were already non-zero give
// one correction bit each, sent after the next symbol (or with the pending
// end-of-band run); newly non-zero ones (magnitude 1) are coded as run/1.
template <class P>
static QB_FORCE_INLINE typename P::Entry* code_ac_refine(const P& p, ScanState* st, const i16* z, u64 mask, u32 ss,
                                                         u32 se, u32 al, typename P::Entry* e) {
    u64 band = mask & band_mask(ss, se);
    // The last newly non-zero position: runs of 16 zeros beyond it fold
    // into the end of band.
    u32 eob = 0;
    for (u64 m = band; m;) {
        u32 k = ctz64(m);
        m &= m - 1;
        i32 v = z[k];
        if (((u32)(v < 0 ? -v : v) >> al) == 1) eob = k;
    }
    u8 pending[64];
    u32 br = 0;
    u32 r = 0;
    u32 next = ss;
    for (u64 m = band; m;) {
        u32 k = ctz64(m);
        m &= m - 1;
        i32 v = z[k];
        u32 a = (u32)(v < 0 ? -v : v) >> al;
        r += k - next;
        next = k + 1;
        if (a == 0) {
            r++;
            continue;
        }
        while (r > 15 && k <= eob) {
            e = flush_eobrun(p, st, e);
            *e++ = p.symbol(st->ac_slot, 0xF0, 0, 0);
            r -= 16;
            e = raw_bits(p, e, pending, br);
            br = 0;
        }
        if (a > 1) {
            pending[br++] = (u8)(a & 1);
            continue;
        }
        e = flush_eobrun(p, st, e);
        *e++ = p.symbol(st->ac_slot, (r << 4) | 1, 1, v < 0 ? 0 : 1);
        e = raw_bits(p, e, pending, br);
        br = 0;
        r = 0;
    }
    r += se + 1 - next;
    if (r > 0 || br > 0) {
        st->eobrun++;
        memcpy(st->correction + st->correction_count, pending, br);
        st->correction_count += br;
        if (st->eobrun == EOBRUN_MAX || st->correction_count > CORRECTION_LIMIT) e = flush_eobrun(p, st, e);
    }
    return e;
}

// ---- Scan walk ----------------------------------------------------------------------------

// Interleaved sequential scan: MCU by MCU, each component's h x v blocks.
// `last_dc` carries the predictions from one call to the next.
template <class P>
static void baseline_interleaved(const JpegScanFrame* f, const JpegScanSpec* scan, SymbolSink<P>* sink,
                                 i32* last_dc) {
    typedef typename P::Entry Entry;
    const P& p = sink->pass;
    Entry* const start = sink->entries;
    Entry* const limit = start + SYMBOL_CAPACITY - BLOCK_ENTRIES_MAX;
    Entry* e = start;
    for (u32 my = 0; my < f->mcus_down; my++) {
        for (u32 mx = 0; mx < f->mcus_across; mx++) {
            for (u32 i = 0; i < scan->count; i++) {
                u32 ci = scan->component[i];
                const JpegScanComponent* c = &f->comp[ci];
                u32 dc_slot = 2 * c->table, ac_slot = dc_slot + 1;
                for (u32 v = 0; v < c->v; v++) {
                    u64 b = (u64)(my * c->v + v) * c->store_across + mx * c->h;
                    for (u32 h = 0; h < c->h; h++, b++) {
                        if (e > limit) {
                            drain(sink, (u32)(e - start));
                            e = start;
                        }
                        e = code_baseline(p, c->coefficients + 64 * b, c->masks[b], &last_dc[ci], dc_slot, ac_slot,
                                          e);
                    }
                }
            }
        }
        if (stopped(sink)) return;
    }
    drain(sink, (u32)(e - start));
}

template <class P>
static void run_scan(const JpegScanFrame* f, const JpegScanSpec* scan, SymbolSink<P>* sink) {
    typedef typename P::Entry Entry;
    bool progressive = !(scan->ss == 0 && scan->se == 63 && scan->ah == 0 && scan->al == 0);
    if (!progressive && scan->count > 1) {
        i32 last_dc[3] = {0, 0, 0};
        baseline_interleaved(f, scan, sink, last_dc);
        return;
    }
    const P& p = sink->pass;
    ScanState st;
    st.last_dc[0] = st.last_dc[1] = st.last_dc[2] = 0;
    st.eobrun = 0;
    st.correction_count = 0;
    st.ac_slot = 0;
    Entry* const start = sink->entries;
    Entry* const limit = start + SYMBOL_CAPACITY - BLOCK_ENTRIES_MAX;
    Entry* e = start;
    if (scan->count > 1) {
        // Interleaved DC scans: MCU by MCU, each component's h x v blocks.
        for (u32 my = 0; my < f->mcus_down; my++) {
            for (u32 mx = 0; mx < f->mcus_across; mx++) {
                for (u32 i = 0; i < scan->count; i++) {
                    u32 ci = scan->component[i];
                    const JpegScanComponent* c = &f->comp[ci];
                    for (u32 v = 0; v < c->v; v++) {
                        u64 b = (u64)(my * c->v + v) * c->store_across + mx * c->h;
                        for (u32 h = 0; h < c->h; h++, b++) {
                            if (e > limit) {
                                drain(sink, (u32)(e - start));
                                e = start;
                            }
                            i32 dc = c->coefficients[64 * b] >> scan->al;
                            if (scan->ah == 0) {
                                e = code_dc(p, &st.last_dc[ci], dc, 2 * c->table, e);
                            } else {
                                *e++ = p.raw(1, (u32)dc & 1);
                            }
                        }
                    }
                }
            }
            if (stopped(sink)) return;
        }
    } else {
        // One component: its own blocks in raster order, no MCU padding.
        u32 ci = scan->component[0];
        const JpegScanComponent* c = &f->comp[ci];
        st.ac_slot = 2 * c->table + 1;
        for (u32 by = 0; by < c->real_down; by++) {
            const i16* zrow = c->coefficients + (u64)by * c->store_across * 64;
            const u64* mrow = c->masks + (u64)by * c->store_across;
            for (u32 bx = 0; bx < c->real_across; bx++) {
                if (e > limit) {
                    drain(sink, (u32)(e - start));
                    e = start;
                }
                const i16* z = zrow + 64 * bx;
                if (!progressive) {
                    e = code_baseline(p, z, mrow[bx], &st.last_dc[0], 2 * c->table, 2 * c->table + 1, e);
                } else if (scan->ss == 0) {
                    if (scan->ah == 0) {
                        e = code_dc(p, &st.last_dc[0], z[0] >> scan->al, 2 * c->table, e);
                    } else {
                        *e++ = p.raw(1, (u32)(z[0] >> scan->al) & 1);
                    }
                } else if (scan->ah == 0) {
                    e = code_ac_first(p, &st, z, mrow[bx], scan->ss, scan->se, scan->al, e);
                } else {
                    e = code_ac_refine(p, &st, z, mrow[bx], scan->ss, scan->se, scan->al, e);
                }
            }
            if (stopped(sink)) return;
        }
        e = flush_eobrun(p, &st, e);
    }
    drain(sink, (u32)(e - start));
}

void jpeg_scan_count(const JpegScanFrame* frame, const JpegScanSpec* scan, u64 freq[4][256]) {
    static_assert(sizeof(SymbolSink<CountPass>) < 20000, "the symbol sink lives on the stack");
    SymbolSink<CountPass> sink;
    u64 counts[5][256];
    memset(counts, 0, sizeof counts);
    sink.pass.freq = counts;
    run_scan(frame, scan, &sink);
    for (u32 t = 0; t < 4; t++) {
        for (u32 i = 0; i < 256; i++) freq[t][i] += counts[t][i];
    }
}

// Pads the last byte with 1 bits, then writes the remaining whole bytes.
static void finish_bits(u64 acc, u32 fill, JpegWriter* w) {
    if (w->overflow) return;
    u32 pad = (8 - (fill & 7)) & 7;
    acc = (acc << pad) | ((1u << pad) - 1);
    fill += pad;
    while (fill >= 8) {
        fill -= 8;
        u8 b = (u8)(acc >> fill);
        jpeg_put_byte(w, b);
        if (b == 0xFF) jpeg_put_byte(w, 0);
    }
}

static void init_emit(SymbolSink<EmitPass>* sink, const u32 (*codes)[256], JpegWriter* w, u64 acc, u32 fill) {
    sink->pass.codes = &codes[0][0];
    sink->pass.w = w;
    sink->pass.acc = acc;
    sink->pass.fill = fill;
}

void jpeg_scan_emit(const JpegScanFrame* frame, const JpegScanSpec* scan, const u32 (*codes)[256], JpegWriter* w) {
    static_assert(sizeof(SymbolSink<EmitPass>) < 40000, "the symbol sink lives on the stack");
    SymbolSink<EmitPass> sink;
    init_emit(&sink, codes, w, 0, 0);
    run_scan(frame, scan, &sink);
    finish_bits(sink.pass.acc, sink.pass.fill, w);
}

// ---- Sequential scan, straight to the output -------------------------------------
// The baseline scan skips the symbol buffer: its tables are fixed, so each
// symbol's code and extra bits go straight into a 64-bit accumulator that is
// stored a whole word at a time. `free` counts the accumulator's unused bits:
// the low 64 - free bits are pending, the bits above them are stale and are
// shifted out before they could reach the output. A symbol is at most 27 bits
// (a 16-bit code and 11 extra bits), so it splits over at most two words.

enum : u32 {
    // Largest MCU: 6 blocks of at most 1709 bits (a DC symbol of 22 bits, 63
    // AC symbols of 26, 3 runs of 16 zeros of 11 and an end of block of 16),
    // i.e. 214 bytes, doubled by stuffing, plus a word of slack: 2576 bytes.
    MCU_BYTES_MAX = 4096,
};

// Stores a full accumulator; a word holding 0xFF is redone byte by byte
// with a 0 after each 0xFF.
static QB_FORCE_INLINE void put_word(u8*& out, u64 word) {
    u64 be = __builtin_bswap64(word);
    memcpy(out, &be, 8);
    u64 inv = ~word;
    if (__builtin_expect(((inv - 0x0101010101010101ull) & ~inv & 0x8080808080808080ull) == 0, 1)) {
        out += 8;
        return;
    }
    for (int shift = 56; shift >= 0; shift -= 8) {
        u8 b = (u8)(word >> shift);
        *out++ = b;
        if (b == 0xFF) *out++ = 0;
    }
}

// Appends `len` bits (1..27, nothing above them set).
static QB_FORCE_INLINE void put_bits(u64& acc, i32& free, u8*& out, u32 bits, u32 len) {
    free -= (i32)len;
    if (free < 0) {
        // The top len + free bits fill the word; the rest start the next one.
        put_word(out, (acc << (len + free)) | (bits >> -free));
        free += 64;
        acc = bits;
    } else {
        acc = (acc << len) | bits;
    }
}

// |v| needs bit_count(|v|) bits: 31 - clz(2 |v| + 1) is that, 0 included.
static QB_FORCE_INLINE u32 magnitude_bits(u32 a) {
    return 31 - (u32)__builtin_clz(2 * a + 1);
}

void jpeg_baseline_codes(const u32 codes[256], JpegBaselineCodes* out) {
    for (u32 i = 0; i < 512; i++) {
        u32 symbol = i & 255, size = symbol & 15, code = codes[symbol];
        u32 negative = i >> 8;
        out->shifted[i] = ((code & 0xFFFF) + negative) << size;
        out->length[i] = (u8)((code >> 16) + size);
    }
}

// The symbol `symbol` (whose low 4 bits are the size n of v) followed by the
// n extra bits of v: the low n bits of v, or of v - 1 when v is negative.
// With s = v >> 31 and the entry shifted[symbol + 256] = (code + 1) << n for
// a negative v, the sum shifted + v + s is exactly that bit string, as
// 2^n + v - 1 is the low n bits of v - 1 for -2^n < v < 0.
static QB_FORCE_INLINE void put_value(const JpegBaselineCodes* t, u32 symbol, i32 v, i32 s, u64& acc, i32& free,
                                      u8*& out) {
    u32 i = symbol | ((u32)s & 256);
    put_bits(acc, free, out, t->shifted[i] + (u32)(v + s), t->length[i]);
}

// One block of the sequential scan (F.1.2.1 and F.1.2.2): the DC difference,
// then run/size symbols for the non-zero AC terms found through the mask,
// runs of 16 zeros as ZRL, and an end of block unless term 63 is non-zero.
static QB_FORCE_INLINE void put_block(const i16* z, u64 mask, i32* last_dc, const JpegBaselineCodes* dc,
                                      const JpegBaselineCodes* ac, u64& acc, i32& free, u8*& out) {
    i32 diff = z[0] - *last_dc;
    *last_dc = z[0];
    i32 sign = diff >> 31;
    put_value(dc, magnitude_bits((u32)((diff ^ sign) - sign)), diff, sign, acc, free, out);
    u64 m = mask & ~(u64)1;
    u32 last = 0;
    while (m) {
        u32 k = ctz64(m);
        m &= m - 1;
        u32 run = k - last - 1;
        last = k;
        if (__builtin_expect(run > 15, 0)) {
            do {
                put_bits(acc, free, out, ac->shifted[0xF0], ac->length[0xF0]);
                run -= 16;
            } while (run > 15);
        }
        i32 v = z[k];
        i32 s = v >> 31;
        u32 n = (31 ^ (u32)__builtin_clz((u32)((v ^ s) - s))) + 1;  // v is not zero
        put_value(ac, (run << 4) | n, v, s, acc, free, out);
    }
    if (last != 63) put_bits(acc, free, out, ac->shifted[0], ac->length[0]);
}

// The MCU walk for luminance sampled H x H and chrominance 1 x 1, the only
// layouts the encoder writes: with the layout fixed the blocks of an MCU are
// coded by straight-line code and the DC predictions stay in registers.
template <u32 H>
static QB_FORCE_INLINE void baseline_mcus(const JpegScanFrame* f, const JpegBaselineCodes (*codes)[2], JpegBaselineState* st,
                          JpegWriter* w) {
    u64 acc = st->acc;
    i32 free = st->free;
    i32 dc[3] = {st->last_dc[0], st->last_dc[1], st->last_dc[2]};
    u8* out = w->data + w->size;
    u8* const end = w->data + w->capacity;
    u8 scratch[MCU_BYTES_MAX];
    const JpegBaselineCodes* luma_dc = &codes[f->comp[0].table][0];
    const JpegBaselineCodes* luma_ac = &codes[f->comp[0].table][1];
    const JpegBaselineCodes* chroma_dc = &codes[f->comp[1].table][0];
    const JpegBaselineCodes* chroma_ac = &codes[f->comp[1].table][1];
    for (u32 my = 0; my < f->mcus_down; my++) {
        u64 luma_row = (u64)my * H * f->comp[0].store_across;
        const i16* yz = f->comp[0].coefficients + 64 * luma_row;
        const u64* ym = f->comp[0].masks + luma_row;
        u64 luma_below = 64 * (u64)f->comp[0].store_across;
        const i16* cbz = f->comp[1].coefficients + 64 * (u64)my * f->comp[1].store_across;
        const u64* cbm = f->comp[1].masks + (u64)my * f->comp[1].store_across;
        const i16* crz = f->comp[2].coefficients + 64 * (u64)my * f->comp[2].store_across;
        const u64* crm = f->comp[2].masks + (u64)my * f->comp[2].store_across;
        for (u32 mx = 0; mx < f->mcus_across; mx++) {
            // Near the end of the output an MCU is coded into the scratch
            // buffer first and copied only if it fits.
            bool careful = (u64)(end - out) < MCU_BYTES_MAX;
            u8* o = careful ? scratch : out;
            for (u32 v = 0; v < H; v++) {
                for (u32 h = 0; h < H; h++) {
                    put_block(yz + v * luma_below + 64 * h, ym[v * luma_below / 64 + h], &dc[0], luma_dc, luma_ac, acc,
                              free, o);
                }
            }
            put_block(cbz, *cbm, &dc[1], chroma_dc, chroma_ac, acc, free, o);
            put_block(crz, *crm, &dc[2], chroma_dc, chroma_ac, acc, free, o);
            yz += 64 * H;
            ym += H;
            cbz += 64;
            cbm++;
            crz += 64;
            crm++;
            if (careful) {
                u64 n = (u64)(o - scratch);
                if (n > (u64)(end - out)) {
                    w->overflow = true;
                    return;
                }
                memcpy(out, scratch, n);
                out += n;
            } else {
                out = o;
            }
        }
    }
    w->size = (u64)(out - w->data);
    st->acc = acc;
    st->free = free;
    for (u32 i = 0; i < 3; i++) st->last_dc[i] = dc[i];
}

void jpeg_baseline_rows(const JpegScanFrame* f, const JpegBaselineCodes (*codes)[2], JpegBaselineState* st,
                        JpegWriter* w) {
    if (w->overflow) return;
    if (f->comp[0].h == 2) {
        baseline_mcus<2>(f, codes, st, w);
    } else {
        baseline_mcus<1>(f, codes, st, w);
    }
}

// The same code built for processors with BMI1 and BMI2 (every one with
// AVX2 has them): clearing the lowest set bit and shifting by a register
// count become single instructions, a sixth fewer in the coder's loop.
__attribute__((target("bmi,bmi2"))) void jpeg_baseline_rows_bmi2(const JpegScanFrame* f,
                                                                  const JpegBaselineCodes (*codes)[2],
                                                                  JpegBaselineState* st, JpegWriter* w) {
    if (w->overflow) return;
    if (f->comp[0].h == 2) {
        baseline_mcus<2>(f, codes, st, w);
    } else {
        baseline_mcus<1>(f, codes, st, w);
    }
}

void jpeg_baseline_finish(const JpegBaselineState* st, JpegWriter* w) {
    u32 pending = 64 - (u32)st->free;
    u64 acc = pending ? st->acc & (~(u64)0 >> (64 - pending)) : 0;
    finish_bits(acc, pending, w);
}
