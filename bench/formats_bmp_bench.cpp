// BMP decode against ImageMagick's MagickCore on one 24-megapixel photo-like
// picture (smooth gradients plus noise) stored as 24-bit, 32-bit and 8-bit
// palette BMPs, all bottom-up BI_RGB. Ours probes and decodes into RGBA;
// MagickCore reads the blob and exports RGBA bytes, on one thread like ours.
// Prints output MB/s (RGBA bytes) and the ratio MagickCore time / ours, then
// the scalar and SSE2 kernels on their own.
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "bench/bench_support.h"
#include "../tests/codec/bmp/bmp_support.h"
#include "bench/magick_peer.h"

using namespace bmptest;

static const u32 W = 6000, H = 4000;

// Smooth colour ramps with a little noise: R, G, B of each pixel.
static std::vector<u32> photo() {
    std::vector<u32> v((size_t)W * H);
    std::mt19937 rng(1);
    for (u32 y = 0; y < H; y++)
        for (u32 x = 0; x < W; x++) {
            u32 n = rng();
            u32 r = (x * 255 / W + (n & 7)) & 255, g = (y * 255 / H + (n >> 3 & 7)) & 255;
            u32 b = ((x + y) * 255 / (W + H) + (n >> 6 & 7)) & 255;
            v[(size_t)y * W + x] = r << 16 | g << 8 | b;
        }
    return v;
}

// The same picture through a 6 x 7 x 6 colour cube.
static void to_palette(const std::vector<u32>& rgb, std::vector<u32>* indices, std::vector<u32>* pal) {
    pal->clear();
    for (u32 r = 0; r < 6; r++)
        for (u32 g = 0; g < 7; g++)
            for (u32 b = 0; b < 6; b++) pal->push_back((r * 51) << 16 | (g * 255 / 6) << 8 | (b * 51));
    indices->resize(rgb.size());
    for (size_t i = 0; i < rgb.size(); i++) {
        u32 p = rgb[i];
        (*indices)[i] = ((p >> 16 & 255) * 6 / 256 * 7 + (p >> 8 & 255) * 7 / 256) * 6 + (p & 255) * 6 / 256;
    }
}

static bool ours(const Bytes& f, std::vector<u8>& mem) {
    ImageInfo info;
    CodecError err;
    if (!bmp_probe(f.data(), f.size(), &info, &err)) return false;
    if (mem.size() < info.pixel_bytes) mem.resize(info.pixel_bytes);
    PixelBuffer out = {mem.data(), row_stride(info.width), info.width, info.height};
    return bmp_decode(f.data(), f.size(), nullptr, 0, &out, &err);
}

int main() {
    magick_start("qb_bench_formats_bmp");
    std::vector<u32> rgb = photo(), indices, pal;
    to_palette(rgb, &indices, &pal);
    struct Input {
        const char* name;
        Bytes file;
    } inputs[3];
    Spec s24;
    inputs[0] = {"24-bit", write_bmp(s24, W, H, rgb)};
    Spec s32;
    s32.bits = 32;
    // The fourth byte 255: MagickCore takes it as alpha, we as padding.
    std::vector<u32> rgbx(rgb);
    for (u32& p : rgbx) p |= 0xFF000000u;
    inputs[1] = {"32-bit", write_bmp(s32, W, H, rgbx)};
    rgbx.clear(), rgbx.shrink_to_fit();
    Spec s8;
    s8.bits = 8, s8.palette = pal;
    inputs[2] = {"8-bit palette", write_bmp(s8, W, H, indices)};
    rgb.clear(), rgb.shrink_to_fit();

    const double out_mb = (double)W * H * 4 / 1e6;
    printf("%u x %u, output %.0f MB of RGBA; peer: MagickCore %s, one thread\n", W, H, out_mb,
           magick_version());
    printf("%-16s %8s %11s %11s %9s\n", "file", "MB", "ours MB/s", "peer MB/s", "x peer");
    std::vector<u8> mem, peer;
    for (Input& in : inputs) {
        if (!ours(in.file, mem) || !magick_decode_rgba(in.file.data(), in.file.size(), "BMP", peer)) {
            printf("%s: decode failed\n", in.name);
            return 1;
        }
        // Same pixels on both sides (row stride aside).
        for (u32 y = 0; y < H; y += 997)
            if (memcmp(mem.data() + row_stride(W) * y, peer.data() + (size_t)W * 4 * y, (size_t)W * 4) != 0) {
                printf("%s: row %u differs from MagickCore's\n", in.name, y);
                return 1;
            }
        double t_ours = best_of(9, [&] { ours(in.file, mem); });
        double t_peer = best_of(3, [&] { magick_decode_rgba(in.file.data(), in.file.size(), "BMP", peer); });
        printf("%-16s %8.1f %11.0f %11.0f %9.2f\n", in.name, in.file.size() / 1e6, out_mb / t_ours, out_mb / t_peer,
               t_peer / t_ours);
    }
    const char* names[2] = {"scalar", "sse2"};
    for (u32 v = 0; v < 2; v++) {
        bmp_kernels_force(v);
        for (u32 k = 0; k < 2; k++) {
            double t = best_of(9, [&] { ours(inputs[k].file, mem); });
            printf("%-16s %-7s %11.0f MB/s\n", inputs[k].name, names[v], out_mb / t);
        }
    }
    bmp_kernels_force(BMP_KERNELS_SSE2);
    magick_stop();
    return 0;
}
