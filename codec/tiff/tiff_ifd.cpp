// The TIFF container: the header, the chain of IFDs and the fields of the
// first one. Every IFD of the chain is read and every entry of each is
// checked against the file (its type sized, its count times that size kept
// from overflowing, its data inside the file); each IFD's bytes must not
// overlap another's, which catches loops and shared offsets alike. Then the
// image's fields are checked together, every chunk the image names is
// proved to lie in the file, and the scratch memory is laid out.
#include "codec/tiff/tiff.h"

#include "codec/png/inflate.h"

// ---- Byte order -------------------------------------------------------------

struct TiffReader {
    const u8* p;
    u64 n;
    bool be;
    bool big;
};

static u32 rd16(const TiffReader* r, u64 pos) {
    return r->be ? load_be16(r->p, r->n, pos) : load_le16(r->p, r->n, pos);
}
static u32 rd32(const TiffReader* r, u64 pos) {
    return r->be ? load_be32(r->p, r->n, pos) : load_le32(r->p, r->n, pos);
}
static u64 rd64(const TiffReader* r, u64 pos) {
    u64 a = rd32(r, pos);
    u64 b = rd32(r, pos + 4);
    return r->be ? (a << 32) | b : (b << 32) | a;
}

// ---- Entries ----------------------------------------------------------------

enum : u32 {
    TAG_NEW_SUBFILE_TYPE = 254,
    TAG_WIDTH = 256,
    TAG_HEIGHT = 257,
    TAG_BITS = 258,
    TAG_COMPRESSION = 259,
    TAG_PHOTOMETRIC = 262,
    TAG_FILL_ORDER = 266,
    TAG_STRIP_OFFSETS = 273,
    TAG_SAMPLES = 277,
    TAG_ROWS_PER_STRIP = 278,
    TAG_STRIP_COUNTS = 279,
    TAG_PLANAR = 284,
    TAG_PREDICTOR = 317,
    TAG_COLOR_MAP = 320,
    TAG_TILE_WIDTH = 322,
    TAG_TILE_HEIGHT = 323,
    TAG_TILE_OFFSETS = 324,
    TAG_TILE_COUNTS = 325,
    TAG_EXTRA_SAMPLES = 338,
    TAG_SAMPLE_FORMAT = 339,
    TAG_JPEG_TABLES = 347,
    TAG_YCBCR_COEFFICIENTS = 529,
    TAG_YCBCR_SUBSAMPLING = 530,
    TAG_REFERENCE_BLACK_WHITE = 532,
    TAG_SUB_IFDS = 330,
};

static const u32 k_tags[] = {TAG_WIDTH,         TAG_HEIGHT,          TAG_BITS,           TAG_COMPRESSION,
                             TAG_PHOTOMETRIC,   TAG_FILL_ORDER,      TAG_STRIP_OFFSETS,  TAG_SAMPLES,
                             TAG_ROWS_PER_STRIP, TAG_STRIP_COUNTS,   TAG_PLANAR,         TAG_PREDICTOR,
                             TAG_COLOR_MAP,     TAG_TILE_WIDTH,      TAG_TILE_HEIGHT,    TAG_TILE_OFFSETS,
                             TAG_TILE_COUNTS,   TAG_EXTRA_SAMPLES,   TAG_SAMPLE_FORMAT,  TAG_JPEG_TABLES,
                             TAG_YCBCR_COEFFICIENTS, TAG_YCBCR_SUBSAMPLING, TAG_REFERENCE_BLACK_WHITE,
                             TAG_NEW_SUBFILE_TYPE, TAG_SUB_IFDS};
enum : u32 { TAG_SLOTS = sizeof k_tags / sizeof k_tags[0] };

struct TiffEntry {
    u32 type;
    u32 size;    // bytes per value
    u64 count;   // 0: absent
    u64 data;    // file offset of the first value
    u64 pos;     // file offset of the entry
};

// Bytes per value of each field type; 0: unknown, the entry is passed over.
static u32 type_size(u32 type) {
    static const u8 sizes[19] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4, 0, 0, 8, 8, 8};
    return type < 19 ? sizes[type] : 0;
}

static bool is_integer_type(u32 type) {
    return type == 1 || type == 3 || type == 4 || type == 13 || type == 16 || type == 18;
}

static u64 entry_uint(const TiffReader* r, const TiffEntry* e, u64 i) {
    u64 at = e->data + i * e->size;
    switch (e->size) {
    case 1: return r->p[at];
    case 2: return rd16(r, at);
    case 4: return rd32(r, at);
    default: return rd64(r, at);
    }
}

static double entry_rational(const TiffReader* r, const TiffEntry* e, u64 i) {
    u64 at = e->data + i * 8;
    u32 num = rd32(r, at);
    u32 den = rd32(r, at + 4);
    if (e->type == 10) return den == 0 ? 0.0 : (double)(i32)num / (double)(i32)den;
    return den == 0 ? 0.0 : (double)num / (double)den;
}

// An integer field with at least `min_count` values, else "bad_header" at
// the entry.
static bool want_uint(const TiffEntry* e, u64 min_count, CodecError* err) {
    if (!is_integer_type(e->type) || e->count < min_count) return fail(err, ERR_BAD_HEADER, e->pos);
    return true;
}

static bool uint_or(const TiffReader* r, const TiffEntry* e, u64 fallback, u64* out, CodecError* err) {
    if (e->count == 0) {
        *out = fallback;
        return true;
    }
    if (!want_uint(e, 1, err)) return false;
    *out = entry_uint(r, e, 0);
    return true;
}

// ---- IFD chain --------------------------------------------------------------

enum : u32 { TIFF_MAX_IFDS = 256 };

struct IfdRange {
    u64 start;
    u64 end;
};

// Reads the IFD at `pos`: checks every entry, keeps those of k_tags when
// `keep` is set (first occurrence wins), returns the next IFD's offset and
// where that offset is stored.
static bool read_ifd(const TiffReader* r, u64 pos, TiffEntry* keep, u64* next_out, u64* next_field, IfdRange* range,
                     CodecError* err) {
    u64 head = r->big ? 8 : 2;
    u64 entry_size = r->big ? 20 : 12;
    u64 link = r->big ? 8 : 4;
    if (pos > r->n || r->n - pos < head) return fail(err, ERR_TRUNCATED, r->n);
    u64 count = r->big ? rd64(r, pos) : rd16(r, pos);
    if (count == 0) return fail(err, ERR_BAD_HEADER, pos);
    if (count > (r->n - pos - head) / entry_size) return fail(err, ERR_TRUNCATED, r->n);
    u64 end = pos + head + count * entry_size;
    if (r->n - end < link) return fail(err, ERR_TRUNCATED, r->n);
    range->start = pos;
    range->end = end + link;
    for (u64 i = 0; i < count; i++) {
        u64 at = pos + head + i * entry_size;
        u32 tag = rd16(r, at);
        u32 type = rd16(r, at + 2);
        u64 n = r->big ? rd64(r, at + 4) : rd32(r, at + 4);
        u64 value = at + (r->big ? 12 : 8);
        u32 size = type_size(type);
        if (size == 0) continue;
        u64 inline_size = r->big ? 8 : 4;
        // More values than the file could hold (the product may overflow).
        if (n > inline_size / size && n > r->n / size) return fail(err, ERR_BAD_HEADER, at);
        u64 bytes = n * size;
        u64 data = value;
        if (bytes > inline_size) {
            data = r->big ? rd64(r, value) : rd32(r, value);
            if (data > r->n || r->n - data < bytes) return fail(err, ERR_BAD_HEADER, at);
        }
        if (keep == nullptr || n == 0) continue;
        for (u32 k = 0; k < TAG_SLOTS; k++) {
            if (k_tags[k] == tag && keep[k].count == 0) keep[k] = TiffEntry{type, size, n, data, at};
        }
    }
    *next_field = end;
    *next_out = r->big ? rd64(r, end) : rd32(r, end);
    return true;
}

// The IFDs of the file: the chain from the header, then those IFD 0 names
// in its SubIFDs field. Each is read and its entries checked; an IFD that
// meets one read before (a loop, a shared offset) is refused at the field
// that points to it.
struct IfdList {
    u64 pos[TIFF_MAX_IFDS];
    IfdRange range[TIFF_MAX_IFDS];
    u32 count;
};

static bool add_ifd(const TiffReader* r, u64 pos, u64 field, IfdList* list, u64* next, u64* next_field,
                    CodecError* err) {
    if (list->count == TIFF_MAX_IFDS) return fail(err, ERR_LIMIT, field);
    if (pos >= r->n) return fail(err, ERR_BAD_HEADER, field);
    for (u32 i = 0; i < list->count; i++) {
        if (pos >= list->range[i].start && pos < list->range[i].end) return fail(err, ERR_BAD_HEADER, field);
    }
    IfdRange range;
    if (!read_ifd(r, pos, nullptr, next, next_field, &range, err)) return false;
    for (u32 i = 0; i < list->count; i++) {
        if (range.start < list->range[i].end && list->range[i].start < range.end) {
            return fail(err, ERR_BAD_HEADER, field);
        }
    }
    list->pos[list->count] = pos;
    list->range[list->count] = range;
    list->count++;
    return true;
}

static bool read_chain(const TiffReader* r, u64 first, u64 first_field, IfdList* list, CodecError* err) {
    list->count = 0;
    u64 pos = first;
    u64 field = first_field;
    while (pos != 0) {
        u64 next, next_field;
        if (!add_ifd(r, pos, field, list, &next, &next_field, err)) return false;
        pos = next;
        field = next_field;
    }
    // Reduced images kept as SubIFDs of the first image.
    TiffEntry keep[TAG_SLOTS] = {};
    u64 next, next_field;
    IfdRange range;
    if (!read_ifd(r, list->pos[0], keep, &next, &next_field, &range, err)) return false;
    for (u32 k = 0; k < TAG_SLOTS; k++) {
        const TiffEntry* e = &keep[k];
        if (k_tags[k] != TAG_SUB_IFDS || e->count == 0 || !is_integer_type(e->type)) continue;
        for (u64 i = 0; i < e->count; i++) {
            u64 at = entry_uint(r, e, i);
            if (!add_ifd(r, at, e->data + i * e->size, list, &next, &next_field, err)) return false;
        }
    }
    return true;
}

// ---- The image --------------------------------------------------------------

static u32 slot_of(u32 tag) {
    for (u32 k = 0; k < TAG_SLOTS; k++) {
        if (k_tags[k] == tag) return k;
    }
    return 0;
}
#define FIELD(tag) (&entries[slot_of(tag)])

bool tiff_sniff(const u8* data, u64 length) {
    if (length < 4) return false;
    bool le = data[0] == 'I' && data[1] == 'I' && data[3] == 0 && (data[2] == 42 || data[2] == 43);
    bool be = data[0] == 'M' && data[1] == 'M' && data[2] == 0 && (data[3] == 42 || data[3] == 43);
    return le || be;
}

static bool read_header(const u8* data, u64 length, TiffReader* r, u64* first, u64* first_field, CodecError* err) {
    if (!need_bytes(length, 8, err)) return false;
    if (!tiff_sniff(data, length)) return fail(err, ERR_BAD_SIGNATURE, 0);
    r->p = data;
    r->n = length;
    r->be = data[0] == 'M';
    r->big = rd16(r, 2) == 43;
    if (!r->big) {
        *first = rd32(r, 4);
        *first_field = 4;
    } else {
        if (!need_bytes(length, 16, err)) return false;
        if (rd16(r, 4) != 8 || rd16(r, 6) != 0) return fail(err, ERR_BAD_HEADER, 4);
        *first = rd64(r, 8);
        *first_field = 8;
    }
    if (*first == 0) return fail(err, ERR_BAD_HEADER, *first_field);
    return true;
}

// Sample layout and colour: photometric, samples, bits, alpha, palette.
static bool read_color(const TiffReader* r, const TiffEntry* entries, TiffImage* im, CodecError* err) {
    u64 v;
    if (!uint_or(r, FIELD(TAG_SAMPLES), 1, &v, err)) return false;
    if (v < 1 || v > 16) return fail(err, ERR_UNSUPPORTED, FIELD(TAG_SAMPLES)->pos);
    im->samples = (u32)v;
    const TiffEntry* bits = FIELD(TAG_BITS);
    im->bits = 1;
    if (bits->count != 0) {
        if (!want_uint(bits, 1, err)) return false;
        im->bits = (u32)entry_uint(r, bits, 0);
        // Every sample must have the same depth.
        for (u64 i = 1; i < bits->count && i < im->samples; i++) {
            if (entry_uint(r, bits, i) != im->bits) return fail(err, ERR_UNSUPPORTED, bits->pos);
        }
    }
    if (im->bits != 1 && im->bits != 2 && im->bits != 4 && im->bits != 8 && im->bits != 16) {
        return fail(err, ERR_UNSUPPORTED, bits->pos);
    }
    const TiffEntry* format = FIELD(TAG_SAMPLE_FORMAT);
    if (format->count != 0) {
        if (!want_uint(format, 1, err)) return false;
        if (entry_uint(r, format, 0) != 1) return fail(err, ERR_UNSUPPORTED, format->pos);
    }
    const TiffEntry* photo = FIELD(TAG_PHOTOMETRIC);
    if (!uint_or(r, photo, im->samples >= 3 ? TIFF_PHOTOMETRIC_RGB : TIFF_PHOTOMETRIC_MIN_IS_BLACK, &v, err)) {
        return false;
    }
    im->photometric = (u32)v;
    u64 photo_pos = photo->count != 0 ? photo->pos : 0;
    switch (im->photometric) {
    case TIFF_PHOTOMETRIC_MIN_IS_WHITE:
    case TIFF_PHOTOMETRIC_MIN_IS_BLACK:
    case TIFF_PHOTOMETRIC_PALETTE: im->color_samples = 1; break;
    case TIFF_PHOTOMETRIC_RGB:
    case TIFF_PHOTOMETRIC_YCBCR: im->color_samples = 3; break;
    case TIFF_PHOTOMETRIC_SEPARATED: im->color_samples = 4; break;
    default: return fail(err, ERR_UNSUPPORTED, photo_pos);
    }
    if (im->samples < im->color_samples) return fail(err, ERR_BAD_HEADER, FIELD(TAG_SAMPLES)->pos);
    im->alpha = TIFF_ALPHA_NONE;
    const TiffEntry* extra = FIELD(TAG_EXTRA_SAMPLES);
    if (extra->count != 0 && im->samples > im->color_samples) {
        if (!want_uint(extra, 1, err)) return false;
        u64 kind = entry_uint(r, extra, 0);
        if (kind == 1) im->alpha = TIFF_ALPHA_ASSOCIATED;
        if (kind == 2) im->alpha = TIFF_ALPHA_UNASSOCIATED;
    }
    if (im->photometric == TIFF_PHOTOMETRIC_PALETTE) {
        if (im->bits > 8) return fail(err, ERR_UNSUPPORTED, bits->pos);
        const TiffEntry* map = FIELD(TAG_COLOR_MAP);
        u64 n = 1ull << im->bits;
        if (map->count == 0) return fail(err, ERR_BAD_HEADER, photo_pos);
        if (map->type != 3 || map->count < 3 * n) return fail(err, ERR_BAD_HEADER, map->pos);
        // Maps whose values all fit 8 bits were written as 8-bit values;
        // others are 16-bit and keep their high byte.
        bool wide = false;
        for (u64 i = 0; i < 3 * n; i++) wide |= entry_uint(r, map, i) > 255;
        u32 shift = wide ? 8 : 0;
        for (u64 i = 0; i < 256; i++) {
            u64 j = i < n ? i : 0;
            u32 red = (u32)(entry_uint(r, map, j) >> shift);
            u32 green = (u32)(entry_uint(r, map, n + j) >> shift);
            u32 blue = (u32)(entry_uint(r, map, 2 * n + j) >> shift);
            im->palette[i] = red | green << 8 | blue << 16 | 0xFF000000u;
        }
    }
    if (im->photometric == TIFF_PHOTOMETRIC_YCBCR) {
        float luma[3] = {0.299f, 0.587f, 0.114f};
        float ref[6] = {0, 255, 128, 255, 128, 255};
        const TiffEntry* co = FIELD(TAG_YCBCR_COEFFICIENTS);
        if (co->count >= 3 && (co->type == 5 || co->type == 10)) {
            for (u32 i = 0; i < 3; i++) luma[i] = (float)entry_rational(r, co, i);
            if (luma[1] == 0) return fail(err, ERR_BAD_HEADER, co->pos);
        }
        const TiffEntry* rbw = FIELD(TAG_REFERENCE_BLACK_WHITE);
        if (rbw->count >= 6 && (rbw->type == 5 || rbw->type == 10)) {
            for (u32 i = 0; i < 6; i++) ref[i] = (float)entry_rational(r, rbw, i);
            for (u32 i = 0; i < 6; i++) {
                if (!(ref[i] > -1e6f && ref[i] < 1e6f)) return fail(err, ERR_BAD_HEADER, rbw->pos);
            }
        }
        for (u32 i = 0; i < 3; i++) im->luma[i] = luma[i];
        for (u32 i = 0; i < 6; i++) im->reference[i] = ref[i];
        im->ycbcr_h = 2;
        im->ycbcr_v = 2;
        const TiffEntry* sub = FIELD(TAG_YCBCR_SUBSAMPLING);
        if (sub->count != 0) {
            if (!want_uint(sub, 2, err)) return false;
            im->ycbcr_h = (u32)entry_uint(r, sub, 0);
            im->ycbcr_v = (u32)entry_uint(r, sub, 1);
            bool ok_h = im->ycbcr_h == 1 || im->ycbcr_h == 2 || im->ycbcr_h == 4;
            bool ok_v = im->ycbcr_v == 1 || im->ycbcr_v == 2 || im->ycbcr_v == 4;
            if (!ok_h || !ok_v || im->ycbcr_v > im->ycbcr_h) return fail(err, ERR_UNSUPPORTED, sub->pos);
        }
    }
    return true;
}

// Compression, predictor, fill order, planar configuration, and which
// combinations are decoded.
static bool read_coding(const TiffReader* r, const TiffEntry* entries, TiffImage* im, CodecError* err) {
    u64 v;
    const TiffEntry* comp = FIELD(TAG_COMPRESSION);
    if (!uint_or(r, comp, 1, &v, err)) return false;
    im->compression = (u32)v;
    im->compression_field = comp->count != 0 ? comp->pos + (r->big ? 12 : 8) : 0;
    switch (im->compression) {
    case TIFF_COMPRESSION_NONE:
    case TIFF_COMPRESSION_LZW:
    case TIFF_COMPRESSION_JPEG:
    case TIFF_COMPRESSION_DEFLATE:
    case TIFF_COMPRESSION_DEFLATE_OLD:
    case TIFF_COMPRESSION_PACKBITS: break;
    default: return fail(err, ERR_UNSUPPORTED, im->compression_field);
    }
    const TiffEntry* pred = FIELD(TAG_PREDICTOR);
    if (!uint_or(r, pred, 1, &v, err)) return false;
    im->predictor = (u32)v;
    bool uses_predictor = im->compression == TIFF_COMPRESSION_LZW || im->compression == TIFF_COMPRESSION_DEFLATE ||
                          im->compression == TIFF_COMPRESSION_DEFLATE_OLD;
    if (!uses_predictor) im->predictor = 1;
    if (im->predictor != 1 && (im->predictor != 2 || (im->bits != 8 && im->bits != 16))) {
        return fail(err, ERR_UNSUPPORTED, pred->pos);
    }
    if (!uint_or(r, FIELD(TAG_FILL_ORDER), 1, &v, err)) return false;
    if (v != 1 && v != 2) return fail(err, ERR_BAD_HEADER, FIELD(TAG_FILL_ORDER)->pos);
    im->fill_order = (u32)v;
    if (!uint_or(r, FIELD(TAG_PLANAR), 1, &v, err)) return false;
    if (v != 1 && v != 2) return fail(err, ERR_BAD_HEADER, FIELD(TAG_PLANAR)->pos);
    im->planar = im->samples == 1 ? 1 : (u32)v;
    im->planes = im->planar == 2 ? im->samples : 1;
    bool ycbcr = im->photometric == TIFF_PHOTOMETRIC_YCBCR;
    if (im->compression == TIFF_COMPRESSION_JPEG) {
        bool grey = im->photometric == TIFF_PHOTOMETRIC_MIN_IS_BLACK && im->samples == 1;
        bool color = (ycbcr || im->photometric == TIFF_PHOTOMETRIC_RGB) && im->samples == 3;
        if (im->bits != 8 || im->planar != 1 || (!grey && !color)) return fail(err, ERR_UNSUPPORTED, im->compression_field);
        const TiffEntry* tables = FIELD(TAG_JPEG_TABLES);
        if (tables->count != 0) {
            if (tables->size != 1 || tables->count < 4) return fail(err, ERR_BAD_HEADER, tables->pos);
            im->tables_pos = tables->data;
            im->tables_size = tables->count;
        }
        im->ycbcr_h = 1;
        im->ycbcr_v = 1;
    } else if (ycbcr) {
        bool sub = im->ycbcr_h != 1 || im->ycbcr_v != 1;
        if (im->bits != 8 || (sub && (im->planar != 1 || im->samples != 3))) {
            return fail(err, ERR_UNSUPPORTED, FIELD(TAG_PHOTOMETRIC)->pos);
        }
    }
    return true;
}

// Limits: the view's for a file cut into small blocks; for one whose blocks
// are large (strips taller than a screen tile, big tiles), the caps of the
// decoders that hold the whole image.
static const u32 k_max_side = 0xFFFF00;
static const u64 k_max_block_samples = 0x10000000;

static bool read_geometry(const TiffReader* r, const TiffEntry* entries, TiffImage* im, CodecError* err) {
    u64 w, h;
    const TiffEntry* we = FIELD(TAG_WIDTH);
    const TiffEntry* he = FIELD(TAG_HEIGHT);
    if (we->count == 0 || he->count == 0) return fail(err, ERR_BAD_HEADER, 0);
    if (!uint_or(r, we, 0, &w, err) || !uint_or(r, he, 0, &h, err)) return false;
    if (w == 0) return fail(err, ERR_BAD_HEADER, we->pos);
    if (h == 0) return fail(err, ERR_BAD_HEADER, he->pos);
    if (w > k_max_side) return fail(err, ERR_TOO_LARGE, we->pos);
    if (h > k_max_side) return fail(err, ERR_TOO_LARGE, he->pos);
    im->width = (u32)w;
    im->height = (u32)h;
    const TiffEntry* tw = FIELD(TAG_TILE_WIDTH);
    const TiffEntry* th = FIELD(TAG_TILE_HEIGHT);
    const TiffEntry* offsets;
    const TiffEntry* counts;
    im->tiled = tw->count != 0 || th->count != 0 || FIELD(TAG_TILE_OFFSETS)->count != 0;
    if (im->tiled) {
        u64 bw, bh;
        if (!uint_or(r, tw, 0, &bw, err) || !uint_or(r, th, 0, &bh, err)) return false;
        if (bw == 0 || bw > k_max_side) return fail(err, ERR_BAD_HEADER, tw->pos);
        if (bh == 0 || bh > k_max_side) return fail(err, ERR_BAD_HEADER, th->pos);
        im->block_width = (u32)bw;
        im->block_height = (u32)bh;
        offsets = FIELD(TAG_TILE_OFFSETS);
        counts = FIELD(TAG_TILE_COUNTS);
    } else {
        u64 rows;
        if (!uint_or(r, FIELD(TAG_ROWS_PER_STRIP), 0xFFFFFFFFu, &rows, err)) return false;
        if (rows == 0) return fail(err, ERR_BAD_HEADER, FIELD(TAG_ROWS_PER_STRIP)->pos);
        im->block_width = im->width;
        im->block_height = rows < im->height ? (u32)rows : im->height;
        offsets = FIELD(TAG_STRIP_OFFSETS);
        counts = FIELD(TAG_STRIP_COUNTS);
    }
    // Subsampled YCbCr comes in whole sampling units.
    if (im->photometric == TIFF_PHOTOMETRIC_YCBCR && im->compression != TIFF_COMPRESSION_JPEG && !im->tiled &&
        im->block_height < im->height && im->block_height % im->ycbcr_v != 0) {
        return fail(err, ERR_UNSUPPORTED, FIELD(TAG_ROWS_PER_STRIP)->pos);
    }
    im->blocks_across = (u32)ceil_div(im->width, im->block_width);
    im->blocks_down = (u32)ceil_div(im->height, im->block_height);
    im->block_count = (u64)im->blocks_across * im->blocks_down;
    u64 block_pixels = (u64)im->block_width * im->block_height;
    if (block_pixels > k_max_block_samples / im->samples) return fail(err, ERR_TOO_LARGE, im->tiled ? tw->pos : 0);
    // Large blocks are decoded whole: the image then keeps the whole-image caps.
    bool small_blocks = im->tiled ? block_pixels <= 1024 * 1024 : im->block_height <= 256;
    if (!small_blocks && (u64)im->width * im->height > k_max_block_samples / im->samples) {
        return fail(err, ERR_TOO_LARGE, he->pos);
    }
    u64 chunks = im->block_count * im->planes;
    if (offsets->count == 0 || counts->count == 0) return fail(err, ERR_BAD_HEADER, 0);
    if (!want_uint(offsets, chunks, err) || !want_uint(counts, chunks, err)) return false;
    im->offsets_pos = offsets->data;
    im->counts_pos = counts->data;
    im->offsets_size = offsets->size;
    im->counts_size = counts->size;
    im->offsets_field = offsets->pos;
    // Every chunk lies in the file; a chunk that does not is refused with the
    // offset of its entry in the table.
    im->max_chunk = 0;
    for (u64 i = 0; i < chunks; i++) {
        u64 at = entry_uint(r, offsets, i);
        u64 n = entry_uint(r, counts, i);
        if (at > r->n || r->n - at < n) return fail(err, ERR_BAD_HEADER, offsets->data + i * offsets->size);
        if (n > im->max_chunk) im->max_chunk = n;
    }
    return true;
}

// ---- Scratch layout -----------------------------------------------------------

// What one image needs: row and block sizes, and the sizes of the parts of
// the scratch memory (kept in the offset fields until the document lays
// them out).
struct ImageNeeds {
    u64 work;
    u64 chunk;
    u64 raw;
    u64 row;
    u64 slot;
    u64 slots;  // blocks one screen tile can touch
    u64 jpeg_layout;
    u64 jpeg_workspace;
};

static void image_needs(TiffImage* im, JpegDecoder* jpeg_work, ImageNeeds* n) {
    u64 bw = im->block_width;
    u64 bh = im->block_height;
    u32 per_chunk = im->planar == 2 ? 1 : im->samples;
    im->plane_row_bytes = ceil_div(bw * per_chunk * im->bits, 8);
    im->raw_bytes_per_plane = im->plane_row_bytes * bh;
    if (im->photometric == TIFF_PHOTOMETRIC_YCBCR && (im->ycbcr_h != 1 || im->ycbcr_v != 1)) {
        u64 unit = (u64)im->ycbcr_h * im->ycbcr_v + 2;
        im->plane_row_bytes = ceil_div(bw, im->ycbcr_h) * unit;
        im->raw_bytes_per_plane = im->plane_row_bytes * ceil_div(bh, im->ycbcr_v);
    }
    *n = ImageNeeds{};
    if (im->compression == TIFF_COMPRESSION_LZW) n->work = TIFF_LZW_WORK_BYTES;
    if (im->compression == TIFF_COMPRESSION_DEFLATE || im->compression == TIFF_COMPRESSION_DEFLATE_OLD) {
        n->work = sizeof(InflateState);
    }
    if (im->fill_order == 2 || (im->compression == TIFF_COMPRESSION_JPEG && im->tables_size != 0)) {
        n->chunk = im->max_chunk + im->tables_size + 16;
    }
    if (im->compression != TIFF_COMPRESSION_JPEG) n->raw = im->raw_bytes_per_plane * im->planes + 16;
    n->row = bw * im->samples + 16;
    n->slot = align64(row_stride(bw) * bh);
    n->slots = im->tiled ? (ceil_div(256, bw) + 1) * (ceil_div(256, bh) + 1) : ceil_div(256, bh) + 1;
    if (im->compression == TIFF_COMPRESSION_JPEG && jpeg_work != nullptr) {
        tiff_jpeg_sizes(im, jpeg_work, &n->jpeg_layout, &n->jpeg_workspace);
    }
}

static u64 max64(u64 a, u64 b) {
    return a > b ? a : b;
}

// One layout for every image: each part as large as the largest need. The
// JPEG decoder's part comes last, so that a job can size it with a record
// made where that part starts (see tiff_begin).
static void layout(TiffDocument* doc, JpegDecoder* jpeg_work) {
    ImageNeeds all = {};
    u64 blocks = 0;
    for (u32 i = 0; i < doc->image_count; i++) {
        ImageNeeds n;
        image_needs(&doc->images[i], jpeg_work, &n);
        all.work = max64(all.work, n.work);
        all.chunk = max64(all.chunk, n.chunk);
        all.raw = max64(all.raw, n.raw);
        all.row = max64(all.row, n.row);
        all.slot = max64(all.slot, n.slot);
        all.slots = max64(all.slots, n.slots);
        all.jpeg_layout = max64(all.jpeg_layout, n.jpeg_layout);
        all.jpeg_workspace = max64(all.jpeg_workspace, n.jpeg_workspace);
        blocks += doc->images[i].block_count;
    }
    u64 off = align64(sizeof(TiffDocument));
    doc->work_offset = off;
    off += align64(all.work);
    doc->chunk_offset = off;
    doc->chunk_size = all.chunk;
    off += align64(all.chunk);
    doc->raw_offset = off;
    off += align64(all.raw);
    doc->row_offset = off;
    off += align64(all.row);
    // Enough blocks for one screen tile, and more up to the cache target.
    doc->slot_bytes = all.slot;
    u64 slots = TIFF_CACHE_TARGET / all.slot;
    if (slots < all.slots) slots = all.slots;
    if (slots > blocks) slots = blocks;
    if (slots > TIFF_MAX_SLOTS) slots = TIFF_MAX_SLOTS;
    // Very wide strips: the cache stays within its limit, at the price of
    // decoding strips again for neighbouring screen tiles.
    if (slots * all.slot > TIFF_CACHE_LIMIT) slots = TIFF_CACHE_LIMIT / all.slot > 0 ? TIFF_CACHE_LIMIT / all.slot : 1;
    doc->slot_count = (u32)slots;
    doc->tags_offset = off;
    off += align64(slots * 8);
    doc->stamps_offset = off;
    off += align64(slots * 8);
    doc->slots_offset = off;
    off += slots * all.slot;
    doc->jpeg_offset = off;
    doc->jpeg_layout_bytes = all.jpeg_layout;
    doc->jpeg_workspace_bytes = all.jpeg_workspace;
    off += align64(all.jpeg_layout) + align64(all.jpeg_workspace);
    doc->total_bytes = off;
    tiff_share_layout(doc);
}

void tiff_share_layout(TiffDocument* doc) {
    for (u32 i = 0; i < doc->image_count; i++) {
        TiffImage* im = &doc->images[i];
        im->work_offset = doc->work_offset;
        im->chunk_offset = doc->chunk_offset;
        im->chunk_size = doc->chunk_size;
        im->raw_offset = doc->raw_offset;
        im->row_offset = doc->row_offset;
        im->jpeg_offset = doc->jpeg_offset;
        im->jpeg_layout_bytes = doc->jpeg_layout_bytes;
        im->jpeg_workspace_bytes = doc->jpeg_workspace_bytes;
    }
}

// ---- The document ---------------------------------------------------------------

static bool read_image_at(const TiffReader* r, u64 pos, TiffImage* im, u64* subfile_type, CodecError* err) {
    *im = TiffImage{};
    TiffEntry entries[TAG_SLOTS] = {};
    u64 next, next_field;
    IfdRange range;
    if (!read_ifd(r, pos, entries, &next, &next_field, &range, err)) return false;
    im->magic = TIFF_MAGIC;
    im->big_endian = r->be;
    im->bigtiff = r->big;
    if (!uint_or(r, FIELD(TAG_NEW_SUBFILE_TYPE), 0, subfile_type, err)) return false;
    return read_color(r, entries, im, err) && read_coding(r, entries, im, err) && read_geometry(r, entries, im, err);
}

// The level a reduced image serves: the one whose size it has, give or take
// the pixel that rounding down instead of up loses; 0 when none.
static u32 level_of(const TiffImage* base, const TiffImage* im) {
    for (u32 k = 1; k < TIFF_MAX_LEVELS; k++) {
        u64 lw = ceil_shift(base->width, k);
        u64 lh = ceil_shift(base->height, k);
        bool w_ok = im->width == lw || im->width + 1 == lw || im->width == lw + 1;
        bool h_ok = im->height == lh || im->height + 1 == lh || im->height == lh + 1;
        if (w_ok && h_ok) return k;
        if (lw < im->width && lh < im->height) break;
    }
    return 0;
}

bool tiff_read_document(const u8* data, u64 length, TiffDocument* doc, JpegDecoder* jpeg_work, CodecError* err) {
    error_clear(err);
    doc->magic = 0;
    doc->image_count = 0;
    doc->top_level = 0;
    for (u32 k = 0; k < TIFF_MAX_LEVELS; k++) doc->level_image[k] = -1;
    TiffReader r;
    u64 first, first_field;
    if (!read_header(data, length, &r, &first, &first_field, err)) return false;
    IfdList list;
    if (!read_chain(&r, first, first_field, &list, err)) return false;
    u64 type;
    if (!read_image_at(&r, list.pos[0], &doc->images[0], &type, err)) return false;
    doc->image_count = 1;
    doc->level_image[0] = 0;
    // Reduced-resolution images: each that reads cleanly and has the size
    // of a level serves that level; the rest are passed over. Besides the
    // images marked reduced, a tiled image of a tiled file's chain counts
    // even when marked as a page of its own: slide scanners write their
    // pyramids that way. Documents of several pages are written in strips,
    // and a page exactly a power of two smaller both ways is rare.
    for (u32 i = 1; i < list.count && doc->image_count < TIFF_MAX_LEVELS; i++) {
        TiffImage* im = &doc->images[doc->image_count];
        CodecError ignored;
        if (!read_image_at(&r, list.pos[i], im, &type, &ignored)) continue;
        bool reduced = (type & 1) != 0;
        bool pyramid_page = type == 0 && im->tiled && doc->images[0].tiled;
        if (!reduced && !pyramid_page) continue;
        u32 k = level_of(&doc->images[0], im);
        if (k == 0 || doc->level_image[k] >= 0) continue;
        doc->level_image[k] = (i8)doc->image_count;
        if (k > doc->top_level) doc->top_level = k;
        doc->image_count++;
    }
    layout(doc, jpeg_work);
    doc->magic = TIFF_MAGIC;
    error_clear(err);
    return true;
}
