#pragma once

#include <cstdint>

// Monotonic time, immune to clock changes (an upgrade may well set the clock).
class Clock {
public:
    using Time = int64_t; // milliseconds since some fixed point

    static Time now();
    static Time fromMilliseconds(int ms) { return ms; }
    static Time fromSeconds(double seconds) { return static_cast<Time>(seconds * 1000.0 + 0.5); }
    // 0 once `deadline` has passed.
    static int millisecondsUntil(Time deadline);
};
