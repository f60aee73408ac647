// PNM, QOI and TGA decode on a 24-megapixel photo-like picture (smooth
// gradients plus noise, 6000 x 4000) written by the bench in each variant
// that matters: raw PPM and PGM with maxval 255, QOI with 3 and 4 channels,
// 24-bit uncompressed and 32-bit RLE TGA. Ours probes and decodes to RGBA;
// the peers are the reference qoi.h (decoding to 4 channels) for QOI and
// ImageMagick's MagickCore (blob read and RGBA export, one thread) for PNM
// and TGA. Prints the best of several runs as output MB/s (RGBA bytes) and
// the ratio peer time / our time (above 1: we are faster). Outputs are
// compared once before timing.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#define QOI_IMPLEMENTATION
#define QOI_NO_STDIO
#include <qoi.h>

#include "bench/bench_support.h"
#include "../tests/codec/magick_support.h"
#include "codec/pnm/pnm.h"
#include "codec/qoi/qoi.h"
#include "codec/tga/tga.h"

typedef std::vector<u8> Bytes;
typedef bool (*ProbeFn)(const u8*, u64, ImageInfo*, CodecError*);
typedef bool (*DecodeFn)(const u8*, u64, u8*, u64, PixelBuffer*, CodecError*);

static const u32 W = 6000, H = 4000;

// RGBA, smooth gradients plus a little noise; alpha a gentle gradient.
static Bytes make_picture() {
    Bytes px((size_t)W * H * 4);
    u32 s = 1;
    for (u32 y = 0; y < H; y++) {
        for (u32 x = 0; x < W; x++) {
            s = s * 1103515245 + 12345;
            u32 n = (s >> 16) & 7;
            u8* p = &px[((size_t)y * W + x) * 4];
            p[0] = (u8)((x * 255 / W + n) & 255);
            p[1] = (u8)((y * 255 / H + (n >> 1)) & 255);
            p[2] = (u8)(((x + y) * 255 / (W + H) + n) & 255);
            p[3] = (u8)(255 - (x * 64 / W));
        }
    }
    return px;
}

static Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

static Bytes write_ppm(const Bytes& px, bool grey) {
    Bytes f = text(std::string(grey ? "P5\n" : "P6\n") + std::to_string(W) + " " + std::to_string(H) + "\n255\n");
    for (size_t i = 0; i < px.size(); i += 4) {
        if (grey)
            f.push_back((u8)((px[i] * 77 + px[i + 1] * 150 + px[i + 2] * 29) >> 8));
        else
            f.insert(f.end(), {px[i], px[i + 1], px[i + 2]});
    }
    return f;
}

static Bytes write_qoi(const Bytes& px, u32 channels) {
    Bytes packed;
    packed.reserve(px.size());
    for (size_t i = 0; i < px.size(); i += 4) packed.insert(packed.end(), &px[i], &px[i] + channels);
    qoi_desc desc = {W, H, (unsigned char)channels, QOI_SRGB};
    int len = 0;
    void* enc = qoi_encode(packed.data(), &desc, &len);
    Bytes f((u8*)enc, (u8*)enc + len);
    free(enc);
    return f;
}

static Bytes tga_header(u32 type, u32 depth, u32 desc) {
    return Bytes{0, 0, (u8)type, 0, 0, 0, 0, 0, 0, 0, 0, 0, (u8)W, (u8)(W >> 8), (u8)H, (u8)(H >> 8), (u8)depth,
                 (u8)desc};
}

// 24-bit raw, top-left origin.
static Bytes write_tga24(const Bytes& px) {
    Bytes f = tga_header(2, 24, 0x20);
    f.reserve(f.size() + (size_t)W * H * 3);
    for (size_t i = 0; i < px.size(); i += 4) f.insert(f.end(), {px[i + 2], px[i + 1], px[i]});
    return f;
}

// 32-bit RLE, bottom-left origin, packets within rows (as most writers do).
static Bytes write_tga32_rle(const Bytes& px) {
    Bytes f = tga_header(10, 32, 0x08);
    for (u32 r = 0; r < H; r++) {
        const u8* row = &px[(size_t)(H - 1 - r) * W * 4];
        auto same = [&](u32 a, u32 b) { return memcmp(row + 4 * a, row + 4 * b, 4) == 0; };
        u32 x = 0;
        while (x < W) {
            u32 run = 1;
            while (x + run < W && run < 128 && same(x, x + run)) run++;
            if (run >= 2) {
                f.push_back((u8)(0x80 | (run - 1)));
                const u8* p = row + 4 * x;
                f.insert(f.end(), {p[2], p[1], p[0], p[3]});
                x += run;
                continue;
            }
            u32 lit = 1;
            while (x + lit < W && lit < 128 && !(x + lit + 1 < W && same(x + lit, x + lit + 1))) lit++;
            f.push_back((u8)(lit - 1));
            for (u32 k = 0; k < lit; k++) {
                const u8* p = row + 4 * (x + k);
                f.insert(f.end(), {p[2], p[1], p[0], p[3]});
            }
            x += lit;
        }
    }
    return f;
}

// Ours: probe and decode into memory sized by the probe (allocated once).
struct Ours {
    ProbeFn probe;
    DecodeFn decode;
    const Bytes& file;
    ImageInfo info{};
    Bytes pixels, scratch;
    bool run() {
        CodecError err;
        if (!probe(file.data(), file.size(), &info, &err)) return false;
        if (pixels.size() < info.pixel_bytes + 64) pixels.resize(info.pixel_bytes + 64);
        if (scratch.size() < info.scratch_bytes + 64) scratch.resize(info.scratch_bytes + 64);
        PixelBuffer out = {align(pixels.data()), row_stride(info.width), info.width, info.height};
        return decode(file.data(), file.size(), align(scratch.data()), info.scratch_bytes, &out, &err);
    }
    static u8* align(u8* p) { return (u8*)(((uintptr_t)p + 63) & ~(uintptr_t)63); }
    // Packed RGBA rows of the last decode.
    Bytes rgba() {
        Bytes out((size_t)info.width * info.height * 4);
        for (u32 y = 0; y < info.height; y++)
            memcpy(&out[(size_t)y * info.width * 4], align(pixels.data()) + y * row_stride(info.width), info.width * 4);
        return out;
    }
};

int main(int, char** argv) {
    magick_start(argv[0]);
    Bytes px = make_picture();
    struct Case {
        const char* name;
        Bytes file;
        ProbeFn probe;
        DecodeFn decode;
        const char* peer;  // MagickCore coder, or "qoi.h"
    } cases[] = {
        {"P6 raw RGB 8-bit", write_ppm(px, false), pnm_probe, pnm_decode, "PPM"},
        {"P5 raw grey 8-bit", write_ppm(px, true), pnm_probe, pnm_decode, "PGM"},
        {"QOI 3 channels", write_qoi(px, 3), qoi_probe, ::qoi_decode, "qoi.h"},
        {"QOI 4 channels", write_qoi(px, 4), qoi_probe, ::qoi_decode, "qoi.h"},
        {"TGA 24-bit raw", write_tga24(px), tga_probe, tga_decode, "TGA"},
        {"TGA 32-bit RLE", write_tga32_rle(px), tga_probe, tga_decode, "TGA"},
    };
    const double out_mb = (double)W * H * 4 / 1e6;
    printf("%u x %u, output %.0f MB of RGBA per decode; best of 5 runs (thread CPU time)\n", W, H, out_mb);
    printf("%-20s %8s %10s %10s %-12s %8s\n", "file", "MB", "ours MB/s", "peer MB/s", "peer", "x peer");
    for (Case& c : cases) {
        Ours ours{c.probe, c.decode, c.file, {}, {}, {}};
        if (!ours.run()) {
            printf("%s: our decode failed\n", c.name);
            return 1;
        }
        bool qoi = strcmp(c.peer, "qoi.h") == 0;
        Bytes theirs;
        unsigned tw = 0, th = 0;
        auto peer = [&]() {
            if (qoi) {
                qoi_desc desc;
                void* p = ::qoi_decode(c.file.data(), (int)c.file.size(), &desc, 4);
                if (p) {
                    tw = desc.width, th = desc.height;
                    theirs.assign((u8*)p, (u8*)p + (size_t)tw * th * 4);
                    free(p);
                }
                return p != nullptr;
            }
            return magick_decode(c.file.data(), c.file.size(), c.peer, &theirs, &tw, &th);
        };
        if (!peer() || tw != W || th != H) {
            printf("%s: the peer could not decode it\n", c.name);
            return 1;
        }
        // QOI with 3 channels: qoi.h keeps the stream's alpha (255), as we show it.
        Bytes mine = ours.rgba();
        if (mine != theirs) {
            size_t i = 0;
            while (i < mine.size() && mine[i] == theirs[i]) i++;
            i &= ~(size_t)3;
            printf("%s: warning, our pixels differ from the peer's: pixel %zu,%zu ours %d %d %d %d, peer %d %d %d %d\n",
                   c.name, i / 4 % W, i / 4 / W, mine[i], mine[i + 1], mine[i + 2], mine[i + 3], theirs[i],
                   theirs[i + 1], theirs[i + 2], theirs[i + 3]);
        }
        double t_ours = best_of(5, thread_cpu_seconds, [&] { ours.run(); });
        double t_peer = best_of(qoi ? 5 : 2, thread_cpu_seconds, [&] { peer(); });
        printf("%-20s %8.1f %10.0f %10.0f %-12s %8.2f\n", c.name, c.file.size() / 1e6, out_mb / t_ours,
               out_mb / t_peer, qoi ? "qoi.h" : "ImageMagick", t_peer / t_ours);
    }
    magick_stop();
    return 0;
}
