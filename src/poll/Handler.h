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
    // Blocks the stop signals and records the mask to wait with, once for this
    // process: a worker sets up its own guard after fork, with its own mask.
    Handler();
    ~Handler();
    Handler(const Handler&) = delete;
    Handler& operator=(const Handler&) = delete;

    static bool isRunning();

    // The mask to wait with: the one in force when the guard was set up, without
    // the stop signals. With no guard alive (a test of the waits alone) it is
    // the current mask without them, asked of the kernel.
    static sigset_t waitMask();
};

} // namespace Poll
