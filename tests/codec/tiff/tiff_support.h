// Shared by the TIFF tests: our decoder run on a file in memory (probe,
// scratch of exactly the probe's size, one rectangle or 256 x 256 tiles),
// and photo-like sample values.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <random>
#include <vector>

#include "codec/jpeg/jpeg.h"
#include "codec/tiff/tiff.h"

namespace tifftest {

using Bytes = std::vector<u8>;

struct Decoded {
    bool ok = false;
    CodecError err{};
    u32 width = 0;
    u32 height = 0;
    u64 scratch_bytes = 0;
    std::vector<u32> pixels;  // RGBA words, rows packed
};

// 64-byte aligned memory of n bytes (aligned_alloc is not in every C library
// the tests build with).
struct Scratch {
    std::unique_ptr<u8[]> bytes;
    u8* p = nullptr;
    explicit Scratch(u64 n) : bytes(new u8[n + 64]) { p = bytes.get() + ((64 - ((uintptr_t)bytes.get() & 63)) & 63); }
};

// The whole image through tiff_render, in tiles of `tile` pixels (0: one
// rectangle), so the block cache is exercised across rectangles.
inline Decoded decode(const Bytes& file, u32 tile = 0) {
    Decoded d;
    auto jpeg = std::make_unique<JpegDecoder>();
    ImageInfo info;
    if (!tiff_probe(file.data(), file.size(), &info, jpeg.get(), &d.err)) return d;
    d.width = info.width;
    d.height = info.height;
    d.scratch_bytes = info.scratch_bytes;
    Scratch scratch(info.scratch_bytes);
    if (!tiff_begin(file.data(), file.size(), scratch.p, info.scratch_bytes, &d.err)) return d;
    d.pixels.assign((size_t)info.width * info.height, 0);
    u32 step_x = tile ? tile : info.width;
    u32 step_y = tile ? tile : info.height;
    for (u32 y = 0; y < info.height; y += step_y) {
        for (u32 x = 0; x < info.width; x += step_x) {
            u32 w = info.width - x < step_x ? info.width - x : step_x;
            u32 h = info.height - y < step_y ? info.height - y : step_y;
            PixelBuffer out = {(u8*)(d.pixels.data() + (size_t)y * info.width + x), (u64)info.width * 4, w, h};
            if (!tiff_render(file.data(), file.size(), scratch.p, 0, x, y, w, h, &out, &d.err)) return d;
        }
    }
    d.ok = true;
    return d;
}

// Smooth ramps with some noise: compresses like a photo, not like a flat fill.
inline u32 photo_value(u32 x, u32 y, u32 channel, u32 max, std::mt19937& rng) {
    u32 base = (x * 7 + y * 3 + channel * 50) % (max + 1);
    u32 noise = rng() % 5;
    u32 v = base + noise;
    return v > max ? max : v;
}

}  // namespace tifftest
