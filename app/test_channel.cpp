// The test channel's state dump. After every event that is not a paint, in
// test mode, the state is described in one line and drawn as a 1040 x 700
// window would show it (rectangles and image views, no texts) into a fixed
// render target; CRC-32 hashes of two regions of that render let a harness
// check pixels without reading them. The text goes out through the
// platform's state section, ended by the sync number a harness waits for.
#include "app/app.h"
#include "app/main_loop.h"
#include "app/scene.h"
#include "codec/png/crc32.h"

static constexpr i32 TARGET_WIDTH = 1040;
static constexpr i32 TARGET_HEIGHT = 700;

u32 region_hash(const u32* pixels, u64 stride, i32 x, i32 y, i32 width, i32 height) {
    static Crc32Table table;
    static bool ready = false;
    if (!ready) {
        crc32_make_table(&table);
        ready = true;
    }
    u32 crc = 0;
    u8 row[3 * 1040];
    for (i32 j = 0; j < height; j++) {
        const u32* line = pixels + (u64)(y + j) * stride + x;
        // Blue, green and red of each pixel, in memory order; the fourth
        // byte is not part of the picture.
        i32 done = 0;
        while (done < width) {
            i32 n = width - done < 1040 ? width - done : 1040;
            for (i32 i = 0; i < n; i++) {
                u32 p = line[done + i];
                row[3 * i] = (u8)p;
                row[3 * i + 1] = (u8)(p >> 8);
                row[3 * i + 2] = (u8)(p >> 16);
            }
            crc = crc32_update(&table, crc, row, 3 * (u64)n);
            done += n;
        }
    }
    return crc;
}

static void append_hex32(TextBuffer* text, u32 v) {
    for (i32 shift = 24; shift >= 0; shift -= 8) text_append_hex8(text, (u8)(v >> shift));
}

// The published text: the dump cut to 4081 bytes, then " sync=" and the
// last sync number as 8 hex digits (with the NUL the section holds, 4096
// bytes at most). A reader pairs a text with its request by that number.
static u64 finish_state_text(ByteSpan dump, u32 sync, u8* out) {
    u64 n = dump.size < 4081 ? dump.size : 4081;
    for (u64 i = 0; i < n; i++) out[i] = dump.data[i];
    const char* tag = " sync=";
    for (u32 i = 0; tag[i] != 0; i++) out[n++] = (u8)tag[i];
    static const char hex[] = "0123456789abcdef";
    for (i32 shift = 28; shift >= 0; shift -= 4) out[n++] = (u8)hex[(sync >> shift) & 15];
    return n;
}

void test_dump(Program* p) {
    // A base decode running in steps would leave the state to how many
    // paints the window system happened to run before the sync: the state
    // described is the one its last step leaves.
    for (u32 slot = next_base_step(&p->app); slot != NO_SLOT; slot = next_base_step(&p->app)) {
        base_step(&p->app, slot);
    }
    TextBuffer text;
    state_line(&p->app, &text);
    static AppState copy;
    copy = p->app;
    copy.client_width = TARGET_WIDTH;
    copy.client_height = TARGET_HEIGHT;
    copy.mode_flags |= MODE_LAYOUT_STALE;
    build_frame_ui(&copy, &p->draw);
    u32* target = (u32*)p->test_target;
    draw_rects(&p->draw, target, TARGET_WIDTH, TARGET_WIDTH, TARGET_HEIGHT);
    ViewScene scene;
    build_scene(&copy, &scene);
    draw_views(&p->cache, &p->counters, &p->tables, &scene,
               ViewTarget{target, TARGET_WIDTH, TARGET_WIDTH, TARGET_HEIGHT, 0, 0});
    text_append(&text, " hash=");
    append_hex32(&text, region_hash(target, TARGET_WIDTH, 8, 60, 292, 240));
    text_append(&text, " scene=");
    scene_summary(&p->counters, &p->cache, &text);
    const Rect& r = copy.image_rect;
    text_append(&text, " full=");
    append_hex32(&text, region_hash(target, TARGET_WIDTH, r.x0, r.y0, r.x1 - r.x0, r.y1 - r.y0));
    text_append(&text, " cmp=mode=");
    text_append_u64(&text, copy.compare_mode);
    text_append(&text, " a=");
    text_append_u64(&text, copy.compare_a);
    text_append(&text, " b=");
    text_append_u64(&text, copy.compare_b);
    text_append(&text, " divider=");
    text_append_u64(&text, copy.divider);
    apply_scene_results(&p->app, &scene, &p->counters);
    static u8 published[4096];
    u64 n = finish_state_text(text_span(&text), p->window.test_sync, published);
    publish_state(&p->window, ByteSpan{published, n});
}
