// The alpha plane of a lossy image (the ALPH chunk): a header byte (bits
// 0-1 compression: raw or lossless; bits 2-3 the prediction filter: none,
// horizontal, vertical or gradient; bits 4-5 a pre-processing hint, which
// only tells an encoder's quantisation and is ignored here as in libwebp;
// bits 6-7 reserved, zero), then the plane: raw bytes, or a lossless stream
// without its header whose green channel carries the values. The filters
// are undone row by row straight into the alpha bytes of the RGBA output
// (or into a plane of its own), the row above being the previous output row.
#include "codec/webp/vp8.h"

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

// One row of residues `in` (`step` bytes apart) into the alpha values of
// the output row `out` (`out_step` bytes apart); `prev` is the previous
// output row or null for the first.
static void unfilter_row(u32 filter, const u8* in, u64 step, const u8* prev, u8* out, u64 out_step, u32 width) {
    if (filter == FILTER_NONE) {
        for (u32 x = 0; x < width; x++) out[x * out_step] = in[x * step];
        return;
    }
    // The first row of every filter predicts from the left (0 before it).
    if (prev == nullptr || filter == FILTER_HORIZONTAL) {
        u8 left = prev == nullptr ? 0 : prev[0];
        for (u32 x = 0; x < width; x++) {
            left = (u8)(left + in[x * step]);
            out[x * out_step] = left;
        }
        return;
    }
    if (filter == FILTER_VERTICAL) {
        for (u32 x = 0; x < width; x++) out[x * out_step] = (u8)(prev[x * out_step] + in[x * step]);
        return;
    }
    u8 left = prev[0];  // the first pixel predicts from above
    u8 top_left = prev[0];
    for (u32 x = 0; x < width; x++) {
        u8 top = prev[x * out_step];
        left = (u8)(in[x * step] + gradient(left, top, top_left));
        top_left = top;
        out[x * out_step] = left;
    }
}

// `above` null: no filter.
void alph_green_to_alpha_scalar(const u8* argb, const u8* above, u8* rgba, u32 width) {
    for (u32 x = 0; x < width; x++) rgba[4 * x + 3] = (u8)((above ? above[4 * x + 3] : 0) + argb[4 * x + 1]);
}

// The plane of w x h into `alpha`, rows `stride` bytes apart, values
// `out_step` bytes apart.
static bool decode_into(const u8* data, u64 pos, u64 size, u32 w, u32 h, u8* scratch, u64 scratch_size, u8* alpha,
                        u64 stride, u64 out_step, CodecError* err) {
    error_clear(err);
    if (size < 1) return fail(err, ERR_TRUNCATED, pos);
    u32 header = data[pos];
    u32 method = header & 3;
    u32 filter = (header >> 2) & 3;
    u32 pre = (header >> 4) & 3;
    if (method > ALPH_LOSSLESS || pre > 1 || (header >> 6) != 0) return fail(err, ERR_BAD_HEADER, pos);
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
        u8* row = alpha + (u64)y * stride;
        const u8* prev = y == 0 ? nullptr : row - stride;
        // Lossless planes into RGBA without a filter or with the vertical
        // one (after its first row): 16 bytes at a time.
        if (step == 4 && out_step == 4 && (filter == FILTER_NONE || (filter == FILTER_VERTICAL && prev))) {
            alph_green_to_alpha_sse2(plane - 1 + y * row_size, filter == FILTER_NONE ? nullptr : prev - 3, row - 3, w);
            continue;
        }
        unfilter_row(filter, plane + y * row_size, step, prev, row, out_step, w);
    }
    return true;
}

bool alph_decode(const u8* data, u64 pos, u64 size, u8* scratch, u64 scratch_size, const PixelBuffer* out,
                 CodecError* err) {
    return decode_into(data, pos, size, out->width, out->height, scratch, scratch_size, out->pixels + 3, out->stride,
                       4, err);
}

bool alph_decode_plane(const u8* data, u64 pos, u64 size, u32 w, u32 h, u8* scratch, u64 scratch_size, u8* plane,
                       CodecError* err) {
    return decode_into(data, pos, size, w, h, scratch, scratch_size, plane, w, 1, err);
}
