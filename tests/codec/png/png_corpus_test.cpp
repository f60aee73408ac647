// Every PNG of the shared corpus against libpng: files libpng decodes must
// decode bit-exact in the native canvas and in the RGBA display; the
// deliberately broken PngSuite files (names starting with x) must fail. The
// few files where our stricter reader and libpng disagree are listed with the
// rule that decides them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "png_reference.h"

using namespace pngtest;
namespace fs = std::filesystem;

static Bytes read_all(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

static std::vector<fs::path> pngs_under(const fs::path& dir) {
    std::vector<fs::path> out;
    if (!fs::exists(dir)) return out;
    for (auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file() && e.path().extension() == ".png") out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

static fs::path corpus() {
    return fs::path(QB_SHARED_DIR) / "corpus";
}

// Files libpng decodes that we refuse, with the error we give.
static const std::map<std::string, std::string> k_we_refuse = {
    // Palette indexes past the end of PLTE: a data fault at the PLTE data.
    {"badpal/regression-palette-8.png", "bad_header"},
    {"badpal/small-palette-1.png", "bad_header"},
    {"badpal/small-palette-2.png", "bad_header"},
    {"badpal/small-palette-4.png", "bad_header"},
    {"badpal/small-palette-8.png", "bad_header"},
    {"badpal/test-palette-1.png", "bad_header"},
    {"badpal/test-palette-2.png", "bad_header"},
    {"badpal/test-palette-4.png", "bad_header"},
    {"badpal/test-palette-8.png", "bad_header"},
    {"invalid_palette_index.png", "bad_header"},
    // A cHRM of length 0 before the image data (libpng only warns).
    {"crashers/empty_ancillary_chunks.png", "bad_header"},
    // A second iCCP chunk (libpng ignores it).
    {"bugfixes/issue#1825.png", "bad_header"},
};

TEST(PngCorpus, PngSuiteMatchesLibpng) {
    fs::path dir = corpus() / "png" / "pngsuite";
    if (!fs::exists(dir)) GTEST_SKIP() << "no corpus at " << dir << " (../shared is absent)";
    u32 valid = 0, broken = 0;
    for (const fs::path& p : pngs_under(dir)) {
        Bytes file = read_all(p);
        std::string name = p.filename().string();
        Decoded ours = decode(file);
        if (name[0] == 'x') {
            EXPECT_FALSE(ours.ok) << name;
            broken++;
            continue;
        }
        RefImage ref = ref_decode(file);
        ASSERT_TRUE(ref.ok) << name;
        ASSERT_TRUE(ours.ok) << name << " " << err_text(ours.err);
        EXPECT_TRUE(ours.canvas == ref_canvas(ref, ours.plan.pixel_format)) << name << " canvas";
        EXPECT_TRUE(ours.display == ref_display(ref)) << name << " display";
        if (!ours.plan.animated) {
            Decoded job = decode_display_only(file);
            ASSERT_TRUE(job.ok) << name << " " << err_text(job.err);
            EXPECT_TRUE(job.display == ours.display) << name << " display only";
        }
        valid++;
    }
    EXPECT_GE(valid, 150u);
    EXPECT_EQ(broken, 14u);
}

TEST(PngCorpus, OtherSuitesAgreeWithLibpng) {
    fs::path root = corpus() / "png";
    if (!fs::exists(root)) GTEST_SKIP() << "no corpus at " << root << " (../shared is absent)";
    u32 compared = 0;
    for (const char* sub : {"libpng-testpngs", "image-png", "pillow"}) {
        for (const fs::path& p : pngs_under(root / sub)) {
            Bytes file = read_all(p);
            std::string rel = fs::relative(p, root / sub).generic_string();
            std::string base = p.filename().string();
            Decoded ours = decode(file);
            RefImage ref = ref_decode(file);
            auto refuse = k_we_refuse.find(rel);
            if (refuse == k_we_refuse.end()) refuse = k_we_refuse.find(base);
            if (refuse != k_we_refuse.end()) {
                ASSERT_FALSE(ours.ok) << rel;
                ByteSpan n = codec_error_name(ours.err.code);
                EXPECT_EQ(std::string((const char*)n.data, n.size), refuse->second) << rel;
                continue;
            }
            if (!ref.ok) {
                EXPECT_FALSE(ours.ok) << rel << " libpng refuses it";
                continue;
            }
            EXPECT_TRUE(ours.ok) << rel << " " << err_text(ours.err);
            if (!ours.ok) continue;
            EXPECT_TRUE(ours.canvas == ref_canvas(ref, ours.plan.pixel_format)) << rel << " canvas";
            EXPECT_TRUE(ours.display == ref_display(ref)) << rel << " display";
            compared++;
        }
    }
    EXPECT_GT(compared, 100u);
}
