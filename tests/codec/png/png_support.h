// Test support for the PNG decoder: a chunk writer (CRC from a bitwise
// reference), zlib streams of stored blocks so the self-contained tests need
// no compressor, a whole-decode driver that places the file and every buffer
// in exact-size heap blocks (AddressSanitizer then sees any access past
// them), and the canvas and display results as plain byte vectors.
#pragma once

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "codec/png/adler32.h"
#include "codec/png/png.h"

namespace pngtest {

using Bytes = std::vector<u8>;

inline u32 ref_crc(const u8* p, size_t n) {
    u32 c = 0xFFFFFFFF;
    for (size_t i = 0; i < n; i++) {
        c ^= p[i];
        for (int k = 0; k < 8; k++) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

inline void put_be32(Bytes& b, u32 v) {
    for (int i = 3; i >= 0; i--) b.push_back((u8)(v >> (8 * i)));
}
inline void put_be16(Bytes& b, u32 v) {
    b.push_back((u8)(v >> 8));
    b.push_back((u8)v);
}

inline void chunk(Bytes& out, const char* type, const Bytes& data) {
    put_be32(out, (u32)data.size());
    size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    put_be32(out, ref_crc(out.data() + start, out.size() - start));
}

inline Bytes signature() {
    return {137, 80, 78, 71, 13, 10, 26, 10};
}

inline Bytes ihdr_data(u32 w, u32 h, u8 depth, u8 type, u8 interlace) {
    Bytes d;
    put_be32(d, w);
    put_be32(d, h);
    d.push_back(depth);
    d.push_back(type);
    d.push_back(0);
    d.push_back(0);
    d.push_back(interlace);
    return d;
}

// A zlib stream of stored blocks holding `raw`.
inline Bytes zlib_stored(const Bytes& raw) {
    Bytes z = {0x78, 0x01};
    size_t pos = 0;
    do {
        size_t n = raw.size() - pos < 65535 ? raw.size() - pos : 65535;
        bool last = pos + n == raw.size();
        z.push_back(last ? 1 : 0);
        z.push_back((u8)n);
        z.push_back((u8)(n >> 8));
        z.push_back((u8)~n);
        z.push_back((u8)(~n >> 8));
        z.insert(z.end(), raw.begin() + pos, raw.begin() + pos + n);
        pos += n;
    } while (pos < raw.size());
    put_be32(z, adler32_update_scalar(1, raw.data(), raw.size()));
    return z;
}

inline u32 channels(u32 type) {
    return type == 2 ? 3 : type == 4 ? 2 : type == 6 ? 4 : 1;
}

// Filter-0 scanlines of a non-interlaced image whose row bytes are given.
inline Bytes scanlines(u32 w, u32 h, u32 depth, u32 type, u32 seed) {
    size_t rb = ((size_t)w * channels(type) * depth + 7) / 8;
    Bytes raw;
    u32 x = seed * 2654435761u + 1;
    for (u32 y = 0; y < h; y++) {
        raw.push_back(0);
        for (size_t i = 0; i < rb; i++) {
            x = x * 1103515245u + 12345u;
            raw.push_back((u8)(x >> 16));
        }
    }
    return raw;
}

// A complete still PNG: IHDR, `extra` chunks (already framed), the zlib
// stream cut into IDAT chunks of `split` bytes (0: one chunk), IEND.
inline Bytes make_png(const Bytes& ihdr, const Bytes& extra, const Bytes& zlib, size_t split = 0) {
    Bytes f = signature();
    chunk(f, "IHDR", ihdr);
    f.insert(f.end(), extra.begin(), extra.end());
    size_t step = split ? split : (zlib.size() ? zlib.size() : 1);
    for (size_t pos = 0; pos < zlib.size() || pos == 0; pos += step) {
        size_t n = zlib.size() - pos < step ? zlib.size() - pos : step;
        chunk(f, "IDAT", Bytes(zlib.begin() + pos, zlib.begin() + pos + n));
        if (zlib.empty()) break;
    }
    chunk(f, "IEND", {});
    return f;
}

// ---- Decode driver -------------------------------------------------------------------

struct Decoded {
    bool ok = false;
    CodecError err = {};
    ImageInfo info = {};
    PngPlan plan = {};
    Bytes canvas;   // width * pixel_size bytes a row, rows packed
    Bytes display;  // RGBA, rows packed
};

// A 64-byte aligned heap block of exactly `size` usable bytes at its end,
// so over-runs leave the allocation. It starts filled with 0xA5, not zero,
// so a decoder that relies on cleared memory gives wrong pixels.
struct Block {
    std::vector<u8> raw;
    u8* p = nullptr;
    explicit Block(u64 size, u64 align = 64) {
        raw.assign(size + align, 0xA5);
        uintptr_t end = (uintptr_t)raw.data() + raw.size();
        uintptr_t start = (end - size) & ~(uintptr_t)(align - 1);
        p = (u8*)start;
    }
};

// Probes (still or animation plan as the probe chooses) and decodes all of
// a still image, or the frames 0 to `frame` of an animation. The file sits
// at the very end of its heap block.
inline Decoded decode(const Bytes& file, u32 frame = 0) {
    Decoded d;
    u8* heap = new u8[file.size() ? file.size() : 1];
    if (!file.empty()) memcpy(heap, file.data(), file.size());
    if (!png_probe(heap, file.size(), &d.info, &d.plan, &d.err)) {
        delete[] heap;
        return d;
    }
    const PngPlan& p = d.plan;
    // The workspace and the canvas in separate exact blocks; the canvas has
    // no slack at all past its last row.
    Block ws(p.workspace_bytes);
    u64 stride = png_canvas_stride(&p);
    Block cv(stride * p.height, 16);
    Block dp(row_stride(p.width) * p.height + 32, 16);
    PixelBuffer canvas = {cv.p, stride, p.width, p.height};
    PixelBuffer display = {dp.p, row_stride(p.width), p.width, p.height};
    d.ok = p.animated ? png_decode_frames(heap, file.size(), &p, ws.p, p.workspace_bytes, 0, frame, &canvas, &display, &d.err)
                      : png_decode_still(heap, file.size(), &p, ws.p, p.workspace_bytes, &canvas, &display, &d.err);
    delete[] heap;
    if (!d.ok) return d;
    for (u32 y = 0; y < p.height; y++) {
        d.canvas.insert(d.canvas.end(), cv.p + y * stride, cv.p + y * stride + (u64)p.width * p.pixel_size);
        d.display.insert(d.display.end(), dp.p + y * display.stride, dp.p + y * display.stride + 4 * (u64)p.width);
    }
    return d;
}

// The decode job's way for a still image: the display buffer alone, with
// the same exact-size blocks. `display` is filled on success.
inline Decoded decode_display_only(const Bytes& file) {
    Decoded d;
    u8* heap = new u8[file.size() ? file.size() : 1];
    if (!file.empty()) memcpy(heap, file.data(), file.size());
    if (!png_probe(heap, file.size(), &d.info, &d.plan, &d.err) || d.plan.animated) {
        delete[] heap;
        return d;
    }
    const PngPlan& p = d.plan;
    Block ws(p.workspace_bytes);
    Block dp(row_stride(p.width) * p.height + 32, 16);
    PixelBuffer display = {dp.p, row_stride(p.width), p.width, p.height};
    d.ok = png_decode_still_display(heap, file.size(), &p, ws.p, p.workspace_bytes, &display, &d.err);
    delete[] heap;
    if (!d.ok) return d;
    for (u32 y = 0; y < p.height; y++) {
        d.display.insert(d.display.end(), dp.p + y * display.stride, dp.p + y * display.stride + 4 * (u64)p.width);
    }
    return d;
}

inline std::string err_text(const CodecError& e) {
    ByteSpan n = codec_error_name(e.code);
    return std::string((const char*)n.data, n.size) + "@" + std::to_string(e.offset);
}

}  // namespace pngtest
