// The JPEG marker layer: the signature check, the marker loop with its limits,
// and the frame, quantisation, Huffman, restart and scan headers, plus the
// JFIF and Adobe segments that decide the colour conversion. Every parser
// checks a segment's length against the data before it reads, so the loop can
// run over any bytes; the quick header read for the probe is the same loop
// stopped at the frame header.
#include "codec/jpeg/jpeg.h"

#include <string.h>

void reset_headers(JpegDecoder* d) {
    d->frame_seen = false;
    d->quant_defined = 0;
    d->dc_defined = 0;
    d->ac_defined = 0;
    d->ac_wide_built = 0;
    d->packed = 0;
    d->restart_interval = 0;
    d->scan_count = 0;
    d->jfif = false;
    d->adobe_transform = -1;
}

bool check_soi(const u8* data, u64 length, u64* position, JpegStatus* st) {
    if (length == 0) return jpeg_fail(st, JPEG_TRUNCATED, 0);
    if (data[0] != 0xFF) return jpeg_fail(st, JPEG_BAD_SIGNATURE, 0);
    if (length == 1) return jpeg_fail(st, JPEG_TRUNCATED, 1);
    if (data[1] != 0xD8) return jpeg_fail(st, JPEG_BAD_SIGNATURE, 1);
    *position = 2;
    return true;
}

// ---- Segment parsers -----------------------------------------------------------
// Each gets the offset m of the marker's 0xFF and the segment's end; the
// segment (m + 2 .. end) is known to lie inside the data.

static bool parse_frame(const u8* p, u64 m, u64 end, u8 marker, JpegDecoder* d, JpegStatus* st) {
    if (d->frame_seen) return jpeg_fail(st, JPEG_BAD_HEADER, m + 1);
    u32 length = (u32)(end - m - 2);
    if (length <= 7) return jpeg_fail(st, JPEG_BAD_HEADER, m + 2);
    u32 count = p[m + 9];
    if (count < 1 || count > 4) return jpeg_fail(st, JPEG_BAD_HEADER, m + 9);
    if (length != 8 + 3 * count) return jpeg_fail(st, JPEG_BAD_HEADER, m + 2);
    u32 precision = p[m + 4];
    if (precision != 8 && !(precision == 12 && marker != 0xC0)) return jpeg_fail(st, JPEG_BAD_HEADER, m + 4);
    u32 height = load_be16(p, end, m + 5);
    u32 width = load_be16(p, end, m + 7);
    if (width == 0) return jpeg_fail(st, JPEG_BAD_HEADER, m + 7);
    if (height == 0) return jpeg_fail(st, JPEG_UNSUPPORTED, m + 5);
    u32 h_max = 1;
    u32 v_max = 1;
    for (u32 i = 0; i < count; i++) {
        u64 at = m + 10 + 3 * i;
        u32 id = p[at];
        u32 h = p[at + 1] >> 4;
        u32 v = p[at + 1] & 15;
        if (h < 1 || h > 4 || v < 1 || v > 4) return jpeg_fail(st, JPEG_BAD_HEADER, at + 1);
        if (p[at + 2] > 3) return jpeg_fail(st, JPEG_BAD_HEADER, at + 2);
        for (u32 j = 0; j < i; j++) {
            if (d->comp[j].id == id) return jpeg_fail(st, JPEG_BAD_HEADER, at);
        }
        d->comp[i] = JpegComponent{id, h, v, p[at + 2], 0, 0, 0, 0};
        if (h > h_max) h_max = h;
        if (v > v_max) v_max = v;
    }
    d->width = width;
    d->height = height;
    d->precision = precision;
    d->coding = marker - 0xC0u;
    d->components = count;
    d->h_max = h_max;
    d->v_max = v_max;
    d->mcus_across = (u32)ceil_div(width, 8 * h_max);
    d->mcus_down = (u32)ceil_div(height, 8 * v_max);
    d->frame_offset = m;
    // Widths and heights are 16-bit, so none of these products overflows.
    u64 store = 0;
    for (u32 i = 0; i < count; i++) {
        JpegComponent* c = &d->comp[i];
        c->blocks_across = d->mcus_across * c->h;
        c->blocks_down = d->mcus_down * c->v;
        c->preview_width = (u32)ceil_div(ceil_div((u64)width * c->h, h_max), 8);
        c->preview_height = (u32)ceil_div(ceil_div((u64)height * c->v, v_max), 8);
        store += (u64)c->blocks_across * c->blocks_down * 128;
    }
    if (store > 0x40000000) return jpeg_fail(st, JPEG_TOO_LARGE, m + 5);
    d->frame_seen = true;
    return true;
}

static bool parse_dqt(const u8* p, u64 m, u64 end, JpegDecoder* d, JpegStatus* st) {
    u64 at = m + 4;
    while (at < end) {
        u32 precision = p[at] >> 4;
        u32 slot = p[at] & 15;
        if (precision > 1 || slot > 3) return jpeg_fail(st, JPEG_BAD_TABLE, at);
        u64 need = precision ? 128 : 64;
        if (end - at - 1 < need) return jpeg_fail(st, JPEG_BAD_TABLE, at);
        for (u32 k = 0; k < 64; k++) {
            u32 value = precision ? load_be16(p, end, at + 1 + 2 * k) : p[at + 1 + k];
            d->quant[slot][jpeg_zigzag[k]] = (i16)(u16)value;
        }
        d->quant_defined |= 1u << slot;
        at += 1 + need;
    }
    return true;
}

static bool parse_dht(const u8* p, u64 m, u64 end, JpegDecoder* d, JpegStatus* st) {
    u64 at = m + 4;
    while (at < end) {
        u32 cls = p[at] >> 4;
        u32 slot = p[at] & 15;
        if (cls > 1 || slot > 3) return jpeg_fail(st, JPEG_BAD_TABLE, at);
        if (end - at - 1 < 16) return jpeg_fail(st, JPEG_BAD_TABLE, at);
        u32 total = 0;
        for (u32 i = 0; i < 16; i++) total += p[at + 1 + i];
        if (total > 256 || end - at - 17 < total) return jpeg_fail(st, JPEG_BAD_TABLE, at + 1);
        JpegHuffman* table = cls == 0 ? &d->dc[slot] : &d->ac[slot];
        if (cls == 1) d->ac_wide_built &= ~(1u << slot);
        u32 r = build_huffman(p + at + 1, p + at + 17, cls == 0, table);
        if (r == JPEG_HUFFMAN_BAD_COUNTS) return jpeg_fail(st, JPEG_BAD_TABLE, at + 1);
        if (r == JPEG_HUFFMAN_BAD_DC_SYMBOL) return jpeg_fail(st, JPEG_BAD_TABLE, at + 17);
        if (cls == 0) {
            d->dc_defined |= 1u << slot;
        } else {
            d->ac_defined |= 1u << slot;
        }
        at += 17 + total;
    }
    return true;
}

static bool parse_sos(const u8* p, u64 m, u64 end, JpegDecoder* d, JpegScan* scan, JpegStatus* st) {
    if (!d->frame_seen) return jpeg_fail(st, JPEG_BAD_HEADER, m + 1);
    u32 length = (u32)(end - m - 2);
    if (length <= 2) return jpeg_fail(st, JPEG_BAD_HEADER, m + 2);
    u32 ns = p[m + 4];
    if (ns < 1 || ns > d->components) return jpeg_fail(st, JPEG_BAD_SCAN, m + 4);
    if (length != 6 + 2 * ns) return jpeg_fail(st, JPEG_BAD_HEADER, m + 2);
    JpegScan s = {};
    s.scan_components = ns;
    u32 blocks = 0;
    for (u32 i = 0; i < ns; i++) {
        u64 at = m + 5 + 2 * i;
        u32 index = d->components;
        for (u32 c = 0; c < d->components; c++) {
            if (d->comp[c].id == p[at]) index = c;
        }
        if (index == d->components) return jpeg_fail(st, JPEG_BAD_SCAN, at);
        for (u32 j = 0; j < i; j++) {
            if (s.component[j] == index) return jpeg_fail(st, JPEG_BAD_SCAN, at);
        }
        u32 dc = p[at + 1] >> 4;
        u32 ac = p[at + 1] & 15;
        if (dc > 3 || ac > 3) return jpeg_fail(st, JPEG_BAD_SCAN, at + 1);
        s.component[i] = index;
        s.dc_table[i] = dc;
        s.ac_table[i] = ac;
        blocks += d->comp[index].h * d->comp[index].v;
    }
    if (ns >= 2 && blocks >= 11) return jpeg_fail(st, JPEG_BAD_SCAN, m + 4);
    u64 at_ss = m + 5 + 2 * ns;
    s.ss = p[at_ss];
    s.se = p[at_ss + 1];
    s.ah = p[at_ss + 2] >> 4;
    s.al = p[at_ss + 2] & 15;
    if (d->coding == JPEG_PROGRESSIVE) {
        if (s.se < s.ss || s.se > 63) return jpeg_fail(st, JPEG_BAD_SCAN, at_ss);
        if (s.ss == 0 && s.se != 0) return jpeg_fail(st, JPEG_BAD_SCAN, at_ss + 1);
        if (s.ss > 0 && ns > 1) return jpeg_fail(st, JPEG_BAD_SCAN, m + 4);
        if (s.al > 13 || (s.ah != 0 && s.ah != s.al + 1)) return jpeg_fail(st, JPEG_BAD_SCAN, at_ss + 2);
    } else {
        if (s.ss != 0 || s.se != 63) return jpeg_fail(st, JPEG_BAD_SCAN, at_ss);
        if (s.ah != 0 || s.al != 0) return jpeg_fail(st, JPEG_BAD_SCAN, at_ss + 2);
    }
    d->scan_count++;
    if (d->scan_count > JPEG_SCAN_LIMIT) return jpeg_fail(st, JPEG_LIMIT, m + 1);
    s.data_offset = end;
    *scan = s;
    return true;
}

// ---- The marker loop --------------------------------------------------------------

static bool payload_starts(const u8* p, u64 m, u64 end, const char* tag, u64 tag_size, u64 min_payload) {
    u64 payload = end - m - 4;
    return payload >= min_payload && memcmp(p + m + 4, tag, tag_size) == 0;
}

// The segment limit counts every segment the loop moves past, tables as well
// as application data, comments and unknown markers: a file may carry any
// number of bytes, but never makes one call walk more than 1024 segments.
u32 next_segment(const u8* p, u64 length, JpegDecoder* d, u64* position, JpegScan* scan, JpegStatus* st,
                 bool headers_only) {
    u64 pos = *position;
    u32 examined = 0;
    for (;;) {
        if (pos >= length) {
            jpeg_fail(st, JPEG_TRUNCATED, length);
            return JPEG_SEGMENT_FAILED;
        }
        if (p[pos] != 0xFF) {
            jpeg_fail(st, JPEG_BAD_HEADER, pos);
            return JPEG_SEGMENT_FAILED;
        }
        u64 m = pos;
        while (m + 1 < length && p[m + 1] == 0xFF) m++;
        if (m + 1 >= length) {
            jpeg_fail(st, JPEG_TRUNCATED, length);
            return JPEG_SEGMENT_FAILED;
        }
        u8 b = p[m + 1];
        if (b == 0xD9) {
            *position = m + 2;
            return JPEG_SEGMENT_END;
        }
        if (b == 0xD8 || b == 0x00 || b == 0x01 || (b >= 0xD0 && b <= 0xD7) || (b == 0xDA && !d->frame_seen)) {
            jpeg_fail(st, JPEG_BAD_HEADER, m + 1);
            return JPEG_SEGMENT_FAILED;
        }
        if (b == 0xC8 || b == 0xCC || b == 0xDC || (b >= 0xC3 && b <= 0xCF && b != 0xC4)) {
            jpeg_fail(st, JPEG_UNSUPPORTED, m + 1);
            return JPEG_SEGMENT_FAILED;
        }
        if (m + 3 >= length) {
            jpeg_fail(st, JPEG_TRUNCATED, length);
            return JPEG_SEGMENT_FAILED;
        }
        u32 seg = load_be16(p, length, m + 2);
        if (seg < 2) {
            jpeg_fail(st, JPEG_BAD_HEADER, m + 2);
            return JPEG_SEGMENT_FAILED;
        }
        u64 end = m + 2 + seg;
        if (end > length) {
            jpeg_fail(st, JPEG_TRUNCATED, length);
            return JPEG_SEGMENT_FAILED;
        }
        bool ok = true;
        switch (b) {
        case 0xC0:
        case 0xC1:
        case 0xC2:
            ok = parse_frame(p, m, end, b, d, st);
            if (ok && headers_only) {
                *position = end;
                return JPEG_SEGMENT_FRAME;
            }
            break;
        case 0xC4:
            if (!headers_only) ok = parse_dht(p, m, end, d, st);
            break;
        case 0xDB:
            if (!headers_only) ok = parse_dqt(p, m, end, d, st);
            break;
        case 0xDD:
            if (!headers_only) {
                if (seg != 4) {
                    ok = jpeg_fail(st, JPEG_BAD_HEADER, m + 2);
                } else {
                    d->restart_interval = load_be16(p, length, m + 4);
                }
            }
            break;
        case 0xDA:
            if (!parse_sos(p, m, end, d, scan, st)) return JPEG_SEGMENT_FAILED;
            d->scan = *scan;
            *position = end;
            return JPEG_SEGMENT_SCAN;
        case 0xE0:
            if (payload_starts(p, m, end, "JFIF", 5, 14)) d->jfif = true;
            break;
        case 0xEE:
            if (payload_starts(p, m, end, "Adobe", 5, 12)) d->adobe_transform = p[m + 4 + 11];
            break;
        default: break;
        }
        if (!ok) return JPEG_SEGMENT_FAILED;
        if (examined == JPEG_SEGMENT_LIMIT) {
            jpeg_fail(st, JPEG_LIMIT, pos);
            return JPEG_SEGMENT_FAILED;
        }
        examined++;
        pos = end;
    }
}

// ---- Quick header for the probe -------------------------------------------------

bool read_quick_header(const u8* data, u64 length, JpegDecoder* d, JpegQuickHeader* quick, JpegStatus* st) {
    memset(d, 0, sizeof *d);
    d->magic = JPEG_MAGIC;
    reset_headers(d);
    jpeg_status_set(st, JPEG_OK, 0);
    *quick = JpegQuickHeader{0, 0, 1, 4, Mono8, 0, 0, false, 0};
    u64 pos = 0;
    if (!check_soi(data, length, &pos, st)) return false;
    JpegScan scan;
    u32 r = next_segment(data, length, d, &pos, &scan, st, true);
    if (r == JPEG_SEGMENT_FAILED) return false;
    if (r != JPEG_SEGMENT_FRAME) return jpeg_fail(st, JPEG_BAD_HEADER, pos - 1);
    u64 fo = d->frame_offset;
    if ((u64)d->width * d->height > 0x10000000u / d->components) return jpeg_fail(st, JPEG_TOO_LARGE, fo + 5);
    u32 s[4] = {};
    u32 packed = 0;
    for (u32 i = 0; i < d->components; i++) {
        s[i] = d->comp[i].h * 16 + d->comp[i].v;
        packed |= s[i] << (8 * i);
    }
    bool deep = d->precision > 8;
    PixelFormat format;
    if (d->components == 1) {
        format = deep ? Rgba16 : Mono8;
    } else if (d->components == 3) {
        bool rgb_ids = d->comp[0].id == 'R' && d->comp[1].id == 'G' && d->comp[2].id == 'B';
        u32 h1 = d->comp[1].h;
        u32 v1 = d->comp[1].v;
        // Any layout whose components are whole fractions of the largest
        // (4:4:0, 4:1:1, 3:1 and the rest) decodes; the format names the
        // common ones, and the others by their nearest.
        if (!check_full_sampling(d)) return jpeg_fail(st, JPEG_UNSUPPORTED, fo + 11);
        if (rgb_ids) {
            format = deep ? Rgba16 : Rgba8Straight;
        } else if (s[1] == s[2] && d->comp[0].h == 2 * h1 && d->comp[0].v == v1) {
            format = deep ? Yuv422_16 : Yuv422_8;
        } else if (s[1] == s[2] && d->comp[0].h == 2 * h1 && d->comp[0].v == 2 * v1) {
            format = deep ? Yuv420_16 : Yuv420_8;
        } else {
            format = deep ? Yuv444_16 : Yuv444_8;
        }
    } else if (d->components == 4) {
        // CMYK or YCCK, in any layout of whole ratios as well.
        if (!check_full_sampling(d)) return jpeg_fail(st, JPEG_UNSUPPORTED, fo + 11);
        format = Rgba8Straight;
    } else {
        return jpeg_fail(st, JPEG_UNSUPPORTED, fo + 9);
    }
    quick->width = d->width;
    quick->height = d->height;
    quick->pixel_format = format;
    quick->precision = d->precision;
    quick->components = d->components;
    quick->progressive = d->coding == JPEG_PROGRESSIVE;
    quick->sampling = packed;
    return true;
}
