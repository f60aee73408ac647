// The lossless decoder's stages as the decode job calls them, and stage 0:
// the entropy decoding of the whole image into ARGB words. Everything lives
// in the caller's scratch block, laid out from the image size and the
// payload size alone: the decoder record, the ARGB image, the sub-images of
// the transforms and of the meta prefix codes, the palette, a row buffer,
// the colour cache, the group tables and the Huffman table pool. The pool is
// tied to the payload size; tables of the sub-images and of Huffman groups
// that no pixel uses are given back at once, so a stream that asks for more
// room than its size can justify fails with "limit" instead of growing it.
#include "codec/webp/vp8l.h"

// ---- Layout -----------------------------------------------------------------

void vp8l_layout(u32 w, u32 h, u64 payload_size, Vp8lLayout* l) {
    u64 blocks = ceil_div(w, 4) * ceil_div(h, 4);
    u64 groups = blocks < (u64)VP8L_MAX_GROUPS ? blocks : (u64)VP8L_MAX_GROUPS;
    u64 pool = 32 * payload_size <= 8191 ? (u64)VP8L_POOL_MIN : 32 * payload_size;
    if (pool > VP8L_POOL_MAX) pool = VP8L_POOL_MAX;
    u64 at = VP8L_RECORD_BYTES;
    auto piece = [&at](u64 entries) {
        u64 start = at;
        at = align64(at + 4 * entries);
        return start;
    };
    l->argb = piece((u64)w * h + 2 * VP8L_GUARD);
    l->predictor = piece(blocks + VP8L_GUARD);
    l->color = piece(blocks + VP8L_GUARD);
    l->entropy = piece(blocks + VP8L_GUARD);
    l->palette = piece(VP8L_PALETTE_ENTRIES);
    l->row = piece((u64)w + VP8L_GUARD);
    l->cache = piece(VP8L_CACHE_ENTRIES);
    l->groups = piece(VP8L_CODES_PER_GROUP * groups);
    l->used = piece(2 * VP8L_USED_WORDS);
    l->rank = piece(VP8L_RANK_ENTRIES);
    l->pool = piece(pool);
    l->pool_entries = pool;
    l->end = at;
}

u64 vp8l_scratch_bytes(u32 w, u32 h, u64 payload_size) {
    Vp8lLayout l;
    vp8l_layout(w, h, payload_size, &l);
    return l.end + 64;
}

void vp8l_reset(u8* scratch, u64 scratch_size) {
    if (scratch_size < VP8L_RECORD_BYTES) return;
    Vp8lDecoder* d = (Vp8lDecoder*)scratch;
    d->flags = 0;
}

template <typename T>
static T* piece_at(u8* scratch, u64 offset) {
    return (T*)(scratch + offset);
}

// ---- Errors -----------------------------------------------------------------

// Keeps the first error. Past the end of the payload every fault is
// "truncated" at the payload's end; otherwise the offset is how far the
// reader got.
static bool stream_fail(Vp8lDecoder* d, const Vp8lBits* br, u32 code) {
    if (d->error_code != ERR_OK) return false;
    u64 consumed = vp8l_bits_consumed(br);
    u64 size = br->size;
    if (consumed > 8 * size) {
        d->error_code = ERR_TRUNCATED;
        d->error_offset = d->file_offset + size;
    } else {
        u64 bytes = (consumed + 7) / 8;
        d->error_code = code;
        d->error_offset = d->file_offset + (bytes < size ? bytes : size);
    }
    return false;
}

static inline bool overrun(const Vp8lBits* br) {
    return vp8l_bits_consumed(br) > 8 * br->size;
}

// ---- Prefix codes -------------------------------------------------------------

static const u8 CODE_LENGTH_ORDER[19] = {17, 18, 0, 1, 2, 3, 4, 5, 16, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// One code, its table built in the pool; `offset_out` is where it starts.
static bool read_code(Vp8lDecoder* d, u8* scratch, u32 alphabet, u32* offset_out) {
    Vp8lBits* br = &d->br;
    u32 reserve = vp8l_table_reservation(alphabet);
    if (d->layout.pool_entries - d->pool_used < reserve) return stream_fail(d, br, ERR_LIMIT);
    u32* table = piece_at<u32>(scratch, d->layout.pool) + d->pool_used;
    u8 lengths[256 + 24 + VP8L_CACHE_ENTRIES];
    memset(lengths, 0, alphabet);
    if (vp8l_read(br, 1)) {
        // Simple: one or two symbols, the first in 1 or 8 bits.
        u32 two = vp8l_read(br, 1);
        u32 s0 = vp8l_read(br, vp8l_read(br, 1) ? 8 : 1);
        if (s0 < alphabet) lengths[s0] = 1;
        if (two) {
            u32 s1 = vp8l_read(br, 8);
            if (s1 < alphabet) lengths[s1] = 1;
        }
    } else {
        u8 cl_lengths[19] = {};
        u32 n = vp8l_read(br, 4) + 4;
        for (u32 k = 0; k < n; k++) cl_lengths[CODE_LENGTH_ORDER[k]] = (u8)vp8l_read(br, 3);
        // The code-length code's table sits where the code's own will go.
        if (vp8l_build_table(cl_lengths, 19, 7, table, reserve) == 0) return stream_fail(d, br, ERR_BAD_HEADER);
        u32 max_symbol = alphabet;
        if (vp8l_read(br, 1)) {
            u32 bits = 2 + 2 * vp8l_read(br, 3);
            max_symbol = 2 + vp8l_read(br, bits);
            if (max_symbol > alphabet) return stream_fail(d, br, ERR_BAD_HEADER);
        }
        u32 previous = 8;
        u32 sym = 0;
        while (sym < alphabet) {
            if (max_symbol-- == 0) break;
            vp8l_refill(br);
            u32 e = table[br->bits & 0x7F];
            vp8l_take(br, e & 0xFF);
            u32 len = e >> 16;
            if (len < 16) {
                lengths[sym++] = (u8)len;
                if (len != 0) previous = len;
                continue;
            }
            u32 repeat, value = 0;
            if (len == 16) {
                repeat = 3 + vp8l_take(br, 2);
                value = previous;
            } else if (len == 17) {
                repeat = 3 + vp8l_take(br, 3);
            } else {
                repeat = 11 + vp8l_take(br, 7);
            }
            if (sym + repeat > alphabet) return stream_fail(d, br, ERR_BAD_HEADER);
            memset(lengths + sym, (int)value, repeat);
            sym += repeat;
        }
    }
    u32 size = vp8l_build_table(lengths, alphabet, VP8L_ROOT_BITS, table, reserve);
    if (size == 0) return stream_fail(d, br, ERR_BAD_HEADER);
    *offset_out = d->pool_used;
    d->pool_used += size;
    return true;
}

// The five codes of a group: green with the length prefixes and the cache
// symbols, red, blue, alpha, distance.
static bool read_group(Vp8lDecoder* d, u8* scratch, u32 cache_size, u32* offsets) {
    const u32 alphabets[VP8L_CODES_PER_GROUP] = {256 + 24 + cache_size, 256, 256, 256, 40};
    for (u32 k = 0; k < VP8L_CODES_PER_GROUP; k++) {
        if (!read_code(d, scratch, alphabets[k], &offsets[k])) return false;
    }
    return true;
}

// ---- Pixels -------------------------------------------------------------------

// The 120 nearest neighbours by distance code: (dx, dy) packed as
// (dy << 4) | (8 - dx) for the pixel dy rows up and dx columns left.
static const u8 DISTANCE_MAP[120] = {
    0x18, 0x07, 0x17, 0x19, 0x28, 0x06, 0x27, 0x29, 0x16, 0x1A, 0x26, 0x2A, 0x38, 0x05, 0x37, 0x39,
    0x15, 0x1B, 0x36, 0x3A, 0x25, 0x2B, 0x48, 0x04, 0x47, 0x49, 0x14, 0x1C, 0x35, 0x3B, 0x46, 0x4A,
    0x24, 0x2C, 0x58, 0x45, 0x4B, 0x34, 0x3C, 0x03, 0x57, 0x59, 0x13, 0x1D, 0x56, 0x5A, 0x23, 0x2D,
    0x44, 0x4C, 0x55, 0x5B, 0x33, 0x3D, 0x68, 0x02, 0x67, 0x69, 0x12, 0x1E, 0x66, 0x6A, 0x22, 0x2E,
    0x54, 0x5C, 0x43, 0x4D, 0x65, 0x6B, 0x32, 0x3E, 0x78, 0x01, 0x77, 0x79, 0x53, 0x5D, 0x11, 0x1F,
    0x64, 0x6C, 0x42, 0x4E, 0x76, 0x7A, 0x21, 0x2F, 0x75, 0x7B, 0x31, 0x3F, 0x63, 0x6D, 0x52, 0x5E,
    0x00, 0x74, 0x7C, 0x41, 0x4F, 0x10, 0x20, 0x62, 0x6E, 0x30, 0x73, 0x7D, 0x51, 0x5F, 0x40, 0x72,
    0x7E, 0x61, 0x6F, 0x50, 0x71, 0x7F, 0x60, 0x70,
};

// The distances of the 120 neighbour codes for an image `width` wide.
static void distance_table(u32 width, u32* table) {
    for (u32 code = 0; code < 120; code++) {
        u32 packed = DISTANCE_MAP[code];
        i64 d = (i64)(packed >> 4) * width + (8 - (i64)(packed & 15));
        table[code] = d < 1 ? 1 : (u32)d;
    }
}

QB_FORCE_INLINE u64 distance_from_code(u32 code, const u32* table) {
    return code > 120 ? code - 120 : table[code - 1];
}

// A length or distance from its prefix symbol and extra bits (at most 18).
QB_FORCE_INLINE u32 prefix_value(u32 prefix, Vp8lBits* br) {
    if (prefix < 4) return prefix + 1;
    u32 extra = (prefix - 2) >> 1;
    u32 offset = (2 + (prefix & 1)) << extra;
    return offset + vp8l_take(br, extra) + 1;
}

// Copies `count` pixels from `dist` back: 16 at a time when the source runs
// at least 8 behind (so each 8-pixel load reads pixels already final; up to
// 15 more are written, into pixels still to come or the guard), one value
// for a distance of 1, one by one otherwise. Most copies take one step.
QB_FORCE_INLINE void copy_back(u32* dst, u64 dist, u32 count) {
    const u32* src = dst - dist;
    if (dist >= 8) {
        for (u32 k = 0; k < count; k += 16) {
            memcpy(dst + k, src + k, 32);
            memcpy(dst + k + 8, src + k + 8, 32);
        }
    } else if (dist == 1) {
        u32 v = src[0];
        for (u32 k = 0; k < count; k++) dst[k] = v;
    } else {
        for (u32 k = 0; k < count; k++) dst[k] = src[k];
    }
}

struct Groups {
    const u32* pool;
    const u32* offsets;  // 5 per used group, by rank
    const u32* entropy;  // ranks per block, or null for one group
    u32 entropy_width;
    u32 bits;
};

// A group's tables. When red, blue and alpha each have a single symbol
// (they take no bits), a literal is `literal` with green added: palette
// indices and the sub-images are mostly coded so. When alpha alone has a
// single symbol (an opaque image) its value is `literal`'s top byte and a
// literal takes one refill: green, red and blue need at most 45 bits.
struct Tables {
    const u32* green;
    const u32* red;
    const u32* blue;
    const u32* alpha;
    const u32* dist;
    bool trivial;
    bool opaque;
    u32 literal;
};

QB_FORCE_INLINE Tables group_at(const Groups& g, u32 x, u32 y) {
    u32 rank = g.entropy ? g.entropy[(u64)(y >> g.bits) * g.entropy_width + (x >> g.bits)] : 0;
    const u32* o = g.offsets + (u64)rank * VP8L_CODES_PER_GROUP;
    Tables t = {g.pool + o[0], g.pool + o[1], g.pool + o[2], g.pool + o[3], g.pool + o[4], false, false, 0};
    // A single-symbol code's entries all have length 0; any other code's
    // entries are at least 1 long.
    t.trivial = ((t.red[0] | t.blue[0] | t.alpha[0]) & 0xFF) == 0;
    t.opaque = (t.alpha[0] & 0xFF) == 0;
    t.literal = ((t.alpha[0] >> 16) << 24) | ((t.red[0] >> 16) << 16) | (t.blue[0] >> 16);
    return t;
}

// Decodes w x h pixels into `out`, one run at a time: a run ends at the end
// of a row or of the blocks of the entropy image that share a group, or with
// a back-reference that reaches past it, so the group's tables stay in
// locals inside it. Every pixel goes into the colour cache in order before
// the next cache symbol reads it: a literal or cache hit at once when
// nothing is pending, the pixels of back-references (and what follows them)
// only when a cache symbol comes, in one pass. The bit reader lives in
// locals; the overrun check runs after each run and at the end.
template <bool CACHE>
static bool decode_pixels_with(Vp8lDecoder* d, u8* scratch, u32 w, u32 h, u32* out, u32 cache_bits,
                               const Groups& groups) {
    Vp8lBits br = d->br;
    u32* cache = piece_at<u32>(scratch, d->layout.cache);
    u32 cache_shift = 32 - cache_bits;
    Vp8lCacheInsertFn insert = vp8l_kernels()->cache_insert;
    u32 distances[120];
    distance_table(w, distances);
    u64 total = (u64)w * h;
    u64 i = 0;
    u64 cached = 0;  // pixels already inserted into the colour cache
    u32 x = 0;
    u32 y = 0;
    // At the top of the pixel loop the buffer holds at least 8 bits, so the
    // green lookup can peek before the refill: a literal takes at most 45
    // bits after a refill to 56, a cache symbol 15, a back-reference 25
    // before its refill and 33 after it.
    vp8l_refill(&br);
    while (i < total) {
        Tables t = group_at(groups, x, y);
        u32 run = w - x;
        if (groups.entropy) {
            // To the end of the block, and on through neighbouring blocks
            // of the same group.
            u32 block = 1u << groups.bits;
            const u32* ranks = groups.entropy + (u64)(y >> groups.bits) * groups.entropy_width;
            u32 b = x >> groups.bits;
            u32 end = (b + 1) << groups.bits;
            while (end < w && ranks[b + 1] == ranks[b]) {
                end += block;
                b++;
            }
            if (end < w) run = end - x;
        }
        u64 start = i;
        u64 stop = i + run;
        bool reference = false;
        while (i < stop) {
            u64 peek = br.bits;
            vp8l_refill(&br);
            u32 g = vp8l_read_symbol_peek(t.green, &br, peek);
            u32 v;
            if (g < 256) {
                if (t.trivial) {
                    v = t.literal | (g << 8);
                } else {
                    u32 r = vp8l_read_symbol(t.red, &br);
                    u32 b = vp8l_read_symbol(t.blue, &br);
                    v = (r << 16) | (g << 8) | b;
                    if (t.opaque) {
                        v |= t.literal & 0xFF000000u;
                    } else {
                        vp8l_refill(&br);
                        v |= vp8l_read_symbol(t.alpha, &br) << 24;
                    }
                }
            } else if (g >= 256 + 24) {
                if (CACHE && cached < i) {
                    if (cache_bits <= 6 && i - cached > (8u << cache_bits)) {
                        vp8l_cache_insert_backward(cache, cache_shift, out + cached, i - cached);
                    } else {
                        insert(cache, cache_shift, out + cached, i - cached);
                    }
                    cached = i;
                }
                v = cache[g - 280];
            } else {
                u32 length = prefix_value(g - 256, &br);
                vp8l_refill(&br);
                u32 dist_symbol = vp8l_read_symbol(t.dist, &br);
                u64 dist = distance_from_code(prefix_value(dist_symbol, &br), distances);
                if (dist > i || length > total - i) {
                    d->br = br;
                    return stream_fail(d, &br, ERR_BAD_HEADER);
                }
                copy_back(out + i, dist, length);
                i += length;
                if (i < stop) continue;
                reference = true;
                break;
            }
            if (CACHE && cached == i) {
                cache[vp8l_cache_slot(v, cache_shift)] = v;
                cached++;
            }
            out[i++] = v;
        }
        // Where the run ended: a back-reference may cross rows.
        u64 advance = i - start;
        if (!reference || x + advance < w) {
            x += (u32)advance;
            if (x == w) {
                x = 0;
                y++;
            }
        } else {
            u64 at = x + advance;
            y += (u32)(at / w);
            x = (u32)(at % w);
        }
        if (overrun(&br)) break;
    }
    d->br = br;
    if (overrun(&br)) return stream_fail(d, &br, ERR_TRUNCATED);
    return true;
}

static bool decode_pixels(Vp8lDecoder* d, u8* scratch, u32 w, u32 h, u32* out, u32 cache_bits,
                          const Groups& groups) {
    if (cache_bits != 0) return decode_pixels_with<true>(d, scratch, w, h, out, cache_bits, groups);
    return decode_pixels_with<false>(d, scratch, w, h, out, cache_bits, groups);
}

// ---- Images -------------------------------------------------------------------

static u32 popcount64(u64 v) {
    return (u32)__builtin_popcountll(v);
}

// An entropy-coded image: its colour cache, for the main image its meta
// prefix codes, the codes of every group, then the pixels. A sub-image's
// tables go back to the pool when it is done.
static bool decode_image(Vp8lDecoder* d, u8* scratch, u32 w, u32 h, bool main, u32* out) {
    Vp8lBits* br = &d->br;
    u32 cache_bits = 0;
    if (vp8l_read(br, 1)) {
        cache_bits = vp8l_read(br, 4);
        if (cache_bits < 1 || cache_bits > 11) return stream_fail(d, br, ERR_BAD_HEADER);
    }
    u32 pool_start = d->pool_used;
    u32* offsets = piece_at<u32>(scratch, d->layout.groups);
    Groups groups = {piece_at<u32>(scratch, d->layout.pool), offsets, nullptr, 0, 0};
    u32 group_count = 1;
    u64* used = piece_at<u64>(scratch, d->layout.used);
    u32* rank = piece_at<u32>(scratch, d->layout.rank);
    if (main && vp8l_read(br, 1)) {
        u32 bits = vp8l_read(br, 3) + 2;
        u32 ew = (u32)ceil_shift(w, bits);
        u32 eh = (u32)ceil_shift(h, bits);
        u32* entropy = piece_at<u32>(scratch, d->layout.entropy);
        if (!decode_image(d, scratch, ew, eh, false, entropy)) return false;
        // Only used groups get tables: each block's group index becomes its
        // rank among the used indices.
        memset(used, 0, 8 * VP8L_USED_WORDS);
        u32 max_index = 0;
        u64 blocks = (u64)ew * eh;
        for (u64 k = 0; k < blocks; k++) {
            u32 index = (entropy[k] >> 8) & 0xFFFF;
            used[index >> 6] |= 1ull << (index & 63);
            max_index = index > max_index ? index : max_index;
        }
        u32 sum = 0;
        for (u32 k = 0; k < VP8L_USED_WORDS; k++) {
            rank[k] = sum;
            sum += popcount64(used[k]);
        }
        for (u64 k = 0; k < blocks; k++) {
            u32 index = (entropy[k] >> 8) & 0xFFFF;
            entropy[k] = rank[index >> 6] + popcount64(used[index >> 6] & ((1ull << (index & 63)) - 1));
        }
        group_count = max_index + 1;
        groups.entropy = entropy;
        groups.entropy_width = ew;
        groups.bits = bits;
    }
    for (u32 g = 0; g < group_count; g++) {
        bool in_use = groups.entropy == nullptr || (used[g >> 6] >> (g & 63)) & 1;
        u32 mark = d->pool_used;
        u32 group[VP8L_CODES_PER_GROUP];
        if (!read_group(d, scratch, cache_bits ? 1u << cache_bits : 0, group)) return false;
        if (!in_use) {
            d->pool_used = mark;
            continue;
        }
        u32 r = groups.entropy ? rank[g >> 6] + popcount64(used[g >> 6] & ((1ull << (g & 63)) - 1)) : 0;
        memcpy(offsets + (u64)r * VP8L_CODES_PER_GROUP, group, sizeof group);
    }
    if (overrun(br)) return stream_fail(d, br, ERR_TRUNCATED);
    // The cache is shared with the entropy sub-image, which has just been
    // decoded with a cache of its own: it starts empty only here.
    if (cache_bits != 0) memset(piece_at<u32>(scratch, d->layout.cache), 0, (4u << cache_bits));
    if (!decode_pixels(d, scratch, w, h, out, cache_bits, groups)) return false;
    if (!main) d->pool_used = pool_start;
    return true;
}

// Transforms, each type at most once, then the main image.
static bool decode_stream(Vp8lDecoder* d, u8* scratch) {
    Vp8lBits* br = &d->br;
    u32 h = d->height;
    while (vp8l_read(br, 1)) {
        u32 type = vp8l_read(br, 2);
        if (d->transforms_seen & (1u << type)) return stream_fail(d, br, ERR_BAD_HEADER);
        d->transforms_seen |= 1u << type;
        Vp8lTransform* t = &d->transforms[d->transform_count++];
        *t = Vp8lTransform{type, 0, d->coded_width, 0};
        if (type == VP8L_PREDICTOR || type == VP8L_COLOR) {
            t->bits = vp8l_read(br, 3) + 2;
            u32* sub = piece_at<u32>(scratch, type == VP8L_PREDICTOR ? d->layout.predictor : d->layout.color);
            u32 sw = (u32)ceil_shift(d->coded_width, t->bits);
            if (!decode_image(d, scratch, sw, (u32)ceil_shift(h, t->bits), false, sub)) return false;
        } else if (type == VP8L_COLOR_INDEXING) {
            u32 n = vp8l_read(br, 8) + 1;
            t->bits = n <= 2 ? 3 : n <= 4 ? 2 : n <= 16 ? 1 : 0;
            u32* palette = piece_at<u32>(scratch, d->layout.palette);
            if (!decode_image(d, scratch, n, 1, false, palette)) return false;
            for (u32 k = 1; k < n; k++) palette[k] = vp8l_add_pixels(palette[k], palette[k - 1]);
            // Indices past the palette give transparent black.
            for (u32 k = n; k < 256; k++) palette[k] = 0;
            d->coded_width = (u32)ceil_shift(d->coded_width, t->bits);
        }
    }
    return decode_image(d, scratch, d->coded_width, h, true, piece_at<u32>(scratch, d->layout.argb) + VP8L_GUARD);
}

// ---- Stages -------------------------------------------------------------------

static bool stage_entropy(Vp8lDecoder* d, u8* scratch, const u8* data, const WebpPrepared& p, CodecError* err) {
    memset(d, 0, sizeof *d);
    d->magic = VP8L_MAGIC;
    vp8l_layout(p.width, p.height, p.payload_size, &d->layout);
    d->width = p.width;
    d->height = p.height;
    d->coded_width = p.width;
    u64 blocks = ceil_div(p.width, 4) * ceil_div(p.height, 4);
    d->max_groups = (u32)(blocks < (u64)VP8L_MAX_GROUPS ? blocks : (u64)VP8L_MAX_GROUPS);
    d->file_offset = p.payload_pos;
    // The signature byte and the size header were read by the container; a
    // headerless stream (an alpha plane's, whose size is known) has none.
    u64 header = p.rect_width == 0 ? 0 : 5;
    d->br = Vp8lBits{data + p.payload_pos, p.payload_size, 0, header, 0, 0};
    if (!decode_stream(d, scratch)) return fail(err, d->error_code, d->error_offset);
    d->flags = VP8L_DONE_ENTROPY;
    return true;
}

// Rows of the rectangle in this band to RGBA, the target's row i for the
// rectangle's row i.
static void stage_output(Vp8lDecoder* d, u8* scratch, const WebpPrepared& p, const PixelBuffer* target, u32 band) {
    const u32* argb = piece_at<u32>(scratch, d->layout.argb) + VP8L_GUARD;
    const Vp8lKernels* k = vp8l_kernels();
    u32 first = band * VP8L_BAND_ROWS;
    u32 stop = first + VP8L_BAND_ROWS < p.rect_height ? first + VP8L_BAND_ROWS : p.rect_height;
    u32 whole = p.rect_width & ~7u;
    for (u32 i = first; i < stop; i++) {
        const u32* src = argb + (u64)(p.y + i) * p.width + p.x;
        u8* dst = target->pixels + (u64)i * target->stride;
        k->output(src, dst, whole);
        // The last pixels one by one: the target row may end right after them.
        for (u32 j = whole; j < p.rect_width; j++) {
            u32 v = src[j];
            dst[4 * j] = (u8)(v >> 16);
            dst[4 * j + 1] = (u8)(v >> 8);
            dst[4 * j + 2] = (u8)v;
            dst[4 * j + 3] = (u8)(v >> 24);
        }
    }
}

bool vp8l_decode_headerless(const u8* data, u64 pos, u64 size, u32 w, u32 h, u8* scratch, u64 scratch_size,
                            const u32** argb_out, CodecError* err) {
    error_clear(err);
    if (((uintptr_t)scratch & 63) != 0 || scratch_size < vp8l_scratch_bytes(w, h, size)) {
        return fail(err, ERR_BAD_TARGET, 0);
    }
    Vp8lDecoder* d = (Vp8lDecoder*)scratch;
    WebpPrepared p{};
    p.width = w;
    p.height = h;
    p.payload_pos = pos;
    p.payload_size = size;
    if (!stage_entropy(d, scratch, data, p, err)) return false;
    vp8l_inverse_transforms(d, scratch);
    d->flags |= VP8L_DONE_TRANSFORMS;
    *argb_out = piece_at<u32>(scratch, d->layout.argb) + VP8L_GUARD;
    return true;
}

bool vp8l_decode_stage(const u8* data, u64 length, const WebpRequest* request, const PixelBuffer* target,
                       u8* scratch, u64 scratch_size, u32 stage, u32 band, CodecError* err) {
    error_clear(err);
    WebpPrepared p;
    if (!webp_prepare(data, length, request, &p, err)) return false;
    if (((uintptr_t)target->pixels & 15) != 0 || target->stride == 0 || (target->stride & 15) != 0 ||
        target->stride < ((4 * (u64)p.rect_width + 15) & ~(u64)15) || target->width < p.rect_width ||
        target->height < p.rect_height) {
        return fail(err, ERR_BAD_TARGET, 0);
    }
    if (((uintptr_t)scratch & 63) != 0 || scratch_size < vp8l_scratch_bytes(p.width, p.height, p.payload_size)) {
        return fail(err, ERR_BAD_TARGET, 0);
    }
    Vp8lDecoder* d = (Vp8lDecoder*)scratch;
    bool same_image = d->magic == VP8L_MAGIC && d->width == p.width && d->height == p.height &&
                      d->file_offset == p.payload_pos;
    switch (stage) {
    case VP8L_STAGE_ENTROPY:
        if (band != 0) return fail(err, ERR_BAD_TARGET, 0);
        return stage_entropy(d, scratch, data, p, err);
    case VP8L_STAGE_TRANSFORMS:
        if (band != 0 || !same_image || !(d->flags & VP8L_DONE_ENTROPY)) return fail(err, ERR_BAD_TARGET, 0);
        if (!(d->flags & VP8L_DONE_TRANSFORMS)) vp8l_inverse_transforms(d, scratch);
        d->flags |= VP8L_DONE_TRANSFORMS;
        return true;
    case VP8L_STAGE_OUTPUT:
        if (band >= vp8l_band_count(p.rect_height) || !same_image || !(d->flags & VP8L_DONE_TRANSFORMS)) {
            return fail(err, ERR_BAD_TARGET, 0);
        }
        stage_output(d, scratch, p, target, band);
        return true;
    default: return fail(err, ERR_BAD_TARGET, 0);
    }
}
