#include <gtest/gtest.h>

#include "app_fixture.h"

TEST(Tabs, StartState) {
    AppFixture f;
    EXPECT_EQ(f.app->active, NO_SLOT);
    EXPECT_EQ(f.title(), "Quorbel");
    EXPECT_EQ(f.message(), "Ctrl+O opens an image, or drop files here.");
    EXPECT_EQ(f.app->quality, 75u);
    EXPECT_EQ(f.app->divider, 0x8000u);
    EXPECT_EQ(f.state(),
              "tabs=0 active=- order= zoom=0 cx=0 cy=0 fit=0 orient=1 pick=0 max=0 title=Quorbel status= "
              "msg=Ctrl+O opens an image, or drop files here.");
}

TEST(Tabs, OpeningSetsUpASlot) {
    AppFixture f;
    f.app->mode_flags |= MODE_ERROR;
    ASSERT_EQ(f.open("C:\\pics\\cat.png"), OPEN_OK);
    u32 s = f.app->active;
    EXPECT_EQ(s, 0u);
    EXPECT_EQ(f.title(), "cat.png - Quorbel");
    EXPECT_EQ(f.message(), "");
    EXPECT_EQ(f.app->mode_flags & MODE_ERROR, 0u);
    EXPECT_EQ(f.app->format[s], FORMAT_PNG);
    EXPECT_EQ(f.app->name_offset[s], 8u);
    EXPECT_TRUE(bit(f.app->fit, s));
    EXPECT_TRUE(bit(f.app->no_pixels, s));
    EXPECT_TRUE(bit(f.app->load_pending, s));
    EXPECT_EQ(f.app->requests & (REQ_LOAD | REQ_TITLE | REQ_REPAINT), REQ_LOAD | REQ_TITLE | REQ_REPAINT);

    // A synthetic image knows its size from its name and needs no load.
    ASSERT_EQ(f.open("/tmp/proc-4000x3000"), OPEN_OK);
    s = f.app->active;
    EXPECT_EQ(s, 1u);
    EXPECT_EQ(f.app->width[s], 4000u);
    EXPECT_EQ(f.app->height[s], 3000u);
    EXPECT_FALSE(bit(f.app->no_pixels, s));
    EXPECT_FALSE(bit(f.app->load_pending, s));
    // Fitted into the 1032 x 628 image area: min(1032/4000, 628/3000).
    EXPECT_EQ(f.app->zoom[s], (u32)(628ull * 65536 / 3000));
    EXPECT_EQ(f.app->cx[s], 4000ll * 0x8000);
    EXPECT_EQ(f.app->cy[s], 3000ll * 0x8000);
}

TEST(Tabs, SamePathTwiceAndCase) {
    AppFixture f;
    f.open("C:\\a.png");
    f.open("C:\\b.png");
    EXPECT_EQ(f.open("C:\\a.png"), OPEN_ALREADY);
    EXPECT_EQ(f.app->tab_count, 2u);
    EXPECT_EQ(f.app->active, 0u);
    EXPECT_EQ(f.open("C:\\A.png"), OPEN_OK);  // paths compare byte for byte
    EXPECT_EQ(f.app->tab_count, 3u);
    EXPECT_EQ(f.open(""), OPEN_BAD_LENGTH);
    EXPECT_EQ(f.open(std::string(32768, 'a')), OPEN_BAD_LENGTH);
    EXPECT_EQ(f.app->tab_count, 3u);
}

TEST(Tabs, ThirtyThirdOpenIsRefused) {
    AppFixture f;
    for (int i = 0; i < 32; i++) ASSERT_EQ(f.open("proc-" + std::to_string(i + 1) + "x10"), OPEN_OK);
    f.app->requests = 0;
    std::string before = f.state();
    u32 used = f.app->used;
    EXPECT_EQ(f.open("proc-99x99"), OPEN_NO_SLOT);
    EXPECT_EQ(f.message(), "Too many tabs: close one first.");
    EXPECT_NE(f.app->mode_flags & MODE_ERROR, 0u);
    EXPECT_EQ(f.app->used, used);
    EXPECT_EQ(f.app->active, 31u);
    // Nothing but the message changed.
    EXPECT_EQ(f.state().substr(0, before.find(" msg=")), before.substr(0, before.find(" msg=")));
}

TEST(Tabs, FreedSlotIsReusedAtTheEndOfTheOrder) {
    AppFixture f;
    f.open("proc-1x1");
    f.open("proc-2x2");
    f.open("proc-3x3");
    close_at(f.app, 0);  // slot 0
    EXPECT_EQ(f.order(), "1,2");
    f.open("proc-4x4");
    EXPECT_EQ(f.app->active, 0u);
    EXPECT_EQ(f.order(), "1,2,0");
}

TEST(Tabs, Closing) {
    AppFixture f;
    f.open("proc-1x1.png");
    f.open("proc-2x2.png");
    f.open("proc-3x3.png");
    // Closing the last tab in the order activates the new last tab.
    close_at(f.app, 2);
    EXPECT_EQ(f.app->active, 1u);
    EXPECT_TRUE(bit(f.app->changed, 2));
    EXPECT_FALSE(bit(f.app->used, 2));
    // Closing the active tab in the middle activates the one now there.
    f.open("proc-4x4.png");  // slot 2 again, at the end
    activate_at(f.app, 0);
    close_at(f.app, 0);
    EXPECT_EQ(f.order(), "1,2");
    EXPECT_EQ(f.app->active, 1u);
    // Closing an inactive tab keeps the active one.
    close_at(f.app, 1);
    EXPECT_EQ(f.app->active, 1u);
    close_at(f.app, 5);  // outside the order: ignored
    EXPECT_EQ(f.app->tab_count, 1u);
    // Closing the only tab.
    close_at(f.app, 0);
    EXPECT_EQ(f.app->active, NO_SLOT);
    EXPECT_EQ(f.app->tab_count, 0u);
    EXPECT_EQ(f.title(), "Quorbel");
    EXPECT_EQ(f.app->used, 0u);
}

TEST(Tabs, RelativeActivationAndMoving) {
    AppFixture f;
    f.open("proc-1x1");
    f.open("proc-2x2");
    f.open("proc-3x3");
    f.open("proc-4x4");
    activate_relative(f.app, 1);  // from the last: wraps to the first
    EXPECT_EQ(f.app->active, 0u);
    activate_relative(f.app, -1);
    EXPECT_EQ(f.app->active, 3u);
    // With no active tab: Next gives the first, Previous the second-to-last.
    f.app->active = NO_SLOT;
    activate_relative(f.app, 1);
    EXPECT_EQ(f.app->active, 0u);
    f.app->active = NO_SLOT;
    activate_relative(f.app, -1);
    EXPECT_EQ(f.app->active, 2u);

    move_tab(f.app, 0, 2);
    EXPECT_EQ(f.order(), "1,2,0,3");
    move_tab(f.app, 3, 0);
    EXPECT_EQ(f.order(), "3,1,2,0");
    move_tab(f.app, 1, 4);  // out of range
    move_tab(f.app, 2, 2);
    EXPECT_EQ(f.order(), "3,1,2,0");
    EXPECT_EQ(f.app->active, 2u);  // moving never changes the active slot
}

TEST(Tabs, OpenPathChecks) {
    AppFixture f;
    open_path(f.app, lit("C:\\docs\\notes.txt"));
    EXPECT_EQ(f.message(), "Not an image file: notes.txt");
    EXPECT_EQ(f.app->tab_count, 0u);
    std::string long_path(32768, 'p');
    open_path(f.app, ByteSpan{(u8*)long_path.data(), long_path.size()});
    EXPECT_EQ(f.message(), "Path too long: not opened.");
    // Opening leaves the browser.
    f.app->mode_flags |= MODE_BROWSER | MODE_NAME_ENTRY;
    open_path(f.app, lit("/x/y.GIF"));
    EXPECT_EQ(f.app->mode_flags & (MODE_BROWSER | MODE_NAME_ENTRY), 0u);
    EXPECT_EQ(f.app->format[0], FORMAT_GIF);
    // Bytes that are not UTF-8 are just bytes: still a tab, never a crash.
    open_path(f.app, lit("/x/\xFF\xFE.png"));
    EXPECT_EQ(f.app->tab_count, 2u);
}

TEST(Tabs, MarkFailed) {
    AppFixture f;
    f.open("proc-10x10");
    f.app->has_pixels |= 1;
    f.app->playing |= 1;
    mark_failed(f.app, 0, ERR_TRUNCATED);
    EXPECT_EQ(f.app->error[0], ERR_TRUNCATED);
    EXPECT_TRUE(bit(f.app->no_pixels, 0));
    EXPECT_FALSE(bit(f.app->has_pixels, 0));
    EXPECT_FALSE(bit(f.app->playing, 0));
    EXPECT_TRUE(bit(f.app->changed, 0));
    mark_failed(f.app, 0, ERR_BAD_SIGNATURE);
    EXPECT_EQ(f.app->error[0], 0u);
}
