// PNM and PAM decoding: the header readers (the whitespace-and-comment
// token syntax of P1 to P6, the keyword lines of P7), the raw raster paths
// (8-bit samples with maxval 255 go straight through the row kernels, every
// other depth through the scaling table) and the plain text rasters.
#include "codec/pnm/pnm.h"

#include <string.h>

#include "codec/pnm/expand.h"

// ---- Header tokens --------------------------------------------------------------

static bool is_space(u8 c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
static bool is_digit(u8 c) {
    return c >= '0' && c <= '9';
}

// Skips whitespace and comments ("#" to the end of the line).
static void skip_space(const u8* p, u64 n, u64* pos) {
    while (*pos < n) {
        if (is_space(p[*pos])) {
            (*pos)++;
        } else if (p[*pos] == '#') {
            while (*pos < n && p[*pos] != '\n' && p[*pos] != '\r') (*pos)++;
        } else {
            break;
        }
    }
}

// A decimal number at *pos (leading whitespace and comments skipped), its
// start in *at. Values past 2^32 saturate there, so every cap still fails.
// It must end at whitespace or a comment; the input must go on after it.
static bool read_number(const u8* p, u64 n, u64* pos, u64* value_out, u64* at, CodecError* err) {
    skip_space(p, n, pos);
    *at = *pos;
    if (*pos >= n) return fail(err, ERR_TRUNCATED, n);
    if (!is_digit(p[*pos])) return fail(err, ERR_BAD_HEADER, *pos);
    u64 v = 0;
    while (*pos < n && is_digit(p[*pos])) {
        v = v * 10 + (p[*pos] - '0');
        if (v > 0x100000000ull) v = 0x100000000ull;
        (*pos)++;
    }
    if (*pos >= n) return fail(err, ERR_TRUNCATED, n);
    if (!is_space(p[*pos]) && p[*pos] != '#') return fail(err, ERR_BAD_HEADER, *pos);
    *value_out = v;
    return true;
}

static bool check_size(u64 w, u64 w_at, u64 h, u64 h_at, CodecError* err) {
    if (w == 0) return fail(err, ERR_BAD_HEADER, w_at);
    if (h == 0) return fail(err, ERR_BAD_HEADER, h_at);
    if (w > 0x10000000) return fail(err, ERR_TOO_LARGE, w_at);
    if (h > 0x10000000) return fail(err, ERR_TOO_LARGE, h_at);
    if (w * h > 0x10000000 / 4) return fail(err, ERR_TOO_LARGE, h_at);
    return true;
}

static bool check_maxval(u64 maxval, u64 at, CodecError* err) {
    if (maxval == 0 || maxval > 65535) return fail(err, ERR_BAD_HEADER, at);
    return true;
}

// ---- P1 to P6 -------------------------------------------------------------------

static bool read_classic(const u8* p, u64 n, PnmHeader* h, CodecError* err) {
    u32 m = h->magic;
    h->plain = m <= 3;
    h->depth = (m == 3 || m == 6) ? 3 : 1;
    u64 pos = 2;
    if (pos >= n) return fail(err, ERR_TRUNCATED, n);
    if (!is_space(p[pos]) && p[pos] != '#') return fail(err, ERR_BAD_HEADER, pos);
    u64 w, w_at, ht, h_at;
    if (!read_number(p, n, &pos, &w, &w_at, err)) return false;
    if (!read_number(p, n, &pos, &ht, &h_at, err)) return false;
    if (!check_size(w, w_at, ht, h_at, err)) return false;
    h->width = (u32)w;
    h->height = (u32)ht;
    h->maxval = 1;
    if (m != 1 && m != 4) {
        u64 maxval, at;
        if (!read_number(p, n, &pos, &maxval, &at, err)) return false;
        if (!check_maxval(maxval, at, err)) return false;
        h->maxval = (u32)maxval;
    }
    if (h->plain) {
        h->data_offset = pos;
        h->row_size = 0;
        return true;
    }
    // One whitespace character (or a comment line) ends a raw header.
    if (p[pos] == '#') {
        while (pos < n && p[pos] != '\n' && p[pos] != '\r') pos++;
        if (pos >= n) return fail(err, ERR_TRUNCATED, n);
    }
    h->data_offset = pos + 1;
    u64 sample = h->maxval > 255 ? 2 : 1;
    h->row_size = m == 4 ? ceil_div(w, 8) : w * h->depth * sample;
    return true;
}

// ---- P7 -------------------------------------------------------------------------

// The word at *pos: its end, stopping at whitespace.
static u64 word_end(const u8* p, u64 n, u64 pos) {
    while (pos < n && !is_space(p[pos])) pos++;
    return pos;
}

static bool word_is(const u8* p, u64 start, u64 end, const char* s) {
    u64 len = strlen(s);
    return end - start == len && memcmp(p + start, s, len) == 0;
}

// Tuple types and the depth each implies.
struct TupleType {
    const char* name;
    u32 depth;
};
static const TupleType k_tuple_types[6] = {
    {"BLACKANDWHITE", 1}, {"GRAYSCALE", 1},       {"RGB", 3},
    {"BLACKANDWHITE_ALPHA", 2}, {"GRAYSCALE_ALPHA", 2}, {"RGB_ALPHA", 4},
};

static bool read_pam(const u8* p, u64 n, PnmHeader* h, CodecError* err) {
    u64 pos = 2;
    if (pos >= n) return fail(err, ERR_TRUNCATED, n);
    if (!is_space(p[pos])) return fail(err, ERR_BAD_HEADER, pos);
    u64 w = 0, w_at = 0, ht = 0, h_at = 0, depth = 0, d_at = 0, maxval = 0, m_at = 0;
    u64 tuple_at = 0, tuple_end = 0;
    bool have_w = false, have_h = false, have_d = false, have_m = false, have_t = false;
    for (;;) {
        skip_space(p, n, &pos);
        if (pos >= n) return fail(err, ERR_TRUNCATED, n);
        u64 key = pos;
        u64 key_end = word_end(p, n, pos);
        if (key_end >= n) return fail(err, ERR_TRUNCATED, n);
        pos = key_end;
        if (word_is(p, key, key_end, "ENDHDR")) {
            // The raster starts after the end of this line.
            while (pos < n && p[pos] != '\n') {
                if (!is_space(p[pos])) return fail(err, ERR_BAD_HEADER, pos);
                pos++;
            }
            if (pos >= n) return fail(err, ERR_TRUNCATED, n);
            pos++;
            if (!have_w || !have_h || !have_d || !have_m) return fail(err, ERR_BAD_HEADER, key);
            break;
        }
        if (word_is(p, key, key_end, "TUPLTYPE")) {
            // Only the first word of the first TUPLTYPE line counts.
            while (pos < n && (p[pos] == ' ' || p[pos] == '\t')) pos++;
            u64 start = pos;
            u64 end = word_end(p, n, pos);
            if (!have_t) {
                tuple_at = start;
                tuple_end = end;
                have_t = true;
            }
            while (pos < n && p[pos] != '\n' && p[pos] != '\r') pos++;
            continue;
        }
        u64* value;
        u64* value_at;
        bool* seen;
        if (word_is(p, key, key_end, "WIDTH")) {
            value = &w, value_at = &w_at, seen = &have_w;
        } else if (word_is(p, key, key_end, "HEIGHT")) {
            value = &ht, value_at = &h_at, seen = &have_h;
        } else if (word_is(p, key, key_end, "DEPTH")) {
            value = &depth, value_at = &d_at, seen = &have_d;
        } else if (word_is(p, key, key_end, "MAXVAL")) {
            value = &maxval, value_at = &m_at, seen = &have_m;
        } else {
            return fail(err, ERR_BAD_HEADER, key);
        }
        if (!read_number(p, n, &pos, value, value_at, err)) return false;
        *seen = true;
    }
    if (!check_size(w, w_at, ht, h_at, err)) return false;
    if (depth < 1 || depth > 4) return fail(err, ERR_UNSUPPORTED, d_at);
    if (!check_maxval(maxval, m_at, err)) return false;
    if (have_t) {
        // A known type must agree with the depth; an unknown one is read by
        // the depth alone.
        for (const TupleType& t : k_tuple_types) {
            if (word_is(p, tuple_at, tuple_end, t.name) && t.depth != depth) return fail(err, ERR_BAD_HEADER, tuple_at);
        }
    }
    h->width = (u32)w;
    h->height = (u32)ht;
    h->depth = (u32)depth;
    h->maxval = (u32)maxval;
    h->plain = 0;
    h->data_offset = pos;
    h->row_size = w * depth * (maxval > 255 ? 2 : 1);
    return true;
}

// ---- Header and probe -------------------------------------------------------

bool pnm_sniff(const u8* data, u64 length) {
    return length >= 2 && data[0] == 'P' && data[1] >= '1' && data[1] <= '7';
}

bool pnm_read_header(const u8* data, u64 length, PnmHeader* header, CodecError* err) {
    *header = PnmHeader{};
    error_clear(err);
    if (length < 2) {
        if (length == 1 && data[0] == 'P') return fail(err, ERR_TRUNCATED, length);
        return fail(err, ERR_BAD_SIGNATURE, 0);
    }
    if (!pnm_sniff(data, length)) return fail(err, ERR_BAD_SIGNATURE, 0);
    header->magic = data[1] - '0';
    bool ok = header->magic == 7 ? read_pam(data, length, header, err) : read_classic(data, length, header, err);
    if (!ok) return false;
    if (!header->plain) {
        // The raw raster must be whole: at most 2^26 pixels of 8 bytes, so
        // the product cannot overflow.
        u64 need = header->row_size * header->height;
        if (header->data_offset > length || need > length - header->data_offset) return fail(err, ERR_TRUNCATED, length);
    }
    error_clear(err);
    return true;
}

bool pnm_probe(const u8* data, u64 length, ImageInfo* info, CodecError* err) {
    *info = ImageInfo{};
    PnmHeader h;
    if (!pnm_read_header(data, length, &h, err)) return false;
    info->decoder = DECODER_PNM;
    info->width = h.width;
    info->height = h.height;
    info->frame_count = 1;
    info->play_count = 1;
    info->scratch_bytes = !h.plain && h.maxval > 255 ? (u64)h.maxval + 1 : 0;
    info->pixel_bytes = row_stride(h.width) * h.height + 32;
    return true;
}

// ---- Raw rasters ----------------------------------------------------------------

static QB_FORCE_INLINE void store_pixel(u8* dst, u32 v) {
    memcpy(dst, &v, 4);
}

// Scaled samples (already 8-bit) of one pixel to RGBA.
static QB_FORCE_INLINE u32 pack(u32 depth, const u8* s) {
    switch (depth) {
    case 1: return s[0] * 0x010101u | 0xFF000000u;
    case 2: return s[0] * 0x010101u | (u32)s[1] << 24;
    case 3: return s[0] | (u32)s[1] << 8 | (u32)s[2] << 16 | 0xFF000000u;
    default: return s[0] | (u32)s[1] << 8 | (u32)s[2] << 16 | (u32)s[3] << 24;
    }
}

static u32 scale(u32 v, u32 maxval) {
    return (v * 255 + maxval / 2) / maxval;
}

// 8-bit samples, maxval 255: the row kernels, or plain copies.
static void raw_rows_255(const u8* src, const PnmHeader& h, const PixelBuffer* out) {
    for (u32 y = 0; y < h.height; y++) {
        const u8* s = src + (u64)y * h.row_size;
        u8* d = out->pixels + (u64)y * out->stride;
        switch (h.depth) {
        case 1: expand_kernels.grey(s, h.width, d); break;
        case 3: expand_kernels.rgb(s, h.width, d); break;
        case 4: memcpy(d, s, 4 * (u64)h.width); break;
        default:
            for (u32 x = 0; x < h.width; x++) store_pixel(d + 4 * (u64)x, pack(2, s + 2 * (u64)x));
            break;
        }
    }
}

// 8-bit samples with another maxval: a 256-entry table, samples above
// maxval clamped.
static void raw_rows_8(const u8* src, const PnmHeader& h, const PixelBuffer* out) {
    u8 lut[256];
    for (u32 v = 0; v < 256; v++) lut[v] = (u8)(v >= h.maxval ? 255 : scale(v, h.maxval));
    u32 d = h.depth;
    for (u32 y = 0; y < h.height; y++) {
        const u8* s = src + (u64)y * h.row_size;
        u8* o = out->pixels + (u64)y * out->stride;
        for (u32 x = 0; x < h.width; x++, s += d) {
            u8 t[4] = {lut[s[0]], 0, 0, 0};
            for (u32 c = 1; c < d; c++) t[c] = lut[s[c]];
            store_pixel(o + 4 * (u64)x, pack(d, t));
        }
    }
}

// 16-bit big-endian samples: a table of maxval + 1 entries in the scratch.
static void raw_rows_16(const u8* src, const PnmHeader& h, u8* lut, const PixelBuffer* out) {
    u32 m = h.maxval;
    for (u32 v = 0; v <= m; v++) lut[v] = (u8)scale(v, m);
    u32 d = h.depth;
    for (u32 y = 0; y < h.height; y++) {
        const u8* s = src + (u64)y * h.row_size;
        u8* o = out->pixels + (u64)y * out->stride;
        for (u32 x = 0; x < h.width; x++, s += 2 * d) {
            u8 t[4] = {0, 0, 0, 0};
            for (u32 c = 0; c < d; c++) {
                u32 v = (u32)s[2 * c] << 8 | s[2 * c + 1];
                t[c] = lut[v < m ? v : m];
            }
            store_pixel(o + 4 * (u64)x, pack(d, t));
        }
    }
}

// P4: eight pixels a byte, the most significant bit first, 1 is black.
static void raw_rows_bits(const u8* src, const PnmHeader& h, const PixelBuffer* out) {
    for (u32 y = 0; y < h.height; y++) {
        const u8* s = src + (u64)y * h.row_size;
        u8* o = out->pixels + (u64)y * out->stride;
        for (u32 x = 0; x < h.width; x++) {
            u32 bit = (s[x >> 3] >> (7 - (x & 7))) & 1;
            store_pixel(o + 4 * (u64)x, bit ? 0xFF000000u : 0xFFFFFFFFu);
        }
    }
}

// ---- Plain rasters --------------------------------------------------------------

static bool plain_rows(const u8* p, u64 n, const PnmHeader& h, const PixelBuffer* out, CodecError* err) {
    u64 pos = h.data_offset;
    u32 d = h.depth;
    for (u32 y = 0; y < h.height; y++) {
        u8* o = out->pixels + (u64)y * out->stride;
        for (u32 x = 0; x < h.width; x++) {
            u8 t[4] = {0, 0, 0, 0};
            for (u32 c = 0; c < d; c++) {
                skip_space(p, n, &pos);
                if (pos >= n) return fail(err, ERR_TRUNCATED, n);
                if (h.magic == 1) {
                    // One character a sample, separators optional; 1 is black.
                    if (p[pos] != '0' && p[pos] != '1') return fail(err, ERR_BAD_HEADER, pos);
                    t[c] = p[pos] == '1' ? 0 : 255;
                    pos++;
                    continue;
                }
                if (!is_digit(p[pos])) return fail(err, ERR_BAD_HEADER, pos);
                u64 at = pos;
                u32 v = 0;
                while (pos < n && is_digit(p[pos])) {
                    v = v * 10 + (p[pos] - '0');
                    if (v > 65535) return fail(err, ERR_BAD_HEADER, at);
                    pos++;
                }
                if (v > h.maxval) return fail(err, ERR_BAD_HEADER, at);
                // The last sample may end the file; any other ends at a separator.
                if (pos < n && !is_space(p[pos]) && p[pos] != '#') return fail(err, ERR_BAD_HEADER, pos);
                t[c] = (u8)scale(v, h.maxval);
            }
            store_pixel(o + 4 * (u64)x, pack(d, t));
        }
    }
    return true;
}

bool pnm_decode(const u8* data, u64 length, u8* scratch, u64 scratch_size, PixelBuffer* out, CodecError* err) {
    expand_kernels_ensure();
    PnmHeader h;
    if (!pnm_read_header(data, length, &h, err)) return false;
    QB_ASSERT(out->width == h.width && out->height == h.height);
    if (h.plain) {
        if (!plain_rows(data, length, h, out, err)) return false;
    } else {
        const u8* src = data + h.data_offset;
        if (h.magic == 4) {
            raw_rows_bits(src, h, out);
        } else if (h.maxval == 255) {
            raw_rows_255(src, h, out);
        } else if (h.maxval < 256) {
            raw_rows_8(src, h, out);
        } else {
            QB_ASSERT(scratch_size >= (u64)h.maxval + 1);
            (void)scratch_size;
            raw_rows_16(src, h, scratch, out);
        }
    }
    error_clear(err);
    return true;
}
