// Frame times of the presentation with every tile resident, as ratios to a
// plain copy of the same number of pixels measured in the same run, for each
// kernel variant the processor runs; and tile renders per second from the
// pyramid (synthetic tiles, and coarser tiles reduced from four ready finer
// ones), as ratios to copying a tile.
#include <ctime>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <functional>
#include <memory>
#include <vector>

#include "codec/probe.h"
#include "view/blend.h"
#include "view/present.h"

// The thread's own processor time, so that other work on a busy machine does
// not count; the best of several rounds.
static double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

// One round: runs repeated for at least 40 ms, the time of one.
static double one_round(const std::function<void()>& run) {
    int n = 0;
    double start = thread_seconds();
    double elapsed = 0;
    do {
        run();
        n++;
        elapsed = thread_seconds() - start;
    } while (elapsed < 0.04);
    return elapsed / n;
}

static double seconds_per_run(const std::function<void()>& run) {
    double best = 1e9;
    for (int round = 0; round < 7; round++) best = std::min(best, one_round(run));
    return best;
}

// A frame and the plain copy it is compared with, timed in alternating
// rounds, so that a spell of load from other work on the machine (which
// slows memory for both) falls on both alike; the best round of each.
static void seconds_in_turns(const std::function<void()>& frame, const std::function<void()>& copy,
                             double* frame_out, double* copy_out) {
    *frame_out = *copy_out = 1e9;
    for (int round = 0; round < 15; round++) {
        *frame_out = std::min(*frame_out, one_round(frame));
        *copy_out = std::min(*copy_out, one_round(copy));
    }
}

struct Bench {
    Arena arena{};
    std::unique_ptr<TileCache> cache{new TileCache{}};
    RenderCounters counters;
    PresentTables tables;
    Bench() {
        if (!arena_init(&arena, 32 << 20) || !create(cache.get(), 2048) || !present_init(&tables, &arena)) {
            std::fprintf(stderr, "set-up failed\n");
            std::exit(1);
        }
        render_counters_init(&counters);
    }
};

static const char* variant_name(u32 v) {
    return v == KERNELS_SCALAR ? "scalar" : (v == KERNELS_SSE2 ? "sse2" : "avx2");
}

// An argument limits the frame cases to those whose name contains it, a
// second one the kernel variants (for profiling one path).
int main(int argc, char** argv) {
    const char* only = argc > 1 ? argv[1] : nullptr;
    const char* only_variant = argc > 2 ? argv[2] : nullptr;
    Bench b;
    struct Size { i32 w, h; };
    // A centre on a pixel edge makes 50 % an exact 2:1 of level 1 (every
    // blend weight 0); the offset centre is the general bilinear case.
    struct Case { const char* name; u32 zoom; u32 mode; i64 offset; };
    const Case cases[] = {{"100 %", 65536, 0, 0},        {"50 % on an edge", 32768, 0, 0},
                          {"50 %", 32768, 0, 0x5A5A},   {"33 %", 21627, 0, 0x5A5A},
                          {"difference 100 %", 65536, 4, 0}};
    std::printf("frame time / plain copy of the same pixels (all tiles resident)\n");
    for (Size sz : {Size{1040, 700}, Size{3840, 2160}}) {
        size_t pixels = (size_t)sz.w * sz.h;
        std::vector<u32> frame(pixels, 0x2A2A2A), source(pixels, 0x363636);
        double copy = seconds_per_run([&] { std::memcpy(frame.data(), source.data(), pixels * 4); });
        std::printf("%dx%d: copy %.3f ms\n", sz.w, sz.h, copy * 1e3);
        ViewTarget target = {frame.data(), (u64)sz.w, sz.w, sz.h, 0, 0};
        for (const Case& c : cases) {
            if (only != nullptr && std::strstr(c.name, only) == nullptr) continue;
            ViewScene scene = {};
            // 16000 x 12000 covers any view at these zooms.
            scene.documents[0] = SceneDocument{0, 16000, 12000, synthetic_source(16000, 12000), c.zoom,
                                               ((i64)8000 << 16) + c.offset, ((i64)6000 << 16) + c.offset, false};
            scene.documents[1] = SceneDocument{1, 16000, 12000, synthetic_source(16000, 12000), 0, 0, 0, false};
            scene.document_count = c.mode == 0 ? 1 : 2;
            scene.compare_mode = c.mode;
            scene.area = ViewArea{0, 0, sz.w, sz.h};
            draw_views(b.cache.get(), &b.counters, &b.tables, &scene, target);  // make every tile resident
            std::printf("  %-18s", c.name);
            for (u32 v = 0; v < KERNEL_VARIANT_COUNT; v++) {
                if (only_variant != nullptr && std::strcmp(variant_name(v), only_variant) != 0) continue;
                if (!blend_force(v)) continue;
                // The image is opaque, so each frame overwrites the last one
                // exactly as it would cover the checkerboard. The copy is timed in
                // turns with each frame: the machine's load changes.
                double t, c2;
                seconds_in_turns([&] { draw_views(b.cache.get(), &b.counters, &b.tables, &scene, target); },
                                 [&] { std::memcpy(frame.data(), source.data(), pixels * 4); }, &t, &c2);
                std::printf("  %s %.2f", variant_name(v), t / c2);
            }
            std::printf("   (rendered in the timed frames: %u)\n", b.counters.rendered);
            blend_select();
        }
    }

    if (only != nullptr) return 0;
    std::printf("tile renders per second\n");
    std::vector<u32> tile(65536), other(65536, 1);
    PixelBuffer pb = {(u8*)tile.data(), 1024, 256, 256};
    double tile_copy = seconds_per_run([&] { std::memcpy(tile.data(), other.data(), TILE_BYTES); });
    CodecError err;
    u32 col = 0;
    double synthetic = seconds_per_run([&] {
        render_any_level(b.cache.get(), synthetic_source(16000, 12000), 0, 0, col, 3, &pb, &err);
        col = (col + 1) % 60;
    });
    std::printf("  synthetic level 0: %.0f tiles/s, %.2f x a tile copy\n", 1 / synthetic, synthetic / tile_copy);
    // A source that serves only full size, with its children kept ready in
    // the cache: each coarser tile is four 2:1 reductions.
    static std::vector<u32> full(65536, 0x80402010u);
    TileSource level0 = {[](void*, u32 level, u32, u32, PixelBuffer* t, CodecError* e) {
                             if (level != 0) return fail(e, ERR_BAD_TARGET, 0);
                             std::memcpy(t->pixels, full.data(), TILE_BYTES);
                             return true;
                         },
                         nullptr, 1024, 1024};
    for (u32 c = 0; c < 4; c++)
        for (u32 r = 0; r < 4; r++) {
            u16 s = acquire(b.cache.get(), tile_key(9, 0, c, r));
            PixelBuffer t = {(u8*)tile_pixels(b.cache.get(), s), 1024, 256, 256};
            render_any_level(b.cache.get(), level0, 9, 0, c, r, &t, &err);
            mark_ready(b.cache.get(), s, b.cache->generation[s]);
        }
    u32 k = 0;
    double reduce = seconds_per_run([&] {
        render_any_level(b.cache.get(), level0, 9, 1, k & 1, (k >> 1) & 1, &pb, &err);
        k++;
    });
    std::printf("  level 1 from 4 cached level-0 tiles: %.0f tiles/s, %.2f x a tile copy\n", 1 / reduce,
                reduce / tile_copy);
    // From a PNG job: a Kodak photo decoded once, then its level-0 tiles
    // copied out of the job's buffer, edge-filled and swapped to BGRA.
    std::string kodak = std::string(QB_SHARED_DIR) + "/corpus/kodak/kodim01.png";
    std::ifstream in(kodak, std::ios::binary);
    if (!in) {
        std::printf("  from a PNG job: skipped (no %s)\n", kodak.c_str());
        return 0;
    }
    std::vector<u8> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ImageInfo info;
    if (!probe_image(file.data(), file.size(), &info, &err)) {
        std::printf("  from a PNG job: the probe failed\n");
        return 1;
    }
    std::vector<u8> region(align64(info.scratch_bytes) + align64(info.pixel_bytes) + 64);
    u8* base = (u8*)(((uintptr_t)region.data() + 63) & ~(uintptr_t)63);
    static DecodeJob job;
    start_job(&job, ByteSpan{file.data(), file.size()}, &info, base, info.scratch_bytes,
              base + align64(info.scratch_bytes), &err);
    job.swap_red_blue = true;
    TileSource png = job_source(&job);
    if (!render_any_level(b.cache.get(), png, 8, 0, 0, 0, &pb, &err)) {
        std::printf("  from a PNG job: the decode failed\n");
        return 1;
    }
    u32 columns = (info.width + 255) / 256, rows = (info.height + 255) / 256, n = 0;
    double from_job = seconds_per_run([&] {
        render_any_level(b.cache.get(), png, 8, 0, n % columns, (n / columns) % rows, &pb, &err);
        n++;
    });
    std::printf("  level 0 from a decoded PNG job (%ux%u): %.0f tiles/s, %.2f x a tile copy\n", info.width,
                info.height, 1 / from_job, from_job / tile_copy);
    return 0;
}
