#include "output/print.h"

#include <cstring>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "TestOutput.h"

namespace {

TEST(Print, WritesOneLineWithNewline) {
    EXPECT_EQ(captureStdout([] { print("Frontend pid=", 123); }), "Frontend pid=123\n");
    EXPECT_EQ(captureStdout([] { print("Lumora model=", "", ", supported=", 0); }), "Lumora model=, supported=0\n");
}

TEST(Print, StopsAtTheFirstArgumentThatDoesNotFit) {
    static char big[1020];
    std::memset(big, 'a', sizeof big);
    TemporaryStringView first(big, 1020);
    std::string out = captureStdout([&] { print(first, "toolong", "ok"); });
    EXPECT_EQ(out, std::string(1020, 'a') + "\n"); // "ok" would have fitted, but is skipped
}

TEST(Print, FullLineStillGetsItsNewline) {
    static char full[1023];
    std::memset(full, 'b', sizeof full);
    std::string out = captureStdout([&] { print(TemporaryStringView(full, 1023)); });
    EXPECT_EQ(out.size(), 1024u);
    EXPECT_EQ(out.back(), '\n');
}

} // namespace
