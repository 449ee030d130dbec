#include "StopSignal.h"

#include <cstdlib>
#include <cstring>
#include <pthread.h>

namespace {
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
volatile sig_atomic_t gCaught = 0;
sigset_t gWaitMask;

void onSignal(int signal) { gCaught = signal; }
} // namespace

void StopSignal::install() {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int s : kSignals) sigaddset(&blocked, s);
    pthread_sigmask(SIG_BLOCK, &blocked, &gWaitMask);
    for (int s : kSignals) sigdelset(&gWaitMask, s);

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal; // no SA_RESTART: the wait must return
    sigemptyset(&action.sa_mask);
    for (int s : kSignals) sigaction(s, &action, nullptr);
}

int StopSignal::caught() { return gCaught; }

const sigset_t* StopSignal::waitMask() { return &gWaitMask; }

void StopSignal::dieOf(int signal) {
    std::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    std::_Exit(128 + signal); // not reached for the signals above
}
