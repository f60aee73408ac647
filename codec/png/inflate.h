// Resumable zlib inflate: the zlib wrapper around DEFLATE data, checked with
// Adler-32. It decodes from the caller's input buffer into the caller's output
// buffer, stops cleanly when either runs out, and goes on from exactly there on
// the next call. Everything it keeps, Huffman tables included, lives in one
// InflateState that holds no pointers, so the caller may place it anywhere
// and even copy it between calls. Each step is atomic: a block header, a
// dynamic code header, a stored header or one symbol is read whole or not at
// all, so a stream split anywhere decodes exactly like one buffer.
#pragma once

#include "base/span.h"

// ---- Results, errors and modes ----------------------------------------------

typedef u32 InflateResult;
enum : u32 {
    INFLATE_CONTINUE = 0,     // internal only: go on with the next mode
    INFLATE_NEED_INPUT = 1,   // the input is used up (and was not declared final)
    INFLATE_OUTPUT_FULL = 2,  // the next symbol or stored byte does not fit
    INFLATE_DONE = 3,         // final block and trailer decoded and checked
    INFLATE_ERROR = 4,        // see `error` and `error_offset`
};

typedef u32 InflateError;
enum : u32 {
    INFLATE_ERR_NONE = 0,
    INFLATE_ERR_BAD_BLOCK_TYPE = 1,
    INFLATE_ERR_BAD_STORED_LENGTH = 2,
    INFLATE_ERR_OVERSUBSCRIBED = 3,
    INFLATE_ERR_INCOMPLETE = 4,
    INFLATE_ERR_BAD_CODE_LENGTHS = 5,
    INFLATE_ERR_TOO_MANY_SYMBOLS = 6,
    INFLATE_ERR_NO_END_OF_BLOCK = 7,
    INFLATE_ERR_BAD_SYMBOL = 8,
    INFLATE_ERR_BAD_DISTANCE_CODE = 9,
    INFLATE_ERR_DISTANCE_TOO_FAR = 10,
    INFLATE_ERR_TRUNCATED = 11,
    INFLATE_ERR_ZLIB_METHOD = 13,
    INFLATE_ERR_ZLIB_WINDOW = 14,
    INFLATE_ERR_ZLIB_CHECK = 15,
    INFLATE_ERR_ZLIB_DICTIONARY = 16,
    INFLATE_ERR_ADLER_MISMATCH = 17,
    INFLATE_ERR_WINDOW_TOO_SMALL = 24,
};

// "none", "bad_block_type", ...; empty for 12, 18 to 23 and above 24.
ByteSpan inflate_error_name(u32 code);

typedef u32 InflateMode;
enum : u32 {
    INFLATE_MODE_HEADER = 0,
    INFLATE_MODE_BLOCK = 1,
    INFLATE_MODE_STORED_HEADER = 2,
    INFLATE_MODE_STORED_COPY = 3,
    INFLATE_MODE_CODES = 4,
    INFLATE_MODE_TRAILER = 5,
    INFLATE_MODE_DONE = 6,
    INFLATE_MODE_FAILED = 7,
};

// ---- Huffman lookup entries -------------------------------------------------
// One 64-bit slot of a lookup table:
//   bits 0-7    bits to drop: the code length plus, after a length or
//               distance code, its extra bits (a second-level entry counts
//               the code length less the root bits); for a link the root width
//   bits 8-15   how many bits index the next lookup: 11 after a literal or a
//               distance (the next literal/length code), 8 after a length
//               (its distance code); for a link the index width of its
//               second-level table; 0 on code-length and invalid entries
//   bits 16-23  the code length alone (less the root bits on a second level)
//   bits 24-28  flags: literal; special (alone an invalid code, with link a
//               link, with end of block the end of block); literal pair
//               (root litlen entries only, after inflate_pair_literals)
//   bits 32-63  value: literal, length base, distance base, code-length
//               symbol, or for a link the start of its second-level table.
//               A literal entry holds its byte at 32-39, the second byte of a
//               pair at 40-47 and the bytes it writes (1 or 2) at 48-63.
// One lookup thus gives everything a length or distance needs: the bits it
// takes in all, where its extra bits start, and the base they add to; and
// its low 16 bits are a bit-field extract control (start, width) that takes
// the next lookup's index from the bits before this entry's are dropped, so
// the index of the next table costs one instruction with BMI. The low byte is
// only ever the drop count, so it is also a mask width for the code with its
// extra bits, and on length and distance entries (entry >> 16) & 63 is the
// code length. The fast loop subtracts whole entries from its bit count and
// reads that count modulo 64, so no field needs masking first.
typedef u64 HuffEntry;
enum : u64 {
    HUFF_LITERAL = (u64)1 << 24,
    HUFF_SPECIAL = (u64)1 << 25,
    HUFF_LINK = (u64)1 << 26,
    HUFF_END_OF_BLOCK = (u64)1 << 27,
    HUFF_PAIR = (u64)1 << 28,
    HUFF_WRITES_ONE = (u64)1 << 48,  // a literal entry's byte count
};

static inline u32 huff_drop_bits(HuffEntry e) {
    return (u32)e & 31;
}
static inline u32 huff_code_bits(HuffEntry e) {
    return (u32)(e >> 16) & 15;
}
static inline u32 huff_extra_bits(HuffEntry e) {
    return huff_drop_bits(e) - huff_code_bits(e);
}
// The index width of a link's second-level table.
static inline u32 huff_link_bits(HuffEntry e) {
    return (u32)(e >> 8) & 15;
}
static inline u32 huff_value(HuffEntry e) {
    return (u32)(e >> 32);
}

// The literal/length root has 10 bits: with 8-byte entries its 8 KiB stay in
// the first-level cache beside the window the matches read, which paid more
// (1.07x on match-heavy PNG streams) than the rarer links of 11-bit codes
// cost; 9 bits lost as much on literal-heavy streams as it won elsewhere.
enum : u32 {
    INFLATE_LITLEN_ROOT_BITS = 10,
    INFLATE_DIST_ROOT_BITS = 8,
    INFLATE_CODELEN_ROOT_BITS = 7,
    INFLATE_LITLEN_ROOT_MASK = (1u << INFLATE_LITLEN_ROOT_BITS) - 1,
    INFLATE_DIST_ROOT_MASK = (1u << INFLATE_DIST_ROOT_BITS) - 1,
    // Capacities. The largest tables the builder can make (counted by
    // exhaustive search over all valid code-length sets, the method of zlib's
    // "enough" tool) are 2342 entries for 288 symbols with an 11-bit root and
    // 402 for 32 symbols with an 8-bit root; 19 symbols of at most 7 bits fit a
    // 7-bit root exactly. The litlen and dist arrays leave headroom, and the
    // three fill the same 28160 bytes the state has always given them.
    INFLATE_LITLEN_ENTRIES = 2816,
    INFLATE_DIST_ENTRIES = 576,
    INFLATE_CODELEN_ENTRIES = 128,
    // Windowed mode keeps 32 KiB of history plus at least 1 KiB of room.
    INFLATE_WINDOW_HISTORY = 32768,
    INFLATE_MIN_WINDOW = 0x8400,
};

// ---- State -------------------------------------------------------------------

// Bits not yet used, least significant first. Bits above `count` are zero or
// equal to the input bits that follow, so or-ing in a reload is harmless.
struct BitReader {
    u64 bits;
    u32 count;   // 0 to 63
    u64 in_pos;  // next byte of the current input not yet loaded into bits
};

struct InflateState {
    BitReader reader;
    u64 total_in;      // input bytes consumed by all earlier calls
    u64 out_base;      // output bytes dropped from the front by slides
    u64 error_offset;  // absolute input offset of the fault
    u64 out_pos;       // next write position; back-references reach [0, out_pos)
    u64 check_pos;     // output position the Adler-32 has reached
    u64 consumed;      // input bytes consumed by the last inflate_run
    u32 stored_left;
    u32 final_block;
    u32 windowed;
    u32 adler;
    InflateMode mode;
    u32 tables;  // 0 none, 1 the fixed tables, 2 a dynamic header's
    HuffEntry litlen[INFLATE_LITLEN_ENTRIES];
    HuffEntry dist[INFLATE_DIST_ENTRIES];
    HuffEntry codelen[INFLATE_CODELEN_ENTRIES];
    InflateError error;
    u8 order[19];
};
// Workspace sizes handed out by the probes include this record: its size
// stays what it has always been.
static_assert(sizeof(InflateState) == 28280, "InflateState changed size");

// ---- Operations --------------------------------------------------------------

void inflate_init(InflateState* state);
// Windowed mode: the caller reuses one output buffer of `size` bytes and calls
// inflate_slide before every inflate_run. Below 0x8400 bytes the state fails
// with "window_too_small".
void inflate_init_windowed(InflateState* state, u8* output, u64 size);

// Decodes from input[0, input_size) into output starting at out_pos. `input`
// is the unconsumed rest of the stream; the caller advances by `consumed`.
// `final` declares that no input follows, turning a shortage into "truncated".
InflateResult inflate_run(InflateState* state, const u8* input, u64 input_size, u8* output, u64 output_size,
                          bool final);

// Brings the Adler-32 up to out_pos, then keeps only the last 32 KiB of output
// at the front of the buffer. The caller must have read what it needs first.
void inflate_slide(InflateState* state, u8* output);

inline InflateError inflate_error(const InflateState* s) {
    return s->error;
}
inline u64 inflate_error_offset(const InflateState* s) {
    return s->error_offset;
}
inline u64 inflate_out_pos(const InflateState* s) {
    return s->out_pos;
}
inline u64 inflate_total_out(const InflateState* s) {
    return s->out_base + s->out_pos;
}
inline u64 inflate_consumed(const InflateState* s) {
    return s->consumed;
}

// ---- Internals shared with the tests ----------------------------------------

enum : u32 { HUFF_ALPHABET_LITLEN = 0, HUFF_ALPHABET_DIST = 1, HUFF_ALPHABET_CODELEN = 2 };
enum : u32 { HUFF_BUILD_OK = 0, HUFF_BUILD_OVERSUBSCRIBED = 1, HUFF_BUILD_INCOMPLETE = 2 };

// Builds a lookup table with `root_bits` root entries (and second-level
// tables after them) from `count` code lengths of 0 to 15. Returns
// HUFF_BUILD_*; `used_out`, when given, receives the entries written.
u32 inflate_build_table(const u8* lengths, u32 count, u32 alphabet, u32 root_bits, HuffEntry* table, u32 capacity,
               u32* used_out);

// Turns every root literal entry whose index also holds the whole next code,
// itself a literal, into a pair entry, so the fast loop takes two literals
// per lookup. A pair entry read as a single literal (its code bits, its low
// value byte) still gives the first literal alone, as the careful step reads
// it. Root entries only; a litlen table of `root_bits` built just before.
void inflate_pair_literals(HuffEntry* table, u32 root_bits);

// A literal/length table of INFLATE_LITLEN_ROOT_BITS with its pairs made:
// the same table and result as inflate_build_table then inflate_pair_literals,
// with the short literal codes found while building rather than by a pass
// over the root.
u32 inflate_build_litlen_paired(const u8* lengths, u32 count, HuffEntry* table, u32 capacity, u32* used_out);

// Fast-loop variants. "Careful" runs no fast loop at all: every symbol goes
// through the careful step, a plain byte-by-byte decoder that the tests hold
// the others against. The scalar fast loop copies matches byte by byte.
enum : u32 {
    INFLATE_VARIANT_CAREFUL = 0,
    INFLATE_VARIANT_SCALAR = 1,
    INFLATE_VARIANT_SSE2 = 2,
    INFLATE_VARIANT_BMI2 = 3,  // the SSE2 loop built with BMI and BMI2
    INFLATE_VARIANT_COUNT = 4,
};
bool inflate_variant_supported(u32 variant);
// Test-only: use `variant` from now on; false (and no change) when this CPU
// cannot run it.
bool inflate_force_variant(u32 variant);
// Puts back the best variant for this CPU (the one chosen at start-up) and
// returns it.
u32 inflate_select_variant();
