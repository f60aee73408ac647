// The QOI decoder against the reference qoi.h: pictures its encoder wrote
// (3 and 4 channels), and random op streams, where every stream we accept
// must decode to the reference's pixels.
#include <gtest/gtest.h>

#include <random>

#define QOI_IMPLEMENTATION
#define QOI_NO_STDIO
#include <qoi.h>

#include "codec/qoi/qoi.h"
#include "qoi_support.h"

using namespace decodetest;
using namespace qoitest;

static Bytes reference_decode(const Bytes& f, u32 channels) {
    qoi_desc desc;
    void* px = ::qoi_decode(f.data(), (int)f.size(), &desc, (int)channels);
    if (!px) return {};
    Bytes out((u8*)px, (u8*)px + (size_t)desc.width * desc.height * channels);
    free(px);
    if (channels == 3) {
        Bytes rgba;
        for (size_t i = 0; i < out.size(); i += 3) rgba.insert(rgba.end(), {out[i], out[i + 1], out[i + 2], 255});
        return rgba;
    }
    return out;
}

TEST(QoiReference, EncodedPictures) {
    for (u32 channels : {3u, 4u}) {
        for (u32 w : {1u, 33u, 256u}) {
            u32 h = 57;
            Bytes px = test_picture(w, h, channels == 4, w);
            Bytes packed;
            for (size_t i = 0; i < px.size(); i += 4)
                packed.insert(packed.end(), px.begin() + (long)i, px.begin() + (long)i + channels);
            qoi_desc desc = {w, h, (unsigned char)channels, QOI_SRGB};
            int len = 0;
            void* enc = qoi_encode(packed.data(), &desc, &len);
            ASSERT_NE(enc, nullptr);
            Bytes f((u8*)enc, (u8*)enc + len);
            free(enc);
            Decoded d = run(qoi_probe, ::qoi_decode, f);
            ASSERT_TRUE(d.ok) << d.err.code << " at " << d.err.offset;
            Bytes want = reference_decode(f, channels);
            EXPECT_EQ(d.rgba, want) << first_difference(d.rgba, want, w, 0);
        }
    }
}

TEST(QoiReference, RandomOpStreams) {
    std::mt19937 rng(7);
    int accepted = 0;
    for (int iter = 0; iter < 300; iter++) {
        u32 w = 1 + rng() % 40, h = 1 + rng() % 10;
        Bytes f = qoi_header(w, h, 4, 0);
        u32 covered = 0;
        while (covered < w * h) {
            switch (rng() % 6) {
            case 0: f.insert(f.end(), {0xFE, (u8)rng(), (u8)rng(), (u8)rng()}); covered++; break;
            case 1: f.insert(f.end(), {0xFF, (u8)rng(), (u8)rng(), (u8)rng(), (u8)rng()}); covered++; break;
            case 2: f.push_back((u8)(rng() % 64)); covered++; break;
            case 3: f.push_back((u8)(0x40 | rng() % 64)); covered++; break;
            case 4: f.insert(f.end(), {(u8)(0x80 | rng() % 64), (u8)rng()}); covered++; break;
            default: {
                u32 r = rng() % 62;
                f.push_back((u8)(0xC0 | r));
                covered += r + 1;
            }
            }
        }
        qoi_end(f);
        Decoded d = run(qoi_probe, ::qoi_decode, f);
        if (!d.ok) continue;  // a run past the end that overshot: the marker check
        accepted++;
        Bytes want = reference_decode(f, 4);
        ASSERT_EQ(d.rgba, want) << "stream " << iter << ": " << first_difference(d.rgba, want, w, 0);
    }
    EXPECT_GT(accepted, 250);
}
