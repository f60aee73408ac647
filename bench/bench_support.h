// What the benchmarks share: clocks, the best of several runs, and reading a
// PNG of the shared corpus with libpng into tightly packed pixels.
#pragma once

#include <png.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <vector>

#include "base/types.h"

inline double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// This thread's CPU time: steadier than the wall clock on a shared machine.
inline double thread_cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

// The shortest of `runs` timings of f, by the given clock.
template <class F>
double best_of(int runs, double (*clock)(), F f) {
    double best = 1e9;
    for (int i = 0; i < runs; i++) {
        double t = clock();
        f();
        best = std::min(best, clock() - t);
    }
    return best;
}

template <class F>
double best_of(int runs, F f) {
    return best_of(runs, wall_seconds, f);
}

// The shortest timings of f and of g over `runs` rounds that take one of
// each in turn, so that a burst of load from elsewhere falls on both sides
// rather than on every round of one.
template <class F, class G>
void best_of_pair(int runs, double (*clock)(), F f, G g, double* best_f, double* best_g) {
    *best_f = *best_g = 1e9;
    for (int i = 0; i < runs; i++) {
        double t = clock();
        f();
        *best_f = std::min(*best_f, clock() - t);
        t = clock();
        g();
        *best_g = std::min(*best_g, clock() - t);
    }
}

// A PNG file as rows of `format` (PNG_FORMAT_RGB or PNG_FORMAT_RGBA).
inline bool load_png(const std::filesystem::path& p, u32 format, std::vector<u8>* out, u32* w, u32* h) {
    png_image img;
    memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, p.c_str())) return false;
    img.format = format;
    out->resize(PNG_IMAGE_SIZE(img));
    if (!png_image_finish_read(&img, nullptr, out->data(), 0, nullptr)) return false;
    *w = img.width;
    *h = img.height;
    return true;
}
