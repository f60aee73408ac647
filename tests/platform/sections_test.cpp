// The headless test channel publishes through named sections like the
// Windows program: a reader that maps them by name sees the state text and
// the frame with its header.
#include <gtest/gtest.h>

#include <string>

#include "platform/headless/headless.h"
#include "platform/process.h"

TEST(Sections, HeadlessPublishesStateAndFrame) {
    static WindowState w;
    w = WindowState{};
    headless_set_script(ByteSpan{nullptr, 0}, nullptr, nullptr);
    headless_use_sections(true);
    ASSERT_TRUE(create_main_window(&w, lit("Quorbel"), lit("Quorbel"), true));
    headless_use_sections(false);
    if (w.state_view == nullptr || w.frame_header == nullptr) GTEST_SKIP() << "no shared memory here";
    std::string pid = std::to_string(process_id());
    std::string state_name = "QuorbelState" + pid;
    std::string frame_name = "QuorbelFrame" + pid;
    u8* state = open_shared_section(ByteSpan{(u8*)state_name.data(), state_name.size()}, 4096);
    u8* frame = open_shared_section(ByteSpan{(u8*)frame_name.data(), frame_name.size()}, w.frame_section_size);
    ASSERT_NE(state, nullptr);
    ASSERT_NE(frame, nullptr);
    ASSERT_NE(state, w.state_view);  // a second mapping, as another process has

    publish_state(&w, lit("tabs=0 sync=0000002a"));
    EXPECT_STREQ((const char*)state, "tabs=0 sync=0000002a");

    Event e;
    ASSERT_TRUE(next_event(&w, &e));  // the first size report
    Framebuffer fb = framebuffer(&w);
    ASSERT_NE(fb.pixels, nullptr);
    for (i32 i = 0; i < fb.width * fb.height; i++) fb.pixels[i] = 0x00102030u + (u32)i;
    present(&w, nullptr);
    const u32* h = (const u32*)frame;
    EXPECT_EQ(h[0], 0x46524251u);
    EXPECT_EQ(h[1], 1040u);
    EXPECT_EQ(h[2], (u32)-700);
    EXPECT_EQ(h[3], 32u);
    const u32 blit[7] = {0, 0, 1040, 700, 0, 0, 0xCC0020};
    for (int i = 0; i < 7; i++) EXPECT_EQ(h[4 + i], blit[i]) << i;
    EXPECT_EQ(h[11], 1u);
    const u32* pixels = h + 16;
    EXPECT_EQ(pixels[0], 0x00102030u);
    EXPECT_EQ(pixels[1040 * 700 - 1], 0x00102030u + 1040 * 700 - 1);
    headless_remove_sections();
}
