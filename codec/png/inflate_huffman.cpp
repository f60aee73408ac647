// Canonical Huffman lookup tables for inflate. A table is a root of 2^root
// entries indexed by the next root bits of input (least significant bit
// first), with second-level tables packed after it for longer codes; a link
// entry in the root names where its second-level table starts and how many
// more bits index it. Codes are walked in canonical order with the code kept
// bit-reversed, so each entry is written straight into every slot whose low
// bits match it, and a table is sized to just fit the codes that share its
// root prefix. Linear in the alphabet; no allocation.
#include "codec/png/inflate.h"

#include <string.h>

// The entry of `symbol` without its code length: value, flags, the width of
// the lookup that follows it, and for a length or distance its extra-bit
// count in the drop field.
static constexpr HuffEntry symbol_entry(u32 alphabet, u32 symbol) {
    if (alphabet == HUFF_ALPHABET_CODELEN) return (HuffEntry)symbol << 32;
    if (alphabet == HUFF_ALPHABET_DIST) {
        if (symbol >= 30) return HUFF_SPECIAL;
        const HuffEntry next = INFLATE_LITLEN_ROOT_BITS << 8;
        if (symbol < 4) return ((HuffEntry)(symbol + 1) << 32) | next;
        u32 extra = symbol / 2 - 1;
        u32 base = ((2 | (symbol & 1)) << extra) + 1;
        return ((HuffEntry)base << 32) | next | extra;
    }
    if (symbol < 256) return ((HuffEntry)symbol << 32) | HUFF_WRITES_ONE | HUFF_LITERAL | (INFLATE_LITLEN_ROOT_BITS << 8);
    if (symbol == 256) return HUFF_SPECIAL | HUFF_END_OF_BLOCK;
    if (symbol >= 286) return HUFF_SPECIAL;
    const HuffEntry next = INFLATE_DIST_ROOT_BITS << 8;
    u32 k = symbol - 257;
    if (k < 8) return ((HuffEntry)(k + 3) << 32) | next;
    if (k == 28) return ((HuffEntry)258 << 32) | next;
    u32 extra = k / 4 - 1;
    u32 base = ((4 | (k & 3)) << extra) + 3;
    return ((HuffEntry)base << 32) | next | extra;
}

// Every symbol's entry, made by the compiler: the builder visits symbols in
// code order, where the value ranges above would be a branch per symbol that
// no predictor learns.
struct SymbolEntries {
    HuffEntry of[3][320];
};
static constexpr SymbolEntries make_symbol_entries() {
    SymbolEntries t = {};
    for (u32 alphabet = 0; alphabet < 3; alphabet++) {
        for (u32 symbol = 0; symbol < 320; symbol++) t.of[alphabet][symbol] = symbol_entry(alphabet, symbol);
    }
    return t;
}
static constexpr SymbolEntries k_symbol_entries = make_symbol_entries();

// Root slots [0, 2^from) hold every code of at most `from` bits, each once
// (a code's bit-reversed value is its first slot); copying that range after
// itself until it spans 2^to slots puts every code in every slot whose low
// bits it is, since codes of at most `from` bits ignore the bits above. Whole
// copies are far faster than writing each code's slots one by one.
static void double_root(HuffEntry* table, u32 from, u32 to) {
    for (u32 b = from; b < to; b++) memcpy(table + (1u << b), table, sizeof(HuffEntry) << b);
}

// Room for the literal codes shorter than the literal/length root.
enum : u32 { MAX_SHORT_LITERALS = 1u << (INFLATE_LITLEN_ROOT_BITS - 1) };

// With `Collect`, `shorts` receives the first slot of every literal code of
// fewer than root_bits bits, in canonical order, hence by length, and
// `short_count` their number: what the pairing below needs, found here for
// the price of one store per root code instead of a pass over the table.
template <bool Collect>
static QB_FORCE_INLINE u32 build_table(const u8* lengths, u32 count, u32 alphabet, u32 root_bits, HuffEntry* table,
                                       u32 capacity, u32* used_out, u16* shorts, u32* short_count) {
    QB_ASSERT(count <= 320 && root_bits <= 11 && capacity >= (1u << root_bits));
    if constexpr (Collect) *short_count = 0;
    // Counts for each half of the symbols: runs of equal lengths are
    // common, and one set would make each increment wait on the one before
    // through memory; two halves also let the sort below run as two chains.
    const u32 half = count / 2;
    u32 counts[16] = {};
    u32 counts_hi[16] = {};
    for (u32 i = 0; i < half; i++) {
        QB_ASSERT(lengths[i] <= 15 && lengths[half + i] <= 15);
        counts[lengths[i]]++;
        counts_hi[lengths[half + i]]++;
    }
    if (count & 1) {
        QB_ASSERT(lengths[count - 1] <= 15);
        counts_hi[lengths[count - 1]]++;
    }
    u32 counts_lo[16];
    for (u32 len = 0; len <= 15; len++) {
        counts_lo[len] = counts[len];
        counts[len] += counts_hi[len];
    }
    counts[0] = 0;
    u32 max = 15;
    while (max > 0 && counts[max] == 0) max--;
    if (max == 0) {
        // No codes at all: accepted, and any lookup lands on an invalid entry.
        for (u32 i = 0; i < (1u << root_bits); i++) table[i] = HUFF_SPECIAL | (1u << 16) | 1;
        if (used_out) *used_out = 1u << root_bits;
        return HUFF_BUILD_OK;
    }

    i32 left = 1;
    for (u32 len = 1; len <= 15; len++) {
        left = 2 * left - (i32)counts[len];
        if (left < 0) return HUFF_BUILD_OVERSUBSCRIBED;
    }
    // One lone 1-bit code is the only incomplete set allowed (and never for
    // the code-length alphabet): a stream with a single distance code.
    if (left > 0 && (alphabet == HUFF_ALPHABET_CODELEN || max != 1)) return HUFF_BUILD_INCOMPLETE;

    // Symbols sorted by length, then by value. Unused symbols go to the end,
    // past the used ones, rather than through a branch.
    u16 offsets[16];
    u16 sorted[320];
    offsets[1] = 0;
    for (u32 len = 1; len < 15; len++) offsets[len + 1] = (u16)(offsets[len] + counts[len]);
    offsets[0] = (u16)(offsets[15] + counts[15]);
    // The upper half's symbols of each length go after the lower half's.
    u16 offsets_hi[16];
    for (u32 len = 0; len <= 15; len++) offsets_hi[len] = (u16)(offsets[len] + counts_lo[len]);
    for (u32 k = 0; k < half; k++) {
        sorted[offsets[lengths[k]]++] = (u16)k;
        sorted[offsets_hi[lengths[half + k]]++] = (u16)(half + k);
    }
    if (count & 1) sorted[offsets_hi[lengths[count - 1]]++] = (u16)(count - 1);
    const HuffEntry* entries = k_symbol_entries.of[alphabet];

    u32 root = root_bits < max ? root_bits : max;
    u32 len = 1;
    while (counts[len] == 0) len++;
    u32 huff = 0;         // current code, bit-reversed
    u32 drop = 0;         // bits the current table's index skips (0 or root)
    u32 curr = root;      // index width of the current table
    u32 next = 0;         // start of the current table
    u32 low = 0xFFFFFFFF; // root slot of the last link written
    u32 used = 1u << root;
    u32 mask = used - 1;
    u32 sym = 0;
    u32 n_short = 0;
    for (;;) {
        // Extra bits (at most 13) plus the code length stay below 32.
        HuffEntry here = entries[sorted[sym]] + ((len - drop) << 16) + (len - drop);
        if (drop == 0) {
            // A root code: one slot now, the others by the doubling below.
            table[huff] = here;
            if constexpr (Collect) {
                // Without a branch: literals and the rest interleave in code
                // order. A code of len bits is at most 2^len - 1 < 2^9 here.
                shorts[n_short] = (u16)huff;
                n_short += (u32)((here & HUFF_LITERAL) != 0) & (u32)(len < root_bits);
            }
        } else {
            // Every slot of the current table whose low (len - drop) bits
            // are this code.
            const u32 step = 1u << (len - drop);
            u32 fill = 1u << curr;
            do {
                fill -= step;
                table[next + (huff >> drop) + fill] = here;
            } while (fill != 0);
        }

        // Bit-reversed increment: the next canonical code. The highest clear
        // bit of the code becomes set and the set bits above it clear; a
        // code of all ones wraps to 0 (the last code, or a lone 1-bit one).
        const u32 clear = ~huff & ((1u << len) - 1);
        if (clear != 0) {
            const u32 incr = 1u << (31 - __builtin_clz(clear));
            huff = (huff & (incr - 1)) | incr;
        } else {
            huff = 0;
        }

        sym++;
        if (--counts[len] == 0) {
            if (len == max) break;
            const u32 done = len;
            while (counts[len] == 0) len++;
            if (drop == 0) double_root(table, done, len < root ? len : root);
        }

        if (len > root && (huff & mask) != low) {
            // A new second-level table right after the previous one, wide
            // enough for the remaining codes that share this root prefix.
            next += 1u << curr;
            if (drop == 0) {
                drop = root;
                next = 1u << root;
            }
            curr = len - drop;
            i32 room = 1 << curr;
            while (curr + drop < max) {
                room -= (i32)counts[curr + drop];
                if (room <= 0) break;
                curr++;
                room <<= 1;
            }
            used += 1u << curr;
            QB_ASSERT(used <= capacity);
            if (used > capacity) return HUFF_BUILD_OVERSUBSCRIBED;
            low = huff & mask;
            table[low] = ((HuffEntry)next << 32) | (curr << 8) | HUFF_SPECIAL | HUFF_LINK | root;
        }
    }

    // The one allowed incomplete code leaves exactly one slot.
    if (huff != 0) table[next + (huff >> drop)] = HUFF_SPECIAL | ((len - drop) << 16) | (len - drop);
    if (drop == 0) double_root(table, len, root);

    // Short codes only: repeat the root so lookups may always use root_bits.
    if (root < root_bits) {
        for (u32 i = 1u << root; i < (1u << root_bits); i++) table[i] = table[i & mask];
        used = 1u << root_bits;
    }
    if (used_out) *used_out = used;
    if constexpr (Collect) *short_count = n_short;
    (void)n_short;
    return HUFF_BUILD_OK;
}

u32 inflate_build_table(const u8* lengths, u32 count, u32 alphabet, u32 root_bits, HuffEntry* table, u32 capacity,
               u32* used_out) {
    return build_table<false>(lengths, count, alphabet, root_bits, table, capacity, used_out, nullptr, nullptr);
}

// ---- Literal pairs ---------------------------------------------------------------

// Pairs the literal codes listed in `sorted` (first slots, by length;
// starts[n] is where those of n bits begin, starts[n + 1] where they end).
static void pair_sorted(HuffEntry* table, u32 root_bits, const u16* sorted, u32 count, const u32* starts) {
    // Every slot whose first code is literal a and whose following bits
    // begin with the code of literal b gets the pair (a, b). The single
    // entry of a has nothing at bits 40-47, writes one byte and its drop
    // field grows to at most root_bits, so the pair entry is a plain sum.
    // Pair slots begin with their first code, so none is a first slot of
    // another listed code.
    const u32 size = 1u << root_bits;
    for (u32 f = 0; f < count; f++) {
        const u32 first_code = sorted[f];
        const HuffEntry first = table[first_code];
        const u32 n = huff_drop_bits(first);
        // The codes of at most root_bits - n bits (n >= 1).
        const u32 end = starts[root_bits - n + 1];
        for (u32 g = 0; g < end; g++) {
            const u32 second_code = sorted[g];
            // The second's first slot may already hold a pair; its literal
            // and length are still the low value byte and the code field.
            const HuffEntry second = table[second_code];
            const u32 m = huff_code_bits(second);
            const HuffEntry pair =
                first + ((HuffEntry)(huff_value(second) & 0xFF) << 40) + m + HUFF_WRITES_ONE + HUFF_PAIR;
            for (u32 j = first_code | (second_code << n); j < size; j += 1u << (n + m)) table[j] = pair;
        }
    }
}


// A branch-free pass over every root slot (the entry after slot i's first
// code is slot i >> n) cost 6 % of decoding kodim02 against 3.8 % for this.
void inflate_pair_literals(HuffEntry* table, u32 root_bits) {
    QB_ASSERT(root_bits <= INFLATE_LITLEN_ROOT_BITS && root_bits >= 2);
    // The literal codes shorter than the root, found at their first slot
    // (a code of n bits first fills slot `code` < 2^n, then every 2^n-th),
    // and bucketed by length so each first code meets only the second codes
    // that fit after it.
    enum : u32 { MAX_SHORT = 1u << (INFLATE_LITLEN_ROOT_BITS - 1) };
    u16 found[MAX_SHORT];
    u16 sorted[MAX_SHORT];
    u32 starts[INFLATE_LITLEN_ROOT_BITS + 1] = {};
    u32 count = 0;
    const u32 half = 1u << (root_bits - 1);
    // Without branches: which slots qualify follows no pattern a predictor
    // learns, and this scan runs for every block. count <= i at each write.
    for (u32 i = 0; i < half; i++) {
        const HuffEntry e = table[i];
        const u32 take = (e & (HUFF_LITERAL | HUFF_SPECIAL)) == HUFF_LITERAL && i < (1u << huff_drop_bits(e));
        found[count] = (u16)i;
        count += take;
    }
    for (u32 k = 0; k < count; k++) starts[huff_drop_bits(table[found[k]])]++;
    // starts[n]: where the codes of n bits begin in `sorted`.
    u32 at = 0;
    for (u32 n = 0; n <= root_bits; n++) {
        const u32 c = starts[n];
        starts[n] = at;
        at += c;
    }
    u32 fill[INFLATE_LITLEN_ROOT_BITS + 1];
    for (u32 n = 0; n <= root_bits; n++) fill[n] = starts[n];
    for (u32 k = 0; k < count; k++) sorted[fill[huff_drop_bits(table[found[k]])]++] = found[k];
    pair_sorted(table, root_bits, sorted, count, starts);
}

u32 inflate_build_litlen_paired(const u8* lengths, u32 count, HuffEntry* table, u32 capacity, u32* used_out) {
    u16 shorts[MAX_SHORT_LITERALS + 1];
    u32 n_short = 0;
    const u32 built = build_table<true>(lengths, count, HUFF_ALPHABET_LITLEN, INFLATE_LITLEN_ROOT_BITS, table,
                                        capacity, used_out, shorts, &n_short);
    if (built != HUFF_BUILD_OK) return built;
    QB_ASSERT(n_short <= MAX_SHORT_LITERALS);
    // Already in length order: only where each length begins is needed.
    u32 starts[INFLATE_LITLEN_ROOT_BITS + 1] = {};
    for (u32 k = 0; k < n_short; k++) starts[huff_drop_bits(table[shorts[k]]) + 1]++;
    for (u32 n = 1; n <= INFLATE_LITLEN_ROOT_BITS; n++) starts[n] += starts[n - 1];
    pair_sorted(table, INFLATE_LITLEN_ROOT_BITS, shorts, n_short, starts);
    return HUFF_BUILD_OK;
}
