#include "output/print.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

void writeLine(Buffer& line) {
    // Nothing else in the program writes through stdio's stdout buffer, but
    // flush it first so a stray stdio line can never land after ours.
    std::fflush(stdout);
    const char* p = line.data();
    uint32_t left = line.length();
    while (left > 0) {
        ssize_t n = ::write(STDOUT_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return; // errors on standard output are ignored
        p += n;
        left -= static_cast<uint32_t>(n);
    }
}
