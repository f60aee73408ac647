// Animated PNG against the test's own compositor: every file of the shared
// APNG corpus and files built here, frame after frame, in the native canvas
// and the display. Built files cover every dispose and blend pair, frames at
// offsets, frame 0 as the IDAT image and outside it, data split into many
// chunks, and every colour type.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "png_apng.h"

using namespace pngtest;
namespace fs = std::filesystem;

static void expect_matches_compositor(const Bytes& file, const std::string& what) {
    FrameStates ours = decode_each_frame(file);
    ASSERT_TRUE(ours.ok) << what << " " << err_text(ours.err);
    ASSERT_TRUE(ours.plan.animated) << what;
    RefAnimation a = ref_split(file);
    ASSERT_TRUE(a.ok) << what;
    std::vector<Bytes> ref = ref_compose(a, ours.plan.pixel_format, ours.plan.pixel_size);
    ASSERT_EQ(ref.size(), ours.canvas.size()) << what;
    for (size_t f = 0; f < ref.size(); f++) {
        EXPECT_TRUE(ours.canvas[f] == ref[f]) << what << " frame " << f << " canvas";
        EXPECT_TRUE(ours.display[f] == ref_to_display(ref[f], ours.plan.pixel_format)) << what << " frame " << f;
    }
}

// Corpus files our reader refuses, with the rule.
static const std::map<std::string, std::string> k_refused = {
    {"chunk_multi_actl.png", "bad_header"},          // a second acTL
    {"chunk_actl_after_idat.png", "bad_header"},     // acTL after the image data
    {"chunk_no_actl.png", "bad_header"},             // fcTL in a file without acTL
    {"syntax_num_frames_invalid.png", "too_large"},  // num_frames 2^31 + 1
    {"chunk_no_fctl.png", "bad_header"},             // fcTL count differs from num_frames
    {"chunk_repeat_fctl.png", "bad_header"},         // fcTL while the last still awaits data
    {"chunk_no_fdat.png", "bad_header"},             // frame without data
    {"sequence_start.png", "bad_header"},
    {"sequence_gap.png", "bad_header"},
    {"sequence_repeat.png", "bad_header"},
    {"sequence_repeat_chunk.png", "bad_header"},
    {"sequence_reorder.png", "bad_header"},
    {"sequence_reorder_chunk.png", "bad_header"},
    {"sequence_fdat_fctl.png", "bad_header"},
    {"syntax_num_frames_high.png", "bad_header"},
    {"syntax_num_frames_low.png", "bad_header"},
    {"syntax_num_frames_zero.png", "bad_header"},
    {"syntax_num_frames_zero_default.png", "bad_header"},
};

TEST(ApngCorpus, EveryFrameMatchesCompositor) {
    fs::path dir = fs::path(QB_SHARED_DIR) / "corpus" / "apng";
    if (!fs::exists(dir)) GTEST_SKIP() << "no corpus at " << dir << " (../shared is absent)";
    std::vector<fs::path> files;
    for (auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    u32 animated = 0;
    for (const fs::path& p : files) {
        std::ifstream in(p, std::ios::binary);
        Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string name = p.filename().string();
        auto refused = k_refused.find(name);
        Decoded d = decode(file);
        if (refused != k_refused.end()) {
            EXPECT_FALSE(d.ok) << name;
            ByteSpan n = codec_error_name(d.err.code);
            EXPECT_EQ(std::string((const char*)n.data, n.size), refused->second) << name;
            continue;
        }
        EXPECT_TRUE(d.ok) << name << " " << err_text(d.err);
        if (!d.ok) continue;
        if (!d.plan.animated) {
            // Not animated after all (an acTL after the image data is skipped
            // as an unknown chunk would be): the still image against libpng.
            RefImage ref = ref_decode(file);
            ASSERT_TRUE(ref.ok) << name;
            EXPECT_TRUE(d.canvas == ref_canvas(ref, d.plan.pixel_format)) << name;
            continue;
        }
        expect_matches_compositor(file, name);
        animated++;
    }
    EXPECT_GT(animated, 30u);
}

// ---- Built files --------------------------------------------------------------------

// Filtered rows for a w x h frame of `type`/`depth` with pseudo-random
// samples; alpha covers 0, 255 and values between.
static Bytes frame_rows(u32 w, u32 h, u32 type, u32 depth, std::mt19937& rng, u32 palette = 0, u32 interlace = 0) {
    static const u32 xs[7] = {0, 4, 0, 2, 0, 1, 0}, ys[7] = {0, 0, 4, 0, 2, 0, 1};
    static const u32 dx[7] = {8, 8, 4, 4, 2, 2, 1}, dy[7] = {8, 8, 8, 4, 4, 2, 2};
    Bytes raw;
    for (u32 pass = 0; pass < (interlace ? 7u : 1u); pass++) {
        u32 pw = interlace ? (w > xs[pass] ? (w - xs[pass] + dx[pass] - 1) / dx[pass] : 0) : w;
        u32 ph = interlace ? (h > ys[pass] ? (h - ys[pass] + dy[pass] - 1) / dy[pass] : 0) : h;
        if (pw == 0 || ph == 0) continue;
        size_t rb = ((size_t)pw * channels(type) * depth + 7) / 8;
        for (u32 y = 0; y < ph; y++) {
            // Palette rows stay unfiltered so the indexes are the ones written.
            raw.push_back(type == 3 ? 0 : (u8)(rng() % 5));
            for (size_t i = 0; i < rb; i++) {
                u8 v = (u8)rng();
                if (rng() % 4 == 0) v = (rng() & 1) ? 0 : 255;
                if (type == 3 && depth == 8) v = (u8)(v % palette);
                if (type == 3 && depth < 8) v = 0;  // index 0 in every sample
                raw.push_back(v);
            }
        }
    }
    return raw;
}

static Bytes ihdr_of(u32 w, u32 h, u32 depth, u32 type, u32 interlace) {
    return ihdr_data(w, h, (u8)depth, (u8)type, (u8)interlace);
}

TEST(ApngBuilt, EveryDisposeAndBlendWithOffsets) {
    std::mt19937 rng(11);
    const u32 W = 37, H = 29;
    for (u32 type : {6u, 4u, 2u, 0u}) {
        for (u32 depth : {8u, 16u}) {
            for (u32 dispose = 0; dispose < 3; dispose++) {
                for (u32 blend = 0; blend < 2; blend++) {
                    for (int default_frame = 0; default_frame < 2; default_frame++) {
                        std::vector<ApngFrame> frames;
                        frames.push_back({W, H, 0, 0, (u8)dispose, (u8)blend, 1, 10, frame_rows(W, H, type, depth, rng)});
                        // Overlapping frames at offsets, one touching the far corner.
                        frames.push_back({11, 7, 3, 5, (u8)((dispose + 1) % 3), (u8)blend, 1, 0, frame_rows(11, 7, type, depth, rng)});
                        frames.push_back({W - 20, H - 9, 20, 9, (u8)dispose, (u8)(1 - blend), 0, 1, frame_rows(W - 20, H - 9, type, depth, rng)});
                        frames.push_back({5, 5, 1, 2, (u8)((dispose + 2) % 3), (u8)blend, 1, 3, frame_rows(5, 5, type, depth, rng)});
                        frames.push_back({W, 1, 0, H - 1, 0, 1, 1, 3, frame_rows(W, 1, type, depth, rng)});
                        Bytes file = make_apng(ihdr_of(W, H, depth, type, 0), {}, frames, default_frame != 0,
                                               frame_rows(W, H, type, depth, rng));
                        expect_matches_compositor(file, "type " + std::to_string(type) + " depth " + std::to_string(depth) +
                                                            " dispose " + std::to_string(dispose) + " blend " +
                                                            std::to_string(blend) + " default " + std::to_string(default_frame));
                    }
                }
            }
        }
    }
}

TEST(ApngBuilt, PaletteInterlacedAndSplitData) {
    std::mt19937 rng(12);
    Bytes extra;
    Bytes plte, trns;
    for (u32 i = 0; i < 200; i++) plte.insert(plte.end(), {(u8)i, (u8)(i * 3), (u8)(255 - i)});
    for (u32 i = 0; i < 100; i++) trns.push_back((u8)(i * 5));
    chunk(extra, "PLTE", plte);
    chunk(extra, "tRNS", trns);
    for (u32 interlace = 0; interlace < 2; interlace++) {
        for (size_t split : {0, 1, 5, 100}) {
            std::vector<ApngFrame> frames;
            frames.push_back({19, 17, 0, 0, 2, 0, 1, 10, frame_rows(19, 17, 3, 8, rng, 200, interlace)});
            frames.push_back({9, 8, 10, 9, 2, 1, 1, 10, frame_rows(9, 8, 3, 8, rng, 200, interlace)});
            frames.push_back({1, 1, 18, 16, 1, 1, 1, 10, frame_rows(1, 1, 3, 8, rng, 200, interlace)});
            frames.push_back({19, 17, 0, 0, 0, 1, 1, 10, frame_rows(19, 17, 3, 8, rng, 200, interlace)});
            Bytes file = make_apng(ihdr_of(19, 17, 8, 3, interlace), extra, frames, interlace == 0,
                                   frame_rows(19, 17, 3, 8, rng, 200, interlace), 3, split);
            expect_matches_compositor(file, "palette interlace " + std::to_string(interlace) + " split " +
                                                std::to_string(split));
        }
    }
}

TEST(ApngBuilt, ProbeReportsAnimationAndFrameControl) {
    std::mt19937 rng(13);
    std::vector<ApngFrame> frames;
    frames.push_back({4, 4, 0, 0, 0, 0, 1, 0, frame_rows(4, 4, 6, 8, rng)});
    frames.push_back({2, 2, 1, 1, 2, 1, 1, 3, frame_rows(2, 2, 6, 8, rng)});
    frames.push_back({3, 1, 0, 3, 1, 0, 7, 100, frame_rows(3, 1, 6, 8, rng)});
    Bytes file = make_apng(ihdr_of(4, 4, 8, 6, 0), {}, frames, false, frame_rows(4, 4, 6, 8, rng), 5);
    ImageInfo info;
    PngPlan plan;
    CodecError err;
    ASSERT_TRUE(png_probe(file.data(), file.size(), &info, &plan, &err)) << err_text(err);
    EXPECT_EQ(info.frame_count, 3u);
    EXPECT_EQ(info.play_count, 5u);
    EXPECT_EQ(plan.animated, 1u);
    EXPECT_EQ(plan.default_is_frame, 0u);
    EXPECT_EQ(plan.restore_bytes, 2u * 2 * 4);  // frame 1 is the only later frame with dispose 2
    EXPECT_EQ(info.scratch_bytes, align64(plan.workspace_bytes) + align64(16 * 4));
    EXPECT_EQ(info.pixel_bytes, 32u * 4 + 32);
    FrameControl fc;
    ASSERT_TRUE(png_frame_control(file.data(), file.size(), &plan, 2, &fc, &err));
    EXPECT_EQ(fc.sequence, 4u);  // fcTL 0, fdAT 1, fcTL 2, fdAT 3, fcTL 4
    EXPECT_EQ(fc.delay_num, 7u);
    EXPECT_EQ(fc.delay_den, 100u);
    EXPECT_EQ(fc.y, 3u);
    EXPECT_EQ(fc.dispose_op, 1u);
    EXPECT_FALSE(png_frame_control(file.data(), file.size(), &plan, 3, &fc, &err));
    EXPECT_EQ(err.code, ERR_BAD_TARGET);
    // The still plan of the same file decodes the default image, which is
    // not part of the animation, and has no frame controls.
    PngInfo pi;
    PngPlan still;
    PngStepPlan steps;
    ASSERT_TRUE(png_setup(file.data(), file.size(), PNG_STILL, &pi, &still, &steps, &err));
    EXPECT_EQ(still.animated, 0u);
    EXPECT_EQ(steps.phase_count, 2u);
    EXPECT_EQ(steps.phases[1].waits_for, 0);
    EXPECT_FALSE(png_frame_control(file.data(), file.size(), &still, 0, &fc, &err));
    EXPECT_FALSE(png_setup(file.data(), file.size(), 3, &pi, &still, &steps, &err));
    EXPECT_EQ(err.code, ERR_BAD_TARGET);
}
