#include "poll/Handler.h"

namespace {

volatile sig_atomic_t running = 1;

void stop(int) { running = 0; }

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
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
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

bool Handler::isRunning() { return running != 0; }

sigset_t Handler::waitMask() {
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    sigdelset(&mask, SIGTERM);
    sigdelset(&mask, SIGINT);
    return mask;
}

} // namespace Poll
