#include "output/Buffer.h"

#include <cfloat>
#include <climits>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string text(const Buffer& b) { return std::string(b.data(), b.length()); }

// Fills the buffer with 'x' up to `length` bytes.
void fillTo(Buffer& b, uint32_t length) {
    b.clear();
    static char filler[Buffer::kMaxContent];
    std::memset(filler, 'x', sizeof filler);
    ASSERT_TRUE(b.append(TemporaryStringView(filler, length)));
}

TEST(BufferIntegers, RenderEveryWidthInDecimal) {
    struct Case {
        const char* expected;
        bool (*append)(Buffer&);
    } cases[] = {
        {"0", [](Buffer& b) { return b.append(0); }},
        {"-1", [](Buffer& b) { return b.append(-1); }},
        {"-2147483648", [](Buffer& b) { return b.append(int32_t{INT32_MIN}); }},
        {"4294967295", [](Buffer& b) { return b.append(uint32_t{UINT32_MAX}); }},
        {"-9223372036854775808", [](Buffer& b) { return b.append(int64_t{INT64_MIN}); }},
        {"18446744073709551615", [](Buffer& b) { return b.append(uint64_t{UINT64_MAX}); }},
        {"65535", [](Buffer& b) { return b.append(uint16_t{65535}); }},
    };
    for (const Case& c : cases) {
        Buffer b;
        EXPECT_TRUE(c.append(b)) << c.expected;
        EXPECT_EQ(text(b), c.expected);
    }
}

TEST(BufferIntegers, FillToTheLastContentByteButNoFurther) {
    Buffer b;
    fillTo(b, 1018);
    EXPECT_TRUE(b.append(12345));
    EXPECT_EQ(b.length(), 1023u);
    EXPECT_EQ(text(b).substr(1018), "12345");

    fillTo(b, 1022);
    EXPECT_TRUE(b.append(7));
    EXPECT_EQ(b.length(), 1023u);

    fillTo(b, 1022);
    EXPECT_FALSE(b.append(-5)); // the '-' may be scribbled, but is not counted
    EXPECT_EQ(b.length(), 1022u);

    fillTo(b, 1023);
    EXPECT_FALSE(b.append(0));
    EXPECT_EQ(b.length(), 1023u);
}

TEST(BufferFloating, FormatsAsPrintfWould) {
    Buffer b;
    EXPECT_TRUE(b.append(0.1f));
    EXPECT_EQ(text(b), "0.100000001");
    b.clear();
    EXPECT_TRUE(b.append(0.1));
    EXPECT_EQ(text(b), "0.10000000000000001");
    b.clear();
    EXPECT_TRUE(b.append(1.0f));
    b.append(' ');
    EXPECT_TRUE(b.append(1.0));
    EXPECT_EQ(text(b), "1 1");

    struct {
        double value;
        const char* expected;
    } fixed[] = {{12.5, "12.500"}, {2.0 / 3.0, "0.667"}, {-0.0004, "-0.000"}, {100.0, "100.000"}, {0.215, "0.215"}};
    for (auto& c : fixed) {
        b.clear();
        EXPECT_TRUE(b.appendFixed3(c.value));
        EXPECT_EQ(text(b), c.expected);
    }
}

TEST(BufferFloating, NeedOneByteMoreThanTheTextBecauseOfTheTerminator) {
    Buffer b;
    fillTo(b, 1018);
    EXPECT_FALSE(b.appendFixed3(1.0));
    EXPECT_EQ(b.length(), 1018u);
    fillTo(b, 1017);
    EXPECT_TRUE(b.appendFixed3(1.0));
    EXPECT_EQ(text(b).substr(1017), "1.000");
    fillTo(b, 1023);
    EXPECT_FALSE(b.append(1.5));
}

TEST(BufferText, RefusedAppendLeavesContentByteForByte) {
    Buffer b;
    fillTo(b, 1000);
    std::string before = text(b);
    char big[24];
    std::memset(big, 'y', sizeof big);
    EXPECT_FALSE(b.append(TemporaryStringView(big, 24)));
    EXPECT_EQ(text(b), before);
    EXPECT_TRUE(b.append(TemporaryStringView(big, 23))); // exactly the room left
    EXPECT_EQ(b.length(), 1023u);
    EXPECT_FALSE(b.append("z"));
    EXPECT_TRUE(b.append("")); // empty always fits
}

TEST(BufferText, CharacterIsDroppedSilentlyWhenFull) {
    Buffer b;
    fillTo(b, 1022);
    b.append(';');
    EXPECT_EQ(b.length(), 1023u);
    b.append(';');
    EXPECT_EQ(b.length(), 1023u);
}

TEST(StringViews, LiteralSizeExcludesTerminatorAndEqualityComparesBytes) {
    TemporaryStringView v("Frontend pid=");
    EXPECT_EQ(v.size(), 13u);
    EXPECT_TRUE(v == StringView("Frontend pid="));
    EXPECT_FALSE(v == StringView("Frontend pid"));
    EXPECT_FALSE(StringView("abc") == StringView("abd"));
    EXPECT_TRUE(StringView("abc").startsWith("ab"));
    EXPECT_FALSE(StringView("a").startsWith("ab"));
    EXPECT_EQ(StringView("a;b").find(';'), 1u);
    EXPECT_EQ(StringView("ab").find(';'), 2u);
    EXPECT_TRUE(StringView("abc").dropFront(5).empty());
}

} // namespace
