// The tile cache: a fixed pool of 256 x 256 decoded tiles keyed by document,
// level, column and row; the per-frame visible tile set of a view with its
// fallbacks from coarser levels; rendering of missing tiles within a budget;
// and the pyramid levels that no decoder serves, made by 2 x 2 averaging of
// finer tiles.
//
// Key design decision: all memory is fixed at creation. The pool is one
// reserved range of capacity x 262144 bytes committed a slot at a time; slot
// states live in five 4096-bit sets scanned 64 slots at a time; a key finds
// its slot through an open-addressing hash of 4-entry groups. A slot's
// generation changes with every new key, so the outcome of a render that
// arrives after its slot was dropped or reused is recognised and ignored.
#pragma once

#include "base/region.h"
#include "base/text.h"
#include "codec/job.h"
#include "view/viewport.h"

static constexpr u32 TILE_SIDE = 256;
static constexpr u64 TILE_BYTES = 262144;  // 256 x 256 x 4, rows of 1024 bytes
static constexpr u32 TILE_CACHE_MAX = 4096;
static constexpr u32 TILE_SET_WORDS = TILE_CACHE_MAX / 64;
static constexpr u16 NO_TILE = 0xFFFF;
static constexpr u32 RENDER_LEVEL_MAX = 17;   // the deepest level a tile can be made at
static constexpr u32 VIEW_TILE_MAX = 4096;    // visible keys per view
static constexpr u32 VIEW_TILE_SPAN = 64;     // tile columns (and rows) per view

// ---- Keys -------------------------------------------------------------------

// Document in bits 40 to 55, level in 32 to 39, column in 16 to 31, row in 0
// to 15. No key has a bit above 55 set, so the hash's markers never collide.
typedef u64 TileKey;
// Columns and rows a key can tell apart; tiles past them are not cached.
static constexpr u32 TILE_KEY_SPAN = 0x10000;

inline TileKey tile_key(u32 document, u32 level, u32 column, u32 row) {
    return ((u64)(document & 0xFFFF) << 40) | ((u64)(level & 0xFF) << 32) |
           ((u64)(column & 0xFFFF) << 16) | (u64)(row & 0xFFFF);
}
inline u32 key_document(TileKey k) { return (u32)(k >> 40) & 0xFFFF; }
inline u32 key_level(TileKey k) { return (u32)(k >> 32) & 0xFF; }
inline u32 key_column(TileKey k) { return (u32)(k >> 16) & 0xFFFF; }
inline u32 key_row(TileKey k) { return (u32)k & 0xFFFF; }
// The same position `up` levels coarser.
inline TileKey coarser_key(TileKey k, u32 up) {
    return tile_key(key_document(k), key_level(k) + up, key_column(k) >> up, key_row(k) >> up);
}

// ---- Where tiles come from --------------------------------------------------

// Fills one tile at a level the source serves directly; "bad_target" for
// levels it does not serve (the cache then builds them from finer tiles).
typedef bool (*TileRenderFn)(void* context, u32 level, u32 column, u32 row, PixelBuffer* tile,
                             CodecError* err);

// A document's pixels: a decode job, or (render null) the synthetic image of
// that size.
struct TileSource {
    TileRenderFn render;
    void* context;
    u32 width;
    u32 height;
};

TileSource job_source(DecodeJob* job);
TileSource synthetic_source(u32 width, u32 height);

// The generated test image's pixel at full-resolution (x, y), BGRA.
u32 synthetic_pixel(u32 width, u32 height, u32 x, u32 y);

// ---- The cache --------------------------------------------------------------

struct TileCache {
    ReservedRegion pool;     // capacity x TILE_BYTES, slot s at pool.base + s * TILE_BYTES
    ReservedRegion tables;   // slot keys and generations, hash keys and slots
    ReservedRegion scratch;  // RENDER_LEVEL_MAX tiles for building coarse levels
    u32 capacity;
    u32 committed;           // slots whose memory is committed
    TileKey* slot_key;
    u32* generation;
    // Hash: entry_count = max(8, next power of two >= 2 x capacity) keys in
    // groups of 4; HASH_EMPTY and HASH_DELETED mark unused entries.
    u64* hash_key;
    u16* hash_slot;
    u32 entry_count;
    u32 group_count;
    u32 group_bits;          // log2(group_count), at least 1
    u32 deleted_count;
    u64 allocated[TILE_SET_WORDS];  // holds a key
    u64 ready[TILE_SET_WORDS];      // pixels valid
    u64 pending[TILE_SET_WORDS];    // given a key this frame, render outstanding
    u64 used[TILE_SET_WORDS];       // needed by a view this frame
    u64 recent[TILE_SET_WORDS];     // the clock's second chance
    u32 allocated_count;            // "resident="
    u32 pending_count;              // slots with the pending bit
    u32 hand;                       // the clock hand, a slot index
};

static constexpr u64 HASH_EMPTY = ~(u64)0;
static constexpr u64 HASH_DELETED = ~(u64)1;

// Fails for a capacity of 0 or above TILE_CACHE_MAX, or when the memory
// cannot be reserved.
bool create(TileCache* cache, u32 capacity);
// Gives all memory back and zeroes the record.
void release(TileCache* cache);

// The slot holding key, or NO_TILE.
u16 lookup(const TileCache* cache, TileKey key);
// A slot for a key not in the cache: a free committed slot, one more
// committed slot, or the clock's victim (never a slot used this frame or
// pending); NO_TILE when none can be had. The slot comes back allocated,
// pending, used and recent, with a new generation.
u16 acquire(TileCache* cache, TileKey key);
// Outcome of a render into a pending slot. Ignored (false) when the slot has
// meanwhile got another generation or is no longer pending. A slot dropped
// while pending becomes free instead of ready.
bool mark_ready(TileCache* cache, u16 slot, u32 generation);
bool release_pending(TileCache* cache, u16 slot, u32 generation);
// Removes every tile of a document; a pending one keeps its pending bit
// until its render's outcome arrives.
void drop_document(TileCache* cache, u32 document);

inline bool set_has(const u64* set, u32 slot) {
    return ((set[slot >> 6] >> (slot & 63)) & 1) != 0;
}
inline u32* tile_pixels(const TileCache* cache, u16 slot) {
    return (u32*)(cache->pool.base + (u64)slot * TILE_BYTES);
}
// True when slot holds key and its pixels are valid.
bool tile_ready(const TileCache* cache, u16 slot, TileKey key);

// ---- Frame statistics -------------------------------------------------------

struct RenderCounters {
    i32 tile_budget;   // tiles rendered per view and frame; -1: no limit
    u32 deferred;      // tiles left for the next paint (the paint cycle repaints)
    u32 level;         // "level=": the level of the active document's view
    u32 exact;         // "exact=": tile columns drawn from exact tiles, per band
    u32 fallback;      // "fallback=": from coarser tiles
    u32 none;          // "none=": from nothing
    u32 pending;       // "pending=": tiles left unrendered
    u32 rendered;      // tiles rendered this frame
    bool failed;       // a render failed this frame: later renders fail at once
    u32 error_code;    // the first failure's CodecError code
    u32 error_document;
};

// tile_budget -1, everything else 0.
void render_counters_init(RenderCounters* counters);
// Resets the per-frame fields; the budget stays.
void frame_begin(RenderCounters* counters);

// "level=" .. " resident=" of the frame, appended to out.
void scene_summary(const RenderCounters* counters, const TileCache* cache, TextBuffer* out);

// ---- Visible tiles of a view ------------------------------------------------

// The caller fills the first block; prepare_view fills the rest.
struct ViewTiles {
    u32 document;
    TileSource source;
    u32 levels;        // level_count of the image
    u32 level;
    TileRange range;   // at most VIEW_TILE_SPAN columns and rows
    u32 count;         // keys listed, row by row
    TileKey keys[VIEW_TILE_MAX];
    u16 exact[VIEW_TILE_MAX];     // slot of the exact tile or NO_TILE
    u16 fallback[VIEW_TILE_MAX];  // slot of a ready coarser tile or NO_TILE
    u8 fallback_up[VIEW_TILE_MAX];  // its level difference
    u32 pending_count;            // slots acquired for this view, in list order
    u16 pending_slot[VIEW_TILE_MAX];
    u32 pending_generation[VIEW_TILE_MAX];
};

// Clears the used set (unless keep_used: the second view of a difference is
// prepared while the first one's tiles must stay protected), makes the
// coarsest tile of the document resident at once, lists the visible keys,
// marks found tiles used, acquires slots for missing ones and finds a ready
// fallback for every key whose tile is not ready.
void prepare_view(TileCache* cache, ViewTiles* tiles, bool keep_used, RenderCounters* counters);
// Renders the first tile_budget tiles acquired by prepare_view and releases
// the others for the next frame, counting them as pending. The first failure
// of a frame is recorded with its document; after it, renders fail at once
// and are left for the next frame as well.
void render_missing(TileCache* cache, ViewTiles* tiles, RenderCounters* counters);

// One tile of `document` at any level up to RENDER_LEVEL_MAX: synthetic
// images directly, decode jobs where they serve the level, other levels as
// 2 x 2 averages of the four finer tiles (from the cache when ready there,
// rendered into scratch tiles otherwise). Always edge-filled past the
// image's size at that level. "bad_target" for a deeper level or an origin
// outside the image, "too_large" when the scratch tiles cannot be committed.
bool render_any_level(TileCache* cache, TileSource source, u32 document, u32 level, u32 column,
                      u32 row, PixelBuffer* tile, CodecError* err);
