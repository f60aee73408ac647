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
