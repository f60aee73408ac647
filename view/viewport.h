// Viewport arithmetic: zoom steps, fitting, zooming about a point, panning,
// the mapping between screen pixels and image coordinates, the coupling of a
// compared second image to the first, and the pyramid level and tile range a
// view needs. Everything is integer fixed point and a pure function of its
// arguments; the application keeps the per-tab values and passes them in.
//
// Number formats: a zoom is 16.16 (0x10000 is 100 %, one image pixel per
// screen pixel), kept within ZOOM_MIN .. ZOOM_MAX. Image positions are signed
// 64-bit 16.16 (image pixels times 65536). Screen coordinates are i32.
//
// Every operation that divides or multiplies by a zoom uses clamp_zoom of it,
// so a zoom outside the limits (0 included) can neither divide by zero nor
// overflow; for zooms within the limits this changes nothing. With centres
// within 0 .. size * 65536 and sizes below 2^32 no intermediate overflows.
#pragma once

#include "base/types.h"

// ---- Zoom -------------------------------------------------------------------

static constexpr u32 ZOOM_ONE = 0x10000;   // 100 %
static constexpr u32 ZOOM_MIN = 655;       // 1 %, the first step
static constexpr u32 ZOOM_MAX = 0x200000;  // 3200 %, the last step
static constexpr u32 ZOOM_STEP_COUNT = 25;

// The steps from 1 % to 3200 %, ascending; step p percent has the value
// ((p << 16) + 50) / 100, so 100 % is exactly 0x10000.
extern const u32 zoom_step_percent[ZOOM_STEP_COUNT];
extern const u32 zoom_steps[ZOOM_STEP_COUNT];

u32 clamp_zoom(u64 zoom);
// The first step above zoom, or ZOOM_MAX when there is none.
u32 zoom_step_up(u32 zoom);
// The last step below zoom, or ZOOM_MIN when there is none.
u32 zoom_step_down(u32 zoom);
// The whole percent shown to the user, rounded.
u32 zoom_percent(u32 zoom);
// The largest zoom that shows the whole image in the area, never above 100 %;
// 100 % for an image with a zero side. A negative area side counts as 0.
u32 fit_zoom(u32 width, u32 height, i64 area_width, i64 area_height);
// c limited to 0 .. size * 65536; unchanged when size is 0.
i64 clamp_centre(i64 c, u32 size);

// ---- Image area and coordinate mapping --------------------------------------

// The part of the client area that shows the image; right and bottom are
// exclusive.
struct ViewArea {
    i32 left;
    i32 top;
    i32 right;
    i32 bottom;
};

// Where the view centre (cx, cy) appears: left + (right - left) / 2, and the
// same downwards, truncating toward zero.
i32 view_area_centre_x(ViewArea area);
i32 view_area_centre_y(ViewArea area);
// Side lengths, 0 for an empty or inverted area.
u32 view_area_width(ViewArea area);
u32 view_area_height(ViewArea area);

// Image units covered by d screen pixels: (d * 2^32) / zoom, truncated toward
// zero, exact for any |d| below 2^40 (every difference of two i32
// coordinates); a longer distance counts as 2^40 - 1.
i64 screen_offset_to_image(i64 d, u32 zoom);
// The 16.16 image position shown at screen coordinate s along one axis, for a
// view with centre c (16.16) drawn around screen coordinate mid.
i64 image_position(i32 s, i32 mid, u32 zoom, i64 c);
// The whole image pixel under screen coordinate s (image_position >> 16,
// rounding toward minus infinity).
i64 screen_to_image(i32 s, i32 mid, u32 zoom, i64 c);
// Both axes at once, with the area's centre.
void screen_to_image(ViewArea area, u32 zoom, i64 cx, i64 cy, i32 x, i32 y, i64* ix_out,
                     i64* iy_out);
// The screen coordinate of the 16.16 image position ix along one axis:
// mid + (zoom * (ix - c)) >> 32, the shift rounding toward minus infinity.
i64 image_to_screen(i64 ix, i32 mid, u32 zoom, i64 c);

// ---- View commands ----------------------------------------------------------

// One document's view. width and height are the image's, in pixels.
struct View {
    u32 zoom;
    i64 cx;
    i64 cy;
    bool fit;  // follows the window until the next zoom or pan
    u32 width;
    u32 height;
};

// While two documents are compared, the second one (B) is shown with a zoom
// and centre derived from the first one's (A), so that both appear at the same
// displayed width. Every zoom given to A is limited so that B's stays within
// the zoom limits. Widths are the images' widths in pixels.
struct Coupling {
    u32 width_a;
    u32 width_b;
};

// A's zoom limited so that B's derived zoom stays within ZOOM_MIN .. ZOOM_MAX
// where such a zoom exists, then clamp_zoom. With a zero width no limit
// beyond clamp_zoom applies.
u32 couple_zoom_limit(u32 zoom_a, u32 width_a, u32 width_b);
// B's zoom: clamp_zoom((zoom_a * width_a + width_b / 2) / width_b).
u32 coupled_zoom(u32 zoom_a, u32 width_a, u32 width_b);
// B's centre coordinate: c_a * width_b / width_a (both axes use the widths),
// without an intermediate overflow. Unchanged with a zero width.
i64 coupled_centre(i64 c_a, u32 width_a, u32 width_b);
// b with its zoom and centre derived from a's; b's size and fit unchanged.
View coupled_view(const View* a, const View* b);

// Each command changes only *view. The coupling is null unless compare is
// shown and the view is A's; it then limits the zoom the command sets.

// Fit the image into the area and centre it; sets fit.
void view_fit(View* view, ViewArea area);
void view_fit(View* view, ViewArea area, const Coupling* coupling);
// 100 %, centre unchanged; clears fit.
void view_actual_size(View* view);
void view_actual_size(View* view, const Coupling* coupling);
// One zoom step in or out about the window point (x, y): the image point under
// it stays under it, up to the clamping of the centre; clears fit.
void view_zoom_at(View* view, ViewArea area, i32 x, i32 y, bool zoom_in);
void view_zoom_at(View* view, ViewArea area, i32 x, i32 y, bool zoom_in,
                  const Coupling* coupling);
// Move the image by (dx, dy) screen pixels (the centre moves the other way),
// keeping the centre within the image; clears fit.
void view_pan(View* view, i32 dx, i32 dy);

// ---- Sampling positions -----------------------------------------------------

// A view draws at most this many columns and rows, whatever the window size;
// the sampling tables are sized for it.
static constexpr u32 VIEW_SPAN_MAX = 7680;

// Fills out[i] = image_position(lo + i, mid, zoom, c) for i below
// min(hi - lo, VIEW_SPAN_MAX) and returns that count (0 when hi <= lo). Each
// entry is computed on its own, so no rounding accumulates. out holds at least
// VIEW_SPAN_MAX entries.
u32 sample_positions(i64* out, i32 lo, i32 hi, i32 mid, u32 zoom, i64 c);
// Both tables of a view drawn into rect, around rect's centre. Returns false,
// with both counts 0, when the rectangle is empty or the image has a zero side.
bool view_sample_positions(const View* view, ViewArea rect, i64* xs, i64* ys, u32* columns_out,
                           u32* rows_out);

// ---- Pyramid levels and visible tiles ---------------------------------------

// Level n shows the image at 1 / 2^n of its size in 256 x 256 tiles; the last
// level fits into one tile. 1 for images up to 256 pixels on the longer side
// (a zero side included), at most 25.
u32 level_count(u32 width, u32 height);
// The coarsest level still at least as large as the display at this zoom, at
// most level_count - 1: level 0 from 100 % up, 1 for 50 % and 33 %, 2 for
// 25 %.
u32 level_for_zoom(u32 zoom, u32 levels);

// Tile columns first_column .. end_column - 1 and rows first_row .. end_row - 1
// at one level; all four 0 when nothing is visible.
struct TileRange {
    u32 first_column;
    u32 first_row;
    u32 end_column;
    u32 end_row;
};

// The tiles at level under a view whose first sampling positions are (x0, y0)
// (16.16) and which draws columns x rows screen pixels.
TileRange visible_tiles(i64 x0, i64 y0, u32 columns, u32 rows, u32 zoom, u32 width, u32 height,
                        u32 level);
