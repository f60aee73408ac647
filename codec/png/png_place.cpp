// Placing converted rows into the canvas and the display buffer. A pass row
// is handled in runs of 64 pixels: converted into a local buffer (with the
// kernels' slack), blended there against the canvas pixels when asked, then
// written every x-step pixels. The writes into the canvas and the display are
// exact, so those buffers need no slack; the strided stores have fixed-size
// routines for the common pixel sizes and Adam7 steps.
#include <string.h>

#include "codec/png/png_rows.h"

// ---- Strided stores -----------------------------------------------------------

template <u32 PS, u32 XS>
static void scatter_fixed(const u8* src, u8* dst, u32 count) {
    for (u32 i = 0; i < count; i++) memcpy(dst + (u64)i * PS * XS, src + (u64)i * PS, PS);
}
template <u32 PS, u32 XS>
static void gather_fixed(const u8* src, u8* dst, u32 count) {
    for (u32 i = 0; i < count; i++) memcpy(dst + (u64)i * PS, src + (u64)i * PS * XS, PS);
}

static void scatter(const u8* src, u8* dst, u32 count, u32 ps, u32 xs) {
    if (xs == 1) {
        memcpy(dst, src, (u64)count * ps);
        return;
    }
    switch (ps * 16 + xs) {
    case 1 * 16 + 2: scatter_fixed<1, 2>(src, dst, count); return;
    case 1 * 16 + 4: scatter_fixed<1, 4>(src, dst, count); return;
    case 1 * 16 + 8: scatter_fixed<1, 8>(src, dst, count); return;
    case 2 * 16 + 2: scatter_fixed<2, 2>(src, dst, count); return;
    case 2 * 16 + 4: scatter_fixed<2, 4>(src, dst, count); return;
    case 4 * 16 + 2: scatter_fixed<4, 2>(src, dst, count); return;
    default:
        for (u32 i = 0; i < count; i++) memcpy(dst + (u64)i * ps * xs, src + (u64)i * ps, ps);
        return;
    }
}

static void gather(const u8* src, u8* dst, u32 count, u32 ps, u32 xs) {
    if (xs == 1) {
        memcpy(dst, src, (u64)count * ps);
        return;
    }
    switch (ps * 16 + xs) {
    case 2 * 16 + 2: gather_fixed<2, 2>(src, dst, count); return;
    case 4 * 16 + 2: gather_fixed<4, 2>(src, dst, count); return;
    default:
        for (u32 i = 0; i < count; i++) memcpy(dst + (u64)i * ps, src + (u64)i * ps * xs, ps);
        return;
    }
}

static bool has_alpha(PixelFormat format) {
    return format != Mono8;
}

// ---- Rows -------------------------------------------------------------------------

// Local run buffers: 64 pixels of at most 8 bytes, plus the kernels' slack.
enum : u32 { RUN_BUFFER = PNG_RUN * 8 + 64 };

bool place_rows(const PngPlan* plan, const PngTables* t, const u8* raw, u32 image_width, u32 image_height,
                u32 pass, u32 first, u32 count, const PngTargets* tg) {
    alignas(16) u8 conv[RUN_BUFFER];
    alignas(16) u8 mixed[RUN_BUFFER];
    alignas(16) u8 disp[RUN_BUFFER];
    memset(mixed, 0, sizeof(mixed));
    const PngPass& geo = png_passes[pass];
    u32 pw = png_pass_width(pass, image_width);
    u64 stride = packed_raw_row(png_row_bytes(pw, plan->pixel_bits));
    const u8* rows = raw + png_pass_offset(pass, image_width, image_height, plan->pixel_bits);
    u32 ps = plan->pixel_size;
    u32 xs = geo.x_step;
    bool blend = tg->blend && has_alpha(plan->pixel_format);
    bool fault = false;
    // Straight RGBA without a canvas converts into the display row itself,
    // except for a row's last run, whose slack would pass the row's end.
    bool direct = tg->skip_canvas && tg->write_display && plan->pixel_format == Rgba8Straight && xs == 1;
    for (u32 r = first; r < first + count; r++) {
        const u8* src = rows + (u64)(tg->ring_rows ? r % tg->ring_rows : r) * stride;
        u64 y = (u64)geo.y_start + tg->y + (u64)r * geo.y_step;
        u8* canvas_row = tg->canvas.pixels + y * tg->canvas.stride;
        u8* display_row = tg->write_display ? tg->display.pixels + y * tg->display.stride : nullptr;
        for (u32 j = 0; (u64)j * PNG_RUN < pw; j++) {
            u32 n = pw - j * PNG_RUN < PNG_RUN ? pw - j * PNG_RUN : PNG_RUN;
            u32 padded = (n + 15) & ~15u;
            u64 x = (u64)geo.x_start + tg->x + (u64)j * PNG_RUN * xs;
            if (direct && (u64)(j + 1) * PNG_RUN < pw) {
                fault |= convert_run(plan->convert_kind, t, src + (u64)j * 8 * plan->pixel_bits, display_row + x * 4,
                                     padded, plan->bit_depth, n);
                continue;
            }
            fault |= convert_run(plan->convert_kind, t, src + (u64)j * 8 * plan->pixel_bits, conv, padded,
                                 plan->bit_depth, n);
            const u8* out = conv;
            if (blend) {
                gather(canvas_row + x * ps, mixed, n, ps, xs);
                png_kernels.over(plan->pixel_format, conv, mixed, n);
                out = mixed;
            }
            if (!tg->skip_canvas) scatter(out, canvas_row + x * ps, n, ps, xs);
            if (display_row) {
                to_display(plan->pixel_format, out, disp, padded);
                scatter(disp, display_row + x * 4, n, 4, xs);
            }
        }
    }
    return fault;
}

// ---- Rectangles ------------------------------------------------------------------

void refresh_display(const PngPlan* plan, const PixelBuffer* canvas, const PixelBuffer* display, u32 x, u32 y,
                     u32 width, u32 height) {
    alignas(16) u8 run[RUN_BUFFER];
    alignas(16) u8 disp[RUN_BUFFER];
    memset(run, 0, sizeof(run));
    u32 ps = plan->pixel_size;
    for (u32 r = 0; r < height; r++) {
        const u8* src = canvas->pixels + (u64)(y + r) * canvas->stride + (u64)x * ps;
        u8* dst = display->pixels + (u64)(y + r) * display->stride + (u64)x * 4;
        for (u32 j = 0; j < width; j += PNG_RUN) {
            u32 n = width - j < PNG_RUN ? width - j : PNG_RUN;
            // Copied out first: the canvas has no slack to over-read.
            memcpy(run, src + (u64)j * ps, (u64)n * ps);
            to_display(plan->pixel_format, run, disp, (n + 15) & ~15u);
            memcpy(dst + (u64)j * 4, disp, (u64)n * 4);
        }
    }
}

void clear_rect(const PixelBuffer* canvas, u32 ps, u32 x, u32 y, u32 width, u32 height) {
    for (u32 r = 0; r < height; r++) memset(canvas->pixels + (u64)(y + r) * canvas->stride + (u64)x * ps, 0, (u64)width * ps);
}

void save_rect(const PixelBuffer* canvas, u32 ps, u32 x, u32 y, u32 width, u32 height, u8* area) {
    u64 row = (u64)width * ps;
    for (u32 r = 0; r < height; r++) memcpy(area + r * row, canvas->pixels + (u64)(y + r) * canvas->stride + (u64)x * ps, row);
}

void restore_rect(const PixelBuffer* canvas, u32 ps, u32 x, u32 y, u32 width, u32 height, const u8* area) {
    u64 row = (u64)width * ps;
    for (u32 r = 0; r < height; r++) memcpy(canvas->pixels + (u64)(y + r) * canvas->stride + (u64)x * ps, area + r * row, row);
}
