// Tile cache. Slot states are five bit sets; the free-slot search, the clock
// and drop_document scan them 64 slots at a time with lowest-set-bit search.
// The hash probes whole groups of 4 keys from a home group picked by a
// Fibonacci multiply; deletions leave markers that are cleared by a rebuild
// from the allocated slots once they outnumber the groups, so a probe always
// meets an empty entry (live keys <= capacity <= entries / 2, markers <=
// entries / 4).
#include "view/tile_cache.h"

#include "view/blend.h"

// ---- Sources ----------------------------------------------------------------

static bool job_render(void* context, u32 level, u32 column, u32 row, PixelBuffer* tile,
                       CodecError* err) {
    return render_tile((DecodeJob*)context, level, column, row, tile, err);
}

TileSource job_source(DecodeJob* job) {
    return TileSource{job_render, job, job->info.width, job->info.height};
}

TileSource synthetic_source(u32 width, u32 height) {
    return TileSource{nullptr, nullptr, width, height};
}

static u32 bit_length(u64 x) {
    return x == 0 ? 0 : 64 - (u32)__builtin_clzll(x);
}

// Ramp parameters of one side n: positions are shifted right by s so that
// they fit 16 bits, and m scales the shifted range to 0 .. about 255 in 8.16.
static void ramp(u32 n, u32* shift_out, u64* scale_out) {
    u32 b = bit_length(n);
    u32 s = b > 16 ? b - 16 : 0;
    u32 top = n == 0 ? 0 : ((n - 1) >> s);
    *shift_out = s;
    *scale_out = 0xFF0000u / (top + 1);
}

u32 synthetic_pixel(u32 width, u32 height, u32 x, u32 y) {
    u32 sw, sh;
    u64 mw, mh;
    ramp(width, &sw, &mw);
    ramp(height, &sh, &mh);
    u32 red = (u32)((((u64)(x >> sw)) * mw) >> 16) & 0xFF;
    u32 green = (u32)((((u64)(y >> sh)) * mh) >> 16) & 0xFF;
    u32 blue = ((x ^ y) & 16) != 0 ? 192 : 64;
    return 0xFF000000u | (red << 16) | (green << 8) | blue;
}

// ---- Tile helpers -----------------------------------------------------------

// Repeats the last valid column across every valid row, then the last valid
// row down to the tile's end: the tile outside its valid part repeats its edge.
static void edge_fill(u32* tile, u32 valid_width, u32 valid_height) {
    for (u32 y = 0; y < valid_height; y++) {
        u32* row = tile + y * TILE_SIDE;
        u32 edge = row[valid_width - 1];
        for (u32 x = valid_width; x < TILE_SIDE; x++) row[x] = edge;
    }
    const u32* last = tile + (valid_height - 1) * TILE_SIDE;
    for (u32 y = valid_height; y < TILE_SIDE; y++) {
        u32* row = tile + y * TILE_SIDE;
        for (u32 x = 0; x < TILE_SIDE; x++) row[x] = last[x];
    }
}

// The synthetic rule at full-resolution positions (column * 256 + i) << level.
// Red depends only on x and green only on y, so both ramps are tabulated once
// per tile.
static void synthetic_tile(u32 width, u32 height, u32 level, u32 column, u32 row, u32* tile,
                           u32 valid_width, u32 valid_height) {
    u32 sw, sh;
    u64 mw, mh;
    ramp(width, &sw, &mw);
    ramp(height, &sh, &mh);
    u32 across[TILE_SIDE];
    for (u32 i = 0; i < valid_width; i++) {
        u32 x = (column * TILE_SIDE + i) << level;
        across[i] = ((u32)((((u64)(x >> sw)) * mw) >> 16) & 0xFF) << 16 | (x & 16);
    }
    for (u32 j = 0; j < valid_height; j++) {
        u32 y = (row * TILE_SIDE + j) << level;
        u32 down = 0xFF000000u | (((u32)((((u64)(y >> sh)) * mh) >> 16) & 0xFF) << 8);
        u32 ybit = y & 16;
        u32* out = tile + j * TILE_SIDE;
        for (u32 i = 0; i < valid_width; i++) {
            u32 a = across[i];
            out[i] = down | (a & 0xFF0000) | (((a & 16) ^ ybit) != 0 ? 192 : 64);
        }
    }
    edge_fill(tile, valid_width, valid_height);
}

// One child tile reduced 2:1 into the quadrant of out at (qx, qy): per
// channel (a + b + c + d + 2) >> 2, a row at a time by the reduction kernel.
static void reduce_into(u32* out, const u32* child, u32 qx, u32 qy) {
    const ReduceRowFn reduce_row = blend_kernels.reduce_row;
    for (u32 y = 0; y < TILE_SIDE / 2; y++) {
        const u32* r0 = child + (2 * y) * TILE_SIDE;
        reduce_row(out + (qy + y) * TILE_SIDE + qx, r0, r0 + TILE_SIDE, TILE_SIDE / 2);
    }
}

// ---- Hash -------------------------------------------------------------------

static u32 home_group(const TileCache* c, TileKey key) {
    return (u32)((key * 0x9E3779B97F4A7C15ull) >> (64 - c->group_bits));
}

// The entry holding key, or entry_count.
static u32 find_entry(const TileCache* c, TileKey key) {
    u32 g = home_group(c, key);
    for (u32 n = 0; n < c->group_count; n++) {
        const u64* k = c->hash_key + (u64)g * 4;
        // All four keys at once, then the stop test.
        u32 hit = (u32)(k[0] == key) | (u32)(k[1] == key) << 1 | (u32)(k[2] == key) << 2 |
                  (u32)(k[3] == key) << 3;
        if (hit != 0) return g * 4 + (u32)__builtin_ctz(hit);
        if (k[0] == HASH_EMPTY || k[1] == HASH_EMPTY || k[2] == HASH_EMPTY || k[3] == HASH_EMPTY) break;
        g = (g + 1) & (c->group_count - 1);
    }
    return c->entry_count;
}

static void hash_insert(TileCache* c, TileKey key, u16 slot) {
    u32 g = home_group(c, key);
    for (u32 n = 0; n < c->group_count; n++) {
        for (u32 e = 0; e < 4; e++) {
            u32 i = g * 4 + e;
            u64 k = c->hash_key[i];
            if (k == HASH_EMPTY || k == HASH_DELETED) {
                if (k == HASH_DELETED) c->deleted_count--;
                c->hash_key[i] = key;
                c->hash_slot[i] = slot;
                return;
            }
        }
        g = (g + 1) & (c->group_count - 1);
    }
    QB_ASSERT(false);  // unreachable: the index is never more than 3/4 full
}

static void hash_rebuild(TileCache* c) {
    for (u32 i = 0; i < c->entry_count; i++) c->hash_key[i] = HASH_EMPTY;
    c->deleted_count = 0;
    for (u32 w = 0; w < TILE_SET_WORDS; w++) {
        for (u64 bits = c->allocated[w]; bits != 0; bits &= bits - 1) {
            u32 s = w * 64 + (u32)__builtin_ctzll(bits);
            hash_insert(c, c->slot_key[s], (u16)s);
        }
    }
}

static void hash_remove(TileCache* c, TileKey key) {
    u32 i = find_entry(c, key);
    if (i == c->entry_count) return;
    c->hash_key[i] = HASH_DELETED;
    c->deleted_count++;
    if (c->deleted_count > c->group_count) hash_rebuild(c);
}

// ---- Creation ---------------------------------------------------------------

bool create(TileCache* c, u32 capacity) {
    *c = TileCache{};
    if (capacity == 0 || capacity > TILE_CACHE_MAX) return false;
    u32 entries = 8;
    while (entries < 2 * capacity) entries *= 2;
    u64 keys_size = (u64)capacity * 8;
    u64 gens_size = (u64)capacity * 4;
    u64 hash_size = (u64)entries * 8;
    u64 slots_size = (u64)entries * 2;
    u64 tables_size = keys_size + gens_size + hash_size + slots_size;
    if (!reserve(&c->pool, (u64)capacity * TILE_BYTES) || !reserve(&c->tables, tables_size) ||
        !commit_to(&c->tables, tables_size) || !reserve(&c->scratch, RENDER_LEVEL_MAX * TILE_BYTES)) {
        release(c);
        return false;
    }
    // 8-byte arrays first, so every array is aligned to its element.
    c->slot_key = (TileKey*)c->tables.base;
    c->hash_key = (u64*)(c->tables.base + keys_size);
    c->generation = (u32*)(c->tables.base + keys_size + hash_size);
    c->hash_slot = (u16*)(c->tables.base + keys_size + hash_size + gens_size);
    c->capacity = capacity;
    c->entry_count = entries;
    c->group_count = entries / 4;
    c->group_bits = (u32)__builtin_ctz(c->group_count);
    for (u32 i = 0; i < entries; i++) c->hash_key[i] = HASH_EMPTY;
    for (u32 s = 0; s < capacity; s++) c->generation[s] = 0;
    return true;
}

void release(TileCache* c) {
    release(&c->pool);
    release(&c->tables);
    release(&c->scratch);
    *c = TileCache{};
}

// ---- Slots ------------------------------------------------------------------

static void set_bit(u64* set, u32 s) { set[s >> 6] |= (u64)1 << (s & 63); }
static void clear_bit(u64* set, u32 s) { set[s >> 6] &= ~((u64)1 << (s & 63)); }

static u32 word_count(const TileCache* c) {
    return (c->capacity + 63) / 64;
}

// Slots of word w below `limit`.
static u64 slots_below(u32 w, u32 limit) {
    u32 first = w * 64;
    if (limit <= first) return 0;
    if (limit - first >= 64) return ~(u64)0;
    return ((u64)1 << (limit - first)) - 1;
}

u16 lookup(const TileCache* c, TileKey key) {
    if (c->capacity == 0) return NO_TILE;
    u32 i = find_entry(c, key);
    return i == c->entry_count ? NO_TILE : c->hash_slot[i];
}

bool tile_ready(const TileCache* c, u16 slot, TileKey key) {
    return slot < c->capacity && set_has(c->ready, slot) && set_has(c->allocated, slot) &&
           c->slot_key[slot] == key;
}

// Takes an allocated slot out: all five bits, the count and its hash entry.
static void evict(TileCache* c, u32 s) {
    clear_bit(c->allocated, s);
    clear_bit(c->ready, s);
    clear_bit(c->pending, s);
    clear_bit(c->used, s);
    clear_bit(c->recent, s);
    c->allocated_count--;
    hash_remove(c, c->slot_key[s]);
}

static u32 free_slot(TileCache* c) {
    u32 words = word_count(c);
    for (u32 w = 0; w < words; w++) {
        u64 f = ~(c->allocated[w] | c->pending[w]) & slots_below(w, c->committed);
        if (f != 0) return w * 64 + (u32)__builtin_ctzll(f);
    }
    if (c->committed < c->capacity && commit_to(&c->pool, (u64)(c->committed + 1) * TILE_BYTES) &&
        prefault(c->pool.base + (u64)c->committed * TILE_BYTES, TILE_BYTES)) {
        // A new slot is written whole by the render that takes it.
        return c->committed++;
    }
    return NO_TILE;
}

// The clock: two turns from the hand, each turn visiting the hand's word
// twice (bits at or after the hand first, bits before it last). A word
// without a candidate loses its recent bits on the unused allocated slots,
// so the second turn finds what the first one spared.
static u32 clock_victim(TileCache* c) {
    u32 words = word_count(c);
    u32 hw = c->hand / 64;
    u64 at_or_after = ~(u64)0 << (c->hand & 63);
    for (u32 turn = 0; turn < 2; turn++) {
        for (u32 k = 0; k <= words; k++) {
            u32 w = (hw + k) % words;
            u64 mask = k == 0 ? at_or_after : (k == words ? ~at_or_after : ~(u64)0);
            u64 unused = c->allocated[w] & ~c->used[w] & mask;
            u64 cand = unused & ~c->recent[w] & ~c->pending[w];
            if (cand != 0) {
                u32 s = w * 64 + (u32)__builtin_ctzll(cand);
                c->hand = s + 1 < c->capacity ? s + 1 : 0;
                return s;
            }
            c->recent[w] &= ~unused;
        }
    }
    return NO_TILE;
}

u16 acquire(TileCache* c, TileKey key) {
    if (c->capacity == 0) return NO_TILE;
    u32 s = free_slot(c);
    if (s == NO_TILE) {
        s = clock_victim(c);
        if (s == NO_TILE) return NO_TILE;
        evict(c, s);
    }
    c->slot_key[s] = key;
    c->generation[s]++;
    set_bit(c->allocated, s);
    set_bit(c->pending, s);
    set_bit(c->used, s);
    set_bit(c->recent, s);
    c->allocated_count++;
    c->pending_count++;
    hash_insert(c, key, (u16)s);
    return (u16)s;
}

static bool outcome_applies(const TileCache* c, u16 slot, u32 generation) {
    return slot < c->capacity && c->generation[slot] == generation && set_has(c->pending, slot);
}

bool mark_ready(TileCache* c, u16 slot, u32 generation) {
    if (!outcome_applies(c, slot, generation)) return false;
    clear_bit(c->pending, slot);
    c->pending_count--;
    if (!set_has(c->allocated, slot)) return false;  // dropped meanwhile: now free
    set_bit(c->ready, slot);
    return true;
}

bool release_pending(TileCache* c, u16 slot, u32 generation) {
    if (!outcome_applies(c, slot, generation)) return false;
    clear_bit(c->pending, slot);
    c->pending_count--;
    if (set_has(c->allocated, slot)) evict(c, slot);
    return true;
}

void drop_document(TileCache* c, u32 document) {
    u32 words = word_count(c);
    for (u32 w = 0; w < words; w++) {
        for (u64 bits = c->allocated[w]; bits != 0; bits &= bits - 1) {
            u32 s = w * 64 + (u32)__builtin_ctzll(bits);
            if (key_document(c->slot_key[s]) != (document & 0xFFFF)) continue;
            bool keep_pending = set_has(c->pending, s);
            evict(c, s);
            if (keep_pending) set_bit(c->pending, s);
        }
    }
}

// ---- Frame statistics -------------------------------------------------------

void render_counters_init(RenderCounters* counters) {
    *counters = RenderCounters{};
    counters->tile_budget = -1;
}

void frame_begin(RenderCounters* counters) {
    i32 budget = counters->tile_budget;
    *counters = RenderCounters{};
    counters->tile_budget = budget;
}

void scene_summary(const RenderCounters* s, const TileCache* c, TextBuffer* out) {
    text_append(out, "level=");
    text_append_u64(out, s->level);
    text_append(out, " exact=");
    text_append_u64(out, s->exact);
    text_append(out, " fallback=");
    text_append_u64(out, s->fallback);
    text_append(out, " none=");
    text_append_u64(out, s->none);
    text_append(out, " pending=");
    text_append_u64(out, s->pending);
    text_append(out, " resident=");
    text_append_u64(out, c->allocated_count);
}

// ---- Rendering --------------------------------------------------------------

static bool render_level(TileCache* c, const TileSource* src, u32 document, u32 level, u32 column,
                         u32 row, u32* out, CodecError* err) {
    u64 lw = ceil_shift(src->width, level);
    u64 lh = ceil_shift(src->height, level);
    if (level > RENDER_LEVEL_MAX || (u64)column * TILE_SIDE >= lw || (u64)row * TILE_SIDE >= lh) {
        return fail(err, ERR_BAD_TARGET, 0);
    }
    u32 cw = (u32)(lw - (u64)column * TILE_SIDE < TILE_SIDE ? lw - (u64)column * TILE_SIDE : TILE_SIDE);
    u32 ch = (u32)(lh - (u64)row * TILE_SIDE < TILE_SIDE ? lh - (u64)row * TILE_SIDE : TILE_SIDE);
    if (src->render == nullptr) {
        synthetic_tile(src->width, src->height, level, column, row, out, cw, ch);
        error_clear(err);
        return true;
    }
    PixelBuffer tile = {(u8*)out, TILE_SIDE * 4, TILE_SIDE, TILE_SIDE};
    if (src->render(src->context, level, column, row, &tile, err)) return true;
    if (err->code != ERR_BAD_TARGET || level == 0) return false;
    // The source does not serve this level: average the four finer tiles.
    u64 cw_child = ceil_shift(src->width, level - 1);
    u64 ch_child = ceil_shift(src->height, level - 1);
    u32* child_scratch = (u32*)(c->scratch.base + (u64)(level - 1) * TILE_BYTES);
    for (u32 j = 0; j < 2; j++) {
        for (u32 i = 0; i < 2; i++) {
            u32 cc = 2 * column + i;
            u32 cr = 2 * row + j;
            if ((u64)cc * TILE_SIDE >= cw_child || (u64)cr * TILE_SIDE >= ch_child) continue;
            // Keys hold 16-bit columns and rows: a child past them would
            // alias a tile 65536 columns or rows away, so it is never looked
            // up in the cache but always rendered afresh.
            bool keyed = cc < TILE_KEY_SPAN && cr < TILE_KEY_SPAN;
            TileKey key = tile_key(document, level - 1, cc, cr);
            u16 slot = keyed ? lookup(c, key) : NO_TILE;
            const u32* child;
            if (keyed && tile_ready(c, slot, key)) {
                child = tile_pixels(c, slot);
            } else {
                if (!render_level(c, src, document, level - 1, cc, cr, child_scratch, err)) return false;
                child = child_scratch;
            }
            reduce_into(out, child, 128 * i, 128 * j);
        }
    }
    edge_fill(out, cw, ch);
    error_clear(err);
    return true;
}

bool render_any_level(TileCache* c, TileSource source, u32 document, u32 level, u32 column, u32 row,
                      PixelBuffer* tile, CodecError* err) {
    error_clear(err);
    if (level > RENDER_LEVEL_MAX) return fail(err, ERR_BAD_TARGET, 0);
    // Level n may recurse through the scratch tiles of levels 0 .. n - 1,
    // each written whole when it is first committed.
    if (source.render != nullptr && level > 0) {
        u64 had = c->scratch.committed;
        if (!commit_to(&c->scratch, (u64)level * TILE_BYTES)) return fail(err, ERR_TOO_LARGE, 0);
        if ((u64)level * TILE_BYTES > had && !prefault(c->scratch.base + had, (u64)level * TILE_BYTES - had)) {
            return fail(err, ERR_TOO_LARGE, 0);
        }
    }
    QB_ASSERT(tile->stride == TILE_SIDE * 4);
    return render_level(c, &source, document, level, column, row, (u32*)tile->pixels, err);
}

// Renders a slot that prepare_view acquired and records the outcome.
static void render_slot(TileCache* c, const ViewTiles* t, u16 slot, u32 generation,
                        RenderCounters* s) {
    if (s->failed) {
        release_pending(c, slot, generation);
        s->pending++;
        return;
    }
    TileKey key = c->slot_key[slot];
    PixelBuffer tile = {(u8*)tile_pixels(c, slot), TILE_SIDE * 4, TILE_SIDE, TILE_SIDE};
    CodecError err;
    s->rendered++;
    if (render_any_level(c, t->source, t->document, key_level(key), key_column(key), key_row(key),
                         &tile, &err)) {
        mark_ready(c, slot, generation);
        return;
    }
    release_pending(c, slot, generation);
    // Pixels a decode in steps has yet to make: asked for again next paint.
    if (err.code == ERR_PENDING) {
        s->pending++;
        return;
    }
    s->failed = true;
    s->error_code = err.code;
    s->error_document = t->document;
}

static void mark_needed(TileCache* c, u16 slot) {
    set_bit(c->used, slot);
    set_bit(c->recent, slot);
}

void prepare_view(TileCache* c, ViewTiles* t, bool keep_used, RenderCounters* s) {
    if (!keep_used) {
        for (u32 w = 0; w < TILE_SET_WORDS; w++) c->used[w] = 0;
    }
    t->count = 0;
    t->pending_count = 0;
    // The coarsest tile first, right after the used set is cleared: it is
    // every key's last fallback, and being used it cannot be evicted by the
    // acquires below.
    TileKey top = tile_key(t->document, t->levels - 1, 0, 0);
    u16 top_slot = lookup(c, top);
    if (top_slot != NO_TILE) {
        mark_needed(c, top_slot);
    } else {
        top_slot = acquire(c, top);
        if (top_slot != NO_TILE) render_slot(c, t, top_slot, c->generation[top_slot], s);
    }

    const TileRange& r = t->range;
    for (u32 row = r.first_row; row < r.end_row; row++) {
        for (u32 col = r.first_column; col < r.end_column && t->count < VIEW_TILE_MAX; col++) {
            TileKey key = tile_key(t->document, t->level, col, row);
            u16 slot = lookup(c, key);
            if (slot != NO_TILE) mark_needed(c, slot);
            t->keys[t->count] = key;
            t->exact[t->count] = slot;
            t->fallback[t->count] = NO_TILE;
            t->fallback_up[t->count] = 0;
            t->count++;
        }
    }
    for (u32 i = 0; i < t->count; i++) {
        if (t->exact[i] != NO_TILE) continue;
        u16 slot = acquire(c, t->keys[i]);
        if (slot == NO_TILE) continue;  // no slot: drawn from a fallback or not at all
        t->exact[i] = slot;
        t->pending_slot[t->pending_count] = slot;
        t->pending_generation[t->pending_count] = c->generation[slot];
        t->pending_count++;
    }
    for (u32 i = 0; i < t->count; i++) {
        if (tile_ready(c, t->exact[i], t->keys[i])) continue;
        for (u32 up = 1; t->level + up < t->levels; up++) {
            TileKey k = coarser_key(t->keys[i], up);
            u16 slot = lookup(c, k);
            if (!tile_ready(c, slot, k)) continue;
            t->fallback[i] = slot;
            t->fallback_up[i] = (u8)up;
            mark_needed(c, slot);
            break;
        }
    }
}

void render_missing(TileCache* c, ViewTiles* t, RenderCounters* s) {
    for (u32 i = 0; i < t->pending_count; i++) {
        u16 slot = t->pending_slot[i];
        u32 generation = t->pending_generation[i];
        if (s->tile_budget >= 0 && i >= (u32)s->tile_budget) {
            if (release_pending(c, slot, generation)) s->pending++;
            continue;
        }
        render_slot(c, t, slot, generation, s);
    }
}
