// The frame's interface as a draw list: filled rectangles (drawn here, into
// the framebuffer) and text items (drawn by the platform's present). Built
// from AppState and the last layout every frame; nothing is kept between
// frames but the list's capacity.
#include "app/app.h"
#include "app/main_loop.h"
#include "codec/image.h"

// ---- Colours ----------------------------------------------------------------

static constexpr u32 COLOUR_WINDOW = 0x252526;
static constexpr u32 COLOUR_BUTTON = 0x373737;
static constexpr u32 COLOUR_HOVER = 0x525252;
static constexpr u32 COLOUR_CLOSE_HOVER = 0xC42B1C;
static constexpr u32 COLOUR_AREA = 0x1E1E1E;  // active tab, empty image area, browser
static constexpr u32 COLOUR_CHECKER_A = 0x2A2A2A;
static constexpr u32 COLOUR_CHECKER_B = 0x363636;
static constexpr u32 COLOUR_TEXT = 0xE8E8E8;
static constexpr u32 COLOUR_SECONDARY = 0xA0A0A0;
static constexpr u32 COLOUR_STATUS = 0xC8C8C8;
static constexpr u32 COLOUR_ERROR = 0xF46B6B;
static constexpr u32 COLOUR_OUTLINE = 0x444444;
static constexpr u32 COLOUR_SELECTION = 0x304050;
static constexpr u32 COLOUR_TRACK = 0x2A2A2A;
static constexpr u32 COLOUR_THUMB = 0x4E4E4E;
static constexpr u32 COLOUR_THUMB_DRAGGED = 0x6A6A6A;

// ---- Draw list --------------------------------------------------------------

void draw_list_clear(DrawList* list) {
    list->rect_count = 0;
    list->text_count = 0;
    list->pool_used = 0;
}

void add_rect(DrawList* list, i32 x0, i32 y0, i32 x1, i32 y1, u32 colour) {
    if (list->rect_count >= DRAW_RECT_CAPACITY || x1 <= x0 || y1 <= y0) return;
    list->rects[list->rect_count++] = DrawRect{x0, y0, x1, y1, colour, 0, 0, 0, RECT_SOLID};
}

void add_checker(DrawList* list, i32 x0, i32 y0, i32 x1, i32 y1, u32 a, u32 b, i32 phase_x, i32 phase_y) {
    if (list->rect_count >= DRAW_RECT_CAPACITY || x1 <= x0 || y1 <= y0) return;
    list->rects[list->rect_count++] = DrawRect{x0, y0, x1, y1, a, b, phase_x, phase_y, RECT_CHECKER};
}

void add_text(DrawList* list, i32 x0, i32 y0, i32 x1, i32 y1, u32 colour, u8 align, ByteSpan text) {
    if (list->text_count >= DRAW_TEXT_CAPACITY || text.size == 0 ||
        text.size > DRAW_TEXT_POOL - list->pool_used) {
        return;
    }
    for (u64 i = 0; i < text.size; i++) list->pool[list->pool_used + i] = text.data[i];
    list->texts[list->text_count++] = DrawTextItem{x0, y0, x1, y1, colour, align, list->pool_used, (u32)text.size};
    list->pool_used += (u32)text.size;
}

// A 1-pixel outline: top row, bottom row, and the columns between them.
static void add_outline(DrawList* list, i32 x0, i32 y0, i32 x1, i32 y1, u32 colour) {
    add_rect(list, x0, y0, x1, y0 + 1, colour);
    add_rect(list, x0, y1 - 1, x1, y1, colour);
    add_rect(list, x0, y0 + 1, x0 + 1, y1 - 1, colour);
    add_rect(list, x1 - 1, y0 + 1, x1, y1 - 1, colour);
}

// An "x" of 1-pixel squares along both diagonals through (mx, my).
static void add_cross(DrawList* list, i32 mx, i32 my, i32 radius, u32 colour) {
    for (i32 k = -radius; k <= radius; k++) {
        add_rect(list, mx + k, my + k, mx + k + 1, my + k + 1, colour);
        add_rect(list, mx + k, my - k, mx + k + 1, my - k + 1, colour);
    }
}

// ---- Status texts -----------------------------------------------------------

void format_size(TextBuffer* out, u64 bytes) {
    if (bytes < 1024) {
        text_append_u64(out, bytes);
        text_append(out, " B");
        return;
    }
    // b / 2^9 is tenths of a KiB (bytes * 10 / 1024), b / 2^19 tenths of a MiB.
    u64 b = bytes * 5;
    bool kib = b < 0x500000;
    u64 v = kib ? b >> 9 : b >> 19;
    text_append_u64(out, v / 10);
    text_append(out, ".");
    text_append_u64(out, v % 10);
    text_append(out, kib ? " KiB" : " MiB");
}

// ---- Building the frame -----------------------------------------------------

static ByteSpan button_label(const AppState* app, u32 command) {
    switch (command) {
    case CMD_OPEN: return lit("Open");
    case CMD_NEW_TAB: return lit("+");
    case CMD_FOLDER_UP: return lit("Up");
    case CMD_OPEN_SELECTION: return lit("Open");
    case CMD_SAVE_AS: return lit("Save as");
    case CMD_SAVE: return lit("Save");
    case CMD_QUALITY_DOWN: return lit("-");
    case CMD_QUALITY_UP: return lit("+");
    case CMD_CANCEL: return lit("Cancel");
    case CMD_TOGGLE_SUBSAMPLING: return app->subsampling ? lit("4:4:4") : lit("4:2:0");
    case CMD_TOGGLE_PROGRESSIVE: return app->progressive ? lit("Progressive") : lit("Baseline");
    default: return ByteSpan{nullptr, 0};
    }
}

static void draw_button(const AppState* app, DrawList* list, const HitRegion& r) {
    u32 c = r.command;
    bool window_button = c == CMD_QUIT || c == CMD_MINIMISE || c == CMD_MAXIMISE;
    u32 fill = window_button ? COLOUR_WINDOW : COLOUR_BUTTON;
    if (app->hovered == c) fill = c == CMD_QUIT ? COLOUR_CLOSE_HOVER : COLOUR_HOVER;
    add_rect(list, r.x0, r.y0, r.x1, r.y1, fill);
    i32 mx = r.x0 + (r.x1 - r.x0) / 2;
    i32 my = r.y0 + (r.y1 - r.y0) / 2;
    if (c == CMD_MINIMISE) {
        add_rect(list, mx - 5, my, mx + 5, my + 1, COLOUR_TEXT);
    } else if (c == CMD_QUIT) {
        add_cross(list, mx, my, 5, COLOUR_TEXT);
    } else if (c == CMD_MAXIMISE) {
        if (app->mode_flags & MODE_MAXIMISED) {
            add_outline(list, mx - 5, my - 3, mx + 3, my + 5, COLOUR_TEXT);
            add_outline(list, mx - 3, my - 5, mx + 5, my + 3, COLOUR_TEXT);
        } else {
            add_outline(list, mx - 5, my - 5, mx + 5, my + 5, COLOUR_TEXT);
        }
    }
    add_text(list, r.x0, r.y0, r.x1, r.y1, COLOUR_TEXT, ALIGN_CENTRE, button_label(app, c));
}

static u32 tab_fill(const AppState* app, u32 position) {
    return position < app->tab_count && app->tab_order[position] == app->active ? COLOUR_AREA : COLOUR_BUTTON;
}

// (c x zoom) >> 32 for a 16.16 image coordinate and a 16.16 zoom, without
// the 64-bit product: c reaches 2^47 for the widest images and zoom 2^21.
// Splitting c = hi x 2^16 + lo keeps every partial product below 2^53, and
// the nested floors equal the single one.
static i64 screen_offset(i64 c, u32 zoom) {
    i64 hi = c >> 16;
    i64 lo = c & 0xFFFF;
    return (hi * (i64)zoom + ((lo * (i64)zoom) >> 16)) >> 16;
}

static void draw_image_area(const AppState* app, DrawList* list) {
    const Rect& r = app->image_rect;
    u32 s = app->active;
    if (s == NO_SLOT) {
        add_rect(list, r.x0, r.y0, r.x1, r.y1, COLOUR_AREA);
        add_text(list, r.x0, r.y0, r.x1, r.y1, COLOUR_SECONDARY, ALIGN_CENTRE,
                 lit("Open an image with Ctrl+O or the Open button, or drop files here."));
        return;
    }
    // The squares move with the image. Only the phase modulo 32 matters, so
    // it wraps to 32 bits.
    i32 phase_x = (i32)(u32)(screen_offset(app->cx[s], app->zoom[s]) - (r.x1 - r.x0) / 2);
    i32 phase_y = (i32)(u32)(screen_offset(app->cy[s], app->zoom[s]) - (r.y1 - r.y0) / 2);
    add_checker(list, r.x0, r.y0, r.x1, r.y1, COLOUR_CHECKER_A, COLOUR_CHECKER_B, phase_x, phase_y);
    if (!bit(app->no_pixels, s)) return;
    i32 x0 = r.x0 + (r.x1 - r.x0 - 420) / 2;
    i32 y0 = r.y0 + (r.y1 - r.y0 - 84) / 2;
    i32 x1 = x0 + 420;
    i32 y1 = y0 + 84;
    add_rect(list, x0, y0, x1, y1, COLOUR_WINDOW);
    add_outline(list, x0, y0, x1, y1, COLOUR_OUTLINE);
    add_text(list, x0 + 6, y0, x1 - 6, y0 + 42, COLOUR_TEXT, ALIGN_CENTRE, slot_name(app, s));
    TextBuffer t;
    text_clear(&t);
    text_append(&t, image_format_name(app->format[s]));
    u32 e = app->error[s];
    if (e == 0) {
        text_append(&t, ": no decoder yet");
    } else {
        text_append(&t, ": ");
        text_append(&t, codec_error_name(e >= 2 && e <= 7 ? e : 0));
    }
    add_text(list, x0 + 6, y0 + 42, x1 - 6, y1, COLOUR_SECONDARY, ALIGN_CENTRE, text_span(&t));
}

static void draw_browser(const AppState* app, DrawList* list) {
    i32 W = app->client_width;
    i32 top = app->browser_header_top;
    ByteSpan folder = {app->folder, app->folder_length};
    add_text(list, 12, top, W - 12, top + 26, COLOUR_SECONDARY, ALIGN_LEFT,
             folder.size == 0 ? lit("This computer") : folder);
    if (app->mode_flags & MODE_NAME_ENTRY) {
        i32 n = app->name_top;
        i32 q = app->quality_top;
        add_text(list, 12, n, 72, n + 26, COLOUR_SECONDARY, ALIGN_LEFT, lit("Name"));
        add_rect(list, 72, n, W - 12, n + 26, COLOUR_BUTTON);
        TextBuffer t;
        text_clear(&t);
        text_append(&t, ByteSpan{(u8*)app->save_name, app->save_name_length});
        text_append(&t, "_");
        add_text(list, 78, n, W - 18, n + 26, COLOUR_TEXT, ALIGN_LEFT, text_span(&t));
        text_clear(&t);
        text_append(&t, "Quality ");
        text_append_u64(&t, app->quality);
        add_text(list, 42, q, 162, q + 26, COLOUR_TEXT, ALIGN_CENTRE, text_span(&t));
    }
    const Rect& l = app->list_rect;
    u32 rows = app->entry_count > app->first_row ? app->entry_count - app->first_row : 0;
    if (rows > app->visible_rows) rows = app->visible_rows;
    for (u32 r = 0; r < rows; r++) {
        u32 entry = app->first_row + r;
        i32 row_top = l.y0 + 24 * (i32)r;
        if (entry == app->selected) add_rect(list, l.x0, row_top, l.x1, row_top + 24, COLOUR_SELECTION);
        const FolderEntry* e = &app->listing.entries[entry];
        TextBuffer t;
        text_clear(&t);
        text_append(&t, entry_name(app, entry));
        if (entry_is_folder(e)) text_append(&t, "\\");
        add_text(list, l.x0 + 6, row_top, l.x1 - 106, row_top + 24, COLOUR_TEXT, ALIGN_LEFT, text_span(&t));
        if (!entry_is_folder(e)) {
            text_clear(&t);
            format_size(&t, e->size);
            add_text(list, l.x1 - 100, row_top, l.x1 - 6, row_top + 24, COLOUR_SECONDARY, ALIGN_RIGHT, text_span(&t));
        }
    }
    i32 x = app->scroll_x;
    add_rect(list, x, l.y0, x + 12, l.y1, COLOUR_TRACK);
    i32 thumb_top = 0;
    i32 length = 0;
    if (browser_thumb(app, &thumb_top, &length)) {
        add_rect(list, x + 2, l.y0 + thumb_top, x + 10, l.y0 + thumb_top + length,
                 app->drag_mode == DRAG_THUMB ? COLOUR_THUMB_DRAGGED : COLOUR_THUMB);
    }
}

bool browser_thumb(const AppState* app, i32* top_out, i32* length_out) {
    i64 T = app->list_rect.y1 - app->list_rect.y0;
    i64 N = app->entry_count;
    i64 R = app->visible_rows;
    if (!(R < N && R != 0 && T > 0)) return false;
    i64 L = T * R / N;
    if (L < 24) L = 24;
    if (L > T) L = T;
    if (L == 0 || L >= T) return false;
    i64 first = app->first_row < N - R ? app->first_row : N - R;
    *top_out = (i32)((T - L) * first / (N - R));
    *length_out = (i32)L;
    return true;
}

void build_frame_ui(AppState* app, DrawList* list) {
    if (app->mode_flags & MODE_LAYOUT_STALE) layout(app);
    draw_list_clear(list);
    i32 W = app->client_width;
    i32 H = app->client_height;
    add_rect(list, 0, 0, W, H, COLOUR_WINDOW);
    // The status and message texts go in first: when a long listing or many
    // tabs fill the text list, list rows and tab labels are the ones dropped.
    // Their boxes overlap no other text, so the order changes no pixel.
    TextBuffer status;
    status_line(app, &status);
    i32 top = app->status_top + 2;
    add_text(list, 12, top, W - 12, top + 26, COLOUR_STATUS, ALIGN_RIGHT, text_span(&status));
    i32 message_right = W - 12 - 8 * (i32)status.length;
    add_text(list, 12, top, message_right, top + 26, (app->mode_flags & MODE_ERROR) ? COLOUR_ERROR : COLOUR_STATUS,
             ALIGN_LEFT, text_span(&app->message));
    bool browser = (app->mode_flags & MODE_BROWSER) != 0;
    // The browser's background goes first: its buttons lie inside the image
    // rectangle and must stay visible over it.
    const Rect& r = app->image_rect;
    if (browser) add_rect(list, r.x0, r.y0, r.x1, r.y1, COLOUR_AREA);
    for (u32 i = 0; i < app->region_count; i++) {
        const HitRegion& h = app->regions[i];
        u32 c = h.command;
        if (c >= CMD_ACTIVATE_TAB && c < CMD_ACTIVATE_TAB + SLOT_COUNT) {
            u32 p = c - CMD_ACTIVATE_TAB;
            add_rect(list, h.x0, h.y0, h.x1, h.y1, tab_fill(app, p));
            if (p < app->tab_count) {
                add_text(list, h.x0 + 6, h.y0, h.x1 - 24, h.y1, COLOUR_TEXT, ALIGN_LEFT,
                         slot_name(app, app->tab_order[p]));
            }
        } else if (c >= CMD_CLOSE_AT && c < CMD_CLOSE_AT + SLOT_COUNT) {
            u32 fill = app->hovered == c ? COLOUR_HOVER : tab_fill(app, c - CMD_CLOSE_AT);
            add_rect(list, h.x0, h.y0, h.x1, h.y1, fill);
            add_cross(list, h.x0 + (h.x1 - h.x0) / 2, h.y0 + (h.y1 - h.y0) / 2, 4, COLOUR_TEXT);
        } else {
            draw_button(app, list, h);
        }
    }
    if (browser) {
        draw_browser(app, list);
    } else {
        draw_image_area(app, list);
    }
}

// One colour over count pixels, sixteen bytes a store where it can (the
// compiler's generic vectors: SSE2 at the baseline); the pixel-by-pixel
// loops took a few milliseconds of every 1040 x 700 frame.
static void fill_run(u32* p, i32 count, u32 colour) {
    typedef u32 Quad __attribute__((vector_size(16), aligned(4)));
    const Quad quad = {colour, colour, colour, colour};
    i32 i = 0;
    for (; i + 4 <= count; i += 4) *(Quad*)(p + i) = quad;
    for (; i < count; i++) p[i] = colour;
}

void draw_rects(const DrawList* list, u32* pixels, u64 stride, i32 width, i32 height) {
    for (u32 i = 0; i < list->rect_count; i++) {
        const DrawRect& d = list->rects[i];
        i32 x0 = d.x0 < 0 ? 0 : d.x0;
        i32 y0 = d.y0 < 0 ? 0 : d.y0;
        i32 x1 = d.x1 > width ? width : d.x1;
        i32 y1 = d.y1 > height ? height : d.y1;
        if (x1 <= x0 || y1 <= y0) continue;
        for (i32 y = y0; y < y1; y++) {
            u32* row = pixels + (u64)y * stride;
            if (d.kind == RECT_CHECKER) {
                // Squares of 16: bit 4 of px ^ py changes only where px
                // reaches a multiple of 16, so each run up to there is one
                // colour. Unsigned sums: a phase near the 32-bit limits
                // wraps without changing bit 4 (2^32 is a multiple of 16).
                u32 py = (u32)y - (u32)d.y0 + (u32)d.phase_y;
                for (i32 x = x0; x < x1;) {
                    u32 px = (u32)x - (u32)d.x0 + (u32)d.phase_x;
                    i32 run = (i32)(16 - (px & 15));
                    if (run > x1 - x) run = x1 - x;
                    bool odd = (((px ^ py) >> 4) & 1) != 0;
                    fill_run(row + x, run, odd ? d.colour2 : d.colour);
                    x += run;
                }
            } else {
                fill_run(row + x0, x1 - x0, d.colour);
            }
        }
    }
}
