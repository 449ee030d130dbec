#include "launcher/Wait.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <sys/wait.h>

#include "launcher/Handler.h"

Wait::Wait(bool noHang) {
    status = 0;
    if (noHang) {
        pid = ::waitpid(-1, &status, WNOHANG);
    } else {
        // SIGCHLD and the stop signals stay blocked between polls, and
        // sigsuspend unblocks them atomically: neither a child's end nor a stop
        // can slip in between the check and the wait.
        sigset_t mask = Handler::waitMask();
        sigdelset(&mask, SIGCHLD);
        while ((pid = ::waitpid(-1, &status, WNOHANG)) == 0) {
            ::sigsuspend(&mask);
            if (!Handler::isRunning()) {
                pid = -1;
                errno = EINTR;
                break;
            }
        }
    }
    if (pid == -1 && errno != EINTR) perror("wait()");
}
