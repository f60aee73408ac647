// The view commands of the active document, in terms of the image area from
// the last layout, and compare mode, whose coupling limits every zoom given
// to document A.
#include "app/app.h"
#include "codec/orientation.h"
#include "view/viewport.h"

static ViewArea image_area(const AppState* app) {
    return ViewArea{app->image_rect.x0, app->image_rect.y0, app->image_rect.x1, app->image_rect.y1};
}

static View view_of(const AppState* app, u32 slot) {
    return View{app->zoom[slot], app->cx[slot], app->cy[slot], bit(app->fit, slot), app->width[slot],
                app->height[slot]};
}

static void store_view(AppState* app, u32 slot, const View* v) {
    app->zoom[slot] = v->zoom;
    app->cx[slot] = v->cx;
    app->cy[slot] = v->cy;
    if (v->fit) {
        app->fit |= slot_bit(slot);
    } else {
        app->fit &= ~slot_bit(slot);
    }
}

// The coupling that limits the active document's zoom while it is compare A.
static const Coupling* active_coupling(const AppState* app, Coupling* storage) {
    if (!compare_shown(app) || app->compare_b == NO_SLOT) return nullptr;
    *storage = Coupling{app->width[app->compare_a], app->width[app->compare_b]};
    return storage;
}

static void fit_slot(AppState* app, u32 slot) {
    View v = view_of(app, slot);
    Coupling c;
    view_fit(&v, image_area(app), slot == app->active ? active_coupling(app, &c) : nullptr);
    store_view(app, slot, &v);
}

void fit_active(AppState* app) {
    if (app->active != NO_SLOT) fit_slot(app, app->active);
}

void refit_if_fit(AppState* app, u32 slot) {
    if (app->image_rect.x1 <= app->image_rect.x0 || app->image_rect.y1 <= app->image_rect.y0) return;
    if (bit(app->fit, slot)) fit_slot(app, slot);
}

void actual_size_active(AppState* app) {
    u32 s = app->active;
    if (s == NO_SLOT) return;
    View v = view_of(app, s);
    Coupling c;
    view_actual_size(&v, active_coupling(app, &c));
    store_view(app, s, &v);
}

void zoom_active_at(AppState* app, i32 x, i32 y, bool in) {
    u32 s = app->active;
    if (s == NO_SLOT) return;
    View v = view_of(app, s);
    Coupling c;
    view_zoom_at(&v, image_area(app), x, y, in, active_coupling(app, &c));
    store_view(app, s, &v);
}

void pan_active(AppState* app, i32 dx, i32 dy) {
    u32 s = app->active;
    if (s == NO_SLOT) return;
    View v = view_of(app, s);
    view_pan(&v, dx, dy);
    store_view(app, s, &v);
}

// ---- Compare ----------------------------------------------------------------

bool compare_shown(const AppState* app) {
    return app->compare_mode != 0 && app->active != NO_SLOT && app->active == app->compare_a;
}

u32 compare_zoom_limit(const AppState* app, u32 zoom) {
    if (!compare_shown(app) || app->compare_b == NO_SLOT) return clamp_zoom(zoom);
    return couple_zoom_limit(zoom, app->width[app->compare_a], app->width[app->compare_b]);
}

ByteSpan compare_mode_name(u32 mode) {
    switch (mode) {
    case 1: return lit("side by side");
    case 2: return lit("overlay |");
    case 3: return lit("overlay -");
    case 4: return lit("difference");
    default: return ByteSpan{nullptr, 0};
    }
}

static void refuse_compare(AppState* app) {
    set_message(app, lit("Compare needs two tabs with pixels."), true);
}

void compare_with(AppState* app, u32 slot_b) {
    u32 a = app->active;
    if (a == NO_SLOT || slot_b >= SLOT_COUNT || slot_b == a || bit(app->no_pixels, a) ||
        bit(app->no_pixels, slot_b)) {
        refuse_compare(app);
        return;
    }
    app->compare_a = (u8)a;
    app->compare_b = (u8)slot_b;
    app->compare_mode = 1;
    app->divider = 0x8000;
    app->zoom[a] = compare_zoom_limit(app, app->zoom[a]);
    app->requests |= REQ_REPAINT;
}

void toggle_compare(AppState* app) {
    if (app->compare_mode != 0) {
        compare_off(app);
        return;
    }
    if (app->active == NO_SLOT || app->tab_count < 2) {
        refuse_compare(app);
        return;
    }
    u64 p = tab_position(app, app->active);
    compare_with(app, app->tab_order[(p + 1) % app->tab_count]);
}

void next_compare_mode(AppState* app) {
    if (app->compare_mode == 0) return;
    app->compare_mode = app->compare_mode % 4 + 1;
    app->requests |= REQ_REPAINT;
}

void compare_off(AppState* app) {
    app->compare_mode = 0;
    app->compare_a = NO_SLOT;
    app->compare_b = NO_SLOT;
    app->requests |= REQ_REPAINT;
}

// ---- Turning and flipping -------------------------------------------------------

void turn_active(AppState* app, u32 then) {
    u32 s = app->active;
    if (s == NO_SLOT || !bit(app->has_pixels, s)) return;
    DecodeJob* job = &app->jobs[s];
    i64 w = (i64)app->width[s] << 16;
    i64 h = (i64)app->height[s] << 16;
    i64 cx = app->cx[s];
    i64 cy = app->cy[s];
    job_set_orientation(job, orientation_then(job->orientation, then));
    app->width[s] = job->info.width;
    app->height[s] = job->info.height;
    // The image point at the centre stays there: where the turn or the
    // mirror takes it.
    if (then == ORIENT_TURN_CW) {
        app->cx[s] = h - cy;
        app->cy[s] = cx;
    } else if (then == ORIENT_TURN_CCW) {
        app->cx[s] = cy;
        app->cy[s] = w - cx;
    } else {
        app->cx[s] = w - cx;
    }
    app->changed |= slot_bit(s);
    refit_if_fit(app, s);
    relayout(app);
}
