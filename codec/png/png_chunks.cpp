// Chunk readers and decode setup. The header walk checks the signature, IHDR
// and every chunk before the image data; the whole-file walk checks the image
// data chunks, the animation chunks and IEND; setup turns both into a plan
// with the workspace layout. Both walks run before any pixel is decoded, so a
// truncated or malformed file is refused as a whole, each fault at the byte
// offset of the field it concerns. The CRC table (8 KiB) lives on the stack
// of png_setup; nothing is allocated.
#include "codec/png/crc32.h"
#include "codec/png/inflate.h"
#include "codec/png/png_rows.h"

static const u8 k_signature[8] = {137, 80, 78, 71, 13, 10, 26, 10};

static constexpr u32 chunk_type(const char (&s)[5]) {
    return ((u32)(u8)s[0] << 24) | ((u32)(u8)s[1] << 16) | ((u32)(u8)s[2] << 8) | (u32)(u8)s[3];
}
enum : u32 {
    T_IHDR = chunk_type("IHDR"),
    T_PLTE = chunk_type("PLTE"),
    T_IDAT = chunk_type("IDAT"),
    T_IEND = chunk_type("IEND"),
    T_TRNS = chunk_type("tRNS"),
    T_ACTL = chunk_type("acTL"),
    T_FCTL = chunk_type("fcTL"),
    T_FDAT = chunk_type("fdAT"),
    T_SRGB = chunk_type("sRGB"),
    T_CICP = chunk_type("cICP"),
    T_GAMA = chunk_type("gAMA"),
    T_CHRM = chunk_type("cHRM"),
    T_ICCP = chunk_type("iCCP"),
    T_EXIF = chunk_type("eXIf"),
};

static bool is_letter(u8 c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Length top bit and type letters of the chunk at pos (8 bytes present).
static bool check_chunk_head(const u8* b, u64 pos, CodecError* err) {
    for (u32 i = 0; i < 4; i++) {
        if (!is_letter(b[pos + 4 + i])) return fail(err, ERR_BAD_HEADER, pos + 4 + i);
    }
    return true;
}

static bool crc_ok(const Crc32Table* crc, const u8* b, u64 length, u64 pos) {
    u32 len = load_be32(b, length, pos);
    return crc32_update(crc, 0, b + pos + 4, (u64)len + 4) == load_be32(b, length, pos + 8 + len);
}

static bool is_ancillary(u32 type) {
    return (type & 0x20000000u) != 0;
}

// ---- Header walk -------------------------------------------------------------------

static bool read_ihdr(const u8* b, u64 length, const Crc32Table* crc, PngInfo* info, CodecError* err) {
    if (load_be32(b, length, 8) != 13) return fail(err, ERR_BAD_HEADER, 8);
    if (load_be32(b, length, 12) != T_IHDR) return fail(err, ERR_BAD_HEADER, 12);
    if (crc32_update(crc, 0, b + 12, 17) != load_be32(b, length, 29)) return fail(err, ERR_BAD_HEADER, 29);
    i32 w = (i32)load_be32(b, length, 16);
    i32 h = (i32)load_be32(b, length, 20);
    if (w <= 0) return fail(err, ERR_BAD_HEADER, 16);
    if (h <= 0) return fail(err, ERR_BAD_HEADER, 20);
    if (w > 0x10000000) return fail(err, ERR_TOO_LARGE, 16);
    if (h > 0x10000000) return fail(err, ERR_TOO_LARGE, 20);
    u32 depth = b[24], type = b[25];
    if (type != 0 && type != 2 && type != 3 && type != 4 && type != 6) return fail(err, ERR_BAD_HEADER, 25);
    bool depth_ok;
    switch (type) {
    case 0: depth_ok = depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16; break;
    case 3: depth_ok = depth == 1 || depth == 2 || depth == 4 || depth == 8; break;
    default: depth_ok = depth == 8 || depth == 16; break;
    }
    if (!depth_ok) return fail(err, ERR_BAD_HEADER, 24);
    if (b[26] != 0) return fail(err, ERR_BAD_HEADER, 26);
    if (b[27] != 0) return fail(err, ERR_BAD_HEADER, 27);
    if (b[28] > 1) return fail(err, ERR_BAD_HEADER, 28);
    // Bytes per pixel of the format the image would have with alpha.
    u64 bpp = depth == 16 ? 8 : (type == 0 || type == 4 ? 2 : 4);
    if ((u64)w * (u64)h > 0x10000000 / bpp) return fail(err, ERR_TOO_LARGE, 20);
    info->width = (u32)w;
    info->height = (u32)h;
    info->bit_depth = depth;
    info->colour_type = type;
    info->interlace = b[28];
    return true;
}

static bool read_iccp(const u8* b, u64 data, u32 len, CodecError* err) {
    if (len <= 4) return fail(err, ERR_BAD_HEADER, data - 8);
    u32 limit = len < 80 ? len : 80;
    u32 k = 0;
    while (k < limit && b[data + k] != 0) k++;
    // A keyword of 1 to 79 bytes, its zero, and at least the method byte.
    if (k == 0 || k >= limit || k + 1 >= len) return fail(err, ERR_BAD_HEADER, data);
    if (b[data + k + 1] != 0) return fail(err, ERR_BAD_HEADER, data + k + 1);
    return true;
}

bool png_read_header(const u8* b, u64 length, const Crc32Table* crc, PngInfo* info, CodecError* err) {
    *info = PngInfo{};
    error_clear(err);
    u64 sig = length < 8 ? length : 8;
    for (u64 i = 0; i < sig; i++) {
        if (b[i] != k_signature[i]) return fail(err, ERR_BAD_SIGNATURE, i);
    }
    if (length <= 32) return fail(err, ERR_TRUNCATED, length);
    if (!read_ihdr(b, length, crc, info, err)) return false;
    info->frame_count = 1;
    const u32 type = info->colour_type;
    u64 pos = 33;
    for (u32 handled = 0;; handled++) {
        if (handled == PNG_CHUNK_LIMIT) return fail(err, ERR_LIMIT, pos);
        if (length - pos < 8) return fail(err, ERR_TRUNCATED, length);
        u32 len = load_be32(b, length, pos);
        if (len & 0x80000000u) return fail(err, ERR_BAD_HEADER, pos);
        if (!check_chunk_head(b, pos, err)) return false;
        u32 ct = load_be32(b, length, pos + 4);
        u64 type_pos = pos + 4, data = pos + 8;
        if (ct == T_IDAT) {
            if (type == 3 && !(info->seen & PNG_SEEN_PLTE)) return fail(err, ERR_BAD_HEADER, pos);
            info->idat_pos = pos;
            break;
        }
        if (length - pos < 12 + (u64)len) return fail(err, ERR_TRUNCATED, length);
        u32 once = 0;
        switch (ct) {
        case T_ACTL: once = PNG_SEEN_ACTL; break;
        case T_SRGB: once = PNG_SEEN_SRGB; break;
        case T_CICP: once = PNG_SEEN_CICP; break;
        case T_GAMA: once = PNG_SEEN_GAMA; break;
        case T_CHRM: once = PNG_SEEN_CHRM; break;
        case T_ICCP: once = PNG_SEEN_ICCP; break;
        case T_EXIF: once = PNG_SEEN_EXIF; break;
        default: break;
        }
        if (once && (info->seen & once)) return fail(err, ERR_BAD_HEADER, type_pos);
        info->seen |= once;
        switch (ct) {
        case T_PLTE:
            if (!crc_ok(crc, b, length, pos)) return fail(err, ERR_BAD_HEADER, data + len);
            if (type == 0 || type == 4 || (info->seen & (PNG_SEEN_PLTE | PNG_SEEN_TRNS)))
                return fail(err, ERR_BAD_HEADER, type_pos);
            if (len % 3 != 0 || len < 3 || len > 768 || (type == 3 && len / 3 > (1u << info->bit_depth)))
                return fail(err, ERR_BAD_HEADER, pos);
            info->plte_data = data;
            info->palette_entries = len / 3;
            info->seen |= PNG_SEEN_PLTE;
            break;
        case T_TRNS:
            if (type == 4 || type == 6 || (info->seen & PNG_SEEN_TRNS) || (type == 3 && !(info->seen & PNG_SEEN_PLTE)))
                return fail(err, ERR_BAD_HEADER, type_pos);
            if ((type == 0 && len != 2) || (type == 2 && len != 6) ||
                (type == 3 && (len < 1 || len > info->palette_entries)))
                return fail(err, ERR_BAD_HEADER, pos);
            info->trns_data = data;
            info->trns_length = len;
            info->flags |= PNG_FLAG_ALPHA;
            info->seen |= PNG_SEEN_TRNS;
            break;
        case T_ACTL: {
            if (len != 8) return fail(err, ERR_BAD_HEADER, pos);
            u32 frames = load_be32(b, length, data);
            if (frames == 0) return fail(err, ERR_BAD_HEADER, data);
            if (frames > PNG_MAX_FRAMES) return fail(err, ERR_TOO_LARGE, data);
            info->frame_count = frames;
            info->actl_pos = pos;
            info->flags |= PNG_FLAG_ANIMATED;
            break;
        }
        case T_SRGB:
            if (len != 1) return fail(err, ERR_BAD_HEADER, pos);
            if (b[data] >= 4) return fail(err, ERR_BAD_HEADER, data);
            break;
        case T_CICP:
            if (len != 4) return fail(err, ERR_BAD_HEADER, pos);
            if (b[data + 2] != 0) return fail(err, ERR_BAD_HEADER, data + 2);
            if (b[data + 3] > 1) return fail(err, ERR_BAD_HEADER, data + 3);
            break;
        case T_GAMA:
            if (len != 4) return fail(err, ERR_BAD_HEADER, pos);
            break;
        case T_CHRM:
            if (len != 32) return fail(err, ERR_BAD_HEADER, pos);
            break;
        case T_ICCP:
            if (!read_iccp(b, data, len, err)) return false;
            break;
        case T_EXIF: break;
        case T_FCTL:
            if (!(info->seen & PNG_SEEN_FCTL)) info->first_fctl_pos = pos;
            info->seen |= PNG_SEEN_FCTL;
            break;
        case T_IHDR:
        case T_IEND: return fail(err, ERR_BAD_HEADER, type_pos);
        default:
            if (!is_ancillary(ct)) return fail(err, ERR_UNSUPPORTED, type_pos);
            break;
        }
        pos += 12 + (u64)len;
    }
    u32 depth = info->bit_depth;
    if (depth == 16) info->pixel_format = Rgba16;
    else if (type == 0) info->pixel_format = (info->seen & PNG_SEEN_TRNS) ? MonoA8 : Mono8;
    else if (type == 4) info->pixel_format = MonoA8;
    else info->pixel_format = Rgba8Straight;
    if (type == 4 || type == 6) info->flags |= PNG_FLAG_ALPHA;
    return true;
}

// ---- Whole-file walk ---------------------------------------------------------------

static u32 channels_of(u32 colour_type) {
    switch (colour_type) {
    case 2: return 3;
    case 4: return 2;
    case 6: return 4;
    default: return 1;
    }
}

struct FrameWalk {
    u32 next_sequence;
    u32 fctl_count;
    u32 awaiting;  // an fcTL whose frame has no data yet
    u32 pixel_bits;
    u32 interlace;
};

// One fcTL chunk at pos (framed already). `idat_frame`: frame 0 is the IDAT
// image and must cover the canvas.
static bool take_fctl(const u8* b, u64 length, const Crc32Table* crc, u64 pos, bool idat_frame, FrameWalk* w,
                      PngAnimInfo* a, CodecError* err) {
    u32 len = load_be32(b, length, pos);
    u64 data = pos + 8;
    if (!crc_ok(crc, b, length, pos)) return fail(err, ERR_BAD_HEADER, data + len);
    if (len != 26) return fail(err, ERR_BAD_HEADER, pos);
    if (load_be32(b, length, data) != w->next_sequence) return fail(err, ERR_BAD_HEADER, data);
    w->next_sequence++;
    u32 fw = load_be32(b, length, data + 4), fh = load_be32(b, length, data + 8);
    u32 fx = load_be32(b, length, data + 12), fy = load_be32(b, length, data + 16);
    if (fw == 0) return fail(err, ERR_BAD_HEADER, data + 4);
    if (fh == 0) return fail(err, ERR_BAD_HEADER, data + 8);
    if ((u64)fx + fw > a->width) return fail(err, ERR_BAD_HEADER, data + 12);
    if ((u64)fy + fh > a->height) return fail(err, ERR_BAD_HEADER, data + 16);
    if (b[data + 24] > 2) return fail(err, ERR_BAD_HEADER, data + 24);
    if (b[data + 25] > 1) return fail(err, ERR_BAD_HEADER, data + 25);
    if (idat_frame) {
        if (fx != 0) return fail(err, ERR_BAD_HEADER, data + 12);
        if (fy != 0) return fail(err, ERR_BAD_HEADER, data + 16);
        if (fw != a->width) return fail(err, ERR_BAD_HEADER, data + 4);
        if (fh != a->height) return fail(err, ERR_BAD_HEADER, data + 8);
    }
    if (w->fctl_count >= a->frame_count) return fail(err, ERR_BAD_HEADER, pos + 4);
    if (w->fctl_count == 0) a->first_fctl = pos;
    if (w->fctl_count > 0 && b[data + 24] == 2 && (u64)fw * fh > a->max_restore_pixels)
        a->max_restore_pixels = (u64)fw * fh;
    w->fctl_count++;
    w->awaiting = 1;
    u64 raw = png_raw_size(fw, fh, w->interlace, w->pixel_bits);
    if (raw > a->max_raw_bytes) a->max_raw_bytes = raw;
    if (fw > a->max_frame_width) a->max_frame_width = fw;
    return true;
}

bool png_validate_file(const u8* b, u64 length, const Crc32Table* crc, const PngInfo* info, PngAnimInfo* a,
                       CodecError* err) {
    *a = PngAnimInfo{};
    error_clear(err);
    a->width = info->width;
    a->height = info->height;
    a->frame_count = 1;
    a->idat_pos = info->idat_pos;
    FrameWalk w = {};
    w.pixel_bits = channels_of(info->colour_type) * info->bit_depth;
    w.interlace = info->interlace;
    a->still_raw_bytes = png_raw_size(info->width, info->height, info->interlace, w.pixel_bits);
    if (info->trns_data && !crc_ok(crc, b, length, info->trns_data - 8))
        return fail(err, ERR_BAD_HEADER, info->trns_data + info->trns_length);
    if (info->actl_pos && !crc_ok(crc, b, length, info->actl_pos)) return fail(err, ERR_BAD_HEADER, info->actl_pos + 16);
    bool animated = (info->flags & PNG_FLAG_ANIMATED) != 0;
    if (animated) {
        a->animated = 1;
        a->frame_count = load_be32(b, length, info->actl_pos + 8);
        a->play_count = load_be32(b, length, info->actl_pos + 12);
    }
    if (info->first_fctl_pos) {
        u64 p = info->first_fctl_pos;
        if (!animated) return fail(err, ERR_BAD_HEADER, p + 4);
        if (length - p < 12 + (u64)load_be32(b, length, p)) return fail(err, ERR_TRUNCATED, length);
        if (!take_fctl(b, length, crc, p, true, &w, a, err)) return false;
        a->default_is_frame = 1;
    }
    bool exif_seen = (info->seen & PNG_SEEN_EXIF) != 0;
    bool idat_run_over = false;  // a non-IDAT chunk followed the IDAT run
    bool fctl_this_walk = false;
    u64 pos = info->idat_pos;
    for (;;) {
        if (length - pos < 12) return fail(err, ERR_TRUNCATED, length);
        u32 len = load_be32(b, length, pos);
        if ((len & 0x80000000u) || length - pos - 12 < len) return fail(err, ERR_TRUNCATED, length);
        if (!check_chunk_head(b, pos, err)) return false;
        u32 ct = load_be32(b, length, pos + 4);
        u64 type_pos = pos + 4, data = pos + 8;
        switch (ct) {
        case T_IDAT:
            if (idat_run_over) return fail(err, ERR_BAD_HEADER, type_pos);
            if (!crc_ok(crc, b, length, pos)) return fail(err, ERR_BAD_HEADER, data + len);
            w.awaiting = 0;
            break;
        case T_FDAT:
            idat_run_over = true;
            if (!fctl_this_walk) return fail(err, ERR_BAD_HEADER, type_pos);
            if (!crc_ok(crc, b, length, pos)) return fail(err, ERR_BAD_HEADER, data + len);
            if (len < 4) return fail(err, ERR_BAD_HEADER, pos);
            if (load_be32(b, length, data) != w.next_sequence) return fail(err, ERR_BAD_HEADER, data);
            w.next_sequence++;
            w.awaiting = 0;
            break;
        case T_FCTL:
            idat_run_over = true;
            if (!animated || w.awaiting) return fail(err, ERR_BAD_HEADER, type_pos);
            if (!take_fctl(b, length, crc, pos, false, &w, a, err)) return false;
            fctl_this_walk = true;
            break;
        case T_EXIF:
            idat_run_over = true;
            if (exif_seen) return fail(err, ERR_BAD_HEADER, type_pos);
            exif_seen = true;
            break;
        case T_IEND:
            if (len != 0) return fail(err, ERR_BAD_HEADER, pos);
            if (!crc_ok(crc, b, length, pos)) return fail(err, ERR_BAD_HEADER, data);
            if (animated && w.fctl_count != a->frame_count) return fail(err, ERR_BAD_HEADER, info->actl_pos + 8);
            if (w.awaiting) return fail(err, ERR_BAD_HEADER, type_pos);
            return true;
        case T_PLTE:
        case T_TRNS:
        case T_ACTL:
        case T_IHDR: return fail(err, ERR_BAD_HEADER, type_pos);
        default:
            idat_run_over = true;
            if (!is_ancillary(ct)) return fail(err, ERR_UNSUPPORTED, type_pos);
            break;
        }
        pos += 12 + (u64)len;
    }
}

// ---- Setup ---------------------------------------------------------------------------

static u64 place_region(u64* end, u64 size) {
    u64 at = align64(*end);
    *end = at + size;
    return at;
}

bool png_setup(const u8* b, u64 length, u32 frame, PngInfo* info, PngPlan* plan, PngStepPlan* steps,
               CodecError* err) {
    Crc32Table crc;
    crc32_make_table(&crc);
    *plan = PngPlan{};
    *steps = PngStepPlan{};
    if (!png_read_header(b, length, &crc, info, err)) return false;
    PngAnimInfo a;
    if (!png_validate_file(b, length, &crc, info, &a, err)) return false;
    if (frame != PNG_STILL && frame >= a.frame_count) return fail(err, ERR_BAD_TARGET, 0);
    PngPlan& p = *plan;
    p.width = info->width;
    p.height = info->height;
    p.colour_type = info->colour_type;
    p.bit_depth = info->bit_depth;
    p.interlace = info->interlace;
    p.pixel_bits = channels_of(p.colour_type) * p.bit_depth;
    p.filter_bytes = p.pixel_bits >= 8 ? p.pixel_bits / 8 : 1;
    p.animated = a.animated && frame != PNG_STILL;
    p.frame_count = a.frame_count;
    p.default_is_frame = a.default_is_frame;
    p.play_count = a.play_count;
    p.has_trns = info->trns_data != 0;
    p.convert_kind = png_convert_kind(p.colour_type, p.bit_depth, p.has_trns);
    p.pixel_format = info->pixel_format;
    p.pixel_size = png_pixel_size(p.pixel_format);
    p.idat_pos = info->idat_pos;
    p.first_fctl = a.first_fctl;
    p.plte_data = info->plte_data;
    p.palette_entries = info->palette_entries;
    p.trns_data = info->trns_data;
    p.trns_length = info->trns_length;
    p.raw_bytes = p.animated ? a.max_raw_bytes : a.still_raw_bytes;
    p.row_bytes = png_row_bytes(p.animated ? a.max_frame_width : p.width, p.pixel_bits);
    p.restore_bytes = p.animated ? a.max_restore_pixels * p.pixel_size : 0;
    p.strip_rows = p.height > 0x1F000 ? (u32)ceil_div(p.height, 4096) : 32;
    if (!p.animated) {
        for (u32 pass = png_first_pass(p.width, p.height, p.interlace); pass < 8;
             pass = png_next_pass(pass, p.width, p.height, p.interlace))
            p.steps += (u32)ceil_div(png_pass_rows(pass, p.height), p.strip_rows);
    }
    u64 end = 0;
    p.state_pos = place_region(&end, sizeof(PngState));
    p.inflate_pos = place_region(&end, sizeof(InflateState));
    p.tables_pos = place_region(&end, sizeof(PngTables));
    p.window_pos = place_region(&end, PNG_WINDOW_SIZE + 64);
    p.staging_pos = place_region(&end, PNG_STAGING_SIZE + 64);
    p.row_pos = place_region(&end, p.row_bytes + 33);
    p.zero_pos = place_region(&end, packed_raw_row(p.row_bytes));
    p.raw_pos = place_region(&end, p.raw_bytes + 128);
    p.restore_pos = place_region(&end, p.restore_bytes);
    p.workspace_bytes = align64(end);
    if (p.animated) {
        steps->phase_count = 1;
        steps->step_count = p.frame_count;
        steps->phases[0] = PngStepPhase{255, 1, 0, p.frame_count};
    } else {
        steps->phase_count = 2;
        steps->step_count = 2 * p.steps;
        steps->phases[0] = PngStepPhase{255, 1, 0, p.steps};
        steps->phases[1] = PngStepPhase{0, 1, 0, p.steps};
    }
    return true;
}

bool png_frame_control(const u8* b, u64 length, const PngPlan* plan, u32 frame, FrameControl* fc,
                       CodecError* err) {
    *fc = FrameControl{};
    error_clear(err);
    if (!plan->animated || frame >= plan->frame_count) return fail(err, ERR_BAD_TARGET, 0);
    u32 seen = 0;
    for (u64 pos = plan->first_fctl;;) {
        if (pos > length || length - pos < 12) return fail(err, ERR_TRUNCATED, length);
        u32 len = load_be32(b, length, pos);
        if (length - pos - 12 < len) return fail(err, ERR_TRUNCATED, length);
        if (load_be32(b, length, pos + 4) == T_FCTL && len == 26) {
            if (seen == frame) {
                u64 d = pos + 8;
                fc->sequence = load_be32(b, length, d);
                fc->width = load_be32(b, length, d + 4);
                fc->height = load_be32(b, length, d + 8);
                fc->x = load_be32(b, length, d + 12);
                fc->y = load_be32(b, length, d + 16);
                fc->delay_num = (u16)load_be16(b, length, d + 20);
                fc->delay_den = (u16)load_be16(b, length, d + 22);
                fc->dispose_op = b[d + 24];
                fc->blend_op = b[d + 25];
                return true;
            }
            seen++;
        }
        pos += 12 + (u64)len;
    }
}

// ---- Probe ------------------------------------------------------------------------------

u64 png_canvas_stride(const PngPlan* plan) {
    return packed_row(plan->width, plan->pixel_size);
}

PixelBuffer png_canvas_in_scratch(const PngPlan* plan, u8* scratch) {
    return PixelBuffer{scratch + align64(plan->workspace_bytes), png_canvas_stride(plan), plan->width, plan->height};
}

bool png_probe(const u8* b, u64 length, ImageInfo* info, PngPlan* plan_out, CodecError* err) {
    *info = ImageInfo{};
    PngInfo header;
    PngStepPlan steps;
    if (!png_setup(b, length, PNG_STILL, &header, plan_out, &steps, err)) return false;
    if ((header.flags & PNG_FLAG_ANIMATED) && !png_setup(b, length, 0, &header, plan_out, &steps, err)) return false;
    const PngPlan& p = *plan_out;
    info->decoder = DECODER_PNG;
    info->width = p.width;
    info->height = p.height;
    info->frame_count = p.animated ? p.frame_count : 1;
    info->play_count = p.animated ? p.play_count : 1;
    info->preview_level = 0;
    info->scratch_bytes = align64(p.workspace_bytes) + align64(png_canvas_stride(&p) * p.height);
    info->pixel_bytes = row_stride(p.width) * p.height + 32;
    info->extra_bytes = 0;
    error_clear(err);
    return true;
}
