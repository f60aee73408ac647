// Corpus differential test: the IDAT stream of every PNG under
// ../shared/corpus (kodak photos, the PNG suites, animated PNGs' default
// images) inflated by us, in one call and the way the PNG decoder feeds it
// (64 KiB slices into a 128 KiB window), must equal zlib's result: the same
// bytes when zlib succeeds, a failure when it fails.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "inflate_support.h"

using namespace qbtest;

static Bytes idat_stream(const Bytes& png) {
    Bytes z;
    size_t pos = 8;
    while (pos + 12 <= png.size()) {
        u32 len = ((u32)png[pos] << 24) | ((u32)png[pos + 1] << 16) | ((u32)png[pos + 2] << 8) | png[pos + 3];
        if (len > png.size() || pos + 12 + len > png.size()) break;
        if (memcmp(&png[pos + 4], "IDAT", 4) == 0) z.insert(z.end(), &png[pos + 8], &png[pos + 8 + len]);
        pos += 12 + len;
    }
    return z;
}

TEST(InflateCorpus, IdatStreamsMatchZlib) {
    std::filesystem::path root = std::filesystem::path(QB_SHARED_DIR) / "corpus";
    if (!std::filesystem::is_directory(root)) GTEST_SKIP() << "no corpus at " << root << ": skipped";
    u32 streams = 0, decoded = 0;
    // zlib's output buffer, with room for any image of the corpus.
    const size_t cap = 64 << 20;
    Bytes buffer(cap);
    for (auto& e : std::filesystem::recursive_directory_iterator(root)) {
        if (!e.is_regular_file() || e.path().extension() != ".png") continue;
        std::ifstream f(e.path(), std::ios::binary);
        Bytes png((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        Bytes z = idat_stream(png);
        if (z.empty()) continue;
        streams++;
        z_stream zs = {};
        inflateInit(&zs);
        zs.next_in = z.data();
        zs.avail_in = (uInt)z.size();
        zs.next_out = buffer.data();
        zs.avail_out = (uInt)cap;
        bool ok = inflate(&zs, Z_FINISH) == Z_STREAM_END;
        Bytes ref(buffer.begin(), buffer.begin() + zs.total_out);
        size_t ref_in = zs.total_in;
        inflateEnd(&zs);

        Outcome once = run_once(z, ref.size() + 1);
        Outcome win = run_windowed(z, 128 * 1024, 65536);
        const std::string name = e.path().string();
        ASSERT_EQ(once.result == INFLATE_DONE, ok) << name << " error " << once.error;
        ASSERT_EQ(win.result == INFLATE_DONE, ok) << name << " error " << win.error;
        if (!ok) continue;
        decoded++;
        ASSERT_TRUE(once.out == ref) << name;
        ASSERT_TRUE(win.out == ref) << name;
        ASSERT_EQ(once.consumed, ref_in) << name;
    }
    EXPECT_GT(decoded, 0u) << streams << " streams";
}
