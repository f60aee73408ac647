// A 9456 x 9456 JPEG dropped on the X11 program (run under with-xvfb.sh):
// the eighth-size preview shows first, then full-resolution tiles at 100 %,
// and the process's resident memory grows by no more than the file, what
// the probe sized for the decode and the tiles the pool holds (with a little
// room for the window system's own buffers). The figures are printed.
#include <gtest/gtest.h>
#include <jpeglib.h>

#include <csetjmp>
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "codec/probe.h"
#include "tools/qbdrive/harness_x11.h"
#include "view/tile_cache.h"

using namespace x11h;

namespace {

constexpr u32 SIDE = 9456;

// A picture with smooth gradients and fine detail, written once beside the
// test (encoding 89 megapixels takes a few seconds).
std::string big_jpeg() {
    std::string path = std::string(QB_WORK_DIR) + "/big-9456.jpg";
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && st.st_size > 0) return path;
    std::string part = path + ".part";
    FILE* f = std::fopen(part.c_str(), "wb");
    if (f == nullptr) return "";
    jpeg_compress_struct c;
    jpeg_error_mgr e;
    c.err = jpeg_std_error(&e);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = SIDE;
    c.image_height = SIDE;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 80, TRUE);
    jpeg_start_compress(&c, TRUE);
    std::vector<u8> row(SIDE * 3);
    while (c.next_scanline < SIDE) {
        u32 y = c.next_scanline;
        for (u32 x = 0; x < SIDE; x++) {
            row[3 * x] = (u8)(x * 255 / SIDE);
            row[3 * x + 1] = (u8)(y * 255 / SIDE);
            row[3 * x + 2] = (u8)(((x / 16) ^ (y / 16)) & 1 ? 200 : 60);
        }
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::fclose(f);
    std::rename(part.c_str(), path.c_str());
    return path;
}

u64 resident_bytes(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
    }
    return 0;
}

std::string scene_of(const std::string& state) {
    size_t a = state.find(" scene=");
    size_t b = state.find(" full=");
    return a == std::string::npos || b == std::string::npos ? "" : state.substr(a + 7, b - a - 7);
}

u64 number_after(const std::string& text, const std::string& key) {
    size_t at = text.find(key + "=");
    return at == std::string::npos ? 0 : std::stoull(text.substr(at + key.size() + 1));
}

double mib(u64 bytes) {
    return (double)bytes / (1024.0 * 1024.0);
}

TEST(X11Memory, AHugeJpegShowsItsPreviewThenTilesWithinItsSizedMemory) {
    if (getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no X display (run under with-xvfb.sh)";
    std::string path = big_jpeg();
    ASSERT_FALSE(path.empty());
    std::ifstream in(path, std::ios::binary);
    std::vector<u8> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ImageInfo info;
    CodecError err;
    ASSERT_TRUE(probe_image(file.data(), file.size(), &info, &err));
    ASSERT_EQ(info.width, SIDE);

    X11Target t = {};
    ASSERT_TRUE(start_program(&t, {QB_QUORBEL, "--test"}));
    ASSERT_TRUE(open_channel(&t));
    u32 sync = 0;
    auto state = [&]() {
        std::string text;
        post_sync(&t, ++sync);
        EXPECT_EQ(wait_state(&t, sync, &text), ANSWERED);
        return text;
    };
    state();
    u64 before = resident_bytes(t.pid);

    ASSERT_TRUE(send_drop(&t, {path}));
    std::string preview = state();
    std::string preview_scene = scene_of(preview);
    u64 after_preview = resident_bytes(t.pid);
    // Fitted, the image is drawn from the eighth-size preview (level 3).
    EXPECT_NE(preview.find("status=9456 x 9456"), std::string::npos) << preview;
    EXPECT_EQ(number_after(preview_scene, "level"), 3u) << preview_scene;
    EXPECT_GT(number_after(preview_scene, "exact"), 0u) << preview_scene;

    // 100 %: full-resolution tiles, once the second stage has run.
    XEvent ev = {};
    ev.xkey.type = KeyPress;
    ev.xkey.display = t.display;
    ev.xkey.window = t.window;
    ev.xkey.root = t.root;
    ev.xkey.same_screen = True;
    ev.xkey.keycode = XKeysymToKeycode(t.display, XStringToKeysym("1"));
    XSendEvent(t.display, t.window, False, NoEventMask, &ev);
    XFlush(t.display);
    std::string full = state();
    std::string full_scene = scene_of(full);
    EXPECT_EQ(number_after(full_scene, "level"), 0u) << full_scene;
    EXPECT_GT(number_after(full_scene, "exact"), 0u) << full_scene;
    EXPECT_EQ(number_after(full_scene, "none"), 0u) << full_scene;
    // And a walk to the right across more tiles.
    ev.xkey.keycode = XKeysymToKeycode(t.display, XStringToKeysym("Right"));
    for (int i = 0; i < 8; i++) XSendEvent(t.display, t.window, False, NoEventMask, &ev);
    XFlush(t.display);
    std::string walked = state();
    std::string walked_scene = scene_of(walked);
    u64 after_full = resident_bytes(t.pid);
    stop(&t);

    u64 resident_tiles = number_after(walked_scene, "resident");
    u64 tile_pool = resident_tiles * TILE_BYTES + (u64)RENDER_LEVEL_MAX * TILE_BYTES;
    u64 sized = (u64)file.size() + info.scratch_bytes + info.pixel_bytes + info.extra_bytes;
    u64 slack = (u64)16 << 20;
    std::printf("file %.1f MiB, probe: scratch %.1f MiB, pixels %.1f MiB, second stage %.1f MiB\n", mib(file.size()),
                mib(info.scratch_bytes), mib(info.pixel_bytes), mib(info.extra_bytes));
    std::printf("tile pool in use: %llu tiles and the build scratch, %.1f MiB\n", (unsigned long long)resident_tiles,
                mib(tile_pool));
    std::printf("resident: %.1f MiB at start, %.1f MiB with the preview (%s), %.1f MiB at 100 %% (%s)\n", mib(before),
                mib(after_preview), preview_scene.c_str(), mib(after_full), walked_scene.c_str());
    std::printf("growth %.1f MiB against a bound of %.1f MiB (sized %.1f + tiles %.1f + %.1f for the window system)\n",
                mib(after_full - before), mib(sized + tile_pool + slack), mib(sized), mib(tile_pool), mib(slack));
    EXPECT_LE(after_preview - before, sized + tile_pool + slack);
    EXPECT_LE(after_full - before, sized + tile_pool + slack);
}

}  // namespace
