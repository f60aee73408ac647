// Input: key codes become commands through two fixed tables (one for the
// viewer and the browser, one for the save form's name field); clicks become
// commands through the hit regions of the last layout; drags, the wheel,
// hovering and the timer act on the view, the window rectangle, the browser
// list and the compare divider directly. The window has no system frame, so
// moving and resizing it by its edges and caption band happen here too.
#include "app/input.h"

#include "app/app.h"
#include "app/main_loop.h"

struct KeyBinding {
    u32 key;  // virtual key | mods << 16 | 0x100000 with the browser shown
    u32 command;
};

static const KeyBinding k_keys[] = {
    {0x1004F, CMD_OPEN},           {0x10054, CMD_OPEN},          {0x10057, CMD_CLOSE_TAB},
    {0x10009, CMD_NEXT_TAB},       {0x10022, CMD_NEXT_TAB},      {0x30009, CMD_PREVIOUS_TAB},
    {0x10021, CMD_PREVIOUS_TAB},   {0x30021, CMD_MOVE_TAB_LEFT}, {0x30022, CMD_MOVE_TAB_RIGHT},
    {0x40073, CMD_QUIT},           {0x140073, CMD_QUIT},         {0x30, CMD_FIT},
    {0x31, CMD_ACTUAL_SIZE},       {0xBB, CMD_ZOOM_IN},          {0x200BB, CMD_ZOOM_IN},
    {0x6B, CMD_ZOOM_IN},           {0xBD, CMD_ZOOM_OUT},         {0x6D, CMD_ZOOM_OUT},
    {0x25, CMD_PAN_LEFT},          {0x27, CMD_PAN_RIGHT},        {0x26, CMD_PAN_UP},
    {0x28, CMD_PAN_DOWN},          {0xBE, CMD_NEXT_FRAME},       {0xBC, CMD_PREVIOUS_FRAME},
    {0x20, CMD_PLAY_PAUSE},        {0x43, CMD_COMPARE},          {0x4D, CMD_COMPARE_MODE},
    {0x52, CMD_TURN_CW},           {0x20052, CMD_TURN_CCW},      {0x48, CMD_FLIP},
    {0x10053, CMD_SAVE_AS},        {0x30053, CMD_SAVE_AS},       {0x100008, CMD_FOLDER_UP},
    {0x10000D, CMD_OPEN_SELECTION}, {0x10001B, CMD_CANCEL},      {0x100026, CMD_PREVIOUS_ENTRY},
    {0x100028, CMD_NEXT_ENTRY},    {0x100021, CMD_PAGE_UP},      {0x100022, CMD_PAGE_DOWN},
    {0x100024, CMD_FIRST_ENTRY},   {0x100023, CMD_LAST_ENTRY},
};

// PageDown, PageUp, Home and End with the browser hidden step through the
// active document's folder (with the browser shown they move its selection).
static const KeyBinding k_folder_keys[] = {
    {0x22, CMD_NEXT_IMAGE}, {0x21, CMD_PREVIOUS_IMAGE}, {0x24, CMD_FIRST_IMAGE}, {0x23, CMD_LAST_IMAGE},
};

static const KeyBinding k_name_keys[] = {
    {13, CMD_SAVE},          {8, CMD_ERASE},           {27, CMD_CANCEL},
    {37, CMD_FOLDER_UP},     {39, CMD_OPEN_SELECTION}, {38, CMD_PREVIOUS_ENTRY},
    {40, CMD_NEXT_ENTRY},    {33, CMD_PAGE_UP},        {34, CMD_PAGE_DOWN},
    {36, CMD_FIRST_ENTRY},   {35, CMD_LAST_ENTRY},     {116, CMD_TOGGLE_SUBSAMPLING},
    {117, CMD_TOGGLE_PROGRESSIVE}, {118, CMD_QUALITY_DOWN}, {119, CMD_QUALITY_UP},
    {0x40073, CMD_QUIT},
};

static u32 look_up(const KeyBinding* table, u32 count, u32 key) {
    for (u32 i = 0; i < count; i++) {
        if (table[i].key == key) return table[i].command;
    }
    return CMD_NONE;
}

u32 key_command(u32 vk, u32 mods, bool browser_shown) {
    u32 key = vk + ((mods & 7) << 16) + (browser_shown ? 0x100000 : 0);
    u32 c = look_up(k_keys, sizeof k_keys / sizeof k_keys[0], key);
    if (c == CMD_NONE) c = look_up(k_folder_keys, sizeof k_folder_keys / sizeof k_folder_keys[0], key);
    return c;
}

u32 typed_char(u32 vk, u32 mods) {
    if (mods & (MODIFIER_CTRL | MODIFIER_ALT)) return 0;
    bool shift = (mods & MODIFIER_SHIFT) != 0;
    if (vk >= 0x41 && vk <= 0x5A) return shift ? vk : vk + 32;
    if (vk == 0xBD) return shift ? '_' : '-';
    if (shift) return 0;
    if (vk >= 0x30 && vk <= 0x39) return vk;
    if (vk >= 0x60 && vk <= 0x69) return '0' + (vk - 0x60);
    if (vk == 0xBE) return '.';
    if (vk == 0x20) return ' ';
    return 0;
}

u32 name_key_command(u32 vk, u32 mods) {
    u32 c = look_up(k_name_keys, sizeof k_name_keys / sizeof k_name_keys[0], vk + ((mods & 7) << 16));
    if (c != CMD_NONE) return c;
    u32 ch = typed_char(vk, mods);
    return ch == 0 ? CMD_NONE : CMD_TYPE_CHAR + ch;
}

// ---- Pointer helpers --------------------------------------------------------

u32 hit_test(const AppState* app, i32 x, i32 y) {
    for (u32 i = app->region_count; i > 0; i--) {
        const HitRegion& r = app->regions[i - 1];
        if (x >= r.x0 && x < r.x1 && y >= r.y0 && y < r.y1) return r.command;
    }
    return CMD_NONE;
}

u32 edge_code(i32 width, i32 height, i32 x, i32 y) {
    bool near_x = x < 4 || x >= width - 4;
    bool near_y = y < 4 || y >= height - 4;
    // Near one edge the zones of the two crossing edges widen to 16 pixels,
    // which makes the corners 16 pixels long.
    i32 zone_y = near_x ? 16 : 4;
    i32 zone_x = near_y ? 16 : 4;
    u32 code = 0;
    if (x < zone_x) code |= EDGE_LEFT;
    if (x >= width - zone_x) code |= EDGE_RIGHT;
    if (y < zone_y) code |= EDGE_TOP;
    if (y >= height - zone_y) code |= EDGE_BOTTOM;
    return code;
}

static bool maximised(const AppState* app) {
    return (app->mode_flags & MODE_MAXIMISED) != 0;
}

static bool in_rect(const Rect& r, i32 x, i32 y) {
    return x >= r.x0 && x < r.x1 && y >= r.y0 && y < r.y1;
}

static i32 divider_position(const AppState* app) {
    const Rect& r = app->image_rect;
    if (app->compare_mode == 3) return r.y0 + (i32)(((i64)app->divider * (r.y1 - r.y0)) >> 16);
    return r.x0 + (i32)(((i64)app->divider * (r.x1 - r.x0)) >> 16);
}

bool on_divider(const AppState* app, i32 x, i32 y) {
    if (!compare_shown(app) || app->compare_mode < 1 || app->compare_mode > 3) return false;
    if ((app->mode_flags & MODE_BROWSER) || !in_rect(app->image_rect, x, y)) return false;
    i32 p = app->compare_mode == 3 ? y : x;
    i32 d = divider_position(app) - p;
    return d >= -6 && d <= 6;
}

static void set_divider(AppState* app, i32 x, i32 y) {
    const Rect& r = app->image_rect;
    bool horizontal = app->compare_mode == 3;
    i64 p = horizontal ? y : x;
    i64 start = horizontal ? r.y0 : r.x0;
    i64 size = horizontal ? r.y1 - r.y0 : r.x1 - r.x0;
    if (size <= 0) return;
    i64 v = (p - start) * 65536;
    // Rounded up for a pointer right of the start, toward zero otherwise.
    v = v >= 0 ? (v + size - 1) / size : v / size;
    app->divider = (u32)(v < 0 ? 0 : v > 65536 ? 65536 : v);
    app->requests |= REQ_REPAINT;
}

static u32 cursor_for(const AppState* app, i32 x, i32 y) {
    u32 edge = maximised(app) ? 0 : edge_code(app->client_width, app->client_height, x, y);
    if (edge != 0) {
        bool l = edge & EDGE_LEFT, r = edge & EDGE_RIGHT, t = edge & EDGE_TOP, b = edge & EDGE_BOTTOM;
        if ((l && t) || (r && b)) return CURSOR_NWSE;
        if ((l && b) || (r && t)) return CURSOR_NESW;
        if (l || r) return CURSOR_WE;
        return CURSOR_NS;
    }
    if (app->hovered != CMD_NONE) return CURSOR_HAND;
    if (on_divider(app, x, y)) return app->compare_mode == 3 ? CURSOR_NS : CURSOR_WE;
    return CURSOR_ARROW;
}

// ---- Drags ------------------------------------------------------------------
// Whatever ends a drag gives the mouse capture back: the button-up that
// follows finds no drag and would not release it.
void end_drag(AppState* app) {
    if (app->drag_mode == DRAG_NONE) return;
    app->drag_mode = DRAG_NONE;
    app->requests |= REQ_RELEASE;
}

static void start_window_drag(AppState* app, const Event* e, u32 edge) {
    app->drag_mode = DRAG_WINDOW;
    app->drag_edge = edge;
    app->drag_anchor_x = e->screen_x;
    app->drag_anchor_y = e->screen_y;
    app->drag_rect[0] = e->window_left;
    app->drag_rect[1] = e->window_top;
    app->drag_rect[2] = e->window_right;
    app->drag_rect[3] = e->window_bottom;
    app->requests |= REQ_CAPTURE;
}

static void thumb_step(AppState* app, i32 y) {
    i32 top = 0;
    i32 length = 0;
    if (!browser_thumb(app, &top, &length)) return;
    i64 T = app->list_rect.y1 - app->list_rect.y0;
    i64 N = app->entry_count;
    i64 R = app->visible_rows;
    i64 along = y - app->list_rect.y0 - app->thumb_grab;
    if (along < 0) along = 0;
    if (along > T - length) along = T - length;
    app->first_row = (u32)(along * (N - R) / (T - length));
    relayout(app);
}

static void start_thumb_drag(AppState* app, i32 y) {
    i32 top = 0;
    i32 length = 0;
    if (!browser_thumb(app, &top, &length)) return;
    i32 grab = y - app->list_rect.y0 - top;
    app->thumb_grab = grab >= 0 && grab < length ? grab : length / 2;
    app->drag_mode = DRAG_THUMB;
    app->requests |= REQ_CAPTURE;
    thumb_step(app, y);
}

static void continue_drag(AppState* app, const Event* e) {
    switch (app->drag_mode) {
    case DRAG_PAN:
        pan_active(app, e->x - app->drag_anchor_x, e->y - app->drag_anchor_y);
        app->drag_anchor_x = e->x;
        app->drag_anchor_y = e->y;
        app->requests |= REQ_REPAINT;
        break;
    case DRAG_TAB: {
        u32 c = hit_test(app, e->x, e->y);
        if (c >= CMD_ACTIVATE_TAB && c < CMD_ACTIVATE_TAB + SLOT_COUNT) {
            u32 p = c - CMD_ACTIVATE_TAB;
            if (p < app->tab_count && p != app->drag_tab) {
                move_tab(app, app->drag_tab, p);
                app->drag_tab = p;
            }
        }
        break;
    }
    case DRAG_WINDOW: {
        i32 dx = e->screen_x - app->drag_anchor_x;
        i32 dy = e->screen_y - app->drag_anchor_y;
        const i32* s = app->drag_rect;
        i32 left = s[0], top = s[1], right = s[2], bottom = s[3];
        u32 edge = app->drag_edge;
        if (edge == EDGE_MOVE) {
            left += dx;
            top += dy;
            right += dx;
            bottom += dy;
        } else {
            if (edge & EDGE_LEFT) left = s[0] + dx < s[2] - 640 ? s[0] + dx : s[2] - 640;
            if (edge & EDGE_RIGHT) right = s[2] + dx > left + 640 ? s[2] + dx : left + 640;
            if (edge & EDGE_TOP) top = s[1] + dy < s[3] - 320 ? s[1] + dy : s[3] - 320;
            if (edge & EDGE_BOTTOM) bottom = s[3] + dy > top + 320 ? s[3] + dy : top + 320;
        }
        app->window_rect[0] = left;
        app->window_rect[1] = top;
        app->window_rect[2] = right;
        app->window_rect[3] = bottom;
        app->requests |= REQ_MOVE;
        break;
    }
    case DRAG_THUMB: thumb_step(app, e->y); break;
    case DRAG_DIVIDER: set_divider(app, e->x, e->y); break;
    default: break;
    }
}

// ---- Events -----------------------------------------------------------------

static void pointer_move(AppState* app, const Event* e) {
    app->pointer_x = e->x;
    app->pointer_y = e->y;
    if (app->drag_mode != DRAG_NONE) {
        continue_drag(app, e);
        return;
    }
    u32 c = hit_test(app, e->x, e->y);
    if (c != app->hovered) {
        app->hovered = c;
        app->requests |= REQ_REPAINT;
    }
    app->cursor = cursor_for(app, e->x, e->y);
    if (app->active != NO_SLOT && in_rect(app->image_rect, e->x, e->y)) app->requests |= REQ_REPAINT;
}

static void button_down(AppState* app, const Event* e) {
    bool double_click = e->kind == EVENT_DOUBLE_CLICK;
    i32 x = e->x;
    i32 y = e->y;
    app->pointer_x = x;
    app->pointer_y = y;
    if (!maximised(app)) {
        u32 edge = edge_code(app->client_width, app->client_height, x, y);
        if (edge != 0) {
            start_window_drag(app, e, edge);
            return;
        }
    }
    u32 c = hit_test(app, x, y);
    bool tab = c >= CMD_ACTIVATE_TAB && c < CMD_ACTIVATE_TAB + SLOT_COUNT;
    if (tab && !double_click && (e->mods & MODIFIER_CTRL) && app->active != NO_SLOT &&
        c - CMD_ACTIVATE_TAB < app->tab_count) {
        compare_with(app, app->tab_order[c - CMD_ACTIVATE_TAB]);
        return;
    }
    if (tab && !double_click) {
        execute(app, c);
        app->drag_mode = DRAG_TAB;
        app->drag_tab = c - CMD_ACTIVATE_TAB;
        app->requests |= REQ_CAPTURE;
        return;
    }
    if (c != CMD_NONE) {
        execute(app, c);
        return;
    }
    bool browser = (app->mode_flags & MODE_BROWSER) != 0;
    const Rect& l = app->list_rect;
    if (browser && in_rect(l, x, y)) {
        u32 row = app->first_row + (u32)((y - l.y0) / 24);
        if (row < app->entry_count) {
            select_entry(app, row);
            if (double_click) open_entry(app, row);
        }
        return;
    }
    if (browser && x >= app->scroll_x && x < app->scroll_x + 12 && y >= l.y0 && y < l.y1) {
        start_thumb_drag(app, y);
        return;
    }
    if (!double_click && on_divider(app, x, y)) {
        app->drag_mode = DRAG_DIVIDER;
        app->requests |= REQ_CAPTURE;
        set_divider(app, x, y);
        return;
    }
    if (!browser && app->active != NO_SLOT && in_rect(app->image_rect, x, y)) {
        if (double_click) {
            execute(app, CMD_FIT);
        } else {
            app->drag_mode = DRAG_PAN;
            app->drag_anchor_x = x;
            app->drag_anchor_y = y;
            app->requests |= REQ_CAPTURE;
        }
        return;
    }
    if (y <= 37) {
        if (double_click) {
            execute(app, CMD_MAXIMISE);
        } else if (!maximised(app)) {
            start_window_drag(app, e, EDGE_MOVE);
        }
    }
}

static void wheel(AppState* app, const Event* e) {
    i32 total = app->wheel_remainder + e->wheel;
    i32 notches = total / 120;
    app->wheel_remainder = total % 120;
    if (notches == 0) return;
    if (app->mode_flags & MODE_BROWSER) {
        scroll_list(app, -3 * (i64)notches);
    } else if (e->mods & MODIFIER_SHIFT) {
        pan_active(app, 64 * notches, 0);
        app->requests |= REQ_REPAINT;
    } else {
        i32 count = notches > 0 ? notches : -notches;
        for (i32 i = 0; i < count; i++) zoom_active_at(app, e->x, e->y, notches > 0);
        app->requests |= REQ_REPAINT;
    }
}

void handle_input(AppState* app, const Event* e) {
    if (app->mode_flags & MODE_LAYOUT_STALE) layout(app);
    switch (e->kind) {
    case EVENT_SIZE:
        app->client_width = e->x;
        app->client_height = e->y;
        layout(app);
        if (app->active != NO_SLOT) refit_if_fit(app, app->active);
        app->requests |= REQ_REPAINT;
        break;
    case EVENT_MOUSE_MOVE: pointer_move(app, e); break;
    case EVENT_BUTTON_DOWN:
    case EVENT_DOUBLE_CLICK: button_down(app, e); break;
    case EVENT_BUTTON_UP:
        if (app->drag_mode != DRAG_NONE) {
            end_drag(app);
            app->requests |= REQ_REPAINT;
        }
        break;
    case EVENT_WHEEL: wheel(app, e); break;
    case EVENT_KEY: {
        u32 c = key_command(e->key, e->mods, (app->mode_flags & MODE_BROWSER) != 0);
        if (app->mode_flags & MODE_NAME_ENTRY) c = name_key_command(e->key, e->mods);
        execute(app, c);
        break;
    }
    case EVENT_LEAVE:
        app->pointer_x = -1;
        app->pointer_y = -1;
        app->hovered = 0;
        app->cursor = 0;
        app->requests |= REQ_REPAINT;
        break;
    case EVENT_TIMER: animation_tick(app, (u32)e->x); break;
    default: break;
    }
    if (app->mode_flags & MODE_LAYOUT_STALE) layout(app);
}
