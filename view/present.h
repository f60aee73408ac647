// Image presentation: draws the active document, or the two documents of a
// comparison, into the image area of a 32-bit BGRA target. Every view samples
// its visible tiles (exact ones, or coarser fallbacks while they are missing)
// at the screen's resolution: nearest from 100 % up, bilinear below, from the
// level the zoom picks; the sampled rows are composited over what the target
// already holds (the checkerboard of the interface).
//
// Key design decision: everything a frame needs is computed per column and
// per row once per view (sampling positions, tile boundaries, source indices
// and weights); the per-pixel work is then row kernels of blend.h over runs
// inside one tile. All tables are carved once at start-up; drawing allocates
// nothing.
#pragma once

#include "base/arena.h"
#include "view/tile_cache.h"

// One document as the application sees it this frame.
struct SceneDocument {
    u32 document;      // id in this document's tile keys
    u32 width;
    u32 height;
    TileSource source;
    u32 zoom;          // 16.16
    i64 cx;            // 16.16 image point at the view's centre
    i64 cy;
    bool no_pixels;    // nothing to draw (still loading, failed, no decoder)
};

// What draw_views draws. documents[0] is the active document (compare A),
// documents[1] compare B when compare_mode is not 0; B's own zoom and centre
// are ignored, they follow A's.
struct ViewScene {
    SceneDocument documents[2];
    u32 document_count;  // 0: no active document
    ViewArea area;       // the image rectangle
    u32 compare_mode;    // 0 unless compare is shown: 1 side by side, 2 overlay |, 3 overlay -, 4 difference
    u32 divider;         // 16.16 fraction of the area's width (modes 1, 2) or height (mode 3)
    bool browser_shown;  // the browser covers the area: no image, no divider
    u32 changed;         // bit n: the pixels of document n changed; its tiles are dropped first
};

// Pixels of the screen point (x, y) at pixels[(y - origin_y) * stride + x - origin_x],
// for x in origin_x .. origin_x + width - 1 and likewise for y.
struct ViewTarget {
    u32* pixels;
    u64 stride;  // in pixels
    i32 width;
    i32 height;
    i32 origin_x;
    i32 origin_y;
};

static constexpr u32 VIEW_TABLE_SLACK = 16;
// Screen rows a large view draws at a time, tile column by tile column.
static constexpr u32 VIEW_ROW_GROUP = 16;

// One view's per-column tables: the source column indices and weights of
// the current band of tile rows, and the plan of its bilinear columns.
struct ColumnTables {
    u8* left;     // per screen column: source column (the left one when bilinear)
    u8* right;
    u8* weight;
    u16* pair_base;    // the plan of bilinear columns (pair_plan), per screen column
    u8* pair_offsets;  // two per screen column
    u8* pair_weights;  // two per screen column
};

// The presentation's working memory, carved from the arena at start-up: the
// visible tile sets, sampling positions and column tables of up to two views,
// a row buffer, the blended tile row of bilinear sampling, one screen row
// of each view of difference mode and the rows of a large view's group.
struct PresentTables {
    ViewTiles* tiles[2];
    i64* xs[2];
    i64* ys[2];
    ColumnTables columns[2];
    u32* row;      // one sampled screen row
    u32* blended;  // one vertically blended tile row
    u32* band[2];  // one screen row of VIEW_SPAN_MAX pixels each
    u32* group;    // VIEW_ROW_GROUP screen rows, VIEW_SPAN_MAX + VIEW_TABLE_SLACK pixels apart
    // Views of at least this many pixels go to the target with streaming
    // stores (present_init sets 4M, 16 MiB of frame; tests lower it).
    u64 stream_pixels;
};

// Carves the tables and picks the pixel kernels for this processor.
bool present_init(PresentTables* tables, Arena* arena);

// One view to draw.
struct ViewRecord {
    SceneDocument doc;  // zoom and centre are this view's own (coupled for B)
    ViewArea rect;      // its centre is where (cx, cy) appears
    ViewArea clip;      // the pixels this view may write, inside rect
};

// The frame: resets the counters, drops the tiles of changed documents,
// draws single or compare views and the compare divider; counters->deferred
// is the number of tiles left for the next paint.
void draw_views(TileCache* cache, RenderCounters* counters, PresentTables* tables,
                const ViewScene* scene, ViewTarget target);
// The whole pipeline for one view, using the first table set.
void draw_view(TileCache* cache, RenderCounters* counters, PresentTables* tables,
               const ViewRecord* view, ViewTarget target);

// The split between A and B: mode 3 top + (f x height) >> 16, otherwise
// left + (f x width) >> 16.
i32 compare_split(ViewArea area, u32 mode, u32 divider);
