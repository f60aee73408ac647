#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "view/viewport.h"

typedef __int128 i128;

static const ViewArea AREA = {0, 0, 1000, 700};  // centre (500, 350)

TEST(Zoom, StepsAndLimits) {
    EXPECT_EQ(zoom_steps[0], 655u);
    EXPECT_EQ(zoom_steps[9], 21627u);   // 33 %
    EXPECT_EQ(zoom_steps[11], 43909u);  // 67 %
    EXPECT_EQ(zoom_steps[13], 65536u);
    EXPECT_EQ(zoom_steps[24], 0x200000u);
    for (u32 i = 0; i + 1 < ZOOM_STEP_COUNT; i++) {
        EXPECT_EQ(zoom_step_up(zoom_steps[i]), zoom_steps[i + 1]);
        EXPECT_EQ(zoom_step_down(zoom_steps[i + 1]), zoom_steps[i]);
        EXPECT_EQ(zoom_percent(zoom_steps[i]), zoom_step_percent[i]);
    }
    EXPECT_EQ(zoom_step_up(65536), 81920u);
    EXPECT_EQ(zoom_step_down(65536), 49152u);
    EXPECT_EQ(zoom_step_down(655), 655u);
    EXPECT_EQ(zoom_step_up(0x200000), 0x200000u);
    EXPECT_EQ(zoom_step_up(72090), 81920u);
    EXPECT_EQ(zoom_step_down(72090), 65536u);
    EXPECT_EQ(clamp_zoom(0), 655u);
    EXPECT_EQ(clamp_zoom(0x200001), 0x200000u);
    EXPECT_EQ(clamp_zoom(~0ull), 0x200000u);
    EXPECT_EQ(zoom_percent(0xFFFFFFFFu), 6553600u);  // no 32-bit overflow
}

TEST(Zoom, FitAndCentreClamp) {
    EXPECT_EQ(fit_zoom(4000, 3000, 1000, 1000), 16384u);
    EXPECT_EQ(fit_zoom(100, 100, 5000, 3000), 65536u);
    EXPECT_EQ(fit_zoom(3000, 3000, 1000, 1000), 21845u);
    EXPECT_EQ(fit_zoom(1000, 100, 500, 10), 6553u);  // the tighter side wins
    EXPECT_EQ(fit_zoom(0, 100, 500, 500), 65536u);
    EXPECT_EQ(fit_zoom(100, 100, -20, 500), 655u);
    EXPECT_EQ(fit_zoom(0xFFFFFFFFu, 1, 1000, 1000), 655u);
    EXPECT_EQ(clamp_centre(-5, 10), 0);
    EXPECT_EQ(clamp_centre(11 << 16, 10), 10 << 16);
    EXPECT_EQ(clamp_centre(-5, 0), -5);
    EXPECT_EQ(view_area_centre_x(ViewArea{10, 20, 15, 25}), 12);
    EXPECT_EQ(view_area_centre_x(ViewArea{10, 0, 5, 0}), 8);  // inverted: truncates toward zero
    EXPECT_EQ(view_area_width(ViewArea{10, 0, 5, 0}), 0u);
    EXPECT_EQ(view_area_centre_x(ViewArea{INT32_MIN, 0, INT32_MAX, 0}), -1);
}

// The split division must match the plain 128-bit formula, truncating toward
// zero, and image_to_screen the floor of its product, over the whole range.
TEST(Mapping, MatchesWideArithmetic) {
    std::vector<i64> ds = {0, 1, -1, 7680, -7680, 65535, -65536, INT32_MAX, (i64)INT32_MIN * 2,
                           ((i64)1 << 40) - 1, -((i64)1 << 40) + 1};
    std::vector<u32> zs(zoom_steps, zoom_steps + ZOOM_STEP_COUNT);
    zs.insert(zs.end(), {656, 0x1FFFFF, 99999, 12345});
    for (u32 z : zs) {
        for (i64 d : ds) {
            i128 want = ((i128)d << 32) / z;
            EXPECT_EQ((i128)screen_offset_to_image(d, z), want) << d << " " << z;
            i64 ix = d * 1000 + 12345;
            i128 prod = (i128)z * (ix - 777);
            i128 floor = prod >= 0 ? prod >> 32 : -((-prod + 0xFFFFFFFF) >> 32);
            EXPECT_EQ((i128)image_to_screen(ix, 40, z, 777), 40 + floor) << d << " " << z;
        }
    }
    // A zoom of 0 is read as the lower limit instead of dividing by zero.
    EXPECT_EQ(screen_offset_to_image(1, 0), screen_offset_to_image(1, 655));
    // Whole pixels round toward minus infinity left of the centre.
    EXPECT_EQ(screen_to_image(499, 500, 0x20000, 0), -1);
    EXPECT_EQ(screen_to_image(500, 500, 0x20000, 0), 0);
    i64 ix, iy;
    screen_to_image(AREA, 65536, 10 << 16, 20 << 16, 0, 0, &ix, &iy);
    EXPECT_EQ(ix, -490);
    EXPECT_EQ(iy, -330);
    EXPECT_EQ(image_to_screen(10 << 16, 500, 0x20000, 0), 520);
}

TEST(ViewCommands, FitActualSizeZoomAndPan) {
    View v = {0, 0, 0, false, 4000, 3000};
    view_fit(&v, AREA);
    EXPECT_EQ(v.zoom, 65536u * 700 / 3000);
    EXPECT_EQ(v.cx, 2000 << 16);
    EXPECT_EQ(v.cy, 1500 << 16);
    EXPECT_TRUE(v.fit);
    // Zooming about the area centre keeps the centre, in both directions.
    for (bool in : {true, true, false, false, false}) {
        view_zoom_at(&v, AREA, 500, 350, in);
        EXPECT_EQ(v.cx, 2000 << 16);
        EXPECT_EQ(v.cy, 1500 << 16);
        EXPECT_FALSE(v.fit);
    }
    view_actual_size(&v);
    EXPECT_EQ(v.zoom, 65536u);
    EXPECT_EQ(v.cx, 2000 << 16);
    // Off-centre, the image position under the pointer is kept exactly while
    // the centre stays clear of the edges.
    const i32 points[][2] = {{0, 0}, {999, 699}, {123, 456}, {-50, 800}};
    for (auto& p : points) {
        for (bool in : {true, true, true, false, false, false, false, true}) {
            i64 bx = image_position(p[0], 500, v.zoom, v.cx);
            i64 by = image_position(p[1], 350, v.zoom, v.cy);
            view_zoom_at(&v, AREA, p[0], p[1], in);
            EXPECT_EQ(image_position(p[0], 500, v.zoom, v.cx), bx);
            EXPECT_EQ(image_position(p[1], 350, v.zoom, v.cy), by);
        }
    }
    EXPECT_EQ(v.zoom, 65536u);
    // Panning far stops with the image edge at the area centre.
    v.fit = true;
    view_pan(&v, INT32_MAX, INT32_MIN);
    EXPECT_EQ(v.cx, 0);
    EXPECT_EQ(v.cy, (i64)3000 << 16);
    EXPECT_FALSE(v.fit);
    view_pan(&v, -1000000, 1000000);
    EXPECT_EQ(v.cx, (i64)4000 << 16);
    EXPECT_EQ(v.cy, 0);
    view_actual_size(&v);
    view_pan(&v, -64, 0);  // centre moves right by 64 pixels at 100 %
    EXPECT_EQ(v.cx, (i64)4000 << 16);
    view_pan(&v, 64, 0);
    EXPECT_EQ(v.cx, (i64)3936 << 16);
}

TEST(Coupling, ZoomAndCentreOfB) {
    EXPECT_EQ(coupled_zoom(65536, 1000, 500), 131072u);
    EXPECT_EQ(coupled_zoom(65536, 4000, 1000), 4 * 65536u);
    EXPECT_EQ(coupled_centre((i64)500 << 16, 1000, 500), (i64)250 << 16);
    EXPECT_EQ(coupled_centre(-((i64)500 << 16), 1000, 500), -((i64)250 << 16));
    EXPECT_EQ(coupled_centre(777, 0, 500), 777);
    const u32 big = 0xFFFFFFFFu;
    i64 c = ((i64)big << 16) - 1;
    EXPECT_EQ(coupled_centre(c, big, big - 1), (i64)((i128)c * (big - 1) / big));
    View a = {65536, (i64)500 << 16, (i64)100 << 16, false, 1000, 400};
    View b = {1, 0, 0, true, 500, 800};
    View cb = coupled_view(&a, &b);
    EXPECT_EQ(cb.zoom, 131072u);
    EXPECT_EQ(cb.cx, (i64)250 << 16);
    EXPECT_EQ(cb.cy, (i64)50 << 16);
    EXPECT_TRUE(cb.fit);
    EXPECT_EQ(cb.height, 800u);

    // B's zoom is 100 times A's, so A stops at 20971 (about 32 %).
    Coupling k = {1000, 10};
    View v = {65536, 0, 0, false, 1000, 1000};
    view_actual_size(&v, &k);
    EXPECT_EQ(v.zoom, 20971u);
    view_zoom_at(&v, AREA, 500, 350, true, &k);
    EXPECT_EQ(v.zoom, 20971u);
    view_fit(&v, ViewArea{0, 0, 100000, 100000}, &k);
    EXPECT_EQ(v.zoom, 20971u);
    view_zoom_at(&v, AREA, 500, 350, false, &k);
    EXPECT_EQ(v.zoom, 16384u);
}

// The limit keeps B's derived zoom within the limits wherever some zoom of A
// can, and it is tight: one unit beyond either bound would leave them.
TEST(Coupling, LimitSweep) {
    const u32 widths[] = {1, 2, 3, 7, 100, 500, 1000, 3201, 4000, 65535, 65536, 1u << 20, 0xFFFFFFFFu};
    auto raw_b = [](u64 za, u64 wa, u64 wb) { return (za * wa + wb / 2) / wb; };
    for (u32 wa : widths) {
        for (u32 wb : widths) {
            u32 lo = couple_zoom_limit(0, wa, wb), hi = couple_zoom_limit(~0u, wa, wb);
            bool feasible = raw_b(lo, wa, wb) >= 655 && raw_b(lo, wa, wb) <= 0x200000;
            if (feasible) {
                EXPECT_LE(raw_b(hi, wa, wb), 0x200000u) << wa << " " << wb;
                if (lo > 655) { EXPECT_LT(raw_b(lo - 1, wa, wb), 655u) << wa << " " << wb; }
                if (hi < 0x200000) { EXPECT_GT(raw_b(hi + 1, wa, wb), 0x200000u) << wa << " " << wb; }
            } else {
                // Widths too far apart: only a ratio above 3200 can get here.
                EXPECT_TRUE((u64)wa > 3200ull * wb || (u64)wb > 3200ull * wa) << wa << " " << wb;
            }
            for (u32 i = 0; i < ZOOM_STEP_COUNT; i++) {
                u32 za = couple_zoom_limit(zoom_steps[i], wa, wb);
                EXPECT_TRUE(za >= lo && za <= hi);
                u32 zb = coupled_zoom(za, wa, wb);
                EXPECT_TRUE(zb >= 655 && zb <= 0x200000);
                if (feasible) { EXPECT_EQ(zb, raw_b(za, wa, wb)); }
            }
        }
    }
}

TEST(Sampling, PositionsAndSpanLimit) {
    std::vector<i64> xs(VIEW_SPAN_MAX), ys(VIEW_SPAN_MAX);
    View v = {21627, (i64)300 << 16, (i64)200 << 16, false, 600, 400};
    u32 n = 0, m = 0;
    EXPECT_TRUE(view_sample_positions(&v, ViewArea{-20, 10, 9980, 30}, xs.data(), ys.data(), &n, &m));
    EXPECT_EQ(n, VIEW_SPAN_MAX);
    EXPECT_EQ(m, 20u);
    EXPECT_EQ(xs[4980 + 20], v.cx);  // the rectangle's centre column shows cx
    for (u32 i = 0; i < n; i++) EXPECT_EQ(xs[i], image_position(-20 + (i32)i, 4980, 21627, v.cx));
    EXPECT_EQ(ys[0], v.cy + screen_offset_to_image(-10, 21627));
    EXPECT_EQ(sample_positions(xs.data(), 5, 5, 0, 65536, 0), 0u);
    EXPECT_EQ(sample_positions(xs.data(), INT32_MIN, INT32_MAX, 0, 65536, 0), VIEW_SPAN_MAX);
    EXPECT_FALSE(view_sample_positions(&v, ViewArea{0, 10, 100, 10}, xs.data(), ys.data(), &n, &m));
    EXPECT_EQ(n + m, 0u);
    v.height = 0;
    EXPECT_FALSE(view_sample_positions(&v, AREA, xs.data(), ys.data(), &n, &m));
}

TEST(Levels, CountAndChoice) {
    EXPECT_EQ(level_count(256, 256), 1u);
    EXPECT_EQ(level_count(257, 10), 2u);
    EXPECT_EQ(level_count(10, 512), 2u);
    EXPECT_EQ(level_count(513, 1), 3u);
    EXPECT_EQ(level_count(70000, 100), 10u);
    EXPECT_EQ(level_count(0, 0), 1u);
    EXPECT_EQ(level_count(0xFFFFFFFFu, 1), 25u);
    EXPECT_EQ(level_for_zoom(32768, 10), 1u);
    EXPECT_EQ(level_for_zoom(21627, 10), 1u);
    EXPECT_EQ(level_for_zoom(16384, 10), 2u);
    EXPECT_EQ(level_for_zoom(655, 3), 2u);
    EXPECT_EQ(level_for_zoom(0, 25), 6u);
    EXPECT_EQ(level_for_zoom(655, 0), 0u);
    // The chosen level is never smaller than the display, and the next one is.
    for (u32 z = 655; z <= 0x200000; z += 97) {
        u32 l = level_for_zoom(z, 25);
        EXPECT_GE(65536u >> l, std::min(z, 65536u)) << z;
        if (z < 65536) { EXPECT_LT(65536u >> (l + 1), z) << z; }
    }
}

TEST(Levels, VisibleTiles) {
    const i64 P = 65536;
    auto eq = [](TileRange r, u32 a, u32 b, u32 c, u32 d) {
        return r.first_column == a && r.first_row == b && r.end_column == c && r.end_row == d;
    };
    // A 300 x 300 image centred in a 1000 x 700 view at 100 %.
    EXPECT_TRUE(eq(visible_tiles(-350 * P, -200 * P, 1000, 700, 65536, 300, 300, 0), 0, 0, 2, 2));
    // Edges exactly on tile boundaries: [0, 256) is tile 0 alone, [256, 512) tile 1.
    EXPECT_TRUE(eq(visible_tiles(0, 0, 256, 256, 65536, 1000, 1000, 0), 0, 0, 1, 1));
    EXPECT_TRUE(eq(visible_tiles(256 * P, 0, 256, 1, 65536, 1000, 1000, 0), 1, 0, 2, 1));
    EXPECT_TRUE(eq(visible_tiles(256 * P, 0, 256, 1, 65536, 1000, 1000, 1), 0, 0, 1, 1));
    EXPECT_TRUE(eq(visible_tiles(999 * P, 999 * P, 64, 64, 65536, 1000, 1000, 0), 3, 3, 4, 4));
    // Wholly outside: right of, below, or ending at the image's origin.
    EXPECT_TRUE(eq(visible_tiles(1000 * P, 0, 64, 64, 65536, 1000, 1000, 0), 0, 0, 0, 0));
    EXPECT_TRUE(eq(visible_tiles(0, 2000 * P, 64, 64, 65536, 1000, 1000, 0), 0, 0, 0, 0));
    EXPECT_TRUE(eq(visible_tiles(-64 * P, 0, 64, 64, 65536, 1000, 1000, 0), 0, 0, 0, 0));
    EXPECT_TRUE(eq(visible_tiles(0, 0, 64, 64, 65536, 0, 1000, 0), 0, 0, 0, 0));
    // A whole 70000-pixel image at 1 %: level 6 of 10, 16384-pixel tiles, and
    // every sampled pixel inside the image lies in the range.
    std::vector<i64> xs(VIEW_SPAN_MAX);
    u32 n = sample_positions(xs.data(), 0, 7680, 3840, 655, 35000 * P);
    u32 l = level_for_zoom(655, level_count(70000, 100));
    TileRange r = visible_tiles(xs[0], 0, n, 1, 655, 70000, 100, l);
    EXPECT_EQ(l, 6u);
    EXPECT_TRUE(eq(r, 0, 0, 5, 1));
    for (u32 i = 0; i < n; i++)
        if (xs[i] >= 0 && xs[i] < 70000 * P) { EXPECT_LT((u32)(xs[i] >> (24 + l)), r.end_column); }
}
