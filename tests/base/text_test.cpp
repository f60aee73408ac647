#include <gtest/gtest.h>

#include <string>

#include "base/text.h"

static std::string str(const TextBuffer& t) {
    return std::string((const char*)t.bytes, t.length);
}

TEST(TextBuffer, NumbersAndHex) {
    TextBuffer t;
    text_clear(&t);
    text_append_u64(&t, 0);
    text_append(&t, " ");
    text_append_u64(&t, 18446744073709551615ull);
    text_append(&t, " ");
    text_append_i64(&t, -1);
    text_append(&t, " ");
    text_append_i64(&t, INT64_MIN);
    text_append(&t, " ");
    text_append_i64(&t, 42);
    text_append(&t, " ");
    text_append_hex8(&t, 0x0A);
    text_append_hex8(&t, 0xF0);
    EXPECT_EQ(str(t), "0 18446744073709551615 -1 -9223372036854775808 42 0af0");
}

TEST(TextBuffer, NeverHoldsMoreThan1023Bytes) {
    TextBuffer t;
    text_clear(&t);
    std::string big(1000, 'a');
    text_append(&t, ByteSpan{(u8*)big.data(), big.size()});
    text_append(&t, ByteSpan{(u8*)big.data(), big.size()});
    EXPECT_EQ(t.length, 1023u);
    // A number that does not fit is cut, not wrapped around.
    text_clear(&t);
    std::string filler(1020, 'b');
    text_append(&t, ByteSpan{(u8*)filler.data(), filler.size()});
    text_append_u64(&t, 123456);
    EXPECT_EQ(str(t).substr(1020), "123");
    text_append_hex8(&t, 0xff);
    text_append_i64(&t, -5);
    EXPECT_EQ(t.length, 1023u);
    // The byte just past the cap is never written.
    t.bytes[1023] = 0x5A;
    text_append(&t, "xyz");
    EXPECT_EQ(t.bytes[1023], 0x5A);
}
