// Loading real files into slots, and the request pass around it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "app/main_loop.h"
#include "app/scene.h"
#include "base/region.h"
#include "codec/job.h"
#include "app_fixture.h"
#include "platform/headless/headless.h"

namespace fs = std::filesystem;

struct TempDir {
    fs::path path;
    TempDir() {
        std::random_device rd;
        path = fs::temp_directory_path() / ("qb-load-" + std::to_string(rd()) + std::to_string(rd()));
        fs::create_directories(path);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string file(const std::string& name, const std::string& bytes) const {
        std::ofstream(path / name, std::ios::binary) << bytes;
        std::u8string s = (path / name).u8string();
        return std::string(s.begin(), s.end());
    }
};

static fs::path from_utf8_path(const std::string& s) {
    return fs::path(std::u8string(s.begin(), s.end()));
}

TEST(Load, UnreadableFileKeepsItsTab) {
    AppFixture f;
    TempDir t;
    std::string missing = t.file("x.png", "") + ".gone.png";
    f.open(missing);
    load_pending(f.app);
    EXPECT_EQ(f.message(), "Cannot read the file.");
    EXPECT_NE(f.app->mode_flags & MODE_ERROR, 0u);
    EXPECT_EQ(f.app->tab_count, 1u);
    EXPECT_TRUE(bit(f.app->no_pixels, 0));
    EXPECT_FALSE(bit(f.app->load_pending, 0));
    EXPECT_EQ(f.app->source[0].base, nullptr);
}

TEST(Load, FilesOf4GiBAndMoreAreRefused) {
    AppFixture f;
    TempDir t;
    std::string big = t.file("big.png", "");
    std::error_code ec;
    fs::resize_file(from_utf8_path(big), (u64)1 << 32, ec);  // sparse where the file system allows
    if (ec) GTEST_SKIP() << "cannot make a 4 GiB file here: " << ec.message();
    f.open(big);
    load_pending(f.app);
    EXPECT_EQ(f.message(), "Cannot read the file.");
    EXPECT_TRUE(bit(f.app->no_pixels, 0));
    EXPECT_EQ(f.app->source[0].base, nullptr);
}

TEST(Load, EmptyAndUnknownFilesFailTheProbe) {
    AppFixture f;
    TempDir t;
    f.open(t.file("empty.png", ""));
    f.open(t.file("text.bmp", "not a bitmap!"));
    f.open(t.file("cut.bmp", "BM not really"));
    load_pending(f.app);
    EXPECT_EQ(f.message(), "");  // a probe failure posts no message
    // The empty file was read into a region of one byte.
    EXPECT_NE(f.app->source[0].base, nullptr);
    EXPECT_EQ(f.app->source[0].reserved, 1u);
    for (u32 s = 0; s < 2; s++) {
        EXPECT_TRUE(bit(f.app->no_pixels, s));
        EXPECT_FALSE(bit(f.app->has_pixels, s));
        EXPECT_EQ(f.app->error[s], 0u);  // "bad_signature" is kept as 0
    }
    EXPECT_EQ(f.app->jobs[1].source.size, 13u);
    EXPECT_EQ(f.app->format[1], FORMAT_BMP);
    // A bitmap's signature with too few bytes behind it is the BMP probe's
    // fault, not an unknown file.
    EXPECT_TRUE(bit(f.app->no_pixels, 2));
    EXPECT_EQ(f.app->error[2], ERR_TRUNCATED);
    // Closing releases the memory.
    close_at(f.app, 0);
    EXPECT_EQ(f.app->source[0].base, nullptr);
}

TEST(RequestPass, OrderAndRequestsRaisedByALoad) {
    static Program p;
    p = Program{};
    headless_set_script(ByteSpan{nullptr, 0}, nullptr, nullptr);
    ASSERT_TRUE(arena_init(&p.arena, 8 << 20));
    ASSERT_TRUE(init_app_state(&p.app, &p.arena, 64, 4096));
    ASSERT_TRUE(create_main_window(&p.window, lit("Quorbel"), lit("Quorbel"), true));
    TempDir t;
    std::string path = t.file("a.png", "\x89PNG but cut");
    p.app.requests = 0;
    open_tab(&p.app, ByteSpan{(u8*)path.data(), path.size()});
    // Only the load and the title are asked for here; the repaint the load
    // raises is carried out in the same pass.
    p.app.requests = REQ_LOAD | REQ_TITLE | REQ_MOVE | REQ_CAPTURE | REQ_RELEASE | REQ_MAXIMISE | REQ_MINIMISE | REQ_QUIT;
    p.app.mode_flags |= MODE_MAXIMISED;
    p.app.window_rect[0] = 10;
    p.app.window_rect[1] = 20;
    p.app.window_rect[2] = 700;
    p.app.window_rect[3] = 500;
    apply_requests(&p);
    EXPECT_FALSE(bit(p.app.load_pending, 0));
    EXPECT_NE(p.app.source[0].base, nullptr);
    EXPECT_EQ(p.app.requests, 0u);
    const HeadlessRecord* r = headless_record();
    EXPECT_EQ(std::string((const char*)r->ops, r->op_count), "tmcuxndi");
    EXPECT_EQ(std::string((const char*)r->title.bytes, r->title.length), "a.png - Quorbel");
    release(&p.app.source[0]);
}

TEST(RequestPass, MaximisingKeepsAFullOperationLog) {
    // Maximise and restore are one operation each, their move included, and
    // once the log is full nothing in it changes.
    static Program p;
    p = Program{};
    headless_set_script(ByteSpan{nullptr, 0}, nullptr, nullptr);
    ASSERT_TRUE(create_main_window(&p.window, lit("Quorbel"), lit("Quorbel"), true));
    const HeadlessRecord* r = headless_record();
    u32 start = r->op_count;
    set_maximised(&p.window, true);
    set_maximised(&p.window, false);
    EXPECT_EQ(std::string((const char*)r->ops + start, r->op_count - start), "xr");
    while (r->op_count < sizeof r->ops) set_capture(&p.window, true);
    std::string full((const char*)r->ops, r->op_count);
    set_maximised(&p.window, true);
    set_maximised(&p.window, false);
    EXPECT_EQ(r->op_count, (u32)sizeof r->ops);
    EXPECT_EQ(std::string((const char*)r->ops, r->op_count), full);
}

// Memory that cannot be had, at whichever step runs out (reserving or
// committing the job's region when the file opens, populating pages during
// the decode), leaves the document showing its error box with "too_large",
// and whatever was taken is given back.
TEST(Load, MemoryRefusedAtAnyStepShowsTooLarge) {
    TempDir t;
    std::string png;
    {
        std::ifstream in(fs::path(QB_SOURCE_DIR) / "tests" / "data" / "small-rgb.png", std::ios::binary);
        png.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    ASSERT_FALSE(png.empty());
    std::string path = t.file("a.png", png);
    // The file's own region takes the first reserve, commit and populate.
    for (u32 step : {REGION_STEP_RESERVE, REGION_STEP_COMMIT}) {
        AppFixture f;
        f.open(path);
        region_fail_next(step, 1);
        load_pending(f.app);
        region_fail_next(REGION_STEP_NONE, 0);
        EXPECT_NE(f.app->source[0].base, nullptr) << step;
        EXPECT_EQ(f.app->error[0], ERR_TOO_LARGE) << step;
        EXPECT_TRUE(bit(f.app->no_pixels, 0)) << step;
        EXPECT_FALSE(bit(f.app->has_pixels, 0)) << step;
        EXPECT_EQ(f.app->job_region[0].base, nullptr) << step;
    }
    AppFixture f;
    f.open(path);
    load_pending(f.app);
    ASSERT_TRUE(bit(f.app->has_pixels, 0));
    ASSERT_NE(f.app->job_region[0].base, nullptr);
    // The first decode populates the display buffer before writing it.
    region_fail_next(REGION_STEP_POPULATE, 0);
    CodecError err;
    EXPECT_FALSE(decode_step(&f.app->jobs[0], &err));
    region_fail_next(REGION_STEP_NONE, 0);
    EXPECT_EQ(err.code, ERR_TOO_LARGE);
    // The tile cache reports the failure as the paint cycle does.
    ViewScene scene;
    build_scene(f.app, &scene);
    RenderCounters counters{};
    counters.failed = true;
    counters.error_code = err.code;
    counters.error_document = 0;
    apply_scene_results(f.app, &scene, &counters);
    EXPECT_EQ(f.app->error[0], ERR_TOO_LARGE);
    EXPECT_TRUE(bit(f.app->no_pixels, 0));
    EXPECT_FALSE(bit(f.app->has_pixels, 0));
    EXPECT_EQ(f.app->job_region[0].base, nullptr);
}

// A decoder that shows a damaged part in its place (a TIFF block) leaves its
// first fault in the job: the message line names it once.
TEST(Load, DamagedPartIsNamedOnce) {
    TempDir t;
    std::string png;
    {
        std::ifstream in(fs::path(QB_SOURCE_DIR) / "tests" / "data" / "small-rgb.png", std::ios::binary);
        png.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    AppFixture f;
    f.open(t.file("a.png", png));
    load_pending(f.app);
    ASSERT_TRUE(bit(f.app->has_pixels, 0));
    f.app->jobs[0].tile_error = CodecError{ERR_BAD_HEADER, 1234};
    f.app->jobs[0].tile_error_new = true;
    ViewScene scene;
    build_scene(f.app, &scene);
    RenderCounters counters{};
    apply_scene_results(f.app, &scene, &counters);
    EXPECT_EQ(f.message(), "Part of the image is damaged: bad_header at 1234");
    EXPECT_TRUE(bit(f.app->has_pixels, 0));  // the document still shows
    set_message(f.app, lit(""), false);
    apply_scene_results(f.app, &scene, &counters);
    EXPECT_EQ(f.message(), "");
}

// An image too large for one paint decodes a band per step while it is on
// screen; a file whose data runs out part way fails the document with
// "truncated", and no step is asked for after that.
TEST(Load, LargeLossyWebpDecodesInStepsAndAFailedStepFailsTheDocument) {
    TempDir t;
    std::string webp;
    {
        std::ifstream in(fs::path(QB_SOURCE_DIR) / "tests" / "data" / "lossy-2000x1400.webp", std::ios::binary);
        webp.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    ASSERT_GT(webp.size(), 20u);
    ASSERT_EQ(webp.compare(12, 4, "VP8 "), 0);
    // The same frame with its data cut in half, in a container that says so.
    u32 size = (u8)webp[16] | (u8)webp[17] << 8 | (u8)webp[18] << 16 | (u32)(u8)webp[19] << 24;
    std::string cut = webp.substr(0, 20) + webp.substr(20, size / 2);
    u32 half = (u32)cut.size() - 20;
    if (half & 1) cut.push_back(0);
    for (int i = 0; i < 4; i++) {
        cut[16 + i] = (char)(half >> (8 * i));
        cut[4 + i] = (char)((cut.size() - 8) >> (8 * i));
    }
    AppFixture f;
    f.open(t.file("large.webp", webp));
    f.open(t.file("cut.webp", cut));
    load_pending(f.app);
    for (u32 slot = 0; slot < 2; slot++) {
        SCOPED_TRACE(slot);
        f.app->active = slot;
        ASSERT_TRUE(bit(f.app->has_pixels, slot));
        EXPECT_TRUE(f.app->jobs[slot].step_base);
        u32 steps = 0;
        while (next_base_step(f.app) == slot && steps < 100) {
            base_step(f.app, slot);
            steps++;
        }
        EXPECT_EQ(next_base_step(f.app), NO_SLOT);
        if (slot == 0) {
            EXPECT_GE(steps, 3u);  // the header, then two bands of rows
            EXPECT_TRUE(f.app->jobs[slot].base_done);
            EXPECT_TRUE(bit(f.app->has_pixels, slot));
        } else {
            EXPECT_GE(steps, 2u);
            EXPECT_FALSE(bit(f.app->has_pixels, slot));
            EXPECT_EQ(f.app->error[slot], ERR_TRUNCATED);
        }
    }
}
