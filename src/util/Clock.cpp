#include "util/Clock.h"

#include <poll.h>

namespace Clock {

namespace {
constexpr long kNanoseconds = 1000000000L;
} // namespace

timespec now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

timespec after(const timespec& start, time_t seconds) { return timespec{start.tv_sec + seconds, start.tv_nsec}; }

bool remaining(const timespec& deadline, timespec& left) {
    timespec t = now();
    left.tv_sec = deadline.tv_sec - t.tv_sec;
    left.tv_nsec = deadline.tv_nsec - t.tv_nsec;
    if (left.tv_nsec < 0) {
        left.tv_nsec += kNanoseconds;
        --left.tv_sec;
    }
    return left.tv_sec > 0 || (left.tv_sec == 0 && left.tv_nsec > 0);
}

bool reached(const timespec& deadline) {
    timespec left;
    return !remaining(deadline, left);
}

void sleepUntil(const timespec& deadline, const sigset_t& mask) {
    timespec left;
    if (remaining(deadline, left)) ::ppoll(nullptr, 0, &left, &mask);
}

} // namespace Clock
