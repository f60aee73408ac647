// The GIF decoder against giflib: every file of the shared corpus, and files
// written by giflib's encoder (87a and 89a, 1 to 256 colours, local and
// global tables, interlaced or not, frames partly or wholly off the screen,
// every disposal, transparent indices present and absent, loop extensions
// absent, 0 and n). giflib supplies only the blocks and the indices; the
// expected pictures come from the reference compositor. Files where the two
// readers disagree on whether a file is valid are listed with the rule that
// decides them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "codec/job.h"
#include "codec/probe.h"
#include "giflib_support.h"

using namespace giftest;
namespace fs = std::filesystem;

static Bytes read_all(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

static std::string error_name(u32 code) {
    ByteSpan n = codec_error_name(code);
    return std::string((const char*)n.data, n.size);
}

// Compares every composed frame of ours with the reference built on giflib's
// indices; returns a description of the first difference, empty when equal.
static std::string compare(const GiflibFile& g, const Decoded& d) {
    if (d.info.width != g.width || d.info.height != g.height) return "screen size";
    if (d.frames.size() != g.frames.size()) {
        return "frame count " + std::to_string(d.frames.size()) + " vs " + std::to_string(g.frames.size());
    }
    if (d.info.loop_present != (u32)g.loop_present || d.info.loop_count != g.loop_count) return "loop count";
    auto want = reference_compose(g.width, g.height, g.frames);
    for (size_t k = 0; k < want.size(); k++) {
        if (want[k] != d.frames[k]) {
            size_t i = 0;
            while (want[k][i] == d.frames[k][i]) i++;
            return "frame " + std::to_string(k) + " pixel " + std::to_string(i % g.width) + "," +
                   std::to_string(i / g.width);
        }
    }
    return "";
}

// Files giflib reads that we refuse, with our error and why.
static const std::map<std::string, std::string> k_we_refuse = {
    // More codes than the frame has pixels: the code that would overflow.
    {"pygif-test-suite/extra-pixels.gif", "bad_header at 50"},
    // No image before the trailer.
    {"pygif-test-suite/max-size.gif", "bad_header at 37"},
    {"pygif-test-suite/no-data.gif", "bad_header at 19"},
    // A logical screen of width or height 0.
    {"pygif-test-suite/zero-height.gif", "bad_header at 8"},
    {"pygif-test-suite/zero-size.gif", "bad_header at 6"},
    {"pygif-test-suite/zero-width.gif", "bad_header at 6"},
};

TEST(GifCorpus, EveryFileAgainstGiflib) {
    fs::path dir = fs::path(QB_SHARED_DIR) / "corpus" / "gif";
    if (!fs::exists(dir)) GTEST_SKIP() << "no corpus at " << dir << " (../shared is absent)";
    std::vector<fs::path> files;
    for (auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file() && e.path().extension() == ".gif") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    u32 matched = 0, refused = 0;
    for (const fs::path& p : files) {
        std::string name = fs::relative(p, dir).generic_string();
        Bytes file = read_all(p);
        GiflibFile g = giflib_read(file);
        Decoded d = decode_all(file);
        if (g.ok && d.ok) {
            std::string diff = compare(g, d);
            EXPECT_EQ(diff, "") << name;
            matched++;
            continue;
        }
        std::string ours = error_name(d.err.code) + " at " + std::to_string(d.err.offset);
        if (g.ok && !d.ok) {
            auto it = k_we_refuse.find(name);
            EXPECT_TRUE(it != k_we_refuse.end()) << name << ": we refuse with " << ours;
            if (it != k_we_refuse.end()) {
                EXPECT_EQ(ours, it->second) << name;
            }
        } else if (!g.ok && d.ok) {
            ADD_FAILURE() << name << ": giflib refuses (" << g.error << "), we read " << d.frames.size() << " frames";
        } else {
            EXPECT_LE(d.err.offset, file.size()) << name;
            EXPECT_NE(d.err.code, (u32)ERR_BAD_TARGET) << name;
            refused++;
        }
    }
    EXPECT_GE(matched, 120u);
    printf("%u files match giflib, %u refused by both\n", matched, refused);
}

// The animation the scenario tests play.
TEST(GifCorpus, TestDataAgainstGiflib) {
    Bytes file = read_all(fs::path(QB_SOURCE_DIR) / "tests" / "data" / "four-frames.gif");
    GiflibFile g = giflib_read(file);
    Decoded d = decode_all(file);
    ASSERT_TRUE(g.ok && d.ok);
    EXPECT_EQ(d.frames.size(), 4u);
    EXPECT_EQ(compare(g, d), "");
}

// ---- Files from giflib's encoder ---------------------------------------------------------

static std::vector<u32> random_palette(std::mt19937& rng, u32 n) {
    std::vector<u32> p(n);
    for (u32& c : p) c = rng() & 0xFFFFFF;
    return p;
}

// Indices with `colours` distinct values in noisy runs, so the codes mix
// literals and long table strings.
static Bytes random_indices(std::mt19937& rng, u32 count, u32 colours) {
    Bytes idx(count);
    u32 v = 0;
    for (u32 i = 0; i < count; i++) {
        if (rng() % 5 == 0) v = rng() % colours;
        idx[i] = (u8)v;
    }
    return idx;
}

TEST(GifGenerated, GiflibEncodedFilesCompose) {
    std::mt19937 rng(2024);
    u32 files = 0;
    for (int round = 0; round < 120; round++) {
        u32 W = 1 + rng() % 90, H = 1 + rng() % 60;
        bool gif89 = round % 4 != 0;
        u32 colours = 1 + (round * 37 + rng()) % 256;  // 1 to 256 distinct values
        u32 bits = 1;
        while ((1u << bits) < colours) bits++;
        bool global = rng() % 4 != 0;
        std::vector<u32> gpal = global ? random_palette(rng, 1u << bits) : std::vector<u32>{};
        int loop = !gif89 ? -1 : (int)(rng() % 3) - 1;  // none, 0 (forever) or n
        if (loop > 0) loop = 1 + rng() % 1000;
        u32 count = gif89 ? 1 + rng() % 5 : 1 + rng() % 2;
        std::vector<GenFrame> frames;
        for (u32 k = 0; k < count; k++) {
            GenFrame g;
            RefFrame& f = g.ref;
            // Inside, partly outside, or wholly outside the screen.
            u32 where = rng() % 4;
            f.x = where == 3 ? W + rng() % 20 : rng() % W;
            f.y = where == 3 ? rng() % H : rng() % H;
            f.w = where == 0 ? W - f.x : 1 + rng() % (W + 10);
            f.h = where == 0 ? H - f.y : 1 + rng() % (H + 10);
            if (k == 0 && rng() % 2) f.x = f.y = 0, f.w = W, f.h = H;
            f.interlaced = rng() % 3 == 0;
            g.local = !global || rng() % 3 == 0;
            f.palette = g.local ? random_palette(rng, 1u << bits) : gpal;
            f.indices = random_indices(rng, f.w * f.h, colours);
            g.control = gif89 && rng() % 4 != 0;
            if (g.control) {
                f.disposal = rng() % 4;
                f.delay = rng() % 50;
                f.transparent = rng() % 2 ? (i32)(rng() % colours) : 256;
            }
            frames.push_back(g);
        }
        Bytes file = giflib_write(W, H, gpal, gif89, loop, frames);
        ASSERT_FALSE(file.empty()) << round;
        ASSERT_EQ(file[4], gif89 ? '9' : '7');
        // giflib reads back what it wrote...
        GiflibFile g = giflib_read(file);
        ASSERT_TRUE(g.ok) << round;
        ASSERT_EQ(g.frames.size(), frames.size());
        for (size_t k = 0; k < frames.size(); k++) ASSERT_EQ(g.frames[k].indices, frames[k].ref.indices);
        EXPECT_EQ(g.loop_present, loop >= 0);
        // ...and we compose the same pictures, with the same probe figures.
        Decoded d = decode_all(file);
        ASSERT_TRUE(d.ok) << round << ": " << error_name(d.err.code) << " at " << d.err.offset;
        EXPECT_EQ(compare(g, d), "") << round;
        std::vector<RefFrame> refs;
        for (auto& f : frames) refs.push_back(f.ref);
        EXPECT_EQ(d.frames, reference_compose(W, H, refs)) << round;
        ImageInfo info;
        CodecError err;
        ASSERT_TRUE(probe_image(file.data(), file.size(), &info, &err));
        EXPECT_EQ(info.frame_count, count);
        EXPECT_EQ(info.play_count, loop < 0 ? 1u : loop == 0 ? 0u : (u32)loop + 1);
        files++;
    }
    EXPECT_EQ(files, 120u);
}

// ---- The decode job ----------------------------------------------------------------------

// A job with its memory laid out as the application lays it out.
struct JobRun {
    Bytes bytes;
    ImageInfo info{};
    CodecError err{};
    std::vector<u8> memory;
    DecodeJob job{};
    bool ok = false;
    explicit JobRun(const Bytes& b) : bytes(b) {
        if (!probe_image(bytes.data(), bytes.size(), &info, &err)) return;
        u64 scratch = align64(info.scratch_bytes), pixels = align64(info.pixel_bytes);
        memory.assign(scratch + pixels + 64, 0xCD);
        u8* base = (u8*)(((uintptr_t)memory.data() + 63) & ~(uintptr_t)63);
        ok = start_job(&job, ByteSpan{bytes.data(), bytes.size()}, &info, base, info.scratch_bytes, base + scratch,
                       &err);
    }
    std::vector<u32> picture() const {
        std::vector<u32> p((size_t)info.width * info.height);
        for (u32 y = 0; y < info.height; y++)
            memcpy(&p[(size_t)y * info.width], job.pixels.pixels + y * job.pixels.stride, 4 * (size_t)info.width);
        return p;
    }
};

TEST(GifJob, FramesForwardBackDelaysAndWholeImage) {
    fs::path p = fs::path(QB_SHARED_DIR) / "corpus" / "gif" / "giflib" / "pic" / "welcome2.gif";
    if (!fs::exists(p)) GTEST_SKIP() << "no corpus at " << p << " (../shared is absent)";
    Bytes file = read_all(p);
    GiflibFile g = giflib_read(file);
    ASSERT_TRUE(g.ok);
    auto want = reference_compose(g.width, g.height, g.frames);
    JobRun r(file);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.info.decoder, (u32)DECODER_GIF);
    EXPECT_EQ(r.info.frame_count, 6u);
    EXPECT_EQ(r.info.play_count, 1001u);
    EXPECT_EQ(r.info.pixel_bytes, row_stride(r.info.width) * r.info.height + 32);
    // Delays before any decode, and 0 past the last frame.
    for (u32 k = 0; k < 6; k++) EXPECT_EQ(frame_delay(&r.job, k), g.frames[k].delay) << k;
    EXPECT_EQ(frame_delay(&r.job, 6), 0u);
    CodecError err;
    for (u32 k : {0u, 1u, 2u, 5u, 2u, 3u, 0u, 4u}) {
        r.job.requested_frame = k;
        ASSERT_TRUE(decode_step(&r.job, &err)) << k;
        EXPECT_EQ(r.job.decoded_frame, (i32)k);
        ASSERT_EQ(r.picture(), want[k]) << k;
    }
    // The whole image is the job's own buffer: RGBA, no swap.
    EXPECT_EQ(full_resolution_bytes(&r.job), 0u);
    PixelBuffer whole;
    ASSERT_TRUE(full_resolution_pixels(&r.job, nullptr, &whole, &err));
    EXPECT_EQ(whole.pixels, r.job.pixels.pixels);
    EXPECT_EQ(whole.width, r.info.width);
    EXPECT_EQ(whole.height, r.info.height);
    // A tile with red and blue swapped, edge-filled past the screen.
    r.job.swap_red_blue = true;
    std::vector<u8> tile(256 * 1024);
    PixelBuffer t = {tile.data(), 1024, 256, 256};
    ASSERT_TRUE(render_tile(&r.job, 0, 1, 0, &t, &err));
    u32 v = want[4][(size_t)0 * g.width + 256];
    u32 swapped = (v & 0xFF00FF00u) | ((v & 0xFF) << 16) | ((v >> 16) & 0xFF);
    EXPECT_EQ(((u32*)tile.data())[0], swapped);
    EXPECT_FALSE(render_tile(&r.job, 1, 0, 0, &t, &err));
    EXPECT_EQ(err.code, (u32)ERR_BAD_TARGET);
    // A frame past the end.
    r.job.requested_frame = 6;
    EXPECT_FALSE(decode_step(&r.job, &err));
    EXPECT_EQ(err.code, (u32)ERR_BAD_TARGET);
}

TEST(GifJob, AFailingFrameKeepsTheLastGoodPicture) {
    std::mt19937 rng(9);
    std::vector<GenFrame> frames;
    for (u32 k = 0; k < 6; k++) {
        GenFrame g;
        g.ref.x = k, g.ref.y = k, g.ref.w = 20 - k, g.ref.h = 12;
        g.ref.indices = random_indices(rng, g.ref.w * g.ref.h, 16);
        g.ref.delay = 10 * k;
        g.ref.disposal = k % 4;
        g.control = true;
        frames.push_back(g);
    }
    std::vector<u32> pal = random_palette(rng, 16);
    Bytes file = giflib_write(24, 16, pal, true, 0, frames);
    ASSERT_FALSE(file.empty());
    JobRun clean(file);
    ASSERT_TRUE(clean.ok);
    // Frame 3 gets an impossible first code.
    GifInfo info;
    ImageHeader header;
    CodecError err;
    ASSERT_TRUE(gif_read_header(file.data(), file.size(), &header, &info, &err));
    GifFrame f;
    ASSERT_TRUE(gif_frame_info(file.data(), file.size(), &info, 3, &f, &err));
    Bytes broken = file;
    broken[f.code_size_pos + 2] = 0xFF;
    broken[f.code_size_pos + 3] = 0xFF;
    JobRun r(broken);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(frame_delay(&r.job, 4), 40u);
    r.job.requested_frame = 5;
    EXPECT_FALSE(decode_step(&r.job, &err));
    EXPECT_EQ(err.code, (u32)ERR_BAD_HEADER);
    EXPECT_EQ(err.offset, f.code_size_pos + 2);
    // The canvas shows frame 2, and the job says so.
    EXPECT_EQ(r.job.decoded_frame, 2);
    clean.job.requested_frame = 2;
    ASSERT_TRUE(decode_step(&clean.job, &err));
    EXPECT_EQ(r.picture(), clean.picture());
    // Frames before the broken one still work, backwards and forwards.
    r.job.requested_frame = 1;
    ASSERT_TRUE(decode_step(&r.job, &err));
    r.job.requested_frame = 2;
    ASSERT_TRUE(decode_step(&r.job, &err));
    EXPECT_EQ(r.picture(), clean.picture());
}
