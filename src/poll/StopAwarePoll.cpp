#include "poll/StopAwarePoll.h"

#include <csignal>
#include <pthread.h>

int Poll::pollUntilSignal(pollfd* fds, nfds_t count) {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    sigdelset(&mask, SIGTERM);
    sigdelset(&mask, SIGINT);
    return ppoll(fds, count, nullptr, &mask);
}
