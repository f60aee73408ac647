// Headless window: a script stands in for the user and the window system.
// Like the real window it reports a size change as its own event, and
// paints whenever the window was invalidated before the next input.
#include "base/region.h"
#include "platform/handover.h"
#include "platform/headless/headless.h"
#include "platform/process.h"
#include "platform/test_sections.h"

struct HeadlessWindow {
    ByteSpan script;
    u64 next;  // read position in the script
    StateSink sink;
    void* context;
    i32 width, height;  // the size the "system" reports
    bool invalid;
    HeadlessRecord record;
    i32 saved_rect[4];
    ReservedRegion pixels;
    // Paths of the current drop, as offsets into the script.
    u64 drop_offsets[64];
    u64 drop_lengths[64];
    u32 drop_count;
    // Harness mode: after the first size report and after every script event
    // a sync with a fresh number follows (before any paint, as a posted
    // message would), and only the states of syncs are passed on.
    bool auto_sync;
    bool sync_pending;
    bool started;
    u32 next_sync;
    u32 last_kind;
    bool sections;  // publish through the named sections too
    u32 line_number;
    u32 bad_line;   // the script line that could not be read, 0 for none
};

static HeadlessWindow g_headless;

static HeadlessWindow* headless_of(const WindowState* w) {
    return (HeadlessWindow*)w->backend;
}

static void log_op(HeadlessWindow* h, u8 op) {
    if (h->record.op_count < sizeof h->record.ops) h->record.ops[h->record.op_count++] = op;
}

u32 headless_bad_line() {
    return g_headless.bad_line;
}

void headless_set_script(ByteSpan script, StateSink sink, void* context) {
    g_headless.script = script;
    g_headless.next = 0;
    g_headless.line_number = 0;
    g_headless.bad_line = 0;
    g_headless.sink = sink;
    g_headless.context = context;
    g_headless.auto_sync = false;
}

void headless_set_auto_sync(bool on) {
    g_headless.auto_sync = on;
}

void headless_use_sections(bool on) {
    g_headless.sections = on;
}

const HeadlessRecord* headless_record() {
    return &g_headless.record;
}

// ---- Parsing ----------------------------------------------------------------

static bool space(u8 c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// The next word of `line` from *pos.
static ByteSpan word(ByteSpan line, u64* pos) {
    while (*pos < line.size && space(line.data[*pos])) (*pos)++;
    u64 start = *pos;
    while (*pos < line.size && !space(line.data[*pos])) (*pos)++;
    return ByteSpan{line.data + start, *pos - start};
}

static bool is(ByteSpan w, const char* text) {
    u64 n = 0;
    while (text[n] != 0) n++;
    return span_equal(w, ByteSpan{(u8*)text, n});
}

static bool number(ByteSpan w, i64* out) {
    if (w.size == 0) return false;
    u64 i = 0;
    bool negative = false;
    if (w.data[0] == '-') {
        negative = true;
        i = 1;
    }
    u64 base = 10;
    if (w.size > i + 2 && w.data[i] == '0' && (w.data[i + 1] == 'x' || w.data[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= w.size) return false;
    i64 v = 0;
    for (; i < w.size; i++) {
        u8 c = w.data[i];
        i64 d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else {
            return false;
        }
        if (v > ((i64)1 << 40)) return false;
        v = v * (i64)base + d;
    }
    *out = negative ? -v : v;
    return true;
}

struct KeyName {
    const char* name;
    u32 vk;
};

static const KeyName k_key_names[] = {
    {"backspace", 0x08}, {"tab", 0x09},      {"enter", 0x0D},    {"esc", 0x1B},     {"space", 0x20},
    {"pageup", 0x21},    {"pagedown", 0x22}, {"end", 0x23},      {"home", 0x24},    {"left", 0x25},
    {"up", 0x26},        {"right", 0x27},    {"down", 0x28},     {"numplus", 0x6B}, {"numminus", 0x6D},
    {"f1", 0x70},        {"f2", 0x71},       {"f3", 0x72},       {"f4", 0x73},      {"f5", 0x74},
    {"f6", 0x75},        {"f7", 0x76},       {"f8", 0x77},       {"f9", 0x78},      {"f10", 0x79},
    {"f11", 0x7A},       {"f12", 0x7B},      {"equals", 0xBB},   {"plus", 0xBB},    {"comma", 0xBC},
    {"minus", 0xBD},     {"period", 0xBE},
};

// "ctrl+shift+x": the modifier bits and the key's code.
static bool key_spec(ByteSpan w, u32* mods, u32* vk) {
    *mods = 0;
    u64 start = 0;
    for (;;) {
        u64 end = start;
        while (end < w.size && w.data[end] != '+') end++;
        ByteSpan part = {w.data + start, end - start};
        if (end == w.size || end + 1 == w.size) {
            // The last part names the key ("ctrl++" is Ctrl and "+").
            if (end + 1 == w.size) part.size++;
            if (part.size == 1) {
                u8 c = part.data[0];
                if (c >= 'a' && c <= 'z') c = (u8)(c - 32);
                if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
                    *vk = c;
                    return true;
                }
                if (c == '=' || c == '+') { *vk = 0xBB; return true; }
                if (c == '-') { *vk = 0xBD; return true; }
                if (c == '.') { *vk = 0xBE; return true; }
                if (c == ',') { *vk = 0xBC; return true; }
                return false;
            }
            for (const KeyName& k : k_key_names) {
                if (is(part, k.name)) {
                    *vk = k.vk;
                    return true;
                }
            }
            i64 code = 0;
            if (!number(part, &code) || code < 1 || code > 0xFE) return false;
            *vk = (u32)code;
            return true;
        }
        if (is(part, "ctrl")) {
            *mods |= MODIFIER_CTRL;
        } else if (is(part, "shift")) {
            *mods |= MODIFIER_SHIFT;
        } else if (is(part, "alt")) {
            *mods |= MODIFIER_ALT;
        } else {
            return false;
        }
        start = end + 1;
    }
}

static bool mods_word(ByteSpan w, u32* mods) {
    *mods = 0;
    if (w.size == 0) return true;
    u64 start = 0;
    while (start <= w.size) {
        u64 end = start;
        while (end < w.size && w.data[end] != '+') end++;
        ByteSpan part = {w.data + start, end - start};
        if (is(part, "ctrl")) {
            *mods |= MODIFIER_CTRL;
        } else if (is(part, "shift")) {
            *mods |= MODIFIER_SHIFT;
        } else if (is(part, "alt")) {
            *mods |= MODIFIER_ALT;
        } else {
            return false;
        }
        start = end + 1;
    }
    return true;
}

static bool point(ByteSpan line, u64* pos, Event* e) {
    i64 x = 0;
    i64 y = 0;
    if (!number(word(line, pos), &x) || !number(word(line, pos), &y)) return false;
    e->x = (i32)x;
    e->y = (i32)y;
    return true;
}

bool headless_parse_event(ByteSpan line, Event* e, bool* bad, bool* unmarked) {
    *bad = false;
    *unmarked = false;
    *e = Event{};
    u64 pos = 0;
    ByteSpan verb = word(line, &pos);
    // "raw" mouse lines stand for real input, which test mode ignores.
    if (verb.size > 3 && verb.data[0] == 'r' && verb.data[1] == 'a' && verb.data[2] == 'w') {
        ByteSpan mouse = {verb.data + 3, verb.size - 3};
        if (is(mouse, "move") || is(mouse, "down") || is(mouse, "up") || is(mouse, "dclick")) {
            *unmarked = true;
            verb = mouse;
        }
    }
    if (verb.size == 0 || verb.data[0] == '#' || is(verb, "arg") || is(verb, "frame")) return false;
    bool ok = true;
    u32 mods = 0;
    i64 n = 0;
    if (is(verb, "size")) {
        e->kind = EVENT_SIZE;
        ok = point(line, &pos, e);
    } else if (is(verb, "key")) {
        e->kind = EVENT_KEY;
        ok = key_spec(word(line, &pos), &e->mods, &e->key);
    } else if (is(verb, "move") || is(verb, "up")) {
        e->kind = is(verb, "move") ? EVENT_MOUSE_MOVE : EVENT_BUTTON_UP;
        ok = point(line, &pos, e) && mods_word(word(line, &pos), &e->mods);
    } else if (is(verb, "down") || is(verb, "dclick")) {
        e->kind = is(verb, "down") ? EVENT_BUTTON_DOWN : EVENT_DOUBLE_CLICK;
        ok = point(line, &pos, e) && mods_word(word(line, &pos), &e->mods);
    } else if (is(verb, "wheel")) {
        e->kind = EVENT_WHEEL;
        ok = point(line, &pos, e) && number(word(line, &pos), &n) && mods_word(word(line, &pos), &mods);
        e->wheel = (i32)n;
        e->mods = mods;
    } else if (is(verb, "leave")) {
        e->kind = EVENT_LEAVE;
    } else if (is(verb, "timer")) {
        e->kind = EVENT_TIMER;
        ok = number(word(line, &pos), &n);
        e->x = (i32)n;
    } else if (is(verb, "sync")) {
        e->kind = EVENT_SYNC;
        ok = number(word(line, &pos), &n);
        e->key = (u32)n;
    } else if (is(verb, "drop")) {
        e->kind = EVENT_DROP;
    } else {
        ok = false;
    }
    if (ok && e->kind != EVENT_DROP && word(line, &pos).size != 0) ok = false;
    *bad = !ok;
    return ok;
}

// ---- The window -------------------------------------------------------------

bool create_main_window(WindowState* w, ByteSpan, ByteSpan title, bool test_mode) {
    HeadlessWindow* h = &g_headless;
    w->backend = h;
    w->test_mode = test_mode;
    h->width = 1040;
    h->height = 700;
    h->invalid = false;
    h->started = false;
    h->sync_pending = false;
    h->next_sync = 0;
    h->last_kind = 0;
    h->record = HeadlessRecord{};
    h->record.window_rect[0] = 120;
    h->record.window_rect[1] = 80;
    h->record.window_rect[2] = 120 + 1040;
    h->record.window_rect[3] = 80 + 700;
    text_clear(&h->record.title);
    text_append(&h->record.title, title);
    // Room for the largest window the program allows; committed as needed.
    if (h->pixels.base == nullptr && !reserve(&h->pixels, (u64)8192 * 8192 * 4)) return false;
    if (test_mode && h->sections) open_test_sections(w);
    return true;
}

static void fill_window_fields(const HeadlessWindow* h, Event* e) {
    e->window_left = h->record.window_rect[0];
    e->window_top = h->record.window_rect[1];
    e->window_right = h->record.window_rect[2];
    e->window_bottom = h->record.window_rect[3];
    e->screen_x = e->window_left + e->x;
    e->screen_y = e->window_top + e->y;
}

bool next_event(WindowState* w, Event* e) {
    HeadlessWindow* h = headless_of(w);
    if (h == nullptr || h->record.destroyed) return false;
    if (h->width != w->client_width || h->height != w->client_height) {
        w->client_width = h->width;
        w->client_height = h->height;
        *e = Event{};
        e->kind = EVENT_SIZE;
        e->x = h->width;
        e->y = h->height;
        fill_window_fields(h, e);
        h->last_kind = EVENT_SIZE;
        return true;
    }
    if (h->auto_sync && (h->sync_pending || !h->started)) {
        h->sync_pending = false;
        h->started = true;
        *e = Event{};
        e->kind = EVENT_SYNC;
        w->test_sync = ++h->next_sync;
        h->last_kind = EVENT_SYNC;
        return true;
    }
    if (h->invalid) {
        h->invalid = false;
        *e = Event{};
        e->kind = EVENT_PAINT;
        return true;
    }
    while (h->next < h->script.size) {
        u64 start = h->next;
        u64 end = start;
        while (end < h->script.size && h->script.data[end] != '\n') end++;
        h->next = end < h->script.size ? end + 1 : end;
        ByteSpan line = {h->script.data + start, end - start};
        h->line_number++;
        u64 verb_pos = 0;
        if (is(word(line, &verb_pos), "frame") && h->sink != nullptr) {
            // The frame checks of the Windows harness: here the framebuffer is
            // always the client size, drawn by the last paint.
            TextBuffer t;
            text_clear(&t);
            text_append(&t, "frame ok ");
            text_append_u64(&t, (u64)w->client_width);
            text_append(&t, "x");
            text_append_u64(&t, (u64)w->client_height);
            h->sink(text_span(&t), h->context);
            continue;
        }
        bool bad = false;
        bool unmarked = false;
        if (!headless_parse_event(line, e, &bad, &unmarked)) {
            if (bad) {
                // A line the script format does not know ends the run.
                h->bad_line = h->line_number;
                h->record.destroyed = 1;
                return false;
            }
            continue;
        }
        if (unmarked && w->test_mode) {
            // Real mouse input does not reach the program in test mode; the
            // sync that follows still reports the state.
            if (h->auto_sync) h->sync_pending = true;
            return next_event(w, e);
        }
        fill_window_fields(h, e);
        if (e->kind == EVENT_SIZE) {
            // The system resizes the window; the poll reports it.
            h->width = e->x;
            h->height = e->y;
            h->record.window_rect[2] = h->record.window_rect[0] + e->x;
            h->record.window_rect[3] = h->record.window_rect[1] + e->y;
            w->client_width = e->x;
            w->client_height = e->y;
        } else if (e->kind == EVENT_SYNC) {
            w->test_sync = e->key;
            e->key = 0;
        } else if (e->kind == EVENT_DROP) {
            u64 pos = 0;
            word(line, &pos);  // "drop"
            h->drop_count = 0;
            while (pos < line.size && h->drop_count < 64) {
                while (pos < line.size && space(line.data[pos])) pos++;
                u64 s = pos;
                u64 t = pos;
                while (t < line.size && !(line.data[t] == '|' && t > s && space(line.data[t - 1]))) t++;
                u64 stop = t;
                while (stop > s && space(line.data[stop - 1])) stop--;
                if (stop > s) {
                    h->drop_offsets[h->drop_count] = start + s;
                    h->drop_lengths[h->drop_count] = stop - s;
                    h->drop_count++;
                }
                pos = t < line.size ? t + 1 : t;
            }
            e->key = h->drop_count;
        }
        h->last_kind = e->kind;
        if (h->auto_sync && e->kind != EVENT_SYNC) h->sync_pending = true;
        return true;
    }
    return false;
}

Framebuffer framebuffer(WindowState* w) {
    HeadlessWindow* h = headless_of(w);
    Framebuffer fb = {nullptr, 0, 0};
    if (w->client_width <= 0 || w->client_height <= 0 || w->client_width > 8192 || w->client_height > 8192) return fb;
    u64 bytes = (u64)w->client_width * (u64)w->client_height * 4;
    if (!commit_to(&h->pixels, bytes)) return fb;
    fb.pixels = (u32*)h->pixels.base;
    fb.width = w->client_width;
    fb.height = w->client_height;
    w->dib_pixels = fb.pixels;
    w->dib_width = fb.width;
    w->dib_height = fb.height;
    return fb;
}

void present(WindowState* w, const DrawList*) {
    headless_of(w)->record.paints++;
    frame_header_blit(w, 0, 0, w->client_width, w->client_height, 0, 0, 0xCC0020);
}

bool drop_path(WindowState* w, u32 index, u8* buffer, u64 capacity, u64* length_out) {
    HeadlessWindow* h = headless_of(w);
    if (index >= h->drop_count || h->drop_lengths[index] > capacity) return false;
    for (u64 i = 0; i < h->drop_lengths[index]; i++) buffer[i] = h->script.data[h->drop_offsets[index] + i];
    *length_out = h->drop_lengths[index];
    return true;
}

void finish_drop(WindowState* w) {
    headless_of(w)->drop_count = 0;
}

void invalidate(WindowState* w) {
    headless_of(w)->invalid = true;
    headless_of(w)->record.invalidations++;
    log_op(headless_of(w), OP_INVALIDATE);
}

void minimise(WindowState* w) {
    headless_of(w)->record.minimised++;
    log_op(headless_of(w), OP_MINIMISE);
}

// Moves the window without logging: a move that is part of another operation.
static void place_window(HeadlessWindow* h, i32 left, i32 top, i32 right, i32 bottom) {
    h->record.window_rect[0] = left;
    h->record.window_rect[1] = top;
    h->record.window_rect[2] = right;
    h->record.window_rect[3] = bottom;
    h->width = right - left > 0 ? right - left : 0;
    h->height = bottom - top > 0 ? bottom - top : 0;
    h->invalid = true;
}

void set_maximised(WindowState* w, bool maximised) {
    HeadlessWindow* h = headless_of(w);
    i32* r = h->record.window_rect;
    if (maximised) {
        for (u32 i = 0; i < 4; i++) h->saved_rect[i] = r[i];
        // A 1280 x 900 monitor whose work area is the whole screen, as the
        // virtual screen the Windows harness runs on.
        place_window(h, 0, 0, 1280, 900);
    } else {
        place_window(h, h->saved_rect[0], h->saved_rect[1], h->saved_rect[2], h->saved_rect[3]);
    }
    h->record.maximised = maximised ? 1 : 0;
    log_op(h, maximised ? OP_MAXIMISE : OP_RESTORE);
}

void destroy(WindowState* w) {
    headless_of(w)->record.destroyed = 1;
    log_op(headless_of(w), OP_DESTROY);
}

void move_window(WindowState* w, i32 left, i32 top, i32 right, i32 bottom) {
    place_window(headless_of(w), left, top, right, bottom);
    log_op(headless_of(w), OP_MOVE);
}

void set_capture(WindowState* w, bool on) {
    headless_of(w)->record.captured = on ? 1 : 0;
    log_op(headless_of(w), on ? OP_CAPTURE : OP_RELEASE);
}

void set_title(WindowState* w, ByteSpan title) {
    text_clear(&headless_of(w)->record.title);
    text_append(&headless_of(w)->record.title, title);
    log_op(headless_of(w), OP_TITLE);
}

void set_cursor(WindowState* w, u32 cursor) {
    headless_of(w)->record.cursor = cursor;
}

void skip_paint(WindowState* w) {
    headless_of(w)->invalid = false;
}

// The test channel's sections under the same names as the Windows program's
// ("QuorbelState" and "QuorbelFrame" with the process id), so an outside
// reader can watch a headless run the same way; the screen is 1920 x 1080.
void open_test_sections(WindowState* w) {
    open_sized_test_sections(w, 1920, 1080);
}

void headless_remove_sections() {
    remove_test_sections(process_id());
}

void publish_state(WindowState* w, ByteSpan text) {
    HeadlessWindow* h = headless_of(w);
    write_state_section(w, text);
    if (h->auto_sync && h->last_kind != EVENT_SYNC) return;
    if (h->sink != nullptr) h->sink(text, h->context);
}

// No other window to find here: every start opens its own.
bool hand_over(ByteSpan, const ByteSpan*, u32) {
    return false;
}
