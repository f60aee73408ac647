// Reconstruction: the eighth-size preview from the DC terms alone (one
// multiply per block, chroma repeated), and full-resolution tiles from the
// stored coefficients. A tile transforms only the blocks under it, plus one
// chroma sample on each side when chroma is subsampled, so the triangular
// filter at a tile's edge sees the same neighbours as inside the image and
// tiles meet without seams. All buffers sit in the workspace, rows 272 bytes
// apart: 256 pixels, the filter margin and the vector kernels' slack. Chroma
// halved across is filtered one row at a time as the tile's rows are
// converted, so a filtered row is used while it is still in the cache.
#include "codec/jpeg/jpeg.h"
#include "codec/jpeg/kernels.h"

#include <string.h>

static constexpr u64 SAMPLE_STRIDE = 272;
static constexpr u64 SAMPLE_BUFFER = SAMPLE_STRIDE * SAMPLE_STRIDE;  // 73984
static constexpr u64 IDCT_TABLE_BYTES = 384;
static constexpr u64 H_ROW_BYTES = 320;   // 288 used: count + 2 rounded up to the kernel's 8
static constexpr u64 SUM_ROW_BYTES = 576;  // 288 16-bit sums

u32 jpeg_color_mode(const JpegDecoder* d) {
    // Four components are CMYK unless an Adobe segment says YCCK (transform 2).
    if (d->components == 4) return d->adobe_transform == 2 ? JPEG_COLOR_YCCK : JPEG_COLOR_CMYK;
    if (d->components != 3) return JPEG_COLOR_GREY;
    if (d->jfif) return JPEG_COLOR_YCBCR;
    if (d->adobe_transform < 0) {
        bool rgb = d->comp[0].id == 'R' && d->comp[1].id == 'G' && d->comp[2].id == 'B';
        return rgb ? JPEG_COLOR_RGB : JPEG_COLOR_YCBCR;
    }
    return d->adobe_transform == 0 ? JPEG_COLOR_RGB : JPEG_COLOR_YCBCR;
}

// log2 of a ratio of 1, 2 or 4; 0 for 3, which has none.
static u32 shift_of(u32 ratio) {
    return ratio == 4 ? 2 : (ratio == 2 ? 1 : 0);
}

static bool subsampled(const JpegDecoder* d, const JpegComponent* c) {
    return (d->h_max / c->h) * (d->v_max / c->v) != 1;
}

void jpeg_convert_row(u32 mode, const u8* const* src, u8* out, u32 count) {
    const JpegKernels* k = jpeg_kernels();
    if (mode == JPEG_COLOR_GREY) {
        k->grey_row(src[0], out, count);
    } else if (mode == JPEG_COLOR_RGB) {
        k->rgb_row(src[0], src[1], src[2], out, count);
    } else if (mode == JPEG_COLOR_CMYK) {
        k->cmyk_row(src[0], src[1], src[2], src[3], out, count);
    } else if (mode == JPEG_COLOR_YCCK) {
        k->ycck_row(src[0], src[1], src[2], src[3], out, count);
    } else {
        k->ycc_row(src[0], src[1], src[2], out, count);
    }
}

// ---- Preview -----------------------------------------------------------------------

// One sample per block, (dc q + 4) / 8 + 128 clamped, the row continued with
// its last sample up to a multiple of 8.
static void preview_samples(const i16* dc, i32 q, u32 count, u8* row) {
    u32 whole = count & ~7u;
    jpeg_kernels()->preview_row(dc, q, row, whole);
    for (u32 i = whole; i < count; i++) {
        i32 v = ((dc[i] * q + 4) >> 3) + 128;
        row[i] = (u8)(v < 0 ? 0 : (v > 255 ? 255 : v));
    }
    u32 padded = (count + 7u) & ~7u;
    for (u32 i = count; i < padded; i++) row[i] = row[count - 1];
}

bool make_preview(const JpegDecoder* d, const JpegPlanes* planes, PixelBuffer* out, u64 capacity, JpegStatus* st) {
    if (d->components == 2) return jpeg_fail(st, JPEG_UNSUPPORTED, d->frame_offset);
    for (u32 c = 0; c < d->components; c++) {
        const JpegComponent* k = &d->comp[c];
        const JpegPlane* p = &planes->plane[c];
        if (!(d->quant_defined & (1u << k->quant_table))) return jpeg_fail(st, JPEG_BAD_TABLE, d->frame_offset);
        if (!p->preview || !p->dc || p->preview_stride < ((k->preview_width + 7u) & ~7u) ||
            p->preview_size < p->preview_stride * k->preview_height ||
            p->dc_count < (u64)k->blocks_across * k->blocks_down) {
            return jpeg_fail(st, JPEG_BAD_TARGET, d->frame_offset);
        }
        if (c > 0 && (!planes->row_buffer[c] || planes->row_buffer_size < ((d->comp[0].preview_width + 7u) & ~7u))) {
            return jpeg_fail(st, JPEG_BAD_TARGET, d->frame_offset);
        }
        if (c == 0 && subsampled(d, k)) return jpeg_fail(st, JPEG_BAD_TARGET, d->frame_offset);
    }
    u32 pw = d->comp[0].preview_width;
    u32 ph = d->comp[0].preview_height;
    u64 stride = row_stride(pw);
    if (!out->pixels || capacity < stride * ph + 32) return jpeg_fail(st, JPEG_BAD_TARGET, d->frame_offset);

    // Row by row: each component's samples for the row are made from its DC
    // terms into the first row of its preview plane and used at once, so
    // the planes cost one row of memory each rather than a whole image.
    u32 mode = jpeg_color_mode(d);
    u32 padded_width = (pw + 7u) & ~7u;
    for (u32 i = 0; i < ph; i++) {
        const u8* src[4] = {};
        for (u32 c = 0; c < d->components; c++) {
            const JpegComponent* k = &d->comp[c];
            const JpegPlane* p = &planes->plane[c];
            u32 r = i / (d->v_max / k->v);
            if (r >= k->preview_height) r = k->preview_height - 1;
            u8* row = p->preview;
            preview_samples(p->dc + (u64)r * k->blocks_across, d->quant[k->quant_table][0], k->preview_width, row);
            u32 hr = d->h_max / k->h;
            if (hr == 1) {
                src[c] = row;
                continue;
            }
            u32 hs = shift_of(hr);
            u8* expanded = planes->row_buffer[c];
            // Repetition without the clamp where every sample read lies in
            // the padded row, whose padding repeats the last sample as the
            // clamp would; the clamped loop for the rest (and for a ratio
            // of 3, which no shift gives).
            u32 j = 0;
            if (hs != 0 && ((padded_width - 1) >> hs) < ((k->preview_width + 7u) & ~7u)) {
                j = padded_width & ~15u;
                jpeg_kernels()->widen_row(row, expanded, j, hs);
            }
            for (; j < padded_width; j++) {
                u32 s = j / hr;
                expanded[j] = row[s < k->preview_width ? s : k->preview_width - 1];
            }
            src[c] = expanded;
        }
        if (d->components == 1) src[1] = src[2] = src[0];
        jpeg_convert_row(mode, src, out->pixels + i * stride, pw);
    }
    out->width = pw;
    out->height = ph;
    out->stride = stride;
    return true;
}

// ---- Full resolution -----------------------------------------------------------------

// Every component's size a whole fraction (1/1 to 1/4) of the largest,
// across and down.
bool check_full_sampling(const JpegDecoder* d) {
    for (u32 c = 0; c < d->components; c++) {
        const JpegComponent* k = &d->comp[c];
        if ((d->h_max / k->h) * k->h != d->h_max || (d->v_max / k->v) * k->v != d->v_max) return false;
    }
    return true;
}

u64 jpeg_tile_workspace_size(const JpegDecoder* d) {
    u64 size = IDCT_TABLE_BYTES;
    for (u32 c = 0; c < d->components; c++) size += subsampled(d, &d->comp[c]) ? 2 * SAMPLE_BUFFER : SAMPLE_BUFFER;
    return size + H_ROW_BYTES + SUM_ROW_BYTES;
}

// The range of samples [first, end) of one axis that a tile needs.
static void sample_range(u32 x, u32 size, u32 ratio, u32 component_size, u32* first, u32* end) {
    *first = x / ratio - (x != 0 && ratio == 2 ? 1 : 0);
    u32 e = (u32)ceil_div((u64)x + size, ratio) + (ratio == 2 ? 1 : 0);
    *end = e < component_size ? e : component_size;
}

// How a component is brought to full size, as libjpeg-turbo does it: the
// triangular filter for halved widths (when more than two samples wide),
// halved heights under halved widths, and halved heights alone; every other
// whole ratio by repetition.
enum : u32 { UPSAMPLE_REPEAT = 0, UPSAMPLE_H2 = 1, UPSAMPLE_H2V2 = 2, UPSAMPLE_V2 = 3 };

static u32 upsample_kind(u32 hr, u32 vr, u32 component_width) {
    if (hr == 2 && vr == 1 && component_width > 2) return UPSAMPLE_H2;
    if (hr == 2 && vr == 2 && component_width > 2) return UPSAMPLE_H2V2;
    if (hr == 1 && vr == 2) return UPSAMPLE_V2;
    return UPSAMPLE_REPEAT;
}

// The tile's width x height pixels at (x, y) of a component repeated hr x vr
// times, from its samples held in `samples` from sample (x0, y0) on.
static void repeat_component(const u8* samples, u32 x, u32 y, u32 x0, u32 y0, u32 hr, u32 vr, u32 width,
                             u32 height, u8* out) {
    for (u32 i = 0; i < height; i++) {
        const u8* s = samples + (u64)((y + i) / vr - y0) * SAMPLE_STRIDE;
        u8* o = out + (u64)i * SAMPLE_STRIDE;
        for (u32 j = 0; j < width; j++) o[j] = s[(x + j) / hr - x0];
    }
}

// Halved height alone: each output row is 3/4 of its own sample row and
// 1/4 of the nearer neighbour (the edge row repeated past the image), with
// a rounding bias of 1 for the upper row of a pair and 2 for the lower.
static void upsample_v2(const u8* samples, u32 x, u32 y, u32 x0, u32 y0, u32 component_height, u32 width,
                        u32 height, u8* out) {
    for (u32 i = 0; i < height; i++) {
        u32 row = (y + i) / 2;
        bool upper = ((y + i) & 1) == 0;
        u32 far = upper ? (row == 0 ? 0 : row - 1) : (row + 1 < component_height ? row + 1 : row);
        const u8* a = samples + (u64)(row - y0) * SAMPLE_STRIDE + (x - x0);
        const u8* b = samples + (u64)(far - y0) * SAMPLE_STRIDE + (x - x0);
        u8* o = out + (u64)i * SAMPLE_STRIDE;
        u32 bias = upper ? 1 : 2;
        for (u32 j = 0; j < width; j++) o[j] = (u8)((3u * a[j] + b[j] + bias) >> 2);
    }
}

// A component halved across whose rows are filtered one at a time, as the
// tile's rows are converted: the samples [0, n) x [0, m) held from
// `samples` on are the component's from sample (x0, y0); `skip` is the
// offset of the tile's first pixel in a filtered row.
struct FilteredRows {
    const u8* samples;
    u32 n;
    u32 m;
    u32 vr;
    u32 y0;
    u32 skip;
};

// The filtered row for image row `image_row` into `out`: the component's
// own row, and for a halved height the nearer neighbour row (the edge row
// repeated outside the range: at the top or bottom of the image that is the
// filter's rule, elsewhere the output row it feeds lies outside the tile).
static void filtered_row(const FilteredRows* f, u32 image_row, u8* out, u8* hrow, u16* sums) {
    const JpegKernels* k = jpeg_kernels();
    u32 n = f->n;
    if (f->vr == 1) {
        const u8* s = f->samples + (u64)(image_row - f->y0) * SAMPLE_STRIDE;
        hrow[0] = s[0];
        memcpy(hrow + 1, s, n);
        hrow[n + 1] = s[n - 1];
        k->upsample_h2(hrow, out, n);
        return;
    }
    u32 j = image_row / 2 - f->y0;
    const u8* s = f->samples + (u64)j * SAMPLE_STRIDE;
    const u8* far;
    if ((image_row & 1) == 0) {
        far = j > 0 ? s - SAMPLE_STRIDE : s;
    } else {
        far = j + 1 < f->m ? s + SAMPLE_STRIDE : s;
    }
    k->column_sum(s, far, sums, n);
    sums[0] = sums[1];
    sums[n + 1] = sums[n];
    k->upsample_h2v2(sums, out, n);
}

// Blocks [bx0, bx1) of block row `by` of component c as the transform
// takes them: in place in a plain store; from a packed one, unpacked into
// the last 16 rows of the component's sample buffer (4352 bytes, room for
// 34 blocks), which no tile's samples reach: a tile needs at most 32 block
// rows of a component and at most 32 blocks across.
static const i16* stored_row(const JpegDecoder* d, const JpegPlanes* planes, u32 c, u32 by, u32 bx0, u32 bx1,
                             u8* sample_buffer) {
    if (!(d->packed & (1u << c))) {
        return planes->plane[c].coefficients + ((u64)by * d->comp[c].blocks_across + bx0) * 64;
    }
    QB_ASSERT(bx1 - bx0 <= 34);
    i16* out = (i16*)(sample_buffer + 256 * SAMPLE_STRIDE);
    jpeg_stored_blocks(d, planes, c, by, bx0, bx1, out);
    return out;
}

void make_tile(const JpegDecoder* d, const JpegPlanes* planes, u8* workspace, u32 x, u32 y, u32 width, u32 height,
               PixelBuffer* tile) {
    QB_ASSERT(check_full_sampling(d) && width <= JPEG_TILE && height <= JPEG_TILE && width && height);
    const JpegKernels* k = jpeg_kernels();
    const u8* constants = workspace;
    u8* buf = workspace + IDCT_TABLE_BYTES;
    const u8* src[4] = {};
    FilteredRows filtered[4] = {};
    u8* samples[4];
    u8* upsampled[4] = {};
    for (u32 c = 0; c < d->components; c++) {
        samples[c] = buf;
        buf += SAMPLE_BUFFER;
        if (subsampled(d, &d->comp[c])) {
            upsampled[c] = buf;
            buf += SAMPLE_BUFFER;
        }
    }
    u8* hrow = buf;
    u16* sums = (u16*)(buf + H_ROW_BYTES);
    u32 mode = jpeg_color_mode(d);

    bool whole = true;
    for (u32 c = 0; c < d->components; c++) whole = whole && !subsampled(d, &d->comp[c]);
    if (whole) {
        // No component subsampled: a block row of every component is
        // transformed into the first 8 rows of its buffer and converted at
        // once, while those rows are still in the first-level cache.
        u32 bx0 = x / 8;
        u32 bx1 = (u32)ceil_div((u64)x + width, 8);
        for (u32 by = y / 8; by * 8 < y + height; by++) {
            const u8* rows[4];
            for (u32 c = 0; c < d->components; c++) {
                const JpegComponent* comp = &d->comp[c];
                const i16* row = stored_row(d, planes, c, by, bx0, bx1, samples[c]);
                k->idct_row(row, bx1 - bx0, d->quant[comp->quant_table], constants, samples[c], SAMPLE_STRIDE);
                rows[c] = samples[c];
            }
            if (d->components == 1) rows[1] = rows[2] = rows[0];
            u32 first = by * 8 - y;
            u32 end = first + 8 < height ? first + 8 : height;
            for (u32 i = first; i < end; i++) {
                const u8* at[4];
                for (u32 c = 0; c < 4; c++) at[c] = rows[c] + (u64)(i - first) * SAMPLE_STRIDE;
                jpeg_convert_row(mode, at, tile->pixels + i * tile->stride, width);
            }
        }
        return;
    }

    for (u32 c = 0; c < d->components; c++) {
        const JpegComponent* comp = &d->comp[c];
        const i16* quant = d->quant[comp->quant_table];
        u32 hr = d->h_max / comp->h;
        u32 vr = d->v_max / comp->v;
        u32 cw = (u32)ceil_div((u64)d->width * comp->h, d->h_max);
        u32 ch = (u32)ceil_div((u64)d->height * comp->v, d->v_max);
        u32 x0, x1, y0, y1;
        sample_range(x, width, hr, cw, &x0, &x1);
        sample_range(y, height, vr, ch, &y0, &y1);
        u32 bx0 = x0 / 8;
        u32 by0 = y0 / 8;
        u32 bx1 = (u32)ceil_div(x1, 8);
        u32 by1 = (u32)ceil_div(y1, 8);
        for (u32 by = by0; by < by1; by++) {
            const i16* row = stored_row(d, planes, c, by, bx0, bx1, samples[c]);
            u8* out = samples[c] + (u64)(by - by0) * 8 * SAMPLE_STRIDE;
            k->idct_row(row, bx1 - bx0, quant, constants, out, SAMPLE_STRIDE);
        }
        const u8* origin = samples[c] + (u64)(y0 - by0 * 8) * SAMPLE_STRIDE + (x0 - bx0 * 8);
        if (!upsampled[c]) {
            src[c] = origin;
            continue;
        }
        u32 kind = upsample_kind(hr, vr, cw);
        if (kind == UPSAMPLE_REPEAT || kind == UPSAMPLE_V2) {
            // Written from the tile's own origin.
            if (kind == UPSAMPLE_REPEAT) {
                repeat_component(origin, x, y, x0, y0, hr, vr, width, height, upsampled[c]);
            } else {
                upsample_v2(origin, x, y, x0, y0, ch, width, height, upsampled[c]);
            }
            src[c] = upsampled[c];
            continue;
        }
        // Halved across (and maybe down): filtered a row at a time as the
        // rows are converted below, into the first row of its buffer.
        filtered[c] = FilteredRows{origin, x1 - x0, y1 - y0, vr, y0, x - x0 * hr};
    }
    if (d->components == 1) src[1] = src[2] = src[0];
    for (u32 i = 0; i < height; i++) {
        // A component filtered a row at a time has no source plane.
        const u8* rows[4];
        for (u32 c = 0; c < 4; c++) rows[c] = src[c] != nullptr ? src[c] + i * SAMPLE_STRIDE : nullptr;
        for (u32 c = 0; c < d->components; c++) {
            if (filtered[c].samples == nullptr) continue;
            filtered_row(&filtered[c], y + i, upsampled[c], hrow, sums);
            rows[c] = upsampled[c] + filtered[c].skip;
        }
        jpeg_convert_row(mode, rows, tile->pixels + i * tile->stride, width);
    }
}
