// Layout, the frame's draw list, the status texts and pointer input.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>

#include "app/input.h"
#include "app/main_loop.h"
#include "app_fixture.h"
#include "platform/process.h"

namespace fs = std::filesystem;

static std::string str(const TextBuffer& t) {
    return std::string((const char*)t.bytes, t.length);
}

static const HitRegion* region(const AppState* app, u32 command) {
    for (u32 i = 0; i < app->region_count; i++) {
        if (app->regions[i].command == command) return &app->regions[i];
    }
    return nullptr;
}

// A temporary folder of `files` image names, shown and listed in the browser.
static fs::path browse_generated_folder(AppFixture& f, int files) {
    std::random_device rd;
    fs::path dir = fs::temp_directory_path() / ("qb-ui-" + std::to_string(rd()));
    fs::create_directories(dir);
    for (int i = 0; i < files; i++) {
        char n[64];
        snprintf(n, sizeof n, "a-long-file-name-for-the-listing-%04d.png", i);
        std::ofstream(dir / n) << "x";
    }
    std::u8string u = dir.u8string();
    std::string folder(u.begin(), u.end());
    folder += (char)path_separator();
    set_start_folder(f.app, ByteSpan{(u8*)folder.data(), folder.size()});
    show_browser(f.app);
    set_browse_folder(f.app, ByteSpan{(u8*)folder.data(), folder.size()});
    list_browse_folder(f.app);
    return dir;
}

TEST(Layout, RegionsAndTabWidths) {
    AppFixture f;
    f.open("proc-10x10");
    layout(f.app);
    const HitRegion* tab = region(f.app, CMD_ACTIVATE_TAB);
    ASSERT_NE(tab, nullptr);
    EXPECT_EQ(tab->x1 - tab->x0, 180 - 2);  // one tab: 180 wide
    EXPECT_EQ(region(f.app, CMD_QUIT)->x0, 1040 - 50);
    EXPECT_EQ(region(f.app, CMD_SAVE_AS)->x0, 1040 - 224);
    EXPECT_EQ(region(f.app, CMD_NEW_TAB)->x0, 106 + 180);
    for (int i = 1; i < 10; i++) f.open("proc-" + std::to_string(i) + "x10");
    layout(f.app);
    tab = region(f.app, CMD_ACTIVATE_TAB + 3);
    EXPECT_EQ(tab->x0, 106 + 3 * 67);  // (1040 - 366) / 10
    EXPECT_EQ(tab->x1 - tab->x0, 65);
    EXPECT_EQ(f.app->image_rect.x0, 4);
    EXPECT_EQ(f.app->image_rect.y0, 38);
    EXPECT_EQ(f.app->image_rect.x1, 1036);
    EXPECT_EQ(f.app->image_rect.y1, 666);
    EXPECT_EQ(f.app->status_top, 666);
    EXPECT_EQ(f.app->mode_flags & MODE_LAYOUT_STALE, 0u);

    // A tab's close box lies over its tab and wins the hit test.
    const HitRegion* close = region(f.app, CMD_CLOSE_AT + 3);
    EXPECT_EQ(hit_test(f.app, close->x0 + 2, close->y0 + 2), CMD_CLOSE_AT + 3);
    EXPECT_EQ(hit_test(f.app, tab->x0 + 2, tab->y0 + 2), CMD_ACTIVATE_TAB + 3);
    EXPECT_EQ(hit_test(f.app, 500, 400), CMD_NONE);
    EXPECT_EQ(hit_test(f.app, 12, 8), CMD_OPEN);
    EXPECT_EQ(hit_test(f.app, 88, 8), CMD_NONE);  // x1 is exclusive
}

TEST(Layout, BrowserAndSaveFormPositions) {
    AppFixture f;
    f.app->mode_flags |= MODE_BROWSER;
    layout(f.app);
    EXPECT_EQ(f.app->list_rect.y0, 108);
    EXPECT_EQ(f.app->visible_rows, (u32)((666 - 108) / 24));
    EXPECT_NE(region(f.app, CMD_OPEN_SELECTION), nullptr);
    f.app->mode_flags |= MODE_NAME_ENTRY;
    layout(f.app);
    EXPECT_EQ(f.app->list_rect.y0, 172);
    EXPECT_EQ(region(f.app, CMD_OPEN_SELECTION), nullptr);
    EXPECT_EQ(region(f.app, CMD_SAVE)->x0, 94);
    EXPECT_EQ(region(f.app, CMD_TOGGLE_PROGRESSIVE)->x1, 296 + 130);
}

TEST(Layout, RegionLimit) {
    // 32 tabs give 2 x 32 + 6 regions; the browser and save form add 7 more,
    // within 96.
    AppFixture f;
    for (int i = 0; i < 32; i++) f.open("proc-" + std::to_string(i + 1) + "x1");
    f.app->mode_flags |= MODE_BROWSER | MODE_NAME_ENTRY;
    layout(f.app);
    EXPECT_EQ(f.app->region_count, 77u);
    // Filled to 96, the table keeps its last region and drops a 97th.
    for (u32 i = f.app->region_count; i < HIT_REGION_CAPACITY; i++) add_region(f.app, (i32)i, 0, 1, 1, 500 + i);
    ASSERT_EQ(f.app->region_count, HIT_REGION_CAPACITY);
    add_region(f.app, 7, 7, 1, 1, 999);
    EXPECT_EQ(f.app->region_count, HIT_REGION_CAPACITY);
    EXPECT_EQ(f.app->regions[HIT_REGION_CAPACITY - 1].command, 500 + HIT_REGION_CAPACITY - 1);
    for (u32 i = 0; i < f.app->region_count; i++) EXPECT_NE(f.app->regions[i].command, 999u);
}

TEST(Frame, FullTextListKeepsStatusAndMessage) {
    // A tall window with 32 tabs and a 400-entry listing offers far more
    // texts than the list holds: rows and tab labels are dropped, the status
    // and the message line never.
    AppFixture f(1280, 1600, 1024, 65536);
    for (int i = 0; i < 32; i++) f.open("proc-" + std::to_string(i + 1) + "x1");
    fs::path dir = browse_generated_folder(f, 399);
    ASSERT_EQ(f.app->entry_count, 400u);
    auto list = std::make_unique<DrawList>();
    build_frame_ui(f.app, list.get());
    EXPECT_EQ(list->text_count, DRAW_TEXT_CAPACITY);  // the list really is full
    bool status = false;
    bool message = false;
    std::string expected_message = f.message();
    ASSERT_FALSE(expected_message.empty());
    for (u32 i = 0; i < list->text_count; i++) {
        std::string t((const char*)list->pool + list->texts[i].offset, list->texts[i].length);
        if (t == "400 entries") status = true;
        if (t == expected_message) message = true;
    }
    EXPECT_TRUE(status);
    EXPECT_TRUE(message);
    fs::remove_all(dir);
}

// Rectangles are filled in runs (of one checker square at a time): every
// pixel against the per-pixel rule, for checkerboards at random places,
// sizes and phases (the runs start mid-square) clipped on every side, and
// solid rectangles of every width up to 9 (whole groups and tails).
TEST(DrawList, RunsMatchThePixelRule) {
    auto list = std::make_unique<DrawList>();
    std::mt19937 rng(5);
    const int w = 61, h = 23;
    std::vector<u32> px(w * h), expected(w * h);
    for (int round = 0; round < 200; round++) {
        draw_list_clear(list.get());
        std::fill(px.begin(), px.end(), 0u);
        std::fill(expected.begin(), expected.end(), 0u);
        for (int k = 0; k < 3; k++) {
            i32 x0 = (i32)(rng() % 80) - 10, y0 = (i32)(rng() % 30) - 5;
            i32 x1 = x0 + 1 + (i32)(rng() % (k == 2 ? 9 : 70)), y1 = y0 + 1 + (i32)(rng() % 20);
            i32 phase_x = (i32)rng(), phase_y = (i32)rng();
            u32 a = 0x100 + (u32)k, b = 0x200 + (u32)k;
            bool checker = k < 2;
            if (checker) {
                add_checker(list.get(), x0, y0, x1, y1, a, b, phase_x, phase_y);
            } else {
                add_rect(list.get(), x0, y0, x1, y1, a);
            }
            for (int y = std::max(y0, 0); y < std::min(y1, h); y++) {
                for (int x = std::max(x0, 0); x < std::min(x1, w); x++) {
                    u32 qx = (u32)x - (u32)x0 + (u32)phase_x, qy = (u32)y - (u32)y0 + (u32)phase_y;
                    expected[y * w + x] = !checker ? a : ((((qx ^ qy) >> 4) & 1) ? b : a);
                }
            }
        }
        draw_rects(list.get(), px.data(), w, w, h);
        ASSERT_EQ(px, expected) << round;
    }
}

TEST(DrawList, LimitsAndRasterising) {
    auto list = std::make_unique<DrawList>();
    draw_list_clear(list.get());
    for (int i = 0; i < 1100; i++) add_rect(list.get(), 0, 0, 1, 1, 0xFF);
    EXPECT_EQ(list->rect_count, DRAW_RECT_CAPACITY);
    draw_list_clear(list.get());
    add_rect(list.get(), 5, 5, 5, 9, 1);  // empty: dropped
    add_rect(list.get(), 5, 9, 8, 9, 1);
    EXPECT_EQ(list->rect_count, 0u);
    add_text(list.get(), 0, 0, 10, 10, 0, ALIGN_LEFT, ByteSpan{nullptr, 0});
    EXPECT_EQ(list->text_count, 0u);
    std::string big(5000, 'x');
    add_text(list.get(), 0, 0, 10, 10, 0, ALIGN_LEFT, ByteSpan{(u8*)big.data(), big.size()});
    add_text(list.get(), 0, 0, 10, 10, 0, ALIGN_LEFT, ByteSpan{(u8*)big.data(), big.size()});  // pool full
    EXPECT_EQ(list->text_count, 1u);
    for (int i = 0; i < 200; i++) add_text(list.get(), 0, 0, 1, 1, 0, ALIGN_LEFT, lit("t"));
    EXPECT_EQ(list->text_count, DRAW_TEXT_CAPACITY);

    // A clipped solid rectangle and a checkerboard whose phase counts from
    // its unclipped corner.
    draw_list_clear(list.get());
    add_rect(list.get(), -5, -5, 3, 2, 0x112233);
    add_checker(list.get(), -10, 0, 40, 40, 0xA, 0xB, 3, 0);
    std::vector<u32> px(40 * 40, 0);
    draw_rects(list.get(), px.data(), 40, 40, 40);
    for (int y = 0; y < 40; y++) {
        for (int x = 0; x < 40; x++) {
            u32 expected = ((((x + 10 + 3) ^ y) >> 4) & 1) ? 0xB : 0xA;
            ASSERT_EQ(px[y * 40 + x], expected) << x << "," << y;
        }
    }
    draw_list_clear(list.get());
    add_rect(list.get(), -5, -5, 3, 2, 0x112233);
    draw_rects(list.get(), px.data(), 40, 40, 40);
    EXPECT_EQ(px[0], 0x112233u);
    EXPECT_EQ(px[1 * 40 + 2], 0x112233u);
    EXPECT_EQ(px[2 * 40 + 2], 0xAu);  // below the clipped rectangle: still the checkerboard
    EXPECT_EQ(px[1 * 40 + 3], 0xBu);  // right of it
}

TEST(Frame, NoPixelsBoxAndStatus) {
    AppFixture f;
    auto list = std::make_unique<DrawList>();
    build_frame_ui(f.app, list.get());
    bool hint = false;
    for (u32 i = 0; i < list->text_count; i++) {
        std::string t((const char*)list->pool + list->texts[i].offset, list->texts[i].length);
        if (t == "Open an image with Ctrl+O or the Open button, or drop files here.") hint = true;
    }
    EXPECT_TRUE(hint);

    f.open("C:\\x\\picture.bmp");  // no pixels yet
    f.app->error[0] = 0;
    build_frame_ui(f.app, list.get());
    std::vector<std::string> texts;
    for (u32 i = 0; i < list->text_count; i++) {
        texts.emplace_back((const char*)list->pool + list->texts[i].offset, list->texts[i].length);
    }
    EXPECT_NE(std::find(texts.begin(), texts.end(), "BMP: no decoder yet"), texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), "picture.bmp"), texts.end());
    f.app->error[0] = ERR_TRUNCATED;
    build_frame_ui(f.app, list.get());
    bool truncated = false;
    for (u32 i = 0; i < list->text_count; i++) {
        std::string t((const char*)list->pool + list->texts[i].offset, list->texts[i].length);
        if (t == "BMP: truncated") truncated = true;
    }
    EXPECT_TRUE(truncated);
    f.app->error[0] = 200;  // not a code: shown as "ok" rather than out of the table
    build_frame_ui(f.app, list.get());
    bool ok_name = false;
    for (u32 i = 0; i < list->text_count; i++) {
        std::string t((const char*)list->pool + list->texts[i].offset, list->texts[i].length);
        if (t == "BMP: ok") ok_name = true;
    }
    EXPECT_TRUE(ok_name);
}

TEST(Status, TextsAndSizes) {
    AppFixture f;
    TextBuffer t;
    f.open("C:\\photo.jpg");
    u32 s = f.app->active;
    f.app->width[s] = 640;
    f.app->height[s] = 480;
    f.app->zoom[s] = 0x8000;
    f.app->format[s] = FORMAT_JPEG;
    f.app->has_pixels |= 1;
    f.app->frame_count[s] = 1;
    status_text(f.app, &t);
    EXPECT_EQ(str(t), "640 x 480   JPEG   50%");
    f.app->frame_count[s] = 7;
    f.app->frame[s] = 2;
    status_text(f.app, &t);
    EXPECT_EQ(str(t), "640 x 480   JPEG   50%   frame 3/7");
    // The pointer position joins the status line inside the image area.
    f.app->pointer_x = 520 + 10;
    f.app->pointer_y = 352 - 4;
    f.app->cx[s] = 100 * 65536;
    f.app->cy[s] = 50 * 65536;
    status_line(f.app, &t);
    EXPECT_EQ(str(t), "640 x 480   JPEG   50%   frame 3/7   (120, 42)");
    f.app->pointer_x = 2;
    status_line(f.app, &t);
    EXPECT_EQ(str(t), "640 x 480   JPEG   50%   frame 3/7");
    f.app->mode_flags |= MODE_BROWSER;
    f.app->entry_count = 12;
    status_text(f.app, &t);
    EXPECT_EQ(str(t), "12 entries");

    auto size = [](u64 bytes) {
        TextBuffer b;
        text_clear(&b);
        format_size(&b, bytes);
        return std::string((const char*)b.bytes, b.length);
    };
    EXPECT_EQ(size(0), "0 B");
    EXPECT_EQ(size(1023), "1023 B");
    EXPECT_EQ(size(1024), "1.0 KiB");
    EXPECT_EQ(size(1536), "1.5 KiB");
    EXPECT_EQ(size(1048575), "1023.9 KiB");
    EXPECT_EQ(size(1048576), "1.0 MiB");
    EXPECT_EQ(size(10 << 20), "10.0 MiB");
    EXPECT_EQ(size(0xFFFFFFFFull), "4095.9 MiB");
}

TEST(Pointer, EdgeCodesAndCorners) {
    EXPECT_EQ(edge_code(1040, 700, 500, 300), 0u);
    EXPECT_EQ(edge_code(1040, 700, 3, 300), EDGE_LEFT);
    EXPECT_EQ(edge_code(1040, 700, 4, 300), 0u);
    EXPECT_EQ(edge_code(1040, 700, 1036, 300), EDGE_RIGHT);
    EXPECT_EQ(edge_code(1040, 700, 500, 699), EDGE_BOTTOM);
    // Near a side edge the top and bottom zones are 16 pixels, and the other
    // way round: 16-pixel corners.
    EXPECT_EQ(edge_code(1040, 700, 2, 15), EDGE_LEFT | EDGE_TOP);
    EXPECT_EQ(edge_code(1040, 700, 2, 16), EDGE_LEFT);
    EXPECT_EQ(edge_code(1040, 700, 15, 1), EDGE_LEFT | EDGE_TOP);
    EXPECT_EQ(edge_code(1040, 700, 1024, 698), EDGE_RIGHT | EDGE_BOTTOM);
    EXPECT_EQ(edge_code(1040, 700, 1023, 698), EDGE_BOTTOM);
}

static Event pointer(u32 kind, i32 x, i32 y, const AppState* app) {
    Event e = {};
    e.kind = kind;
    e.x = x;
    e.y = y;
    e.window_left = app->window_rect[0];
    e.window_top = 80;
    e.window_right = 1160;
    e.window_bottom = 780;
    e.window_left = 120;
    e.screen_x = 120 + x;
    e.screen_y = 80 + y;
    return e;
}

TEST(Pointer, WindowDragsKeepTheMinimumSize) {
    AppFixture f;
    Event e = pointer(EVENT_BUTTON_DOWN, 1, 300, f.app);  // left edge
    handle_input(f.app, &e);
    EXPECT_EQ(f.app->drag_mode, (u32)DRAG_WINDOW);
    EXPECT_NE(f.app->requests & REQ_CAPTURE, 0u);
    e = pointer(EVENT_MOUSE_MOVE, 1 + 600, 300, f.app);
    e.screen_x = 121 + 600;
    handle_input(f.app, &e);
    // Past the minimum: the right edge stays and the width is 640.
    EXPECT_EQ(f.app->window_rect[2], 1160);
    EXPECT_EQ(f.app->window_rect[0], 1160 - 640);
    EXPECT_NE(f.app->requests & REQ_MOVE, 0u);
    e = pointer(EVENT_BUTTON_UP, 0, 0, f.app);
    f.app->requests = 0;
    handle_input(f.app, &e);
    EXPECT_EQ(f.app->drag_mode, (u32)DRAG_NONE);
    EXPECT_EQ(f.app->requests & (REQ_RELEASE | REQ_REPAINT), REQ_RELEASE | REQ_REPAINT);

    // The caption band moves the whole window; a double-click maximises.
    e = pointer(EVENT_BUTTON_DOWN, 700, 20, f.app);
    handle_input(f.app, &e);
    e = pointer(EVENT_MOUSE_MOVE, 700, 20, f.app);
    e.screen_x += 30;
    e.screen_y -= 10;
    handle_input(f.app, &e);
    EXPECT_EQ(f.app->window_rect[0], 150);
    EXPECT_EQ(f.app->window_rect[1], 70);
    EXPECT_EQ(f.app->window_rect[3] - f.app->window_rect[1], 700);
    e = pointer(EVENT_BUTTON_UP, 0, 0, f.app);
    handle_input(f.app, &e);
    e = pointer(EVENT_DOUBLE_CLICK, 700, 20, f.app);
    handle_input(f.app, &e);
    EXPECT_NE(f.app->mode_flags & MODE_MAXIMISED, 0u);
    // Maximised: the edges no longer resize.
    e = pointer(EVENT_BUTTON_DOWN, 1, 300, f.app);
    handle_input(f.app, &e);
    EXPECT_NE(f.app->drag_mode, (u32)DRAG_WINDOW);
}

TEST(Pointer, TabDragReordersAndImageDragPans) {
    AppFixture f;
    f.open("proc-2000x2000");
    f.open("proc-20x20");
    f.open("proc-30x30");
    layout(f.app);
    const HitRegion* first = region(f.app, CMD_ACTIVATE_TAB);
    Event e = pointer(EVENT_BUTTON_DOWN, first->x0 + 10, 20, f.app);
    handle_input(f.app, &e);
    EXPECT_EQ(f.app->active, 0u);
    EXPECT_EQ(f.app->drag_mode, (u32)DRAG_TAB);
    const HitRegion* third = region(f.app, CMD_ACTIVATE_TAB + 2);
    e = pointer(EVENT_MOUSE_MOVE, third->x0 + 10, 20, f.app);
    handle_input(f.app, &e);
    EXPECT_EQ(f.order(), "1,2,0");
    e = pointer(EVENT_BUTTON_UP, 0, 0, f.app);
    handle_input(f.app, &e);

    // A click on the close box closes that tab, not the one beneath it.
    layout(f.app);
    const HitRegion* close = region(f.app, CMD_CLOSE_AT + 1);
    e = pointer(EVENT_BUTTON_DOWN, close->x0 + 3, 20, f.app);
    handle_input(f.app, &e);
    EXPECT_EQ(f.order(), "1,0");
    e = pointer(EVENT_BUTTON_UP, 0, 0, f.app);
    handle_input(f.app, &e);

    activate(f.app, 0);
    execute(f.app, CMD_ACTUAL_SIZE);
    i64 cx = f.app->cx[0];
    e = pointer(EVENT_BUTTON_DOWN, 500, 300, f.app);
    handle_input(f.app, &e);
    EXPECT_EQ(f.app->drag_mode, (u32)DRAG_PAN);
    e = pointer(EVENT_MOUSE_MOVE, 540, 300, f.app);
    handle_input(f.app, &e);
    EXPECT_EQ(f.app->cx[0], cx - 40 * 65536);
    e = pointer(EVENT_BUTTON_UP, 540, 300, f.app);
    handle_input(f.app, &e);
    // A double-click on the image fits it.
    e = pointer(EVENT_DOUBLE_CLICK, 500, 300, f.app);
    handle_input(f.app, &e);
    EXPECT_TRUE(bit(f.app->fit, 0));
}

TEST(Pointer, HoverCursorsAndLeave) {
    AppFixture f;
    Event e = pointer(EVENT_MOUSE_MOVE, 20, 12, f.app);
    handle_input(f.app, &e);
    EXPECT_EQ(f.app->hovered, (u32)CMD_OPEN);
    EXPECT_EQ(f.app->cursor, (u32)CURSOR_HAND);
    e = pointer(EVENT_MOUSE_MOVE, 1, 1, f.app);
    handle_input(f.app, &e);
    EXPECT_EQ(f.app->cursor, (u32)CURSOR_NWSE);
    e = pointer(EVENT_MOUSE_MOVE, 1039, 1, f.app);
    handle_input(f.app, &e);
    EXPECT_EQ(f.app->cursor, (u32)CURSOR_NESW);
    e = pointer(EVENT_MOUSE_MOVE, 500, 698, f.app);
    handle_input(f.app, &e);
    EXPECT_EQ(f.app->cursor, (u32)CURSOR_NS);
    e = pointer(EVENT_LEAVE, 0, 0, f.app);
    handle_input(f.app, &e);
    EXPECT_EQ(f.app->pointer_x, -1);
    EXPECT_EQ(f.app->hovered, 0u);
    EXPECT_EQ(f.app->cursor, 0u);
}

TEST(Pointer, HidingTheBrowserMidDragReleasesTheCapture) {
    AppFixture f;
    fs::path dir = browse_generated_folder(f, 100);
    layout(f.app);
    i32 top = 0;
    i32 length = 0;
    ASSERT_TRUE(browser_thumb(f.app, &top, &length));
    Event e = pointer(EVENT_BUTTON_DOWN, f.app->scroll_x + 5, f.app->list_rect.y0 + top + 2, f.app);
    handle_input(f.app, &e);
    ASSERT_EQ(f.app->drag_mode, (u32)DRAG_THUMB);
    EXPECT_NE(f.app->requests & REQ_CAPTURE, 0u);
    f.app->requests = 0;
    Event esc = {};
    esc.kind = EVENT_KEY;
    esc.key = 0x1B;
    handle_input(f.app, &esc);
    EXPECT_EQ(f.app->mode_flags & MODE_BROWSER, 0u);
    EXPECT_EQ(f.app->drag_mode, (u32)DRAG_NONE);
    EXPECT_NE(f.app->requests & REQ_RELEASE, 0u);
    fs::remove_all(dir);
}

TEST(Frame, CheckerPhaseForTheWidestImagesAtTheHighestZoom) {
    // cx x zoom passes 64 bits for the widest images at 3200 %; the phase is
    // still the exact product's, wrapped to 32 bits, and the small cases keep
    // their old values.
    AppFixture f;
    f.open("proc-64x64");
    u32 s = f.app->active;
    auto list = std::make_unique<DrawList>();
    struct Case {
        i64 cx, cy;
        u32 zoom;
    };
    const i64 widest = ((i64)1 << 31) - 1;
    for (Case c : {Case{widest << 16, (widest << 16) - 12345, 0x200000}, Case{(widest << 16) / 3, 77, 0x1C000},
                   Case{32 << 16, 32 << 16, 0x10000}, Case{-(5 << 16) - 3, 1 << 20, 0x200000}}) {
        f.app->cx[s] = c.cx;
        f.app->cy[s] = c.cy;
        f.app->zoom[s] = c.zoom;
        build_frame_ui(f.app, list.get());
        const DrawRect* checker = nullptr;
        for (u32 i = 0; i < list->rect_count; i++) {
            if (list->rects[i].kind == RECT_CHECKER) checker = &list->rects[i];
        }
        ASSERT_NE(checker, nullptr);
        const Rect& r = f.app->image_rect;
        auto expected = [](i64 v, u32 zoom, i32 half) {
            __int128 p = (__int128)v * zoom;
            return (i32)(u32)(u64)((i64)(p >> 32) - half);
        };
        EXPECT_EQ(checker->phase_x, expected(c.cx, c.zoom, (r.x1 - r.x0) / 2)) << c.cx;
        EXPECT_EQ(checker->phase_y, expected(c.cy, c.zoom, (r.y1 - r.y0) / 2)) << c.cy;
    }
    // Rasterising a phase at the 32-bit limits wraps rather than overflows,
    // and bit 4 of the sum is what it would be without the wrap.
    draw_list_clear(list.get());
    add_checker(list.get(), 0, 0, 64, 2, 0xA, 0xB, 0x7FFFFFF0, (i32)0x80000000);
    std::vector<u32> px(64 * 2, 0);
    draw_rects(list.get(), px.data(), 64, 64, 2);
    for (int x = 0; x < 64; x++) {
        u32 expected = ((((u32)x + 0x7FFFFFF0u) ^ 0x80000000u) >> 4) & 1 ? 0xB : 0xA;
        EXPECT_EQ(px[x], expected) << x;
    }
}
