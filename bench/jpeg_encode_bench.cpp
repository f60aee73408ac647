// JPEG encode against libjpeg-turbo on the same RGBA pixels in one run: a
// 24-megapixel photo-like image (a mosaic of the Kodak set when the shared
// corpus is present, else a generated picture) as baseline 4:2:0 q75,
// baseline 4:4:4 q90 and progressive 4:2:0 q75. Both write into memory that
// is allocated and touched before timing. Prints times and ratios
// (reference / ours: above 1 means we are faster) and checks that the two
// files are identical. Times are the thread's CPU time, best of 5 runs
// taken in turns.
#include <time.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include <png.h>

#include "bench/bench_support.h"
#include "../tests/codec/jpeg/jpeg_encode_reference.h"
#include "codec/jpeg/kernels.h"

namespace fs = std::filesystem;

// Thread CPU time: the machine is shared, and time spent descheduled would
// land on whichever encoder happened to be running.
template <class F>
static double best_of_cpu(int runs, F f) {
    return best_of(runs, thread_cpu_seconds, f);
}

static RgbaImage picture(u32 W, u32 H, bool* from_kodak) {
    fs::path kodak = fs::path(QB_SHARED_DIR) / "corpus" / "kodak";
    std::vector<std::vector<u8>> pics;
    const u32 pw = 768, ph = 512;
    for (u32 i = 1; i <= 24; i++) {
        char name[32];
        snprintf(name, sizeof name, "kodim%02u.png", i);
        std::vector<u8> px;
        u32 w, h;
        if (load_png(kodak / name, PNG_FORMAT_RGBA, &px, &w, &h) && w == pw && h == ph) pics.push_back(px);
    }
    *from_kodak = !pics.empty();
    if (pics.empty()) return make_image(W, H, 1, 1);
    RgbaImage img;
    img.width = W;
    img.height = H;
    img.stride = 4 * (u64)W;
    img.pixels.resize(img.stride * H);
    u32 across = (W + pw - 1) / pw;
    for (u32 y = 0; y < H; y++) {
        for (u32 tx = 0; tx < across; tx++) {
            const std::vector<u8>& p = pics[((y / ph) * across + tx) % pics.size()];
            u32 n = std::min(pw, W - tx * pw);
            memcpy(&img.pixels[y * img.stride + 4 * (u64)tx * pw], &p[(size_t)(y % ph) * pw * 4], 4 * (size_t)n);
        }
    }
    return img;
}

static u64 reference_encode(const RgbaImage& img, int quality, bool s444, bool progressive, std::vector<u8>* out) {
    jpeg_compress_struct c;
    RefError err;
    c.err = jpeg_std_error(&err.mgr);
    unsigned char* buf = out->data();
    unsigned long size = out->size();
    jpeg_create_compress(&c);
    jpeg_mem_dest(&c, &buf, &size);
    configure_like_ours(&c, img, quality, s444, progressive);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW rows[16];
        u32 n = std::min(16u, c.image_height - c.next_scanline);
        for (u32 i = 0; i < n; i++) rows[i] = (JSAMPROW)&img.pixels[(size_t)(c.next_scanline + i) * img.stride];
        jpeg_write_scanlines(&c, rows, n);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    if (buf != out->data()) {  // it outgrew the buffer and moved
        out->assign(buf, buf + size);
        free(buf);
    }
    return size;
}

int main(int argc, char** argv) {
    u32 W = argc > 2 ? (u32)atoi(argv[1]) : 6000, H = argc > 2 ? (u32)atoi(argv[2]) : 4000;
    bool kodak;
    RgbaImage img = picture(W, H, &kodak);
    printf("jpeg encode bench: %u x %u (%.1f MP, %s), best of 5 (CPU time)\n", W, H, W * (double)H / 1e6,
           kodak ? "Kodak mosaic" : "generated picture");
    printf("%-24s %10s %10s %7s %12s %s\n", "setting", "ours", "ref", "ratio", "bytes", "identical");
    struct Setting {
        const char* name;
        u32 quality;
        bool s444, progressive;
    } settings[] = {
        {"baseline 4:2:0 q75", 75, false, false},
        {"baseline 4:4:4 q90", 90, true, false},
        {"progressive 4:2:0 q75", 75, false, true},
    };
    for (const Setting& s : settings) {
        JpegEncodeSettings js{s.quality, s.s444 ? 1u : 0u, s.progressive ? 1u : 0u};
        u64 ws = jpeg_encode_workspace_bytes(&js, W, H), cap = jpeg_encode_output_bound(&js, W, H);
        std::vector<u8> workspace(ws, 1), output(cap, 1), ref_out((size_t)W * H * 3, 1);
        JpegEncodeResult result{};
        u64 ref_size = 0;
        // The two encoders take turns, so a burst of load on the shared
        // machine falls on both rather than on whichever ran then.
        double ours = 1e9, ref = 1e9;
        for (int run = 0; run < 5; run++) {
            ours = std::min(ours, best_of_cpu(1, [&] {
                jpeg_encode(ByteSpan{img.pixels.data(), img.pixels.size()}, img.stride, W, H, &js, workspace.data(),
                            ws, output.data(), cap, &result);
            }));
            ref = std::min(ref, best_of_cpu(1, [&] {
                ref_size = reference_encode(img, (int)s.quality, s.s444, s.progressive, &ref_out);
            }));
        }
        bool same = result.code == 0 && result.bytes == ref_size && memcmp(output.data(), ref_out.data(), ref_size) == 0;
        printf("%-24s %8.1fms %8.1fms %7.2f %12llu %s\n", s.name, ours * 1e3, ref * 1e3, ref / ours,
               (unsigned long long)result.bytes, same ? "yes" : "NO");
    }
    return 0;
}
