// Scene building. A slot with a decode job draws from it; a slot that is
// neither waiting for pixels nor decoded is a generated test image, drawn
// by the tile cache's synthetic rule.
#include "app/scene.h"

#include "app/app.h"

static SceneDocument scene_document(const AppState* app, u32 slot) {
    SceneDocument d = {};
    d.document = slot;
    d.width = app->width[slot];
    d.height = app->height[slot];
    d.zoom = app->zoom[slot];
    d.cx = app->cx[slot];
    d.cy = app->cy[slot];
    d.no_pixels = bit(app->no_pixels, slot) || !bit(app->used, slot);
    if (bit(app->has_pixels, slot)) {
        d.source = job_source(&app->jobs[slot]);
    } else {
        d.source = synthetic_source(d.width, d.height);
    }
    return d;
}

void build_scene(const AppState* app, ViewScene* scene) {
    *scene = ViewScene{};
    const Rect& r = app->image_rect;
    scene->area = ViewArea{r.x0, r.y0, r.x1, r.y1};
    scene->browser_shown = (app->mode_flags & MODE_BROWSER) != 0;
    scene->changed = app->changed;
    scene->divider = app->divider;
    u32 a = app->active;
    if (a == NO_SLOT) return;
    scene->documents[0] = scene_document(app, a);
    scene->document_count = 1;
    if (compare_shown(app) && app->compare_b != NO_SLOT) {
        scene->documents[1] = scene_document(app, app->compare_b);
        scene->document_count = 2;
        scene->compare_mode = app->compare_mode;
    }
}

void apply_scene_results(AppState* app, const ViewScene* scene, const RenderCounters* counters) {
    app->changed &= ~scene->changed;
    // A damaged part shown in its place is named once on the message line.
    for (u32 i = 0; i < scene->document_count; i++) {
        u32 slot = scene->documents[i].document;
        if (slot >= SLOT_COUNT || !bit(app->has_pixels, slot) || !app->jobs[slot].tile_error_new) continue;
        DecodeJob* job = &app->jobs[slot];
        job->tile_error_new = false;
        TextBuffer text;
        text_clear(&text);
        text_append(&text, "Part of the image is damaged: ");
        text_append(&text, codec_error_name(job->tile_error.code));
        text_append(&text, " at ");
        text_append_u64(&text, job->tile_error.offset);
        set_message(app, text_span(&text), true);
    }
    if (counters->failed && counters->error_document < SLOT_COUNT) {
        mark_failed(app, counters->error_document, counters->error_code);
    }
}
