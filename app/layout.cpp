// The layout pass (every clickable region, the image rectangle, the browser
// and save-form positions) and the status texts built from the state.
#include "app/app.h"
#include "codec/image.h"
#include "view/viewport.h"

void add_region(AppState* app, i32 x, i32 y, i32 w, i32 h, u32 command) {
    if (app->region_count >= HIT_REGION_CAPACITY) return;
    app->regions[app->region_count++] = HitRegion{x, y, x + w, y + h, command};
}

void layout(AppState* app) {
    i32 W = app->client_width;
    i32 H = app->client_height;
    i32 n = (i32)app->tab_count;
    app->region_count = 0;
    add_region(app, 12, 8, 76, 26, CMD_OPEN);
    add_region(app, W - 142, 4, 46, 34, CMD_MINIMISE);
    add_region(app, W - 96, 4, 46, 34, CMD_MAXIMISE);
    add_region(app, W - 50, 4, 46, 34, CMD_QUIT);
    add_region(app, W - 224, 8, 76, 26, CMD_SAVE_AS);
    i32 t = (W - 366) / (n > 1 ? n : 1);
    if (t > 180) t = 180;
    for (i32 i = 0; i < n; i++) {
        add_region(app, 106 + i * t, 8, t - 2, 26, CMD_ACTIVATE_TAB + (u32)i);
        add_region(app, 80 + (i + 1) * t, 8, 24, 26, CMD_CLOSE_AT + (u32)i);
    }
    add_region(app, 106 + n * t, 8, 30, 26, CMD_NEW_TAB);
    app->status_top = H - 34;
    app->image_rect = Rect{4, 38, W - 4, H - 34};
    app->browser_header_top = 0;
    app->list_rect = Rect{0, 0, 0, 0};
    app->scroll_x = 0;
    app->visible_rows = 0;
    app->name_top = 0;
    app->quality_top = 0;
    if (app->mode_flags & MODE_BROWSER) {
        bool naming = (app->mode_flags & MODE_NAME_ENTRY) != 0;
        app->browser_header_top = 44;
        add_region(app, 12, 76, 76, 26, CMD_FOLDER_UP);
        add_region(app, 94, 76, 76, 26, naming ? CMD_SAVE : CMD_OPEN_SELECTION);
        add_region(app, 176, 76, 76, 26, CMD_CANCEL);
        i32 list_top = 108;
        if (naming) {
            app->name_top = 108;
            app->quality_top = 140;
            add_region(app, 12, 140, 30, 26, CMD_QUALITY_DOWN);
            add_region(app, 162, 140, 30, 26, CMD_QUALITY_UP);
            add_region(app, 210, 140, 80, 26, CMD_TOGGLE_SUBSAMPLING);
            add_region(app, 296, 140, 130, 26, CMD_TOGGLE_PROGRESSIVE);
            list_top = 172;
        }
        app->list_rect = Rect{4, list_top, W - 16, H - 34};
        app->scroll_x = W - 16;
        i32 rows = (app->list_rect.y1 - app->list_rect.y0) / 24;
        app->visible_rows = rows > 0 ? (u32)rows : 0;
    }
    app->mode_flags &= ~MODE_LAYOUT_STALE;
}

void status_text(const AppState* app, TextBuffer* out) {
    text_clear(out);
    if (app->mode_flags & MODE_BROWSER) {
        text_append_u64(out, app->entry_count);
        text_append(out, " entries");
        return;
    }
    u32 s = app->active;
    if (s == NO_SLOT) return;
    if (app->width[s] == 0 || app->height[s] == 0) {
        text_append(out, "no pixels");
    } else {
        text_append_u64(out, app->width[s]);
        text_append(out, " x ");
        text_append_u64(out, app->height[s]);
    }
    text_append(out, "   ");
    text_append(out, image_format_name(app->format[s]));
    if (bit(app->has_pixels, s) && bit(app->profile_ignored, s)) text_append(out, "  profile ignored");
    text_append(out, "   ");
    text_append_u64(out, zoom_percent(app->zoom[s]));
    text_append(out, "%");
    if (bit(app->has_pixels, s) && app->frame_count[s] > 1) {
        text_append(out, "   frame ");
        text_append_u64(out, (u64)app->frame[s] + 1);
        text_append(out, "/");
        text_append_u64(out, app->frame_count[s]);
    }
    if (compare_shown(app)) {
        text_append(out, "   compare ");
        text_append(out, compare_mode_name(app->compare_mode));
    }
}

void status_line(const AppState* app, TextBuffer* out) {
    status_text(app, out);
    u32 s = app->active;
    const Rect& r = app->image_rect;
    i32 x = app->pointer_x;
    i32 y = app->pointer_y;
    if ((app->mode_flags & MODE_BROWSER) || s == NO_SLOT) return;
    if (x < r.x0 || x >= r.x1 || y < r.y0 || y >= r.y1) return;
    ViewArea area = {r.x0, r.y0, r.x1, r.y1};
    i64 ix = 0;
    i64 iy = 0;
    screen_to_image(area, app->zoom[s], app->cx[s], app->cy[s], x, y, &ix, &iy);
    text_append(out, "   (");
    text_append_i64(out, ix);
    text_append(out, ", ");
    text_append_i64(out, iy);
    text_append(out, ")");
}

void state_line(const AppState* app, TextBuffer* out) {
    text_clear(out);
    u32 s = app->active;
    bool tab = s != NO_SLOT;
    text_append(out, "tabs=");
    text_append_u64(out, app->tab_count);
    text_append(out, " active=");
    if (tab) {
        text_append_u64(out, s);
    } else {
        text_append(out, "-");
    }
    text_append(out, " order=");
    for (u64 i = 0; i < app->tab_count; i++) {
        if (i > 0) text_append(out, ",");
        text_append_u64(out, app->tab_order[i]);
    }
    text_append(out, " zoom=");
    text_append_u64(out, tab ? app->zoom[s] : 0);
    text_append(out, " cx=");
    text_append_i64(out, tab ? app->cx[s] : 0);
    text_append(out, " cy=");
    text_append_i64(out, tab ? app->cy[s] : 0);
    text_append(out, " fit=");
    text_append(out, tab && bit(app->fit, s) ? "1" : "0");
    text_append(out, " orient=");
    text_append_u64(out, tab && bit(app->has_pixels, s) ? app->jobs[s].orientation : 1);
    text_append(out, " pick=");
    text_append(out, (app->mode_flags & MODE_BROWSER) ? "1" : "0");
    text_append(out, " max=");
    text_append(out, (app->mode_flags & MODE_MAXIMISED) ? "1" : "0");
    text_append(out, " title=");
    text_append(out, text_span(&app->title));
    TextBuffer status;
    status_text(app, &status);
    text_append(out, " status=");
    text_append(out, text_span(&status));
    text_append(out, " msg=");
    text_append(out, text_span(&app->message));
}
