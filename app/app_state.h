// AppState: the application's one state record. Documents live in 32 fixed
// slots (255 means none) with per-slot arrays and 32-bit bit sets; the tab
// order is a separate list of slot numbers. Every path, text and table is
// carved once from the arena at start-up; only each document's two reserved
// regions come and go.
#pragma once

#include "base/arena.h"
#include "base/region.h"
#include "base/text.h"
#include "codec/codecs.h"
#include "codec/job.h"
#include "platform/files.h"
#include "platform/window.h"

static constexpr u32 SLOT_COUNT = 32;
static constexpr u8 NO_SLOT = 255;
static constexpr u64 SLOT_PATH_BYTES = 0x8000;      // one slot's share of the path pool
static constexpr u64 PATH_LIMIT = 32767;            // longest path the program keeps
static constexpr u32 HIT_REGION_CAPACITY = 96;
static constexpr u32 SAVE_NAME_CAPACITY = 255;

// Mode bits.
enum : u32 {
    MODE_MAXIMISED = 1,
    MODE_BROWSER = 2,
    MODE_LAYOUT_STALE = 4,
    MODE_ERROR = 8,        // the message is an error
    MODE_NAME_ENTRY = 16,  // the save form's name field is active
};

// Commands shared by keys and clicks. Tab commands are 100 + position and
// 200 + position; typed characters are 1000 + the character.
enum : u32 {
    CMD_NONE = 0,
    CMD_OPEN = 1,
    CMD_CLOSE_TAB = 2,
    CMD_NEXT_TAB = 3,
    CMD_PREVIOUS_TAB = 4,
    CMD_MOVE_TAB_LEFT = 5,
    CMD_MOVE_TAB_RIGHT = 6,
    CMD_QUIT = 7,
    CMD_MINIMISE = 8,
    CMD_MAXIMISE = 9,
    CMD_FIT = 10,
    CMD_ACTUAL_SIZE = 11,
    CMD_ZOOM_IN = 12,
    CMD_ZOOM_OUT = 13,
    CMD_PAN_LEFT = 14,
    CMD_PAN_RIGHT = 15,
    CMD_PAN_UP = 16,
    CMD_PAN_DOWN = 17,
    CMD_NEW_TAB = 18,
    CMD_FOLDER_UP = 20,
    CMD_OPEN_SELECTION = 21,
    CMD_CANCEL = 22,
    CMD_PREVIOUS_ENTRY = 23,
    CMD_NEXT_ENTRY = 24,
    CMD_PAGE_UP = 25,
    CMD_PAGE_DOWN = 26,
    CMD_FIRST_ENTRY = 27,
    CMD_LAST_ENTRY = 28,
    CMD_NEXT_FRAME = 30,
    CMD_PREVIOUS_FRAME = 31,
    CMD_PLAY_PAUSE = 32,
    CMD_COMPARE = 33,
    CMD_COMPARE_MODE = 34,
    CMD_NEXT_IMAGE = 60,  // 60 to 63: the active document's folder, browser hidden
    CMD_PREVIOUS_IMAGE = 61,
    CMD_FIRST_IMAGE = 62,
    CMD_LAST_IMAGE = 63,
    CMD_SAVE_AS = 40,
    CMD_SAVE = 41,
    CMD_ERASE = 42,
    CMD_TOGGLE_SUBSAMPLING = 43,
    CMD_TOGGLE_PROGRESSIVE = 44,
    CMD_QUALITY_DOWN = 45,
    CMD_QUALITY_UP = 46,
    CMD_TURN_CW = 50,
    CMD_TURN_CCW = 51,
    CMD_FLIP = 52,
    CMD_ACTIVATE_TAB = 100,  // + position
    CMD_CLOSE_AT = 200,      // + position
    CMD_TYPE_CHAR = 1000,    // + character
};

// Drag modes.
enum : u32 {
    DRAG_NONE = 0,
    DRAG_PAN = 1,
    DRAG_TAB = 2,
    DRAG_WINDOW = 3,
    DRAG_THUMB = 4,
    DRAG_DIVIDER = 5,
};

struct HitRegion {
    i32 x0, y0, x1, y1;  // x1, y1 exclusive
    u32 command;
};

struct Rect {
    i32 x0, y0, x1, y1;
};

struct AppState {
    // ---- Documents: one entry per slot ----
    u32 zoom[SLOT_COUNT];  // 16.16, 0x10000 = 100 %
    i64 cx[SLOT_COUNT];    // 16.16 image point at the centre of the image area
    i64 cy[SLOT_COUNT];
    u32 width[SLOT_COUNT];
    u32 height[SLOT_COUNT];
    u32 path_length[SLOT_COUNT];
    u32 name_offset[SLOT_COUNT];  // first byte of the file name in the path
    u8 format[SLOT_COUNT];        // ImageFormat
    u8 error[SLOT_COUNT];         // CodecError code of the last failed probe or start
    u32 frame[SLOT_COUNT];
    u32 frame_count[SLOT_COUNT];
    u32 loops_left[SLOT_COUNT];
    u32 next_frame_due[SLOT_COUNT];  // tick with bit 0 set; 0 = not scheduled
    ReservedRegion source[SLOT_COUNT];
    ReservedRegion job_region[SLOT_COUNT];
    u8* path_pool;     // SLOT_COUNT x SLOT_PATH_BYTES
    DecodeJob* jobs;   // SLOT_COUNT, 64-aligned
    ProbeWork* probe_work;  // what a probe fills beyond the ImageInfo, reused by every open

    // Bit n = slot n.
    u32 fit;
    u32 no_pixels;
    u32 has_pixels;
    u32 playing;
    u32 used;
    u32 changed;
    u32 load_pending;
    u32 second_stage_pending;
    u32 profile_ignored;  // the file's colour profile could not be used

    u8 tab_order[SLOT_COUNT];
    u64 tab_count;
    u8 active;

    u32 mode_flags;
    u32 requests;  // WindowRequests bits
    bool autoplay;

    // ---- Window ----
    i32 client_width, client_height;
    i32 window_rect[4];  // left, top, right, bottom for a move request

    // ---- Pointer ----
    i32 pointer_x, pointer_y;  // -1, -1 after the pointer left
    u32 hovered;
    u32 cursor;
    u32 drag_mode;
    i32 drag_anchor_x, drag_anchor_y;
    u32 drag_tab;
    u32 drag_edge;
    i32 drag_rect[4];
    i32 thumb_grab;
    i32 wheel_remainder;

    // ---- Layout ----
    HitRegion regions[HIT_REGION_CAPACITY];
    u32 region_count;
    Rect image_rect;
    i32 status_top;
    i32 browser_header_top;
    Rect list_rect;
    i32 scroll_x;
    u32 visible_rows;
    i32 name_top;
    i32 quality_top;

    TextBuffer message;
    TextBuffer title;

    // ---- Open browser ----
    u8* folder;          // 32 KiB; empty = the drive list; else ends with a separator
    u64 folder_length;
    u8* start_folder;    // 32 KiB
    u64 start_folder_length;
    u8* path_work;       // 32 KiB
    FolderListing listing;       // entries (first half of the table) and name pool
    FolderEntry* sort_scratch;   // second half of the entry table
    u32 entry_count;
    u32 selected;
    u32 first_row;
    bool thumb_dragging;

    // ---- Compare ----
    u32 compare_mode;  // 0 off, 1 side by side, 2 overlay |, 3 overlay -, 4 difference
    u8 compare_a, compare_b;
    u32 divider;       // 16.16 fraction of the image rectangle

    // ---- Save form ----
    u8 save_name[SAVE_NAME_CAPACITY];
    u32 save_name_length;
    u32 quality;
    u32 subsampling;
    u32 progressive;
    u32 confirm_overwrite;
    u8* save_path;  // 32 KiB
    u64 save_path_length;
    ReservedRegion encode;  // encoder workspace, output, full-resolution pixels
    u64 encoded_offset;     // the encoded file in the encode region, between
    u64 encoded_length;     // a confirmed save and the request pass that writes it
};

inline bool bit(u32 set, u32 slot) {
    return ((set >> slot) & 1) != 0;
}
inline u32 slot_bit(u32 slot) {
    return (u32)1 << slot;
}

inline ByteSpan slot_path(const AppState* app, u32 slot) {
    return ByteSpan{app->path_pool + slot * SLOT_PATH_BYTES, app->path_length[slot]};
}
inline ByteSpan slot_name(const AppState* app, u32 slot) {
    return ByteSpan{app->path_pool + slot * SLOT_PATH_BYTES + app->name_offset[slot],
                    app->path_length[slot] - app->name_offset[slot]};
}
