// Test support for the GIF decoder: a byte-level file builder with an LSB-first
// code writer (so malformed and hand-coded streams are easy to make), a
// literal-only LZW encoder that tracks the decoder's code width exactly, a
// reference compositor written straight from the frame rules (one pixel at a
// time, no shortcuts), and a runner that composes every frame with our
// decoder.
#pragma once

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "codec/gif/gif.h"

namespace giftest {

using Bytes = std::vector<u8>;

// ---- Codes and files ------------------------------------------------------------

struct BitWriter {
    Bytes out;
    u64 acc = 0;
    u32 count = 0;
    void put(u32 code, u32 bits) {
        acc |= (u64)code << count;
        count += bits;
        while (count >= 8) {
            out.push_back((u8)acc);
            acc >>= 8;
            count -= 8;
        }
    }
    Bytes finish() {
        if (count > 0) out.push_back((u8)acc);
        acc = 0;
        count = 0;
        return out;
    }
};

// Tracks the decoder's `next` and code width while codes are written.
struct CodeStream {
    u32 s;
    u32 next, bits;
    bool prev = false;
    BitWriter w;
    explicit CodeStream(u32 min_code_size) : s(min_code_size), next((1u << s) + 2), bits(s + 1) {}
    u32 clear_code() const { return 1u << s; }
    void clear() {
        w.put(clear_code(), bits);
        next = clear_code() + 2;
        bits = s + 1;
        prev = false;
    }
    void end() { w.put(clear_code() + 1, bits); }
    // Any data code (literal or table code): written at the current width,
    // then the table grows as the decoder's does.
    void code(u32 c) {
        w.put(c, bits);
        if (prev && next < 4096) {
            next++;
            if (next == (1u << bits) && bits < 12) bits++;
        }
        prev = true;
    }
    Bytes finish() { return w.finish(); }
};

// Every pixel as a literal, with a clear code first and whenever the table
// fills (unless `keep_full`), and an end code after the last pixel.
inline Bytes lzw_literals(const Bytes& indices, u32 s, bool leading_clear = true, bool end_code = true,
                          bool keep_full = false) {
    CodeStream c(s);
    if (leading_clear) c.clear();
    for (u8 v : indices) {
        if (!keep_full && c.next == 4096) c.clear();
        c.code(v);
    }
    if (end_code) c.end();
    return c.finish();
}

// A compressing encoder (greedy longest match), with a clear code whenever
// its table would pass 4096 entries. Code widths come from the decoder model.
inline Bytes lzw_compress(const Bytes& indices, u32 s) {
    CodeStream c(s);
    c.clear();
    std::vector<std::vector<i32>> child;  // child[code][byte] -> code, -1 none
    auto reset = [&] {
        child.assign((1u << s) + 2, std::vector<i32>(256, -1));
    };
    reset();
    i32 w = -1;
    for (u8 v : indices) {
        if (w < 0) {
            w = v;
            continue;
        }
        i32 k = child[w][v];
        if (k >= 0) {
            w = k;
            continue;
        }
        c.code((u32)w);
        if (child.size() == 4096) {
            c.clear();
            reset();
        } else {
            child[w][v] = (i32)child.size();
            child.push_back(std::vector<i32>(256, -1));
        }
        w = v;
    }
    if (w >= 0) c.code((u32)w);
    c.end();
    return c.finish();
}

// Codes split into sub-blocks of at most `block` bytes, then the zero block.
inline void put_subblocks(Bytes& f, const Bytes& data, size_t block = 255) {
    for (size_t i = 0; i < data.size(); i += block) {
        size_t n = std::min(block, data.size() - i);
        f.push_back((u8)n);
        f.insert(f.end(), data.begin() + i, data.begin() + i + n);
    }
    f.push_back(0);
}

inline void le16(Bytes& f, u32 v) {
    f.push_back((u8)v);
    f.push_back((u8)(v >> 8));
}

// Header, logical screen and optional global colour table (entries must be
// a power of two from 2 to 256, or 0 for none).
inline Bytes gif_header(u32 w, u32 h, u32 gct_entries, bool gif89 = true, u32 resolution = 8) {
    Bytes f = {'G', 'I', 'F', '8', (u8)(gif89 ? '9' : '7'), 'a'};
    le16(f, w);
    le16(f, h);
    u32 n = 0;
    while (gct_entries && (2u << n) < gct_entries) n++;
    f.push_back((u8)((gct_entries ? 0x80 : 0) | ((resolution - 1) << 4) | n));
    f.push_back(0);
    f.push_back(0);
    for (u32 i = 0; i < gct_entries; i++) {
        f.push_back((u8)(i * 7));
        f.push_back((u8)(255 - i));
        f.push_back((u8)(i * 13 + 5));
    }
    return f;
}

inline void put_gce(Bytes& f, u32 disposal, u32 delay, i32 transparent) {
    Bytes b = {0x21, 0xF9, 4, (u8)((disposal << 2) | (transparent >= 0 && transparent < 256 ? 1 : 0))};
    f.insert(f.end(), b.begin(), b.end());
    le16(f, delay);
    f.push_back((u8)(transparent >= 0 && transparent < 256 ? transparent : 0));
    f.push_back(0);
}

inline void put_loop(Bytes& f, u32 count, const char* id = "NETSCAPE2.0", u8 sub_id = 1) {
    f.push_back(0x21);
    f.push_back(0xFF);
    f.push_back(11);
    f.insert(f.end(), id, id + 11);
    f.push_back(3);
    f.push_back(sub_id);
    le16(f, count);
    f.push_back(0);
}

inline void put_comment(Bytes& f, const std::string& text) {
    f.push_back(0x21);
    f.push_back(0xFE);
    put_subblocks(f, Bytes(text.begin(), text.end()));
}

// Descriptor, optional local table (colours derived from `lct_seed`), code
// size and the codes in sub-blocks.
inline void put_image(Bytes& f, u32 x, u32 y, u32 w, u32 h, const Bytes& codes, u32 code_size,
                      u32 lct_entries = 0, bool interlaced = false, u32 lct_seed = 1, size_t block = 255) {
    f.push_back(0x2C);
    le16(f, x);
    le16(f, y);
    le16(f, w);
    le16(f, h);
    u32 n = 0;
    while (lct_entries && (2u << n) < lct_entries) n++;
    f.push_back((u8)((lct_entries ? 0x80 : 0) | (interlaced ? 0x40 : 0) | n));
    for (u32 i = 0; i < lct_entries; i++) {
        f.push_back((u8)(i * lct_seed + 3));
        f.push_back((u8)(i * 5 + lct_seed));
        f.push_back((u8)(200 - i * lct_seed));
    }
    f.push_back((u8)code_size);
    put_subblocks(f, codes, block);
}

// ---- Reference compositor ----------------------------------------------------------

struct RefFrame {
    u32 x = 0, y = 0, w = 0, h = 0;
    u32 disposal = 0;
    i32 transparent = 256;
    bool interlaced = false;
    u32 delay = 0;
    std::vector<u32> palette;  // 0xRRGGBB, the table in force (local, else global)
    Bytes indices;             // w * h, in coded row order
};

// The canvas after each frame, pixels as memory-order RGBA read as a
// little-endian u32 (0xAABBGGRR). Written from the rules one pixel at a time.
inline std::vector<std::vector<u32>> reference_compose(u32 W, u32 H, const std::vector<RefFrame>& frames) {
    std::vector<std::vector<u32>> out;
    std::vector<u32> canvas((size_t)W * H, 0), saved;
    u32 pd = 0, px = 0, py = 0, pw = 0, ph = 0;
    for (const RefFrame& f : frames) {
        if (pd == 2) {
            for (u32 j = 0; j < ph; j++)
                for (u32 i = 0; i < pw; i++) canvas[(size_t)(py + j) * W + px + i] = 0;
        } else if (pd == 3) {
            canvas = saved;
        }
        u32 cw = f.x < W ? std::min(f.w, W - f.x) : 0;
        u32 ch = f.y < H ? std::min(f.h, H - f.y) : 0;
        if (f.disposal == 3) saved = canvas;
        for (u32 r = 0; r < f.h; r++) {
            u32 d = r;
            if (f.interlaced) {
                // The four passes: every 8th row from 0, every 8th from 4,
                // every 4th from 2, every 2nd from 1.
                static const u32 start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
                u32 k = r;
                for (u32 p = 0; p < 4; p++) {
                    u32 rows = f.h > start[p] ? (f.h - start[p] + step[p] - 1) / step[p] : 0;
                    if (k < rows) {
                        d = start[p] + k * step[p];
                        break;
                    }
                    k -= rows;
                }
            }
            if (d >= ch) continue;
            for (u32 c = 0; c < cw; c++) {
                u32 i = f.indices[(size_t)r * f.w + c];
                if ((i32)i == f.transparent) continue;
                u32 rgb = i < f.palette.size() ? f.palette[i] : 0;
                u32 v = ((rgb >> 16) & 0xFF) | (rgb & 0xFF00) | ((rgb & 0xFF) << 16) | 0xFF000000u;
                canvas[(size_t)(f.y + d) * W + f.x + c] = v;
            }
        }
        pd = f.disposal;
        if (cw && ch) {
            px = f.x, py = f.y, pw = cw, ph = ch;
        } else {
            px = py = pw = ph = 0;
        }
        out.push_back(canvas);
    }
    return out;
}

// ---- Running our decoder ----------------------------------------------------------------

struct Decoded {
    bool ok = false;
    CodecError err{};
    GifInfo info{};
    std::vector<std::vector<u32>> frames;  // canvas after each frame, packed rows
};

// Header read, then every frame in order into a 16-aligned canvas with a
// padded stride; stops at the first failure.
inline Decoded decode_all(const Bytes& file, u32 max_frames = 0xFFFFFFFF) {
    Decoded d;
    ImageHeader header;
    if (!gif_read_header(file.data(), file.size(), &header, &d.info, &d.err)) return d;
    std::vector<u8> ws(d.info.workspace_bytes + 64);
    u8* work = (u8*)(((uintptr_t)ws.data() + 63) & ~(uintptr_t)63);
    u64 stride = row_stride(d.info.width) + 32;
    std::vector<u8> mem(stride * d.info.height + 64);
    PixelBuffer canvas = {(u8*)(((uintptr_t)mem.data() + 31) & ~(uintptr_t)31), stride, d.info.width,
                          d.info.height};
    for (u32 n = 0; n < d.info.frame_count && n < max_frames; n++) {
        if (!gif_decode_frame(file.data(), file.size(), &d.info, work, d.info.workspace_bytes, n, &canvas, &d.err)) {
            return d;
        }
        std::vector<u32> pic((size_t)d.info.width * d.info.height);
        for (u32 y = 0; y < d.info.height; y++)
            memcpy(&pic[(size_t)y * d.info.width], canvas.pixels + y * stride, 4 * (size_t)d.info.width);
        d.frames.push_back(std::move(pic));
    }
    d.ok = true;
    return d;
}

}  // namespace giftest
