// The X11 backend's own record of the window, behind WindowState's backend
// pointer, and what its parts (window, drops, test channel) share.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xft/Xft.h>
#include <X11/extensions/XShm.h>

#include "base/region.h"
#include "platform/window.h"
#include "platform/x11/input.h"

enum : u32 {
    ATOM_WM_PROTOCOLS,
    ATOM_WM_DELETE_WINDOW,
    ATOM_NET_WM_PING,
    ATOM_NET_WM_NAME,
    ATOM_NET_WM_ICON_NAME,
    ATOM_NET_WM_PID,
    ATOM_NET_WM_WINDOW_TYPE,
    ATOM_NET_WM_WINDOW_TYPE_NORMAL,
    ATOM_NET_WORKAREA,
    ATOM_NET_CURRENT_DESKTOP,
    ATOM_MOTIF_WM_HINTS,
    ATOM_UTF8_STRING,
    ATOM_XDND_AWARE,
    ATOM_XDND_ENTER,
    ATOM_XDND_POSITION,
    ATOM_XDND_STATUS,
    ATOM_XDND_LEAVE,
    ATOM_XDND_DROP,
    ATOM_XDND_FINISHED,
    ATOM_XDND_SELECTION,
    ATOM_XDND_TYPE_LIST,
    ATOM_XDND_ACTION_COPY,
    ATOM_URI_LIST,
    ATOM_DROP_PROPERTY,
    ATOM_TEST_SYNC,
    ATOM_TEST_TIMER,
    ATOM_TEST_WHEEL,
    ATOM_NET_ACTIVE_WINDOW,
    ATOM_HANDOVER_WINDOW,  // the selection the hand-over window owns
    ATOM_HANDOVER_OPEN,    // its property that a second start appends paths to
    ATOM_COUNT,
};

// Paths of one drop, decoded into a fixed buffer.
static constexpr u64 DROP_BYTES = 1 << 20;
static constexpr u32 DROP_PATHS = 1024;

struct X11Window {
    Display* display;
    int screen;
    Window root;
    Window window;
    Visual* visual;
    int depth;
    Colormap colormap;
    GC gc;
    Atom atoms[ATOM_COUNT];
    Cursor cursors[6];
    u32 cursor_shown;
    XftFont* font;
    XftDraw* draw;
    Pixmap back;  // frame and texts are put together here, then copied
    i32 back_width, back_height;

    // The framebuffer: a shared-memory image when MIT-SHM works, else
    // memory of our own sent with XPutImage.
    bool shm;
    XShmSegmentInfo shm_info;
    u64 shm_bytes;
    ReservedRegion plain_pixels;
    XImage image;

    // The window as the server last reported it; the origin (in root
    // coordinates) is asked for again after the window moved.
    i32 width, height;
    i32 left, top;
    bool origin_stale;
    i32 saved_rect[4];
    bool invalid;
    bool closed;
    // Test mode: a harness event was taken and its sync has not come yet.
    bool awaiting_sync;
    u64 next_tick;  // ms, the 15 ms timer outside test mode

    // Pointer: leave tracking, the double-click recogniser, and test mode's
    // drag anchor.
    bool leave_armed;
    ClickState clicks;
    bool test_anchor_active;
    i32 test_anchor_x, test_anchor_y;

    // Drops (XDND): the source being talked to and the received paths.
    Window dnd_source;
    u32 dnd_version;
    bool dnd_offers_uris;
    bool dnd_awaiting_data;
    u32 dnd_asked_ms;  // tick count when the drop's data was asked for
    Time dnd_time;
    u8* drop_bytes;
    u64 drop_offsets[DROP_PATHS];
    u64 drop_lengths[DROP_PATHS];
    u32 drop_count;
};

X11Window* x11_of(const WindowState* w);

// With QB_STARTUP_TRACE set, writes "startup STEP MICROSECONDS" (the monotonic
// clock) to standard error for the start-up benchmark; otherwise nothing.
void startup_mark(const char* step);

// The last protocol error seen (0 for none); set by the error handler, which
// never ends the program.
int x11_take_error();
// The paths of the uri-list in the first `size` drop bytes, files on this
// host only, into the drop offsets and lengths; their count.
u32 x11_drop_paths(X11Window* x, u64 size);

// XDND: the client messages and the selection reply of a drop. True when a
// drop's paths are ready (count in *count_out).
bool xdnd_client_message(X11Window* x, const XClientMessageEvent* m);
bool xdnd_selection(X11Window* x, const XSelectionEvent* s, u32* count_out);
void xdnd_init(X11Window* x);

// One window for every file opened (outside test mode): the window takes the
// hand-over selection; a property change carrying paths makes them a drop
// (count in *count_out) and brings the window to the front. Requests to
// convert the selection are refused: it carries no data itself.
void handover_init(X11Window* x, bool test_mode);
bool handover_property(X11Window* x, const XPropertyEvent* p, u32* count_out);
void handover_refuse(X11Window* x, const XSelectionRequestEvent* r);
// The display connection a hand-over opened and found no taker on, for the
// window to use (null when there is none).
Display* kept_display();

// The names of the hand-over atoms, shared with the second start.
#define QB_HANDOVER_SELECTION "_QUORBEL_WINDOW"
#define QB_HANDOVER_PROPERTY "_QUORBEL_OPEN"
