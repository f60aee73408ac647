// The X11 window's input translation that needs no display: key symbols to
// the key tables' codes and back, the double-click recogniser, when a drop
// stops waiting for its data, and the reader of dropped URI lists, whose bad
// entries must name no file.
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/x11/input.h"
#include "platform/x11/uri_list.h"

TEST(X11Keys, EveryCodeTheKeyTablesUseRoundTrips) {
    std::vector<u32> codes = {0x08, 0x09, 0x0D, 0x1B, 0x20, 0x6B, 0x6D, 0xBB, 0xBC, 0xBD, 0xBE};
    for (u32 c = 0x21; c <= 0x28; c++) codes.push_back(c);
    for (u32 c = 0x30; c <= 0x39; c++) codes.push_back(c);
    for (u32 c = 0x41; c <= 0x5A; c++) codes.push_back(c);
    for (u32 c = 0x60; c <= 0x69; c++) codes.push_back(c);
    for (u32 c = 0x70; c <= 0x7B; c++) codes.push_back(c);
    for (u32 c : codes) {
        u32 keysym = keysym_from_key_code(c);
        ASSERT_NE(keysym, 0u) << std::hex << c;
        EXPECT_EQ(key_code_from_keysym(keysym), c) << std::hex << c;
    }
}

TEST(X11Keys, OneCodePerKeyWhateverTheLevel) {
    EXPECT_EQ(key_code_from_keysym(XK_a), 0x41u);
    EXPECT_EQ(key_code_from_keysym(XK_A), 0x41u);
    EXPECT_EQ(key_code_from_keysym(XK_equal), 0xBBu);
    EXPECT_EQ(key_code_from_keysym(XK_plus), 0xBBu);
    EXPECT_EQ(key_code_from_keysym(XK_ISO_Left_Tab), 0x09u);
    EXPECT_EQ(key_code_from_keysym(XK_KP_Enter), 0x0Du);
    EXPECT_EQ(key_code_from_keysym(XK_KP_Home), 0x24u);  // the keypad without Num Lock
    EXPECT_EQ(key_code_from_keysym(XK_KP_7), 0x67u);     // and with it
    EXPECT_EQ(key_code_from_keysym(XK_F4), 0x73u);
    EXPECT_EQ(key_code_from_keysym(XK_Alt_L), 0x12u);
    EXPECT_EQ(key_code_from_keysym(XK_Shift_R), 0x10u);
    EXPECT_EQ(key_code_from_keysym(XK_Control_L), 0x11u);
    // Keys the tables have no code for.
    EXPECT_EQ(key_code_from_keysym(XK_dead_acute), 0u);
    EXPECT_EQ(key_code_from_keysym(XK_Cyrillic_a), 0u);
    EXPECT_EQ(key_code_from_keysym(0), 0u);
    EXPECT_EQ(keysym_from_key_code(0xFE), 0u);
    EXPECT_TRUE(keypad_digit_keysym(XK_KP_0));
    EXPECT_TRUE(keypad_digit_keysym(XK_KP_Decimal));
    EXPECT_FALSE(keypad_digit_keysym(XK_KP_Add));
    EXPECT_FALSE(keypad_digit_keysym(XK_0));
}

TEST(X11Clicks, PairsWithinTimeAndDistanceAndStartsOverAfterADouble) {
    ClickState s = {};
    EXPECT_FALSE(pair_click(&s, 1000, 50, 50));
    EXPECT_TRUE(pair_click(&s, 1200, 52, 48));   // 200 ms, 2 pixels away
    EXPECT_FALSE(pair_click(&s, 1300, 52, 48));  // a third press starts over
    EXPECT_TRUE(pair_click(&s, 1800, 52, 48));   // exactly 500 ms
    EXPECT_FALSE(pair_click(&s, 5000, 10, 10));
    EXPECT_FALSE(pair_click(&s, 5501, 10, 10));  // 501 ms: a new first click
    EXPECT_FALSE(pair_click(&s, 5600, 13, 10));  // 3 pixels away
    EXPECT_FALSE(pair_click(&s, 5700, 13, 7));
    // The server clock wraps at 2^32 ms.
    ClickState w = {};
    EXPECT_FALSE(pair_click(&w, 0xFFFFFF00u, 0, 0));
    EXPECT_TRUE(pair_click(&w, 0x10, 0, 0));
}

static std::string path_of(const std::string& uri, const std::string& host = "") {
    std::string out(uri.size() + 1, '\0');
    u64 n = 0;
    if (!file_uri_path(ByteSpan{(u8*)uri.data(), uri.size()}, ByteSpan{(u8*)host.data(), host.size()},
                       (u8*)out.data(), &n)) {
        return "<none>";
    }
    return out.substr(0, n);
}

TEST(X11Drops, AWaitForDataEndsAfterFiveSecondsOrAtAnotherSourcesEnter) {
    // Within the wait only another source's enter ends it; the wrap of the
    // millisecond clock does not shorten or stretch the wait.
    for (u32 asked : {0u, 1000u, 0xFFFFFFFFu - 2000u, 0xFFFFFFFFu}) {
        for (u32 waited : {0u, 1u, DROP_DATA_WAIT_MS - 1}) {
            EXPECT_FALSE(drop_wait_given_up(asked, asked + waited, false)) << asked << " " << waited;
            EXPECT_TRUE(drop_wait_given_up(asked, asked + waited, true)) << asked << " " << waited;
        }
        for (u32 waited : {DROP_DATA_WAIT_MS, DROP_DATA_WAIT_MS + 1, 600000u}) {
            EXPECT_TRUE(drop_wait_given_up(asked, asked + waited, false)) << asked << " " << waited;
        }
    }
}

TEST(X11UriList, LocalFileUrisBecomePaths) {
    EXPECT_EQ(path_of("file:///tmp/a%20b.png"), "/tmp/a b.png");
    EXPECT_EQ(path_of("file://localhost/tmp/x.png"), "/tmp/x.png");
    EXPECT_EQ(path_of("file://LocalHost/tmp/x.png"), "/tmp/x.png");
    EXPECT_EQ(path_of("file://box/tmp/x.png", "box"), "/tmp/x.png");
    EXPECT_EQ(path_of("FILE:///x"), "/x");
    EXPECT_EQ(path_of("file:/tmp/y.png"), "/tmp/y.png");
    EXPECT_EQ(path_of("file:///caf%C3%a9.png"), "/caf\xC3\xA9.png");
    EXPECT_EQ(path_of("file:///100%25.png"), "/100%.png");
    EXPECT_EQ(path_of("file:///a#b?c"), "/a#b?c");
}

TEST(X11UriList, WhatNamesNoLocalFileIsRefused) {
    EXPECT_EQ(path_of("http://example.com/a.png"), "<none>");
    EXPECT_EQ(path_of("file://elsewhere/a.png", "box"), "<none>");
    EXPECT_EQ(path_of("file:relative.png"), "<none>");
    EXPECT_EQ(path_of("file://"), "<none>");
    EXPECT_EQ(path_of("file://localhost"), "<none>");
    EXPECT_EQ(path_of("file:"), "<none>");
    EXPECT_EQ(path_of("file:///a%2"), "<none>");
    EXPECT_EQ(path_of("file:///a%"), "<none>");
    EXPECT_EQ(path_of("file:///a%zz.png"), "<none>");
    EXPECT_EQ(path_of("file:///a%00b"), "<none>");
    EXPECT_EQ(path_of(std::string("file:///a\tb")), "<none>");
    EXPECT_EQ(path_of(std::string("file:///a\x7F")), "<none>");
    EXPECT_EQ(path_of("/tmp/plain/path.png"), "<none>");
    EXPECT_EQ(path_of(""), "<none>");
}

static std::vector<std::string> read_list(std::string text, u32 capacity = 16) {
    std::vector<u64> offsets(capacity), lengths(capacity);
    std::string host = "box";
    u32 n = read_uri_list((u8*)text.data(), text.size(), ByteSpan{(u8*)host.data(), host.size()}, offsets.data(),
                          lengths.data(), capacity);
    std::vector<std::string> out;
    for (u32 i = 0; i < n; i++) out.push_back(text.substr(offsets[i], lengths[i]));
    return out;
}

TEST(X11UriList, ListsKeepTheirFilesAndSkipTheRest) {
    using V = std::vector<std::string>;
    EXPECT_EQ(read_list("# a comment\r\nfile:///a\r\nhttp://b/c\r\nfile:///c%20d\nfile:///e"),
              (V{"/a", "/c d", "/e"}));
    EXPECT_EQ(read_list("file:///%41%42%43\r\n\r\n\r\nfile://box/x%2Fy\r\n"), (V{"/ABC", "/x/y"}));
    EXPECT_EQ(read_list(""), V{});
    EXPECT_EQ(read_list("\r\n\r\n"), V{});
    EXPECT_EQ(read_list("not a list at all"), V{});
    EXPECT_EQ(read_list(std::string("file:///a\0b\r\nfile:///ok", 23)), (V{"/ok"}));
    EXPECT_EQ(read_list("file:///bad%g0\r\nfile:///good"), (V{"/good"}));
    // At most `capacity` paths.
    EXPECT_EQ(read_list("file:///1\r\nfile:///2\r\nfile:///3\r\n", 2), (V{"/1", "/2"}));
}

// What a second start writes, read back by the window's reader: every byte
// of a path survives, whatever it is.
TEST(X11UriList, WrittenListsReadBackWhole) {
    std::string all_bytes = "/";
    for (int c = 1; c < 256; c++) all_bytes += (char)c;
    std::vector<std::string> paths = {"/plain/a.png", "/with space/ü%41.jpg", all_bytes, "/x/#not-a-comment"};
    std::vector<ByteSpan> spans;
    for (auto& p : paths) spans.push_back(ByteSpan{(u8*)p.data(), p.size()});
    std::vector<u8> out(4096);
    u64 n = write_uri_list(spans.data(), (u32)spans.size(), out.data(), out.size());
    ASSERT_GT(n, 0u);
    std::string text((const char*)out.data(), n);
    EXPECT_EQ(text.substr(0, 29), "file:///plain/a.png\r\nfile:///");
    EXPECT_EQ(text.find(' '), std::string::npos);
    EXPECT_EQ(read_list(text, 16), paths);

    // The exact room is enough, one byte less is not; relative and empty
    // paths are refused.
    u64 exact = write_uri_list(spans.data(), 1, out.data(), out.size());
    EXPECT_EQ(exact, 21u);
    EXPECT_EQ(write_uri_list(spans.data(), 1, out.data(), exact), exact);
    EXPECT_EQ(write_uri_list(spans.data(), 1, out.data(), exact - 1), 0u);
    // All bytes: 68 kept ("/" twice, letters, digits, "-._~"), 188 escaped,
    // 9 for "file://" and CR LF.
    EXPECT_EQ(write_uri_list(&spans[2], 1, out.data(), 641), 641u);
    EXPECT_EQ(write_uri_list(&spans[2], 1, out.data(), 640), 0u);
    std::string relative = "a.png";
    ByteSpan bad[2] = {ByteSpan{(u8*)relative.data(), relative.size()}, ByteSpan{nullptr, 0}};
    EXPECT_EQ(write_uri_list(&bad[0], 1, out.data(), out.size()), 0u);
    EXPECT_EQ(write_uri_list(&bad[1], 1, out.data(), out.size()), 0u);
}
