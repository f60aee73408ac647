// A small BMP writer for the tests and the benchmark: every header size,
// depth, mask set and row order from a list of stored values, plus the
// decoded picture those values should give, worked out independently of the
// decoder. Also the guarded decode helper the tests share.
#pragma once

#include <cmath>
#include <cstring>
#include <vector>

#include "codec/bmp/bmp.h"

namespace bmptest {

using Bytes = std::vector<u8>;

inline void put16(Bytes& b, u32 v) {
    b.push_back((u8)v);
    b.push_back((u8)(v >> 8));
}
inline void put32(Bytes& b, u32 v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}
inline void set32(Bytes& b, size_t at, u32 v) {
    if (b.size() < at + 4) b.resize(at + 4);
    for (int i = 0; i < 4; i++) b[at + i] = (u8)(v >> (8 * i));
}

// RGBA as a little-endian word (memory order R, G, B, A).
inline u32 rgba(u32 r, u32 g, u32 b, u32 a = 255) {
    return r | g << 8 | b << 16 | a << 24;
}

struct Spec {
    u32 header_size = 40;  // 12, 16, 40, 52, 56, 64, 108, 124
    u32 bits = 24;
    u32 compression = BMP_RGB;
    bool top_down = false;
    u32 masks[4] = {0, 0, 0, 0};   // written for BITFIELDS / ALPHABITFIELDS
    std::vector<u32> palette;      // 0x00RRGGBB entries written
    u32 clr_used = 0;
    bool icon = false;             // height doubled, AND mask appended below 32 bits
    std::vector<u8> and_mask;      // one byte a pixel (top-down), 1: transparent
    bool pad_last_row = true;
};

// The stored values, top-down, w * h of them: an index (up to 8 bits), a
// 0xAARRGGBB colour (24 and 32-bit BI_RGB) or a raw word (masks).
inline Bytes write_dib(const Spec& s, u32 w, u32 h, const std::vector<u32>& values) {
    Bytes b;
    u32 stored_h = s.icon ? 2 * h : h;
    put32(b, s.header_size);
    if (s.header_size == 12) {
        put16(b, w), put16(b, stored_h), put16(b, 1), put16(b, s.bits);
    } else {
        put32(b, w), put32(b, s.top_down ? (u32)(-(i32)stored_h) : stored_h), put16(b, 1), put16(b, s.bits);
        Bytes rest(s.header_size - 16, 0);
        b.insert(b.end(), rest.begin(), rest.end());
        if (s.header_size >= 20) set32(b, 16, s.compression);
        if (s.header_size >= 36) set32(b, 32, s.clr_used);
        bool fields = s.compression == BMP_BITFIELDS || s.compression == BMP_ALPHABITFIELDS;
        if (s.header_size >= 52 && fields)
            for (u32 c = 0; c < (s.header_size >= 56 ? 4u : 3u); c++) set32(b, 40 + 4 * c, s.masks[c]);
        if (s.header_size == 40 && fields)
            for (u32 c = 0; c < (s.compression == BMP_ALPHABITFIELDS ? 4u : 3u); c++) put32(b, s.masks[c]);
    }
    for (u32 p : s.palette) {
        b.push_back((u8)p), b.push_back((u8)(p >> 8)), b.push_back((u8)(p >> 16));
        if (s.header_size != 12) b.push_back(0);
    }
    size_t row = ((size_t)w * s.bits + 31) / 32 * 4;
    for (u32 r = 0; r < h; r++) {
        u32 y = s.top_down ? r : h - 1 - r;
        Bytes line(row, 0);
        for (u32 x = 0; x < w; x++) {
            u32 v = values[(size_t)y * w + x];
            if (s.bits < 8) {
                u32 per = 8 / s.bits;
                line[x / per] |= (u8)(v << (8 - s.bits * (x % per + 1)));
            } else if (s.bits == 8) {
                line[x] = (u8)v;
            } else if (s.bits == 16) {
                line[2 * x] = (u8)v, line[2 * x + 1] = (u8)(v >> 8);
            } else {
                for (u32 k = 0; k < s.bits / 8; k++) line[x * s.bits / 8 + k] = (u8)(v >> (8 * k));
            }
        }
        if (r == h - 1 && !s.pad_last_row) line.resize(((size_t)w * s.bits + 7) / 8);
        b.insert(b.end(), line.begin(), line.end());
    }
    if (s.icon && s.bits < 32) {
        size_t mrow = ((size_t)w + 31) / 32 * 4;
        for (u32 r = 0; r < h; r++) {
            u32 y = h - 1 - r;
            Bytes line(mrow, 0);
            for (u32 x = 0; x < w; x++)
                if (!s.and_mask.empty() && s.and_mask[(size_t)y * w + x]) line[x >> 3] |= (u8)(0x80 >> (x & 7));
            b.insert(b.end(), line.begin(), line.end());
        }
    }
    return b;
}

// "BM" file header in front of a DIB whose pixels start `pixel_offset` bytes
// into it (0: right after header, masks and palette).
inline Bytes write_bmp(const Spec& s, u32 w, u32 h, const std::vector<u32>& values) {
    Bytes dib = write_dib(s, w, h, values);
    size_t masks = s.header_size == 40 && (s.compression == BMP_BITFIELDS || s.compression == BMP_ALPHABITFIELDS)
                       ? (s.compression == BMP_ALPHABITFIELDS ? 16 : 12)
                       : 0;
    u32 pixel_offset = 14 + s.header_size + (u32)masks + (u32)s.palette.size() * (s.header_size == 12 ? 3 : 4);
    Bytes b = {'B', 'M'};
    put32(b, (u32)(14 + dib.size()));
    put32(b, 0);
    put32(b, pixel_offset);
    b.insert(b.end(), dib.begin(), dib.end());
    return b;
}

// The channel of a masked pixel as the decoder must scale it.
inline u32 expect_channel(u32 px, u32 mask, u32 absent) {
    if (mask == 0) return absent;
    u32 shift = __builtin_ctz(mask);
    double max = (double)((u64)mask >> shift);
    return (u32)std::lround(((px & mask) >> shift) * 255.0 / max);
}

// The picture the stored values should give (before any icon AND mask and
// the zero-alpha rule).
inline std::vector<u32> expected(const Spec& s, u32 w, u32 h, const std::vector<u32>& values) {
    std::vector<u32> out((size_t)w * h);
    u32 m[4] = {s.masks[0], s.masks[1], s.masks[2], s.masks[3]};
    bool fields = s.compression == BMP_BITFIELDS || s.compression == BMP_ALPHABITFIELDS;
    if (!fields && s.bits == 16) m[0] = 0x7C00, m[1] = 0x3E0, m[2] = 0x1F, m[3] = 0;
    if (fields && s.header_size >= 52 && s.header_size < 56) m[3] = 0;
    if (fields && s.header_size == 40 && s.compression == BMP_BITFIELDS) m[3] = 0;
    for (size_t i = 0; i < out.size(); i++) {
        u32 v = values[i];
        if (s.bits <= 8) {
            u32 p = v < s.palette.size() ? s.palette[v] : 0;
            out[i] = rgba(p >> 16 & 255, p >> 8 & 255, p & 255);
        } else if (!fields && s.bits >= 24) {
            u32 a = s.bits == 32 && s.icon ? v >> 24 : 255;
            out[i] = rgba(v >> 16 & 255, v >> 8 & 255, v & 255, a);
        } else {
            out[i] = rgba(expect_channel(v, m[0], 0), expect_channel(v, m[1], 0), expect_channel(v, m[2], 0),
                          expect_channel(v, m[3], 255));
        }
    }
    return out;
}

// A decode into a buffer with a canary region past its contracted end.
struct Decoded {
    bool ok = false;
    CodecError err{};
    ImageInfo info{};
    u32 w = 0, h = 0;
    std::vector<u32> px;  // w * h, top-down
    bool canary_intact = true;
};

template <class Probe, class Decode>
inline Decoded decode_with(const Bytes& f, Probe probe, Decode decode) {
    Decoded d;
    if (!probe(f.data(), f.size(), &d.info, &d.err)) return d;
    u64 stride = row_stride(d.info.width);
    const u64 canary = 256;
    std::vector<u8> mem(d.info.pixel_bytes + canary, 0xA5);
    std::vector<u8> scratch(d.info.scratch_bytes + 1);
    PixelBuffer out = {mem.data(), stride, d.info.width, d.info.height};
    d.ok = decode(f.data(), f.size(), scratch.data(), d.info.scratch_bytes, &out, &d.err);
    for (u64 i = d.info.pixel_bytes; i < mem.size(); i++) d.canary_intact &= mem[i] == 0xA5;
    if (!d.ok) return d;
    d.w = d.info.width, d.h = d.info.height;
    d.px.resize((size_t)d.w * d.h);
    for (u32 y = 0; y < d.h; y++) memcpy(&d.px[(size_t)y * d.w], mem.data() + stride * y, 4 * (size_t)d.w);
    return d;
}

inline Decoded decode_bmp(const Bytes& f) {
    return decode_with(f, bmp_probe, bmp_decode);
}

}  // namespace bmptest
