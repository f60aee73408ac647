// The state dump's pieces: the region hash and the published text.
#include <gtest/gtest.h>

#include <vector>

#include "app/main_loop.h"

// CRC-32 bit by bit, from the definition (reflected 0xEDB88320, inverted
// before and after).
static u32 crc_reference(const std::vector<u8>& bytes) {
    u32 crc = 0xFFFFFFFFu;
    for (u8 b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

TEST(TestChannel, RegionHashCoversBlueGreenRedOfEachPixel) {
    const int w = 1500, h = 7;  // rows wider than the hash's staging buffer
    std::vector<u32> px((size_t)w * h);
    u32 x = 12345;
    for (u32& p : px) {
        x = x * 1103515245u + 12345u;
        p = x;
    }
    std::vector<u8> bytes;
    for (int j = 2; j < 2 + 4; j++) {
        for (int i = 3; i < 3 + 1400; i++) {
            u32 p = px[(size_t)j * w + i];
            bytes.push_back((u8)p);
            bytes.push_back((u8)(p >> 8));
            bytes.push_back((u8)(p >> 16));
        }
    }
    EXPECT_EQ(region_hash(px.data(), w, 3, 2, 1400, 4), crc_reference(bytes));
    // The fourth byte is not hashed.
    u32 before = region_hash(px.data(), w, 3, 2, 1400, 4);
    for (u32& p : px) p ^= 0xFF000000u;
    EXPECT_EQ(region_hash(px.data(), w, 3, 2, 1400, 4), before);
    px[(size_t)3 * w + 10] ^= 0x00000100u;
    EXPECT_NE(region_hash(px.data(), w, 3, 2, 1400, 4), before);
    EXPECT_EQ(region_hash(px.data(), w, 0, 0, 0, 0), 0u);
}
