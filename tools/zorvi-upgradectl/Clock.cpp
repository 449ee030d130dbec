#include "Clock.h"

#include <ctime>

Clock::Time Clock::now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<Time>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

int Clock::millisecondsUntil(Time deadline) {
    const Time left = deadline - now();
    return left <= 0 ? 0 : static_cast<int>(left);
}
