// Presentation against a reference written here from the drawing rules, one
// screen pixel at a time: the image position of the pixel, the tile it falls
// in, the tile's effective level, nearest or bilinear sampling clamped to
// the tile's valid part, and alpha compositing over the background. The
// reference shares nothing with view/ but the records it is given; images
// come through the real cache and pyramid (synthetic tiles, and a source
// that serves full size only, whose coarser levels are box reductions).
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "pixel_reference.h"
#include "view/blend.h"
#include "view/present.h"

typedef __int128 i128;

// ---- Reference --------------------------------------------------------------

static u32 bitlen(u64 x) {
    u32 n = 0;
    while (x) n++, x >>= 1;
    return n;
}

static u32 ref_levels(u32 w, u32 h) {
    u64 longer = std::max(w, h);
    if (longer <= 256) return 1;
    return bitlen((longer + 255) / 256 - 1) + 1;
}

static u32 ref_level(u32 zoom, u32 levels) {
    u32 l = zoom <= 65536 ? 16 - bitlen(zoom - 1) : 0;
    return std::min(l, levels - 1);
}

static i64 ref_position(i64 screen, i64 mid, u32 zoom, i64 c) {
    return c + (i64)(((i128)(screen - mid) << 32) / zoom);  // truncates toward zero
}

// A document's pixels at level v, by level coordinates.
typedef std::function<u32(u32 v, u32 x, u32 y)> LevelPixels;

static u32 ref_synthetic(u32 w, u32 h, u64 x, u64 y) {
    auto s = [](u32 n) { return bitlen(n) > 16 ? bitlen(n) - 16 : 0; };
    auto m = [&](u32 n) { return (u64)0xFF0000 / (((u64)(n - 1) >> s(n)) + 1); };
    u64 red = (((x >> s(w)) * m(w)) >> 16) & 0xFF;
    u64 green = (((y >> s(h)) * m(h)) >> 16) & 0xFF;
    u32 blue = ((x >> 4) & 1) != ((y >> 4) & 1) ? 192 : 64;
    return 0xFF000000u | (u32)(red << 16) | (u32)(green << 8) | blue;
}

static LevelPixels synthetic_levels(u32 w, u32 h) {
    return [w, h](u32 v, u32 x, u32 y) { return ref_synthetic(w, h, (u64)x << v, (u64)y << v); };
}

struct RefView {
    u32 w, h, zoom;
    i64 cx, cy;
    ViewArea rect;
    LevelPixels pixels;
    u32 up;  // every tile drawn from this many levels coarser
};

// The pixel the view puts at screen (x, y) over bg, or bg where the image
// does not reach.
static u32 ref_pixel(const RefView& r, i32 x, i32 y, u32 bg) {
    if (x - r.rect.left >= 7680 || y - r.rect.top >= 7680) return bg;
    i64 mx = r.rect.left + (r.rect.right - r.rect.left) / 2;
    i64 my = r.rect.top + (r.rect.bottom - r.rect.top) / 2;
    i64 X = ref_position(x, mx, r.zoom, r.cx);
    i64 Y = ref_position(y, my, r.zoom, r.cy);
    if (X < 0 || Y < 0 || X >= ((i64)r.w << 16) || Y >= ((i64)r.h << 16)) return bg;
    u32 l = ref_level(r.zoom, ref_levels(r.w, r.h));
    u32 v = l + r.up;
    i64 ox = ((X >> (24 + l)) >> r.up) * 256;
    i64 oy = ((Y >> (24 + l)) >> r.up) * 256;
    i64 lw = ((i64)r.w + (1ll << v) - 1) >> v;
    i64 lh = ((i64)r.h + (1ll << v) - 1) >> v;
    i64 last_x = std::min<i64>(lw - ox, 256) - 1;
    i64 last_y = std::min<i64>(lh - oy, 256) - 1;
    auto at = [&](i64 tx, i64 ty) { return r.pixels(v, (u32)(ox + tx), (u32)(oy + ty)); };
    u32 p;
    if (r.zoom >= 65536) {
        p = at((X >> (16 + v)) - ox, (Y >> (16 + v)) - oy);
    } else {
        i64 half = 0x80000000u / r.zoom;
        i64 tx = ((X + half) >> v) + 0x8000, ty = ((Y + half) >> v) + 0x8000;
        i64 sx = (tx >> 16) - ox, sy = (ty >> 16) - oy;
        i64 l0 = std::clamp<i64>(sx - 1, 0, last_x), r0 = std::clamp<i64>(sx, 0, last_x);
        i64 u0 = std::clamp<i64>(sy - 1, 0, last_y), d0 = std::clamp<i64>(sy, 0, last_y);
        u32 wx = (u32)((tx >> 8) & 0xFF), wy = (u32)((ty >> 8) & 0xFF);
        p = ref_blend(ref_blend(at(l0, u0), at(l0, d0), wy), ref_blend(at(r0, u0), at(r0, d0), wy), wx);
    }
    return ref_over(bg, p);
}

// ---- Fixture ----------------------------------------------------------------

static u32 background(i32 x, i32 y) {
    return (((x >> 4) ^ (y >> 4)) & 1) ? 0x00363636u : 0x002A2A2Au;
}

// The variant a DrawVariants test runs. present_init picks the best one for
// the processor, so each Presenter installs this one again after it.
static u32 g_variant = KERNELS_SCALAR;
static bool g_variant_forced = false;
// A DrawVariants parameter with this bit streams every view to the target
// (present_init keeps that for views of millions of pixels).
static constexpr u32 STREAMED = 0x100;
static bool g_streamed = false;

struct Presenter {
    Arena arena{};
    std::unique_ptr<TileCache> cache{new TileCache{}};
    RenderCounters counters;
    PresentTables tables;
    std::vector<u32> frame;
    i32 width, height;

    Presenter(i32 w, i32 h, u32 capacity = 2048) : frame((size_t)w * h), width(w), height(h) {
        if (!arena_init(&arena, 16 << 20) || !create(cache.get(), capacity) || !present_init(&tables, &arena)) {
            std::abort();
        }
        if (g_variant_forced && !blend_force(g_variant)) std::abort();
        if (g_streamed) tables.stream_pixels = 0;
        render_counters_init(&counters);
    }
    ~Presenter() { release(cache.get()); }
    ViewTarget target() { return ViewTarget{frame.data(), (u64)width, width, height, 0, 0}; }
    void clear() {
        for (i32 y = 0; y < height; y++)
            for (i32 x = 0; x < width; x++) frame[(size_t)y * width + x] = background(x, y);
    }
    void draw(const ViewScene& scene) {
        clear();
        draw_views(cache.get(), &counters, &tables, &scene, target());
    }
    u32 at(i32 x, i32 y) const { return frame[(size_t)y * width + x]; }
};

static SceneDocument synthetic_doc(u32 id, u32 w, u32 h, u32 zoom, i64 cx, i64 cy) {
    return SceneDocument{id, w, h, synthetic_source(w, h), zoom, cx, cy, false};
}

static ViewScene single(const SceneDocument& d, ViewArea area) {
    ViewScene s = {};
    s.documents[0] = d;
    s.document_count = 1;
    s.area = area;
    return s;
}

// Compares the whole frame with the reference; reports the first mismatch.
static ::testing::AssertionResult frame_matches(const Presenter& p, const std::function<u32(i32, i32)>& expected) {
    for (i32 y = 0; y < p.height; y++)
        for (i32 x = 0; x < p.width; x++) {
            u32 e = expected(x, y);
            if (p.at(x, y) != e) {
                return ::testing::AssertionFailure() << "at (" << x << ", " << y << "): " << std::hex << p.at(x, y)
                                                     << " expected " << e;
            }
        }
    return ::testing::AssertionSuccess();
}

static u32 percent(u32 p) {
    return ((p << 16) + 50) / 100;
}

struct DrawVariants : ::testing::TestWithParam<u32> {
    void SetUp() override {
        g_variant = GetParam() & ~STREAMED;
        if (!blend_force(g_variant)) GTEST_SKIP() << "variant not supported";
        g_variant_forced = true;
        g_streamed = (GetParam() & STREAMED) != 0;
    }
    void TearDown() override {
        g_variant_forced = false;
        g_streamed = false;
        blend_select();
    }
};

// ---- Zooms and pans ---------------------------------------------------------

TEST_P(DrawVariants, SyntheticImagesAtEveryZoomAndPan) {
    Presenter p(420, 300);
    const ViewArea area = {6, 10, 414, 290};
    struct Size { u32 w, h; };
    const u32 zooms[] = {655, percent(33), percent(50), percent(99), percent(100), percent(125), 0x200000};
    u32 id = 0;
    for (Size sz : {Size{300, 200}, Size{1000, 700}, Size{5000, 3100}}) {
        id++;  // another image, another document
        i64 W = (i64)sz.w << 16, H = (i64)sz.h << 16;
        // Centre, both corners, and an odd fractional point.
        const i64 pans[][2] = {{W / 2, H / 2}, {0, 0}, {W, H}, {W / 3 + 12345, H / 5 + 777}};
        for (u32 zoom : zooms) {
            for (auto& pan : pans) {
                SceneDocument d = synthetic_doc(id, sz.w, sz.h, zoom, pan[0], pan[1]);
                p.draw(single(d, area));
                RefView r = {sz.w, sz.h, zoom, pan[0], pan[1], area, synthetic_levels(sz.w, sz.h), 0};
                ASSERT_TRUE(frame_matches(p, [&](i32 x, i32 y) {
                    u32 bg = background(x, y);
                    if (x < area.left || x >= area.right || y < area.top || y >= area.bottom) return bg;
                    return ref_pixel(r, x, y, bg);
                })) << sz.w << "x" << sz.h << " zoom " << zoom << " pan " << pan[0] << "," << pan[1];
                EXPECT_EQ(p.counters.fallback, 0u);
                EXPECT_EQ(p.counters.none, 0u);
                EXPECT_EQ(p.counters.pending, 0u);
                EXPECT_EQ(p.counters.deferred, 0u);
            }
        }
    }
}

TEST(Present, ExactlyOneHundredPercentCopiesPixels) {
    Presenter p(300, 200);
    const ViewArea area = {0, 0, 300, 200};
    // Centre (150.0, 100.0) of the image at the area's centre: screen (x, y)
    // shows image pixel (x, y) exactly.
    p.draw(single(synthetic_doc(0, 300, 200, 65536, 150 << 16, 100 << 16), area));
    for (i32 y = 0; y < 200; y += 7)
        for (i32 x = 0; x < 300; x += 3) ASSERT_EQ(p.at(x, y), ref_synthetic(300, 200, x, y));
    EXPECT_EQ(p.counters.level, 0u);
    EXPECT_EQ(p.counters.exact, 2u);
    // At 99 % the same view blends: a pixel beside the checker edge differs.
    p.draw(single(synthetic_doc(0, 300, 200, percent(99), 150 << 16, 100 << 16), area));
    bool blended = false;
    for (i32 x = 0; x < 300; x++) blended |= p.at(x, 100) != ref_synthetic(300, 200, x, 100) && x > 0;
    EXPECT_TRUE(blended);
}

TEST(Present, WideViewDrawsItsFirst7680Columns) {
    Presenter p(7700, 3);
    const ViewArea area = {0, 0, 7700, 3};
    p.draw(single(synthetic_doc(0, 16000, 10, 65536, 8000 << 16, 5 << 16), area));
    RefView r = {16000, 10, 65536, 8000 << 16, 5 << 16, area, synthetic_levels(16000, 10), 0};
    EXPECT_TRUE(frame_matches(p, [&](i32 x, i32 y) { return ref_pixel(r, x, y, background(x, y)); }));
    EXPECT_EQ(p.at(7679, 1), ref_synthetic(16000, 10, 7679 - 3850 + 8000, 1 - 1 + 5));
    EXPECT_EQ(p.at(7680, 1), background(7680, 1));
}

// ---- The real pyramid of a source that serves full size only ----------------

struct FullImage {
    u32 w, h;
    std::vector<std::vector<u32>> levels;
    std::vector<u32> ws, hs;
    FullImage(u32 width, u32 height, const std::function<u32(u32, u32)>& pixel) : w(width), h(height) {
        levels.emplace_back((size_t)w * h);
        for (u32 y = 0; y < h; y++)
            for (u32 x = 0; x < w; x++) levels[0][(size_t)y * w + x] = pixel(x, y);
        ws.push_back(w);
        hs.push_back(h);
        // Box levels: the rounded mean of 2 x 2, an odd edge repeated.
        while (ws.back() > 1 || hs.back() > 1) {
            u32 pw = ws.back(), ph = hs.back(), nw = (pw + 1) / 2, nh = (ph + 1) / 2;
            const std::vector<u32>& src = levels.back();
            std::vector<u32> out((size_t)nw * nh);
            for (u32 y = 0; y < nh; y++)
                for (u32 x = 0; x < nw; x++) {
                    u32 x1 = std::min(2 * x + 1, pw - 1), y1 = std::min(2 * y + 1, ph - 1);
                    u32 q = 0;
                    for (u32 c = 0; c < 4; c++) {
                        u32 s = channel(src[(size_t)2 * y * pw + 2 * x], c) + channel(src[(size_t)2 * y * pw + x1], c) +
                                channel(src[(size_t)y1 * pw + 2 * x], c) + channel(src[(size_t)y1 * pw + x1], c);
                        q |= ((s + 2) >> 2) << (8 * c);
                    }
                    out[(size_t)y * nw + x] = q;
                }
            levels.push_back(std::move(out));
            ws.push_back(nw);
            hs.push_back(nh);
        }
    }
    static bool render(void* ctx, u32 level, u32 col, u32 row, PixelBuffer* tile, CodecError* err) {
        FullImage* f = (FullImage*)ctx;
        if (level != 0) return fail(err, ERR_BAD_TARGET, 0);
        u32* out = (u32*)tile->pixels;
        for (u32 j = 0; j < 256; j++)
            for (u32 i = 0; i < 256; i++) {
                u32 x = std::min(col * 256 + i, f->w - 1), y = std::min(row * 256 + j, f->h - 1);
                out[j * 256 + i] = f->levels[0][(size_t)y * f->w + x];
            }
        return true;
    }
    TileSource source() { return TileSource{render, this, w, h}; }
    LevelPixels pixels() {
        return [this](u32 v, u32 x, u32 y) { return levels[v][(size_t)y * ws[v] + x]; };
    }
};

TEST_P(DrawVariants, BoxPyramidWithAlphaAtSeveralZooms) {
    Presenter p(360, 260);
    const ViewArea area = {0, 0, 360, 260};
    // Alpha 0, 128 and 255 in stripes, and a few other values between.
    FullImage f(900, 610, [](u32 x, u32 y) {
        static const u32 alphas[] = {0, 128, 255, 255, 1, 254, 127};
        u32 a = alphas[(x / 5 + y / 3) % 7];
        return a << 24 | ((x * 5) & 0xFF) << 16 | ((y * 3) & 0xFF) << 8 | ((x ^ y) & 0xFF);
    });
    for (u32 zoom : {percent(15), percent(33), percent(50), percent(75), percent(100), percent(300)}) {
        for (i64 cx : {(i64)450 << 16, (i64)123456789}) {
            SceneDocument d = {1, f.w, f.h, f.source(), zoom, cx, (i64)300 << 16, false};
            p.draw(single(d, area));
            RefView r = {f.w, f.h, zoom, cx, (i64)300 << 16, area, f.pixels(), 0};
            ASSERT_TRUE(frame_matches(p, [&](i32 x, i32 y) { return ref_pixel(r, x, y, background(x, y)); }))
                << "zoom " << zoom << " cx " << cx;
        }
    }
}

// Exact halving zooms draw a level at 100 % off its grid (or, for an image
// of one level, level 0 at 50 %): whole runs of columns go through one
// contiguous kernel. Sub-pixel centres, view widths that leave every
// possible tail, and translucent pixels, against the reference.
TEST_P(DrawVariants, ExactHalvingZoomsAtSubPixelOffsets) {
    FullImage big(1100, 530, [](u32 x, u32 y) {
        u32 a = (x * 7 + y * 3) % 23 == 0 ? (x + y) & 0xFF : 255;
        return a << 24 | ((x * 9 + y) & 0xFF) << 16 | ((y * 5) & 0xFF) << 8 | ((x * y) & 0xFF);
    });
    FullImage one_level(250, 190, [](u32 x, u32 y) {
        u32 a = (x + 2 * y) % 17 == 0 ? 128 : 255;
        return a << 24 | ((x * 3) & 0xFF) << 16 | ((y * 11) & 0xFF) << 8 | ((x + y) & 0xFF);
    });
    u32 id = 10;
    for (FullImage* f : {&big, &one_level}) {
        for (i32 width : {37, 258, 301}) {
            Presenter p(width, 40);
            const ViewArea area = {0, 0, width, 40};
            for (u32 zoom : {0x8000u, 0x4000u, 0x2000u}) {
                for (i64 offset : {(i64)0, (i64)0x5A5A, (i64)0x10001, (i64)0x1FFFF, (i64)0x3C3C3}) {
                    i64 cx = ((i64)f->w << 15) + offset, cy = ((i64)f->h << 15) - offset / 3;
                    SceneDocument d = {id, f->w, f->h, f->source(), zoom, cx, cy, false};
                    p.draw(single(d, area));
                    RefView r = {f->w, f->h, zoom, cx, cy, area, f->pixels(), 0};
                    ASSERT_TRUE(frame_matches(p, [&](i32 x, i32 y) { return ref_pixel(r, x, y, background(x, y)); }))
                        << f->w << "x" << f->h << " width " << width << " zoom " << zoom << " offset " << offset;
                }
            }
        }
        id++;
    }
}

TEST(Present, AlphaOverTheBackground) {
    Presenter p(64, 16);
    FullImage f(64, 16, [](u32 x, u32) { return (x < 16 ? 0u : (x < 32 ? 128u : 255u)) << 24 | 0x804020; });
    SceneDocument d = {2, 64, 16, f.source(), 65536, 32 << 16, 8 << 16, false};
    p.draw(single(d, ViewArea{0, 0, 64, 16}));
    EXPECT_EQ(p.at(3, 3), background(3, 3));  // alpha 0: untouched
    // Alpha 128 gives a = 129: (0x36 * 127 + 0x80 * 129) >> 8 = 91 for red.
    EXPECT_EQ(p.at(17, 3), 0x405B3B2Au);
    EXPECT_EQ(p.at(40, 3), 0xFF804020u);  // opaque: stored as it is
}

// ---- Missing tiles ----------------------------------------------------------

TEST(Present, FallbackWhileALevelIsMissing) {
    Presenter p(400, 300);
    const ViewArea area = {0, 0, 400, 300};
    p.counters.tile_budget = 0;
    // 1000 x 800 has levels 0 to 2; with no budget only the coarsest tile is
    // made, and every visible tile is drawn from it.
    SceneDocument d = synthetic_doc(4, 1000, 800, 65536, 500 << 16, 400 << 16);
    p.draw(single(d, area));
    RefView r = {1000, 800, 65536, 500 << 16, 400 << 16, area, synthetic_levels(1000, 800), 2};
    EXPECT_TRUE(frame_matches(p, [&](i32 x, i32 y) { return ref_pixel(r, x, y, background(x, y)); }));
    EXPECT_EQ(p.counters.exact, 0u);
    EXPECT_EQ(p.counters.fallback, 6u);  // columns 1 and 2, rows 0 to 2
    EXPECT_EQ(p.counters.pending, 6u);
    EXPECT_EQ(p.counters.deferred, 6u);
    // The same at 33 %: bilinear from the fallback's level.
    p.draw(single(synthetic_doc(4, 1000, 800, percent(33), 500 << 16, 400 << 16), area));
    RefView r33 = {1000, 800, percent(33), 500 << 16, 400 << 16, area, synthetic_levels(1000, 800), 1};
    EXPECT_TRUE(frame_matches(p, [&](i32 x, i32 y) { return ref_pixel(r33, x, y, background(x, y)); }));
    // With the budget back, the exact tiles arrive and nothing is deferred.
    p.counters.tile_budget = -1;
    p.draw(single(d, area));
    r.up = 0;
    EXPECT_TRUE(frame_matches(p, [&](i32 x, i32 y) { return ref_pixel(r, x, y, background(x, y)); }));
    EXPECT_EQ(p.counters.exact, 6u);
    EXPECT_EQ(p.counters.deferred, 0u);
}

static bool failing(void*, u32, u32, u32, PixelBuffer*, CodecError* err) {
    return fail(err, ERR_BAD_HEADER, 5);
}

TEST(Present, NothingReadyLeavesTheBackground) {
    Presenter p(200, 100);
    SceneDocument d = {6, 500, 500, TileSource{failing, nullptr, 500, 500}, 65536, 250 << 16, 250 << 16, false};
    p.draw(single(d, ViewArea{0, 0, 200, 100}));
    EXPECT_TRUE(frame_matches(p, background));
    EXPECT_EQ(p.counters.none, 4u);  // 2 x 2 tiles around the centre
    EXPECT_TRUE(p.counters.failed);
    EXPECT_EQ(p.counters.error_code, (u32)ERR_BAD_HEADER);
    EXPECT_EQ(p.counters.error_document, 6u);
}

TEST(Present, ChangedDocumentsAreDroppedFirst) {
    Presenter p(100, 100);
    ViewScene s = single(synthetic_doc(5, 300, 300, 65536, 150 << 16, 150 << 16), ViewArea{0, 0, 100, 100});
    p.draw(s);
    EXPECT_EQ(p.cache->allocated_count, 2u);  // the visible tile and the coarsest one
    s.documents[0] = synthetic_doc(5, 40, 40, 65536, 20 << 16, 20 << 16);  // new pixels, same document
    s.changed = 1u << 5;
    p.draw(s);
    EXPECT_EQ(p.cache->allocated_count, 1u);
    RefView r = {40, 40, 65536, 20 << 16, 20 << 16, ViewArea{0, 0, 100, 100}, synthetic_levels(40, 40), 0};
    EXPECT_TRUE(frame_matches(p, [&](i32 x, i32 y) { return ref_pixel(r, x, y, background(x, y)); }));
    s.browser_shown = true;
    p.draw(s);
    EXPECT_TRUE(frame_matches(p, background));  // the browser covers the area
}

// ---- Compare ----------------------------------------------------------------

static ViewScene pair(const SceneDocument& a, const SceneDocument& b, ViewArea area, u32 mode, u32 divider) {
    ViewScene s = {};
    s.documents[0] = a;
    s.documents[1] = b;
    s.document_count = 2;
    s.area = area;
    s.compare_mode = mode;
    s.divider = divider;
    return s;
}

// B's zoom and centre follow A's, written from the coupling rule.
static RefView coupled_ref(const RefView& a, u32 wb, u32 hb, ViewArea rect, LevelPixels px) {
    u64 zb = std::clamp<u64>(((u64)a.zoom * a.w + wb / 2) / wb, 655, 0x200000);
    i64 cxb = (i64)((i128)a.cx * wb / a.w), cyb = (i64)((i128)a.cy * wb / a.w);
    return RefView{wb, hb, (u32)zb, cxb, cyb, rect, px, 0};
}

TEST_P(DrawVariants, SideBySideAndOverlays) {
    Presenter p(500, 300);
    const ViewArea area = {10, 20, 490, 280};
    SceneDocument a = synthetic_doc(0, 1200, 900, percent(50), 400 << 16, 450 << 16);
    SceneDocument b = synthetic_doc(1, 600, 500, 65536, 0, 0);
    const u32 divider = 0x6000;  // 3/8
    // Side by side: A in the part before the split, B after it, each centred
    // on its part; the divider covers the split column and the one before.
    p.draw(pair(a, b, area, 1, divider));
    i32 split = 10 + ((0x6000 * 480) >> 16);
    ViewArea left = {10, 20, split, 280}, right = {split, 20, 490, 280};
    RefView ra = {1200, 900, a.zoom, a.cx, a.cy, left, synthetic_levels(1200, 900), 0};
    RefView rb = coupled_ref(ra, 600, 500, right, synthetic_levels(600, 500));
    EXPECT_TRUE(frame_matches(p, [&](i32 x, i32 y) {
        u32 bg = background(x, y);
        if (y < 20 || y >= 280 || x < 10 || x >= 490) return bg;
        if (x == split - 1 || x == split) return 0xE0B040u;
        return x < split ? ref_pixel(ra, x, y, bg) : ref_pixel(rb, x, y, bg);
    }));
    // Overlays: both over the whole area, B from the split on.
    for (u32 mode : {2u, 3u}) {
        p.draw(pair(a, b, area, mode, divider));
        i32 s = mode == 2 ? split : 20 + ((0x6000 * 260) >> 16);
        RefView oa = {1200, 900, a.zoom, a.cx, a.cy, area, synthetic_levels(1200, 900), 0};
        RefView ob = coupled_ref(oa, 600, 500, area, synthetic_levels(600, 500));
        EXPECT_TRUE(frame_matches(p, [&](i32 x, i32 y) {
            u32 bg = background(x, y);
            if (y < 20 || y >= 280 || x < 10 || x >= 490) return bg;
            i32 t = mode == 2 ? x : y;
            if (t == s - 1 || t == s) return 0xE0B040u;
            u32 under = ref_pixel(oa, x, y, bg);
            return t < s ? under : ref_pixel(ob, x, y, under);
        })) << "mode " << mode;
    }
    // A document without pixels: the active one is drawn alone, no divider.
    b.no_pixels = true;
    p.draw(pair(a, b, area, 2, divider));
    RefView alone = {1200, 900, a.zoom, a.cx, a.cy, area, synthetic_levels(1200, 900), 0};
    EXPECT_TRUE(frame_matches(p, [&](i32 x, i32 y) {
        u32 bg = background(x, y);
        if (y < 20 || y >= 280 || x < 10 || x >= 490) return bg;
        return ref_pixel(alone, x, y, bg);
    }));
}

static u32 ref_difference(u32 p, u32 q) {
    int m = 0;
    for (u32 c = 0; c < 3; c++) m = std::max(m, std::abs((int)channel(p, c) - (int)channel(q, c)));
    int g = 2 * m;
    int blue = m == 0 ? 0 : (g < 128 ? 128 - g : 0);
    return 0xFF000000u | (u32)std::min(g, 255) << 16 | (u32)(g > 255 ? g - 255 : 0) << 8 | (u32)blue;
}

TEST_P(DrawVariants, Difference) {
    Presenter p(300, 200);
    const ViewArea area = {0, 0, 300, 200};
    // The same image twice: black wherever it is drawn; beyond it both
    // buffers stay opaque black, so black too.
    SceneDocument a = synthetic_doc(0, 400, 400, percent(67), 200 << 16, 200 << 16);
    SceneDocument same = synthetic_doc(1, 400, 400, 65536, 0, 0);
    p.draw(pair(a, same, area, 4, 0x8000));
    EXPECT_TRUE(frame_matches(p, [](i32, i32) { return 0xFF000000u; }));
    // A against a half-transparent red image of another size: both views
    // over black, then the colour rule, a screen row at a time.
    FullImage red(200, 150, [](u32 x, u32 y) { return ((x + y) % 3 == 0 ? 0x80u : 0xFFu) << 24 | 0xFF0000; });
    SceneDocument b = {7, 200, 150, red.source(), 0, 0, 0, false};
    p.draw(pair(a, b, area, 4, 0x8000));
    RefView ra = {400, 400, a.zoom, a.cx, a.cy, area, synthetic_levels(400, 400), 0};
    RefView rb = coupled_ref(ra, 200, 150, area, red.pixels());
    EXPECT_TRUE(frame_matches(p, [&](i32 x, i32 y) {
        return ref_difference(ref_pixel(ra, x, y, 0xFF000000u), ref_pixel(rb, x, y, 0xFF000000u));
    }));
    EXPECT_EQ(p.counters.exact, 4u + 1u);  // A's 2 x 2 tiles at level 0 (67 % is above 50 %), B's one
    // An area inside the target, away from its origin, and a zoom that
    // shows both tile rows of A: the target outside the area keeps its
    // background.
    const ViewArea inner = {17, 9, 281, 187};
    SceneDocument c = synthetic_doc(0, 400, 400, percent(80), 190 << 16, 210 << 16);
    p.draw(pair(c, b, inner, 4, 0x8000));
    RefView rc = {400, 400, c.zoom, c.cx, c.cy, inner, synthetic_levels(400, 400), 0};
    RefView rd = coupled_ref(rc, 200, 150, inner, red.pixels());
    EXPECT_TRUE(frame_matches(p, [&](i32 x, i32 y) {
        if (x < inner.left || x >= inner.right || y < inner.top || y >= inner.bottom) return background(x, y);
        return ref_difference(ref_pixel(rc, x, y, 0xFF000000u), ref_pixel(rd, x, y, 0xFF000000u));
    }));
}

INSTANTIATE_TEST_SUITE_P(All, DrawVariants,
                         ::testing::Values(KERNELS_SCALAR, KERNELS_SSE2, KERNELS_AVX2, KERNELS_SCALAR | STREAMED,
                                           KERNELS_SSE2 | STREAMED, KERNELS_AVX2 | STREAMED),
                         [](const ::testing::TestParamInfo<u32>& i) {
                             u32 v = i.param & ~STREAMED;
                             return std::string(v == 0 ? "scalar" : (v == 1 ? "sse2" : "avx2")) +
                                    ((i.param & STREAMED) != 0 ? "_streamed" : "");
                         });

TEST(Present, TilesBeyondSixteenBitKeysAreNotDrawn) {
    // 20,000,000 pixels across: full-size tile columns from 65536 on cannot
    // be keyed; the part of the view over them stays background, the rest is
    // drawn normally.
    Presenter p(400, 4);
    const u32 w = 20000000;
    i64 edge = (i64)65536 * 256;  // the first full-size column without a key
    SceneDocument d = {0, w, 4, synthetic_source(w, 4), 65536, edge << 16, 2 << 16, false};
    p.draw(single(d, ViewArea{0, 0, 400, 4}));
    for (i32 x = 0; x < 400; x++) {
        u64 ix = (u64)(edge - 200 + x);
        u32 expected = x < 200 ? ref_synthetic(w, 4, ix, 1) : background(x, 1);
        ASSERT_EQ(p.at(x, 1), expected) << x;
    }
}
