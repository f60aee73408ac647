// Test helpers for the encoder: generated RGBA images (noise and photo-like),
// one call of our encoder with memory sized by its own sizing functions, and
// small helpers to walk the markers of a file.
#pragma once

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "codec/jpeg/encode.h"

struct RgbaImage {
    u32 width = 0, height = 0;
    u64 stride = 0;
    std::vector<u8> pixels;  // stride * (height - 1) + 4 * width bytes
};

inline u32 lcg(u32* s) {
    *s = *s * 1664525u + 1013904223u;
    return *s >> 8;
}

// kind 0: uniform noise; 1: photo-like (smooth shading, hard edges, texture
// and a little noise); 2: flat grey. `pad` extra bytes per row.
inline RgbaImage make_image(u32 w, u32 h, u32 kind, u32 seed, u32 pad = 0) {
    RgbaImage img;
    img.width = w;
    img.height = h;
    img.stride = 4 * (u64)w + pad;
    img.pixels.assign(img.stride * (h - 1) + 4 * (u64)w, 0x5A);
    u32 s = seed * 2654435761u + 7;
    for (u32 y = 0; y < h; y++) {
        u8* row = &img.pixels[y * img.stride];
        for (u32 x = 0; x < w; x++) {
            u8* p = row + 4 * x;
            if (kind == 0) {
                u32 v = lcg(&s);
                p[0] = (u8)v;
                p[1] = (u8)(v >> 8);
                p[2] = (u8)(v >> 16);
            } else if (kind == 1) {
                double fx = (double)x / (w + 1), fy = (double)y / (h + 1);
                double base = 128 + 90 * std::sin(6.0 * fx + 3.0 * fy + seed) * std::cos(4.0 * fy - 2.0 * fx);
                bool edge = ((x / 37) + (y / 29) + seed) % 3 == 0;
                double tex = 12 * std::sin(0.9 * x) * std::sin(0.7 * y);
                for (u32 c = 0; c < 3; c++) {
                    double v = base + tex + (edge ? 60.0 - 40.0 * c : -20.0 * c) + (int)(lcg(&s) % 9) - 4;
                    p[c] = (u8)(v < 0 ? 0 : v > 255 ? 255 : v);
                }
            } else {
                p[0] = p[1] = p[2] = 128;
            }
            p[3] = (u8)lcg(&s);
        }
    }
    return img;
}

struct OurEncode {
    bool ok = false;
    JpegEncodeResult result{};
    std::vector<u8> file;
};

inline OurEncode our_encode(const RgbaImage& img, u32 quality, bool s444, bool progressive) {
    OurEncode out;
    JpegEncodeSettings settings{quality, s444 ? 1u : 0u, progressive ? 1u : 0u};
    u64 ws = jpeg_encode_workspace_bytes(&settings, img.width, img.height);
    u64 cap = jpeg_encode_output_bound(&settings, img.width, img.height);
    std::vector<u8> workspace(ws + 64);
    std::vector<u8> output(cap);
    out.ok = jpeg_encode(ByteSpan{(u8*)img.pixels.data(), img.pixels.size()}, img.stride, img.width, img.height,
                         &settings, workspace.data(), ws, output.data(), cap, &out.result);
    if (out.ok) out.file.assign(output.begin(), output.begin() + (long)out.result.bytes);
    return out;
}

struct Segment {
    u8 marker;
    size_t offset;  // of the 0xFF
    std::vector<u8> body;
};

// Markers up to EOI; entropy data after SOS is skipped (stuffed bytes and
// restart markers do not end it).
inline std::vector<Segment> segments(const std::vector<u8>& f) {
    std::vector<Segment> out;
    size_t i = 2;
    out.push_back({0xD8, 0, {}});
    while (i + 1 < f.size()) {
        if (f[i] != 0xFF) return out;
        u8 m = f[i + 1];
        if (m == 0xD9) {
            out.push_back({m, i, {}});
            return out;
        }
        size_t len = ((size_t)f[i + 2] << 8) | f[i + 3];
        out.push_back({m, i, std::vector<u8>(f.begin() + (long)i + 4, f.begin() + (long)(i + 2 + len))});
        i += 2 + len;
        if (m == 0xDA) {
            while (i + 1 < f.size() && !(f[i] == 0xFF && f[i + 1] != 0 && (f[i + 1] < 0xD0 || f[i + 1] > 0xD7))) i++;
        }
    }
    return out;
}

inline double psnr(const std::vector<u8>& a, const std::vector<u8>& b, u32 count, u32 stride_a, u32 stride_b) {
    double se = 0;
    for (u32 i = 0; i < count; i++) {
        for (u32 c = 0; c < 3; c++) {
            double d = (double)a[(size_t)i * stride_a + c] - b[(size_t)i * stride_b + c];
            se += d * d;
        }
    }
    if (se == 0) return 99.0;
    return 10 * std::log10(255.0 * 255.0 * 3 * count / se);
}
