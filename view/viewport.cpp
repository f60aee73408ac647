// Viewport arithmetic. The one delicate operation is turning screen distances
// into 16.16 image units, (d * 2^32) / zoom: d * 2^32 overflows i64 once |d|
// reaches 2^31, and shifting a negative d is what the signed formulas read
// like but never what we do. screen_offset_to_image divides the magnitude in
// two parts instead, which gives the same truncated quotient for any |d|
// below 2^40. image_to_screen splits the product the same way.
#include "view/viewport.h"

// ---- Helpers ----------------------------------------------------------------

static u32 bit_length(u64 x) {
    return x == 0 ? 0 : 64 - (u32)__builtin_clzll(x);
}

static i64 clamp_i64(i64 v, i64 lo, i64 hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

static u64 magnitude(i64 v) {
    return v < 0 ? (u64)0 - (u64)v : (u64)v;
}

// The signed value with magnitude m and the sign of v.
static i64 with_sign(u64 m, i64 v) {
    return v < 0 ? (i64)((u64)0 - m) : (i64)m;
}

// ---- Zoom -------------------------------------------------------------------

static constexpr u32 step_value(u32 percent) {
    return ((percent << 16) + 50) / 100;
}

const u32 zoom_step_percent[ZOOM_STEP_COUNT] = {
    1, 2, 3, 5, 7, 10, 15, 20, 25, 33, 50, 67, 75, 100, 125, 150, 200, 300, 400, 600, 800, 1200,
    1600, 2400, 3200,
};

const u32 zoom_steps[ZOOM_STEP_COUNT] = {
    step_value(1),    step_value(2),    step_value(3),    step_value(5),    step_value(7),
    step_value(10),   step_value(15),   step_value(20),   step_value(25),   step_value(33),
    step_value(50),   step_value(67),   step_value(75),   step_value(100),  step_value(125),
    step_value(150),  step_value(200),  step_value(300),  step_value(400),  step_value(600),
    step_value(800),  step_value(1200), step_value(1600), step_value(2400), step_value(3200),
};

static_assert(step_value(1) == ZOOM_MIN, "the first step is the lower zoom limit");
static_assert(step_value(100) == ZOOM_ONE, "100 % is exact");
static_assert(step_value(3200) == ZOOM_MAX, "the last step is the upper zoom limit");

u32 clamp_zoom(u64 zoom) {
    if (zoom < ZOOM_MIN) return ZOOM_MIN;
    if (zoom > ZOOM_MAX) return ZOOM_MAX;
    return (u32)zoom;
}

u32 zoom_step_up(u32 zoom) {
    for (u32 i = 0; i < ZOOM_STEP_COUNT; i++)
        if (zoom_steps[i] > zoom) return zoom_steps[i];
    return ZOOM_MAX;
}

u32 zoom_step_down(u32 zoom) {
    for (u32 i = ZOOM_STEP_COUNT; i > 0; i--)
        if (zoom_steps[i - 1] < zoom) return zoom_steps[i - 1];
    return ZOOM_MIN;
}

u32 zoom_percent(u32 zoom) {
    return (u32)(((u64)zoom * 100 + 0x8000) >> 16);
}

u32 fit_zoom(u32 width, u32 height, i64 area_width, i64 area_height) {
    if (width == 0 || height == 0) return ZOOM_ONE;
    // An area side beyond 2^32 pixels cannot exist; the cap keeps the product
    // below 2^48.
    u64 aw = (u64)clamp_i64(area_width, 0, (i64)1 << 32);
    u64 ah = (u64)clamp_i64(area_height, 0, (i64)1 << 32);
    u64 zx = (aw << 16) / width;
    u64 zy = (ah << 16) / height;
    u64 z = zx < zy ? zx : zy;
    if (z > ZOOM_ONE) z = ZOOM_ONE;
    return clamp_zoom(z);
}

i64 clamp_centre(i64 c, u32 size) {
    if (size == 0) return c;
    return clamp_i64(c, 0, (i64)size << 16);
}

// ---- Image area and coordinate mapping --------------------------------------

i32 view_area_centre_x(ViewArea area) {
    return (i32)(area.left + ((i64)area.right - area.left) / 2);
}

i32 view_area_centre_y(ViewArea area) {
    return (i32)(area.top + ((i64)area.bottom - area.top) / 2);
}

u32 view_area_width(ViewArea area) {
    i64 w = (i64)area.right - area.left;
    return w > 0 ? (u32)w : 0;
}

u32 view_area_height(ViewArea area) {
    i64 h = (i64)area.bottom - area.top;
    return h > 0 ? (u32)h : 0;
}

i64 screen_offset_to_image(i64 d, u32 zoom) {
    u64 z = clamp_zoom(zoom);
    u64 m = magnitude(d);
    const u64 limit = ((u64)1 << 40) - 1;
    if (m > limit) m = limit;
    // m * 2^32 / z = (m / z) * 2^32 + (m % z) * 2^32 / z, and both parts fit:
    // m / z < 2^31 and (m % z) < 2^22.
    u64 q = m / z;
    u64 r = m % z;
    return with_sign((q << 32) + (r << 32) / z, d);
}

i64 image_position(i32 s, i32 mid, u32 zoom, i64 c) {
    return c + screen_offset_to_image((i64)s - mid, zoom);
}

i64 screen_to_image(i32 s, i32 mid, u32 zoom, i64 c) {
    return image_position(s, mid, zoom, c) >> 16;
}

void screen_to_image(ViewArea area, u32 zoom, i64 cx, i64 cy, i32 x, i32 y, i64* ix_out,
                     i64* iy_out) {
    *ix_out = screen_to_image(x, view_area_centre_x(area), zoom, cx);
    *iy_out = screen_to_image(y, view_area_centre_y(area), zoom, cy);
}

i64 image_to_screen(i64 ix, i32 mid, u32 zoom, i64 c) {
    u64 z = clamp_zoom(zoom);
    i64 d = ix - c;
    // d = hi * 2^32 + lo with 0 <= lo < 2^32, so floor(z * d / 2^32) is
    // z * hi + ((z * lo) >> 32) exactly; z * lo < 2^54 and |z * hi| < 2^53.
    i64 hi = d >> 32;
    u64 lo = (u64)d & 0xFFFFFFFFu;
    return mid + (i64)z * hi + (i64)((z * lo) >> 32);
}

// ---- Compare coupling -------------------------------------------------------

u32 couple_zoom_limit(u32 zoom_a, u32 width_a, u32 width_b) {
    if (width_a == 0 || width_b == 0) return clamp_zoom(zoom_a);
    u64 wa = width_a, wb = width_b;
    // B's zoom is (zoom_a * wa + wb / 2) / wb. It is at least ZOOM_MIN when
    // zoom_a * wa >= ZOOM_MIN * wb - wb / 2, and at most ZOOM_MAX when
    // zoom_a * wa + wb / 2 < (ZOOM_MAX + 1) * wb. Products stay below 2^54.
    u64 lower = (ZOOM_MIN * wb - wb / 2 + wa - 1) / wa;
    if (lower < ZOOM_MIN) lower = ZOOM_MIN;
    u64 upper = ((u64)(ZOOM_MAX + 1) * wb - wb / 2 - 1) / wa;
    if (upper > ZOOM_MAX) upper = ZOOM_MAX;
    // Where no zoom of A keeps B within the limits (widths more than about
    // 3200 times apart), the lower bound wins and clamp_zoom has the last word.
    if (upper < lower) upper = lower;
    u64 z = zoom_a;
    if (z < lower) z = lower;
    if (z > upper) z = upper;
    return clamp_zoom(z);
}

u32 coupled_zoom(u32 zoom_a, u32 width_a, u32 width_b) {
    if (width_a == 0 || width_b == 0) return clamp_zoom(zoom_a);
    return clamp_zoom(((u64)zoom_a * width_a + width_b / 2) / width_b);
}

i64 coupled_centre(i64 c_a, u32 width_a, u32 width_b) {
    if (width_a == 0 || width_b == 0) return c_a;
    // wb * (c / wa) + wb * (c mod wa) / wa on the magnitude: the remainder
    // product is below 2^64 for any pair of 32-bit widths.
    u64 m = magnitude(c_a);
    u64 q = m / width_a;
    u64 r = m % width_a;
    return with_sign(width_b * q + (width_b * r) / width_a, c_a);
}

View coupled_view(const View* a, const View* b) {
    View v = *b;
    v.zoom = coupled_zoom(a->zoom, a->width, b->width);
    v.cx = coupled_centre(a->cx, a->width, b->width);
    v.cy = coupled_centre(a->cy, a->width, b->width);
    return v;
}

static u32 limit_for(u32 zoom, const Coupling* coupling) {
    if (coupling == nullptr) return zoom;
    return couple_zoom_limit(zoom, coupling->width_a, coupling->width_b);
}

// ---- View commands ----------------------------------------------------------

void view_fit(View* view, ViewArea area, const Coupling* coupling) {
    u32 z = fit_zoom(view->width, view->height, view_area_width(area), view_area_height(area));
    view->zoom = limit_for(z, coupling);
    view->cx = (i64)view->width << 15;
    view->cy = (i64)view->height << 15;
    view->fit = true;
}

void view_fit(View* view, ViewArea area) {
    view_fit(view, area, nullptr);
}

void view_actual_size(View* view, const Coupling* coupling) {
    view->zoom = limit_for(ZOOM_ONE, coupling);
    view->fit = false;
}

void view_actual_size(View* view) {
    view_actual_size(view, nullptr);
}

void view_zoom_at(View* view, ViewArea area, i32 x, i32 y, bool zoom_in, const Coupling* coupling) {
    u32 old_zoom = view->zoom;
    u32 new_zoom = limit_for(zoom_in ? zoom_step_up(old_zoom) : zoom_step_down(old_zoom), coupling);
    // The image point under (x, y) is c + d / old before and c' + d / new
    // after; equal when c' = c + d / old - d / new.
    i64 dx = (i64)x - view_area_centre_x(area);
    i64 dy = (i64)y - view_area_centre_y(area);
    view->cx = clamp_centre(view->cx + screen_offset_to_image(dx, old_zoom) -
                                screen_offset_to_image(dx, new_zoom),
                            view->width);
    view->cy = clamp_centre(view->cy + screen_offset_to_image(dy, old_zoom) -
                                screen_offset_to_image(dy, new_zoom),
                            view->height);
    view->zoom = new_zoom;
    view->fit = false;
}

void view_zoom_at(View* view, ViewArea area, i32 x, i32 y, bool zoom_in) {
    view_zoom_at(view, area, x, y, zoom_in, nullptr);
}

void view_pan(View* view, i32 dx, i32 dy) {
    view->cx = clamp_centre(view->cx - screen_offset_to_image(dx, view->zoom), view->width);
    view->cy = clamp_centre(view->cy - screen_offset_to_image(dy, view->zoom), view->height);
    view->fit = false;
}

// ---- Sampling positions -----------------------------------------------------

u32 sample_positions(i64* out, i32 lo, i32 hi, i32 mid, u32 zoom, i64 c) {
    i64 span = (i64)hi - lo;
    if (span <= 0) return 0;
    u32 n = span < VIEW_SPAN_MAX ? (u32)span : VIEW_SPAN_MAX;
    for (u32 i = 0; i < n; i++) out[i] = c + screen_offset_to_image((i64)lo + i - mid, zoom);
    return n;
}

bool view_sample_positions(const View* view, ViewArea rect, i64* xs, i64* ys, u32* columns_out,
                           u32* rows_out) {
    *columns_out = 0;
    *rows_out = 0;
    if (view->width == 0 || view->height == 0) return false;
    if (view_area_width(rect) == 0 || view_area_height(rect) == 0) return false;
    *columns_out = sample_positions(xs, rect.left, rect.right, view_area_centre_x(rect), view->zoom,
                                    view->cx);
    *rows_out = sample_positions(ys, rect.top, rect.bottom, view_area_centre_y(rect), view->zoom,
                                 view->cy);
    return true;
}

// ---- Pyramid levels and visible tiles ---------------------------------------

u32 level_count(u32 width, u32 height) {
    u64 longer = width > height ? width : height;
    // Also covers a zero side, where ceil(0 / 256) - 1 would wrap.
    if (longer <= 256) return 1;
    return bit_length((longer + 255) / 256 - 1) + 1;
}

u32 level_for_zoom(u32 zoom, u32 levels) {
    if (levels == 0) return 0;
    u32 z = clamp_zoom(zoom);
    u32 level = z <= ZOOM_ONE ? 16 - bit_length(z - 1) : 0;
    return level < levels - 1 ? level : levels - 1;
}

TileRange visible_tiles(i64 x0, i64 y0, u32 columns, u32 rows, u32 zoom, u32 width, u32 height,
                        u32 level) {
    TileRange range = {0, 0, 0, 0};
    u64 z = clamp_zoom(zoom);
    i64 w = (i64)width << 16;
    i64 h = (i64)height << 16;
    // ceil(n * 2^32 / zoom) without the sum n * 2^32 + zoom - 1 overflowing.
    u64 span_x = ((u64)columns << 32) / z + (((u64)columns << 32) % z != 0);
    u64 span_y = ((u64)rows << 32) / z + (((u64)rows << 32) % z != 0);
    i64 left = clamp_i64(x0, 0, w);
    i64 top = clamp_i64(y0, 0, h);
    i64 right = clamp_i64(x0 + (i64)span_x, 0, w);
    i64 bottom = clamp_i64(y0 + (i64)span_y, 0, h);
    if (left >= right || top >= bottom) return range;
    // 16 fraction bits, 8 for the 256-pixel tile, one per level; no image has
    // more than 25 levels, the cap only keeps the shift defined.
    u32 shift = 24 + (level < 39 ? level : 39);
    range.first_column = (u32)(left >> shift);
    range.first_row = (u32)(top >> shift);
    range.end_column = (u32)(((right > 1 ? right : 1) - 1) >> shift) + 1;
    range.end_row = (u32)(((bottom > 1 ? bottom : 1) - 1) >> shift) + 1;
    return range;
}
