// Entropy coding of the encoder's scans. A scan walks its blocks and turns
// each into symbols (table slot, symbol, extra bits) in a buffer of 4096
// entries; when the buffer nears full, one tight loop either counts the
// symbols (the first pass of a progressive scan, whose tables are then
// optimised) or emits them. Both passes run the same symbol generator, so
// the counts describe exactly what is emitted. Symbols follow the standard's
// F.1.2 (baseline) and G.1.2 (progressive: DC first and refinement, AC first
// with end-of-band runs, AC refinement with buffered correction bits).
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
// An entry: bits 0-15 extra bits (already cut to their count), 16-20 the
// extra-bit count, 21-28 the symbol, 29-30 the table slot, bit 31 set for
// raw bits without a symbol (DC refinement bits and correction bits).

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

struct SymbolSink {
    u32 entries[SYMBOL_CAPACITY];
    u32 count;
    bool counting;
    u64 (*freq)[256];       // counting
    const u32 (*codes)[256];  // emitting
    JpegWriter* w;
    u64 acc;    // pending bits in the low `fill` bits
    u32 fill;
};

static QB_FORCE_INLINE u32 entry(u32 slot, u32 symbol, u32 nbits, u32 bits) {
    return (slot << 29) | (symbol << 21) | (nbits << 16) | bits;
}

static QB_FORCE_INLINE void write_word(SymbolSink* s, u32 word) {
    JpegWriter* w = s->w;
    if (w->capacity - w->size < 16) {
        w->overflow = true;
        return;
    }
    u8* p = w->data + w->size;
    // A byte is 0xFF when its complement is zero.
    u32 inv = ~word;
    if (((inv - 0x01010101u) & ~inv & 0x80808080u) == 0) {
        p[0] = (u8)(word >> 24);
        p[1] = (u8)(word >> 16);
        p[2] = (u8)(word >> 8);
        p[3] = (u8)word;
        w->size += 4;
        return;
    }
    u32 n = 0;
    for (int shift = 24; shift >= 0; shift -= 8) {
        u8 b = (u8)(word >> shift);
        p[n++] = b;
        if (b == 0xFF) p[n++] = 0;
    }
    w->size += n;
}

static QB_FORCE_INLINE void put_bits(SymbolSink* s, u32 value, u32 nbits) {
    s->acc = (s->acc << nbits) | value;
    s->fill += nbits;
    if (s->fill >= 32) {
        s->fill -= 32;
        write_word(s, (u32)(s->acc >> s->fill));
    }
}

static void drain(SymbolSink* s) {
    u32 n = s->count;
    s->count = 0;
    if (s->counting) {
        for (u32 i = 0; i < n; i++) {
            u32 e = s->entries[i];
            if (!(e & RAW)) s->freq[(e >> 29) & 3][(e >> 21) & 255]++;
        }
        return;
    }
    if (s->w->overflow) return;
    for (u32 i = 0; i < n; i++) {
        u32 e = s->entries[i];
        u32 nbits = (e >> 16) & 31;
        u32 bits = e & 0xFFFF;
        if (e & RAW) {
            put_bits(s, bits, nbits);
        } else {
            u32 code = s->codes[(e >> 29) & 3][(e >> 21) & 255];
            put_bits(s, ((code & 0xFFFF) << nbits) | bits, (code >> 16) + nbits);
        }
    }
}

static QB_FORCE_INLINE void push(SymbolSink* s, u32 e) {
    s->entries[s->count++] = e;
}

static QB_FORCE_INLINE void make_room(SymbolSink* s) {
    if (s->count > SYMBOL_CAPACITY - BLOCK_ENTRIES_MAX) drain(s);
}

static QB_FORCE_INLINE u32 bit_count(u32 v) {
    return v ? 32 - (u32)__builtin_clz(v) : 0;
}

static QB_FORCE_INLINE u32 ctz64(u64 v) {
    return (u32)__builtin_ctzll(v);
}

// Pushes `count` raw bits (one a byte) in entries of up to 16.
static void push_raw_bits(SymbolSink* s, const u8* bits, u32 count) {
    u32 i = 0;
    while (i < count) {
        u32 n = count - i < 16 ? count - i : 16;
        u32 v = 0;
        for (u32 j = 0; j < n; j++) v = (v << 1) | bits[i + j];
        push(s, RAW | entry(0, 0, n, v));
        i += n;
    }
}

// ---- Scan state --------------------------------------------------------------------

struct ScanState {
    SymbolSink* sink;
    i32 last_dc[3];
    u32 eobrun;
    u32 ac_slot;
    u32 correction_count;  // correction bits waiting for the end-of-band run
    u8 correction[1024];
};

static void flush_eobrun(ScanState* st) {
    if (st->eobrun == 0) return;
    u32 nbits = bit_count(st->eobrun) - 1;
    push(st->sink, entry(st->ac_slot, nbits << 4, nbits, st->eobrun & ((1u << nbits) - 1)));
    st->eobrun = 0;
    push_raw_bits(st->sink, st->correction, st->correction_count);
    st->correction_count = 0;
}

// ---- Block coders ----------------------------------------------------------------------

static QB_FORCE_INLINE void code_dc(ScanState* st, i32 value, u32 ci, u32 slot) {
    i32 diff = value - st->last_dc[ci];
    st->last_dc[ci] = value;
    u32 magnitude = (u32)(diff < 0 ? -diff : diff);
    u32 nbits = bit_count(magnitude);
    u32 bits = (u32)(diff < 0 ? diff - 1 : diff) & ((1u << nbits) - 1);
    push(st->sink, entry(slot, nbits, nbits, bits));
}

// Sequential: DC difference, then run/size symbols with ZRL and EOB.
static QB_FORCE_INLINE void code_baseline(ScanState* st, const i16* z, u64 mask, u32 ci, u32 dc_slot, u32 ac_slot) {
    SymbolSink* s = st->sink;
    code_dc(st, z[0], ci, dc_slot);
    u64 m = mask & ~(u64)1;
    u32 last = 0;
    while (m) {
        u32 k = ctz64(m);
        m &= m - 1;
        u32 run = k - last - 1;
        while (run > 15) {
            push(s, entry(ac_slot, 0xF0, 0, 0));
            run -= 16;
        }
        i32 v = z[k];
        u32 magnitude = (u32)(v < 0 ? -v : v);
        u32 nbits = bit_count(magnitude);
        u32 bits = (u32)(v < 0 ? v - 1 : v) & ((1u << nbits) - 1);
        push(s, entry(ac_slot, (run << 4) | nbits, nbits, bits));
        last = k;
    }
    if (last != 63) push(s, entry(ac_slot, 0x00, 0, 0));
}

static QB_FORCE_INLINE u64 band_mask(u32 ss, u32 se) {
    u64 upto = se == 63 ? ~(u64)0 : (((u64)1 << (se + 1)) - 1);
    return upto & ~(((u64)1 << ss) - 1);
}

// Progressive AC first pass: coefficients divided by 2^Al (towards zero);
// blocks ending in zeros add to the end-of-band run.
static QB_FORCE_INLINE void code_ac_first(ScanState* st, const i16* z, u64 mask, u32 ss, u32 se, u32 al) {
    SymbolSink* s = st->sink;
    u64 m = mask & band_mask(ss, se);
    u32 last = ss - 1;
    while (m) {
        u32 k = ctz64(m);
        m &= m - 1;
        i32 v = z[k];
        u32 a = (u32)(v < 0 ? -v : v) >> al;
        if (a == 0) continue;
        flush_eobrun(st);
        u32 run = k - last - 1;
        while (run > 15) {
            push(s, entry(st->ac_slot, 0xF0, 0, 0));
            run -= 16;
        }
        u32 nbits = bit_count(a);
        u32 bits = (v < 0 ? ~a : a) & ((1u << nbits) - 1);
        push(s, entry(st->ac_slot, (run << 4) | nbits, nbits, bits));
        last = k;
    }
    if (last != se) {
        st->eobrun++;
        if (st->eobrun == EOBRUN_MAX) flush_eobrun(st);
    }
}

// Progressive AC refinement: coefficients that were already non-zero give
// one correction bit each, sent after the next symbol (or with the pending
// end-of-band run); newly non-zero ones (magnitude 1) are coded as run/1.
static QB_FORCE_INLINE void code_ac_refine(ScanState* st, const i16* z, u64 mask, u32 ss, u32 se, u32 al) {
    SymbolSink* s = st->sink;
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
            flush_eobrun(st);
            push(s, entry(st->ac_slot, 0xF0, 0, 0));
            r -= 16;
            push_raw_bits(s, pending, br);
            br = 0;
        }
        if (a > 1) {
            pending[br++] = (u8)(a & 1);
            continue;
        }
        flush_eobrun(st);
        push(s, entry(st->ac_slot, (r << 4) | 1, 1, v < 0 ? 0 : 1));
        push_raw_bits(s, pending, br);
        br = 0;
        r = 0;
    }
    r += se + 1 - next;
    if (r > 0 || br > 0) {
        st->eobrun++;
        memcpy(st->correction + st->correction_count, pending, br);
        st->correction_count += br;
        if (st->eobrun == EOBRUN_MAX || st->correction_count > CORRECTION_LIMIT) flush_eobrun(st);
    }
}

// ---- Scan walk ----------------------------------------------------------------------------

static void run_scan(const JpegScanFrame* f, const JpegScanSpec* scan, SymbolSink* sink) {
    ScanState st;
    st.sink = sink;
    st.last_dc[0] = st.last_dc[1] = st.last_dc[2] = 0;
    st.eobrun = 0;
    st.correction_count = 0;
    st.ac_slot = 0;
    bool progressive = !(scan->ss == 0 && scan->se == 63 && scan->ah == 0 && scan->al == 0);
    if (scan->count > 1) {
        // Interleaved: MCU by MCU, each component's h x v blocks in turn.
        for (u32 my = 0; my < f->mcus_down; my++) {
            for (u32 mx = 0; mx < f->mcus_across; mx++) {
                for (u32 i = 0; i < scan->count; i++) {
                    u32 ci = scan->component[i];
                    const JpegScanComponent* c = &f->comp[ci];
                    for (u32 v = 0; v < c->v; v++) {
                        u64 row = (u64)(my * c->v + v) * c->store_across + mx * c->h;
                        for (u32 h = 0; h < c->h; h++) {
                            u64 b = row + h;
                            const i16* z = c->coefficients + 64 * b;
                            make_room(sink);
                            if (!progressive) {
                                code_baseline(&st, z, c->masks[b], ci, 2 * c->table, 2 * c->table + 1);
                            } else if (scan->ah == 0) {
                                code_dc(&st, z[0] >> scan->al, ci, 2 * c->table);
                            } else {
                                push(sink, RAW | entry(0, 0, 1, (u32)(z[0] >> scan->al) & 1));
                            }
                        }
                    }
                }
            }
            if (!sink->counting && sink->w->overflow) break;
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
                make_room(sink);
                const i16* z = zrow + 64 * bx;
                if (!progressive) {
                    code_baseline(&st, z, mrow[bx], ci, 2 * c->table, 2 * c->table + 1);
                } else if (scan->ss == 0) {
                    if (scan->ah == 0) {
                        code_dc(&st, z[0] >> scan->al, ci, 2 * c->table);
                    } else {
                        push(sink, RAW | entry(0, 0, 1, (u32)(z[0] >> scan->al) & 1));
                    }
                } else if (scan->ah == 0) {
                    code_ac_first(&st, z, mrow[bx], scan->ss, scan->se, scan->al);
                } else {
                    code_ac_refine(&st, z, mrow[bx], scan->ss, scan->se, scan->al);
                }
            }
            if (!sink->counting && sink->w->overflow) break;
        }
        flush_eobrun(&st);
    }
    drain(sink);
}

void jpeg_scan_count(const JpegScanFrame* frame, const JpegScanSpec* scan, u64 freq[4][256]) {
    static_assert(sizeof(SymbolSink) < 20000, "the symbol sink lives on the stack");
    SymbolSink sink;
    sink.count = 0;
    sink.counting = true;
    sink.freq = freq;
    sink.codes = nullptr;
    sink.w = nullptr;
    sink.acc = 0;
    sink.fill = 0;
    run_scan(frame, scan, &sink);
}

void jpeg_scan_emit(const JpegScanFrame* frame, const JpegScanSpec* scan, const u32 (*codes)[256], JpegWriter* w) {
    SymbolSink sink;
    sink.count = 0;
    sink.counting = false;
    sink.freq = nullptr;
    sink.codes = codes;
    sink.w = w;
    sink.acc = 0;
    sink.fill = 0;
    run_scan(frame, scan, &sink);
    if (w->overflow) return;
    // Pad the last byte with 1 bits, then the remaining whole bytes.
    u32 pad = (8 - (sink.fill & 7)) & 7;
    sink.acc = (sink.acc << pad) | ((1u << pad) - 1);
    sink.fill += pad;
    while (sink.fill >= 8) {
        sink.fill -= 8;
        u8 b = (u8)(sink.acc >> sink.fill);
        jpeg_put_byte(w, b);
        if (b == 0xFF) jpeg_put_byte(w, 0);
    }
}
