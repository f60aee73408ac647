// The shared WebP corpus against libwebp: every lossless file (stills, the
// colour-indexing and cache cases, the first frame of lossless animations)
// and every lossy file (the VP8 conformance vectors, alpha planes raw and
// compressed with every filter, lossy first frames of animations) decodes
// bit-exact to libwebp's RGBA; the libwebp test vectors also match their
// reference images.
#include <gtest/gtest.h>

#include "codec/probe.h"
#include "tests/codec/webp/libwebp_support.h"
#include "tests/codec/webp/webp_support.h"

using namespace webp_test;

static std::vector<fs::path> corpus_files() {
    std::vector<fs::path> files;
    for (const auto& e : fs::recursive_directory_iterator(corpus_dir())) {
        if (e.is_regular_file() && e.path().extension() == ".webp") files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Lossless or lossy as libwebp's own feature reader sees it (any frame
// lossy counts as lossy, as does a lossless image under lossy alpha).
static bool ref_is_lossless(const std::vector<u8>& file, bool* animated) {
    WebPBitstreamFeatures f;
    if (WebPGetFeatures(file.data(), file.size(), &f) != VP8_STATUS_OK) return false;
    *animated = f.has_animation != 0;
    return f.format == 2;
}

// Whether the file (or an animation's first frame) has an ALPH chunk.
static bool has_alpha_chunk(const std::vector<u8>& file) {
    const char* tag = "ALPH";
    return std::search(file.begin(), file.end(), tag, tag + 4) != file.end();
}

TEST(WebpCorpus, EveryFileBitExact) {
    if (!fs::exists(corpus_dir())) GTEST_SKIP() << "no shared corpus at " << corpus_dir().string();
    int lossless = 0, lossy = 0, lossy_alpha = 0, animated_count = 0;
    for (const auto& path : corpus_files()) {
        SCOPED_TRACE(path.string());
        std::vector<u8> file = read_file(path);
        ImageHeader header;
        CodecError err;
        ASSERT_TRUE(webp_read_header(file.data(), file.size(), &header, &err)) << err.code << " at " << err.offset;
        bool animated = false;
        int ref_w = 0, ref_h = 0;
        ASSERT_TRUE(WebPGetInfo(file.data(), file.size(), &ref_w, &ref_h));
        EXPECT_EQ(header.width, (u32)ref_w);
        EXPECT_EQ(header.height, (u32)ref_h);
        EXPECT_EQ(header.sample_bits, 8u);
        if (!ref_is_lossless(file, &animated) && !animated) {
            EXPECT_NE(header.flags & WEBP_FLAG_LOSSY, 0u);
            EXPECT_EQ(header.pixel_format, (header.flags & WEBP_FLAG_ALPHA) ? (u32)Yuv420A_8 : (u32)Yuv420_8);
            lossy_alpha += has_alpha_chunk(file);
            RefImage ref = ref_decode_file(file);
            ASSERT_TRUE(ref.ok);
            Decoded ours = decode_lossy(file);
            ASSERT_TRUE(ours.ok) << ours.err.code << " at " << ours.err.offset;
            ASSERT_EQ(ours.width, (u32)ref.width);
            ASSERT_EQ(ours.height, (u32)ref.height);
            EXPECT_TRUE(ours.rgba == ref.rgba);
            lossy++;
            continue;
        }
        RefImage ref = ref_decode(file);
        ASSERT_TRUE(ref.ok);
        if (animated) {
            EXPECT_NE(header.flags & WEBP_FLAG_ANIMATED, 0u);
            animated_count++;
            WebPData whole = {file.data(), file.size()};
            WebPDemuxer* demux = WebPDemux(&whole);
            ASSERT_NE(demux, nullptr);
            EXPECT_EQ(header.frame_count, WebPDemuxGetI(demux, WEBP_FF_FRAME_COUNT));
            WebPIterator it;
            ASSERT_TRUE(WebPDemuxGetFrame(demux, 1, &it));
            bool first_lossy = it.fragment.size > 4 && memcmp(it.fragment.bytes, "VP8 ", 4) == 0;
            first_lossy = first_lossy || (it.fragment.size > 4 && memcmp(it.fragment.bytes, "ALPH", 4) == 0);
            WebPDemuxReleaseIterator(&it);
            WebPDemuxDelete(demux);
            if (first_lossy) {
                Decoded ours = decode_lossy(file);
                ASSERT_TRUE(ours.ok) << ours.err.code << " at " << ours.err.offset;
                EXPECT_TRUE(ours.rgba == ref.rgba);
                lossy++;
                continue;
            }
        } else {
            EXPECT_EQ(header.flags & WEBP_FLAG_LOSSY, 0u);
            EXPECT_EQ(header.pixel_format, (u32)Rgba8Straight);
        }
        Decoded ours = decode_whole(file);
        ASSERT_TRUE(ours.ok) << ours.err.code << " at " << ours.err.offset;
        ASSERT_EQ(ours.width, (u32)ref.width);
        ASSERT_EQ(ours.height, (u32)ref.height);
        EXPECT_TRUE(ours.rgba == ref.rgba);
        lossless++;
    }
    EXPECT_GT(lossless, 40);
    EXPECT_GT(lossy, 40);
    EXPECT_GT(lossy_alpha, 4);
    EXPECT_GE(animated_count, 2);
}

// The test vectors of one picture through every transform combination
// decode to that picture (a PAM file beside them).
TEST(WebpCorpus, TestVectorsMatchTheirReference) {
    fs::path dir = corpus_dir() / "libwebp-test-data";
    if (!fs::exists(dir)) GTEST_SKIP() << "no shared corpus at " << dir.string();
    auto pam_pixels = [](const fs::path& p) {
        std::vector<u8> bytes = read_file(p);
        const char* end_tag = "ENDHDR\n";
        auto it = std::search(bytes.begin(), bytes.end(), end_tag, end_tag + 7);
        return std::vector<u8>(it + 7, bytes.end());
    };
    std::vector<u8> grid = pam_pixels(dir / "grid.pam");
    std::vector<u8> peak = pam_pixels(dir / "peak.pam");
    for (int v = 0; v < 16; v++) {
        for (int set = 1; set <= 2; set++) {
            std::string name = "lossless_vec_" + std::to_string(set) + "_" + std::to_string(v) + ".webp";
            SCOPED_TRACE(name);
            Decoded d = decode_whole(read_file(dir / name));
            ASSERT_TRUE(d.ok) << d.err.code << " at " << d.err.offset;
            EXPECT_TRUE(d.rgba == (set == 1 ? grid : peak));
        }
    }
    Decoded d = decode_whole(read_file(dir / "lossless_color_transform.webp"));
    ASSERT_TRUE(d.ok);
    EXPECT_TRUE(d.rgba == pam_pixels(dir / "lossless_color_transform.pam"));
}
