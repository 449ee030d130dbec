#include "output/print.h"

#include <cstring>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// Runs `body` with standard output redirected to a pipe and returns what it wrote.
template <class F>
std::string captureStdout(F body) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    body();
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string out;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof chunk)) > 0) out.append(chunk, static_cast<size_t>(n));
    close(fds[0]);
    return out;
}

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
