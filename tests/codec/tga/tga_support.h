// A TGA writer for the tests: every image type, depth, colour-map entry
// size and origin, with an ID field, a footer, and RLE packets that cross
// row ends unless told otherwise; and the RGBA the format rules give for
// what it wrote.
#pragma once

#include <random>
#include <string>

#include "../decode_support.h"

namespace tgatest {

using decodetest::Bytes;

struct Variant {
    u32 type;       // 1, 2, 3, 9, 10, 11
    u32 depth;      // bits per stored pixel
    u32 attr;       // descriptor attribute bits
    u32 map_bits;   // 0: no colour map
    u32 map_first;
    u32 map_length;
    u32 origin;     // descriptor bits 4 and 5
    u32 id_length;
    bool footer;
    bool in_map;    // colour indices only inside the map (Pillow reads those alike)
    bool row_packets = false;  // RLE packets end at row ends (Pillow needs that)
};

inline u32 widen5(u32 v) {
    return v << 3 | v >> 2;
}

// The RGBA of a stored value, as the format rules say.
struct Rules {
    const Variant& v;
    const std::vector<u32>& map;  // RGBA of each entry, map_first first
    u32 rgba(u32 s) const {
        u32 base = v.type & 7;
        if (base == 1) {
            if (s < v.map_first || s >= v.map_first + v.map_length) return 0xFF000000u;
            return map[s - v.map_first];
        }
        if (base == 3) return v.depth == 8 ? (s & 255) * 0x010101u | 0xFF000000u : (s & 255) * 0x010101u | (s >> 8) << 24;
        switch (v.depth) {
        case 15:
        case 16: {
            u32 c = widen5((s >> 10) & 31) | widen5((s >> 5) & 31) << 8 | widen5(s & 31) << 16;
            bool alpha = v.depth == 16 && v.attr == 1;
            return c | (alpha ? ((s >> 15) ? 0xFF000000u : 0) : 0xFF000000u);
        }
        case 24: return (s >> 16 & 255) | (s & 0xFF00) | (s & 255) << 16 | 0xFF000000u;
        default: return (s >> 16 & 255) | (s & 0xFF00) | (s & 255) << 16 | (s & 0xFF000000u);
        }
    }
};

inline void put_le(Bytes& f, u32 v, u32 bytes) {
    for (u32 i = 0; i < bytes; i++) f.push_back((u8)(v >> (8 * i)));
}

inline u32 bytes_of(u32 bits) {
    return bits == 15 ? 2 : bits / 8;
}

struct Written {
    Bytes file;
    Bytes want;  // RGBA, rows top-down
};

// Stored values in file order, runs of repeats included, RLE packets
// allowed across row ends; `want` applies the origin.
inline Written write_tga(const Variant& v, u32 w, u32 h, u32 seed) {
    std::mt19937 rng(seed);
    u32 size = bytes_of(v.depth);
    std::vector<u32> map;
    Bytes map_bytes;
    for (u32 i = 0; i < v.map_length; i++) {
        u32 e = rng();
        u32 eb = bytes_of(v.map_bits);
        if (eb == 2) e &= 0xFFFF;
        if (eb == 3) e &= 0xFFFFFF;
        put_le(map_bytes, e, eb);
        u32 c;
        if (eb == 2)
            c = widen5((e >> 10) & 31) | widen5((e >> 5) & 31) << 8 | widen5(e & 31) << 16 | 0xFF000000u;
        else if (eb == 3)
            c = (e >> 16 & 255) | (e & 0xFF00) | (e & 255) << 16 | 0xFF000000u;
        else
            c = (e >> 16 & 255) | (e & 0xFF00) | (e & 255) << 16 | (e & 0xFF000000u);
        map.push_back(c);
    }
    Rules rules{v, map};
    std::vector<u32> stored((size_t)w * h);
    for (size_t i = 0; i < stored.size(); i++) {
        if (i > 0 && rng() % 3 == 0) {
            stored[i] = stored[i - 1];
            continue;
        }
        u32 s = rng();
        if ((v.type & 7) == 1) {
            u32 range = v.depth == 8 ? 256 : 70000;
            s = v.in_map ? v.map_first + s % v.map_length : s % range;
            if (v.depth == 8) s &= 255;
        }
        if (size < 4) s &= (1u << (8 * size)) - 1;
        stored[i] = s;
    }
    Written out;
    Bytes& f = out.file;
    f.push_back((u8)v.id_length);
    f.push_back(v.map_bits ? 1 : 0);
    f.push_back((u8)v.type);
    put_le(f, v.map_first, 2);
    put_le(f, v.map_length, 2);
    f.push_back((u8)v.map_bits);
    put_le(f, 0, 4);
    put_le(f, w, 2);
    put_le(f, h, 2);
    f.push_back((u8)v.depth);
    f.push_back((u8)(v.attr | v.origin));
    for (u32 i = 0; i < v.id_length; i++) f.push_back((u8)('a' + i));
    f.insert(f.end(), map_bytes.begin(), map_bytes.end());
    if (v.type < 9) {
        for (u32 s : stored) put_le(f, s, size);
    } else {
        size_t i = 0;
        while (i < stored.size()) {
            // Where the packet must end: the image's end, or the row's.
            size_t end = v.row_packets ? (i / w + 1) * w : stored.size();
            size_t run = 1;
            while (i + run < end && run < 128 && stored[i + run] == stored[i]) run++;
            if (run >= 2) {
                f.push_back((u8)(0x80 | (run - 1)));
                put_le(f, stored[i], size);
                i += run;
                continue;
            }
            size_t lit = 1;
            while (i + lit < end && lit < 128 && !(i + lit + 1 < end && stored[i + lit] == stored[i + lit + 1]))
                lit++;
            f.push_back((u8)(lit - 1));
            for (size_t k = 0; k < lit; k++) put_le(f, stored[i + k], size);
            i += lit;
        }
    }
    if (v.footer) {
        f.insert(f.end(), 8, (u8)0);  // extension and developer area offsets
        const char sig[] = "TRUEVISION-XFILE.";
        f.insert(f.end(), sig, sig + 18);
    }
    out.want.assign((size_t)w * h * 4, 0);
    bool top = v.origin & 0x20, rtl = v.origin & 0x10;
    bool any_alpha = false;
    for (u32 r = 0; r < h; r++)
        for (u32 c = 0; c < w; c++) {
            u32 px = rules.rgba(stored[(size_t)r * w + c]);
            u32 y = top ? r : h - 1 - r, x = rtl ? w - 1 - c : c;
            memcpy(&out.want[((size_t)y * w + x) * 4], &px, 4);
            any_alpha |= (px >> 24) != 0;
        }
    if (!any_alpha)
        for (size_t i = 3; i < out.want.size(); i += 4) out.want[i] = 255;
    return out;
}

inline std::string describe(const Variant& v) {
    char buf[128];
    snprintf(buf, sizeof buf, "type %u depth %u attr %u map %u@%u+%u origin 0x%x", v.type, v.depth, v.attr, v.map_bits,
             v.map_first, v.map_length, v.origin);
    return buf;
}

inline std::vector<Variant> every_variant() {
    std::vector<Variant> all;
    for (u32 rle : {0u, 8u}) {
        for (u32 origin : {0x00u, 0x10u, 0x20u, 0x30u}) {
            u32 id = origin == 0x10 ? 7 : 0;
            bool footer = origin == 0x20;
            // True colour, with a colour map that is present but unused on one.
            all.push_back({2 + rle, 24, 0, 0, 0, 0, origin, id, footer, true});
            all.push_back({2 + rle, 32, 8, 0, 0, 0, origin, id, footer, true});
            all.push_back({2 + rle, 32, 0, 0, 0, 0, origin, id, footer, true});
            all.push_back({2 + rle, 16, 1, 0, 0, 0, origin, id, footer, true});
            all.push_back({2 + rle, 16, 0, 24, 0, 3, origin, id, footer, true});
            all.push_back({2 + rle, 15, 0, 0, 0, 0, origin, id, footer, true});
            all.push_back({3 + rle, 8, 0, 0, 0, 0, origin, id, footer, true});
            all.push_back({3 + rle, 16, 8, 0, 0, 0, origin, id, footer, true});
            for (u32 bits : {15u, 16u, 24u, 32u}) {
                all.push_back({1 + rle, 8, 0, bits, 0, 256, origin, id, footer, true});
                all.push_back({1 + rle, 8, 0, bits, 17, 100, origin, id, footer, false});
            }
            all.push_back({1 + rle, 16, 0, 24, 300, 600, origin, id, footer, false});
        }
    }
    return all;
}

}  // namespace tgatest
