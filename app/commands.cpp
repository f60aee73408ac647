// The command dispatcher and the animation clock. Keys and clicks resolve to
// the same integer commands; a mode filter first drops the commands that do
// not apply while the open browser is shown (or is not).
#include "app/app.h"
#include "codec/orientation.h"

static bool active_animates(const AppState* app) {
    u32 s = app->active;
    return s != NO_SLOT && bit(app->has_pixels, s) && app->frame_count[s] >= 2;
}

static void set_frame(AppState* app, u32 slot, u32 frame) {
    app->frame[slot] = frame;
    app->jobs[slot].requested_frame = frame;
    app->changed |= slot_bit(slot);
    relayout(app);
}

// Delay of a frame in ms: hundredths of a second, at least 2.
static u32 frame_delay_ms(AppState* app, u32 slot, u32 frame) {
    u32 d = frame_delay(&app->jobs[slot], frame);
    if (d < 2) d = 2;
    return d * 10;
}

static void step_frame(AppState* app, i64 step) {
    if (!active_animates(app)) return;
    u32 s = app->active;
    u32 n = app->frame_count[s];
    set_frame(app, s, (u32)(((i64)app->frame[s] + n + step) % n));
}

static void play_or_pause(AppState* app) {
    if (!active_animates(app)) return;
    u32 s = app->active;
    u32 b = slot_bit(s);
    u32 plays = app->jobs[s].info.play_count;
    if (!bit(app->playing, s) && plays != 0 && app->loops_left[s] == 0) {
        app->loops_left[s] = plays;
        set_frame(app, s, 0);
    }
    app->playing ^= b;
    app->next_frame_due[s] = 0;
}

void animation_tick(AppState* app, u32 now) {
    if (!active_animates(app)) return;
    u32 s = app->active;
    if (!bit(app->playing, s)) return;
    if (app->next_frame_due[s] == 0) {
        app->next_frame_due[s] = (now + frame_delay_ms(app, s, app->frame[s])) | 1;
        return;
    }
    if ((i32)(now - app->next_frame_due[s]) < 0) return;
    u32 next = (app->frame[s] + 1) % app->frame_count[s];
    if (next == 0 && app->jobs[s].info.play_count != 0) {
        if (app->loops_left[s] > 0) app->loops_left[s]--;
        if (app->loops_left[s] == 0) {
            app->playing &= ~slot_bit(s);
            return;
        }
    }
    set_frame(app, s, next);
    app->next_frame_due[s] = (now + frame_delay_ms(app, s, next)) | 1;
}

static bool filtered(const AppState* app, u32 c) {
    bool browser = (app->mode_flags & MODE_BROWSER) != 0;
    if (browser && ((c >= 10 && c <= 17) || (c >= 30 && c <= 34))) return true;
    if (browser && c >= CMD_NEXT_IMAGE && c <= CMD_LAST_IMAGE) return true;
    if (!browser && c >= 20 && c <= 28) return true;
    return false;
}

static void leave_browser(AppState* app) {
    app->mode_flags &= ~(MODE_BROWSER | MODE_NAME_ENTRY);
    relayout(app);
}

static i32 centre_x(const AppState* app) {
    return app->image_rect.x0 + (app->image_rect.x1 - app->image_rect.x0) / 2;
}
static i32 centre_y(const AppState* app) {
    return app->image_rect.y0 + (app->image_rect.y1 - app->image_rect.y0) / 2;
}

void execute(AppState* app, u32 c) {
    if (c == CMD_NONE || filtered(app, c)) return;
    if (c >= CMD_TYPE_CHAR) {
        type_char(app, c - CMD_TYPE_CHAR);
        app->requests |= REQ_REPAINT;
        return;
    }
    if (c >= CMD_CLOSE_AT && c < CMD_CLOSE_AT + SLOT_COUNT) {
        leave_browser(app);
        close_at(app, c - CMD_CLOSE_AT);
        return;
    }
    if (c >= CMD_ACTIVATE_TAB && c < CMD_ACTIVATE_TAB + SLOT_COUNT) {
        leave_browser(app);
        activate_at(app, c - CMD_ACTIVATE_TAB);
        return;
    }
    bool view = c == CMD_FIT || c == CMD_ACTUAL_SIZE || c == CMD_ZOOM_IN || c == CMD_ZOOM_OUT ||
                (c >= CMD_PAN_LEFT && c <= CMD_PAN_DOWN) || (c >= CMD_NEXT_FRAME && c <= CMD_PLAY_PAUSE);
    if (view && app->active == NO_SLOT) return;
    u32 s = app->active;
    switch (c) {
    case CMD_OPEN:
    case CMD_NEW_TAB: show_browser(app); break;
    case CMD_CLOSE_TAB:
        if (s != NO_SLOT) close_at(app, tab_position(app, s));
        break;
    case CMD_NEXT_TAB: activate_relative(app, 1); break;
    case CMD_PREVIOUS_TAB: activate_relative(app, -1); break;
    case CMD_MOVE_TAB_LEFT:
    case CMD_MOVE_TAB_RIGHT:
        if (s != NO_SLOT) {
            u64 p = tab_position(app, s);
            if (c == CMD_MOVE_TAB_LEFT && p > 0) move_tab(app, p, p - 1);
            if (c == CMD_MOVE_TAB_RIGHT) move_tab(app, p, p + 1);
        }
        app->requests |= REQ_REPAINT;
        break;
    case CMD_QUIT: app->requests |= REQ_QUIT; break;
    case CMD_MINIMISE: app->requests |= REQ_MINIMISE; break;
    case CMD_MAXIMISE:
        app->mode_flags ^= MODE_MAXIMISED;
        app->requests |= REQ_MAXIMISE;
        break;
    case CMD_FIT:
        fit_active(app);
        app->requests |= REQ_REPAINT;
        break;
    case CMD_ACTUAL_SIZE:
        actual_size_active(app);
        app->requests |= REQ_REPAINT;
        break;
    case CMD_ZOOM_IN:
    case CMD_ZOOM_OUT:
        zoom_active_at(app, centre_x(app), centre_y(app), c == CMD_ZOOM_IN);
        app->requests |= REQ_REPAINT;
        break;
    case CMD_PAN_LEFT: pan_active(app, 64, 0); app->requests |= REQ_REPAINT; break;
    case CMD_PAN_RIGHT: pan_active(app, -64, 0); app->requests |= REQ_REPAINT; break;
    case CMD_PAN_UP: pan_active(app, 0, 64); app->requests |= REQ_REPAINT; break;
    case CMD_PAN_DOWN: pan_active(app, 0, -64); app->requests |= REQ_REPAINT; break;
    case CMD_FOLDER_UP: folder_up(app); break;
    case CMD_OPEN_SELECTION: open_entry(app, app->selected); break;
    case CMD_CANCEL: hide_browser(app); break;
    case CMD_PREVIOUS_ENTRY: select_entry(app, (i64)app->selected - 1); break;
    case CMD_NEXT_ENTRY: select_entry(app, (i64)app->selected + 1); break;
    case CMD_PAGE_UP: select_entry(app, (i64)app->selected - app->visible_rows); break;
    case CMD_PAGE_DOWN: select_entry(app, (i64)app->selected + app->visible_rows); break;
    case CMD_FIRST_ENTRY: select_entry(app, 0); break;
    case CMD_LAST_ENTRY: select_entry(app, (i64)app->entry_count - 1); break;
    case CMD_NEXT_FRAME: step_frame(app, 1); app->requests |= REQ_REPAINT; break;
    case CMD_PREVIOUS_FRAME: step_frame(app, -1); app->requests |= REQ_REPAINT; break;
    case CMD_PLAY_PAUSE: play_or_pause(app); app->requests |= REQ_REPAINT; break;
    case CMD_COMPARE: toggle_compare(app); app->requests |= REQ_REPAINT; break;
    case CMD_COMPARE_MODE: next_compare_mode(app); app->requests |= REQ_REPAINT; break;
    case CMD_TURN_CW: turn_active(app, ORIENT_TURN_CW); app->requests |= REQ_REPAINT; break;
    case CMD_TURN_CCW: turn_active(app, ORIENT_TURN_CCW); app->requests |= REQ_REPAINT; break;
    case CMD_FLIP: turn_active(app, ORIENT_FLIP_H); app->requests |= REQ_REPAINT; break;
    case CMD_SAVE_AS: show_save_form(app); app->requests |= REQ_REPAINT; break;
    case CMD_NEXT_IMAGE:
    case CMD_PREVIOUS_IMAGE:
    case CMD_FIRST_IMAGE:
    case CMD_LAST_IMAGE: step_in_folder(app, c); break;
    case CMD_SAVE: confirm_save(app); app->requests |= REQ_REPAINT; break;
    case CMD_ERASE: erase_char(app); app->requests |= REQ_REPAINT; break;
    case CMD_TOGGLE_SUBSAMPLING:
    case CMD_TOGGLE_PROGRESSIVE:
    case CMD_QUALITY_DOWN:
    case CMD_QUALITY_UP: save_option(app, c); app->requests |= REQ_REPAINT; break;
    default: break;
    }
}
