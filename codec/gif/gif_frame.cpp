// Frame composition: each frame's indices are decoded into the workspace
// before the canvas is touched, so a frame with bad data leaves the picture
// as it was. Then the previous frame's disposal is applied, the area a
// "restore to previous" frame will need is saved, the colour lookup is built
// only as large as the frame's largest index needs, and the coded rows are
// composed onto the canvas, clipped to the logical screen and placed by the
// interlace order. The state is kept in a local copy and written back only
// when the frame has succeeded.
#include <string.h>

#include "base/cpu.h"
#include "codec/gif/gif.h"

// ---- Workspace layout -----------------------------------------------------------

u64 gif_restore_pos() {
    return GIF_STATE_BYTES;
}
u64 gif_index_pos(const GifInfo* info) {
    return gif_restore_pos() + align64(4 * info->max_restore_pixels);
}
u64 gif_data_pos(const GifInfo* info) {
    return gif_index_pos(info) + align64(info->max_frame_pixels);
}

// ---- Rows ---------------------------------------------------------------------------

u32 gif_interlace_row(u32 r, u32 h) {
    u32 p1 = (h + 7) >> 3;
    u32 p2 = (h + 3) >> 3;
    u32 p3 = (h + 1) >> 2;
    if (r < p1) return 8 * r;
    if (r < p1 + p2) return 8 * (r - p1) + 4;
    if (r < p1 + p2 + p3) return 4 * (r - p1 - p2) + 2;
    return 2 * (r - p1 - p2 - p3) + 1;
}

static u8* pixel_at(const PixelBuffer* canvas, u64 x, u64 y) {
    return canvas->pixels + y * canvas->stride + 4 * x;
}

static void fill_rect(const PixelBuffer* canvas, u64 x, u64 y, u64 w, u64 h) {
    for (u64 i = 0; i < h; i++) memset(pixel_at(canvas, x, y + i), 0, 4 * w);
}

static void save_rect(const PixelBuffer* canvas, u64 x, u64 y, u64 w, u64 h, u8* area) {
    for (u64 i = 0; i < h; i++) memcpy(area + 4 * w * i, pixel_at(canvas, x, y + i), 4 * w);
}

static void restore_rect(const PixelBuffer* canvas, u64 x, u64 y, u64 w, u64 h, const u8* area) {
    for (u64 i = 0; i < h; i++) memcpy(pixel_at(canvas, x, y + i), area + 4 * w * i, 4 * w);
}

// ---- Checks ---------------------------------------------------------------------------

static bool canvas_ok(const PixelBuffer* c, const GifInfo* info) {
    return c->pixels != nullptr && ((uintptr_t)c->pixels & 15) == 0 && c->width == info->width &&
           c->height == info->height && c->stride != 0 && c->stride % 16 == 0 && c->stride >= 4 * (u64)c->width;
}

static bool state_ok(const GifState* s, const GifInfo* info, u64 length, u32 n) {
    if (s->magic != GIF_STATE_MAGIC || s->next_frame != n || s->scan_pos > length || s->pending_disposal > 7) {
        return false;
    }
    // Each field is checked alone first, so the sums and product cannot wrap.
    if (s->pending_x > info->width || s->pending_w > info->width - s->pending_x) return false;
    if (s->pending_y > info->height || s->pending_h > info->height - s->pending_y) return false;
    u64 limit = s->pending_disposal == 3 ? info->max_restore_pixels : (u64)info->width * info->height;
    return s->pending_w * s->pending_h <= limit;
}

// ---- One frame --------------------------------------------------------------------------

bool gif_decode_frame(const u8* data, u64 length, const GifInfo* info, u8* workspace, u64 workspace_size, u32 n,
                      const PixelBuffer* canvas, CodecError* err) {
    return gif_decode_frame(data, length, info, workspace, workspace_size, n, canvas, false, err);
}

bool gif_decode_frame(const u8* data, u64 length, const GifInfo* info, u8* workspace, u64 workspace_size, u32 n,
                      const PixelBuffer* canvas, bool canvas_zero, CodecError* err) {
    error_clear(err);
    if (n >= info->frame_count || workspace_size < info->workspace_bytes || !canvas_ok(canvas, info)) {
        return fail(err, ERR_BAD_TARGET, 0);
    }
    gif_kernels_ensure();
    GifState s;
    if (n == 0) {
        memset(workspace, 0, GIF_STATE_BYTES);
        s = GifState{};
        s.magic = GIF_STATE_MAGIC;
        s.scan_pos = info->first_block;
        memcpy(workspace, &s, sizeof s);
        if (!canvas_zero) {
            for (u32 y = 0; y < canvas->height; y++) memset(pixel_at(canvas, 0, y), 0, 4 * (u64)canvas->width);
        }
    } else {
        memcpy(&s, workspace, sizeof s);
        if (!state_ok(&s, info, length, n)) return fail(err, ERR_BAD_TARGET, 0);
    }

    GifScanner scanner;
    gif_scanner_init(&scanner, s.scan_pos);
    GifFrame f;
    u32 found = gif_next_frame(data, length, &scanner, &f, err);
    if (found == GIF_SCAN_ERROR) return false;
    if (found == GIF_SCAN_TRAILER) return fail(err, ERR_BAD_HEADER, scanner.pos);

    u64 cw = f.x < info->width ? (u64)(info->width - f.x < f.w ? info->width - f.x : f.w) : 0;
    u64 ch = f.y < info->height ? (u64)(info->height - f.y < f.h ? info->height - f.y : f.h) : 0;
    u64 pixels = (u64)f.w * f.h;
    // Only possible when the bytes no longer match the GifInfo.
    if (pixels > info->max_frame_pixels || f.data_bytes > info->max_data_bytes ||
        (f.disposal == 3 && cw * ch > info->max_restore_pixels)) {
        return fail(err, ERR_BAD_TARGET, 0);
    }

    u8* restore = workspace + gif_restore_pos();
    u8* indices = workspace + gif_index_pos(info);
    u8* codes = workspace + gif_data_pos(info);
    gif_deblock(data, &f, codes);
    LzwTable table;
    u64 produced, consumed;
    u32 status = lzw_decode(codes, f.data_bytes, indices, pixels, data[f.code_size_pos], &table, &produced, &consumed);
    if (status != LZW_DONE) return fail(err, ERR_BAD_HEADER, gif_code_offset(data, length, &f, consumed));
    if (produced < pixels) return fail(err, ERR_TRUNCATED, f.data_end - 1);

    // From here on the frame succeeds.
    if (s.pending_disposal == 2) {
        fill_rect(canvas, s.pending_x, s.pending_y, s.pending_w, s.pending_h);
    } else if (s.pending_disposal == 3) {
        restore_rect(canvas, s.pending_x, s.pending_y, s.pending_w, s.pending_h, restore);
    }
    if (f.disposal == 3) save_rect(canvas, f.x, f.y, cw, ch, restore);

    // The lookup covers every index the frame uses: 2^bits entries for the
    // largest index m, where bits is the width of m (at least 1). Entries
    // past the colour table draw opaque black.
    u32 m = gif_kernels.max_index(indices, pixels);
    u32 bits = 1;
    while ((1u << bits) <= m) bits++;
    u32 entries = f.lct_entries ? f.lct_entries : info->gct_entries;
    const u8* table_bytes = data + (f.lct_entries ? f.lct_offset : info->gct_offset);
    alignas(32) u32 lut[256];
    for (u32 i = 0; i < (1u << bits); i++) {
        u32 rgb = 0;
        if (i < entries) {
            const u8* e = table_bytes + 3 * i;
            rgb = (u32)e[0] | ((u32)e[1] << 8) | ((u32)e[2] << 16);
        }
        u32 v = rgb | 0xFF000000u;
        memcpy(&lut[i], &v, 4);  // memory order R, G, B, A
    }

    if (cw != 0 && ch != 0) {
        for (u32 r = 0; r < f.h; r++) {
            u32 d = f.interlaced ? gif_interlace_row(r, f.h) : r;
            if (d >= ch) continue;
            gif_kernels.compose(indices + (u64)r * f.w, (u32)cw, lut, f.transparent, pixel_at(canvas, f.x, f.y + d));
        }
    }

    s.next_frame = (u64)n + 1;
    s.scan_pos = f.data_end;
    s.pending_disposal = f.disposal;
    bool empty = cw == 0 || ch == 0;
    s.pending_x = empty ? 0 : f.x;
    s.pending_y = empty ? 0 : f.y;
    s.pending_w = empty ? 0 : cw;
    s.pending_h = empty ? 0 : ch;
    memcpy(workspace, &s, sizeof s);
    return true;
}

bool gif_decode_frames(const u8* data, u64 length, const GifInfo* info, u8* workspace, u64 workspace_size,
                       u32 first, u32 last, const PixelBuffer* canvas, i32* done_out, CodecError* err) {
    return gif_decode_frames(data, length, info, workspace, workspace_size, first, last, canvas, false, done_out,
                             err);
}

bool gif_decode_frames(const u8* data, u64 length, const GifInfo* info, u8* workspace, u64 workspace_size,
                       u32 first, u32 last, const PixelBuffer* canvas, bool canvas_zero, i32* done_out,
                       CodecError* err) {
    error_clear(err);
    for (u32 n = first; n <= last; n++) {
        bool zero = canvas_zero && n == 0;
        if (!gif_decode_frame(data, length, info, workspace, workspace_size, n, canvas, zero, err)) return false;
        *done_out = (i32)n;
    }
    return true;
}

// ---- Kernels: scalar twins and dispatch ------------------------------------------------

void gif_compose_scalar(const u8* indices, u32 count, const u32* lut, i32 transparent, u8* dst) {
    for (u32 i = 0; i < count; i++) {
        if ((i32)indices[i] == transparent) continue;
        memcpy(dst + 4 * i, &lut[indices[i]], 4);
    }
}

u32 gif_max_index_scalar(const u8* indices, u64 count) {
    u32 m = 0;
    for (u64 i = 0; i < count; i++) m = indices[i] > m ? indices[i] : m;
    return m;
}

static const GifKernels k_scalar = {gif_compose_scalar, gif_max_index_scalar};
static const GifKernels k_sse2 = {gif_compose_sse2, gif_max_index_sse2};
// The AVX2 gather loses to eight scalar loads (photo 625 against 640 MP/s,
// animation 2095 against 2235 MP/s of composed canvas), so it is never
// selected; tests and the benchmark still run it.
static const GifKernels k_avx2 = {gif_compose_avx2, gif_max_index_sse2};

GifKernels gif_kernels = k_sse2;
static bool g_kernels_chosen = false;

bool gif_kernels_supported(u32 variant) {
    if (variant == GIF_KERNELS_SCALAR || variant == GIF_KERNELS_SSE2) return true;
    if (variant == GIF_KERNELS_AVX2) return cpu_has_avx2();
    return false;
}

bool gif_kernels_force(u32 variant) {
    if (!gif_kernels_supported(variant)) return false;
    g_kernels_chosen = true;
    gif_kernels = variant == GIF_KERNELS_SCALAR ? k_scalar : (variant == GIF_KERNELS_SSE2 ? k_sse2 : k_avx2);
    return true;
}

u32 gif_kernels_select() {
    __builtin_cpu_init();
    gif_kernels_force(GIF_KERNELS_SSE2);
    return GIF_KERNELS_SSE2;
}

void gif_kernels_ensure() {
    if (!g_kernels_chosen) gif_kernels_select();
}
