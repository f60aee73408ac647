// Canonical prefix-code tables for the lossless decoder. A table is an 8-bit
// root indexed by the next input bits (least significant first) with
// second-level tables packed after it for longer codes, each sized to just
// fit the codes that share its root prefix. Codes are walked in canonical
// order with the code kept bit-reversed, so each entry is written straight
// into every slot whose low bits match it. Only complete codes are accepted,
// except that a code with one used symbol takes no bits at all.
#include "codec/webp/vp8l.h"

static constexpr u32 MAX_LENGTH = 15;
static constexpr u32 MAX_ALPHABET = 256 + 24 + 2048;

u32 vp8l_table_reservation(u32 alphabet) {
    if (alphabet < 20) return 128;
    if (alphabet <= 40) return 410;
    if (alphabet <= 256) return 630;
    if (alphabet <= 280) return 654;
    u32 k = 0;
    while ((280u + (1u << k)) < alphabet) k++;
    return (k <= 7 ? 654 : 656) + (1u << k);
}

// The canonical code after `key` (bit-reversed) of length `len`.
static inline u32 next_key(u32 key, u32 len) {
    u32 step = 1u << (len - 1);
    while (key & step) step >>= 1;
    return step ? (key & (step - 1)) + step : key;
}

// Writes `entry` at table[start], table[start + step], ... below `end`.
static inline void replicate(u32* table, u32 start, u32 step, u32 end, u32 entry) {
    for (u32 i = start; i < end; i += step) table[i] = entry;
}

u32 vp8l_build_table(const u8* lengths, u32 alphabet, u32 root_bits, u32* table, u32 capacity) {
    QB_ASSERT(alphabet <= MAX_ALPHABET && root_bits <= VP8L_ROOT_BITS);
    u32 root_size = 1u << root_bits;
    if (capacity < root_size) return 0;
    u32 counts[MAX_LENGTH + 1] = {};
    u32 used = 0;
    u32 last = 0;
    for (u32 s = 0; s < alphabet; s++) {
        if (lengths[s] == 0) continue;
        counts[lengths[s]]++;
        used++;
        last = s;
    }
    if (used == 0) return 0;
    if (used == 1) {
        replicate(table, 0, 1, root_size, last << 16);
        return root_size;
    }
    // Complete: the Kraft sum is exactly 1.
    i32 left = 1;
    for (u32 len = 1; len <= MAX_LENGTH; len++) {
        left = 2 * left - (i32)counts[len];
        if (left < 0) return 0;
    }
    if (left != 0) return 0;

    // Symbols sorted by length, then by value.
    u16 offsets[MAX_LENGTH + 2];
    u16 sorted[MAX_ALPHABET];
    offsets[1] = 0;
    for (u32 len = 1; len <= MAX_LENGTH; len++) offsets[len + 1] = (u16)(offsets[len] + counts[len]);
    for (u32 s = 0; s < alphabet; s++) {
        if (lengths[s] != 0) sorted[offsets[lengths[s]]++] = (u16)s;
    }

    u32 key = 0;
    u32 index = 0;
    for (u32 len = 1; len <= root_bits; len++) {
        for (u32 n = counts[len]; n > 0; n--) {
            replicate(table, key, 1u << len, root_size, ((u32)sorted[index++] << 16) | len);
            key = next_key(key, len);
        }
    }
    if (root_bits < VP8L_ROOT_BITS) {
        // The code-length code is single-level: its lengths are at most 7.
        return index == used ? root_size : 0;
    }

    // Longer codes: a second-level table for every root prefix they share.
    u32 size = root_size;
    u32 mask = root_size - 1;
    u32 low = 0xFFFFFFFF;
    u32 sub = 0;
    u32 sub_bits = 0;
    for (u32 len = root_bits + 1; len <= MAX_LENGTH; len++) {
        for (; counts[len] > 0; counts[len]--) {
            if ((key & mask) != low) {
                // Wide enough for the remaining codes under this prefix.
                sub_bits = len - root_bits;
                i32 room = 1 << sub_bits;
                for (u32 l = len; l < MAX_LENGTH; l++) {
                    room -= (i32)counts[l];
                    if (room <= 0) break;
                    sub_bits++;
                    room <<= 1;
                }
                sub = size;
                size += 1u << sub_bits;
                if (size > capacity) return 0;
                low = key & mask;
                table[low] = (sub << 16) | (((1u << sub_bits) - 1) << 8) | (sub_bits + root_bits);
            }
            replicate(table + sub, key >> root_bits, 1u << (len - root_bits), 1u << sub_bits,
                      ((u32)sorted[index++] << 16) | (len - root_bits));
            key = next_key(key, len);
        }
    }
    return size;
}
