// Differential tests: streams made by zlib (every level and strategy) and by
// libdeflate (every level) from generated data must inflate to exactly the
// original bytes, in one call, through a 128 KiB sliding window, and with
// every fast-loop variant the machine can run. Corrupted streams must agree
// with zlib on success or failure, and where both succeed on the bytes.
#include <gtest/gtest.h>
#include <libdeflate.h>
#include <zlib.h>

#include "inflate_support.h"

using namespace qbtest;

static Bytes zlib_compress(const Bytes& data, int level, int strategy, int mem_level = 8) {
    z_stream zs = {};
    EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, 15, mem_level, strategy), Z_OK);
    Bytes out(deflateBound(&zs, data.size()) + 16);
    zs.next_in = (Bytef*)data.data();
    zs.avail_in = (uInt)data.size();
    zs.next_out = out.data();
    zs.avail_out = (uInt)out.size();
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

static Bytes libdeflate_compress(const Bytes& data, int level) {
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    Bytes out(libdeflate_zlib_compress_bound(c, data.size()));
    size_t n = libdeflate_zlib_compress(c, data.data(), data.size(), out.data(), out.size());
    libdeflate_free_compressor(c);
    EXPECT_GT(n, 0u);
    out.resize(n);
    return out;
}

struct Sample {
    const char* name;
    Bytes data;
};

static std::vector<Sample> samples() {
    return {
        {"random", gen_random(70000, 1)},
        {"text", gen_text(150000, 2)},
        {"runs", gen_runs(120000, 3)},
        {"png_rows", gen_png_rows(300, 150, 4)},
        {"tiny", gen_text(7, 5)},
        {"empty", Bytes()},
    };
}

static void check_stream(const Bytes& z, const Bytes& data, const char* what) {
    VariantGuard guard;
    for (u32 v = 0; v < INFLATE_VARIANT_COUNT; v++) {
        if (!inflate_force_variant(v)) continue;  // BMI2 needs the CPU
        Outcome o = run_once(z, data.size() + 1);
        ASSERT_EQ(o.result, INFLATE_DONE) << what << " variant " << v << " error " << o.error;
        ASSERT_TRUE(o.out == data) << what << " variant " << v;
        ASSERT_EQ(o.consumed, z.size()) << what;
    }
    Outcome w = run_windowed(z, 128 * 1024, 65536);
    ASSERT_EQ(w.result, INFLATE_DONE) << what << " windowed";
    ASSERT_TRUE(w.out == data) << what << " windowed";
}

TEST(InflateDifferential, ZlibEveryLevelAndStrategy) {
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    for (const Sample& s : samples()) {
        for (int strategy : strategies) {
            for (int level = 0; level <= 9; level++) {
                Bytes z = zlib_compress(s.data, level, strategy);
                std::string what = std::string(s.name) + " level " + std::to_string(level) + " strategy " +
                                   std::to_string(strategy);
                check_stream(z, s.data, what.c_str());
            }
        }
        // A small memory level makes many short blocks.
        Bytes z = zlib_compress(s.data, 6, Z_DEFAULT_STRATEGY, 1);
        check_stream(z, s.data, "memLevel 1");
    }
}

TEST(InflateDifferential, LibdeflateEveryLevel) {
    for (const Sample& s : samples()) {
        for (int level = 0; level <= 12; level++) {
            Bytes z = libdeflate_compress(s.data, level);
            std::string what = std::string(s.name) + " libdeflate level " + std::to_string(level);
            check_stream(z, s.data, what.c_str());
        }
    }
}

// zlib's verdict on a stream and the bytes it produced; `check_only` says the
// data decoded and only the Adler-32 differed.
static bool zlib_inflate(const Bytes& z, size_t cap, Bytes* out, bool* check_only) {
    z_stream zs = {};
    inflateInit(&zs);
    out->assign(cap, 0);
    zs.next_in = (Bytef*)z.data();
    zs.avail_in = (uInt)z.size();
    zs.next_out = out->data();
    zs.avail_out = (uInt)cap;
    int r = inflate(&zs, Z_FINISH);
    *check_only = r == Z_DATA_ERROR && zs.msg && std::string(zs.msg) == "incorrect data check";
    out->resize(zs.total_out);
    inflateEnd(&zs);
    return r == Z_STREAM_END;
}

TEST(InflateDifferential, CorruptedStreamsAgreeWithZlib) {
    std::mt19937 rng(77);
    Bytes data = gen_png_rows(64, 40, 9);
    const Bytes bases[] = {zlib_compress(data, 6, Z_DEFAULT_STRATEGY), zlib_compress(data, 6, Z_FIXED),
                           zlib_compress(gen_text(3000, 4), 9, Z_DEFAULT_STRATEGY)};
    u32 agree_ok = 0;
    for (const Bytes& base : bases) {
        for (u32 trial = 0; trial < 600; trial++) {
            Bytes z = base;
            u32 flips = 1 + rng() % 3;
            for (u32 f = 0; f < flips; f++) z[rng() % z.size()] ^= (u8)(1u << (rng() % 8));
            Bytes ref;
            bool check_only = false;
            bool ok = zlib_inflate(z, 1 << 16, &ref, &check_only);
            Outcome o = run_once(z, 1 << 16);
            ASSERT_EQ(ok, o.result == INFLATE_DONE) << "trial " << trial << " error " << o.error;
            if (ok || check_only) {
                // Decoded alike; a corrupted check must be caught as such.
                ASSERT_TRUE(o.out == ref) << "trial " << trial;
                if (check_only) {
                    ASSERT_EQ(o.error, INFLATE_ERR_ADLER_MISMATCH);
                }
                agree_ok++;
            } else if (o.result == INFLATE_ERROR) {
                ASSERT_LE(o.error_offset, z.size());
            } else {
                // zlib ran out of room too.
                ASSERT_EQ(o.result, INFLATE_OUTPUT_FULL);
                ASSERT_EQ(ref.size(), (size_t)1 << 16);
            }
        }
    }
    // Many corruptions (in literals, say) still decode, failing only the
    // check; make sure the comparison of bytes was exercised.
    EXPECT_GT(agree_ok, 0u);
}
