// Files written by libpng at test time, decoded by us and by libpng: every
// colour type and depth, with and without tRNS, palettes of 1 to 256
// entries, interlaced or not, sizes from 1 x 1, every filter forced on rows
// in turn or at random, and the image data re-cut into chunks of many sizes
// down to 1 byte. Everything must be bit-exact in canvas and display, with
// every kernel variant the machine can run.
#include <gtest/gtest.h>

#include <random>

#include "codec/png/png_rows.h"
#include "png_reference.h"

using namespace pngtest;

struct Case {
    u32 type, depth, width, height, interlace;
    bool trns;
    u32 palette;  // entries, palette images only
    u32 seed;
};

static Bytes make_rows_and_write(const Case& c, u32 filter_seed, bool random_filters, int level) {
    std::mt19937 rng(c.seed);
    WriteOptions o;
    o.width = c.width;
    o.height = c.height;
    o.type = c.type;
    o.depth = c.depth;
    o.interlace = c.interlace;
    o.level = level;
    o.filter_seed = filter_seed;
    o.filter_random = random_filters;
    u32 max = (1u << c.depth) - 1;
    size_t rb = ((size_t)c.width * channels(c.type) * c.depth + 7) / 8;
    std::vector<Bytes> rows(c.height, Bytes(rb));
    // Smooth gradients with noise, so every filter sees real work; samples
    // of the key colour appear often enough to test transparency.
    for (u32 y = 0; y < c.height; y++) {
        for (u32 x = 0; x < c.width; x++) {
            for (u32 ch = 0; ch < channels(c.type); ch++) {
                u32 v = (x * 7 + y * 3 + ch * 50 + rng() % 5) & max;
                if (rng() % 7 == 0) v = 1 & max;
                if (c.type == 3) v = (x + y * 3 + rng() % 3 + v) % c.palette;
                size_t bit = ((size_t)x * channels(c.type) + ch) * c.depth;
                if (c.depth == 16) {
                    rows[y][bit / 8] = (u8)(v >> 8 ^ (x * 13 + y));
                    rows[y][bit / 8 + 1] = (u8)v;
                } else if (c.depth == 8) {
                    rows[y][bit / 8] = (u8)v;
                } else {
                    rows[y][bit / 8] |= (u8)(v << (8 - c.depth - bit % 8));
                }
            }
        }
    }
    if (c.type == 3) {
        for (u32 i = 0; i < c.palette; i++) o.palette.insert(o.palette.end(), {(u8)(i * 3), (u8)(255 - i), (u8)(i * 7)});
        if (c.trns) {
            for (u32 i = 0; i < (c.palette + 1) / 2; i++) o.trns.push_back((u8)(i * 37));
        }
    } else if (c.trns && (c.type == 0 || c.type == 2)) {
        for (u32 i = 0; i < (c.type == 0 ? 1u : 3u); i++) {
            o.trns.push_back(0);
            o.trns.push_back(1);
        }
    }
    return ref_write(o, rows);
}

static void check_file(const Bytes& file, const std::string& what) {
    RefImage ref = ref_decode(file);
    ASSERT_TRUE(ref.ok) << what;
    Decoded ours = decode(file);
    ASSERT_TRUE(ours.ok) << what << " " << err_text(ours.err);
    ASSERT_TRUE(ours.canvas == ref_canvas(ref, ours.plan.pixel_format)) << what << " canvas";
    ASSERT_TRUE(ours.display == ref_display(ref)) << what << " display";
}

static std::vector<u32> variants() {
    std::vector<u32> v;
    for (u32 k = 0; k < 3; k++)
        if (png_kernels_supported(k)) v.push_back(k);
    return v;
}

struct KernelGuard {
    ~KernelGuard() { png_kernels_select(); }
};

TEST(PngGenerated, EveryTypeDepthSizeAndFilter) {
    KernelGuard guard;
    static const u32 types[][2] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1}, {3, 2},
                                   {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};
    static const u32 sizes[][2] = {{1, 1}, {2, 1}, {1, 3}, {3, 3}, {7, 5}, {9, 9}, {17, 2}, {33, 33}, {65, 7}, {130, 10}};
    u32 seed = 1;
    for (u32 variant : variants()) {
        ASSERT_TRUE(png_kernels_force(variant));
        for (auto& t : types) {
            for (auto& s : sizes) {
                for (u32 interlace = 0; interlace < 2; interlace++) {
                    for (int trns = 0; trns < 2; trns++) {
                        if (trns && (t[0] == 4 || t[0] == 6)) continue;
                        Case c = {t[0], t[1], s[0], s[1], interlace, trns != 0, 1u << std::min(t[1], 8u), seed++};
                        Bytes file = make_rows_and_write(c, seed, seed % 3 == 0, 6);
                        std::string what = "type " + std::to_string(c.type) + " depth " + std::to_string(c.depth) +
                                           " " + std::to_string(c.width) + "x" + std::to_string(c.height) +
                                           " interlace " + std::to_string(interlace) + " trns " +
                                           std::to_string(trns) + " variant " + std::to_string(variant);
                        check_file(file, what);
                    }
                }
            }
        }
    }
}

TEST(PngGenerated, PaletteSizesOneTo256) {
    for (u32 n = 1; n <= 256; n++) {
        u32 depth = n <= 2 ? 1 : n <= 4 ? 2 : n <= 16 ? 4 : 8;
        Case c = {3, depth, 13 + n % 5, 9, n % 2, n % 3 == 0, n, n};
        check_file(make_rows_and_write(c, n, true, 6), "palette " + std::to_string(n));
    }
}

TEST(PngGenerated, ImageDataInChunksOfManySizes) {
    Case c = {2, 8, 41, 37, 0, false, 0, 5};
    Bytes file = make_rows_and_write(c, 0, true, 9);
    Case ci = {6, 16, 23, 19, 1, false, 0, 6};
    Bytes interlaced = make_rows_and_write(ci, 0, true, 1);
    for (size_t size : {1, 2, 3, 7, 64, 1000, 65535, 70000}) {
        check_file(rechunk_idat(file, size), "rgb chunks of " + std::to_string(size));
        check_file(rechunk_idat(interlaced, size), "interlaced chunks of " + std::to_string(size));
    }
}

// Tall enough for several strips, wide enough that rows pass the window and
// staging sizes, so rows are split across inflate calls and chunks.
TEST(PngGenerated, LargeRowsAndManyStrips) {
    Case wide = {6, 16, 9000, 40, 0, false, 0, 7};
    check_file(make_rows_and_write(wide, 1, true, 0), "9000 wide RGBA16 stored");
    Case tall = {0, 8, 3, 1000, 1, true, 0, 8};
    check_file(make_rows_and_write(tall, 2, true, 6), "3 x 1000 interlaced");
    Case odd = {2, 16, 333, 77, 1, true, 0, 9};
    check_file(make_rows_and_write(odd, 3, false, 9), "333 x 77 RGB16 tRNS interlaced");
}

// Rows from a few KiB to most of the window, fed in data chunks of sizes
// that end runs mid-row in every way: rows left in the window for the next
// run to finish, rows that must go through the assembly buffer because the
// window is about to slide or cannot hold them, and slides between rows.
TEST(PngGenerated, RowsFinishedAcrossRunsAndSlides) {
    const Case cases[] = {
        {2, 8, 3000, 45, 0, false, 0, 11},     // 9 KiB rows
        {6, 16, 4100, 12, 0, false, 0, 12},    // 32 KiB rows, about the slide margin
        {6, 16, 12000, 6, 0, false, 0, 13},    // 94 KiB rows
        {2, 8, 1500, 30, 1, false, 0, 14},     // interlaced passes of several row sizes
    };
    for (const Case& c : cases) {
        Bytes file = make_rows_and_write(c, c.seed, true, 1);
        for (size_t size : {size_t(997), size_t(8192), size_t(20000), size_t(1) << 20}) {
            check_file(rechunk_idat(file, size), std::to_string(c.width) + " wide, chunks of " + std::to_string(size));
        }
    }
}
