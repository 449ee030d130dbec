#include "poll/Handler.h"

namespace {

volatile sig_atomic_t running = 1;

// Recorded when the stop signals are blocked: the workers wait on every
// request, and asking the kernel for the mask each time cost a system call.
sigset_t recordedWaitMask;
bool recorded = false;

void stop(int) { running = 0; }

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

sigset_t withoutStopSignals(sigset_t mask) {
    sigdelset(&mask, SIGTERM);
    sigdelset(&mask, SIGINT);
    return mask;
}

} // namespace

namespace Poll {

Handler::Handler() {
    struct sigaction action = {};
    action.sa_handler = stop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a stop ends the wait in progress
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigset_t set = stopSignals();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &set, &previous);
    recordedWaitMask = withoutStopSignals(previous);
    recorded = true;
}

// The signals stay blocked. The record goes: a wait after the guard's end may
// find the mask changed since.
Handler::~Handler() { recorded = false; }

bool Handler::isRunning() { return running != 0; }

sigset_t Handler::waitMask() {
    if (recorded) return recordedWaitMask;
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    return withoutStopSignals(mask);
}

} // namespace Poll
