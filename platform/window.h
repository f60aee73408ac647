// The contract between the window system and the application core: events,
// request bits, the framebuffer and the draw list's texts, and one operation
// per request. Implemented by platform/win32 (the real window on Windows),
// platform/x11 (the real window on Linux) and platform/headless (events from
// a script, framebuffer in memory).
#pragma once

#include "base/span.h"
#include "base/text.h"

// ---- Events -----------------------------------------------------------------

enum : u32 {
    EVENT_SYNC = 0,          // test-channel sync message
    EVENT_PAINT = 1,
    EVENT_SIZE = 2,          // client size changed: x, y are the new size
    EVENT_MOUSE_MOVE = 3,
    EVENT_BUTTON_DOWN = 4,
    EVENT_DOUBLE_CLICK = 5,
    EVENT_BUTTON_UP = 6,
    EVENT_WHEEL = 7,
    EVENT_KEY = 8,
    EVENT_LEAVE = 9,
    EVENT_DROP = 10,         // key: number of dropped files
    EVENT_TIMER = 11,        // x: tick count in ms
};

enum : u32 { MODIFIER_CTRL = 1, MODIFIER_SHIFT = 2, MODIFIER_ALT = 4 };

// 48 bytes, every field 32-bit.
struct Event {
    u32 kind;
    i32 x, y;
    i32 screen_x, screen_y;
    u32 key;
    u32 mods;
    i32 wheel;
    i32 window_left, window_top, window_right, window_bottom;
};
static_assert(sizeof(Event) == 48, "events are 48 bytes");

// ---- Requests ---------------------------------------------------------------

enum : u32 {
    REQ_REPAINT = 0x1,
    REQ_MINIMISE = 0x2,
    REQ_MAXIMISE = 0x4,   // apply the maximised flag: maximise or restore
    REQ_QUIT = 0x8,
    REQ_LIST = 0x10,      // list the browse folder (application)
    REQ_MOVE = 0x20,      // move/resize to the application's window rectangle
    REQ_CAPTURE = 0x40,
    REQ_RELEASE = 0x80,
    REQ_TITLE = 0x100,
    REQ_LOAD = 0x200,     // load pending files (application)
    REQ_SAVE = 0x400,     // write the pending save (application)
};

// ---- Draw list --------------------------------------------------------------

static constexpr u32 DRAW_RECT_CAPACITY = 1024;
static constexpr u32 DRAW_TEXT_CAPACITY = 128;
static constexpr u32 DRAW_TEXT_POOL = 8192;

enum : u8 { RECT_SOLID = 0, RECT_CHECKER = 1 };
enum : u8 { ALIGN_LEFT = 0, ALIGN_CENTRE = 1, ALIGN_RIGHT = 2 };

struct DrawRect {
    i32 x0, y0, x1, y1;
    u32 colour, colour2;  // 0xRRGGBB
    i32 phase_x, phase_y;
    u8 kind;
};

struct DrawTextItem {
    i32 x0, y0, x1, y1;
    u32 colour;
    u8 align;
    u32 offset, length;  // in the pool
};

struct DrawList {
    DrawRect rects[DRAW_RECT_CAPACITY];
    u32 rect_count;
    DrawTextItem texts[DRAW_TEXT_CAPACITY];
    u32 text_count;
    u8 pool[DRAW_TEXT_POOL];
    u32 pool_used;
};

// ---- Framebuffer and window -------------------------------------------------

// Top-down rows of width pixels, each a u32 0x00RRGGBB, no padding.
struct Framebuffer {
    u32* pixels;
    i32 width, height;
};

// What every backend keeps about the window. The rest (handles, fonts,
// cursors, drops) is the backend's own record, reached through `backend`, so
// the portable core holds this without any OS header.
struct WindowState {
    i32 client_width, client_height;  // as last reported
    u32* dib_pixels;                  // the framebuffer and its size
    i32 dib_width, dib_height;
    u8 test_mode;
    u32 test_sync;
    // The test channel: the state view, the frame section's header (the
    // frame's pixels follow it) and the section's size, and the blits made.
    u8* state_view;
    u8* frame_header;
    u64 frame_section_size;
    u32 blit_count;
    void* backend;
};

enum : u32 {
    CURSOR_ARROW = 0,
    CURSOR_HAND = 1,
    CURSOR_WE = 2,
    CURSOR_NS = 3,
    CURSOR_NWSE = 4,
    CURSOR_NESW = 5,
};

bool create_main_window(WindowState* w, ByteSpan class_name, ByteSpan title, bool test_mode);
// False when the loop must end (window gone, or the script is over).
bool next_event(WindowState* w, Event* event);
Framebuffer framebuffer(WindowState* w);
void present(WindowState* w, const DrawList* list);

// Dropped files: the path of drop item `index` as UTF-8 into `buffer`
// (capacity bytes). False when it cannot be fetched or converted.
bool drop_path(WindowState* w, u32 index, u8* buffer, u64 capacity, u64* length_out);
void finish_drop(WindowState* w);

void invalidate(WindowState* w);
void minimise(WindowState* w);
void set_maximised(WindowState* w, bool maximised);
void destroy(WindowState* w);
void move_window(WindowState* w, i32 left, i32 top, i32 right, i32 bottom);
void set_capture(WindowState* w, bool on);
void set_title(WindowState* w, ByteSpan title);
void set_cursor(WindowState* w, u32 cursor);

// Test mode: publishes the state text after every non-paint event (a named
// section; the headless backend also prints it).
void publish_state(WindowState* w, ByteSpan text);

// A paint that draws nothing (an empty client area) still ends the paint, so
// the system does not ask again at once.
void skip_paint(WindowState* w);

// ---- Test channel -------------------------------------------------------------
// The named sections a harness reads: the state text and the window's pixels
// with the arguments of the last blit.
void open_test_sections(WindowState* w);
void frame_header_dib(WindowState* w, bool in_section);
void frame_header_blit(WindowState* w, i32 x, i32 y, i32 width, i32 height, i32 source_x, i32 source_y, u32 rop);
