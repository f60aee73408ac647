#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/files.h"

static std::u16string wide(const std::string& path, const char* suffix, bool* ok) {
    std::vector<u16> out(WIDE_PATH_UNITS + 1, 0xBEEF);
    *ok = wide_path(ByteSpan{(u8*)path.data(), path.size()}, suffix, out.data());
    EXPECT_EQ(out[WIDE_PATH_UNITS], 0xBEEF);
    if (!*ok) return u"";
    size_t n = 0;
    while (n < WIDE_PATH_UNITS && out[n] != 0) n++;
    EXPECT_LT(n, WIDE_PATH_UNITS) << "no terminating NUL";
    return std::u16string(out.begin(), out.begin() + n);
}

static std::u16string wide(const std::string& path, const char* suffix = "") {
    bool ok = false;
    std::u16string w = wide(path, suffix, &ok);
    EXPECT_TRUE(ok) << path;
    return w;
}

TEST(WidePath, Prefixes) {
    EXPECT_EQ(wide("C:\\photos\\a.png"), u"\\\\?\\C:\\photos\\a.png");
    // A network path drops its two leading backslashes after the UNC prefix.
    EXPECT_EQ(wide("\\\\server\\share\\f.png"), u"\\\\?\\UNC\\server\\share\\f.png");
    // Used as given: relative, and "." and ".." are left alone.
    EXPECT_EQ(wide("a.png"), u"\\\\?\\a.png");
    EXPECT_EQ(wide("C:\\x\\..\\.\\y"), u"\\\\?\\C:\\x\\..\\.\\y");
    EXPECT_EQ(wide("\\single"), u"\\\\?\\\\single");
}

TEST(WidePath, SuffixesAndText) {
    EXPECT_EQ(wide("C:\\d\\", "*"), u"\\\\?\\C:\\d\\*");
    EXPECT_EQ(wide("C:\\d\\out.jpg", ".quorbel-tmp"), u"\\\\?\\C:\\d\\out.jpg.quorbel-tmp");
    EXPECT_EQ(wide("C:\\\xC3\xA9\xF0\x9F\x98\x80"), u"\\\\?\\C:\\\u00E9\U0001F600");
    EXPECT_EQ(wide("C:\\\xFF"), u"\\\\?\\C:\\\uFFFD");
}

TEST(WidePath, LengthLimit) {
    bool ok = false;
    // Prefix (4) + path + NUL fill exactly 32767 units.
    std::string fits(32767 - 4 - 1, 'a');
    EXPECT_EQ(wide(fits, "", &ok).size(), 32766u);
    EXPECT_TRUE(ok);
    wide(fits + "a", "", &ok);
    EXPECT_FALSE(ok);
    // The suffix takes its room from the path.
    wide(fits, "*", &ok);
    EXPECT_FALSE(ok);
    wide(fits.substr(1), "*", &ok);
    EXPECT_TRUE(ok);
    // Network form: prefix of 8 units, two bytes of the path dropped.
    std::string unc = "\\\\" + std::string(32767 - 8 - 1, 'b');
    wide(unc, "", &ok);
    EXPECT_TRUE(ok);
    wide(unc + "b", "", &ok);
    EXPECT_FALSE(ok);
    // A path counted in units: a four-byte character takes two.
    std::string pairs;
    for (int i = 0; i < (32767 - 4 - 1) / 2; i++) pairs += "\xF0\x9F\x98\x80";
    wide(pairs, "", &ok);
    EXPECT_TRUE(ok);
    wide(pairs + "\xF0\x9F\x98\x80", "", &ok);
    EXPECT_FALSE(ok);
}
