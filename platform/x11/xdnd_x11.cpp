// Files dropped from a file manager, through the XDND protocol (version 5):
// the source announces itself (XdndEnter) with the types it offers, asks
// about each position (XdndPosition, answered with XdndStatus), and drops
// (XdndDrop); the drop's "text/uri-list" is then asked for as a selection
// and read from a property of the window, and the source is told the drop
// is finished. Messages out of order, from another source than the one
// announced, or carrying no file paths are ignored. A source that never
// hands the data over is given up (see drop_wait_given_up), so that the next
// drag is heard.
#include <X11/Xatom.h>
#include <unistd.h>

#include "platform/process.h"
#include "platform/x11/uri_list.h"
#include "platform/x11/x11_window.h"

static constexpr long XDND_VERSION = 5;

void xdnd_init(X11Window* x) {
    Atom version = (Atom)XDND_VERSION;
    XChangeProperty(x->display, x->window, x->atoms[ATOM_XDND_AWARE], XA_ATOM, 32, PropModeReplace,
                    (unsigned char*)&version, 1);
}

static void send_to_source(X11Window* x, Atom type, long l1, long l2, long l3, long l4) {
    XEvent ev = {};
    ev.xclient.type = ClientMessage;
    ev.xclient.display = x->display;
    ev.xclient.window = x->dnd_source;
    ev.xclient.message_type = type;
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = (long)x->window;
    ev.xclient.data.l[1] = l1;
    ev.xclient.data.l[2] = l2;
    ev.xclient.data.l[3] = l3;
    ev.xclient.data.l[4] = l4;
    XSendEvent(x->display, x->dnd_source, False, NoEventMask, &ev);
    XFlush(x->display);
}

static void forget_source(X11Window* x) {
    x->dnd_source = 0;
    x->dnd_version = 0;
    x->dnd_offers_uris = false;
    x->dnd_awaiting_data = false;
}

static void finish(X11Window* x, bool accepted) {
    if (x->dnd_version >= 2) {
        send_to_source(x, x->atoms[ATOM_XDND_FINISHED], accepted ? 1 : 0,
                       accepted ? (long)x->atoms[ATOM_XDND_ACTION_COPY] : 0, 0, 0);
    }
    forget_source(x);
}

// More than three types are listed in the source's XdndTypeList property.
static bool type_list_has_uris(X11Window* x, Window source) {
    Atom type;
    int format;
    unsigned long count;
    unsigned long after;
    unsigned char* data = nullptr;
    bool found = false;
    if (XGetWindowProperty(x->display, source, x->atoms[ATOM_XDND_TYPE_LIST], 0, 1024, False, XA_ATOM, &type,
                           &format, &count, &after, &data) == Success && data != nullptr) {
        if (format == 32) {
            const Atom* types = (const Atom*)data;
            for (unsigned long i = 0; i < count; i++) found |= types[i] == x->atoms[ATOM_URI_LIST];
        }
        XFree(data);
    }
    x11_take_error();  // a source that went away meanwhile
    return found;
}

// A drop still waiting for its data is given up when `enter_from_another`
// says so or its time is over: the source is told it failed (a dead one
// never hears it) and forgotten.
static void give_up_waiting(X11Window* x, bool enter_from_another) {
    if (x->dnd_awaiting_data && drop_wait_given_up(x->dnd_asked_ms, tick_count(), enter_from_another)) {
        finish(x, false);
    }
}

bool xdnd_client_message(X11Window* x, const XClientMessageEvent* m) {
    if (m->format != 32) return false;
    const long* l = m->data.l;
    Window source = (Window)l[0];
    Atom type = m->message_type;
    bool enter = type == x->atoms[ATOM_XDND_ENTER];
    if (enter || type == x->atoms[ATOM_XDND_POSITION] || type == x->atoms[ATOM_XDND_LEAVE] ||
        type == x->atoms[ATOM_XDND_DROP]) {
        give_up_waiting(x, enter && source != 0 && source != x->dnd_source);
    }
    if (enter) {
        u32 version = (u32)(((unsigned long)l[1] >> 24) & 0xFF);
        // A newer protocol than ours, or a drop still being read: ignored.
        if (version > XDND_VERSION || source == 0 || x->dnd_awaiting_data) return false;
        forget_source(x);
        x->dnd_source = source;
        x->dnd_version = version;
        if (l[1] & 1) {
            x->dnd_offers_uris = type_list_has_uris(x, source);
        } else {
            for (int i = 2; i < 5; i++) x->dnd_offers_uris |= (Atom)l[i] == x->atoms[ATOM_URI_LIST];
        }
        return true;
    }
    if (x->dnd_source == 0 || source != x->dnd_source) return false;  // not the announced source
    if (type == x->atoms[ATOM_XDND_POSITION]) {
        if (x->dnd_awaiting_data) return false;
        bool accept = x->dnd_offers_uris;
        send_to_source(x, x->atoms[ATOM_XDND_STATUS], accept ? 3 : 2, 0, 0,
                       accept ? (long)x->atoms[ATOM_XDND_ACTION_COPY] : 0);
        return true;
    }
    if (type == x->atoms[ATOM_XDND_LEAVE]) {
        if (!x->dnd_awaiting_data) forget_source(x);
        return true;
    }
    if (type == x->atoms[ATOM_XDND_DROP]) {
        if (x->dnd_awaiting_data) return false;
        if (!x->dnd_offers_uris) {
            finish(x, false);
            return true;
        }
        x->dnd_time = x->dnd_version >= 1 ? (Time)(unsigned long)l[2] : CurrentTime;
        XDeleteProperty(x->display, x->window, x->atoms[ATOM_DROP_PROPERTY]);
        XConvertSelection(x->display, x->atoms[ATOM_XDND_SELECTION], x->atoms[ATOM_URI_LIST],
                          x->atoms[ATOM_DROP_PROPERTY], x->window, x->dnd_time);
        XFlush(x->display);
        x->dnd_awaiting_data = true;
        x->dnd_asked_ms = tick_count();
        return true;
    }
    return false;
}

u32 x11_drop_paths(X11Window* x, u64 size) {
    char host[256];
    u64 host_length = 0;
    if (gethostname(host, sizeof host - 1) == 0) {
        host[sizeof host - 1] = 0;
        while (host[host_length] != 0) host_length++;
    }
    return read_uri_list(x->drop_bytes, size, ByteSpan{(u8*)host, host_length}, x->drop_offsets, x->drop_lengths,
                         DROP_PATHS);
}

bool xdnd_selection(X11Window* x, const XSelectionEvent* s, u32* count_out) {
    *count_out = 0;
    if (s->requestor != x->window || s->selection != x->atoms[ATOM_XDND_SELECTION]) return false;
    give_up_waiting(x, false);
    if (!x->dnd_awaiting_data) return false;  // no drop asked for this, or given up
    if (s->property == None || s->target != x->atoms[ATOM_URI_LIST]) {
        finish(x, false);
        return false;
    }
    Atom type;
    int format;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    u64 size = 0;
    bool whole = false;
    // The list must be one property of at most DROP_BYTES (no incremental
    // transfer); a larger one is refused whole rather than cut.
    if (XGetWindowProperty(x->display, x->window, s->property, 0, (long)(DROP_BYTES / 4), True, AnyPropertyType,
                           &type, &format, &count, &after, &data) == Success && data != nullptr) {
        if (format == 8 && after == 0 && count < DROP_BYTES && type != XInternAtom(x->display, "INCR", False)) {
            for (unsigned long i = 0; i < count; i++) x->drop_bytes[i] = data[i];
            size = count;
            whole = true;
        }
        XFree(data);
    }
    u32 paths = whole ? x11_drop_paths(x, size) : 0;
    x->drop_count = paths;
    finish(x, paths != 0);
    *count_out = paths;
    return paths != 0;
}
