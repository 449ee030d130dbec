#pragma once

#include <poll.h>

namespace Poll {

// poll() with no timeout that also wakes for SIGTERM and SIGINT while the caller
// keeps them blocked: it waits with Handler::waitMask(), so they are unblocked
// only for the wait itself, atomically, and a stop request sent just before the
// wait is never lost. Without blocked signals this is poll(fds, count, -1).
// Returns poll's result; errno EINTR on a signal.
int pollUntilSignal(pollfd* fds, nfds_t count);

} // namespace Poll
