// The one window on Linux, on Xlib: no system decorations (the interface
// draws its own caption band and moves, resizes, maximises and minimises the
// window through the same requests as on Windows), X events turned into
// Event records one at a time, the framebuffer as a shared-memory image, the
// frame's texts drawn with Xft, and a 15 ms tick from the wait's timeout.
// Like the Windows window, a paint comes only when no other event waits and
// the window was invalidated, and a tick only when neither does.
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>

#include "platform/frame_header.h"
#include "platform/process.h"
#include "platform/utf.h"
#include "platform/x11/input.h"
#include "platform/x11/x11_window.h"

static X11Window g_x11;
static u8 g_drop_bytes[DROP_BYTES];

X11Window* x11_of(const WindowState* w) {
    return (X11Window*)w->backend;
}

// ---- Start-up trace -----------------------------------------------------------

// For the start-up benchmark: with QB_STARTUP_TRACE set, each step on the way
// to the first frames writes "startup STEP MICROSECONDS" (the monotonic clock)
// to standard error, up to the sixth frame put on screen; without it nothing
// is written and each call is one test of a static.
static i32 g_trace = -1;  // -1 not asked yet, 0 off, otherwise frames left

void startup_mark(const char* step) {
    if (g_trace < 0) g_trace = getenv("QB_STARTUP_TRACE") != nullptr ? 6 : 0;
    if (g_trace == 0) return;
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    fprintf(stderr, "startup %s %lld\n", step, (long long)t.tv_sec * 1000000 + t.tv_nsec / 1000);
}

// ---- Errors -----------------------------------------------------------------

static int g_last_error = 0;

// Protocol errors (a drop source that went away, a refused shared-memory
// attach) are noted and never end the program.
static int on_error(Display*, XErrorEvent* e) {
    g_last_error = e->error_code;
    return 0;
}

int x11_take_error() {
    int e = g_last_error;
    g_last_error = 0;
    return e;
}

static void say(const char* text) {
    u64 n = 0;
    while (text[n] != 0) n++;
    ssize_t ignored = write(2, text, n);
    (void)ignored;
}

// Without its connection the program cannot go on: it says so and ends with
// the start-up failure code.
static int on_io_error(Display*) {
    say("quorbel: lost the connection to the X server\n");
    _exit(2);
}

// ---- Text -------------------------------------------------------------------

// UTF-8 as code points, the way the Windows window converts its texts: at
// most 1000 bytes (longer texts become empty), malformed bytes U+FFFD.
static u32 code_points(ByteSpan text, u32* out, u32 capacity) {
    static u16 units[2048];
    if (text.size > 1000) return 0;
    u64 count = 0;
    if (!utf16_from_utf8(text, units, 2047, &count)) return 0;
    u32 n = 0;
    for (u64 i = 0; i < count && n < capacity; i++) {
        u32 c = units[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < count) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            i++;
        }
        out[n++] = c;
    }
    return n;
}

// ---- Creation ---------------------------------------------------------------

static const char* k_atom_names[ATOM_COUNT] = {
    "WM_PROTOCOLS",       "WM_DELETE_WINDOW",  "_NET_WM_PING",     "_NET_WM_NAME",
    "_NET_WM_ICON_NAME",  "_NET_WM_PID",       "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_NORMAL",
    "_NET_WORKAREA",      "_NET_CURRENT_DESKTOP", "_MOTIF_WM_HINTS", "UTF8_STRING",
    "XdndAware",          "XdndEnter",         "XdndPosition",     "XdndStatus",
    "XdndLeave",          "XdndDrop",          "XdndFinished",     "XdndSelection",
    "XdndTypeList",       "XdndActionCopy",    "text/uri-list",    "_QUORBEL_DROP",
    "_QUORBEL_SYNC",      "_QUORBEL_TIMER",    "_QUORBEL_WHEEL",
    "_NET_ACTIVE_WINDOW", QB_HANDOVER_SELECTION, QB_HANDOVER_PROPERTY,
};

// A 24-bit true-colour visual whose pixels are 0x00RRGGBB, as the
// framebuffer holds them: the default one when it is, else one to match.
static bool pick_visual(X11Window* x) {
    Visual* v = DefaultVisual(x->display, x->screen);
    int depth = DefaultDepth(x->display, x->screen);
    bool fits = v->c_class == TrueColor && (depth == 24 || depth == 32) && v->red_mask == 0xFF0000 &&
                v->green_mask == 0xFF00 && v->blue_mask == 0xFF;
    if (fits) {
        x->visual = v;
        x->depth = depth;
        x->colormap = DefaultColormap(x->display, x->screen);
        return true;
    }
    XVisualInfo info;
    if (!XMatchVisualInfo(x->display, x->screen, 24, TrueColor, &info)) return false;
    if (info.red_mask != 0xFF0000 || info.green_mask != 0xFF00 || info.blue_mask != 0xFF) return false;
    x->visual = info.visual;
    x->depth = 24;
    x->colormap = XCreateColormap(x->display, x->root, info.visual, AllocNone);
    return true;
}

static void set_motif_decorations_off(X11Window* x) {
    // flags: decorations given; functions 0, decorations 0, input mode 0.
    long hints[5] = {2, 0, 0, 0, 0};
    XChangeProperty(x->display, x->window, x->atoms[ATOM_MOTIF_WM_HINTS], x->atoms[ATOM_MOTIF_WM_HINTS], 32,
                    PropModeReplace, (unsigned char*)hints, 5);
}

static void set_identity(X11Window* x, ByteSpan class_name) {
    static char class_text[256];
    u64 n = class_name.size < sizeof class_text - 1 ? class_name.size : sizeof class_text - 1;
    for (u64 i = 0; i < n; i++) class_text[i] = (char)class_name.data[i];
    class_text[n] = 0;
    XClassHint class_hint;
    char instance[] = "quorbel";
    class_hint.res_name = instance;
    class_hint.res_class = class_text;
    XSetClassHint(x->display, x->window, &class_hint);

    XSizeHints size_hints = {};
    size_hints.flags = USPosition | USSize | PPosition | PSize;
    size_hints.x = 120;
    size_hints.y = 80;
    size_hints.width = 1040;
    size_hints.height = 700;
    XSetWMNormalHints(x->display, x->window, &size_hints);

    XWMHints wm_hints = {};
    wm_hints.flags = InputHint | StateHint;
    wm_hints.input = True;
    wm_hints.initial_state = NormalState;
    XSetWMHints(x->display, x->window, &wm_hints);

    Atom protocols[2] = {x->atoms[ATOM_WM_DELETE_WINDOW], x->atoms[ATOM_NET_WM_PING]};
    XSetWMProtocols(x->display, x->window, protocols, 2);
    long pid = (long)process_id();
    XChangeProperty(x->display, x->window, x->atoms[ATOM_NET_WM_PID], XA_CARDINAL, 32, PropModeReplace,
                    (unsigned char*)&pid, 1);
    char host[256];
    if (gethostname(host, sizeof host - 1) == 0) {
        host[sizeof host - 1] = 0;
        u64 length = 0;
        while (host[length] != 0) length++;
        XChangeProperty(x->display, x->window, XA_WM_CLIENT_MACHINE, XA_STRING, 8, PropModeReplace,
                        (unsigned char*)host, (int)length);
    }
    Atom type = x->atoms[ATOM_NET_WM_WINDOW_TYPE_NORMAL];
    XChangeProperty(x->display, x->window, x->atoms[ATOM_NET_WM_WINDOW_TYPE], XA_ATOM, 32, PropModeReplace,
                    (unsigned char*)&type, 1);
}

bool create_main_window(WindowState* w, ByteSpan class_name, ByteSpan title, bool test_mode) {
    startup_mark("window");
    X11Window* x = &g_x11;
    *x = X11Window{};
    w->backend = x;
    w->test_mode = test_mode ? 1 : 0;
    x->drop_bytes = g_drop_bytes;
    XSetErrorHandler(on_error);
    XSetIOErrorHandler(on_io_error);
    x->display = kept_display();
    if (x->display == nullptr) x->display = XOpenDisplay(nullptr);
    if (x->display == nullptr) {
        say("quorbel: cannot open the X display (is DISPLAY set?)\n");
        return false;
    }
    x->screen = DefaultScreen(x->display);
    x->root = RootWindow(x->display, x->screen);
    XInternAtoms(x->display, (char**)k_atom_names, ATOM_COUNT, False, x->atoms);
    if (!pick_visual(x)) {
        say("quorbel: the X screen has no 24-bit true-colour visual\n");
        return false;
    }
    x->shm = XShmQueryExtension(x->display) == True;

    XSetWindowAttributes a = {};
    a.background_pixmap = None;  // every frame covers the whole window
    a.border_pixel = 0;
    a.colormap = x->colormap;
    a.bit_gravity = NorthWestGravity;
    a.event_mask = ExposureMask | KeyPressMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                   EnterWindowMask | LeaveWindowMask | StructureNotifyMask | FocusChangeMask;
    // Hand-overs arrive as property changes; test mode takes none.
    if (!test_mode) a.event_mask |= PropertyChangeMask;
    x->window = XCreateWindow(x->display, x->root, 120, 80, 1040, 700, 0, x->depth, InputOutput, x->visual,
                              CWBackPixmap | CWBorderPixel | CWColormap | CWBitGravity | CWEventMask, &a);
    if (x->window == 0) return false;
    x->width = 1040;
    x->height = 700;
    x->left = 120;
    x->top = 80;
    x->origin_stale = true;
    set_identity(x, class_name);
    set_motif_decorations_off(x);
    set_title(w, title);

    static const unsigned int cursor_shapes[6] = {XC_left_ptr, XC_hand2, XC_sb_h_double_arrow,
                                                  XC_sb_v_double_arrow, XC_bottom_right_corner,
                                                  XC_bottom_left_corner};
    for (u32 i = 0; i < 6; i++) x->cursors[i] = XCreateFontCursor(x->display, cursor_shapes[i]);
    XDefineCursor(x->display, x->window, x->cursors[0]);

    // The interface font: sans-serif at 15 pixels, as on Windows. Without a
    // font the texts are simply not drawn.
    x->font = XftFontOpen(x->display, x->screen, XFT_FAMILY, XftTypeString, "sans-serif", XFT_PIXEL_SIZE,
                          XftTypeDouble, 15.0, nullptr);
    startup_mark("font");
    x->gc = XCreateGC(x->display, x->window, 0, nullptr);
    XSetGraphicsExposures(x->display, x->gc, False);
    xdnd_init(x);
    handover_init(x, test_mode);

    if (!test_mode) {
        x->next_tick = (u64)tick_count() + 15;
    } else {
        open_test_sections(w);
    }
    XMapWindow(x->display, x->window);
    XFlush(x->display);
    startup_mark("mapped");
    return true;
}

// Test mode: word 12 of the frame section's header is 1 from the moment a
// paint is due until the program waits for input again, so that a harness
// can let the paint cycle that follows an event end before it sends the next
// one (as the Windows harness waits for the program to go idle).
static void note_paint_due(WindowState* w, bool due) {
    if (w->frame_header != nullptr) ((volatile u32*)w->frame_header)[12] = due ? 1 : 0;
}

static void make_invalid(WindowState* w) {
    x11_of(w)->invalid = true;
    note_paint_due(w, true);
}

// ---- Geometry ---------------------------------------------------------------

static void refresh_origin(X11Window* x) {
    if (!x->origin_stale) return;
    Window child;
    int rx = 0;
    int ry = 0;
    if (XTranslateCoordinates(x->display, x->window, x->root, 0, 0, &rx, &ry, &child)) {
        x->left = rx;
        x->top = ry;
        x->origin_stale = false;
    }
}

static void take_configure(X11Window* x, const XConfigureEvent* c) {
    if (c->window != x->window) return;
    x->width = c->width;
    x->height = c->height;
    // A window manager's own notice carries root coordinates; the server's
    // is relative to the parent, which a window manager may have changed.
    if (c->send_event) {
        x->left = c->x;
        x->top = c->y;
        x->origin_stale = false;
    } else {
        x->origin_stale = true;
    }
}

// Moves and resizes take effect before the next event is read, as on
// Windows: the server's answers to the request are taken at once.
static void settle_configure(X11Window* x) {
    XSync(x->display, False);
    XEvent ev;
    while (XCheckTypedWindowEvent(x->display, x->window, ConfigureNotify, &ev)) take_configure(x, &ev.xconfigure);
    x->origin_stale = true;
}

static void fill_window_fields(X11Window* x, Event* e) {
    refresh_origin(x);
    e->window_left = x->left;
    e->window_top = x->top;
    e->window_right = x->left + x->width;
    e->window_bottom = x->top + x->height;
}

static bool poll_size(WindowState* w, Event* e) {
    X11Window* x = x11_of(w);
    if (x->width == w->client_width && x->height == w->client_height) return false;
    w->client_width = x->width;
    w->client_height = x->height;
    *e = Event{};
    e->kind = EVENT_SIZE;
    e->x = x->width;
    e->y = x->height;
    fill_window_fields(x, e);
    return true;
}

// ---- Events -----------------------------------------------------------------

static u32 mods_from_state(unsigned int state) {
    u32 mods = 0;
    if (state & ControlMask) mods |= MODIFIER_CTRL;
    if (state & ShiftMask) mods |= MODIFIER_SHIFT;
    if (state & Mod1Mask) mods |= MODIFIER_ALT;
    return mods;
}

// Test mode takes only the harness's pointer events, which come through
// XSendEvent; real pointer input is ignored.
static bool pointer_ignored(const WindowState* w, const XEvent* ev) {
    return w->test_mode && !ev->xany.send_event;
}

// Test mode: positions are client coordinates from the harness; a drag
// keeps them relative to where the window was when the button went down,
// as the Windows program does.
static void anchor_test_pointer(WindowState* w, Event* e, int type, bool press) {
    X11Window* x = x11_of(w);
    refresh_origin(x);
    if (press) {
        x->test_anchor_x = x->left;
        x->test_anchor_y = x->top;
        x->test_anchor_active = true;
    }
    i32 base_x = x->test_anchor_active ? x->test_anchor_x : x->left;
    i32 base_y = x->test_anchor_active ? x->test_anchor_y : x->top;
    e->screen_x = base_x + e->x;
    e->screen_y = base_y + e->y;
    e->x = e->screen_x - x->left;
    e->y = e->screen_y - x->top;
    if (type == ButtonRelease) x->test_anchor_active = false;
}

static bool translate_button(WindowState* w, const XButtonEvent* b, int type, Event* e) {
    X11Window* x = x11_of(w);
    e->x = b->x;
    e->y = b->y;
    e->screen_x = b->x_root;
    e->screen_y = b->y_root;
    e->mods = mods_from_state(b->state);
    if (b->button == Button4 || b->button == Button5) {
        // One wheel notch a press, 120 as on Windows; the release is nothing.
        if (type != ButtonPress) return false;
        e->kind = EVENT_WHEEL;
        e->wheel = b->button == Button4 ? 120 : -120;
        return true;
    }
    if (b->button != Button1) return false;
    if (type == ButtonPress) {
        // The harness marks its double-clicks: the second press of a pair
        // reports the button as already down.
        bool pair = w->test_mode ? (b->state & Button1Mask) != 0
                                 : pair_click(&x->clicks, (u32)b->time, b->x_root, b->y_root);
        e->kind = pair ? EVENT_DOUBLE_CLICK : EVENT_BUTTON_DOWN;
    } else {
        e->kind = EVENT_BUTTON_UP;
    }
    if (w->test_mode) anchor_test_pointer(w, e, type, type == ButtonPress);
    return true;
}

static bool motion_follows(X11Window* x) {
    if (XEventsQueued(x->display, QueuedAlready) == 0) return false;
    XEvent next;
    XPeekEvent(x->display, &next);
    return next.type == MotionNotify && next.xmotion.window == x->window;
}

static u32 key_of(XKeyEvent* k) {
    u32 keysym = (u32)XLookupKeysym(k, 0);
    if (k->state & Mod2Mask) {
        // Num Lock: the keypad gives digits.
        u32 shifted = (u32)XLookupKeysym(k, 1);
        if (keypad_digit_keysym(shifted)) keysym = shifted;
    }
    return key_code_from_keysym(keysym);
}

static void answer_ping(X11Window* x, const XClientMessageEvent* m) {
    XEvent reply = {};
    reply.xclient = *m;
    reply.xclient.window = x->root;
    XSendEvent(x->display, x->root, False, SubstructureNotifyMask | SubstructureRedirectMask, &reply);
}

static bool translate(WindowState* w, XEvent* ev, Event* e) {
    X11Window* x = x11_of(w);
    *e = Event{};
    switch (ev->type) {
    case Expose: make_invalid(w); return false;
    case ConfigureNotify: take_configure(x, &ev->xconfigure); return false;
    case ReparentNotify: x->origin_stale = true; return false;
    case DestroyNotify:
        if (ev->xdestroywindow.window == x->window) x->closed = true;
        return false;
    case ClientMessage: {
        const XClientMessageEvent* m = &ev->xclient;
        if (m->window != x->window) return false;
        if (m->message_type == x->atoms[ATOM_WM_PROTOCOLS] && m->format == 32) {
            Atom protocol = (Atom)m->data.l[0];
            // A close from the window manager ends the window, as the
            // default window procedure does on Windows.
            if (protocol == x->atoms[ATOM_WM_DELETE_WINDOW]) destroy(w);
            if (protocol == x->atoms[ATOM_NET_WM_PING]) answer_ping(x, m);
            return false;
        }
        if (w->test_mode && m->message_type == x->atoms[ATOM_TEST_SYNC] && m->format == 32) {
            w->test_sync = (u32)(unsigned long)m->data.l[0];
            e->kind = EVENT_SYNC;
            return true;
        }
        if (w->test_mode && m->message_type == x->atoms[ATOM_TEST_WHEEL] && m->format == 32) {
            // A wheel turn that is not whole notches, which wheel buttons
            // cannot carry: client point, delta and modifier state.
            e->kind = EVENT_WHEEL;
            e->x = (i32)m->data.l[0];
            e->y = (i32)m->data.l[1];
            e->wheel = (i32)m->data.l[2];
            e->mods = mods_from_state((unsigned int)m->data.l[3]);
            fill_window_fields(x, e);
            e->screen_x = x->left + e->x;
            e->screen_y = x->top + e->y;
            return true;
        }
        if (w->test_mode && m->message_type == x->atoms[ATOM_TEST_TIMER] && m->format == 32) {
            // The harness's tick carries its time in ms, as the headless
            // run's script does, so animation steps do not hang on how fast
            // the machine is.
            e->kind = EVENT_TIMER;
            e->x = (i32)(u32)(unsigned long)m->data.l[0];
            fill_window_fields(x, e);
            return true;
        }
        xdnd_client_message(x, m);
        return false;
    }
    case SelectionNotify: {
        u32 count = 0;
        if (!xdnd_selection(x, &ev->xselection, &count)) return false;
        e->kind = EVENT_DROP;
        e->key = count;
        fill_window_fields(x, e);
        return true;
    }
    case PropertyNotify: {
        u32 count = 0;
        if (w->test_mode || !handover_property(x, &ev->xproperty, &count)) return false;
        e->kind = EVENT_DROP;
        e->key = count;
        fill_window_fields(x, e);
        return true;
    }
    case SelectionRequest: handover_refuse(x, &ev->xselectionrequest); return false;
    case MotionNotify: {
        const XMotionEvent* m = &ev->xmotion;
        if (m->window != x->window || pointer_ignored(w, ev)) return false;
        // Motion is coalesced as the system does on Windows: only the last
        // of a run of queued moves is reported.
        if (!w->test_mode && motion_follows(x)) return false;
        e->kind = EVENT_MOUSE_MOVE;
        e->x = m->x;
        e->y = m->y;
        e->screen_x = m->x_root;
        e->screen_y = m->y_root;
        e->mods = mods_from_state(m->state);
        if (w->test_mode) {
            anchor_test_pointer(w, e, MotionNotify, false);
        } else {
            x->leave_armed = true;
        }
        fill_window_fields(x, e);
        return true;
    }
    case ButtonPress:
    case ButtonRelease:
        if (ev->xbutton.window != x->window || pointer_ignored(w, ev)) return false;
        if (!translate_button(w, &ev->xbutton, ev->type, e)) return false;
        fill_window_fields(x, e);
        return true;
    case LeaveNotify: {
        const XCrossingEvent* c = &ev->xcrossing;
        if (c->window != x->window || pointer_ignored(w, ev)) return false;
        // Only a pointer that was seen inside leaves, and grabs that start
        // or end are not the pointer leaving.
        if (!w->test_mode && (!x->leave_armed || c->mode != NotifyNormal)) return false;
        x->leave_armed = false;
        e->kind = EVENT_LEAVE;
        e->mods = mods_from_state(c->state);
        fill_window_fields(x, e);
        return true;
    }
    case KeyPress: {
        XKeyEvent* k = &ev->xkey;
        if (k->window != x->window) return false;
        u32 code = key_of(k);
        if (code == 0) return false;
        e->kind = EVENT_KEY;
        e->key = code;
        e->mods = mods_from_state(k->state);
        // The modifier keys themselves count as held, as GetKeyState tells
        // on Windows while they go down.
        if (code == 0x11) e->mods |= MODIFIER_CTRL;
        if (code == 0x10) e->mods |= MODIFIER_SHIFT;
        if (code == 0x12) e->mods |= MODIFIER_ALT;
        e->screen_x = k->x_root;
        e->screen_y = k->y_root;
        e->x = k->x;
        e->y = k->y;
        fill_window_fields(x, e);
        return true;
    }
    default: return false;
    }
}

bool next_event(WindowState* w, Event* e) {
    X11Window* x = x11_of(w);
    if (x == nullptr || x->closed) return false;
    if (poll_size(w, e)) {
        if (g_trace != 0) startup_mark("event");
        return true;
    }
    for (;;) {
        while (XPending(x->display) > 0) {
            XEvent ev;
            XNextEvent(x->display, &ev);
            bool got = translate(w, &ev, e);
            if (x->closed) return false;
            if (got) {
                if (g_trace != 0) startup_mark("event");
                // The harness follows each of its events with a sync, and the
                // state it reads must be the one before the paint, as on
                // Windows, where a paint waits for an empty queue. The two
                // can reach us in separate reads on a busy machine, so no
                // paint runs between them.
                if (e->kind == EVENT_SYNC) {
                    x->awaiting_sync = false;
                } else if (w->test_mode && ev.xany.send_event) {
                    x->awaiting_sync = true;
                }
                return true;
            }
            if (poll_size(w, e)) {
                if (g_trace != 0) startup_mark("event");
                return true;
            }
        }
        if (x->invalid && !x->awaiting_sync) {
            x->invalid = false;
            *e = Event{};
            e->kind = EVENT_PAINT;
            return true;
        }
        int timeout = -1;
        if (!w->test_mode) {
            u64 now = tick_count();
            // The clock wraps at 2^32 ms; a tick far ahead is a wrapped one.
            if (now >= x->next_tick || x->next_tick - now > 1000) {
                x->next_tick = now + 15;
                if (g_trace != 0) startup_mark("tick");
                *e = Event{};
                e->kind = EVENT_TIMER;
                e->x = (i32)(u32)now;
                fill_window_fields(x, e);
                return true;
            }
            timeout = (int)(x->next_tick - now);
        }
        note_paint_due(w, false);
        struct pollfd p = {ConnectionNumber(x->display), POLLIN, 0};
        poll(&p, 1, timeout);
    }
}

// ---- Framebuffer and painting -----------------------------------------------

static void drop_shm(X11Window* x) {
    if (x->shm_bytes == 0) return;
    XShmDetach(x->display, &x->shm_info);
    XSync(x->display, False);
    shmdt(x->shm_info.shmaddr);
    x->shm_info = XShmSegmentInfo{};
    x->shm_bytes = 0;
}

// A shared segment of at least `bytes`; sized for the whole screen the first
// time, so that maximising does not make a new one. False when the server
// cannot attach it (a remote display), which ends the use of MIT-SHM.
static bool shm_room(X11Window* x, u64 bytes) {
    if (x->shm_bytes >= bytes) return true;
    u64 screen = (u64)DisplayWidth(x->display, x->screen) * (u64)DisplayHeight(x->display, x->screen) * 4;
    u64 size = bytes > screen ? bytes : screen;
    drop_shm(x);
    int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0) return false;
    void* address = shmat(id, nullptr, 0);
    if (address == (void*)-1) {
        shmctl(id, IPC_RMID, nullptr);
        return false;
    }
    x->shm_info.shmid = id;
    x->shm_info.shmaddr = (char*)address;
    x->shm_info.readOnly = False;
    x11_take_error();
    XShmAttach(x->display, &x->shm_info);
    XSync(x->display, False);
    // Marked for removal now: the segment goes when both sides detach.
    shmctl(id, IPC_RMID, nullptr);
    if (x11_take_error() != 0) {
        shmdt(address);
        x->shm_info = XShmSegmentInfo{};
        return false;
    }
    x->shm_bytes = size;
    return true;
}

static u32* pixel_memory(X11Window* x, u64 bytes) {
    if (x->shm) {
        if (shm_room(x, bytes)) return (u32*)x->shm_info.shmaddr;
        x->shm = false;
    }
    if (x->plain_pixels.base == nullptr && !reserve(&x->plain_pixels, (u64)16384 * 16384 * 4)) return nullptr;
    if (!commit_to(&x->plain_pixels, bytes)) return nullptr;
    return (u32*)x->plain_pixels.base;
}

Framebuffer framebuffer(WindowState* w) {
    if (g_trace != 0) startup_mark("paint");
    X11Window* x = x11_of(w);
    Framebuffer fb = {nullptr, 0, 0};
    i32 width = w->client_width;
    i32 height = w->client_height;
    if (width <= 0 || height <= 0 || width > 16384 || height > 16384) return fb;
    if (w->dib_pixels != nullptr && w->dib_width == width && w->dib_height == height) {
        return Framebuffer{w->dib_pixels, width, height};
    }
    u32* pixels = pixel_memory(x, (u64)width * (u64)height * 4);
    if (pixels == nullptr) return fb;
    XImage* im = &x->image;
    *im = XImage{};
    im->width = width;
    im->height = height;
    im->format = ZPixmap;
    im->data = (char*)pixels;
    im->byte_order = LSBFirst;
    im->bitmap_unit = 32;
    im->bitmap_bit_order = LSBFirst;
    im->bitmap_pad = 32;
    im->depth = x->depth;
    im->bytes_per_line = width * 4;
    im->bits_per_pixel = 32;
    im->red_mask = 0xFF0000;
    im->green_mask = 0xFF00;
    im->blue_mask = 0xFF;
    im->obdata = x->shm ? (char*)&x->shm_info : nullptr;
    if (!XInitImage(im)) return fb;
    // The back pixmap where the frame and its texts meet.
    if (x->back != 0) XFreePixmap(x->display, x->back);
    x->back = XCreatePixmap(x->display, x->window, (unsigned)width, (unsigned)height, (unsigned)x->depth);
    if (x->draw == nullptr) {
        x->draw = XftDrawCreate(x->display, x->back, x->visual, x->colormap);
    } else {
        XftDrawChange(x->draw, x->back);
    }
    x->back_width = width;
    x->back_height = height;
    w->dib_pixels = pixels;
    w->dib_width = width;
    w->dib_height = height;
    frame_header_dib(w, w->test_mode && (u64)width * (u64)height * 4 + 64 <= w->frame_section_size);
    if (g_trace != 0) startup_mark("framebuffer");
    return Framebuffer{pixels, width, height};
}

static void draw_text(X11Window* x, const DrawTextItem& t, ByteSpan text) {
    static u32 points[2048];
    u32 n = code_points(text, points, 2048);
    if (n == 0) return;
    XGlyphInfo extents;
    XftTextExtents32(x->display, x->font, (const FcChar32*)points, (int)n, &extents);
    i32 text_width = extents.xOff;
    i32 text_height = x->font->ascent + x->font->descent;
    i32 left = t.x0;
    if (t.align == ALIGN_CENTRE) left = t.x0 + ((t.x1 - t.x0) - text_width) / 2;
    if (t.align == ALIGN_RIGHT) left = t.x1 - text_width;
    i32 top = t.y0 + ((t.y1 - t.y0) - text_height) / 2;
    XftColor colour;
    colour.pixel = t.colour & 0xFFFFFF;
    colour.color.red = (unsigned short)(((t.colour >> 16) & 0xFF) * 257);
    colour.color.green = (unsigned short)(((t.colour >> 8) & 0xFF) * 257);
    colour.color.blue = (unsigned short)((t.colour & 0xFF) * 257);
    colour.color.alpha = 0xFFFF;
    XRectangle clip;
    clip.x = 0;
    clip.y = 0;
    clip.width = (unsigned short)(t.x1 > t.x0 ? t.x1 - t.x0 : 0);
    clip.height = (unsigned short)(t.y1 > t.y0 ? t.y1 - t.y0 : 0);
    XftDrawSetClipRectangles(x->draw, t.x0, t.y0, &clip, 1);
    XftDrawString32(x->draw, &colour, x->font, left, top + x->font->ascent, (const FcChar32*)points, (int)n);
}

static void put_frame(WindowState* w, const DrawList* list) {
    X11Window* x = x11_of(w);
    if (x->back == 0 || w->dib_pixels == nullptr) return;
    i32 width = w->dib_width;
    i32 height = w->dib_height;
    if (x->shm) {
        XShmPutImage(x->display, x->back, x->gc, &x->image, 0, 0, 0, 0, (unsigned)width, (unsigned)height, False);
    } else {
        XPutImage(x->display, x->back, x->gc, &x->image, 0, 0, 0, 0, (unsigned)width, (unsigned)height);
    }
    if (g_trace != 0) startup_mark("put");
    if (x->font != nullptr && x->draw != nullptr && list != nullptr) {
        for (u32 i = 0; i < list->text_count; i++) {
            const DrawTextItem& t = list->texts[i];
            draw_text(x, t, ByteSpan{(u8*)list->pool + t.offset, t.length});
        }
        XftDrawSetClip(x->draw, nullptr);
    }
    if (g_trace != 0) startup_mark("texts");
    XCopyArea(x->display, x->back, x->window, x->gc, 0, 0, (unsigned)width, (unsigned)height, 0, 0);
    if (w->test_mode) {
        // The frame a harness reads holds the texts too, as the Windows
        // program's DIB does.
        if (x->shm) {
            XShmGetImage(x->display, x->back, &x->image, 0, 0, AllPlanes);
        } else {
            XGetSubImage(x->display, x->back, 0, 0, (unsigned)width, (unsigned)height, AllPlanes, ZPixmap,
                         &x->image, 0, 0);
        }
    } else if (x->shm) {
        // The server reads the shared image when it runs the request; the
        // core draws the next frame into it as soon as this returns.
        XSync(x->display, False);
    }
    frame_header_blit(w, 0, 0, width, height, 0, 0, 0xCC0020);
    XFlush(x->display);
    if (g_trace != 0) {
        startup_mark("blit");
        g_trace--;
    }
}

void present(WindowState* w, const DrawList* list) {
    put_frame(w, list);
}

void skip_paint(WindowState* w) {
    x11_of(w)->invalid = false;
}

// ---- Drops ------------------------------------------------------------------

bool drop_path(WindowState* w, u32 index, u8* buffer, u64 capacity, u64* length_out) {
    X11Window* x = x11_of(w);
    if (index >= x->drop_count || x->drop_lengths[index] > capacity) return false;
    const u8* from = x->drop_bytes + x->drop_offsets[index];
    for (u64 i = 0; i < x->drop_lengths[index]; i++) buffer[i] = from[i];
    *length_out = x->drop_lengths[index];
    return true;
}

void finish_drop(WindowState* w) {
    x11_of(w)->drop_count = 0;
}

// ---- Requests ---------------------------------------------------------------

void invalidate(WindowState* w) {
    make_invalid(w);
}

void minimise(WindowState* w) {
    X11Window* x = x11_of(w);
    XIconifyWindow(x->display, x->window, x->screen);
    XFlush(x->display);
}

// The work area of the desktop: the window manager's _NET_WORKAREA for the
// current desktop, else the whole screen.
static void work_area(X11Window* x, i32* out) {
    out[0] = 0;
    out[1] = 0;
    out[2] = DisplayWidth(x->display, x->screen);
    out[3] = DisplayHeight(x->display, x->screen);
    u64 desktop = 0;
    Atom type;
    int format;
    unsigned long count;
    unsigned long after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(x->display, x->root, x->atoms[ATOM_NET_CURRENT_DESKTOP], 0, 1, False, XA_CARDINAL,
                           &type, &format, &count, &after, &data) == Success && data != nullptr) {
        if (format == 32 && count == 1) desktop = (u64)((unsigned long*)data)[0];
        XFree(data);
        data = nullptr;
    }
    if (XGetWindowProperty(x->display, x->root, x->atoms[ATOM_NET_WORKAREA], 0, 4096, False, XA_CARDINAL, &type,
                           &format, &count, &after, &data) == Success && data != nullptr) {
        const long* v = (const long*)data;
        if (format == 32 && desktop < 1024 && count >= desktop * 4 + 4 && v[desktop * 4 + 2] > 0 &&
            v[desktop * 4 + 3] > 0) {
            out[0] = (i32)v[desktop * 4];
            out[1] = (i32)v[desktop * 4 + 1];
            out[2] = out[0] + (i32)v[desktop * 4 + 2];
            out[3] = out[1] + (i32)v[desktop * 4 + 3];
        }
        XFree(data);
    }
}

void set_maximised(WindowState* w, bool maximised) {
    X11Window* x = x11_of(w);
    i32* saved = x->saved_rect;
    if (maximised) {
        refresh_origin(x);
        saved[0] = x->left;
        saved[1] = x->top;
        saved[2] = x->left + x->width;
        saved[3] = x->top + x->height;
        i32 area[4];
        work_area(x, area);
        move_window(w, area[0], area[1], area[2], area[3]);
    } else {
        move_window(w, saved[0], saved[1], saved[2], saved[3]);
    }
}

void destroy(WindowState* w) {
    X11Window* x = x11_of(w);
    if (x->closed) return;
    XDestroyWindow(x->display, x->window);
    XFlush(x->display);
    x->closed = true;
}

void move_window(WindowState* w, i32 left, i32 top, i32 right, i32 bottom) {
    X11Window* x = x11_of(w);
    // X has no empty windows; the core never asks for one below 640 x 320.
    i32 width = right - left > 1 ? right - left : 1;
    i32 height = bottom - top > 1 ? bottom - top : 1;
    XMoveResizeWindow(x->display, x->window, left, top, (unsigned)width, (unsigned)height);
    settle_configure(x);
    make_invalid(w);
}

void set_capture(WindowState* w, bool on) {
    X11Window* x = x11_of(w);
    if (on) {
        XGrabPointer(x->display, x->window, False, ButtonPressMask | ButtonReleaseMask | PointerMotionMask,
                     GrabModeAsync, GrabModeAsync, None, None, CurrentTime);
    } else {
        XUngrabPointer(x->display, CurrentTime);
    }
    XFlush(x->display);
}

void set_title(WindowState* w, ByteSpan title) {
    X11Window* x = x11_of(w);
    static u32 points[2048];
    static u8 utf8[8192];
    static u8 latin1[2048];
    u32 n = code_points(title, points, 2048);
    // Well-formed UTF-8 for the window manager's _NET_WM_NAME, and Latin-1
    // with "?" for the rest in the old WM_NAME.
    u64 length = 0;
    for (u32 i = 0; i < n; i++) {
        u32 c = points[i];
        latin1[i] = c < 0x100 ? (u8)c : (u8)'?';
        if (c < 0x80) {
            utf8[length++] = (u8)c;
        } else if (c < 0x800) {
            utf8[length++] = (u8)(0xC0 | (c >> 6));
            utf8[length++] = (u8)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            utf8[length++] = (u8)(0xE0 | (c >> 12));
            utf8[length++] = (u8)(0x80 | ((c >> 6) & 0x3F));
            utf8[length++] = (u8)(0x80 | (c & 0x3F));
        } else {
            utf8[length++] = (u8)(0xF0 | (c >> 18));
            utf8[length++] = (u8)(0x80 | ((c >> 12) & 0x3F));
            utf8[length++] = (u8)(0x80 | ((c >> 6) & 0x3F));
            utf8[length++] = (u8)(0x80 | (c & 0x3F));
        }
    }
    Atom utf8_type = x->atoms[ATOM_UTF8_STRING];
    XChangeProperty(x->display, x->window, x->atoms[ATOM_NET_WM_NAME], utf8_type, 8, PropModeReplace, utf8,
                    (int)length);
    XChangeProperty(x->display, x->window, x->atoms[ATOM_NET_WM_ICON_NAME], utf8_type, 8, PropModeReplace, utf8,
                    (int)length);
    XChangeProperty(x->display, x->window, XA_WM_NAME, XA_STRING, 8, PropModeReplace, latin1, (int)n);
    XChangeProperty(x->display, x->window, XA_WM_ICON_NAME, XA_STRING, 8, PropModeReplace, latin1, (int)n);
    XFlush(x->display);
}

void set_cursor(WindowState* w, u32 cursor) {
    X11Window* x = x11_of(w);
    if (cursor >= 6 || cursor == x->cursor_shown) return;
    x->cursor_shown = cursor;
    XDefineCursor(x->display, x->window, x->cursors[cursor]);
}
