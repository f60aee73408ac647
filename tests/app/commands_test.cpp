#include <gtest/gtest.h>

#include "app/input.h"
#include "app_fixture.h"
#include "view/viewport.h"

// Runs a command from a clean request set and returns the requests it raised.
static u32 run(AppFixture& f, u32 command) {
    f.app->requests = 0;
    execute(f.app, command);
    return f.app->requests;
}

TEST(Commands, WindowCommands) {
    AppFixture f;
    EXPECT_EQ(run(f, CMD_QUIT), REQ_QUIT);
    EXPECT_EQ(run(f, CMD_MINIMISE), REQ_MINIMISE);
    EXPECT_EQ(run(f, CMD_MAXIMISE), REQ_MAXIMISE);
    EXPECT_NE(f.app->mode_flags & MODE_MAXIMISED, 0u);
    run(f, CMD_MAXIMISE);
    EXPECT_EQ(f.app->mode_flags & MODE_MAXIMISED, 0u);
    EXPECT_EQ(run(f, CMD_NONE), 0u);
}

TEST(Commands, ViewCommandsNeedATab) {
    AppFixture f;
    for (u32 c : {CMD_FIT, CMD_ACTUAL_SIZE, CMD_ZOOM_IN, CMD_ZOOM_OUT, CMD_PAN_LEFT, CMD_PAN_DOWN, CMD_NEXT_FRAME,
                  CMD_PLAY_PAUSE}) {
        EXPECT_EQ(run(f, c), 0u) << c;
    }
    EXPECT_EQ(f.app->active, NO_SLOT);
}

TEST(Commands, ZoomPanFitActualSize) {
    AppFixture f;
    f.open("proc-4000x3000");
    u32 s = f.app->active;
    u32 fitted = f.app->zoom[s];
    i64 cx = f.app->cx[s];
    // Zoom steps about the image-area centre keep the centre.
    EXPECT_EQ(run(f, CMD_ZOOM_IN), REQ_REPAINT);
    EXPECT_EQ(f.app->zoom[s], 16384u);  // 21 % -> 25 %
    EXPECT_EQ(f.app->cx[s], cx);
    EXPECT_FALSE(bit(f.app->fit, s));
    run(f, CMD_ZOOM_OUT);
    run(f, CMD_ZOOM_OUT);
    EXPECT_EQ(f.app->zoom[s], 9830u);  // 15 %
    // Actual size keeps the centre and clears fit.
    run(f, CMD_FIT);
    EXPECT_EQ(f.app->zoom[s], fitted);
    EXPECT_TRUE(bit(f.app->fit, s));
    EXPECT_EQ(run(f, CMD_ACTUAL_SIZE), REQ_REPAINT);
    EXPECT_EQ(f.app->zoom[s], 0x10000u);
    EXPECT_EQ(f.app->cx[s], cx);
    EXPECT_FALSE(bit(f.app->fit, s));
    // Pan left moves the centre by 64 screen pixels' worth of image.
    run(f, CMD_PAN_LEFT);
    EXPECT_EQ(f.app->cx[s], cx - 64 * 65536);
    run(f, CMD_PAN_RIGHT);
    run(f, CMD_PAN_UP);
    EXPECT_EQ(f.app->cx[s], cx);
    EXPECT_EQ(f.app->cy[s], 3000ll * 0x8000 - 64 * 65536);
    // Panning far stops at the edge.
    for (int i = 0; i < 100; i++) run(f, CMD_PAN_DOWN);
    EXPECT_EQ(f.app->cy[s], 3000ll * 65536);
    // Fit again: centred, fit set.
    run(f, CMD_FIT);
    EXPECT_EQ(f.app->cy[s], 3000ll * 0x8000);
}

TEST(Commands, TabCommands) {
    AppFixture f;
    f.open("proc-1x1");
    f.open("proc-2x2");
    f.open("proc-3x3");
    EXPECT_EQ(run(f, CMD_NEXT_TAB) & (REQ_REPAINT | REQ_TITLE), REQ_REPAINT | REQ_TITLE);
    EXPECT_EQ(f.app->active, 0u);
    run(f, CMD_PREVIOUS_TAB);
    EXPECT_EQ(f.app->active, 2u);
    EXPECT_EQ(run(f, CMD_MOVE_TAB_LEFT), REQ_REPAINT);
    EXPECT_EQ(f.order(), "0,2,1");
    run(f, CMD_MOVE_TAB_LEFT);
    run(f, CMD_MOVE_TAB_LEFT);  // already first
    EXPECT_EQ(f.order(), "2,0,1");
    run(f, CMD_MOVE_TAB_RIGHT);
    EXPECT_EQ(f.order(), "0,2,1");
    run(f, CMD_ACTIVATE_TAB + 2);
    EXPECT_EQ(f.app->active, 1u);
    EXPECT_EQ(run(f, CMD_ACTIVATE_TAB + 7) & REQ_TITLE, 0u);  // no such tab
    f.app->mode_flags |= MODE_BROWSER;
    run(f, CMD_CLOSE_AT + 0);
    EXPECT_EQ(f.order(), "2,1");
    EXPECT_EQ(f.app->mode_flags & MODE_BROWSER, 0u);
    run(f, CMD_CLOSE_TAB);
    EXPECT_EQ(f.order(), "2");
    EXPECT_EQ(f.app->active, 2u);
}

TEST(Commands, BrowserModeFilter) {
    AppFixture f;
    f.open("proc-100x100");
    u32 zoom = f.app->zoom[0];
    // Navigation commands need the browser.
    EXPECT_EQ(run(f, CMD_NEXT_ENTRY), 0u);
    EXPECT_EQ(run(f, CMD_CANCEL), 0u);
    u32 r = run(f, CMD_OPEN);
    EXPECT_EQ(r & (REQ_LIST | REQ_REPAINT), REQ_LIST | REQ_REPAINT);
    EXPECT_NE(f.app->mode_flags & MODE_BROWSER, 0u);
    EXPECT_EQ(f.message(), "Open: pick an image. Enter opens, Backspace goes up, Esc cancels.");
    // View and animation commands are ignored while it is shown.
    for (u32 c = 10; c <= 17; c++) EXPECT_EQ(run(f, c), 0u) << c;
    for (u32 c = 30; c <= 34; c++) EXPECT_EQ(run(f, c), 0u) << c;
    EXPECT_EQ(f.app->zoom[0], zoom);
    EXPECT_EQ(run(f, CMD_QUIT), REQ_QUIT);
    run(f, CMD_CANCEL);
    EXPECT_EQ(f.app->mode_flags & MODE_BROWSER, 0u);
    EXPECT_EQ(f.message(), "");
}

TEST(Commands, Keys) {
    EXPECT_EQ(key_command(0x30, MODIFIER_SHIFT, false), CMD_NONE);  // Shift+0 is nothing
    EXPECT_EQ(key_command(0xBB, MODIFIER_SHIFT, false), CMD_ZOOM_IN);
    EXPECT_EQ(key_command(0x6B, 0, false), CMD_ZOOM_IN);
    EXPECT_EQ(key_command(0x6B, MODIFIER_CTRL, false), CMD_NONE);
    EXPECT_EQ(key_command(0x26, 0, true), CMD_PREVIOUS_ENTRY);
    EXPECT_EQ(key_command(0x30, 0, true), CMD_NONE);
    EXPECT_EQ(key_command(0x20, 0, true), CMD_NONE);
    EXPECT_EQ(key_command(0x73, MODIFIER_ALT, true), CMD_QUIT);
    EXPECT_EQ(key_command(0x09, MODIFIER_CTRL | MODIFIER_SHIFT, false), CMD_PREVIOUS_TAB);
    EXPECT_EQ(name_key_command(37, 0), CMD_FOLDER_UP);
    EXPECT_EQ(name_key_command(39, 0), CMD_OPEN_SELECTION);
    EXPECT_EQ(name_key_command(0x41, MODIFIER_SHIFT), CMD_TYPE_CHAR + 'A');
    EXPECT_EQ(name_key_command(0x41, 0), CMD_TYPE_CHAR + 'a');
    EXPECT_EQ(name_key_command(0x31, MODIFIER_SHIFT), CMD_NONE);
    EXPECT_EQ(name_key_command(0x63, 0), CMD_TYPE_CHAR + '3');
    EXPECT_EQ(name_key_command(0xBD, MODIFIER_SHIFT), CMD_TYPE_CHAR + '_');
    EXPECT_EQ(name_key_command(0x41, MODIFIER_CTRL), CMD_NONE);
    EXPECT_EQ(name_key_command(0x73, MODIFIER_ALT), CMD_QUIT);
}

TEST(Commands, WheelNotchesKeepTheRemainder) {
    AppFixture f;
    f.open("proc-1000x1000");
    execute(f.app, CMD_ACTUAL_SIZE);
    Event e = {};
    e.kind = EVENT_WHEEL;
    e.x = 520;
    e.y = 352;
    e.wheel = 60;
    handle_input(f.app, &e);
    EXPECT_EQ(f.app->zoom[0], 0x10000u);
    handle_input(f.app, &e);
    EXPECT_EQ(f.app->zoom[0], 81920u);  // one notch in
    e.wheel = -240;
    handle_input(f.app, &e);
    EXPECT_EQ(f.app->zoom[0], 49152u);  // two notches out: 100 %, 75 %
    EXPECT_EQ(f.app->wheel_remainder, 0);
}

TEST(Animation, StepPlayAndClock) {
    AppFixture f;
    f.open("proc-10x10");
    f.animate(3, 2);
    u32 s = f.app->active;
    execute(f.app, CMD_PREVIOUS_FRAME);
    EXPECT_EQ(f.app->frame[s], 2u);
    EXPECT_EQ(f.app->jobs[s].requested_frame, 2u);
    EXPECT_TRUE(bit(f.app->changed, s));
    execute(f.app, CMD_NEXT_FRAME);
    EXPECT_EQ(f.app->frame[s], 0u);

    // Ticks do nothing while paused.
    animation_tick(f.app, 1000);
    EXPECT_EQ(f.app->next_frame_due[s], 0u);
    execute(f.app, CMD_PLAY_PAUSE);
    EXPECT_TRUE(bit(f.app->playing, s));
    // The first tick schedules; delays below 2 hundredths count as 20 ms; the
    // stored time has bit 0 set.
    animation_tick(f.app, 1000);
    EXPECT_EQ(f.app->next_frame_due[s], 1021u);
    animation_tick(f.app, 1020);
    EXPECT_EQ(f.app->frame[s], 0u);
    animation_tick(f.app, 1021);
    EXPECT_EQ(f.app->frame[s], 1u);
    EXPECT_EQ(f.app->next_frame_due[s], 1041u);
    animation_tick(f.app, 1041);
    EXPECT_EQ(f.app->frame[s], 2u);
    // Wrapping to frame 0 uses up one of the two plays.
    animation_tick(f.app, 1061);
    EXPECT_EQ(f.app->frame[s], 0u);
    EXPECT_EQ(f.app->loops_left[s], 1u);
    animation_tick(f.app, 1081);
    animation_tick(f.app, 1101);
    // The second wrap ends the animation on its last frame.
    animation_tick(f.app, 1121);
    EXPECT_EQ(f.app->frame[s], 2u);
    EXPECT_FALSE(bit(f.app->playing, s));
    EXPECT_EQ(f.app->loops_left[s], 0u);
    // Starting it again restarts from frame 0 with the full count.
    execute(f.app, CMD_PLAY_PAUSE);
    EXPECT_EQ(f.app->frame[s], 0u);
    EXPECT_EQ(f.app->loops_left[s], 2u);
    EXPECT_TRUE(bit(f.app->playing, s));
    EXPECT_EQ(f.app->next_frame_due[s], 0u);
}

TEST(Animation, ClockWrapsAndForeverLoops) {
    AppFixture f;
    f.open("proc-10x10");
    f.animate(2, 0);
    u32 s = f.app->active;
    execute(f.app, CMD_PLAY_PAUSE);
    // Scheduled across the 32-bit wrap of the tick count.
    animation_tick(f.app, 0xFFFFFFF0u);
    EXPECT_EQ(f.app->next_frame_due[s], (0xFFFFFFF0u + 20) | 1);
    animation_tick(f.app, 0xFFFFFFFFu);
    EXPECT_EQ(f.app->frame[s], 0u);
    animation_tick(f.app, 5);
    EXPECT_EQ(f.app->frame[s], 1u);
    for (u32 t = 100; t < 1000; t += 50) animation_tick(f.app, t);
    EXPECT_TRUE(bit(f.app->playing, s));  // play count 0 is forever
    // A still image never animates.
    f.app->frame_count[s] = 1;
    f.app->playing = 0;
    execute(f.app, CMD_PLAY_PAUSE);
    EXPECT_FALSE(bit(f.app->playing, s));
}

TEST(Compare, CouplingAndModes) {
    AppFixture f;
    f.open("proc-500x100");
    f.open("proc-1000x100");
    f.open("proc-300x100");
    activate_at(f.app, 0);
    execute(f.app, CMD_COMPARE_MODE);  // off: nothing
    EXPECT_EQ(f.app->compare_mode, 0u);
    execute(f.app, CMD_COMPARE);
    EXPECT_EQ(f.app->compare_mode, 1u);
    EXPECT_EQ(f.app->compare_a, 0u);
    EXPECT_EQ(f.app->compare_b, 1u);
    execute(f.app, CMD_ACTUAL_SIZE);
    EXPECT_EQ(f.app->zoom[0], 0x10000u);
    TextBuffer t;
    status_text(f.app, &t);
    EXPECT_EQ(std::string((const char*)t.bytes, t.length), "500 x 100      100%   compare side by side");
    for (int i = 0; i < 4; i++) execute(f.app, CMD_COMPARE_MODE);
    EXPECT_EQ(f.app->compare_mode, 1u);
    // B is twice as wide: zooming A out stops where B would fall below 1 %.
    for (int i = 0; i < 30; i++) execute(f.app, CMD_ZOOM_OUT);
    EXPECT_EQ(f.app->zoom[0], 1309u);  // ceil((655 * 1000 - 500) / 500)
    EXPECT_EQ(coupled_zoom(f.app->zoom[0], 500, 1000), 655u);
    // Closing B ends compare.
    close_at(f.app, 1);
    EXPECT_EQ(f.app->compare_mode, 0u);
    EXPECT_EQ(f.app->compare_b, NO_SLOT);
    // Compare refuses with one tab, or with one that has no pixels.
    close_at(f.app, 1);
    execute(f.app, CMD_COMPARE);
    EXPECT_EQ(f.message(), "Compare needs two tabs with pixels.");
    f.open("C:\\loading.png");
    activate_at(f.app, 0);
    execute(f.app, CMD_COMPARE);
    EXPECT_EQ(f.app->compare_mode, 0u);
}

TEST(Compare, WhichTabIsBAndHowBFollows) {
    AppFixture f;
    f.open("proc-4000x3000");
    f.open("proc-1000x800");
    f.open("proc-300x300");
    // From the second of three, B is the third; from the last, the first.
    activate_at(f.app, 1);
    execute(f.app, CMD_COMPARE);
    EXPECT_EQ(f.app->compare_a, 1u);
    EXPECT_EQ(f.app->compare_b, 2u);
    execute(f.app, CMD_COMPARE);
    EXPECT_EQ(f.app->compare_mode, 0u);
    activate_at(f.app, 2);
    execute(f.app, CMD_COMPARE);
    EXPECT_EQ(f.app->compare_a, 2u);
    EXPECT_EQ(f.app->compare_b, 0u);
    execute(f.app, CMD_COMPARE);
    // A 4000-pixel-wide A at 100 % shows a 1000-pixel-wide B at 400 %. B's
    // zoom is four times A's: zooming out stops at A's own 655, zooming in
    // where B reaches 3200 %.
    activate_at(f.app, 0);
    execute(f.app, CMD_COMPARE);
    ASSERT_EQ(f.app->compare_b, 1u);
    execute(f.app, CMD_ACTUAL_SIZE);
    EXPECT_EQ(f.app->zoom[0], 0x10000u);
    EXPECT_EQ(coupled_zoom(f.app->zoom[0], 4000, 1000), 0x40000u);
    for (int i = 0; i < 40; i++) execute(f.app, CMD_ZOOM_OUT);
    EXPECT_EQ(f.app->zoom[0], 655u);
    for (int i = 0; i < 40; i++) execute(f.app, CMD_ZOOM_IN);
    EXPECT_EQ(f.app->zoom[0], 0x80000u);
    EXPECT_EQ(coupled_zoom(f.app->zoom[0], 4000, 1000), 0x200000u);
    // Activating B shows B alone; the compare state waits for A.
    activate_at(f.app, 1);
    EXPECT_FALSE(compare_shown(f.app));
    EXPECT_EQ(f.app->compare_mode, 1u);
    activate_at(f.app, 0);
    EXPECT_TRUE(compare_shown(f.app));
    // M cycles 1, 2, 3, 4 and back; the status names each mode.
    const char* names[] = {"overlay |", "overlay -", "difference", "side by side"};
    for (const char* n : names) {
        execute(f.app, CMD_COMPARE_MODE);
        TextBuffer t;
        status_text(f.app, &t);
        std::string s((const char*)t.bytes, t.length);
        EXPECT_EQ(s.substr(s.size() - std::string(n).size()), n);
    }
    EXPECT_EQ(f.app->compare_mode, 1u);
}
