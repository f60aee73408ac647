#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/utf.h"

static std::vector<u16> to16(const std::string& s, u64 capacity, bool* ok) {
    std::vector<u16> out(capacity + 1, 0xBEEF);
    u64 n = 0;
    *ok = utf16_from_utf8(ByteSpan{(u8*)s.data(), s.size()}, out.data(), capacity, &n);
    EXPECT_EQ(out[capacity], 0xBEEF) << "wrote past the room";
    out.resize(*ok ? n : 0);
    return out;
}

static std::vector<u16> to16(const std::string& s) {
    bool ok = false;
    std::vector<u16> out = to16(s, 64, &ok);
    EXPECT_TRUE(ok);
    return out;
}

static bool to8(const std::vector<u16>& units, u64 capacity, std::string* out) {
    std::string buf(capacity + 1, '\x7E');
    u64 n = 0;
    bool ok = utf8_from_utf16(units.data(), units.size(), (u8*)buf.data(), capacity, &n);
    EXPECT_EQ(buf[capacity], '\x7E') << "wrote past the room";
    if (ok) *out = buf.substr(0, n);
    return ok;
}

TEST(Utf16To8, EncodesEveryWidthAndCombinesPairs) {
    std::string s;
    ASSERT_TRUE(to8({0x41, 0xE9, 0x20AC, 0xD83D, 0xDE00, 0x7F, 0x80, 0x7FF, 0x800, 0xFFFF}, 64, &s));
    EXPECT_EQ(s, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF");
    ASSERT_TRUE(to8({0xDBFF, 0xDFFF}, 4, &s));
    EXPECT_EQ(s, "\xF4\x8F\xBF\xBF");
    ASSERT_TRUE(to8({}, 0, &s));
    EXPECT_EQ(s, "");
}

TEST(Utf16To8, UnpairedSurrogatesFailTheWholeConversion) {
    std::string s = "unchanged";
    EXPECT_FALSE(to8({0x41, 0xDC00}, 64, &s));          // lone low
    EXPECT_FALSE(to8({0x41, 0xD800}, 64, &s));          // high at the end
    EXPECT_FALSE(to8({0xD800, 0x41}, 64, &s));          // high, then no low
    EXPECT_FALSE(to8({0xD800, 0xD800, 0xDC00}, 64, &s));  // high, high
    EXPECT_EQ(s, "unchanged");
}

TEST(Utf16To8, RoomExhaustion) {
    std::string s;
    EXPECT_TRUE(to8({0x20AC, 0x20AC}, 6, &s));
    EXPECT_FALSE(to8({0x20AC, 0x20AC}, 5, &s));
    EXPECT_TRUE(to8({0xD83D, 0xDE00}, 4, &s));
    EXPECT_FALSE(to8({0xD83D, 0xDE00}, 3, &s));
    EXPECT_FALSE(to8({0x41}, 0, &s));
}

TEST(Utf8To16, ReplacesMalformedBytesOneAtATime) {
    const u16 R = 0xFFFD;
    EXPECT_EQ(to16("a\xC3\xA9"), (std::vector<u16>{0x61, 0xE9}));
    EXPECT_EQ(to16("\xF0\x9F\x98\x80"), (std::vector<u16>{0xD83D, 0xDE00}));
    EXPECT_EQ(to16("\xC0\x80"), (std::vector<u16>{R, R}));              // overlong NUL
    EXPECT_EQ(to16("\xC1\xBF"), (std::vector<u16>{R, R}));              // overlong
    EXPECT_EQ(to16("\xE0\x80\xAF"), (std::vector<u16>{R, R, R}));       // overlong 3-byte
    EXPECT_EQ(to16("\xE0\xA0\x80"), (std::vector<u16>{0x800}));
    EXPECT_EQ(to16("\xED\xA0\x80"), (std::vector<u16>{R, R, R}));       // encoded surrogate
    EXPECT_EQ(to16("\xED\x9F\xBF"), (std::vector<u16>{0xD7FF}));
    EXPECT_EQ(to16("\xF0\x8F\xBF\xBF"), (std::vector<u16>{R, R, R, R}));  // overlong 4-byte
    EXPECT_EQ(to16("\xF4\x90\x80\x80"), (std::vector<u16>{R, R, R, R}));  // above U+10FFFF
    EXPECT_EQ(to16("\xF5\x80"), (std::vector<u16>{R, R}));
    EXPECT_EQ(to16("\xFF"), (std::vector<u16>{R}));
    EXPECT_EQ(to16("\xE2\x82"), (std::vector<u16>{R, R}));               // truncated at the end
    EXPECT_EQ(to16("\xE2\x82\x41"), (std::vector<u16>{R, R, 0x41}));     // broken in the middle
    EXPECT_EQ(to16("\x80z"), (std::vector<u16>{R, 0x7A}));               // stray continuation
    EXPECT_EQ(to16("\xF0\x9F\x98"), (std::vector<u16>{R, R, R}));
}

TEST(Utf8To16, RoomExhaustion) {
    bool ok = true;
    to16("\xF0\x9F\x98\x80", 1, &ok);  // a pair needs two units
    EXPECT_FALSE(ok);
    to16("\xF0\x9F\x98\x80", 2, &ok);
    EXPECT_TRUE(ok);
    to16("abc", 2, &ok);
    EXPECT_FALSE(ok);
    to16("\xFF\xFF", 1, &ok);  // replacements count too
    EXPECT_FALSE(ok);
    to16("", 0, &ok);
    EXPECT_TRUE(ok);
}

// Reference: at each position, take the 1..4 byte sequence that is the
// shortest-form encoding of a Unicode scalar value; otherwise U+FFFD for one
// byte. Written from the definition, independently of the decoder.
static std::vector<u16> reference16(const std::vector<u8>& b) {
    std::vector<u16> out;
    size_t i = 0;
    while (i < b.size()) {
        bool taken = false;
        for (size_t k = 1; k <= 4 && i + k <= b.size() && !taken; k++) {
            u32 lead = b[i];
            u32 cp;
            if (k == 1) {
                if (lead >= 0x80) continue;
                cp = lead;
            } else {
                u32 mask = 0xFF << (8 - k) & 0xFF;  // k leading ones then a zero
                if ((lead & (mask | (0x80 >> k))) != mask) continue;
                cp = lead & (0x7F >> k);
                bool cont = true;
                for (size_t j = 1; j < k; j++) {
                    if ((b[i + j] & 0xC0) != 0x80) cont = false;
                    cp = (cp << 6) | (b[i + j] & 0x3F);
                }
                if (!cont) continue;
                u32 shortest = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
                if (shortest != k || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) continue;
            }
            if (cp >= 0x10000) {
                out.push_back((u16)(0xD800 + ((cp - 0x10000) >> 10)));
                out.push_back((u16)(0xDC00 + ((cp - 0x10000) & 0x3FF)));
            } else {
                out.push_back((u16)cp);
            }
            i += k;
            taken = true;
        }
        if (!taken) {
            out.push_back(0xFFFD);
            i++;
        }
    }
    return out;
}

TEST(Utf8To16, MatchesTheDefinitionOnEveryShortSequence) {
    std::vector<u16> out(16);
    std::vector<u8> b;
    u64 mismatches = 0;
    // Every two-byte string, and every three-byte string with a multi-byte
    // lead, each followed by an ASCII byte so that truncation shows too.
    for (u32 x = 0; x < 0x10000; x++) {
        b = {(u8)(x >> 8), (u8)x, 'q'};
        u64 n = 0;
        ASSERT_TRUE(utf16_from_utf8(ByteSpan{b.data(), b.size()}, out.data(), out.size(), &n));
        if (std::vector<u16>(out.begin(), out.begin() + n) != reference16(b)) mismatches++;
    }
    for (u32 x = 0xE00000; x < 0x1000000; x++) {
        b = {(u8)(x >> 16), (u8)(x >> 8), (u8)x};
        u64 n = 0;
        ASSERT_TRUE(utf16_from_utf8(ByteSpan{b.data(), b.size()}, out.data(), out.size(), &n));
        if (std::vector<u16>(out.begin(), out.begin() + n) != reference16(b)) mismatches++;
    }
    EXPECT_EQ(mismatches, 0u);
}

TEST(Utf, EveryScalarValueRoundTrips) {
    u64 failures = 0;
    for (u32 cp = 0; cp <= 0x10FFFF; cp++) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        u16 units[2];
        u64 count = 1;
        if (cp >= 0x10000) {
            units[0] = (u16)(0xD800 + ((cp - 0x10000) >> 10));
            units[1] = (u16)(0xDC00 + ((cp - 0x10000) & 0x3FF));
            count = 2;
        } else {
            units[0] = (u16)cp;
        }
        u8 bytes[4];
        u64 length = 0;
        u16 back[2];
        u64 back_count = 0;
        bool ok = utf8_from_utf16(units, count, bytes, 4, &length) &&
                  utf16_from_utf8(ByteSpan{bytes, length}, back, 2, &back_count) && back_count == count &&
                  back[0] == units[0] && (count == 1 || back[1] == units[1]);
        if (!ok) failures++;
    }
    EXPECT_EQ(failures, 0u);
}
