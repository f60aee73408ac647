// JPEG decode against libjpeg-turbo on the same files: large baseline and
// progressive photos (4:2:0 and 4:4:4) made from a mosaic of the Kodak set.
// Our preview is timed against its 1/8-scale decode, our full resolution
// (preview, second stage and every tile) against its full decode with the
// accurate integer transform, each writing its pixels once into one image:
// our tiles straight into their places in an image buffer allocated ahead,
// the peer's rows into the buffer it allocates for the image. That buffer
// is fresh memory every time (its pages fault in, and it is zero-filled),
// while our scratch memory is reused from run to run, so "warm" also times
// the peer writing into a buffer allocated ahead and reused. Times are this thread's CPU time, the best of 5 rounds that run ours
// and the peer in turn, so a burst of load elsewhere falls on both. Prints
// times and ratios (reference / ours: above 1 means we are faster).
// Usage: qb_bench_jpeg [PICTURES_ACROSS [FILE]]; FILE (0 to 3, in the order
// printed) times that file alone and splits our full column into its parts
// (preview, second stage, tiles; each the best of 20), for profiling.
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <png.h>

#include "bench/bench_support.h"
#include "../tests/codec/jpeg/jpeg_support.h"
#include "../tests/codec/jpeg/libjpeg_support.h"

namespace fs = std::filesystem;

// libjpeg-turbo's decode at 1/scale into `out` (sized once by the caller
// and reused), RGBA.
static bool peer_decode(const std::vector<u8>& file, u32 scale, bool fancy, std::vector<u8>* out) {
    u32 w, h, channels;
    return ref_decode_into(file, scale, fancy, JCS_EXT_RGBA, out, &w, &h, &channels);
}

int main(int argc, char** argv) {
    fs::path kodak = fs::path(QB_SHARED_DIR) / "corpus" / "kodak";
    u32 tiles_across = argc > 1 ? (u32)atoi(argv[1]) : 8;  // 8 x 6 Kodak pictures: 6144 x 3072, 19 MP
    std::vector<std::vector<u8>> pics;
    u32 pw = 768, ph = 512;
    for (u32 i = 1; i <= 24; i++) {
        char name[32];
        snprintf(name, sizeof name, "kodim%02u.png", i);
        std::vector<u8> rgb;
        u32 w, h;
        if (!load_png(kodak / name, PNG_FORMAT_RGB, &rgb, &w, &h)) continue;
        if (w != pw || h != ph) continue;  // the landscape ones
        pics.push_back(rgb);
    }
    if (pics.empty()) {
        printf("jpeg bench: Kodak pictures not found under %s\n", kodak.c_str());
        return 0;
    }
    u32 across = tiles_across, down = tiles_across * 3 / 4;
    u32 W = across * pw, H = down * ph;
    std::vector<u8> mosaic((size_t)W * H * 3);
    for (u32 ty = 0; ty < down; ty++)
        for (u32 tx = 0; tx < across; tx++) {
            const std::vector<u8>& p = pics[(ty * across + tx) % pics.size()];
            for (u32 y = 0; y < ph; y++)
                memcpy(&mosaic[(((size_t)ty * ph + y) * W + (size_t)tx * pw) * 3], &p[(size_t)y * pw * 3], pw * 3);
        }
    printf("jpeg bench: %u x %u (%.1f MP), best of 5 rounds in turn, CPU time\n", W, H, W * (double)H / 1e6);
    printf("%-22s %10s %10s %7s | %10s %10s %7s | %10s %7s\n", "file", "preview", "ref 1/8", "ratio", "full", "ref full",
           "ratio", "ref warm", "ratio");
    int only = argc > 2 ? atoi(argv[2]) : -1;
    for (int kind = 0; kind < 4; kind++) {
        if (only >= 0 && only != kind) continue;
        bool progressive = kind >= 2, s420 = kind % 2 == 0;
        std::vector<u8> file = ref_encode_rgb(mosaic, W, H, 90, s420, progressive);
        DecoderMemory mem;
        DecodeResult r;
        if (!run_decoder(file, &r, false, &mem)) {
            printf("decode failed: %s %u\n", r.stage.c_str(), r.error.code);
            return 1;
        }
        PixelBuffer pb{mem.pixels.data, 0, 0, 0};
        CodecError err;
        std::vector<u8> peer_eighth, peer_full;
        peer_decode(file, 8, false, &peer_eighth);
        peer_decode(file, 1, true, &peer_full);
        double ours_preview, ref_preview;
        best_of_pair(
            5, thread_cpu_seconds,
            [&] {
                jpeg_decode_preview(file.data(), file.size(), mem.scratch.data, r.info.scratch_bytes, &pb,
                                    r.info.pixel_bytes, &err);
            },
            [&] { peer_decode(file, 8, false, &peer_eighth); }, &ours_preview, &ref_preview);
        mem.extra.resize(r.info.extra_bytes);
        std::vector<u8> image((size_t)W * H * 4);
        std::vector<u8> tile(1024 * 256);
        auto full = [&] {
            jpeg_decode_preview(file.data(), file.size(), mem.scratch.data, r.info.scratch_bytes, &pb,
                                r.info.pixel_bytes, &err);
            jpeg_finish_full_resolution(file.data(), file.size(), mem.scratch.data, r.info.scratch_bytes,
                                        mem.extra.data, r.info.extra_bytes, &err);
            // The sides are whole tiles, so every tile fits where it goes.
            for (u32 row = 0; row * 256 < H; row++)
                for (u32 col = 0; col * 256 < W; col++) {
                    PixelBuffer t{&image[((size_t)row * 256 * W + col * 256) * 4], (u64)W * 4, 256, 256};
                    jpeg_render_full_tile(mem.scratch.data, mem.extra.data, col, row, &t, &err);
                }
        };
        full();
        double ours_full, ref_full, ours_again, ref_warm;
        best_of_pair(5, thread_cpu_seconds, full, [&] { ref_decode(file, 1, true, JCS_EXT_RGBA); }, &ours_full,
                     &ref_full);
        best_of_pair(5, thread_cpu_seconds, full, [&] { peer_decode(file, 1, true, &peer_full); }, &ours_again,
                     &ref_warm);
        ours_full = std::min(ours_full, ours_again);
        if (memcmp(image.data(), peer_full.data(), image.size()) != 0) printf("(our pixels differ from the peer's)\n");
        if (only >= 0) {
            double tp = 0, ts = 0, tt = 0;
            for (int it = 0; it < 20; it++) {
                double a = thread_cpu_seconds();
                jpeg_decode_preview(file.data(), file.size(), mem.scratch.data, r.info.scratch_bytes, &pb,
                                    r.info.pixel_bytes, &err);
                double b = thread_cpu_seconds();
                jpeg_finish_full_resolution(file.data(), file.size(), mem.scratch.data, r.info.scratch_bytes,
                                            mem.extra.data, r.info.extra_bytes, &err);
                double c = thread_cpu_seconds();
                for (u32 row = 0; row * 256 < H; row++)
                    for (u32 col = 0; col * 256 < W; col++) {
                        PixelBuffer t{tile.data(), 1024, 256, 256};
                        jpeg_render_full_tile(mem.scratch.data, mem.extra.data, col, row, &t, &err);
                    }
                double e = thread_cpu_seconds();
                if (it == 0 || b - a < tp) tp = b - a;
                if (it == 0 || c - b < ts) ts = c - b;
                if (it == 0 || e - c < tt) tt = e - c;
            }
            printf("%zu bytes; ours: preview %.1f ms, second stage %.1f ms, tiles %.1f ms\n", file.size(), tp * 1e3,
                   ts * 1e3, tt * 1e3);
        }
        char label[64];
        snprintf(label, sizeof label, "%s %s", progressive ? "progressive" : "baseline", s420 ? "4:2:0" : "4:4:4");
        printf("%-22s %8.1fms %8.1fms %7.2f | %8.1fms %8.1fms %7.2f | %8.1fms %7.2f\n", label, ours_preview * 1e3,
               ref_preview * 1e3, ref_preview / ours_preview, ours_full * 1e3, ref_full * 1e3, ref_full / ours_full,
               ref_warm * 1e3, ref_warm / ours_full);
    }
    return 0;
}
