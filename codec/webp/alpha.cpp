// The alpha plane of a lossy image (the ALPH chunk): a header byte (bits
// 0-1 compression: raw or lossless; bits 2-3 the prediction filter: none,
// horizontal, vertical or gradient; bits 4-5 a pre-processing hint, which
// only tells an encoder's quantisation and is ignored here as in libwebp;
// bits 6-7 reserved, zero), then the plane: raw bytes, or a lossless stream
// without its header whose green channel carries the values. The filters
// are undone row by row straight into the alpha bytes of the RGBA output,
// the row above being the output's previous row.
#include "codec/webp/webp.h"

enum : u32 {
    ALPH_RAW = 0,
    ALPH_LOSSLESS = 1,
    FILTER_NONE = 0,
    FILTER_HORIZONTAL = 1,
    FILTER_VERTICAL = 2,
    FILTER_GRADIENT = 3,
};

u64 alph_scratch_bytes(u32 w, u32 h, const u8* data, u64 pos, u64 size) {
    if (size < 1 || (data[pos] & 3) != ALPH_LOSSLESS) return 0;
    return vp8l_scratch_bytes(w, h, size - 1);
}

static QB_FORCE_INLINE u8 gradient(u32 left, u32 top, u32 top_left) {
    i32 v = (i32)left + (i32)top - (i32)top_left;
    return (u8)(v < 0 ? 0 : v > 255 ? 255 : v);
}

// One row of residues `in` (`step` bytes apart) into the alpha bytes of the
// output row `out`; `prev` is the previous output row or null for the first.
static void unfilter_row(u32 filter, const u8* in, u64 step, const u8* prev, u8* out, u32 width) {
    if (filter == FILTER_NONE) {
        for (u32 x = 0; x < width; x++) out[4 * x + 3] = in[x * step];
        return;
    }
    // The first row of every filter predicts from the left (0 before it).
    if (prev == nullptr || filter == FILTER_HORIZONTAL) {
        u8 left = prev == nullptr ? 0 : prev[3];
        for (u32 x = 0; x < width; x++) {
            left = (u8)(left + in[x * step]);
            out[4 * x + 3] = left;
        }
        return;
    }
    if (filter == FILTER_VERTICAL) {
        for (u32 x = 0; x < width; x++) out[4 * x + 3] = (u8)(prev[4 * x + 3] + in[x * step]);
        return;
    }
    u8 left = prev[3];  // the first pixel predicts from above
    u8 top_left = prev[3];
    for (u32 x = 0; x < width; x++) {
        u8 top = prev[4 * x + 3];
        left = (u8)(in[x * step] + gradient(left, top, top_left));
        top_left = top;
        out[4 * x + 3] = left;
    }
}

bool alph_decode(const u8* data, u64 pos, u64 size, u8* scratch, u64 scratch_size, const PixelBuffer* out,
                 CodecError* err) {
    error_clear(err);
    if (size < 1) return fail(err, ERR_TRUNCATED, pos);
    u32 header = data[pos];
    u32 method = header & 3;
    u32 filter = (header >> 2) & 3;
    u32 pre = (header >> 4) & 3;
    if (method > ALPH_LOSSLESS || pre > 1 || (header >> 6) != 0) return fail(err, ERR_BAD_HEADER, pos);
    u32 w = out->width;
    u32 h = out->height;
    const u8* plane;
    u64 step;
    u64 row_size;
    if (method == ALPH_RAW) {
        if (size - 1 < (u64)w * h) return fail(err, ERR_TRUNCATED, pos + size);
        plane = data + pos + 1;
        step = 1;
        row_size = w;
    } else {
        const u32* argb;
        if (!vp8l_decode_headerless(data, pos + 1, size - 1, w, h, scratch, scratch_size, &argb, err)) return false;
        plane = (const u8*)argb + 1;  // green of little-endian ARGB words
        step = 4;
        row_size = 4 * (u64)w;
    }
    for (u32 y = 0; y < h; y++) {
        u8* row = out->pixels + (u64)y * out->stride;
        const u8* prev = y == 0 ? nullptr : row - out->stride;
        unfilter_row(filter, plane + y * row_size, step, prev, row, w);
    }
    return true;
}
