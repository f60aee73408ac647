// The spine of the program: start-up in a fixed order, then one event at a
// time from the platform, each followed by the request pass; paints run the
// paint cycle, which is also the only place decoding advances.
#include "app/main_loop.h"

#include "app/app.h"
#include "app/args.h"
#include "app/input.h"
#include "app/scene.h"
#include "platform/process.h"

static constexpr u64 ARENA_SIZE = 0x4000000;  // 64 MiB, committed at once
static constexpr u32 BROWSER_ENTRIES = 0x4000;
static constexpr u32 BROWSER_POOL = 0x100000;
static constexpr u64 TEST_TARGET_BYTES = 1040 * 700 * 4;
static constexpr u32 TILE_CACHE_SLOTS = 2048;

static void open_argument(Program* p, ByteSpan arg) {
    // A relative path from a shell is made absolute, so that the tab holds
    // the path the browser and the title work from.
    u64 length = full_path(arg, p->app.path_work, 0x8000);
    if (length != 0) arg = ByteSpan{p->app.path_work, length};
    open_path(&p->app, arg);
}

int app_main(Program* p, ByteSpan line) {
    detach_console();
    *p = Program{};
    if (!arena_init(&p->arena, ARENA_SIZE)) return 2;
    AppState* app = &p->app;
    if (!init_app_state(app, &p->arena, BROWSER_ENTRIES, BROWSER_POOL)) return 2;
    if (!create(&p->cache, TILE_CACHE_SLOTS)) return 2;
    render_counters_init(&p->counters);
    if (!present_init(&p->tables, &p->arena)) return 2;
    p->counters.tile_budget = 8;
    ByteSpan drops = arena_alloc(&p->arena, 0x8000, 1);
    ByteSpan folder = arena_alloc(&p->arena, 0x8000, 1);
    if (drops.data == nullptr || folder.data == nullptr) return 2;
    p->drop_buffer = drops.data;
    p->folder_buffer = folder.data;
    u64 folder_length = current_folder(p->folder_buffer, 0x8000);
    set_start_folder(app, ByteSpan{p->folder_buffer, folder_length});
    ByteSpan target = arena_alloc(&p->arena, TEST_TARGET_BYTES, 4);
    if (target.data == nullptr) return 2;
    p->test_target = target.data;

    u64 count = argument_count(line);
    for (u64 i = 1; i < count; i++) {
        ByteSpan arg = argument(line, i, &p->arena);
        if (span_equal(arg, lit("--test"))) {
            p->test_mode = true;
        } else {
            open_argument(p, arg);
        }
    }
    if (p->test_mode) p->counters.tile_budget = -1;
    app->autoplay = !p->test_mode;
    if (!create_main_window(&p->window, lit("Quorbel"), lit("Quorbel"), p->test_mode)) return 2;

    Event e = {};
    while (next_event(&p->window, &e)) {
        if (e.kind == EVENT_PAINT) {
            paint(p);
            continue;
        }
        if (e.kind == EVENT_DROP) {
            for (u32 i = 0; i < e.key; i++) {
                u64 length = 0;
                if (drop_path(&p->window, i, p->drop_buffer, 0x8000, &length)) {
                    open_path(app, ByteSpan{p->drop_buffer, length});
                } else {
                    set_message(app, lit("Path too long: not opened."), true);
                }
            }
            finish_drop(&p->window);
        } else {
            handle_input(app, &e);
        }
        if (e.kind == EVENT_MOUSE_MOVE) set_cursor(&p->window, app->cursor);
        apply_requests(p);
        if (p->test_mode) test_dump(p);
    }
    return 0;
}

void apply_requests(Program* p) {
    AppState* app = &p->app;
    if (app->requests & REQ_LOAD) {
        app->requests &= ~REQ_LOAD;
        load_pending(app);
    }
    if (app->requests & REQ_SAVE) {
        app->requests &= ~REQ_SAVE;
        // TODO: the save step runs here once the JPEG encoder lands.
    }
    u32 r = app->requests;
    app->requests = 0;
    WindowState* w = &p->window;
    if (r & REQ_LIST) list_browse_folder(app);
    if (r & REQ_TITLE) set_title(w, text_span(&app->title));
    if (r & REQ_MOVE) move_window(w, app->window_rect[0], app->window_rect[1], app->window_rect[2], app->window_rect[3]);
    if (r & REQ_CAPTURE) set_capture(w, true);
    if (r & REQ_RELEASE) set_capture(w, false);
    if (r & REQ_MAXIMISE) set_maximised(w, (app->mode_flags & MODE_MAXIMISED) != 0);
    if (r & REQ_MINIMISE) minimise(w);
    if (r & REQ_QUIT) destroy(w);
    if (r & REQ_REPAINT) invalidate(w);
}

void paint(Program* p) {
    AppState* app = &p->app;
    WindowState* w = &p->window;
    Framebuffer fb = {nullptr, 0, 0};
    if (w->client_width >= 1 && w->client_height >= 1) fb = framebuffer(w);
    if (fb.pixels == nullptr) {
        skip_paint(w);
        return;
    }
    for (;;) {
        build_frame_ui(app, &p->draw);
        draw_rects(&p->draw, fb.pixels, (u64)fb.width, fb.width, fb.height);
        ViewScene scene;
        build_scene(app, &scene);
        draw_views(&p->cache, &p->counters, &p->tables, &scene,
                   ViewTarget{fb.pixels, (u64)fb.width, fb.width, fb.height, 0, 0});
        apply_scene_results(app, &scene, &p->counters);
        present(w, &p->draw);
        if (p->counters.deferred != 0) {
            invalidate(w);
            return;
        }
        u32 slot = next_decode_step(app);
        if (slot == NO_SLOT) return;
        decode_step(app, slot);
    }
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
    TextBuffer text;
    state_line(&p->app, &text);
    // The state as a 1040 x 700 window would show it, drawn into the test
    // target; the scene summary describes that frame.
    // TODO: the render hashes and compare fields join the scene summary with
    // the test channel.
    static AppState copy;
    copy = p->app;
    copy.client_width = 1040;
    copy.client_height = 700;
    copy.mode_flags |= MODE_LAYOUT_STALE;
    build_frame_ui(&copy, &p->draw);
    u32* target = (u32*)p->test_target;
    draw_rects(&p->draw, target, 1040, 1040, 700);
    ViewScene scene;
    build_scene(&copy, &scene);
    draw_views(&p->cache, &p->counters, &p->tables, &scene, ViewTarget{target, 1040, 1040, 700, 0, 0});
    text_append(&text, " scene=");
    scene_summary(&p->counters, &p->cache, &text);
    apply_scene_results(&p->app, &scene, &p->counters);
    static u8 published[4096];
    u64 n = finish_state_text(text_span(&text), p->window.test_sync, published);
    publish_state(&p->window, ByteSpan{published, n});
}
