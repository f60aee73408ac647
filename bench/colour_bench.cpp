// Colour conversion throughput: a 24-megapixel RGBA frame (6000 x 4000, a
// photo-like picture) converted from Adobe RGB (1998) to sRGB by our
// transform (SSE2 kernel and scalar twin, in place in 256 x 256 tiles as the
// decode job applies it, and as whole rows), against a plain copy of the same
// pixels and LittleCMS's own 8-bit transform (cmsCreateTransform with
// TYPE_RGBA_8 on both sides, relative colorimetric, no cache flags) on the
// same pixels. Printed as MP/s with the ratios; best of several runs in
// thread CPU time.
#include <lcms2.h>
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <vector>

#include "bench/bench_support.h"
#include "codec/icc/icc.h"

static std::vector<u8> read_file(const char* path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<u8>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

int main() {
    const char* path = "/usr/share/color/icc/colord/AdobeRGB1998.icc";
    std::vector<u8> profile = read_file(path);
    if (profile.empty()) {
        printf("colour: %s missing (colord-data, see scripts/setup): skipped\n", path);
        return 0;
    }
    IccProfile parsed;
    static IccTransform transform;
    if (!icc_parse(profile.data(), profile.size(), &parsed) || !icc_build(&parsed, &transform)) {
        printf("colour: the Adobe RGB profile did not give a transform\n");
        return 1;
    }
    const u32 w = 6000, h = 4000;
    const u64 n = (u64)w * h;
    std::vector<u8> src(n * 4), dst(n * 4);
    u32 s = 7;
    for (u64 i = 0; i < n; i++) {
        u32 x = (u32)(i % w), y = (u32)(i / w);
        s = s * 1664525u + 1013904223u;
        src[4 * i] = (u8)((x * 255 / w) + ((s >> 28) & 7));
        src[4 * i + 1] = (u8)((y * 255 / h) + ((s >> 24) & 7));
        src[4 * i + 2] = (u8)(((x + y) / 40) + ((s >> 20) & 7));
        src[4 * i + 3] = 255;
    }
    const int runs = 5;
    double mp = n / 1e6;

    double copy = best_of(runs, thread_cpu_seconds, [&] { memcpy(dst.data(), src.data(), n * 4); });

    double ours_rows[2];
    for (u32 v = ICC_KERNEL_SCALAR; v <= ICC_KERNEL_SSE2; v++) {
        icc_kernel_force(v);
        IccRowFn row = icc_row_kernel();
        ours_rows[v] = best_of(runs, thread_cpu_seconds, [&] { row(&transform, src.data(), dst.data(), n); });
    }
    std::vector<u8> ours_out = dst;
    // In place, tile by tile, as tiles are produced (rows of 256 pixels).
    icc_kernel_force(ICC_KERNEL_SSE2);
    double ours_tiles = best_of(runs, thread_cpu_seconds, [&] {
        memcpy(dst.data(), src.data(), n * 4);
        for (u32 ty = 0; ty < h; ty += 256) {
            for (u32 tx = 0; tx < w; tx += 256) {
                u32 tw = w - tx < 256 ? w - tx : 256, th = h - ty < 256 ? h - ty : 256;
                icc_convert_rect(&transform, dst.data() + ((u64)ty * w + tx) * 4, (u64)w * 4, tw, th);
            }
        }
    }) - copy;

    cmsHPROFILE in = cmsOpenProfileFromMem(profile.data(), (cmsUInt32Number)profile.size());
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM t = cmsCreateTransform(in, TYPE_RGBA_8, srgb, TYPE_RGBA_8, INTENT_RELATIVE_COLORIMETRIC, 0);
    std::vector<u8> lcms_out(n * 4);
    double lcms = best_of(runs, thread_cpu_seconds,
                          [&] { cmsDoTransform(t, src.data(), lcms_out.data(), (cmsUInt32Number)n); });
    int worst = 0;
    for (u64 i = 0; i < n * 4; i++) {
        if (i % 4 == 3) continue;
        int d = std::abs((int)ours_out[i] - (int)lcms_out[i]);
        worst = std::max(worst, d);
    }
    cmsDeleteTransform(t);
    cmsCloseProfile(in);
    cmsCloseProfile(srgb);

    printf("colour: Adobe RGB to sRGB, %u x %u RGBA (%.1f MP)\n", w, h, mp);
    printf("  plain copy          %8.1f MP/s\n", mp / copy);
    printf("  LittleCMS 8-bit     %8.1f MP/s\n", mp / lcms);
    printf("  ours SSE2 rows      %8.1f MP/s  %.2fx LittleCMS  %.2fx copy time\n", mp / ours_rows[1],
           lcms / ours_rows[1], ours_rows[1] / copy);
    printf("  ours SSE2 tiles     %8.1f MP/s  %.2fx LittleCMS (in place, copy time taken off)\n", mp / ours_tiles,
           lcms / ours_tiles);
    printf("  ours scalar rows    %8.1f MP/s  %.2fx LittleCMS\n", mp / ours_rows[0], lcms / ours_rows[0]);
    printf("  largest difference from LittleCMS's 8-bit result: %d\n", worst);
    return 0;
}
