// Inflate throughput: our decoder against zlib and libdeflate on the same
// in-memory zlib streams, measured in one run and printed as MB/s of output
// with the ratio to each peer. Inputs: the IDAT streams of the PNG files in
// ../shared/corpus/kodak, a large generated photo-like image filtered like a
// PNG, text, and incompressible data. Each decoder runs the stream in one call
// with the whole output buffer; ours also runs the way the PNG decoder uses it
// (64 KiB input slices into a 128 KiB sliding window), and with its scalar
// and careful-only variants for comparison. Timings are the best of
// several repeats, each repeated until it lasts a while, in thread CPU time.
#include <libdeflate.h>
#include <string.h>
#include <time.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "codec/png/adler32.h"
#include "codec/png/crc32.h"
#include "codec/png/inflate.h"

using Bytes = std::vector<u8>;

struct Input {
    std::string name;
    Bytes z;
    size_t raw_size;
};

static Bytes read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

static u32 be32(const u8* p) {
    return ((u32)p[0] << 24) | ((u32)p[1] << 16) | ((u32)p[2] << 8) | p[3];
}

// The concatenated IDAT payloads: one zlib stream.
static Bytes idat_stream(const Bytes& png) {
    Bytes z;
    size_t pos = 8;
    while (pos + 12 <= png.size()) {
        u32 len = be32(&png[pos]);
        if (pos + 12 + len > png.size()) break;
        if (memcmp(&png[pos + 4], "IDAT", 4) == 0) z.insert(z.end(), &png[pos + 8], &png[pos + 8 + len]);
        pos += 12 + len;
    }
    return z;
}

static size_t zlib_size(const Bytes& z) {
    z_stream zs = {};
    inflateInit(&zs);
    Bytes out(1 << 20);
    zs.next_in = (Bytef*)z.data();
    zs.avail_in = (uInt)z.size();
    size_t total = 0;
    int r;
    do {
        zs.next_out = out.data();
        zs.avail_out = (uInt)out.size();
        r = inflate(&zs, Z_NO_FLUSH);
        total += out.size() - zs.avail_out;
    } while (r == Z_OK);
    inflateEnd(&zs);
    return r == Z_STREAM_END ? total : 0;
}

static Bytes compress(const Bytes& data, int level) {
    uLongf n = compressBound(data.size());
    Bytes z(n);
    compress2(z.data(), &n, data.data(), data.size(), level);
    z.resize(n);
    return z;
}

// Smooth colour fields with noise, each row Paeth-filtered as a PNG encoder
// would: 3000 x 2000 RGB.
static Bytes photo_like_rows() {
    const u32 w = 3000, h = 2000;
    std::mt19937 rng(1);
    Bytes prev(w * 3, 0), cur(w * 3), out;
    out.reserve((size_t)(w * 3 + 1) * h);
    for (u32 y = 0; y < h; y++) {
        for (u32 x = 0; x < w; x++) {
            for (u32 c = 0; c < 3; c++) {
                double v = 128 + 60 * std::sin(x * 0.004 * (c + 1) + y * 0.003) + 40 * std::cos(y * 0.01 - x * 0.002);
                cur[x * 3 + c] = (u8)(v + (int)(rng() % 7) - 3);
            }
        }
        out.push_back(4);
        for (u32 i = 0; i < w * 3; i++) {
            int a = i >= 3 ? cur[i - 3] : 0, b = prev[i], c = i >= 3 ? prev[i - 3] : 0;
            int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
            int pred = (pa <= pb && pa <= pc) ? a : pb <= pc ? b : c;
            out.push_back((u8)(cur[i] - pred));
        }
        prev = cur;
    }
    return out;
}

// Seconds per run of each function, best of several rounds. The functions
// take turns within every round, so a burst of load on the machine slows all
// of them alike instead of skewing one ratio.
// This thread's CPU time: other work on a shared machine does not count.
static double cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

static std::vector<double> seconds_per_run(const std::vector<std::function<void()>>& fns) {
    std::vector<double> best(fns.size(), 1e30);
    for (int round = 0; round < 15; round++) {
        for (size_t i = 0; i < fns.size(); i++) {
            int iters = 0;
            const double start = cpu_seconds();
            double elapsed = 0;
            do {
                fns[i]();
                iters++;
                elapsed = cpu_seconds() - start;
            } while (elapsed < 0.01);
            best[i] = std::min(best[i], elapsed / iters);
        }
    }
    return best;
}

int main() {
    std::vector<Input> inputs;
    std::string kodak = std::string(QB_SHARED_DIR) + "/corpus/kodak";
    if (std::filesystem::is_directory(kodak)) {
        std::vector<std::string> names;
        for (auto& e : std::filesystem::directory_iterator(kodak)) {
            if (e.path().extension() == ".png") names.push_back(e.path().string());
        }
        std::sort(names.begin(), names.end());
        for (auto& n : names) {
            Bytes z = idat_stream(read_file(n));
            size_t raw = zlib_size(z);
            if (raw) inputs.push_back({std::filesystem::path(n).filename().string(), z, raw});
        }
    } else {
        std::printf("(no %s: the PNG streams are skipped)\n", kodak.c_str());
    }
    {
        Bytes rows = photo_like_rows();
        inputs.push_back({"photo-like 3000x2000", compress(rows, 6), rows.size()});
    }
    {
        std::mt19937 rng(2);
        static const char* words[] = {"the ", "quick ", "brown ", "fox ", "jumps ", "over ", "lazy ", "dog ",
                                      "image ", "viewer ", "tile ", "pixel ", "\n", "zlib ", "stream ", ", "};
        Bytes text;
        while (text.size() < 8000000) {
            const char* w = words[rng() % 16];
            text.insert(text.end(), w, w + strlen(w));
        }
        inputs.push_back({"text 8 MB", compress(text, 6), text.size()});
        Bytes noise(8000000);
        for (auto& b : noise) b = (u8)rng();
        inputs.push_back({"incompressible 8 MB", compress(noise, 6), noise.size()});
    }

    InflateState* state = new InflateState;
    libdeflate_decompressor* ld = libdeflate_alloc_decompressor();
    std::printf("MB/s of output. ours: fast loop chosen at start-up, one call; windowed: 64 KiB input slices into a\n"
                "128 KiB window; scalar: fast loop with byte copies; careful: no fast loop at all\n");
    std::printf("%-22s %9s %9s %9s %9s %8s %8s %9s %8s %8s\n", "input", "MB out", "ours", "zlib", "libdefl",
                "/zlib", "/libdefl", "windowed", "scalar", "careful");
    double sum_ratio_z = 0, sum_ratio_l = 0;
    int png_count = 0;
    double png_ratio_z = 0, png_ratio_l = 0;
    for (const Input& in : inputs) {
        Bytes out(in.raw_size);
        Bytes window(128 * 1024);
        auto ours = [&] {
            inflate_init(state);
            InflateResult r = inflate_run(state, in.z.data(), in.z.size(), out.data(), out.size(), true);
            if (r != INFLATE_DONE) std::printf("ours failed on %s: %u\n", in.name.c_str(), state->error);
        };
        auto ours_windowed = [&] {
            inflate_init_windowed(state, window.data(), window.size());
            size_t pos = 0;
            for (;;) {
                inflate_slide(state, window.data());
                size_t n = std::min<size_t>(65536, in.z.size() - pos);
                InflateResult r = inflate_run(state, in.z.data() + pos, n, window.data(), window.size(),
                                              pos + n == in.z.size());
                pos += inflate_consumed(state);
                if (r == INFLATE_DONE) break;
                if (r == INFLATE_ERROR) {
                    std::printf("ours (windowed) failed on %s: %u\n", in.name.c_str(), state->error);
                    break;
                }
            }
        };
        auto zlib = [&] {
            z_stream zs = {};
            inflateInit(&zs);
            zs.next_in = (Bytef*)in.z.data();
            zs.avail_in = (uInt)in.z.size();
            zs.next_out = out.data();
            zs.avail_out = (uInt)out.size();
            if (inflate(&zs, Z_FINISH) != Z_STREAM_END) std::printf("zlib failed on %s\n", in.name.c_str());
            inflateEnd(&zs);
        };
        auto libdeflate = [&] {
            size_t n = 0;
            if (libdeflate_zlib_decompress(ld, in.z.data(), in.z.size(), out.data(), out.size(), &n) !=
                LIBDEFLATE_SUCCESS)
                std::printf("libdeflate failed on %s\n", in.name.c_str());
        };
        double mb = in.raw_size / 1e6;
        // Variant runs force the fast loop, then put the preferred one back.
        auto variant = [&](u32 v) {
            return [&, v] {
                inflate_force_variant(v);
                ours();
                inflate_select_variant();
            };
        };
        std::vector<std::function<void()>> fns = {ours, zlib, libdeflate, ours_windowed,
                                                  variant(INFLATE_VARIANT_SCALAR), variant(INFLATE_VARIANT_CAREFUL)};
        std::vector<double> t = seconds_per_run(fns);
        double t_ours = t[0], t_zlib = t[1], t_ld = t[2], t_win = t[3];
        double rz = t_zlib / t_ours, rl = t_ld / t_ours;
        std::printf("%-22s %9.2f %9.0f %9.0f %9.0f %8.2f %8.2f %9.0f %8.0f %8.0f\n", in.name.c_str(), mb,
                    mb / t_ours, mb / t_zlib, mb / t_ld, rz, rl, mb / t_win, mb / t[4], mb / t[5]);
        sum_ratio_z += rz;
        sum_ratio_l += rl;
        if (in.name.find(".png") != std::string::npos || in.name.find("photo") != std::string::npos) {
            png_count++;
            png_ratio_z += rz;
            png_ratio_l += rl;
        }
    }
    if (png_count) {
        std::printf("PNG streams: mean ratio to zlib %.2f, to libdeflate %.2f (%d streams)\n", png_ratio_z / png_count,
                    png_ratio_l / png_count, png_count);
    }
    std::printf("all inputs: mean ratio to zlib %.2f, to libdeflate %.2f\n", sum_ratio_z / inputs.size(),
                sum_ratio_l / inputs.size());

    // The checksums on 8 MB of noise: ours (each variant) against zlib's.
    {
        std::mt19937 rng(3);
        Bytes noise(8000000);
        for (auto& b : noise) b = (u8)rng();
        static Crc32Table table;
        crc32_make_table(&table);
        volatile u32 sink = 0;
        std::vector<double> t = seconds_per_run({
            [&] { sink = sink + adler32_update_sse2(1, noise.data(), noise.size()); },
            [&] { sink = sink + adler32_update_scalar(1, noise.data(), noise.size()); },
            [&] { sink = sink + (u32)adler32(1, noise.data(), (uInt)noise.size()); },
            [&] { sink = sink + crc32_update(&table, 0, noise.data(), noise.size()); },
            [&] { sink = sink + crc32_update_scalar(&table, 0, noise.data(), noise.size()); },
            [&] { sink = sink + (u32)crc32(0, noise.data(), (uInt)noise.size()); },
            [&] { sink = sink + crc32_update_slicing(&table, 0, noise.data(), noise.size()); },
            [&] {
                if (adler32_variant_supported(ADLER32_VARIANT_AVX2))
                    sink = sink + adler32_update_avx2(1, noise.data(), noise.size());
            },
        });
        double mb = noise.size() / 1e6;
        std::printf("adler32 MB/s: avx2 %.0f, sse2 %.0f, scalar %.0f, zlib %.0f (sse2/zlib %.2f)\n",
                    adler32_variant_supported(ADLER32_VARIANT_AVX2) ? mb / t[7] : 0.0, mb / t[0], mb / t[1], mb / t[2],
                    t[2] / t[0]);
        std::printf("crc32 MB/s: chosen (%s) %.0f, slicing by 8 %.0f, bytewise %.0f, zlib %.0f (ours/zlib %.2f)\n",
                    crc32_variant_supported(CRC32_VARIANT_VPCLMUL) ? "vpclmul"
                    : crc32_variant_supported(CRC32_VARIANT_CLMUL)         ? "clmul"
                                                                           : "slicing", mb / t[3], mb / t[6],
                    mb / t[4], mb / t[5], t[5] / t[3]);
    }
    libdeflate_free_decompressor(ld);
    delete state;
    return 0;
}
