// Start-up, the event loop, the request pass and the paint cycle.
#pragma once

#include "app/app_state.h"
#include "view/present.h"

struct Program {
    Arena arena;
    WindowState window;
    AppState app;
    DrawList draw;
    TileCache cache;          // 2048 tiles
    RenderCounters counters;  // the tile budget, the deferred count and the frame's statistics
    PresentTables tables;     // visible tile sets, sampling tables, band buffers
    u8* drop_buffer;     // 32 KiB
    u8* folder_buffer;   // 32 KiB
    u8* test_target;     // 1040 x 700 x 4
    bool test_mode;
};

// The whole program over a UTF-8 command line; returns the exit code
// (0 when the event loop ends, 2 when start-up fails).
int app_main(Program* program, ByteSpan command_line);

void apply_requests(Program* program);
void paint(Program* program);
void build_frame_ui(AppState* app, DrawList* list);
void draw_list_clear(DrawList* list);
void add_rect(DrawList* list, i32 x0, i32 y0, i32 x1, i32 y1, u32 colour);
void add_checker(DrawList* list, i32 x0, i32 y0, i32 x1, i32 y1, u32 a, u32 b, i32 phase_x, i32 phase_y);
void add_text(DrawList* list, i32 x0, i32 y0, i32 x1, i32 y1, u32 colour, u8 align, ByteSpan text);
void format_size(TextBuffer* out, u64 bytes);
// The browser's scroll thumb: its top within the list and its length; false
// when the list needs none.
bool browser_thumb(const AppState* app, i32* top_out, i32* length_out);
void draw_rects(const DrawList* list, u32* pixels, u64 stride, i32 width, i32 height);
void test_dump(Program* program);
// CRC-32 (as zlib computes it) over the blue, green and red bytes of each
// pixel of a region, rows top to bottom.
u32 region_hash(const u32* pixels, u64 stride, i32 x, i32 y, i32 width, i32 height);
