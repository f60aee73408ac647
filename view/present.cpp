// Presentation pipeline. A view is planned once (sampling positions, level,
// visible tiles, cache preparation and rendering, tile boundaries on screen,
// frame counters) and then drawn a screen row at a time, which lets
// difference mode draw both of its views row by row into its row buffers.
//
// Per band of tile rows, each tile column gets its source tile (exact or
// fallback), the tile's origin at its effective level and, per screen
// column, its source column indices and weight; each screen row is then one
// nearest gather or one vertical and one horizontal blend per tile column,
// followed by compositing. At exactly 100 % an exact tile's row maps onto
// consecutive screen pixels, and that run is composited straight from the
// tile. A view too large for the caches assembles each row's samples first
// and composites them over the target with streaming stores.
#include "view/present.h"

#include "view/blend.h"

// ---- Set-up -----------------------------------------------------------------

bool present_init(PresentTables* t, Arena* arena) {
    *t = PresentTables{};
    const u64 span = VIEW_SPAN_MAX + VIEW_TABLE_SLACK;
    for (u32 i = 0; i < 2; i++) {
        ByteSpan tiles = arena_alloc(arena, sizeof(ViewTiles), 64);
        ByteSpan xs = arena_alloc(arena, span * 8, 64);
        ByteSpan ys = arena_alloc(arena, span * 8, 64);
        ByteSpan band = arena_alloc(arena, span * 4, 64);
        ByteSpan left = arena_alloc(arena, span, 64);
        ByteSpan right = arena_alloc(arena, span, 64);
        ByteSpan weight = arena_alloc(arena, span, 64);
        ByteSpan pair_base = arena_alloc(arena, span * 2, 64);
        ByteSpan pair_offsets = arena_alloc(arena, span * 2, 64);
        ByteSpan pair_weights = arena_alloc(arena, span * 2, 64);
        if (tiles.data == nullptr || xs.data == nullptr || ys.data == nullptr || band.data == nullptr ||
            left.data == nullptr || right.data == nullptr || weight.data == nullptr || pair_base.data == nullptr ||
            pair_offsets.data == nullptr || pair_weights.data == nullptr) {
            return false;
        }
        t->tiles[i] = (ViewTiles*)tiles.data;
        *t->tiles[i] = ViewTiles{};
        t->xs[i] = (i64*)xs.data;
        t->ys[i] = (i64*)ys.data;
        t->band[i] = (u32*)band.data;
        t->columns[i] = ColumnTables{left.data,  right.data, weight.data, (u16*)pair_base.data, pair_offsets.data,
                                     pair_weights.data};
    }
    ByteSpan row = arena_alloc(arena, span * 4, 64);
    ByteSpan blended = arena_alloc(arena, (TILE_SIDE + VIEW_TABLE_SLACK) * 4, 64);
    ByteSpan group = arena_alloc(arena, span * 4 * VIEW_ROW_GROUP, 64);
    if (row.data == nullptr || blended.data == nullptr || group.data == nullptr) return false;
    t->row = (u32*)row.data;
    t->blended = (u32*)blended.data;
    t->group = (u32*)group.data;
    t->stream_pixels = (u64)1 << 22;
    blend_select();
    return true;
}

// ---- Helpers ----------------------------------------------------------------

static i64 clamp_i64(i64 v, i64 lo, i64 hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

static ViewArea intersect(ViewArea a, ViewArea b) {
    ViewArea r = {a.left > b.left ? a.left : b.left, a.top > b.top ? a.top : b.top,
                  a.right < b.right ? a.right : b.right, a.bottom < b.bottom ? a.bottom : b.bottom};
    if (r.right < r.left) r.right = r.left;
    if (r.bottom < r.top) r.bottom = r.top;
    return r;
}

static ViewArea target_bounds(ViewTarget t) {
    return ViewArea{t.origin_x, t.origin_y, (i32)((i64)t.origin_x + t.width),
                    (i32)((i64)t.origin_y + t.height)};
}

// The number of entries of the ascending table below pos (at most 14
// halvings for 7680 entries).
static u32 count_below(const i64* table, u32 count, i64 pos) {
    u32 lo = 0, hi = count;
    while (lo < hi) {
        u32 mid = lo + (hi - lo) / 2;
        if (table[mid] < pos) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

i32 compare_split(ViewArea area, u32 mode, u32 divider) {
    if (mode == 3) return (i32)(area.top + (((i64)divider * view_area_height(area)) >> 16));
    return (i32)(area.left + (((i64)divider * view_area_width(area)) >> 16));
}

// ---- Planning a view --------------------------------------------------------

struct ViewPlan {
    bool active;
    ViewRecord view;
    ViewTiles* tiles;
    const i64* xs;
    const i64* ys;
    u32 columns;       // screen columns and rows sampled (at most VIEW_SPAN_MAX)
    u32 rows;
    u32 tile_columns;  // of the visible range, at most VIEW_TILE_SPAN
    u32 tile_rows;
    u32 level;
    // Screen columns bx[c] .. bx[c + 1] - 1 lie in tile column c (relative
    // to rect's left, already clipped); rows likewise.
    u32 bx[VIEW_TILE_SPAN + 1];
    u32 by[VIEW_TILE_SPAN + 1];
};

enum : u32 { TILE_EXACT = 0, TILE_FALLBACK = 1, TILE_NONE = 2 };

static u32 choose_tile(const TileCache* c, const ViewTiles* t, u32 index, u16* slot_out, u32* up_out) {
    *up_out = 0;
    *slot_out = NO_TILE;
    if (index >= t->count) return TILE_NONE;
    if (tile_ready(c, t->exact[index], t->keys[index])) {
        *slot_out = t->exact[index];
        return TILE_EXACT;
    }
    u32 up = t->fallback_up[index];
    if (up != 0 && tile_ready(c, t->fallback[index], coarser_key(t->keys[index], up))) {
        *slot_out = t->fallback[index];
        *up_out = up;
        return TILE_FALLBACK;
    }
    return TILE_NONE;
}

// The frame's "level=" is the first view's, the active document's (A's in
// compare modes), matching the zoom the state line reports.
static void plan_view(TileCache* cache, RenderCounters* counters, PresentTables* tables, u32 index,
                      const ViewRecord* view, bool keep_used, bool records_level, ViewTarget target,
                      ViewPlan* p) {
    p->active = false;
    p->view = *view;
    p->tiles = tables->tiles[index];
    p->xs = tables->xs[index];
    p->ys = tables->ys[index];
    const SceneDocument& d = view->doc;
    ViewArea rect = view->rect;
    ViewArea clip = intersect(intersect(view->clip, rect), target_bounds(target));
    View v = {d.zoom, d.cx, d.cy, false, d.width, d.height};
    if (!view_sample_positions(&v, rect, tables->xs[index], tables->ys[index], &p->columns, &p->rows)) {
        return;
    }
    u32 levels = level_count(d.width, d.height);
    u32 level = level_for_zoom(d.zoom, levels);
    p->level = level;
    if (records_level) counters->level = level;
    TileRange range = visible_tiles(p->xs[0], p->ys[0], p->columns, p->rows, d.zoom, d.width, d.height, level);
    // Keys hold 16-bit tile columns and rows: tiles beyond them (images over
    // 16776960 pixels on a side, at full size) would alias others, so they
    // are not drawn.
    if (range.end_column > TILE_KEY_SPAN) range.end_column = TILE_KEY_SPAN;
    if (range.end_row > TILE_KEY_SPAN) range.end_row = TILE_KEY_SPAN;
    if (range.first_column >= range.end_column || range.first_row >= range.end_row) return;
    // The level choice keeps a 7680-pixel view within 62 tiles; the cap
    // only guards the tables.
    if (range.end_column - range.first_column > VIEW_TILE_SPAN) range.end_column = range.first_column + VIEW_TILE_SPAN;
    if (range.end_row - range.first_row > VIEW_TILE_SPAN) range.end_row = range.first_row + VIEW_TILE_SPAN;
    p->tile_columns = range.end_column - range.first_column;
    p->tile_rows = range.end_row - range.first_row;

    ViewTiles* t = p->tiles;
    t->document = d.document;
    t->source = d.source;
    t->levels = levels;
    t->level = level;
    t->range = range;
    prepare_view(cache, t, keep_used, counters);
    render_missing(cache, t, counters);

    u32 shift = level + 24;
    i64 cx0 = clamp_i64((i64)clip.left - rect.left, 0, p->columns);
    i64 cx1 = clamp_i64((i64)clip.right - rect.left, 0, p->columns);
    i64 cy0 = clamp_i64((i64)clip.top - rect.top, 0, p->rows);
    i64 cy1 = clamp_i64((i64)clip.bottom - rect.top, 0, p->rows);
    i64 w = (i64)d.width << 16;
    i64 h = (i64)d.height << 16;
    for (u32 c = 0; c <= p->tile_columns; c++) {
        i64 pos = (i64)(range.first_column + c) << shift;
        u32 b = count_below(p->xs, p->columns, pos < w ? pos : w);
        p->bx[c] = (u32)clamp_i64(b, cx0, cx1);
    }
    for (u32 r = 0; r <= p->tile_rows; r++) {
        i64 pos = (i64)(range.first_row + r) << shift;
        u32 b = count_below(p->ys, p->rows, pos < h ? pos : h);
        p->by[r] = (u32)clamp_i64(b, cy0, cy1);
    }
    // Each band of tile rows counts each of its tile columns once.
    for (u32 r = 0; r < p->tile_rows; r++) {
        if (p->by[r] >= p->by[r + 1]) continue;
        for (u32 c = 0; c < p->tile_columns; c++) {
            if (p->bx[c] >= p->bx[c + 1]) continue;
            u16 slot;
            u32 up;
            u32 kind = choose_tile(cache, t, r * p->tile_columns + c, &slot, &up);
            if (kind == TILE_EXACT) counters->exact++;
            if (kind == TILE_FALLBACK) counters->fallback++;
            if (kind == TILE_NONE) counters->none++;
        }
    }
    p->active = true;
}

// ---- Drawing a planned view -------------------------------------------------

// One tile column within the current band of tile rows.
struct TileColumn {
    const u32* tile;  // null: nothing to draw
    u32 level;        // effective level v = view level + fallback difference
    i64 origin_y;     // the tile's first row at level v
    i64 last_row;     // last valid row of the tile
    u32 x0, x1;       // screen columns, relative to the view's left
    u32 src_lo, src_hi;  // tile columns the screen columns read
    bool unweighted;  // bilinear with every column weight 0: the left pixels alone
    bool contiguous;  // x0 .. x1 - 1 read consecutive tile columns, unblended
    // Bilinear with one weight for the first `regular` columns, column x
    // reading tile columns src_lo + step (x - x0) and the one after it: step
    // 1 or 2; 0 when too few columns follow the pattern.
    u32 step;
    u32 regular;
};

static void prepare_column(const TileCache* cache, const ViewPlan* p, const ColumnTables* tables, u32 r,
                           u32 c, TileColumn* col) {
    col->tile = nullptr;
    col->step = 0;
    col->x0 = p->bx[c];
    col->x1 = p->bx[c + 1];
    if (col->x0 >= col->x1) return;
    u16 slot;
    u32 up;
    if (choose_tile(cache, p->tiles, r * p->tile_columns + c, &slot, &up) == TILE_NONE) return;
    const SceneDocument& d = p->view.doc;
    u32 v = p->level + up;
    u32 column = p->tiles->range.first_column + c;
    u32 row = p->tiles->range.first_row + r;
    i64 origin_x = (i64)(column >> up) * TILE_SIDE;
    col->origin_y = (i64)(row >> up) * TILE_SIDE;
    i64 last_col = (i64)ceil_shift(d.width, v) - origin_x;
    last_col = (last_col < TILE_SIDE ? last_col : TILE_SIDE) - 1;
    col->last_row = (i64)ceil_shift(d.height, v) - col->origin_y;
    col->last_row = (col->last_row < TILE_SIDE ? col->last_row : TILE_SIDE) - 1;
    col->tile = tile_pixels(cache, slot);
    col->level = v;
    u8* left = tables->left;
    u8* right = tables->right;
    u8* weight = tables->weight;
    if (d.zoom >= ZOOM_ONE) {
        for (u32 x = col->x0; x < col->x1; x++) {
            left[x] = (u8)clamp_i64((p->xs[x] >> (16 + v)) - origin_x, 0, last_col);
        }
        col->src_lo = left[col->x0];
        col->src_hi = left[col->x1 - 1];
        col->contiguous = col->src_hi - col->src_lo == col->x1 - 1 - col->x0;
        col->unweighted = true;
        col->step = 0;
    } else {
        i64 half = (i64)(0x80000000u / clamp_zoom(d.zoom));
        for (u32 x = col->x0; x < col->x1; x++) {
            i64 t = ((p->xs[x] + half) >> v) + 0x8000;
            i64 s = (t >> 16) - origin_x;
            left[x] = (u8)clamp_i64(s - 1, 0, last_col);
            right[x] = (u8)clamp_i64(s, 0, last_col);
            weight[x] = (u8)((t >> 8) & 0xFF);
        }
        col->src_lo = left[col->x0];
        col->src_hi = right[col->x1 - 1];
        // With every weight 0 (an exact power-of-two zoom whose centre sits on
        // a pixel edge) a column's blend is its left pixel: gather that alone.
        bool unweighted = true;
        for (u32 x = col->x0; x < col->x1; x++) unweighted &= weight[x] == 0;
        col->unweighted = unweighted;
        col->contiguous = unweighted && (u32)(left[col->x1 - 1] - left[col->x0]) == col->x1 - 1 - col->x0;
        if (unweighted) col->src_hi = left[col->x1 - 1];
        // A level shown at 100 % or 50 % off the pixel grid: the column blend
        // needs no gather for the columns before the tile's clamped edge (see
        // draw_rows).
        col->step = 0;
        for (u32 step = 1; step <= 2 && !unweighted && col->step == 0; step++) {
            u32 x = col->x0;
            while (x < col->x1 && weight[x] == weight[col->x0] && right[x] == left[x] + 1 &&
                   (u32)left[x] == (u32)left[col->x0] + step * (x - col->x0)) {
                x++;
            }
            if (x - col->x0 >= 8) {
                col->step = step;
                col->regular = x - col->x0;
            }
        }
        // Every other bilinear run is drawn by blend_pairs_over, from a
        // plan made here once for all the band's rows.
        if (!unweighted && col->step == 0) {
            u32 x0 = col->x0;
            pair_plan(tables->pair_base + x0, tables->pair_offsets + 2 * x0, tables->pair_weights + 2 * x0,
                      left + x0, right + x0, weight + x0, col->x1 - x0, TILE_SIDE);
        }
    }
}

// The bilinear samples of a regular column run, composited straight into
// the target row: the same pixels a row blend of `up` and `down` followed by
// the gathered column blend give, in one pass of a contiguous kernel; the
// columns after the run (at the tile's clamped edge) one by one.
static void regular_columns(const BlendKernels& k, const TileColumn* col, const ColumnTables* tables, const u32* up,
                            const u32* down, u32 wy, u32* dst, bool samples) {
    u32 m = col->regular;
    u32 wx = tables->weight[col->x0];
    if (col->step == 2) {
        (samples ? k.blend_halves : k.blend_halves_over)(dst, up + col->src_lo, down + col->src_lo, m, wy, wx);
    } else {
        (samples ? k.blend_shifted : k.blend_shifted_over)(dst, up + col->src_lo, down + col->src_lo, m, wy, wx);
    }
    for (u32 i = m; i < col->x1 - col->x0; i++) {
        u32 l = tables->left[col->x0 + i];
        u32 r = tables->right[col->x0 + i];
        u32 a = blend_pixel(up[l], down[l], wy);
        u32 b = blend_pixel(up[r], down[r], wy);
        u32 px = blend_pixel(a, b, tables->weight[col->x0 + i]);
        dst[i] = samples ? px : composite_pixel(dst[i], px);
    }
}

// Asks for the cache lines of tile pixels row[lo .. hi]. A tile's rows are
// 1 KiB apart, four to a 4 KiB page, and the processor's stream prefetch
// stops at page boundaries: drawing row by row across up to 64 tiles, it
// would start afresh every four rows in every tile. Asking for the row the
// next screen row reads while this one is drawn measured 30 % faster at 50 %
// (3840 x 2160) and costs one request per 16 pixels.
// Into the second-level cache only (locality 1): a 3840 x 2160 frame at
// 33 % and the difference view each measured about 20 % faster than asking
// for the first level, whose few outstanding misses the requests then fill.
static void prefetch_span(const u32* row, u32 lo, u32 hi) {
    const char* p = (const char*)((uintptr_t)(row + lo) & ~(uintptr_t)63);
    const char* end = (const char*)(row + hi + 1);
    for (; p < end; p += 64) __builtin_prefetch(p, 0, 1);
}

// Memory to ask for while a piece of a row is drawn (see draw_rows).
struct Ahead {
    const u8* next;
    u32 lines;  // cache lines from next
};

// The upper and lower tile rows screen row j blends in a bilinear column,
// and its vertical weight.
static void bilinear_rows(const ViewPlan* p, const TileColumn& col, i64 j, i64* upper_out, i64* lower_out,
                          u32* wy_out) {
    i64 half = (i64)(0x80000000u / clamp_zoom(p->view.doc.zoom));
    i64 t = ((p->ys[j] + half) >> col.level) + 0x8000;
    i64 s = (t >> 16) - col.origin_y;
    *upper_out = clamp_i64(s - 1, 0, col.last_row);
    *lower_out = clamp_i64(s, 0, col.last_row);
    *wy_out = (u32)((t >> 8) & 0xFF);
}

// The tile rows screen row j reads in a prepared column: the one nearest
// sampling takes, or the upper and lower rows of bilinear sampling.
static void rows_read(const ViewPlan* p, const TileColumn* col, i64 j, i64* first_out, i64* last_out) {
    if (p->view.doc.zoom >= ZOOM_ONE) {
        *first_out = *last_out = clamp_i64((p->ys[j] >> (16 + col->level)) - col->origin_y, 0, col->last_row);
        return;
    }
    u32 wy;
    bilinear_rows(p, *col, j, first_out, last_out, &wy);
}

// The pair plan of a prepared column, asking for `ahead` as it goes.
static PairColumns pair_columns(const ColumnTables* ct, const TileColumn& col, Ahead ahead) {
    return PairColumns{ct->left + col.x0,
                       ct->right + col.x0,
                       ct->weight + col.x0,
                       TILE_SIDE,
                       ct->pair_base + col.x0,
                       ct->pair_offsets + 2 * col.x0,
                       ct->pair_weights + 2 * col.x0,
                       ahead.next,
                       ahead.lines};
}

// Screen row j (relative to the view's top) in one prepared tile column,
// composited into out (the row's pixel at the view's left edge), or with
// `samples` its samples alone stored there (into a row buffer). With
// `ask_rows` the tile rows of the next screen rows are asked for, up to j1
// (the end of the band's rows drawn); `ahead` is asked for besides, one line
// a group of bilinear columns where the kernel takes it.
static void draw_piece(const ViewPlan* p, PresentTables* tables, const ColumnTables* ct, const TileColumn& col,
                       i64 j, i64 j1, u32* out, bool samples, bool ask_rows, Ahead ahead) {
    const BlendKernels k = blend_kernels;
    bool nearest = p->view.doc.zoom >= ZOOM_ONE;
    i64 half = (i64)(0x80000000u / clamp_zoom(p->view.doc.zoom));
    // Every piece but bilinear columns gets its lines asked for at once.
    if (ahead.lines != 0 &&
        (col.tile == nullptr || nearest || col.step != 0 || col.contiguous || col.unweighted)) {
        prefetch_span((const u32*)ahead.next, 0, ahead.lines * 16 - 1);
        ahead.lines = 0;
    }
    if (col.tile == nullptr) return;
    u32 count = col.x1 - col.x0;
    // Clipped to the target, so the offset is never negative.
    u32* dst = out + col.x0;
    u32* sampled = samples ? dst : tables->row + col.x0;
    if (nearest) {
        i64 tr = clamp_i64((p->ys[j] >> (16 + col.level)) - col.origin_y, 0, col.last_row);
        const u32* src = col.tile + tr * TILE_SIDE;
        if (ask_rows && j + 1 < j1) {
            i64 next = clamp_i64((p->ys[j + 1] >> (16 + col.level)) - col.origin_y, 0, col.last_row);
            if (next != tr) prefetch_span(col.tile + next * TILE_SIDE, col.src_lo, col.src_hi);
        }
        if (col.contiguous) {
            if (samples) {
                __builtin_memcpy(dst, src + col.src_lo, (u64)count * 4);
            } else {
                k.composite_row(dst, src + col.src_lo, count);
            }
            return;
        }
        const u8* left = ct->left + col.x0;
        for (u32 i = 0; i < count; i++) sampled[i] = src[left[i]];
    } else {
        i64 upper, lower;
        u32 wy;
        bilinear_rows(p, col, j, &upper, &lower, &wy);
        if (ask_rows && j + 2 < j1) {
            // The row after next reads rows up to `next`, at
            // most four past this one's lower row (sampled rows
            // are at most two tile rows apart below 100 %); its
            // two are asked for (the next row's were, a row ago).
            i64 next = clamp_i64(((((p->ys[j + 2] + half) >> col.level) + 0x8000) >> 16) - col.origin_y,
                                 0, col.last_row);
            for (i64 r = next - 1 > lower ? next - 1 : lower + 1; r <= next; r++) {
                prefetch_span(col.tile + r * TILE_SIDE, col.src_lo, col.src_hi);
            }
        }
        if (col.step != 0) {
            regular_columns(k, &col, ct, col.tile + upper * TILE_SIDE, col.tile + lower * TILE_SIDE, wy, dst,
                            samples);
            return;
        }
        if (!col.contiguous && !col.unweighted) {
            const PairColumns pc = pair_columns(ct, col, ahead);
            (samples ? k.blend_pairs : k.blend_pairs_over)(dst, col.tile + upper * TILE_SIDE,
                                                           col.tile + lower * TILE_SIDE, &pc, count, wy);
            return;
        }
        // Weight 0 blends to the upper row itself.
        const u32* blended = col.tile + upper * TILE_SIDE;
        if (wy != 0) {
            u32 n = col.src_hi - col.src_lo + 1;
            k.blend_rows(tables->blended + col.src_lo, blended + col.src_lo,
                         col.tile + lower * TILE_SIDE + col.src_lo, n, wy);
            blended = tables->blended;
        }
        if (col.contiguous) {
            if (samples) {
                __builtin_memcpy(dst, blended + col.src_lo, (u64)count * 4);
            } else {
                k.composite_row(dst, blended + col.src_lo, count);
            }
            return;
        }
        const u8* left = ct->left + col.x0;
        for (u32 i = 0; i < count; i++) sampled[i] = blended[left[i]];
    }
    if (!samples) k.composite_row(dst, sampled, count);
}

// One screen row j across a band of tile rows whose columns are prepared
// (draw_piece for each), asking for the rows the next screen rows read.
static void draw_line(const ViewPlan* p, PresentTables* tables, const ColumnTables* ct, const TileColumn* cols,
                      i64 j, i64 j1, u32* out, bool samples) {
    for (u32 c = 0; c < p->tile_columns; c++) draw_piece(p, tables, ct, cols[c], j, j1, out, samples, true, Ahead{});
}

// A view of 4M pixels (16 MiB) or more leaves no room in the caches for
// what it writes, and its target is written once: its rows are assembled as
// samples in row buffers and composited over the target with streaming
// stores, which do not read the target's lines first. (3840 x 2160 at 33 %
// measured 2.3 to 3.3 plain copies of the frame against 3.0 to 3.9 before,
// runs taken in turns.)
static bool streams(const ViewPlan* p, const PresentTables* tables) {
    u64 w = p->bx[p->tile_columns] - p->bx[0];
    u64 h = p->by[p->tile_rows] - p->by[0];
    return w * h >= tables->stream_pixels;
}

// A row's samples over the target, each run of drawn columns in one call.
static void stream_row(const BlendKernels& k, const ViewPlan* p, const TileColumn* cols, u32* out, const u32* row) {
    for (u32 c = 0; c < p->tile_columns;) {
        if (cols[c].tile == nullptr) {
            c++;
            continue;
        }
        u32 x0 = cols[c].x0, x1 = cols[c].x1;
        for (c++; c < p->tile_columns && (cols[c].x0 >= cols[c].x1 || cols[c].tile != nullptr); c++) {
            if (cols[c].x0 < cols[c].x1) x1 = cols[c].x1;
        }
        k.composite_row_stream(out + x0, row + x0, x1 - x0);
    }
}

// Screen rows j .. j + n - 1 of a band of a streamed view, n at most
// VIEW_ROW_GROUP: tile column by tile column, each of its rows into its row
// buffer, then each row over the target. A tile column's rows for the group
// are one stretch of its tile's memory (tile rows are consecutive), asked
// for while the column before it is drawn, spread over that column's
// pieces; the last column asks for the first one's next stretch. Rows drawn
// across all the tiles instead read one or two rows of every tile for each
// screen row, the same few cache sets in each (tiles are 256 KiB apart), so
// that what was asked for ahead could be evicted before use: 3840 x 2160 at
// 33 % measured 2.77 plain copies of the frame that way against 2.65 this
// way (means of eight runs taken in turns, each 2.4 to 3.3). A group of six
// rows measured 3 % slower than sixteen; streaming the last group's rows
// between this one's tile columns gained nothing. Bilinear columns go two
// rows at a time through the pair kernel (the plan loaded once for both):
// 4 to 7 % less time for the frame than a row at a time. What remains is
// mostly the bilinear kernel itself (about 1.5 plain copies with every tile
// in the second-level cache) and the streaming of the rows (about 0.5).
static void draw_group(const ViewPlan* p, PresentTables* tables, const ColumnTables* ct, const TileColumn* cols,
                       i64 j, i64 n, i64 j1, u32* out, u64 stride) {
    const BlendKernels k = blend_kernels;
    const u64 span = VIEW_SPAN_MAX + VIEW_TABLE_SLACK;
    for (u32 c = 0; c < p->tile_columns; c++) {
        // The stretch the next piece of work reads.
        const TileColumn* next = c + 1 < p->tile_columns ? &cols[c + 1] : &cols[0];
        i64 next_j = c + 1 < p->tile_columns ? j : j + n;
        i64 next_n = j1 - next_j < (i64)VIEW_ROW_GROUP ? j1 - next_j : (i64)VIEW_ROW_GROUP;
        const u8* from = nullptr;
        u64 lines = 0;
        if (next->tile != nullptr && next_n > 0) {
            i64 first, last, unused;
            rows_read(p, next, next_j, &first, &unused);
            rows_read(p, next, next_j + next_n - 1, &unused, &last);
            from = (const u8*)(next->tile + first * TILE_SIDE);
            lines = (u64)(last - first + 1) * (TILE_SIDE * 4 / 64);
        }
        u64 share = (lines + n - 1) / n;
        const TileColumn& col = cols[c];
        // Bilinear columns by the pair kernels two rows at a time.
        bool pairs = col.tile != nullptr && p->view.doc.zoom < ZOOM_ONE && col.step == 0 && !col.contiguous &&
                     !col.unweighted;
        for (i64 q = 0; q < n;) {
            u32 rows = pairs && q + 1 < n ? 2 : 1;
            u64 now = rows * share < lines ? rows * share : lines;
            u32* out0 = tables->group + q * span;
            if (rows == 2) {
                i64 upper0, lower0, upper1, lower1;
                u32 wy0, wy1;
                bilinear_rows(p, col, j + q, &upper0, &lower0, &wy0);
                bilinear_rows(p, col, j + q + 1, &upper1, &lower1, &wy1);
                const PairColumns pc = pair_columns(ct, col, Ahead{from, (u32)now});
                k.blend_pairs2(out0 + col.x0, out0 + span + col.x0, col.tile + upper0 * TILE_SIDE,
                               col.tile + lower0 * TILE_SIDE, wy0, col.tile + upper1 * TILE_SIDE,
                               col.tile + lower1 * TILE_SIDE, wy1, &pc, col.x1 - col.x0);
            } else {
                draw_piece(p, tables, ct, col, j + q, j1, out0, true, false, Ahead{from, (u32)now});
            }
            from += now * 64;
            lines -= now;
            q += rows;
        }
    }
    for (i64 q = 0; q < n; q++) stream_row(k, p, cols, out + q * stride, tables->group + q * span);
}

static void draw_rows(const TileCache* cache, const ViewPlan* p, PresentTables* tables, u32 set, ViewTarget target,
                      i32 y_lo, i32 y_hi) {
    if (!p->active) return;
    const ViewArea& rect = p->view.rect;
    const ColumnTables* ct = &tables->columns[set];
    i64 j_lo = (i64)y_lo - rect.top;
    i64 j_hi = (i64)y_hi - rect.top;
    TileColumn cols[VIEW_TILE_SPAN];
    bool stream = streams(p, tables);
    for (u32 r = 0; r < p->tile_rows; r++) {
        i64 j0 = p->by[r] > j_lo ? p->by[r] : j_lo;
        i64 j1 = p->by[r + 1] < j_hi ? p->by[r + 1] : j_hi;
        if (j0 >= j1) continue;
        for (u32 c = 0; c < p->tile_columns; c++) prepare_column(cache, p, ct, r, c, &cols[c]);
        for (i64 j = j0; j < j1;) {
            // Clipped to the target, so the offsets are never negative.
            u32* out = target.pixels + (u64)(rect.top + j - target.origin_y) * target.stride +
                       ((i64)rect.left - target.origin_x);
            if (stream) {
                i64 n = j1 - j < (i64)VIEW_ROW_GROUP ? j1 - j : (i64)VIEW_ROW_GROUP;
                draw_group(p, tables, ct, cols, j, n, j1, out, target.stride);
                j += n;
                continue;
            }
            // Row by row across the tiles: tile by tile down the band
            // measured 12 % slower (3840 x 2160 at 33 %), the target's rows
            // no longer written in order.
            draw_line(p, tables, ct, cols, j, j1, out, false);
            j++;
        }
    }
    if (stream) stream_fence();
}

// ---- Frames -----------------------------------------------------------------

static void draw_one(TileCache* cache, RenderCounters* counters, PresentTables* tables, const ViewRecord* view,
                     bool records_level, ViewTarget target) {
    ViewPlan plan;
    plan_view(cache, counters, tables, 0, view, false, records_level, target, &plan);
    draw_rows(cache, &plan, tables, 0, target, view->rect.top, view->rect.bottom);
}

void draw_view(TileCache* cache, RenderCounters* counters, PresentTables* tables, const ViewRecord* view,
               ViewTarget target) {
    draw_one(cache, counters, tables, view, true, target);
}

// Both views start opaque black. Sixteen bytes a store (the compiler's
// generic vectors, SSE2 at the baseline): the pixel-by-pixel loop was a
// third of a 3840 x 2160 difference frame.
static void fill_opaque_black(u32* pixels, u64 count) {
    typedef u32 Quad __attribute__((vector_size(16), aligned(4)));
    const Quad black = {0xFF000000u, 0xFF000000u, 0xFF000000u, 0xFF000000u};
    u64 n = 0;
    for (; n + 4 <= count; n += 4) *(Quad*)(pixels + n) = black;
    for (; n < count; n++) pixels[n] = 0xFF000000u;
}

// Where one view stands in its bands of tile rows while difference mode
// draws it a screen row at a time: the band whose columns are prepared.
struct RowCursor {
    u32 band;
    TileColumn cols[VIEW_TILE_SPAN];
};

// Screen row y of a planned view into out, which holds `width` pixels from
// x0: composited (rows and columns the view does not draw are left as they
// are), or with `samples` its samples with opaque black everywhere else.
static void draw_view_row(const TileCache* cache, const ViewPlan* p, PresentTables* tables, u32 set,
                          RowCursor* cursor, i32 y, i32 y_end, u32* out, i32 x0, u32 width, bool samples) {
    const ViewArea& rect = p->view.rect;
    i64 j = (i64)y - rect.top;
    u32 r = cursor->band == ~0u ? 0 : cursor->band;
    if (p->active) {
        while (r < p->tile_rows && (i64)p->by[r + 1] <= j) r++;
    }
    if (!p->active || r >= p->tile_rows || j < (i64)p->by[r]) {
        if (samples) fill_opaque_black(out, width);
        return;
    }
    const ColumnTables* ct = &tables->columns[set];
    if (r != cursor->band) {
        for (u32 c = 0; c < p->tile_columns; c++) prepare_column(cache, p, ct, r, c, &cursor->cols[c]);
        cursor->band = r;
    }
    i64 j_end = (i64)y_end - rect.top;
    i64 j1 = p->by[r + 1] < j_end ? p->by[r + 1] : j_end;
    i64 shift = (i64)rect.left - x0;  // out's index of the view's first column
    draw_line(p, tables, ct, cursor->cols, j, j1, out + shift, samples);
    if (!samples) return;
    u64 at = 0;
    for (u32 c = 0; c < p->tile_columns; c++) {
        const TileColumn& col = cursor->cols[c];
        if (col.tile == nullptr) continue;
        u64 from = (u64)(shift + col.x0);
        if (from > at) fill_opaque_black(out + at, from - at);
        at = (u64)(shift + col.x1);
    }
    if (at < width) fill_opaque_black(out + at, width - at);
}

// A screen row at a time: each view is drawn into its own row buffer, which
// stays in the first-level cache, and the difference goes straight to the
// target. (Bands of 64 rows, drawn whole for each view before their
// difference, spilled from the second-level cache.)
static void draw_difference(TileCache* cache, RenderCounters* counters, PresentTables* tables,
                            const ViewRecord* a, const ViewRecord* b, ViewTarget target) {
    ViewPlan plans[2];
    plan_view(cache, counters, tables, 0, a, false, true, target, &plans[0]);
    plan_view(cache, counters, tables, 1, b, true, false, target, &plans[1]);
    ViewArea clip = intersect(a->clip, target_bounds(target));
    i32 x0 = clip.left;
    i32 x1 = (i32)((i64)clip.right < (i64)a->rect.left + VIEW_SPAN_MAX ? clip.right : a->rect.left + VIEW_SPAN_MAX);
    i32 y1 = (i32)((i64)clip.bottom < (i64)a->rect.top + VIEW_SPAN_MAX ? clip.bottom : a->rect.top + VIEW_SPAN_MAX);
    if (x1 <= x0) return;
    u32 width = (u32)(x1 - x0);
    const BlendKernels k = blend_kernels;
    RowCursor cursors[2];
    cursors[0].band = cursors[1].band = ~0u;
    // A large view takes each row's samples and streams the difference of
    // their pixels over black.
    bool stream = (u64)width * (u64)(y1 - clip.top) >= tables->stream_pixels;
    for (i32 y = clip.top; y < y1; y++) {
        for (u32 i = 0; i < 2; i++) {
            if (!stream) fill_opaque_black(tables->band[i], width);
            draw_view_row(cache, &plans[i], tables, i, &cursors[i], y, y1, tables->band[i], x0, width, stream);
        }
        u32* out = target.pixels + (u64)(y - target.origin_y) * target.stride + (x0 - target.origin_x);
        if (stream) {
            k.difference_over_black(out, tables->band[0], tables->band[1], width);
        } else {
            k.difference_row(out, tables->band[0], tables->band[1], width);
        }
    }
    stream_fence();
}

static constexpr u32 DIVIDER_COLOUR = 0xE0B040;

static void draw_divider(ViewArea clip, u32 mode, i32 split, ViewTarget target) {
    for (i32 line = split - 1; line <= split; line++) {
        if (mode == 3) {
            if (line < clip.top || line >= clip.bottom) continue;
            u32* row = target.pixels + (u64)(line - target.origin_y) * target.stride;
            for (i32 x = clip.left; x < clip.right; x++) row[x - target.origin_x] = DIVIDER_COLOUR;
        } else {
            if (line < clip.left || line >= clip.right) continue;
            for (i32 y = clip.top; y < clip.bottom; y++) {
                target.pixels[(u64)(y - target.origin_y) * target.stride + (line - target.origin_x)] = DIVIDER_COLOUR;
            }
        }
    }
}

void draw_views(TileCache* cache, RenderCounters* counters, PresentTables* tables, const ViewScene* scene,
                ViewTarget target) {
    frame_begin(counters);
    for (u32 bits = scene->changed; bits != 0; bits &= bits - 1) drop_document(cache, (u32)__builtin_ctz(bits));
    if (scene->browser_shown || scene->document_count == 0 || target.pixels == nullptr) return;
    ViewArea area = scene->area;
    ViewArea clip = intersect(area, target_bounds(target));
    const SceneDocument& a = scene->documents[0];
    u32 mode = scene->compare_mode;
    bool compare = mode >= 1 && mode <= 4 && scene->document_count >= 2 && !a.no_pixels &&
                   !scene->documents[1].no_pixels;
    if (!compare) {
        if (a.no_pixels) return;
        ViewRecord v = {a, area, clip};
        draw_view(cache, counters, tables, &v, target);
        counters->deferred = counters->pending;
        return;
    }
    // B shows the same relative region at the same displayed width as A.
    SceneDocument b = scene->documents[1];
    View va = {a.zoom, a.cx, a.cy, false, a.width, a.height};
    View vb = {b.zoom, b.cx, b.cy, false, b.width, b.height};
    View coupled = coupled_view(&va, &vb);
    b.zoom = coupled.zoom;
    b.cx = coupled.cx;
    b.cy = coupled.cy;
    i32 split = compare_split(area, mode, scene->divider);
    if (mode == 4) {
        ViewRecord ra = {a, area, clip};
        ViewRecord rb = {b, area, clip};
        draw_difference(cache, counters, tables, &ra, &rb, target);
        counters->deferred = counters->pending;
        return;
    }
    if (mode == 1) {
        ViewArea left_part = {area.left, area.top, split, area.bottom};
        ViewArea right_part = {split, area.top, area.right, area.bottom};
        ViewRecord ra = {a, left_part, intersect(left_part, clip)};
        ViewRecord rb = {b, right_part, intersect(right_part, clip)};
        draw_one(cache, counters, tables, &ra, true, target);
        draw_one(cache, counters, tables, &rb, false, target);
    } else {
        ViewArea after = mode == 2 ? ViewArea{split, area.top, area.right, area.bottom}
                                   : ViewArea{area.left, split, area.right, area.bottom};
        ViewRecord ra = {a, area, clip};
        ViewRecord rb = {b, area, intersect(after, clip)};
        draw_one(cache, counters, tables, &ra, true, target);
        draw_one(cache, counters, tables, &rb, false, target);
    }
    draw_divider(clip, mode, split, target);
    counters->deferred = counters->pending;
}
