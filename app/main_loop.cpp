// The spine of the program: start-up in a fixed order, then one event at a
// time from the platform, each followed by the request pass; paints run the
// paint cycle, which is also the only place decoding advances.
#include "app/main_loop.h"

#include "app/app.h"
#include "app/args.h"
#include "app/input.h"
#include "app/scene.h"
#include "platform/handover.h"
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

    // Switches first, then the files: a second start hands them to the
    // window already running and ends (never in test mode, so that test
    // runs stay apart; never with --new-window).
    u64 count = argument_count(line);
    static ByteSpan files[HANDOVER_MAX_PATHS];
    u32 file_count = 0;
    u64 rest_from = count;  // the first file argument beyond the table
    bool new_window = false;
    for (u64 i = 1; i < count; i++) {
        ByteSpan arg = argument(line, i, &p->arena);
        if (span_equal(arg, lit("--test"))) {
            p->test_mode = true;
        } else if (span_equal(arg, lit("--new-window"))) {
            new_window = true;
        } else if (file_count < HANDOVER_MAX_PATHS) {
            files[file_count++] = arg;
        } else if (rest_from == count) {
            rest_from = i;
        }
    }
    if (!p->test_mode && !new_window && file_count > 0 && rest_from == count &&
        hand_over(lit("Quorbel"), files, file_count)) {
        return 0;
    }
    for (u32 i = 0; i < file_count; i++) open_argument(p, files[i]);
    for (u64 i = rest_from; i < count; i++) {
        ByteSpan arg = argument(line, i, &p->arena);
        if (!span_equal(arg, lit("--test")) && !span_equal(arg, lit("--new-window"))) open_argument(p, arg);
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
        write_pending_save(app);
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
        // A band of a large image per paint, shown by the next one.
        u32 stepping = next_base_step(app);
        if (stepping != NO_SLOT) {
            base_step(app, stepping);
            invalidate(w);
            return;
        }
        if (p->counters.deferred != 0) {
            invalidate(w);
            return;
        }
        u32 slot = next_decode_step(app);
        if (slot == NO_SLOT) return;
        decode_step(app, slot);
    }
}
