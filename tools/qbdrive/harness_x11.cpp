// qbdrive --x11: the harness for the X11 program. Starts `quorbel --test`
// with the script's arguments on the X display, finds its window, sends each
// script event as an X event (XSendEvent, so the program knows it from real
// input; "raw" pointer lines go through XTEST as real input), drops files as
// an XDND source would, posts a sync with a fresh number after each event,
// waits until the state section carries that number and prints the state
// text: the same lines the headless run and the Windows harness print.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/headless/headless.h"
#include "platform/test_sections.h"
#include "platform/x11/input.h"
#include "tools/qbdrive/harness_shared.h"
#include "tools/qbdrive/harness_x11.h"

extern char** environ;

namespace x11h {


Atom atom(X11Target* t, const char* name) {
    return XInternAtom(t->display, name, False);
}

void sleep_ms(long ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000};
    nanosleep(&ts, nullptr);
}

u64 now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (u64)ts.tv_sec * 1000 + (u64)ts.tv_nsec / 1000000;
}

bool still_running(X11Target* t) {
    if (t->ended) return false;
    int status = 0;
    if (waitpid(t->pid, &status, WNOHANG) == t->pid) {
        t->ended = true;
        t->exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return true;
}

const void* map_section(const std::string& name, u64* size_out) {
    int fd = shm_open(("/" + name).c_str(), O_RDONLY, 0);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size <= 0) {
        close(fd);
        return nullptr;
    }
    void* view = mmap(nullptr, (size_t)st.st_size, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (view == MAP_FAILED) return nullptr;
    *size_out = (u64)st.st_size;
    return view;
}

// The program's window: the top-level window whose _NET_WM_PID is its pid.
Window find_window(X11Target* t) {
    Window root_return;
    Window parent;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(t->display, t->root, &root_return, &parent, &children, &count)) return 0;
    Window found = 0;
    Atom pid_atom = atom(t, "_NET_WM_PID");
    for (unsigned int i = 0; i < count && found == 0; i++) {
        Atom type;
        int format;
        unsigned long n;
        unsigned long after;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(t->display, children[i], pid_atom, 0, 1, False, XA_CARDINAL, &type, &format, &n,
                               &after, &data) == Success && data != nullptr) {
            if (format == 32 && n == 1 && (pid_t)((unsigned long*)data)[0] == t->pid) found = children[i];
            XFree(data);
        }
    }
    if (children != nullptr) XFree(children);
    return found;
}

bool open_channel(X11Target* t) {
    std::string pid = std::to_string(t->pid);
    for (int i = 0; i < 400 && still_running(t); i++) {
        u64 state_size = 0;
        if (t->state == nullptr) t->state = (const char*)map_section("QuorbelState" + pid, &state_size);
        if (t->frame == nullptr) t->frame = (const u32*)map_section("QuorbelFrame" + pid, &t->frame_size);
        if (t->window == 0) t->window = find_window(t);
        if (t->state != nullptr && t->frame != nullptr && t->window != 0) return true;
        sleep_ms(50);
    }
    return false;
}

void client_message(X11Target* t, Window to, Atom type, long l0, long l1, long l2, long l3, long l4) {
    XEvent ev = {};
    ev.xclient.type = ClientMessage;
    ev.xclient.display = t->display;
    ev.xclient.window = to;
    ev.xclient.message_type = type;
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = l0;
    ev.xclient.data.l[1] = l1;
    ev.xclient.data.l[2] = l2;
    ev.xclient.data.l[3] = l3;
    ev.xclient.data.l[4] = l4;
    XSendEvent(t->display, to, False, NoEventMask, &ev);
    XFlush(t->display);
}

// QB_SYNC_DELAY_MS holds every sync back that long after its event, as a
// starved machine might: the state read must still be the one the event
// left before any paint.
void post_sync(X11Target* t, u32 number) {
    static const char* delay = getenv("QB_SYNC_DELAY_MS");
    if (delay != nullptr && number != 0xFFFFFFFFu) sleep_ms((long)strtoul(delay, nullptr, 10));
    client_message(t, t->window, atom(t, "_QUORBEL_SYNC"), (long)number, 0, 0, 0, 0);
}

// Waits until the state text ends with " sync=" and the number, then until
// the paint that follows has ended and the program waits for input again
// (word 12 of the frame header), as the Windows harness waits for it to go
// idle. A program that does
// not answer within 20 seconds fails the run rather than hang it.
WaitResult wait_state(X11Target* t, u32 number, std::string* out) {
    char want[32];
    std::snprintf(want, sizeof want, " sync=%08x", number);
    for (int i = 0; i < 4000; i++) {
        std::string text(t->state, strnlen(t->state, 4096));
        if (text.size() >= 14 && text.compare(text.size() - 14, 14, want) == 0) {
            for (int k = 0; k < 4000 && ((volatile const u32*)t->frame)[12] != 0 && still_running(t); k++) {
                sleep_ms(1);
            }
            *out = text;
            return ANSWERED;
        }
        if (!still_running(t)) return ENDED;
        sleep_ms(5);
    }
    return SILENT;
}

void origin(X11Target* t, int* x, int* y) {
    Window child;
    *x = 0;
    *y = 0;
    XTranslateCoordinates(t->display, t->window, t->root, 0, 0, x, y, &child);
}

unsigned int state_of(u32 mods) {
    unsigned int s = 0;
    if (mods & MODIFIER_CTRL) s |= ControlMask;
    if (mods & MODIFIER_SHIFT) s |= ShiftMask;
    if (mods & MODIFIER_ALT) s |= Mod1Mask;
    return s;
}

bool send_key(X11Target* t, const Event& e) {
    u32 keysym = keysym_from_key_code(e.key);
    KeyCode code = keysym != 0 ? XKeysymToKeycode(t->display, keysym) : 0;
    if (code == 0) return false;
    XEvent ev = {};
    XKeyEvent& k = ev.xkey;
    k.type = KeyPress;
    k.display = t->display;
    k.window = t->window;
    k.root = t->root;
    k.time = CurrentTime;
    k.same_screen = True;
    k.keycode = code;
    k.state = state_of(e.mods);
    // Keypad digits are what the keypad gives with Num Lock on.
    if (keypad_digit_keysym(keysym)) k.state |= Mod2Mask;
    // Not flushed: the key goes out with its sync, so the program takes both
    // before it paints, as the native run publishes its state first.
    XSendEvent(t->display, t->window, False, NoEventMask, &ev);
    return true;
}

void send_pointer(X11Target* t, int type, const Event& e, unsigned int button, unsigned int extra_state) {
    int ox = 0;
    int oy = 0;
    origin(t, &ox, &oy);
    XEvent ev = {};
    if (type == MotionNotify) {
        XMotionEvent& m = ev.xmotion;
        m.type = MotionNotify;
        m.display = t->display;
        m.window = t->window;
        m.root = t->root;
        m.time = CurrentTime;
        m.x = e.x;
        m.y = e.y;
        m.x_root = ox + e.x;
        m.y_root = oy + e.y;
        m.state = state_of(e.mods) | extra_state;
        m.same_screen = True;
    } else {
        XButtonEvent& b = ev.xbutton;
        b.type = type;
        b.display = t->display;
        b.window = t->window;
        b.root = t->root;
        b.time = CurrentTime;
        b.x = e.x;
        b.y = e.y;
        b.x_root = ox + e.x;
        b.y_root = oy + e.y;
        b.state = state_of(e.mods) | extra_state;
        b.button = button;
        b.same_screen = True;
    }
    XSendEvent(t->display, t->window, False, NoEventMask, &ev);
}

void send_leave(X11Target* t) {
    XEvent ev = {};
    XCrossingEvent& c = ev.xcrossing;
    c.type = LeaveNotify;
    c.display = t->display;
    c.window = t->window;
    c.root = t->root;
    c.time = CurrentTime;
    c.mode = NotifyNormal;
    c.detail = NotifyAncestor;
    c.same_screen = True;
    XSendEvent(t->display, t->window, False, NoEventMask, &ev);
}

// Real pointer input through XTEST: the server makes the events itself.
bool send_raw(X11Target* t, const Event& e) {
    int event_base, error_base, major, minor;
    if (!XTestQueryExtension(t->display, &event_base, &error_base, &major, &minor)) return false;
    int ox = 0;
    int oy = 0;
    origin(t, &ox, &oy);
    XTestFakeMotionEvent(t->display, DefaultScreen(t->display), ox + e.x, oy + e.y, CurrentTime);
    if (e.kind == EVENT_BUTTON_DOWN) XTestFakeButtonEvent(t->display, 1, True, CurrentTime);
    if (e.kind == EVENT_BUTTON_UP) XTestFakeButtonEvent(t->display, 1, False, CurrentTime);
    if (e.kind == EVENT_DOUBLE_CLICK) {
        for (int i = 0; i < 2; i++) {
            XTestFakeButtonEvent(t->display, 1, True, CurrentTime);
            XTestFakeButtonEvent(t->display, 1, False, CurrentTime);
        }
    }
    XFlush(t->display);
    return true;
}

// A file manager's list: absolute paths as file URIs, every byte but the
// unreserved ones and "/" percent-encoded, lines ended by CR LF.
std::string uri_list(const std::vector<std::string>& paths) {
    std::string out;
    char cwd[4096];
    std::string here = getcwd(cwd, sizeof cwd) != nullptr ? cwd : "/";
    for (const std::string& p : paths) {
        std::string full = !p.empty() && p[0] == '/' ? p : here + "/" + p;
        out += "file://";
        for (unsigned char c : full) {
            if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
                out += (char)c;
            } else {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%%%02X", c);
                out += hex;
            }
        }
        out += "\r\n";
    }
    return out;
}

// Selection requests for the drop's data are answered on the way.
bool wait_source_event(X11Target* t, const std::string& data, bool (*want)(const XEvent&, void*), void* context,
                       u64 ms) {
    u64 deadline = now_ms() + ms;
    while (now_ms() < deadline && still_running(t)) {
        while (XPending(t->display) > 0) {
            XEvent ev;
            XNextEvent(t->display, &ev);
            if (ev.type == SelectionRequest) {
                XSelectionRequestEvent& r = ev.xselectionrequest;
                XEvent reply = {};
                reply.xselection.type = SelectionNotify;
                reply.xselection.display = t->display;
                reply.xselection.requestor = r.requestor;
                reply.xselection.selection = r.selection;
                reply.xselection.target = r.target;
                reply.xselection.time = r.time;
                reply.xselection.property = None;
                if (r.target == atom(t, "text/uri-list") && r.property != None) {
                    XChangeProperty(t->display, r.requestor, r.property, r.target, 8, PropModeReplace,
                                    (const unsigned char*)data.data(), (int)data.size());
                    reply.xselection.property = r.property;
                }
                XSendEvent(t->display, r.requestor, False, NoEventMask, &reply);
                XFlush(t->display);
                if (t->sync_with_data != 0) {
                    // The program takes the data and this sync in a row, as
                    // a drop and a sync posted together on Windows.
                    post_sync(t, t->sync_with_data);
                    t->sync_with_data = 0;
                }
                continue;
            }
            if (want(ev, context)) return true;
        }
        sleep_ms(2);
    }
    return false;
}

// An XDND answer of the given type, and whether it accepts.
struct Reply {
    Atom type;
    bool accepted;
};

bool reply_of(const XEvent& ev, void* context) {
    Reply* r = (Reply*)context;
    if (ev.type != ClientMessage || ev.xclient.message_type != r->type) return false;
    r->accepted = (ev.xclient.data.l[1] & 1) != 0;
    return true;
}

// A drop as a file manager makes one: enter, a position over the window's
// middle, the status, the drop, the data asked for through the selection,
// and the finish.
bool send_drop(X11Target* t, const std::vector<std::string>& paths) {
    std::string data = uri_list(paths);
    Atom uris = atom(t, "text/uri-list");
    Atom copy = atom(t, "XdndActionCopy");
    XSetSelectionOwner(t->display, atom(t, "XdndSelection"), t->source, CurrentTime);
    long source = (long)t->source;
    client_message(t, t->window, atom(t, "XdndEnter"), source, 5L << 24, (long)uris, 0, 0);
    XWindowAttributes a;
    XGetWindowAttributes(t->display, t->window, &a);
    int ox = 0;
    int oy = 0;
    origin(t, &ox, &oy);
    long point = ((long)(ox + a.width / 2) << 16) | (long)(oy + a.height / 2);
    client_message(t, t->window, atom(t, "XdndPosition"), source, 0, point, CurrentTime, (long)copy);
    Reply status = {atom(t, "XdndStatus"), false};
    if (!wait_source_event(t, data, reply_of, &status, 20000)) return false;
    if (!status.accepted) {
        client_message(t, t->window, atom(t, "XdndLeave"), source, 0, 0, 0, 0);
        return true;
    }
    client_message(t, t->window, atom(t, "XdndDrop"), source, 0, CurrentTime, 0, 0);
    Reply finished = {atom(t, "XdndFinished"), false};
    return wait_source_event(t, data, reply_of, &finished, 20000);
}

// Sends one script event. False for events this harness cannot produce.
bool send(X11Target* t, const Event& e, bool unmarked, const std::string& line) {
    if (unmarked) return send_raw(t, e);
    switch (e.kind) {
    case EVENT_SIZE:
        XResizeWindow(t->display, t->window, (unsigned)(e.x > 1 ? e.x : 1), (unsigned)(e.y > 1 ? e.y : 1));
        XFlush(t->display);
        return true;
    case EVENT_KEY: return send_key(t, e);
    case EVENT_MOUSE_MOVE: send_pointer(t, MotionNotify, e, 0, 0); break;
    case EVENT_BUTTON_DOWN: send_pointer(t, ButtonPress, e, Button1, 0); break;
    // The second press of a double-click: the button is already down.
    case EVENT_DOUBLE_CLICK: send_pointer(t, ButtonPress, e, Button1, Button1Mask); break;
    case EVENT_BUTTON_UP: send_pointer(t, ButtonRelease, e, Button1, Button1Mask); break;
    case EVENT_WHEEL:
        if (e.wheel != 0 && e.wheel % 120 == 0) {
            // Whole notches are wheel buttons, one press and release each.
            unsigned int button = e.wheel > 0 ? Button4 : Button5;
            for (i32 n = 0; n < (e.wheel > 0 ? e.wheel : -e.wheel) / 120; n++) {
                send_pointer(t, ButtonPress, e, button, 0);
                send_pointer(t, ButtonRelease, e, button, 0);
            }
            XFlush(t->display);
        } else {
            client_message(t, t->window, atom(t, "_QUORBEL_WHEEL"), e.x, e.y, e.wheel, (long)state_of(e.mods), 0);
        }
        return true;
    case EVENT_LEAVE: send_leave(t); return true;
    case EVENT_TIMER: client_message(t, t->window, atom(t, "_QUORBEL_TIMER"), (long)(u32)e.x, 0, 0, 0, 0); return true;
    case EVENT_DROP: return send_drop(t, drop_paths(line));
    case EVENT_SYNC: return true;
    default: return false;
    }
    XFlush(t->display);
    return true;
}

// Whether the window on screen shows the frame's pixels: its contents read
// back from the server.
bool screen_matches_frame(X11Target* t, const u32* frame, i32 w, i32 h) {
    XImage* shown = XGetImage(t->display, t->window, 0, 0, (unsigned)w, (unsigned)h, AllPlanes, ZPixmap);
    if (shown == nullptr) return false;
    bool same = true;
    for (i32 y = 0; y < h && same; y++) {
        for (i32 x = 0; x < w && same; x++) {
            same = ((XGetPixel(shown, x, y) ^ frame[(i64)y * w + x]) & 0xFFFFFF) == 0;
        }
    }
    XDestroyImage(shown);
    return same;
}

// "frame": the frame section's header must describe the window and a blit
// of the whole window, and the screen must show those pixels. "frame save
// FILE" also writes its pixels as PAM.
std::string check_frame(X11Target* t, const std::string& save) {
    const u32* h = t->frame;
    XWindowAttributes a;
    XGetWindowAttributes(t->display, t->window, &a);
    i32 w = a.width;
    i32 hgt = a.height;
    char line[160];
    bool ok = h[0] == 0x46524251 && h[1] == (u32)w && h[2] == (u32)-hgt && h[3] == 32 && h[4] == 0 && h[5] == 0 &&
              h[6] == (u32)w && h[7] == (u32)hgt && h[8] == 0 && h[9] == 0 && h[10] == 0xCC0020;
    ok = ok && (u64)w * (u64)hgt * 4 + 64 <= t->frame_size;
    // A paint may still be under way (the frame copied, the window not yet
    // drawn): give it up to two seconds.
    if (ok && w > 0 && hgt > 0) {
        bool same = false;
        for (int i = 0; i < 200 && !same; i++) {
            same = screen_matches_frame(t, h + 16, w, hgt);
            if (!same) sleep_ms(10);
        }
        ok = same;
    }
    std::snprintf(line, sizeof line, "frame %s %dx%d", ok ? "ok" : "bad", w, hgt);
    if (ok && !save.empty()) save_frame_pam(save, (const u32*)(h + 16), w, hgt);
    return line;
}

void print_line(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Ends the program if it still runs: a close from the window manager first,
// then a kill. The section names and the connection go either way.
void stop(X11Target* t) {
    if (still_running(t) && t->display != nullptr && t->window != 0) {
        client_message(t, t->window, atom(t, "WM_PROTOCOLS"), (long)atom(t, "WM_DELETE_WINDOW"), CurrentTime, 0, 0,
                       0);
        for (int i = 0; i < 500 && still_running(t); i++) sleep_ms(10);
    }
    if (still_running(t)) {
        kill(t->pid, SIGKILL);
        waitpid(t->pid, nullptr, 0);
        t->ended = true;
    }
    if (t->pid > 0) remove_test_sections((u32)t->pid);
    if (t->display != nullptr) XCloseDisplay(t->display);
    t->display = nullptr;
}

// A window that went away (the program quit) is no reason to stop.
int ignore_error(Display*, XErrorEvent*) {
    return 0;
}

bool start_program(X11Target* t, const std::vector<std::string>& args) {
    *t = X11Target{};
    XSetErrorHandler(ignore_error);
    t->display = XOpenDisplay(nullptr);
    if (t->display == nullptr) {
        std::fprintf(stderr, "qbdrive: cannot open the X display\n");
        return false;
    }
    t->root = DefaultRootWindow(t->display);
    t->source = XCreateSimpleWindow(t->display, t->root, 0, 0, 1, 1, 0, 0, 0);
    std::vector<std::string> copies = args;
    std::vector<char*> argv;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&t->pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "qbdrive: cannot start %s\n", argv[0]);
        t->ended = true;
        return false;
    }
    return true;
}

}  // namespace x11h

using namespace x11h;

int run_x11_harness(const char* script_path, const char* program) {
    std::ifstream in(script_path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "qbdrive: cannot read %s\n", script_path);
        return 66;
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    std::string script = buffer.str();
    std::vector<std::string> lines;
    std::vector<std::string> args = {program, "--test"};
    std::istringstream split(script);
    std::string text;
    while (std::getline(split, text)) {
        if (!text.empty() && text.back() == '\r') text.pop_back();
        lines.push_back(text);
        if (text.rfind("arg ", 0) == 0) args.push_back(text.substr(4));
    }

    X11Target t;
    if (!start_program(&t, args)) return 69;
    if (!open_channel(&t)) {
        std::fprintf(stderr, "qbdrive: no test channel\n");
        stop(&t);
        return 70;
    }

    // The first state: start-up, the first size report and the first paint
    // (a JPEG from the command line shows its second stage there), as the
    // other runs make it: a sync posted at once would overtake the paint.
    // The paint is over once a frame has been shown (word 11 counts them)
    // and the program waits for input again (word 12).
    for (int k = 0; k < 4000 && still_running(&t); k++) {
        const volatile u32* h = t.frame;
        if (h[11] != 0 && h[12] == 0) break;
        sleep_ms(1);
    }
    u32 next_sync = 1;
    std::string state;
    post_sync(&t, next_sync);
    if (wait_state(&t, next_sync++, &state) != ANSWERED) {
        std::fprintf(stderr, "qbdrive: the program did not answer its first sync\n");
        stop(&t);
        return 71;
    }
    print_line(state);
    int status = 0;
    for (size_t n = 0; n < lines.size(); n++) {
        const std::string& l = lines[n];
        if (l.rfind("frame", 0) == 0) {
            std::string save = l.size() > 11 && l.compare(0, 11, "frame save ") == 0 ? l.substr(11) : "";
            print_line(check_frame(&t, save));
            continue;
        }
        Event e;
        bool bad = false;
        bool unmarked = false;
        if (!headless_parse_event(ByteSpan{(u8*)l.data(), l.size()}, &e, &bad, &unmarked)) {
            if (bad) {
                std::fprintf(stderr, "qbdrive: %s:%zu: cannot read this line\n", script_path, n + 1);
                status = 65;
                break;
            }
            continue;
        }
        u32 number = e.kind == EVENT_SYNC ? e.key : next_sync++;
        t.sync_with_data = e.kind == EVENT_DROP ? number : 0;
        if (!send(&t, e, unmarked, l)) {
            if (!still_running(&t)) break;
            std::fprintf(stderr, "qbdrive: %s:%zu: cannot send this event\n", script_path, n + 1);
            status = 65;
            break;
        }
        if (e.kind == EVENT_SIZE) {
            // As the Windows harness does: a preliminary sync, not printed,
            // lets the program see the new size first.
            post_sync(&t, 0xFFFFFFFFu);
            if (wait_state(&t, 0xFFFFFFFFu, &state) != ANSWERED) {
                std::fprintf(stderr, "qbdrive: %s:%zu: the program stopped answering\n", script_path, n + 1);
                stop(&t);
                return 72;
            }
        }
        // A drop whose data went over has had its sync posted already.
        bool posted = e.kind == EVENT_DROP && t.sync_with_data == 0;
        t.sync_with_data = 0;
        if (!posted && still_running(&t)) post_sync(&t, number);
        WaitResult r = wait_state(&t, number, &state);
        if (r == SILENT) {
            std::fprintf(stderr, "qbdrive: %s:%zu: the program stopped answering\n", script_path, n + 1);
            stop(&t);
            return 72;
        }
        if (r == ENDED) break;
        print_line(state);
    }
    if (!still_running(&t) && t.ended) {
        // The program ended by itself (Quit): its exit code is part of the run.
        stop(&t);
        print_line("exit=" + std::to_string(t.exit_code));
        return status;
    }
    stop(&t);
    return status;
}
