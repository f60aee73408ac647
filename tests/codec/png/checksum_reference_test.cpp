// CRC-32 and Adler-32 against zlib on long random buffers and pieces.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

#include "codec/png/adler32.h"
#include "codec/png/crc32.h"

TEST(ChecksumReference, MatchesZlib) {
    static Crc32Table t;
    crc32_make_table(&t);
    std::mt19937 rng(21);
    std::vector<u8> buf(300000);
    for (auto& b : buf) b = (u8)rng();
    u32 crc = 0, adler = 1;
    uLong zcrc = crc32(0, nullptr, 0), zadler = adler32(0, nullptr, 0);
    size_t pos = 0;
    while (pos < buf.size()) {
        size_t n = std::min(buf.size() - pos, (size_t)(rng() % 20000));
        crc = crc32_update(&t, crc, buf.data() + pos, n);
        adler = adler32_update(adler, buf.data() + pos, n);
        zcrc = crc32(zcrc, buf.data() + pos, (uInt)n);
        zadler = adler32(zadler, buf.data() + pos, (uInt)n);
        ASSERT_EQ(crc, (u32)zcrc);
        ASSERT_EQ(adler, (u32)zadler);
        pos += n;
    }
}
