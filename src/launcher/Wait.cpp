#include "launcher/Wait.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <sys/wait.h>

#include "poll/Handler.h"
#include "util/Clock.h"

Wait::Wait(bool noHang) {
    if (noHang)
        pid = ::waitpid(-1, &status, WNOHANG);
    else
        block(nullptr);
    if (pid == -1 && errno != EINTR) perror("wait()");
}

Wait::Wait(const timespec& deadline) {
    block(&deadline);
    if (pid == -1 && errno == ECHILD) {
        // Nothing to reap until a worker is started again: just sleep, with
        // SIGCHLD blocked as between waits (the guard may have recorded its
        // mask before SIGCHLD was blocked).
        sigset_t mask = Poll::Handler::waitMask();
        sigaddset(&mask, SIGCHLD);
        Clock::sleepUntil(deadline, mask);
        pid = Poll::Handler::isRunning() ? 0 : -1;
        errno = EINTR;
    }
    if (pid == -1 && errno != EINTR) perror("wait()");
}

void Wait::block(const timespec* deadline) {
    status = 0;
    // SIGCHLD and the stop signals stay blocked between polls, and ppoll
    // unblocks them atomically: neither a child's end nor a stop can slip in
    // between the check and the wait.
    sigset_t mask = Poll::Handler::waitMask();
    sigdelset(&mask, SIGCHLD);
    while ((pid = ::waitpid(-1, &status, WNOHANG)) == 0) {
        timespec left;
        if (deadline != nullptr && !Clock::remaining(*deadline, left)) return; // pid 0: the time is up
        ::ppoll(nullptr, 0, deadline != nullptr ? &left : nullptr, &mask);
        if (!Poll::Handler::isRunning()) {
            pid = -1;
            errno = EINTR;
            return;
        }
    }
}
