// The hand-over payload of WM_COPYDATA: what a second start writes reads
// back whole, and a payload that is cut, padded, miscounted or unterminated
// is refused before any of it is used.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/handover.h"
#include "platform/utf.h"

static std::vector<u8> payload_of(const std::vector<std::string>& paths) {
    std::vector<ByteSpan> spans;
    for (auto& p : paths) spans.push_back(ByteSpan{(u8*)p.data(), p.size()});
    std::vector<u16> units(1 << 16);
    u64 n = handover_payload(spans.data(), (u32)spans.size(), units.data(), units.size());
    std::vector<u8> bytes;
    for (u64 i = 0; i < n; i++) {
        bytes.push_back((u8)(units[i] & 0xFF));
        bytes.push_back((u8)(units[i] >> 8));
    }
    return bytes;
}

// The paths a payload holds, as UTF-8, or {"<refused>"}.
static std::vector<std::string> read_back(const std::vector<u8>& bytes, u32 capacity = 32, u64 shift = 0) {
    std::vector<u8> at(bytes.size() + shift);  // `shift` bytes in: any alignment
    std::copy(bytes.begin(), bytes.end(), at.begin() + shift);
    std::vector<u64> offsets(capacity), lengths(capacity);
    u32 count = 99;
    if (!read_handover_payload(at.data() + shift, bytes.size(), offsets.data(), lengths.data(), capacity, &count)) {
        EXPECT_EQ(count, 0u);
        return {"<refused>"};
    }
    std::vector<std::string> out;
    for (u32 i = 0; i < count; i++) {
        std::vector<u16> units(lengths[i]);
        for (u64 k = 0; k < lengths[i]; k++) {
            const u8* b = at.data() + shift + 2 * (offsets[i] + k);
            units[k] = (u16)(b[0] | (b[1] << 8));
        }
        std::vector<u8> utf8(lengths[i] * 3);
        u64 length = 0;
        EXPECT_TRUE(utf8_from_utf16(units.data(), units.size(), utf8.data(), utf8.size(), &length));
        out.emplace_back((const char*)utf8.data(), length);
    }
    return out;
}

static void put_unit(std::vector<u8>* bytes, u16 unit) {
    bytes->push_back((u8)(unit & 0xFF));
    bytes->push_back((u8)(unit >> 8));
}

TEST(Handover, PayloadsReadBackWhole) {
    using V = std::vector<std::string>;
    V one = {"C:\\Pictures\\a.png"};
    EXPECT_EQ(read_back(payload_of(one)), one);
    V several = {"C:\\a.png", "\\\\server\\share\\b c.jpg", "D:\\\xC3\xBC\xF0\x9F\x98\x80.gif"};  // ü and an emoji
    std::vector<u8> bytes = payload_of(several);
    EXPECT_EQ(read_back(bytes), several);
    EXPECT_EQ(read_back(bytes, 32, 1), several);  // unaligned, as a message may hand it over
    // Count, then each path and its NUL.
    EXPECT_EQ(bytes[0], 3);
    EXPECT_EQ(bytes[1] | bytes[2] | bytes[3], 0);
    EXPECT_EQ(bytes.size(), 2 * (2 + 9 + 23 + 11));
    // The longest path there may be.
    V longest = {std::string(HANDOVER_MAX_PATH_UNITS, 'x')};
    EXPECT_EQ(read_back(payload_of(longest)), longest);
}

TEST(Handover, TheWriterRefusesWhatCannotTravel) {
    std::string good = "C:\\a.png";
    std::string too_long(HANDOVER_MAX_PATH_UNITS + 1, 'x');
    std::string with_nul("C:\\a\0b.png", 10);
    std::vector<u16> units(1 << 17);
    auto write = [&](std::vector<ByteSpan> spans, u64 capacity) {
        return handover_payload(spans.data(), (u32)spans.size(), units.data(), capacity);
    };
    ByteSpan g = {(u8*)good.data(), good.size()};
    EXPECT_EQ(write({g}, units.size()), 2u + 9u);
    EXPECT_EQ(write({g}, 11), 11u);
    EXPECT_EQ(write({g}, 10), 0u);
    EXPECT_EQ(write({}, units.size()), 0u);
    EXPECT_EQ(write({ByteSpan{nullptr, 0}}, units.size()), 0u);
    EXPECT_EQ(write({ByteSpan{(u8*)too_long.data(), too_long.size()}}, units.size()), 0u);
    EXPECT_EQ(write({ByteSpan{(u8*)with_nul.data(), with_nul.size()}}, units.size()), 0u);
    std::vector<ByteSpan> many(HANDOVER_MAX_PATHS + 1, g);
    EXPECT_EQ(write(many, units.size()), 0u);
    many.pop_back();
    EXPECT_GT(write(many, units.size()), 0u);
}

TEST(Handover, MalformedPayloadsAreRefused) {
    using V = std::vector<std::string>;
    const V refused = {"<refused>"};
    std::vector<u8> good = payload_of({"C:\\a.png", "C:\\b.png"});
    ASSERT_EQ(read_back(good), (V{"C:\\a.png", "C:\\b.png"}));

    // Cut anywhere, or padded: refused.
    for (size_t cut = 0; cut < good.size(); cut++) {
        std::vector<u8> shorter(good.begin(), good.begin() + cut);
        EXPECT_EQ(read_back(shorter), refused) << "cut at " << cut;
    }
    std::vector<u8> padded = good;
    padded.push_back(0);
    EXPECT_EQ(read_back(padded), refused);  // odd size
    put_unit(&padded, 0);
    padded.erase(padded.begin() + (long)good.size());
    EXPECT_EQ(padded.size(), good.size() + 2);
    EXPECT_EQ(read_back(padded), refused);  // a unit after the last path

    // The count must match the paths, and the capacity must hold them.
    std::vector<u8> b = good;
    b[0] = 3;
    EXPECT_EQ(read_back(b), refused);
    b[0] = 1;
    EXPECT_EQ(read_back(b), refused);  // one path, then bytes left over
    b[0] = 0;
    EXPECT_EQ(read_back(b), refused);
    b[0] = 2;
    b[2] = 1;  // 65538 paths
    EXPECT_EQ(read_back(b), refused);
    EXPECT_EQ(read_back(good, 1), refused);

    // An empty path (two NULs in a row) or an unterminated last path.
    std::vector<u8> empty_path;
    put_unit(&empty_path, 2);
    put_unit(&empty_path, 0);
    for (u16 u : {(u16)'a', (u16)0, (u16)0}) put_unit(&empty_path, u);
    EXPECT_EQ(read_back(empty_path), refused);
    std::vector<u8> unterminated;
    put_unit(&unterminated, 1);
    put_unit(&unterminated, 0);
    for (u16 u : {(u16)'a', (u16)'b'}) put_unit(&unterminated, u);
    EXPECT_EQ(read_back(unterminated), refused);

    // A path one unit too long; a payload over the limit.
    std::vector<u8> long_path;
    put_unit(&long_path, 1);
    put_unit(&long_path, 0);
    for (u64 i = 0; i <= HANDOVER_MAX_PATH_UNITS; i++) put_unit(&long_path, 'x');
    put_unit(&long_path, 0);
    EXPECT_EQ(read_back(long_path), refused);
    std::vector<u8> huge;
    put_unit(&huge, 64);
    put_unit(&huge, 0);
    for (u32 p = 0; p < 64; p++) {
        for (u32 i = 0; i < 8200; i++) put_unit(&huge, 'x');
        put_unit(&huge, 0);
    }
    ASSERT_GT(huge.size(), HANDOVER_MAX_BYTES);
    EXPECT_EQ(read_back(huge, 64), refused);
    EXPECT_EQ(read_back({}), refused);
}
