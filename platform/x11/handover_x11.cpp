// One window for every file opened, on X11. The window that runs outside
// test mode owns the selection _QUORBEL_WINDOW on its display (the newest such
// window takes it); a second start finds the owner, appends its paths as a
// text/uri-list to the owner's property _QUORBEL_OPEN (one request, so two
// starts at once append whole lists one after the other) and ends. The
// window reads and deletes the property in one call when told of the change
// and takes the list as a drop, through the reader XDND uses. A property of
// another type or format, one too big to read whole, or a list naming no
// local file is dropped.
#include <X11/Xatom.h>
#include <unistd.h>

#include "platform/handover.h"
#include "platform/process.h"
#include "platform/x11/uri_list.h"
#include "platform/x11/x11_window.h"

// ---- The second start -------------------------------------------------------

static u8 g_list[HANDOVER_MAX_BYTES];
static u8 g_full_path[0x8000];
static int g_send_errors = 0;
// The connection of a hand-over that found no taker, kept for the window:
// closing the last connection would let a server without -noreset start over
// just as the window connects.
static Display* g_kept_display = nullptr;

Display* kept_display() {
    Display* d = g_kept_display;
    g_kept_display = nullptr;
    return d;
}

static int count_send_error(Display*, XErrorEvent*) {
    g_send_errors++;
    return 0;
}

// As for the window: without its connection the program cannot go on.
static int lost_display(Display*) {
    static const char text[] = "quorbel: lost the connection to the X server\n";
    ssize_t ignored = write(2, text, sizeof text - 1);
    (void)ignored;
    _exit(2);
}

bool hand_over(ByteSpan class_name, const ByteSpan* paths, u32 count) {
    (void)class_name;  // one program on a display: the atoms name it
    if (count == 0 || count > HANDOVER_MAX_PATHS) return false;
    u64 size = 0;
    for (u32 i = 0; i < count; i++) {
        u64 length = full_path(paths[i], g_full_path, sizeof g_full_path);
        if (length == 0) return false;
        ByteSpan absolute = {g_full_path, length};
        u64 written = write_uri_list(&absolute, 1, g_list + size, sizeof g_list - size);
        if (written == 0) return false;
        size += written;
    }
    startup_mark("handover");
    Display* d = XOpenDisplay(nullptr);
    if (d == nullptr) return false;
    XIOErrorHandler previous_io = XSetIOErrorHandler(lost_display);
    // One round trip for the three names (this runs before every window).
    static const char* names[3] = {QB_HANDOVER_SELECTION, QB_HANDOVER_PROPERTY, "text/uri-list"};
    Atom atoms[3] = {};
    XInternAtoms(d, (char**)names, 3, False, atoms);
    Atom selection = atoms[0], property = atoms[1], uri_list = atoms[2];
    Window owner = XGetSelectionOwner(d, selection);
    bool taken = false;
    if (owner != None) {
        // A window that went away meanwhile, or a property left in another
        // form, is an error here: then this start opens its own window.
        XErrorHandler previous = XSetErrorHandler(count_send_error);
        g_send_errors = 0;
        XChangeProperty(d, owner, property, uri_list, 8, PropModeAppend, g_list, (int)size);
        XSync(d, False);
        taken = g_send_errors == 0;
        XSetErrorHandler(previous);
    }
    XSetIOErrorHandler(previous_io);
    if (taken) {
        XCloseDisplay(d);
    } else {
        g_kept_display = d;
    }
    return taken;
}

// ---- The running window -----------------------------------------------------

void handover_init(X11Window* x, bool test_mode) {
    if (test_mode) return;
    XDeleteProperty(x->display, x->window, x->atoms[ATOM_HANDOVER_OPEN]);
    XSetSelectionOwner(x->display, x->atoms[ATOM_HANDOVER_WINDOW], x->window, CurrentTime);
}

// Asks the window manager to activate the window (as a pager would, so that
// focus-stealing prevention lets it through) and raises it, which also
// shows it again if it was minimised.
static void bring_to_front(X11Window* x, Time time) {
    XEvent ev = {};
    ev.xclient.type = ClientMessage;
    ev.xclient.display = x->display;
    ev.xclient.window = x->window;
    ev.xclient.message_type = x->atoms[ATOM_NET_ACTIVE_WINDOW];
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = 2;
    ev.xclient.data.l[1] = (long)time;
    XSendEvent(x->display, x->root, False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
    XMapRaised(x->display, x->window);
    XFlush(x->display);
}

bool handover_property(X11Window* x, const XPropertyEvent* p, u32* count_out) {
    *count_out = 0;
    if (p->window != x->window || p->atom != x->atoms[ATOM_HANDOVER_OPEN] || p->state != PropertyNewValue) {
        return false;
    }
    Atom type;
    int format;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    u64 size = 0;
    bool whole = false;
    if (XGetWindowProperty(x->display, x->window, x->atoms[ATOM_HANDOVER_OPEN], 0, (long)(DROP_BYTES / 4), True,
                           AnyPropertyType, &type, &format, &count, &after, &data) == Success) {
        if (data != nullptr && type == x->atoms[ATOM_URI_LIST] && format == 8 && after == 0 && count < DROP_BYTES) {
            for (unsigned long i = 0; i < count; i++) x->drop_bytes[i] = data[i];
            size = count;
            whole = true;
        }
        // Too big to read whole: it was not deleted by the read.
        if (after != 0) XDeleteProperty(x->display, x->window, x->atoms[ATOM_HANDOVER_OPEN]);
        if (data != nullptr) XFree(data);
    }
    x11_take_error();
    u32 paths = whole ? x11_drop_paths(x, size) : 0;
    x->drop_count = paths;
    if (paths == 0) return false;
    bring_to_front(x, p->time);
    *count_out = paths;
    return true;
}

void handover_refuse(X11Window* x, const XSelectionRequestEvent* r) {
    XEvent reply = {};
    reply.xselection.type = SelectionNotify;
    reply.xselection.display = x->display;
    reply.xselection.requestor = r->requestor;
    reply.xselection.selection = r->selection;
    reply.xselection.target = r->target;
    reply.xselection.property = None;
    reply.xselection.time = r->time;
    XSendEvent(x->display, r->requestor, False, NoEventMask, &reply);
    XFlush(x->display);
}
