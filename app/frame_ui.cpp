// The draw list of a frame and its rasterisation. Rectangles are drawn here;
// texts are drawn by the platform's present.
#include "app/app.h"
#include "app/main_loop.h"

static void add_rect(DrawList* list, i32 x0, i32 y0, i32 x1, i32 y1, u32 colour) {
    if (list->rect_count >= DRAW_RECT_CAPACITY || x1 <= x0 || y1 <= y0) return;
    list->rects[list->rect_count++] = DrawRect{x0, y0, x1, y1, colour, 0, 0, 0, RECT_SOLID};
}

void build_frame_ui(AppState* app, DrawList* list) {
    if (app->mode_flags & MODE_LAYOUT_STALE) layout(app);
    list->rect_count = 0;
    list->text_count = 0;
    list->pool_used = 0;
    add_rect(list, 0, 0, app->client_width, app->client_height, 0x252526);
    // TODO: buttons, tabs, the browser and the status bar are drawn once the
    // window's interface lands; until then the image area is shown empty.
    const Rect& r = app->image_rect;
    add_rect(list, r.x0, r.y0, r.x1, r.y1, 0x1E1E1E);
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
                for (i32 x = x0; x < x1; x++) {
                    bool odd = ((((x - d.x0 + d.phase_x) ^ (y - d.y0 + d.phase_y)) >> 4) & 1) != 0;
                    row[x] = odd ? d.colour2 : d.colour;
                }
            } else {
                for (i32 x = x0; x < x1; x++) row[x] = d.colour;
            }
        }
    }
}
