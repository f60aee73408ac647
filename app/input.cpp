// Input: key codes become commands through two fixed tables (one for the
// viewer and the browser, one for the save form's name field); the timer
// drives animations; a resize re-lays out and re-fits.
#include "app/input.h"

#include "app/app.h"

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
    {0x10053, CMD_SAVE_AS},        {0x30053, CMD_SAVE_AS},       {0x100008, CMD_FOLDER_UP},
    {0x10000D, CMD_OPEN_SELECTION}, {0x10001B, CMD_CANCEL},      {0x100026, CMD_PREVIOUS_ENTRY},
    {0x100028, CMD_NEXT_ENTRY},    {0x100021, CMD_PAGE_UP},      {0x100022, CMD_PAGE_DOWN},
    {0x100024, CMD_FIRST_ENTRY},   {0x100023, CMD_LAST_ENTRY},
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
    return look_up(k_keys, sizeof k_keys / sizeof k_keys[0], key);
}

u32 typed_char(u32 vk, u32 mods) {
    if (mods & (MOD_CTRL | MOD_ALT)) return 0;
    bool shift = (mods & MOD_SHIFT) != 0;
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

static void wheel(AppState* app, const Event* e) {
    i32 total = app->wheel_remainder + e->wheel;
    i32 notches = total / 120;
    app->wheel_remainder = total % 120;
    if (notches == 0) return;
    if (app->mode_flags & MODE_BROWSER) {
        scroll_list(app, -3 * (i64)notches);
    } else if (e->mods & MOD_SHIFT) {
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
    case EVENT_MOUSE_MOVE:
        // TODO: hover, cursors and drags arrive with the window's mouse handling.
        app->pointer_x = e->x;
        app->pointer_y = e->y;
        break;
    case EVENT_BUTTON_UP:
        if (app->drag_mode != DRAG_NONE) {
            app->drag_mode = DRAG_NONE;
            app->requests |= REQ_RELEASE | REQ_REPAINT;
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
