// Entropy decoding: the scratch layout of the coefficient store, the bit
// reader, the five block decoders (sequential and the four progressive kinds)
// and the driver that walks a file's scans. Before a scan is decoded its
// restart intervals are located by a fast search for 0xFF, so each interval
// is decoded by a reader that is bounded by exactly its bytes: a reader can
// never run into the next interval or past the data, and a marker in the
// wrong place is found before any coefficient is written.
//
// Memory is touched once. The preview pass keeps only the DC terms (every
// AC symbol is still decoded and checked, so a damaged file fails there);
// the coefficient store is written by the full pass alone. Neither pass
// clears its planes ahead: the first scan that covers a component writes
// each of its blocks whole, zeros included, and only a plane that some other
// kind of scan reaches first, or that no scan reaches, is cleared in one go.
//
// Sequential scans, the bulk of most files, have walks of their own that
// keep the reader and the scan's components in registers; the preview's
// walk drops AC symbols several at a time. A fault's offset is where the
// reader stood, so every walk reports the offset of the plain one-symbol
// walk, which refills at fixed points: a walk that takes symbols in groups
// decodes a failed interval again one symbol at a time for it.
#include "codec/jpeg/bit_reader.h"
#include "codec/jpeg/jpeg.h"
#include "codec/jpeg/kernels.h"
#include "codec/jpeg/mask_sse2.h"

#include <string.h>

// ---- Working layout ------------------------------------------------------------

static_assert(((sizeof(JpegDecoder) + 63) & ~(u64)63) + 3 * 65536 * 4 <= JPEG_FIXED_BYTES,
              "the decoder record and the restart index fit the fixed part");
static_assert(sizeof(JpegHuffman) == 611 * 4, "a Huffman table is 611 words");

bool jpeg_working_layout(const JpegDecoder* d, JpegLayout* L) {
    *L = JpegLayout{};
    if (!d->frame_seen) return false;
    L->restart_start = align64(sizeof(JpegDecoder));
    L->restart_end = L->restart_start + 65536 * 4;
    L->restart_first = L->restart_end + 65536 * 4;
    // The frame header bounds the coefficients at 1 GiB, so no sum overflows.
    u64 off = JPEG_FIXED_BYTES;
    for (u32 c = 0; c < d->components; c++) {
        const JpegComponent* k = &d->comp[c];
        u64 blocks = (u64)k->blocks_across * k->blocks_down;
        L->coefficients[c] = off;
        off += blocks * 128;
        L->dc[c] = off;
        off += align64(2 * blocks + 16);
        L->preview_stride[c] = ((k->preview_width + 7) & ~7u) + 16;
        L->preview[c] = off;
        off += align64(L->preview_stride[c] * k->preview_height);
    }
    L->row_buffer_size = align64(((d->comp[0].preview_width + 31) & ~31u) | 16);
    for (u32 c = 1; c < d->components; c++) {
        L->row_buffer[c] = off;
        off += L->row_buffer_size;
    }
    L->total = off;
    return true;
}

void jpeg_planes_from_layout(u8* scratch, const JpegLayout* L, JpegPlanes* planes, JpegRestartIndex* index) {
    *planes = JpegPlanes{};
    const JpegDecoder* d = (const JpegDecoder*)scratch;
    for (u32 c = 0; c < d->components; c++) {
        const JpegComponent* k = &d->comp[c];
        u64 blocks = (u64)k->blocks_across * k->blocks_down;
        JpegPlane* p = &planes->plane[c];
        p->coefficients = (i16*)(scratch + L->coefficients[c]);
        p->coefficient_count = blocks * 64;
        p->dc = (i16*)(scratch + L->dc[c]);
        p->dc_count = blocks;
        p->preview = scratch + L->preview[c];
        p->preview_stride = L->preview_stride[c];
        p->preview_size = L->preview_stride[c] * k->preview_height;
        if (c > 0) planes->row_buffer[c] = scratch + L->row_buffer[c];
    }
    planes->row_buffer_size = L->row_buffer_size;
    *index = JpegRestartIndex{};
    index->start = (u32*)(scratch + L->restart_start);
    index->end = (u32*)(scratch + L->restart_end);
    index->first_unit = (u32*)(scratch + L->restart_first);
    index->capacity = 65536;
}

// ---- Block decoders ------------------------------------------------------------------
// Each returns 0 or JPEG_BAD_DATA. Predictors wrap to 16 bits like the
// coefficients they produce, so no input can overflow them.

// The magnitude bits of an entry read and dropped, for a value not kept.
static QB_FORCE_INLINE void skip_value(BitReader* r, u32 e) {
    u32 s = (e >> 9) & 15;
    r->buf <<= s;
    r->bits -= s;
}

// The preview's sequential block: the DC predictor advances and the AC
// symbols are checked and dropped, several at a time through the skip table
// (FAST), or one at a time. A run from the table is taken when every one of
// its positions is valid; anything else goes through the one-symbol loop,
// which finds any fault. The table's runs may cross the points where the
// one-symbol loop would refill the reader, so a fault's offset (the reader's
// position) can differ between the two: an interval that fails is decoded
// again one symbol at a time for the offset (see decode_interval_preview).
// Whether an interval fails does not depend on the walk: both check the
// same symbols.
template <bool FAST>
static QB_FORCE_INLINE u32 decode_block_preview(BitReader* r, const JpegHuffman* dc, const JpegHuffman* ac,
                                                const u16* skip, i32* pred) {
    if (r->bits < 32) refill(r);
    i32 v;
    u32 e = decode_whole(r, dc, true, &v);
    if (e == 0) return JPEG_BAD_DATA;
    *pred = (i16)(u16)((u32)*pred + (u32)v);
    u32 k = 1;
    for (;;) {
        if (r->bits < 32) refill(r);
        if (FAST) {
            // A run takes at most 27 bits.
            u32 m = skip[r->buf >> (64 - JPEG_SKIP_BITS)];
            u32 advance = (m >> 5) & 127;
            if (k + advance <= 64) {
                u32 n = m & 31;
                r->buf <<= n;
                r->bits -= n;
                k += advance;
                if (k >= 64 || (m & JPEG_SKIP_EOB)) return 0;
                continue;
            }
        }
        e = decode_symbol(r, ac, false);
        if (e == 0) return JPEG_BAD_DATA;
        u32 run = (e >> 5) & 15;
        if (e & (1u << 13)) {
            k += run;
            if (k > 63) return JPEG_BAD_DATA;
            skip_value(r, e);
            k++;
        } else {
            if (run != 15) return 0;
            k += 16;
        }
        if (k >= 64) return 0;
    }
}

// `block` is the first coefficient of the block, or its entry in the DC plane
// when only the DC terms are kept.
static QB_FORCE_INLINE u32 decode_block_dc_first(BitReader* r, const JpegHuffman* dc, i32* pred, i16* block,
                                                 bool clear, u32 al) {
    if (clear) jpeg_clear_block_sse2(block);
    if (r->bits < 32) refill(r);
    u32 e = decode_symbol(r, dc, true);
    if (e == 0) return JPEG_BAD_DATA;
    *pred = (i16)(u16)((u32)*pred + (u32)entry_value(r, e));
    block[0] = (i16)(u16)((u32)*pred << al);
    return 0;
}

static QB_FORCE_INLINE u32 decode_block_dc_refine(BitReader* r, i16* block, u32 al) {
    if (get_bits(r, 1)) block[0] = (i16)(u16)((u32)(u16)block[0] | (1u << al));
    return 0;
}

static u32 decode_block_ac_first(BitReader* r, const JpegHuffman* ac, u32* eobrun, i16* block, u32 ss, u32 se,
                                 u32 al, const u8* zz) {
    if (*eobrun) {
        (*eobrun)--;
        return 0;
    }
    for (u32 k = ss; k <= se; k++) {
        if (r->bits < 32) refill(r);
        i32 v;
        u32 e = decode_whole(r, ac, false, &v);
        if (e == 0) return JPEG_BAD_DATA;
        u32 run = (e >> 5) & 15;
        if (e & (1u << 13)) {
            k += run;
            if (k > se) return JPEG_BAD_DATA;
            block[zz[k]] = (i16)(u16)((u32)v << al);
        } else if (run == 15) {
            k += 15;
        } else {
            *eobrun = (1u << run) - 1 + get_bits(r, run);
            break;
        }
    }
    return 0;
}

u64 jpeg_nonzero_mask_scalar(const i16* block) {
    u64 mask = 0;
    for (u32 i = 0; i < 64; i++) mask |= (u64)(block[i] != 0) << i;
    return mask;
}

// The zigzag positions of a natural-order mask: bit k set when coefficient
// zz[k] is. `unzz` maps natural positions to zigzag ones.
static QB_FORCE_INLINE u64 zigzag_mask(u64 natural, const u8* unzz) {
    u64 mask = 0;
    while (natural) {
        mask |= 1ull << unzz[__builtin_ctzll(natural)];
        natural &= natural - 1;
    }
    return mask;
}

// The correction bit of a coefficient with a non-zero history: when set and
// the coefficient lacks this scan's bit, its magnitude grows by it.
static QB_FORCE_INLINE void correct(BitReader* r, i16* c, i32 p1, i32 m1) {
    // Without branches: the bit is as likely 0 as 1.
    i32 v = *c;
    i32 apply = -(i32)(get_bits(r, 1) & (u32)((v & p1) == 0));
    *c = (i16)(v + ((v >= 0 ? p1 : m1) & apply));
}

// Every coefficient of zigzag positions `set` (ascending) corrected.
static QB_FORCE_INLINE void correct_all(BitReader* r, i16* block, u64 set, const u8* zz, i32 p1, i32 m1) {
    while (set) {
        correct(r, &block[zz[__builtin_ctzll(set)]], p1, m1);
        set &= set - 1;
    }
}

// Refines the band: correction bits for coefficients already non-zero, new
// coefficients of magnitude 1 << al after their run of zero-history ones.
// Which coefficients have a history is read once per block into a mask of
// zigzag positions, so the walks visit only the non-zero ones and find the
// end of a run of zeros by counting bits; the bits are read in the same
// order, and the reader refilled at the same points, as one position at a
// time would.
static u32 decode_block_ac_refine(BitReader* r, const JpegHuffman* ac, u32* eobrun, i16* block, u32 ss, u32 se,
                                  u32 al, const u8* zz, const u8* unzz) {
    i32 p1 = 1 << al;
    i32 m1 = -p1;
    // Positions ss..se; se is at most 63.
    u64 band = (se == 63 ? ~0ull : (1ull << (se + 1)) - 1) & ~((1ull << ss) - 1);
    u64 history = zigzag_mask(jpeg_nonzero_mask_sse2(block), unzz) & band;
    u32 k = ss;
    if (*eobrun == 0) {
        for (; k <= se; k++) {
            if (r->bits < 32) refill(r);
            u32 e = decode_symbol(r, ac, false);
            if (e == 0) return JPEG_BAD_DATA;
            u32 run = (e >> 5) & 15;
            u32 size = (e >> 9) & 15;
            i32 value = 0;
            if (e & (1u << 13)) {
                // Magnitude 1 only: either folded (value +-1) or one bit to read.
                if (size > 1) return JPEG_BAD_DATA;
                i32 v = size ? (get_bits(r, 1) ? 1 : -1) : (i32)e >> 16;
                if (v != 1 && v != -1) return JPEG_BAD_DATA;
                value = v > 0 ? p1 : m1;
            } else if (run != 15) {
                *eobrun = (1u << run) + get_bits(r, run);
                break;
            }
            // The position of the (run + 1)-th zero-history coefficient from
            // k on, or se + 1 when there are not that many; every non-zero one
            // before it is corrected.
            u64 from = band & ~((1ull << k) - 1);
            u64 zeros = from & ~history;
            for (u32 i = 0; i < run && zeros; i++) zeros &= zeros - 1;
            u32 target = zeros ? (u32)__builtin_ctzll(zeros) : se + 1;
            u64 before = target > 63 ? from : from & ((1ull << target) - 1);
            correct_all(r, block, history & before, zz, p1, m1);
            k = target;
            if (value) {
                if (k > se) return JPEG_BAD_DATA;
                block[zz[k]] = (i16)value;
            }
        }
    }
    if (*eobrun) {
        if (k <= se) correct_all(r, block, history & ~((1ull << k) - 1), zz, p1, m1);
        (*eobrun)--;
    }
    return 0;
}

// ---- Restart index ----------------------------------------------------------------------

enum : u32 { SCAN_SEQUENTIAL = 0, SCAN_DC_FIRST = 1, SCAN_DC_REFINE = 2, SCAN_AC_FIRST = 3, SCAN_AC_REFINE = 4 };

static u32 scan_kind(const JpegDecoder* d, const JpegScan* s) {
    if (d->coding != JPEG_PROGRESSIVE) return SCAN_SEQUENTIAL;
    if (s->ss == 0) return s->ah == 0 ? SCAN_DC_FIRST : SCAN_DC_REFINE;
    return s->ah == 0 ? SCAN_AC_FIRST : SCAN_AC_REFINE;
}

static u32 scan_units(const JpegDecoder* d, const JpegScan* s) {
    if (s->scan_components >= 2) return d->mcus_across * d->mcus_down;
    const JpegComponent* c = &d->comp[s->component[0]];
    return c->preview_width * c->preview_height;
}

// Offset of the first 0xFF at or after `pos`, or `length`; 16 bytes a step
// by testing two words for a 0xFF byte. The scalar twin of the vector
// search the scans use (kernels.h).
u64 jpeg_find_ff_scalar(const u8* p, u64 pos, u64 length) {
    while (pos + 16 <= length) {
        u64 a;
        u64 b;
        memcpy(&a, p + pos, 8);
        memcpy(&b, p + pos + 8, 8);
        if (has_ff_byte(a) || has_ff_byte(b)) break;
        pos += 16;
    }
    while (pos < length && p[pos] != 0xFF) pos++;
    return pos;
}

static bool build_restart_index(const u8* p, u64 length, const JpegDecoder* d, const JpegScan* s,
                                JpegRestartIndex* index, u64* scan_end, JpegStatus* st) {
    u32 kind = scan_kind(d, s);
    u32 units = scan_units(d, s);
    u32 size = d->restart_interval != 0 && d->restart_interval <= units ? d->restart_interval : units;
    u64 count = ceil_div(units, size);
    if (count > JPEG_INTERVAL_LIMIT || count > index->capacity) return jpeg_fail(st, JPEG_LIMIT, s->data_offset);
    for (u32 i = 0; i < s->scan_components; i++) {
        bool need_dc = kind == SCAN_SEQUENTIAL || kind == SCAN_DC_FIRST;
        bool need_ac = kind == SCAN_SEQUENTIAL || kind == SCAN_AC_FIRST || kind == SCAN_AC_REFINE;
        if (need_dc && !(d->dc_defined & (1u << s->dc_table[i]))) return jpeg_fail(st, JPEG_BAD_TABLE, s->data_offset);
        if (need_ac && !(d->ac_defined & (1u << s->ac_table[i]))) return jpeg_fail(st, JPEG_BAD_TABLE, s->data_offset);
    }
    index->units = units;
    index->interval_size = size;
    index->interval_count = (u32)count;
    u32 interval = 0;
    index->start[0] = (u32)s->data_offset;
    index->first_unit[0] = 0;
    u64 pos = s->data_offset;
    for (;;) {
        u64 f = jpeg_kernels()->find_ff(p, pos, length);
        if (f + 1 >= length) return jpeg_fail(st, JPEG_TRUNCATED, length);
        u8 c = p[f + 1];
        if (c == 0x00) {
            pos = f + 2;
        } else if (c == 0xFF) {
            pos = f + 1;
        } else if (c >= 0xD0 && c <= 0xD7) {
            if (interval + 1 >= count || (c & 7u) != (interval & 7u)) return jpeg_fail(st, JPEG_BAD_DATA, f);
            index->end[interval] = (u32)f;
            interval++;
            index->start[interval] = (u32)(f + 2);
            index->first_unit[interval] = interval * size;
            pos = f + 2;
        } else {
            if (interval + 1 != count) return jpeg_fail(st, JPEG_BAD_DATA, f);
            index->end[interval] = (u32)f;
            *scan_end = f;
            return true;
        }
    }
}

// ---- Scan decoding ---------------------------------------------------------------------

// One component of a scan as the preview walk uses it, looked up once per
// interval rather than once per block.
struct PreviewPart {
    const JpegHuffman* dc;
    const JpegHuffman* ac;
    const u16* skip;
    i16* plane;    // the DC plane
    u64 across;    // blocks per plane row
    i32 pred;
};

// The preview pass over units [u, u1) of an interval: DC terms only, the
// first part's blocks YW x YH per unit, every other part's one (YW = YH = 0:
// any layout, read from `w` and `h`). Units step along their column and row.
template <bool FAST, u32 YW, u32 YH>
static QB_FORCE_INLINE u32 preview_units(BitReader* r, PreviewPart* part, u32 ns, const u32* w, const u32* h, u32 u,
                                         u32 u1, u32 across, u32 ux, u32 uy) {
    for (; u < u1; u++, ux = ux + 1 < across ? ux + 1 : 0, uy += ux == 0) {
        for (u32 i = 0; i < ns; i++) {
            PreviewPart* c = &part[i];
            u32 bw = YW != 0 ? (i == 0 ? YW : 1) : w[i];
            u32 bh = YW != 0 ? (i == 0 ? YH : 1) : h[i];
            i16* at = c->plane + (u64)uy * bh * c->across + (u64)ux * bw;
            for (u32 y = 0; y < bh; y++) {
                for (u32 x = 0; x < bw; x++) {
                    u32 fault = decode_block_preview<FAST>(r, c->dc, c->ac, c->skip, &c->pred);
                    if (fault) return fault;
                    at[(u64)y * c->across + x] = (i16)c->pred;
                }
            }
        }
    }
    return 0;
}

// Where an interval's units lie: the first and the end unit, the units
// across the scan and the first one's column and row (stepped along rather
// than divided out for every unit), and each scan component's blocks per
// unit (1 x 1 in a scan of one component). `shape` picks the sequential
// walks' specialisations: 22 when the first component is 2 x 2 and the
// others 1 x 1, 11 when all are 1 x 1, 0 for any other sampling.
struct IntervalUnits {
    u32 u0, u1;
    u32 across, ux, uy;
    u32 w[4], h[4];
    u32 shape;
};

static QB_FORCE_INLINE void interval_units(const JpegDecoder* d, const JpegScan* s, const JpegRestartIndex* index,
                                           u32 interval, IntervalUnits* g) {
    u32 ns = s->scan_components;
    bool ones = true;
    for (u32 i = 0; i < ns; i++) {
        const JpegComponent* c = &d->comp[s->component[i]];
        g->w[i] = ns >= 2 ? c->h : 1;
        g->h[i] = ns >= 2 ? c->v : 1;
        if (i > 0 && (g->w[i] != 1 || g->h[i] != 1)) ones = false;
    }
    g->shape = !ones ? 0 : (g->w[0] == 2 && g->h[0] == 2) ? 22 : (g->w[0] == 1 && g->h[0] == 1) ? 11 : 0;
    g->u0 = index->first_unit[interval];
    g->u1 = g->u0 + index->interval_size < index->units ? g->u0 + index->interval_size : index->units;
    g->across = ns >= 2 ? d->mcus_across : d->comp[s->component[0]].preview_width;
    g->ux = g->u0 % g->across;
    g->uy = g->u0 / g->across;
}

template <bool FAST>
static u32 preview_interval(const u8* p, const JpegDecoder* d, const JpegScan* s, const JpegPlanes* planes,
                            const JpegRestartIndex* index, u32 interval, u64* fault_at) {
    BitReader r = {p, index->start[interval], index->end[interval], 0, 0, 0};
    u32 ns = s->scan_components;
    PreviewPart part[4];
    for (u32 i = 0; i < ns; i++) {
        u32 ci = s->component[i];
        const JpegComponent* c = &d->comp[ci];
        part[i] = PreviewPart{&d->dc[s->dc_table[i]], &d->ac[s->ac_table[i]], d->ac_skip[s->ac_table[i]],
                              planes->plane[ci].dc, c->blocks_across, 0};
    }
    IntervalUnits g;
    interval_units(d, s, index, interval, &g);
    u32 fault;
    if (g.shape == 22) {
        fault = preview_units<FAST, 2, 2>(&r, part, ns, g.w, g.h, g.u0, g.u1, g.across, g.ux, g.uy);
    } else if (g.shape == 11) {
        fault = preview_units<FAST, 1, 1>(&r, part, ns, g.w, g.h, g.u0, g.u1, g.across, g.ux, g.uy);
    } else {
        fault = preview_units<FAST, 0, 0>(&r, part, ns, g.w, g.h, g.u0, g.u1, g.across, g.ux, g.uy);
    }
    *fault_at = r.pos;
    if (fault) return fault;
    if (r.bits < r.padding) {
        *fault_at = index->end[interval];
        return JPEG_BAD_DATA;
    }
    return 0;
}

// The fast walk first; on a fault the interval again one symbol at a time,
// for the offset that walk reports.
static bool decode_interval_preview(const u8* p, const JpegDecoder* d, const JpegScan* s, const JpegPlanes* planes,
                                    const JpegRestartIndex* index, u32 interval, JpegStatus* st) {
    u64 at = 0;
    u32 fault = preview_interval<true>(p, d, s, planes, index, interval, &at);
    if (fault == 0) return true;
    fault = preview_interval<false>(p, d, s, planes, index, interval, &at);
    return jpeg_fail(st, fault ? fault : JPEG_BAD_DATA, at);
}

// One component of a sequential scan as the full pass's walk uses it.
struct StorePart {
    const JpegHuffman* dc;
    const JpegHuffman* ac;
    const u64* wide;    // the AC table's wide table
    i16* coefficients;  // the coefficient store
    i16* dc_plane;
    u64 across;  // blocks per plane row
    i32 pred;
    bool clear;  // blocks zeroed before they are decoded
    // Packed store: where the next block of each of the unit's block rows
    // goes (carried from one interval to the next), and a row's header.
    u8* at[4];
    u64 header;
};

// Positions in order: a block decoded with it is in zigzag order.
static const u8 zigzag_order[80] = {
    0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26,
    27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 52, 53,
    54, 55, 56, 57, 58, 59, 60, 61, 62, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63};

// A block decoded in zigzag order (`block`, 16-byte aligned with 64 bytes
// of slack) appended to a packed row at `at`, whose place ends at `end`:
// returns where the next block goes.
static QB_FORCE_INLINE u8* pack_block(const i16* block, u8* at, const u8* end) {
    u64 mask = jpeg_nonzero_mask_sse2(block) & ~1ull;
    u32 n = mask ? 63 - (u32)__builtin_clzll(mask) : 0;
    at[0] = (u8)n;
    // A whole block's worth at once where the row's place has room for it
    // (what lies past n is overwritten by the next block, or never read).
    if (at + 129 <= end) {
        memcpy(at + 1, block + 1, 128);
    } else {
        memcpy(at + 1, block + 1, 2 * (u64)n);
    }
    return at + 1 + 2 * (u64)n;
}

// The full pass over units [u, u1) of a sequential interval, laid out as
// preview_units walks them: every coefficient stored, the DC term copied to
// the DC plane. The walk keeps the reader and the parts in registers, which
// the general decode_interval, shared by every kind of scan, does not. With
// PACK each block is decoded into `stage` in zigzag order and appended to
// its packed row.
template <bool WIDE, bool PACK, u32 YW, u32 YH>
static QB_FORCE_INLINE u32 store_units(BitReader* r, StorePart* part, u32 ns, const u32* w, const u32* h, u32 u,
                                       u32 u1, u32 across, u32 ux, u32 uy, i16* stage) {
    const u8* zz = PACK ? zigzag_order : jpeg_zigzag;
    for (; u < u1; u++, ux = ux + 1 < across ? ux + 1 : 0, uy += ux == 0) {
        for (u32 i = 0; i < ns; i++) {
            StorePart* c = &part[i];
            u32 bw = YW != 0 ? (i == 0 ? YW : 1) : w[i];
            u32 bh = YW != 0 ? (i == 0 ? YH : 1) : h[i];
            u64 base = (u64)uy * bh * c->across + (u64)ux * bw;
            u64 row_bytes = c->across * 128;
            if (PACK && ux == 0) {
                for (u32 y = 0; y < bh; y++) {
                    c->at[y] = (u8*)c->coefficients + ((u64)uy * bh + y) * row_bytes + c->header;
                }
            }
            for (u32 y = 0; y < bh; y++) {
                for (u32 x = 0; x < bw; x++) {
                    u64 b = base + (u64)y * c->across + x;
                    i16* block = PACK ? stage : c->coefficients + b * 64;
                    bool clear = PACK || c->clear;
                    u32 fault = WIDE ? decode_block_wide(r, c->dc, c->ac, c->wide, &c->pred, block, clear, zz)
                                     : decode_block_sequential(r, c->dc, c->ac, &c->pred, block, clear, zz);
                    if (fault) return fault;
                    c->dc_plane[b] = block[0];
                    if (PACK) {
                        u8* row = (u8*)c->coefficients + ((u64)uy * bh + y) * row_bytes;
                        u32 bx = ux * bw + x;
                        if ((bx & 31) == 0) ((u32*)row)[bx >> 5] = (u32)(c->at[y] - row);
                        c->at[y] = pack_block(stage, c->at[y], row + row_bytes);
                    }
                }
            }
        }
    }
    return 0;
}

template <bool WIDE, bool PACK>
static __attribute__((noinline)) u32 store_interval(const u8* p, const JpegDecoder* d, const JpegScan* s,
                                                    const JpegPlanes* planes, const JpegRestartIndex* index,
                                                    u32 interval, u32 clear, u8* (*cursor)[4], u64* fault_at) {
    BitReader r = {p, index->start[interval], index->end[interval], 0, 0, 0};
    u32 ns = s->scan_components;
    StorePart part[4];
    for (u32 i = 0; i < ns; i++) {
        u32 ci = s->component[i];
        const JpegComponent* c = &d->comp[ci];
        part[i] = StorePart{&d->dc[s->dc_table[i]], &d->ac[s->ac_table[i]], d->ac_wide[s->ac_table[i]],
                            planes->plane[ci].coefficients,
                            planes->plane[ci].dc, c->blocks_across, 0, ((clear >> i) & 1) != 0,
                            {cursor[i][0], cursor[i][1], cursor[i][2], cursor[i][3]},
                            jpeg_packed_header(c->blocks_across)};
    }
    alignas(64) i16 stage[64 + 32];
    IntervalUnits g;
    interval_units(d, s, index, interval, &g);
    u32 fault;
    if (g.shape == 22) {
        fault = store_units<WIDE, PACK, 2, 2>(&r, part, ns, g.w, g.h, g.u0, g.u1, g.across, g.ux, g.uy, stage);
    } else if (g.shape == 11) {
        fault = store_units<WIDE, PACK, 1, 1>(&r, part, ns, g.w, g.h, g.u0, g.u1, g.across, g.ux, g.uy, stage);
    } else {
        fault = store_units<WIDE, PACK, 0, 0>(&r, part, ns, g.w, g.h, g.u0, g.u1, g.across, g.ux, g.uy, stage);
    }
    *fault_at = r.pos;
    if (fault) return fault;
    if (r.bits < r.padding) {
        *fault_at = index->end[interval];
        return JPEG_BAD_DATA;
    }
    // The packed rows' places carry on into the next interval; a failed
    // one leaves them as they were for the walk that finds the offset.
    for (u32 i = 0; i < ns; i++) memcpy(cursor[i], part[i].at, sizeof part[i].at);
    return 0;
}

// The wide walk first; on a fault the interval again one symbol at a time,
// for the offset that walk reports.
static bool decode_interval_store(const u8* p, const JpegDecoder* d, const JpegScan* s, const JpegPlanes* planes,
                                  const JpegRestartIndex* index, u32 interval, u32 clear, bool pack,
                                  u8* (*cursor)[4], JpegStatus* st) {
    u64 at = 0;
    u32 fault = pack ? store_interval<true, true>(p, d, s, planes, index, interval, clear, cursor, &at)
                     : store_interval<true, false>(p, d, s, planes, index, interval, clear, cursor, &at);
    if (fault == 0) return true;
    fault = pack ? store_interval<false, true>(p, d, s, planes, index, interval, clear, cursor, &at)
                 : store_interval<false, false>(p, d, s, planes, index, interval, clear, cursor, &at);
    return jpeg_fail(st, fault ? fault : JPEG_BAD_DATA, at);
}

// With STORE the blocks go to the coefficient store (and their DC terms to
// the DC plane); without, only the DC plane is written (a sequential scan's
// preview pass has the walk above). Bit i of `clear` asks for the blocks of
// the scan's i-th component to be zeroed first.
template <u32 KIND, bool STORE>
static bool decode_interval(const u8* p, const JpegDecoder* d, const JpegScan* s, const JpegPlanes* planes,
                            const JpegRestartIndex* index, u32 interval, u32 clear, u8* (*cursor)[4],
                            JpegStatus* st) {
    if (KIND == SCAN_SEQUENTIAL && !STORE) return decode_interval_preview(p, d, s, planes, index, interval, st);
    if (KIND == SCAN_SEQUENTIAL) {
        bool pack = (d->packed & (1u << s->component[0])) != 0;
        return decode_interval_store(p, d, s, planes, index, interval, clear, pack, cursor, st);
    }
    BitReader r = {p, index->start[interval], index->end[interval], 0, 0, 0};
    i32 pred[4] = {};
    u32 eobrun = 0;
    IntervalUnits g;
    interval_units(d, s, index, interval, &g);
    const u8* zz = jpeg_zigzag;
    u8 unzz[64];
    if (KIND == SCAN_AC_REFINE) {
        for (u32 k = 0; k < 64; k++) unzz[zz[k]] = (u8)k;
    }
    u32 ns = s->scan_components;
    u32 across = g.across;
    u32 ux = g.ux;
    u32 uy = g.uy;
    for (u32 u = g.u0; u < g.u1; u++, ux = ux + 1 < across ? ux + 1 : 0, uy += ux == 0) {
        for (u32 i = 0; i < ns; i++) {
            u32 ci = s->component[i];
            const JpegComponent* c = &d->comp[ci];
            const JpegPlane* plane = &planes->plane[ci];
            const JpegHuffman* dc = &d->dc[s->dc_table[i]];
            const JpegHuffman* ac = &d->ac[s->ac_table[i]];
            bool zero = STORE && ((clear >> i) & 1);
            u32 bw = 1;
            u32 bh = 1;
            u64 base;
            if (ns >= 2) {
                bw = c->h;
                bh = c->v;
                base = (u64)uy * bh * c->blocks_across + (u64)ux * bw;
            } else {
                base = (u64)uy * c->blocks_across + ux;
            }
            for (u32 y = 0; y < bh; y++) {
                for (u32 x = 0; x < bw; x++) {
                    u64 b = base + (u64)y * c->blocks_across + x;
                    i16* block = STORE ? plane->coefficients + b * 64 : plane->dc + b;
                    u32 fault;
                    if (KIND == SCAN_SEQUENTIAL) {
                        fault = decode_block_sequential(&r, dc, ac, &pred[i], block, zero, zz);
                    } else if (KIND == SCAN_DC_FIRST) {
                        fault = decode_block_dc_first(&r, dc, &pred[i], block, zero, s->al);
                    } else if (KIND == SCAN_DC_REFINE) {
                        fault = decode_block_dc_refine(&r, block, s->al);
                    } else if (KIND == SCAN_AC_FIRST) {
                        fault = decode_block_ac_first(&r, ac, &eobrun, block, s->ss, s->se, s->al, zz);
                    } else {
                        fault = decode_block_ac_refine(&r, ac, &eobrun, block, s->ss, s->se, s->al, zz, unzz);
                    }
                    if (fault) return jpeg_fail(st, fault, r.pos);
                    if (STORE) plane->dc[b] = block[0];
                }
            }
        }
    }
    if (r.bits < r.padding) return jpeg_fail(st, JPEG_BAD_DATA, index->end[interval]);
    return true;
}

template <bool STORE>
static bool decode_scan_as(const u8* p, const JpegDecoder* d, const JpegScan* s, const JpegPlanes* planes,
                           const JpegRestartIndex* index, u32 clear, JpegStatus* st) {
    u32 kind = scan_kind(d, s);
    // Where each packed block row goes on, for the scan's components.
    u8* cursor[4][4] = {};
    auto* c = cursor;
    for (u32 i = 0; i < index->interval_count; i++) {
        bool ok;
        switch (kind) {
        case SCAN_SEQUENTIAL: ok = decode_interval<SCAN_SEQUENTIAL, STORE>(p, d, s, planes, index, i, clear, c, st); break;
        case SCAN_DC_FIRST: ok = decode_interval<SCAN_DC_FIRST, STORE>(p, d, s, planes, index, i, clear, c, st); break;
        case SCAN_DC_REFINE: ok = decode_interval<SCAN_DC_REFINE, STORE>(p, d, s, planes, index, i, clear, c, st); break;
        // AC scans are decoded only when the coefficients are kept.
        case SCAN_AC_FIRST: ok = decode_interval<SCAN_AC_FIRST, true>(p, d, s, planes, index, i, clear, c, st); break;
        default: ok = decode_interval<SCAN_AC_REFINE, true>(p, d, s, planes, index, i, clear, c, st); break;
        }
        if (!ok) return false;
    }
    return true;
}

static bool check_planes(const JpegDecoder* d, const JpegPlanes* planes, JpegStatus* st) {
    for (u32 c = 0; c < d->components; c++) {
        const JpegPlane* p = &planes->plane[c];
        u64 blocks = (u64)d->comp[c].blocks_across * d->comp[c].blocks_down;
        if (!p->coefficients || !p->dc || p->coefficient_count < blocks * 64 || p->dc_count < blocks) {
            return jpeg_fail(st, JPEG_BAD_TARGET, d->frame_offset);
        }
    }
    return true;
}

// Zeroes what a pass keeps of component c: the DC plane, and with `store`
// the coefficients too.
static void clear_plane(const JpegDecoder* d, const JpegPlanes* planes, u32 c, bool store) {
    u64 blocks = (u64)d->comp[c].blocks_across * d->comp[c].blocks_down;
    if (store && (d->packed & (1u << c))) {
        // Packed: every row's blocks one byte each, no AC terms.
        u32 across = d->comp[c].blocks_across;
        u64 header = jpeg_packed_header(across);
        for (u32 by = 0; by < d->comp[c].blocks_down; by++) {
            u8* row = (u8*)planes->plane[c].coefficients + (u64)by * across * 128;
            for (u32 j = 0; j * 32 < across; j++) ((u32*)row)[j] = (u32)(header + 32 * j);
            memset(row + header, 0, across);
        }
    } else if (store) {
        memset(planes->plane[c].coefficients, 0, blocks * 128);
    }
    memset(planes->plane[c].dc, 0, blocks * 2);
}

// The bits of `clear` for a scan: a component seen for the first time by a
// scan that writes each of its blocks whole is cleared block by block as it
// is decoded (in the preview pass every DC plane entry is simply written);
// one first reached by a refining or AC scan is cleared whole here.
// `cleared` collects the components dealt with.
static u32 clear_for_scan(const JpegDecoder* d, const JpegScan* s, const JpegPlanes* planes, bool store,
                          u32* cleared) {
    u32 kind = scan_kind(d, s);
    bool whole_blocks = kind == SCAN_SEQUENTIAL || kind == SCAN_DC_FIRST;
    u32 clear = 0;
    for (u32 i = 0; i < s->scan_components; i++) {
        u32 c = s->component[i];
        if (*cleared & (1u << c)) continue;
        *cleared |= 1u << c;
        if (whole_blocks) {
            clear |= 1u << i;
        } else {
            clear_plane(d, planes, c, store);
        }
    }
    return clear;
}

// Position of the marker that follows a scan's data, passing over stuffed
// bytes, fill bytes and restart markers.
static bool skip_scan_data(const u8* p, u64 length, u64 pos, u64* next, JpegStatus* st) {
    for (;;) {
        u64 f = jpeg_kernels()->find_ff(p, pos, length);
        if (f + 1 >= length) return jpeg_fail(st, JPEG_TRUNCATED, length);
        u8 c = p[f + 1];
        if (c == 0x00 || (c >= 0xD0 && c <= 0xD7)) {
            pos = f + 2;
        } else if (c == 0xFF) {
            pos = f + 1;
        } else {
            *next = f;
            return true;
        }
    }
}

// ---- Packed store ---------------------------------------------------------------------

bool jpeg_store_packed(const JpegDecoder* d) {
    if (!d->frame_seen || d->coding == JPEG_PROGRESSIVE || d->repeated) return false;
    for (u32 c = 0; c < d->components; c++) {
        if (d->comp[c].blocks_across < 4) return false;
    }
    return true;
}

u64 jpeg_packed_header(u32 blocks_across) {
    return 4 * ceil_div(blocks_across, 32);
}

void jpeg_stored_blocks(const JpegDecoder* d, const JpegPlanes* planes, u32 c, u32 by, u32 bx0, u32 bx1, i16* out) {
    const JpegPlane* p = &planes->plane[c];
    u64 across = d->comp[c].blocks_across;
    if (!(d->packed & (1u << c))) {
        memcpy(out, p->coefficients + ((u64)by * across + bx0) * 64, (u64)(bx1 - bx0) * 128);
        return;
    }
    const u8* row = (const u8*)p->coefficients + (u64)by * across * 128;
    const u8* at = row + ((const u32*)row)[bx0 >> 5];
    for (u32 bx = bx0 & ~31u; bx < bx0; bx++) at += 1 + 2 * (u32)at[0];
    const i16* dc = p->dc + (u64)by * across;
    const u8* zz = jpeg_zigzag;
    const __m128i zero = _mm_setzero_si128();
    for (u32 bx = bx0; bx < bx1; bx++, out += 64) {
        // Eight stores: a memset of 128 bytes may become a string store
        // with a start-up cost of its own.
        for (u32 i = 0; i < 64; i += 8) _mm_storeu_si128((__m128i*)(out + i), zero);
        out[0] = dc[bx];
        u32 n = at[0];
        const u8* v = at + 1;
        for (u32 k = 1; k <= n; k++, v += 2) {
            i16 x;
            memcpy(&x, v, 2);
            out[zz[k]] = x;
        }
        at = v;
    }
}

static bool decode_scans_with(const u8* data, u64 length, JpegDecoder* d, const JpegPlanes* planes,
                              JpegRestartIndex* index, bool preview_only, bool pack, JpegStatus* st);

bool decode_scans(const u8* data, u64 length, JpegDecoder* d, const JpegPlanes* planes, JpegRestartIndex* index,
                  bool preview_only, JpegStatus* st) {
    return decode_scans_with(data, length, d, planes, index, preview_only, false, st);
}

bool decode_scans_packed(const u8* data, u64 length, JpegDecoder* d, const JpegPlanes* planes,
                         JpegRestartIndex* index, JpegStatus* st) {
    return decode_scans_with(data, length, d, planes, index, false, true, st);
}

static bool decode_scans_with(const u8* data, u64 length, JpegDecoder* d, const JpegPlanes* planes,
                              JpegRestartIndex* index, bool preview_only, bool pack, JpegStatus* st) {
    jpeg_status_set(st, JPEG_OK, 0);
    // Interval offsets are kept in 32 bits.
    if (length >> 32) return jpeg_fail(st, JPEG_TOO_LARGE, 0);
    u64 pos = 0;
    if (!check_soi(data, length, &pos, st)) return false;
    reset_headers(d);
    bool prepared = false;
    bool store = !preview_only;
    d->repeated = false;
    u32 cleared = 0;
    u32 decoded = 0;
    for (;;) {
        JpegScan scan;
        u32 r = next_segment(data, length, d, &pos, &scan, st, false);
        if (r == JPEG_SEGMENT_FAILED) return false;
        if (r == JPEG_SEGMENT_END) {
            if (!d->frame_seen) return jpeg_fail(st, JPEG_BAD_HEADER, pos - 1);
            if (!prepared && !check_planes(d, planes, st)) return false;
            if (pack) d->packed = (1u << d->components) - 1;
            // A progressive file needs its scans for the full pass; a
            // sequential one without any shows its cleared planes.
            if (decoded == 0 && !preview_only && d->coding == JPEG_PROGRESSIVE) {
                return jpeg_fail(st, JPEG_BAD_HEADER, pos);
            }
            for (u32 c = 0; c < d->components; c++) {
                if (!(cleared & (1u << c))) clear_plane(d, planes, c, store);
            }
            return true;
        }
        if (!prepared) {
            if (!check_planes(d, planes, st)) return false;
            if (pack) d->packed = (1u << d->components) - 1;
            prepared = true;
        }
        if (preview_only && d->coding == JPEG_PROGRESSIVE && scan.ss > 0) {
            if (!skip_scan_data(data, length, scan.data_offset, &pos, st)) return false;
            continue;
        }
        u64 end = 0;
        if (!build_restart_index(data, length, d, &scan, index, &end, st)) return false;
        if (scan_kind(d, &scan) == SCAN_SEQUENTIAL) {
            u32 built = 0;
            for (u32 i = 0; i < scan.scan_components; i++) {
                u32 t = scan.ac_table[i];
                if (!(built & (1u << t))) {
                    if (preview_only) {
                        build_ac_skip(&d->ac[t], d->ac_skip[t]);
                    } else {
                        build_ac_wide(&d->ac[t], d->ac_wide[t]);
                    }
                }
                built |= 1u << t;
            }
        }
        for (u32 i = 0; i < scan.scan_components; i++) {
            if (cleared & (1u << scan.component[i])) d->repeated = true;
        }
        u32 clear = clear_for_scan(d, &scan, planes, store, &cleared);
        bool ok = store ? decode_scan_as<true>(data, d, &scan, planes, index, clear, st)
                        : decode_scan_as<false>(data, d, &scan, planes, index, clear, st);
        if (!ok) return false;
        decoded++;
        pos = end;
    }
}
