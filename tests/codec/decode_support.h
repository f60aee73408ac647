// What the PNM, QOI and TGA tests share: a run of probe and decode into
// memory of exactly the probe's sizes with guard bytes after it (a write
// past the end fails the test), and Pillow run through /usr/bin/python3 as
// the reference decoder for generated files (absent on Windows builds and
// where python3-pil is not installed; the callers skip then).
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "codec/image.h"

namespace decodetest {

typedef std::vector<u8> Bytes;
typedef bool (*ProbeFn)(const u8*, u64, ImageInfo*, CodecError*);
typedef bool (*DecodeFn)(const u8*, u64, u8*, u64, PixelBuffer*, CodecError*);

struct Decoded {
    bool ok = false;
    CodecError err{};
    u32 w = 0, h = 0;
    Bytes rgba;  // w * h * 4, rows packed
};

const u64 kGuard = 64;
const u8 kGuardByte = 0xA5;

// Probe, then decode into a buffer of pixel_bytes and a scratch of
// scratch_bytes, each followed by guard bytes that must stay untouched. The
// input is copied so that it ends exactly where the file does.
inline Decoded run(ProbeFn probe, DecodeFn decode, const Bytes& file) {
    Decoded d;
    std::vector<u8> copy(file);
    const u8* data = copy.empty() ? nullptr : copy.data();
    ImageInfo info;
    if (!probe(data, copy.size(), &info, &d.err)) {
        EXPECT_NE(d.err.code, (u32)ERR_OK);
        EXPECT_LE(d.err.offset, copy.size());
        return d;
    }
    EXPECT_EQ(info.frame_count, 1u);
    EXPECT_EQ(info.pixel_bytes, row_stride(info.width) * info.height + 32);
    // 64-byte aligned starts, as the job hands them out.
    std::vector<u8> pix(info.pixel_bytes + kGuard + 64, kGuardByte);
    std::vector<u8> scratch(info.scratch_bytes + kGuard + 64, kGuardByte);
    u8* p = (u8*)(((uintptr_t)pix.data() + 63) & ~(uintptr_t)63);
    u8* s = (u8*)(((uintptr_t)scratch.data() + 63) & ~(uintptr_t)63);
    PixelBuffer out = {p, row_stride(info.width), info.width, info.height};
    d.ok = decode(data, copy.size(), s, info.scratch_bytes, &out, &d.err);
    for (u64 i = 0; i < kGuard; i++) {
        EXPECT_EQ(p[info.pixel_bytes + i], kGuardByte) << "pixel guard byte " << i;
        EXPECT_EQ(s[info.scratch_bytes + i], kGuardByte) << "scratch guard byte " << i;
        if (p[info.pixel_bytes + i] != kGuardByte || s[info.scratch_bytes + i] != kGuardByte) break;
    }
    if (!d.ok) {
        EXPECT_NE(d.err.code, (u32)ERR_OK);
        EXPECT_LE(d.err.offset, copy.size());
        return d;
    }
    EXPECT_EQ(d.err.code, (u32)ERR_OK);
    d.w = info.width;
    d.h = info.height;
    d.rgba.resize((size_t)d.w * d.h * 4);
    for (u32 y = 0; y < d.h; y++) memcpy(&d.rgba[(size_t)y * d.w * 4], p + y * out.stride, (size_t)d.w * 4);
    return d;
}

// Largest difference of any byte; SIZE_MAX-like 999 when the sizes differ.
inline int max_diff(const Bytes& a, const Bytes& b) {
    if (a.size() != b.size()) return 999;
    int m = 0;
    for (size_t i = 0; i < a.size(); i++) m = std::max(m, std::abs((int)a[i] - (int)b[i]));
    return m;
}

// First differing pixel as "x,y: ours r g b a, theirs r g b a", for messages.
inline std::string first_difference(const Bytes& a, const Bytes& b, u32 w, int tolerance) {
    for (size_t i = 0; i + 3 < a.size() && i + 3 < b.size(); i += 4) {
        for (int c = 0; c < 4; c++) {
            if (std::abs((int)a[i + c] - (int)b[i + c]) > tolerance) {
                char buf[160];
                snprintf(buf, sizeof buf, "pixel %zu,%zu: ours %d %d %d %d, reference %d %d %d %d", (i / 4) % w,
                         (i / 4) / w, a[i], a[i + 1], a[i + 2], a[i + 3], b[i], b[i + 1], b[i + 2], b[i + 3]);
                return buf;
            }
        }
    }
    return a.size() == b.size() ? "" : "sizes differ";
}

// ---- Pillow ---------------------------------------------------------------------

struct PillowImage {
    bool ok = false;
    u32 w = 0, h = 0;
    Bytes rgba;
};

// Decodes every file with Pillow in one python3 run. 16-bit grey (Pillow's
// mode I) is brought to 8 bits with the same rounding as ours.
inline bool pillow_decode(const std::vector<Bytes>& files, const char* ext, std::vector<PillowImage>* out) {
#if defined(_WIN32)
    (void)files, (void)ext, (void)out;
    return false;
#else
    static int available = -1;
    if (available < 0) available = system("/usr/bin/python3 -c 'import PIL' >/dev/null 2>&1") == 0;
    if (!available) return false;
    namespace fs = std::filesystem;
    char tmpl[] = "/tmp/qb-pillow-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    fs::path dir = tmpl;
    std::string args;
    for (size_t i = 0; i < files.size(); i++) {
        fs::path p = dir / ("f" + std::to_string(i) + "." + ext);
        std::ofstream(p, std::ios::binary).write((const char*)files[i].data(), (std::streamsize)files[i].size());
        args += " " + p.string();
    }
    fs::path script = dir / "decode.py";
    std::ofstream(script) << R"PY(import sys
from PIL import Image
for p in sys.argv[1:]:
    try:
        im = Image.open(p)
        im.load()
        if im.mode.startswith('I'):
            top = 65535
            vals = [min(max(int(v), 0), top) for v in im.getdata()]
            grey = bytes((v * 255 + top // 2) // top for v in vals)
            im = Image.frombytes('L', im.size, grey)
        im = im.convert('RGBA')
        with open(p + '.rgba', 'wb') as f:
            f.write(im.size[0].to_bytes(4, 'little') + im.size[1].to_bytes(4, 'little') + im.tobytes())
    except Exception as e:
        sys.stderr.write(p + ': ' + str(e) + '\n')
)PY";
    std::string cmd = "/usr/bin/python3 " + script.string() + args;
    int rc = system(cmd.c_str());
    out->assign(files.size(), PillowImage{});
    for (size_t i = 0; i < files.size(); i++) {
        fs::path p = dir / ("f" + std::to_string(i) + "." + ext + ".rgba");
        std::ifstream f(p, std::ios::binary);
        if (!f) continue;
        Bytes all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        if (all.size() < 8) continue;
        PillowImage& im = (*out)[i];
        memcpy(&im.w, all.data(), 4);
        memcpy(&im.h, all.data() + 4, 4);
        im.rgba.assign(all.begin() + 8, all.end());
        im.ok = im.rgba.size() == (size_t)im.w * im.h * 4;
    }
    fs::remove_all(dir);
    return rc == 0;
#endif
}

// A photo-like test picture: smooth gradients plus noise, with alpha that
// varies when asked.
inline Bytes test_picture(u32 w, u32 h, bool alpha, u32 seed = 1) {
    Bytes px((size_t)w * h * 4);
    u32 s = seed;
    for (u32 y = 0; y < h; y++)
        for (u32 x = 0; x < w; x++) {
            s = s * 1103515245 + 12345;
            u32 n = (s >> 16) & 15;
            u8* p = &px[((size_t)y * w + x) * 4];
            p[0] = (u8)(x * 255 / (w > 1 ? w - 1 : 1) ^ n);
            p[1] = (u8)(y * 255 / (h > 1 ? h - 1 : 1) + n);
            p[2] = (u8)((x + 2 * y) * 3 + n * 5);
            p[3] = alpha ? (u8)(((x * 7 + y * 3) & 255) | (n & 1)) : 255;
        }
    return px;
}

}  // namespace decodetest

#define EXPECT_ERR(e, c, o)             \
    do {                                \
        CodecError e_ = (e);            \
        EXPECT_EQ(e_.code, (u32)(c));   \
        EXPECT_EQ(e_.offset, (u64)(o)); \
    } while (0)
