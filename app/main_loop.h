// Start-up, the event loop, the request pass and the paint cycle.
#pragma once

#include "app/app_state.h"

// The per-frame renderer counters the paint cycle reads: how many missing
// tiles a view may render per frame, and how many it had to leave for the
// next paint.
struct RenderCounters {
    u32 tile_budget;
    u32 deferred;
};

struct Program {
    Arena arena;
    WindowState window;
    AppState app;
    DrawList draw;
    RenderCounters counters;
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
void draw_rects(const DrawList* list, u32* pixels, u64 stride, i32 width, i32 height);
void test_dump(Program* program);
