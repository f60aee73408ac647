// Adam7 geometry, the layout of unfiltered rows, the conversion selectors,
// the lookup tables built at the start of a decode, and the start-up choice
// of kernel variants. A non-interlaced image is treated as a single pass 7
// (start 0, step 1) so that every row loop is the same for both.
#include <string.h>

#include "base/cpu.h"
#include "codec/png/png_rows.h"

const PngPass png_passes[8] = {
    {0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
    {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}, {0, 0, 1, 1},
};

u32 png_pass_width(u32 pass, u32 width) {
    const PngPass& p = png_passes[pass];
    return p.x_start < width ? (u32)ceil_div(width - p.x_start, p.x_step) : 0;
}

u32 png_pass_rows(u32 pass, u32 height) {
    const PngPass& p = png_passes[pass];
    return p.y_start < height ? (u32)ceil_div(height - p.y_start, p.y_step) : 0;
}

static bool pass_empty(u32 pass, u32 width, u32 height) {
    return png_pass_width(pass, width) == 0 || png_pass_rows(pass, height) == 0;
}

u32 png_next_pass(u32 pass, u32 width, u32 height, u32 interlace) {
    if (!interlace || pass >= 6) return 8;
    for (u32 p = pass + 1; p < 7; p++) {
        if (!pass_empty(p, width, height)) return p;
    }
    return 8;
}

u32 png_first_pass(u32 width, u32 height, u32 interlace) {
    if (!interlace) return 7;
    return pass_empty(0, width, height) ? png_next_pass(0, width, height, 1) : 0;
}

static u64 pass_raw_size(u32 pass, u32 width, u32 height, u32 pixel_bits) {
    if (pass_empty(pass, width, height)) return 0;
    return (u64)png_pass_rows(pass, height) * packed_raw_row(png_row_bytes(png_pass_width(pass, width), pixel_bits));
}

u64 png_raw_size(u32 width, u32 height, u32 interlace, u32 pixel_bits) {
    if (!interlace) return pass_raw_size(7, width, height, pixel_bits);
    u64 total = 0;
    for (u32 p = 0; p < 7; p++) total += pass_raw_size(p, width, height, pixel_bits);
    return total;
}

u64 png_pass_offset(u32 pass, u32 width, u32 height, u32 pixel_bits) {
    if (pass >= 7) return 0;
    u64 total = 0;
    for (u32 p = 0; p < pass && p < 7; p++) total += pass_raw_size(p, width, height, pixel_bits);
    return total;
}

// ---- Selectors ----------------------------------------------------------------------

u32 png_convert_kind(u32 colour_type, u32 bit_depth, bool has_trns) {
    switch (colour_type) {
    case 0:
        if (bit_depth == 16) return PNG_CONVERT_GREY16;
        if (bit_depth == 8) return has_trns ? PNG_CONVERT_GREY8_TRNS : PNG_CONVERT_GREY8;
        return has_trns ? PNG_CONVERT_GREY_LOW_TRNS : PNG_CONVERT_GREY_LOW;
    case 2: return bit_depth == 16 ? PNG_CONVERT_RGB16 : PNG_CONVERT_RGB8;
    case 3: return bit_depth == 8 ? PNG_CONVERT_PALETTE8 : PNG_CONVERT_PALETTE_LOW;
    case 4: return bit_depth == 16 ? PNG_CONVERT_GREY_ALPHA16 : PNG_CONVERT_GREY_ALPHA8;
    default: return bit_depth == 16 ? PNG_CONVERT_RGBA16 : PNG_CONVERT_RGBA8;
    }
}

u32 png_pixel_size(PixelFormat format) {
    switch (format) {
    case Rgba16: return 8;
    case Mono8: return 1;
    case MonoA8: return 2;
    default: return 4;
    }
}

// ---- Tables ---------------------------------------------------------------------------

void build_tables(const PngPlan* plan, const u8* bytes, u64 length, PngTables* t) {
    memset(t, 0, sizeof(*t));
    for (u32 i = 0; i < 256; i++) t->palette[i][3] = 255;
    t->grey_key = 0xFFFFFFFF;
    t->rgb_key8 = 0xFFFFFFFF;
    t->rgb_key16 = ~(u64)0;
    const u8* trns = plan->trns_data ? bytes + plan->trns_data : nullptr;
    if (trns && plan->colour_type == 0) t->grey_key = load_be16(bytes, length, plan->trns_data);
    if (trns && plan->colour_type == 2) {
        u32 r = load_be16(bytes, length, plan->trns_data);
        u32 g = load_be16(bytes, length, plan->trns_data + 2);
        u32 b = load_be16(bytes, length, plan->trns_data + 4);
        if (plan->bit_depth == 16) t->rgb_key16 = (u64)r | (u64)g << 16 | (u64)b << 32;
        else if (r < 256 && g < 256 && b < 256) t->rgb_key8 = r | g << 8 | b << 16;
    }
    if (plan->colour_type == 3) {
        t->palette_count = plan->palette_entries;
        const u8* plte = bytes + plan->plte_data;
        for (u32 i = 0; i < plan->palette_entries; i++) {
            t->palette[i][0] = plte[3 * i];
            t->palette[i][1] = plte[3 * i + 1];
            t->palette[i][2] = plte[3 * i + 2];
            t->palette[i][3] = trns && i < plan->trns_length ? trns[i] : 255;
        }
    }
    u32 depth = plan->bit_depth;
    if (depth >= 8 || (plan->colour_type != 0 && plan->colour_type != 3)) return;
    u32 per_byte = 8 / depth;
    u32 max = (1u << depth) - 1;
    u32 scale = 255 / max;
    bool pairs = plan->colour_type == 0 && trns;
    for (u32 v = 0; v < 256; v++) {
        for (u32 k = 0; k < per_byte; k++) {
            u32 s = (v >> (8 - depth * (k + 1))) & max;
            if (plan->colour_type == 3) {
                t->unpack[v][k] = (u8)s;
            } else if (!pairs) {
                t->unpack[v][k] = (u8)(s * scale);
            } else {
                bool key = s == t->grey_key;
                t->unpack[v][2 * k] = key ? 0 : (u8)(s * scale);
                t->unpack[v][2 * k + 1] = key ? 0 : 255;
            }
        }
    }
}

// ---- Kernel dispatch -----------------------------------------------------------------

static const PngKernels k_scalar = {unfilter_row_scalar, convert_run_scalar, to_display_scalar, over_run_scalar};
// Every table keeps the scalar over blend: an SSE2 one (a pixel per vector
// of float lanes) lost to it, 149 against 200 MP/s on 1 M random Rgba8
// pixels, and was dropped.
static const PngKernels k_sse2 = {unfilter_row_sse2, convert_run_sse2, to_display_sse2, over_run_scalar};
// AVX2 (blended Paeth, shuffled Sub carries, wide Up and RGB expansion) runs
// the Kodak photos at 155 to 161 MP/s against 152 to 155 for SSE2; inflate
// dominates either way.
static const PngKernels k_avx2 = {unfilter_row_avx2, convert_run_avx2, to_display_sse2, over_run_scalar};

PngKernels png_kernels = k_sse2;
static bool g_kernels_chosen = false;

bool png_kernels_supported(u32 variant) {
    if (variant == PNG_KERNELS_SCALAR || variant == PNG_KERNELS_SSE2) return true;
    if (variant == PNG_KERNELS_AVX2) return cpu_has_avx2();
    return false;
}

bool png_kernels_force(u32 variant) {
    if (!png_kernels_supported(variant)) return false;
    g_kernels_chosen = true;
    png_kernels = variant == PNG_KERNELS_SCALAR ? k_scalar : (variant == PNG_KERNELS_SSE2 ? k_sse2 : k_avx2);
    return true;
}

u32 png_kernels_select() {
    __builtin_cpu_init();
    u32 variant = png_kernels_supported(PNG_KERNELS_AVX2) ? PNG_KERNELS_AVX2 : PNG_KERNELS_SSE2;
    png_kernels_force(variant);
    return variant;
}

void png_kernels_ensure() {
    if (!g_kernels_chosen) png_kernels_select();
}
