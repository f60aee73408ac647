// The shared corpus: every file the decoder accepts decodes through all
// stages and matches libjpeg-turbo exactly at full resolution (CMYK and
// YCCK through the viewers' rule on its CMYK decode); the refused ones
// (12-bit, arithmetic-coded, lossless) fail with the expected
// error; damaged files never crash and end with an error or an image.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "jpeg_support.h"
#include "libjpeg_support.h"

namespace fs = std::filesystem;

namespace {

const fs::path kRoot = fs::path(QB_SHARED_DIR) / "corpus" / "jpeg";

std::vector<u8> read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<u8>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<fs::path> files_under(const fs::path& dir) {
    std::vector<fs::path> out;
    if (!fs::exists(dir)) return out;
    for (auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file() && (e.path().extension() == ".jpg" || e.path().extension() == ".jpeg")) out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

TEST(JpegCorpus, RefusedFilesGiveTheirErrors) {
    if (!fs::exists(kRoot)) GTEST_SKIP() << "corpus not found at " << kRoot;
    std::map<std::string, u32> expected = {
        {"libjpeg-turbo/testorig12.jpg", ERR_UNSUPPORTED},
        {"libjpeg-turbo/monkey12.jpg", ERR_UNSUPPORTED},
        {"libjpeg-turbo/testimgari.jpg", ERR_UNSUPPORTED},
        {"jpeg-decoder/reftest/lossless/jpeg_lossless_sel1.jpg", ERR_UNSUPPORTED},
        {"jpeg-decoder/reftest/lossless/MR4.jpg", ERR_UNSUPPORTED},
        {"jpeg-decoder/crashtest/empty.jpg", ERR_TRUNCATED},
    };
    for (auto& [name, code] : expected) {
        fs::path p = kRoot / name;
        if (!fs::exists(p)) {
            ADD_FAILURE() << "missing corpus file " << name;
            continue;
        }
        DecodeResult r;
        EXPECT_FALSE(run_decoder(read_file(p), &r, true)) << name;
        EXPECT_EQ(r.stage, "probe") << name;
        EXPECT_EQ(r.error.code, code) << name;
    }
    DecodeResult r;
    run_decoder(read_file(kRoot / "libjpeg-turbo/testorig12.jpg"), &r, false);
    EXPECT_EQ(r.error.offset, 0u);
}

TEST(JpegCorpus, AcceptedFilesMatchTheReference) {
    if (!fs::exists(kRoot)) GTEST_SKIP() << "corpus not found at " << kRoot;
    const char* groups[] = {"libjpeg-turbo", "jpeg-decoder/reftest", "pillow"};
    u32 decoded = 0, exact = 0, refused = 0;
    for (const char* g : groups) {
        for (const fs::path& p : files_under(kRoot / g)) {
            std::vector<u8> file = read_file(p);
            DecodeResult r;
            bool ok = run_decoder(file, &r, true);
            if (!ok) {
                refused++;
                printf("refused  %-60s %s code %u at %llu\n", fs::relative(p, kRoot).c_str(), r.stage.c_str(),
                       r.error.code, (unsigned long long)r.error.offset);
                continue;
            }
            decoded++;
            RefImage ref = ref_decode(file, 1, true, JCS_EXT_RGBA);
            if (!ref.ok) {
                // CMYK and YCCK: libjpeg-turbo's CMYK decode through the
                // viewers' rule, R = C K / 255 and so on, rounded.
                ref = ref_decode(file, 1, true, JCS_CMYK);
                for (size_t i = 0; ref.ok && i < ref.pixels.size(); i += 4) {
                    u8* q = &ref.pixels[i];
                    for (u32 c = 0; c < 3; c++) q[c] = (u8)(((u32)q[c] * q[3] + 127) / 255);
                    q[3] = 255;
                }
            }
            if (!ref.ok || ref.width != r.info.width || ref.height != r.info.height) continue;
            if (ref.pixels == r.full) {
                exact++;
            } else {
                int mx = 0;
                for (size_t i = 0; i < ref.pixels.size(); i++) mx = std::max(mx, std::abs(ref.pixels[i] - r.full[i]));
                printf("differs  %-60s max %d\n", fs::relative(p, kRoot).c_str(), mx);
            }
        }
    }
    printf("corpus: %u decoded (%u equal to libjpeg-turbo), %u refused\n", decoded, exact, refused);
    EXPECT_GE(decoded, 63u);  // measured: 63 of the 76 files of these groups
    EXPECT_EQ(exact, decoded);
}

TEST(JpegCorpus, DamagedFilesNeverCrash) {
    if (!fs::exists(kRoot)) GTEST_SKIP() << "corpus not found at " << kRoot;
    u32 count = 0;
    for (const fs::path& p : files_under(kRoot / "jpeg-decoder/crashtest")) {
        DecodeResult r;
        bool ok = run_decoder(read_file(p), &r, true);
        if (!ok) {
            EXPECT_NE(r.error.code, 0u) << p;
        }
        count++;
    }
    EXPECT_GT(count, 100u);
}

}  // namespace
