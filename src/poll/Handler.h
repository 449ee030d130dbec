#pragma once

#include <csignal>

namespace Poll {

// The stop-signal guard that main, the frontend and the backend each hold.
// SIGTERM and SIGINT only clear a process-wide running flag. Both signals stay
// blocked outside the waits, and every blocking wait unblocks them atomically
// (ppoll, sigsuspend), so a stop that lands between the flag test and the wait
// still ends that wait at once.
class Handler {
public:
    Handler();

    static bool isRunning();

    // The mask to wait with: the current one without the stop signals.
    static sigset_t waitMask();
};

} // namespace Poll
