// Tile cache: creation limits, slot life cycle and generations, eviction,
// the hash under many removals, the per-frame budget, dropping while
// pending, and tiles made at any level (synthetic rule, 2 x 2 reduction of a
// source that serves only full size, edge fill) against references written
// here from the rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "view/tile_cache.h"

struct Cache {
    std::unique_ptr<TileCache> owned{new TileCache{}};
    TileCache* c = owned.get();
    explicit Cache(u32 capacity) {
        if (!create(c, capacity)) std::abort();
    }
    ~Cache() { release(c); }
};

// ---- Creation and slots -----------------------------------------------------

TEST(TileCache, CreateLimits) {
    TileCache c;
    EXPECT_FALSE(create(&c, 0));
    EXPECT_FALSE(create(&c, 4097));
    ASSERT_TRUE(create(&c, 1));
    EXPECT_EQ(c.entry_count, 8u);
    EXPECT_EQ(c.group_count, 2u);
    release(&c);
    ASSERT_TRUE(create(&c, 2048));
    EXPECT_EQ(c.group_count, 1024u);
    EXPECT_EQ(c.pool.reserved, 2048 * TILE_BYTES);
    EXPECT_EQ(c.pool.committed, 0u);  // nothing until a slot is needed
    release(&c);
    ASSERT_TRUE(create(&c, 4096));
    EXPECT_EQ(c.entry_count, 8192u);
    release(&c);
}

TEST(TileCache, PoolCommitsSlotBySlotWithinItsCapacity) {
    Cache k(5);
    TileCache* c = k.c;
    for (u32 i = 0; i < 5; i++) {
        ASSERT_EQ(acquire(c, tile_key(0, 0, i, 0)), i);
        EXPECT_EQ(c->committed, i + 1);
        EXPECT_GE(c->pool.committed, (u64)(i + 1) * TILE_BYTES);
        EXPECT_LE(c->pool.committed, 5 * TILE_BYTES);  // 1 MiB steps, capped at the range
    }
    EXPECT_EQ(c->pool.committed, 5 * TILE_BYTES);
    EXPECT_EQ(acquire(c, tile_key(0, 0, 9, 0)), NO_TILE);  // all pending and used
}

TEST(TileCache, KeyLayout) {
    TileKey k = tile_key(0x1234, 5, 0xABCD, 0x0102);
    EXPECT_EQ(k, 0x123405ABCD0102ull);
    EXPECT_EQ(coarser_key(k, 1), tile_key(0x1234, 6, 0xABCD >> 1, 0x0102 >> 1));
    EXPECT_EQ(coarser_key(k, 3), tile_key(0x1234, 8, 0xABCD >> 3, 0x0102 >> 3));
}

TEST(TileCache, SlotLifeCycleAndGenerations) {
    Cache k(4);
    TileCache* c = k.c;
    TileKey a = tile_key(1, 0, 0, 0);
    EXPECT_EQ(lookup(c, a), NO_TILE);
    u16 s = acquire(c, a);
    ASSERT_EQ(s, 0);
    EXPECT_EQ(lookup(c, a), s);
    EXPECT_EQ(c->allocated_count, 1u);
    EXPECT_EQ(c->pending_count, 1u);
    EXPECT_EQ(c->pool.committed, 0x100000u);  // one slot rounds up to one 1 MiB step
    u32 g = c->generation[s];
    EXPECT_FALSE(mark_ready(c, s, g + 1));  // a stale outcome is ignored
    EXPECT_FALSE(tile_ready(c, s, a));
    EXPECT_TRUE(mark_ready(c, s, g));
    EXPECT_TRUE(tile_ready(c, s, a));
    EXPECT_EQ(c->pending_count, 0u);
    EXPECT_FALSE(mark_ready(c, s, g));  // twice: no longer pending
    // A failed render frees the slot, and the next key gets a new generation.
    TileKey b = tile_key(1, 0, 1, 0);
    u16 t = acquire(c, b);
    ASSERT_EQ(t, 1);
    EXPECT_TRUE(release_pending(c, t, c->generation[t]));
    EXPECT_EQ(lookup(c, b), NO_TILE);
    EXPECT_EQ(c->allocated_count, 1u);
    u32 before = c->generation[t];
    EXPECT_EQ(acquire(c, tile_key(2, 0, 0, 0)), t);  // the lowest free slot again
    EXPECT_EQ(c->generation[t], before + 1);
}

TEST(TileCache, EvictionSparesUsedAndPendingAndGivesSecondChance) {
    Cache k(2);
    TileCache* c = k.c;
    u16 s0 = acquire(c, tile_key(1, 0, 0, 0));
    u16 s1 = acquire(c, tile_key(1, 0, 1, 0));
    ASSERT_TRUE(mark_ready(c, s0, c->generation[s0]));
    // s1 stays pending; both are used this frame: nothing can be evicted.
    EXPECT_EQ(acquire(c, tile_key(1, 0, 2, 0)), NO_TILE);
    // A new frame clears the used set; s0 is recent but gets its second
    // chance cleared by the clock, s1 is still pending and is never taken.
    for (u64& w : c->used) w = 0;
    u16 s = acquire(c, tile_key(1, 0, 2, 0));
    EXPECT_EQ(s, s0);
    EXPECT_EQ(lookup(c, tile_key(1, 0, 0, 0)), NO_TILE);
    EXPECT_EQ(lookup(c, tile_key(1, 0, 1, 0)), s1);
    EXPECT_EQ(c->allocated_count, 2u);
}

TEST(TileCache, VictimIsNeverUsedOrPending) {
    Cache k(3);
    TileCache* c = k.c;
    u16 s0 = acquire(c, tile_key(1, 0, 0, 0));  // stays pending
    u16 s1 = acquire(c, tile_key(1, 0, 1, 0));
    u16 s2 = acquire(c, tile_key(1, 0, 2, 0));
    ASSERT_TRUE(mark_ready(c, s1, c->generation[s1]));
    ASSERT_TRUE(mark_ready(c, s2, c->generation[s2]));
    for (u64& w : c->used) w = 0;
    for (u64& w : c->recent) w = 0;
    c->used[0] |= 1u << s1;  // needed again this frame
    // The lowest candidate would be s0, but it is pending; s1 is used.
    EXPECT_EQ(acquire(c, tile_key(2, 0, 0, 0)), s2);
    EXPECT_EQ(c->hand, 0u);  // moved past the victim, wrapping
    EXPECT_EQ(acquire(c, tile_key(2, 0, 1, 0)), NO_TILE);
    EXPECT_TRUE(tile_ready(c, s1, tile_key(1, 0, 1, 0)));
    EXPECT_TRUE(set_has(c->pending, s0));
}

TEST(TileCache, DropWhilePendingIsNotMarkedReadyLater) {
    Cache k(8);
    TileCache* c = k.c;
    u16 ready = acquire(c, tile_key(3, 0, 0, 0));
    ASSERT_TRUE(mark_ready(c, ready, c->generation[ready]));
    u16 pending = acquire(c, tile_key(3, 0, 1, 0));
    u16 other = acquire(c, tile_key(4, 0, 0, 0));
    u32 g = c->generation[pending];
    drop_document(c, 3);
    EXPECT_EQ(c->allocated_count, 1u);
    EXPECT_EQ(lookup(c, tile_key(3, 0, 0, 0)), NO_TILE);
    EXPECT_EQ(lookup(c, tile_key(3, 0, 1, 0)), NO_TILE);
    EXPECT_EQ(lookup(c, tile_key(4, 0, 0, 0)), other);
    // The dropped pending slot is not handed out until its outcome arrives.
    u16 next = acquire(c, tile_key(5, 0, 0, 0));
    EXPECT_NE(next, pending);
    EXPECT_FALSE(mark_ready(c, pending, g));  // the render's success is ignored...
    EXPECT_FALSE(set_has(c->ready, pending));
    EXPECT_FALSE(set_has(c->pending, pending));  // ...and the slot is free again
    EXPECT_EQ(acquire(c, tile_key(5, 0, 1, 0)), pending);
}

TEST(TileCache, HashSurvivesManyRemovals) {
    Cache k(64);
    TileCache* c = k.c;
    // Rounds of 64 keys, all dropped at once: the 33rd removal of a round
    // outnumbers the 32 groups and rebuilds the index. Between rounds some
    // keys of another document stay and must still be found.
    std::vector<TileKey> kept;
    for (u32 round = 0; round < 40; round++) {
        u32 doc = 100 + round;
        u32 fresh = 0;
        for (u32 i = 0; fresh < 64 - kept.size(); i++) {
            TileKey key = tile_key(doc, round % 5, i * 3 + round, i * 17);
            u16 s = acquire(c, key);
            ASSERT_NE(s, NO_TILE);
            ASSERT_TRUE(mark_ready(c, s, c->generation[s]));
            fresh++;
        }
        for (u64& w : c->used) w = 0;
        drop_document(c, doc);
        // 64 - kept removals; without a rebuild they would all be markers.
        ASSERT_LE(c->deleted_count, c->group_count);
        if (64 - kept.size() > c->group_count) {
            ASSERT_LT(c->deleted_count, 64 - kept.size());
        }
        for (TileKey key : kept) ASSERT_NE(lookup(c, key), NO_TILE);
        if (round == 0) {
            for (u32 i = 0; i < 8; i++) {
                TileKey key = tile_key(7, 0, i, i);
                u16 s = acquire(c, key);
                ASSERT_TRUE(mark_ready(c, s, c->generation[s]));
                kept.push_back(key);
            }
        }
    }
    u32 found = 0;
    for (u32 s = 0; s < 64; s++) {
        if (!set_has(c->allocated, s)) continue;
        EXPECT_EQ(lookup(c, c->slot_key[s]), s);
        found++;
    }
    EXPECT_EQ(found, 8u);
    EXPECT_EQ(c->allocated_count, 8u);
    EXPECT_EQ(lookup(c, tile_key(100, 0, 0, 0)), NO_TILE);
}

// ---- Visible sets and the budget --------------------------------------------

static std::unique_ptr<ViewTiles> view_tiles(u32 document, u32 width, u32 height, u32 level, TileRange r) {
    std::unique_ptr<ViewTiles> t(new ViewTiles{});
    t->document = document;
    t->source = synthetic_source(width, height);
    t->levels = level_count(width, height);
    t->level = level;
    t->range = r;
    return t;
}

TEST(TileCache, BudgetOfEightWithTwentyMissing) {
    Cache k(2048);
    RenderCounters s;
    render_counters_init(&s);
    EXPECT_EQ(s.tile_budget, -1);
    s.tile_budget = 8;
    // 5 x 4 tiles at level 0 of a 2000 x 1200 image (levels 0 to 3).
    auto t = view_tiles(0, 2000, 1200, 0, TileRange{1, 0, 6, 4});
    frame_begin(&s);
    prepare_view(k.c, t.get(), false, &s);
    EXPECT_EQ(t->count, 20u);
    EXPECT_EQ(t->pending_count, 20u);
    EXPECT_EQ(s.rendered, 1u);  // the coarsest tile, outside the budget
    EXPECT_EQ(lookup(k.c, tile_key(0, 3, 0, 0)), 0);
    for (u32 i = 0; i < 20; i++) {
        EXPECT_EQ(t->fallback_up[i], 3u);  // everything falls back to it
        EXPECT_EQ(t->fallback[i], 0);
    }
    render_missing(k.c, t.get(), &s);
    EXPECT_EQ(s.rendered, 9u);
    EXPECT_EQ(s.pending, 12u);
    EXPECT_EQ(k.c->allocated_count, 9u);
    EXPECT_EQ(k.c->pending_count, 0u);
    for (u32 i = 0; i < 20; i++) EXPECT_EQ(tile_ready(k.c, t->exact[i], t->keys[i]), i < 8) << i;
    // The next frame asks for the other twelve: eight more now, four after.
    frame_begin(&s);
    prepare_view(k.c, t.get(), false, &s);
    EXPECT_EQ(t->pending_count, 12u);
    render_missing(k.c, t.get(), &s);
    EXPECT_EQ(s.pending, 4u);
    frame_begin(&s);
    prepare_view(k.c, t.get(), false, &s);
    render_missing(k.c, t.get(), &s);
    EXPECT_EQ(s.pending, 0u);
    EXPECT_EQ(k.c->allocated_count, 21u);
    TextBuffer text;
    text_clear(&text);
    scene_summary(&s, k.c, &text);
    EXPECT_EQ(std::string((char*)text.bytes, text.length),
              "level=0 exact=0 fallback=0 none=0 pending=0 resident=21");
}

TEST(TileCache, MoreVisibleTilesThanSlots) {
    Cache k(6);
    RenderCounters s;
    render_counters_init(&s);
    auto t = view_tiles(0, 4000, 3000, 0, TileRange{0, 0, 4, 3});
    frame_begin(&s);
    prepare_view(k.c, t.get(), false, &s);
    render_missing(k.c, t.get(), &s);
    // One slot holds the coarsest tile, five of the twelve keys get slots;
    // nothing used this frame was evicted to make room.
    u32 with_slot = 0;
    for (u32 i = 0; i < t->count; i++) {
        if (t->exact[i] != NO_TILE) {
            with_slot++;
            EXPECT_TRUE(tile_ready(k.c, t->exact[i], t->keys[i]));
        } else {
            EXPECT_NE(t->fallback[i], NO_TILE);  // drawn from the coarsest tile
        }
    }
    EXPECT_EQ(with_slot, 5u);
    EXPECT_TRUE(tile_ready(k.c, lookup(k.c, tile_key(0, 4, 0, 0)), tile_key(0, 4, 0, 0)));
    // The second view of a difference keeps the first one's tiles: with all
    // slots used, it gets none of its own.
    auto u = view_tiles(1, 4000, 3000, 0, TileRange{0, 0, 2, 1});
    prepare_view(k.c, u.get(), true, &s);
    EXPECT_EQ(u->pending_count, 0u);
    for (u32 i = 0; i < t->count; i++) {
        if (t->exact[i] != NO_TILE) {
            EXPECT_TRUE(tile_ready(k.c, t->exact[i], t->keys[i]));
        }
    }
}

static bool failing_render(void*, u32, u32, u32, PixelBuffer*, CodecError* err) {
    return fail(err, ERR_TRUNCATED, 77);
}

TEST(TileCache, FirstFailureIsRecordedAndLaterRendersWait) {
    Cache k(64);
    RenderCounters s;
    render_counters_init(&s);
    auto t = view_tiles(9, 1000, 1000, 0, TileRange{0, 0, 3, 1});
    t->source = TileSource{failing_render, nullptr, 1000, 1000};
    frame_begin(&s);
    prepare_view(k.c, t.get(), false, &s);
    render_missing(k.c, t.get(), &s);
    EXPECT_TRUE(s.failed);
    EXPECT_EQ(s.error_code, (u32)ERR_TRUNCATED);
    EXPECT_EQ(s.error_document, 9u);
    EXPECT_EQ(s.rendered, 1u);  // the coarsest tile failed; the rest did not try
    EXPECT_EQ(s.pending, 3u);   // and wait for the next frame
    EXPECT_EQ(k.c->allocated_count, 0u);
    EXPECT_EQ(k.c->pending_count, 0u);
}

// ---- Tiles at any level -----------------------------------------------------

static u32 bitlen(u64 x) {
    u32 n = 0;
    while (x) n++, x >>= 1;
    return n;
}

// The synthetic rule, straight from its definition.
static u32 ref_synthetic(u32 w, u32 h, u64 x, u64 y) {
    auto s = [](u32 n) { return bitlen(n) > 16 ? bitlen(n) - 16 : 0; };
    auto m = [&](u32 n) { return (u64)0xFF0000 / (((u64)(n - 1) >> s(n)) + 1); };
    u64 red = (((x >> s(w)) * m(w)) >> 16) & 0xFF;
    u64 green = (((y >> s(h)) * m(h)) >> 16) & 0xFF;
    u32 blue = ((x >> 4) & 1) != ((y >> 4) & 1) ? 192 : 64;
    return 0xFF000000u | (u32)(red << 16) | (u32)(green << 8) | blue;
}

TEST(TileCache, SyntheticTilesAtEveryLevel) {
    Cache k(4);
    std::vector<u32> tile(65536);
    PixelBuffer pb = {(u8*)tile.data(), 1024, 256, 256};
    CodecError err;
    struct Case { u32 w, h, level, col, row; };
    for (Case cs : {Case{300, 200, 0, 1, 0}, Case{4000, 3000, 2, 3, 2}, Case{70000, 100, 9, 0, 0},
                    Case{16776960, 16776960, 16, 0, 0}, Case{16776960, 3, 0, 65534, 0}}) {
        ASSERT_TRUE(render_any_level(k.c, synthetic_source(cs.w, cs.h), 0, cs.level, cs.col, cs.row, &pb, &err));
        u64 lw = (cs.w + (1ull << cs.level) - 1) >> cs.level;
        u64 lh = (cs.h + (1ull << cs.level) - 1) >> cs.level;
        u32 cw = (u32)std::min<u64>(256, lw - cs.col * 256ull);
        u32 ch = (u32)std::min<u64>(256, lh - cs.row * 256ull);
        for (u32 j = 0; j < 256; j++) {
            for (u32 i = 0; i < 256; i++) {
                u32 si = std::min(i, cw - 1), sj = std::min(j, ch - 1);  // edge fill
                u64 x = (cs.col * 256ull + si) << cs.level, y = (cs.row * 256ull + sj) << cs.level;
                ASSERT_EQ(tile[j * 256 + i], ref_synthetic(cs.w, cs.h, x, y)) << cs.w << " " << i << "," << j;
            }
        }
        EXPECT_EQ(synthetic_pixel(cs.w, cs.h, 0, 16), ref_synthetic(cs.w, cs.h, 0, 16));
    }
    EXPECT_FALSE(render_any_level(k.c, synthetic_source(300, 200), 0, 0, 2, 0, &pb, &err));
    EXPECT_EQ(err.code, (u32)ERR_BAD_TARGET);  // origin beyond the image
    EXPECT_FALSE(render_any_level(k.c, synthetic_source(300, 200), 0, 18, 0, 0, &pb, &err));
    EXPECT_EQ(err.code, (u32)ERR_BAD_TARGET);  // deeper than the pyramid goes
}

// A source that serves level 0 only, from a full-size image with alpha.
struct FullSize {
    u32 w, h;
    std::vector<u32> pixels;
    u32 calls = 0;
    FullSize(u32 width, u32 height) : w(width), h(height), pixels((size_t)width * height) {
        for (u32 y = 0; y < h; y++)
            for (u32 x = 0; x < w; x++) pixels[(size_t)y * w + x] = (x * 7 + y * 3) * 2654435761u ^ (x << 24);
    }
    static bool render(void* ctx, u32 level, u32 col, u32 row, PixelBuffer* tile, CodecError* err) {
        FullSize* f = (FullSize*)ctx;
        f->calls++;
        if (level != 0) return fail(err, ERR_BAD_TARGET, 0);
        u32* out = (u32*)tile->pixels;
        for (u32 j = 0; j < 256; j++)
            for (u32 i = 0; i < 256; i++) {
                u32 x = std::min(col * 256 + i, f->w - 1), y = std::min(row * 256 + j, f->h - 1);
                out[j * 256 + i] = f->pixels[(size_t)y * f->w + x];
            }
        return true;
    }
    TileSource source() { return TileSource{render, this, w, h}; }
};

// Level n of the box pyramid: each pixel the rounded mean of the 2 x 2 pixels
// below it, the ones past an odd edge repeating the edge.
static std::vector<u32> box_level(const std::vector<u32>& img, u32 w, u32 h, u32* w_out, u32* h_out) {
    u32 nw = (w + 1) / 2, nh = (h + 1) / 2;
    std::vector<u32> out((size_t)nw * nh);
    for (u32 y = 0; y < nh; y++)
        for (u32 x = 0; x < nw; x++) {
            u32 x0 = 2 * x, x1 = std::min(2 * x + 1, w - 1), y0 = 2 * y, y1 = std::min(2 * y + 1, h - 1);
            u32 p = 0;
            for (u32 c = 0; c < 4; c++) {
                auto ch = [&](u32 xx, u32 yy) { return (img[(size_t)yy * w + xx] >> (8 * c)) & 0xFF; };
                p |= ((ch(x0, y0) + ch(x1, y0) + ch(x0, y1) + ch(x1, y1) + 2) >> 2) << (8 * c);
            }
            out[(size_t)y * nw + x] = p;
        }
    *w_out = nw;
    *h_out = nh;
    return out;
}

TEST(TileCache, CoarseLevelsAreBoxReductions) {
    Cache k(16);
    FullSize f(1100, 517);
    std::vector<std::vector<u32>> levels = {f.pixels};
    std::vector<u32> ws = {f.w}, hs = {f.h};
    for (u32 l = 1; l <= 4; l++) {
        u32 nw, nh;
        levels.push_back(box_level(levels.back(), ws.back(), hs.back(), &nw, &nh));
        ws.push_back(nw);
        hs.push_back(nh);
    }
    std::vector<u32> tile(65536);
    PixelBuffer pb = {(u8*)tile.data(), 1024, 256, 256};
    CodecError err;
    auto check = [&](u32 l, u32 col, u32 row) {
        u32 cw = std::min(256u, ws[l] - col * 256), ch = std::min(256u, hs[l] - row * 256);
        for (u32 j = 0; j < 256; j++)
            for (u32 i = 0; i < 256; i++) {
                u32 x = col * 256 + std::min(i, cw - 1), y = row * 256 + std::min(j, ch - 1);
                ASSERT_EQ(tile[j * 256 + i], levels[l][(size_t)y * ws[l] + x]) << l << " " << i << "," << j;
            }
    };
    ASSERT_TRUE(render_any_level(k.c, f.source(), 5, 1, 1, 0, &pb, &err));
    check(1, 1, 0);
    ASSERT_TRUE(render_any_level(k.c, f.source(), 5, 1, 2, 1, &pb, &err));
    check(1, 2, 1);  // the last tile: children outside skipped, edge filled
    ASSERT_TRUE(render_any_level(k.c, f.source(), 5, 4, 0, 0, &pb, &err));
    check(4, 0, 0);
    EXPECT_EQ(k.c->scratch.committed, 0x100000u);  // four scratch tiles, one 1 MiB step
    // Ready finer tiles in the cache are used instead of rendering again.
    u16 s = acquire(k.c, tile_key(5, 0, 0, 0));
    std::vector<u32> marked(65536, 0xFF00FF00u);
    std::copy(marked.begin(), marked.end(), tile_pixels(k.c, s));
    mark_ready(k.c, s, k.c->generation[s]);
    f.calls = 0;
    ASSERT_TRUE(render_any_level(k.c, f.source(), 5, 1, 0, 0, &pb, &err));
    EXPECT_EQ(tile[0], 0xFF00FF00u);    // from the cached child...
    EXPECT_EQ(f.calls, 1u + 3u);        // ...one try at level 1, then the three other children
    // A job that cannot decode fails every level with its own error.
    DecodeJob job = {};
    job.info.width = 1100;
    job.info.height = 517;
    EXPECT_FALSE(render_any_level(k.c, job_source(&job), 6, 2, 0, 0, &pb, &err));
    EXPECT_NE(err.code, (u32)ERR_OK);
}

// A very wide one-row image that serves level 0 only, each tile one colour
// chosen by its column.
struct WideStripe {
    static u32 colour(u32 column) { return 0xFF000000u | ((column * 2654435761u) >> 8); }
    static bool render(void*, u32 level, u32 col, u32, PixelBuffer* tile, CodecError* err) {
        if (level != 0) return fail(err, ERR_BAD_TARGET, 0);
        u32* out = (u32*)tile->pixels;
        for (u32 i = 0; i < 65536; i++) out[i] = colour(col);
        return true;
    }
};

TEST(TileCache, ChildrenPastTheKeyRangeNeverAliasCachedTiles) {
    // 2^25 pixels wide: level-1 column 32768 is built from level-0 columns
    // 65536 and 65537, whose 16-bit keys would name columns 0 and 1.
    Cache k(16);
    TileSource src = {WideStripe::render, nullptr, 1u << 25, 1};
    u16 s = acquire(k.c, tile_key(3, 0, 0, 0));
    std::fill(tile_pixels(k.c, s), tile_pixels(k.c, s) + 65536, 0xFF00FF00u);
    mark_ready(k.c, s, k.c->generation[s]);
    std::vector<u32> tile(65536);
    PixelBuffer pb = {(u8*)tile.data(), 1024, 256, 256};
    CodecError err;
    ASSERT_TRUE(render_any_level(k.c, src, 3, 1, 32768, 0, &pb, &err));
    EXPECT_EQ(tile[0], WideStripe::colour(65536));
    EXPECT_EQ(tile[127], WideStripe::colour(65536));
    EXPECT_EQ(tile[128], WideStripe::colour(65537));
    EXPECT_EQ(tile[255 * 256 + 255], WideStripe::colour(65537));  // edge-filled rows repeat row 0
    // Within the key range the cached child is still used.
    ASSERT_TRUE(render_any_level(k.c, src, 3, 1, 0, 0, &pb, &err));
    EXPECT_EQ(tile[0], 0xFF00FF00u);
    EXPECT_EQ(tile[128], WideStripe::colour(1));
}
