#include "poll/StopAwarePoll.h"

#include "poll/Handler.h"

int Poll::pollUntilSignal(pollfd* fds, nfds_t count) {
    const sigset_t mask = Handler::waitMask();
    return ppoll(fds, count, nullptr, &mask);
}
