// A fresh AppState on its own arena, laid out for a 1040 x 700 window.
#pragma once

#include <memory>
#include <string>

#include "app/app.h"

struct AppFixture {
    Arena arena{};
    std::unique_ptr<AppState> owned{new AppState{}};
    AppState* app = owned.get();

    explicit AppFixture(i32 width = 1040, i32 height = 700, u32 entries = 64, u32 name_pool = 4096) {
        if (!arena_init(&arena, 8 << 20) || !init_app_state(app, &arena, entries, name_pool)) std::abort();
        app->client_width = width;
        app->client_height = height;
        layout(app);
        app->requests = 0;
    }
    ~AppFixture() {
        for (u32 s = 0; s < SLOT_COUNT; s++) {
            release(&app->source[s]);
            release(&app->job_region[s]);
        }
    }
    u32 open(const std::string& path) {
        return open_tab(app, ByteSpan{(u8*)path.data(), path.size()});
    }
    std::string message() const { return std::string((const char*)app->message.bytes, app->message.length); }
    std::string title() const { return std::string((const char*)app->title.bytes, app->title.length); }
    std::string order() const {
        std::string s;
        for (u64 i = 0; i < app->tab_count; i++) s += (i ? "," : "") + std::to_string(app->tab_order[i]);
        return s;
    }
    std::string state() const {
        TextBuffer t;
        state_line(app, &t);
        return std::string((const char*)t.bytes, t.length);
    }
    // Pretend the active document decoded as an animation of `frames`.
    void animate(u32 frames, u32 plays) {
        u32 s = app->active;
        app->no_pixels &= ~slot_bit(s);
        app->has_pixels |= slot_bit(s);
        app->frame_count[s] = frames;
        app->jobs[s].info.frame_count = frames;
        app->jobs[s].info.play_count = plays;
        app->loops_left[s] = plays;
    }
};
