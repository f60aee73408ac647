#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/args.h"
#include "platform/quote.h"

static std::vector<std::string> split(const std::string& line) {
    Arena arena;
    EXPECT_TRUE(arena_init(&arena, 1 << 20));
    ByteSpan l = {(u8*)line.data(), line.size()};
    std::vector<std::string> out;
    u64 n = argument_count(l);
    for (u64 i = 0; i < n; i++) {
        ByteSpan a = argument(l, i, &arena);
        EXPECT_EQ(a.data[a.size], 0) << "copies carry a terminator";
        out.emplace_back((const char*)a.data, a.size);
    }
    EXPECT_EQ(argument(l, n, &arena).data, nullptr);
    return out;
}

using V = std::vector<std::string>;

TEST(CommandLine, ProgramName) {
    EXPECT_EQ(split("quorbel.exe a.png"), (V{"quorbel.exe", "a.png"}));
    // Quotes toggle and are dropped; backslashes are literal; no blank skip.
    EXPECT_EQ(split("\"C:\\Program Files\\q.exe\" x"), (V{"C:\\Program Files\\q.exe", "x"}));
    EXPECT_EQ(split("C:\\a\\\"b c\"\\q.exe"), (V{"C:\\a\\b c\\q.exe"}));
    EXPECT_EQ(split(" lead x"), (V{"", "lead", "x"}));
    EXPECT_EQ(split(""), V{});
}

TEST(CommandLine, QuotesAndBackslashes) {
    EXPECT_EQ(split("q \"a b.png\" c"), (V{"q", "a b.png", "c"}));
    // Three backslashes and a quote: one backslash and a literal quote.
    EXPECT_EQ(split("q a\\\\\\\"b"), (V{"q", "a\\\"b"}));
    // Two backslashes and a quote: one backslash, and the quote opens quoting
    // so the following space stays in the argument.
    EXPECT_EQ(split("q a\\\\\"b c\" d"), (V{"q", "a\\b c", "d"}));
    // Backslashes not before a quote are copied as they are.
    EXPECT_EQ(split("q C:\\dir\\\\x.png"), (V{"q", "C:\\dir\\\\x.png"}));
    EXPECT_EQ(split("q C:\\dir\\"), (V{"q", "C:\\dir\\"}));
    // "" inside quotes is a literal quote; outside it is an empty toggle.
    EXPECT_EQ(split("q \"a\"\"b\" \"\" x\"\"y"), (V{"q", "a\"b", "", "xy"}));
    EXPECT_EQ(split("q \t a\t\tb  "), (V{"q", "a", "b"}));
    EXPECT_EQ(split("q \"unterminated arg"), (V{"q", "unterminated arg"}));
    EXPECT_EQ(split("q --test x --test"), (V{"q", "--test", "x", "--test"}));
}

TEST(CommandLine, QuotingRoundTrips) {
    const V args = {"plain", "with space", "", "a\"b", "tail\\", "tail\\\\ x", "\\\"", "\t", "c:\\p q\\"};
    std::string line;
    std::vector<u8> buf(256);
    u64 n = quote_argument(lit("C:\\Program Files\\q.exe"), true, buf.data(), buf.size());
    ASSERT_GT(n, 0u);
    line.assign((const char*)buf.data(), n);
    for (const std::string& a : args) {
        n = quote_argument(ByteSpan{(u8*)a.data(), a.size()}, false, buf.data(), buf.size());
        ASSERT_GT(n, 0u) << a;
        line += " " + std::string((const char*)buf.data(), n);
    }
    V expected = {"C:\\Program Files\\q.exe"};
    expected.insert(expected.end(), args.begin(), args.end());
    EXPECT_EQ(split(line), expected);
    // Too little room, and a quote in a program name, cannot be written.
    EXPECT_EQ(quote_argument(lit("a b"), false, buf.data(), 4), 0u);
    EXPECT_EQ(quote_argument(lit("a\"b"), true, buf.data(), buf.size()), 0u);
}
