#pragma once

// Real signals for tests of the waits: handlers installed like the service's own
// (no SA_RESTART), stop signals kept blocked outside the waits, senders in a child.

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

// Counts deliveries of one signal; restores the previous disposition on exit.
class CountingHandler {
public:
    explicit CountingHandler(int signal) : signal_(signal) {
        counts()[signal] = 0;
        struct sigaction action {};
        action.sa_handler = [](int s) { counts()[s] = counts()[s] + 1; };
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, &old_);
    }
    ~CountingHandler() { sigaction(signal_, &old_, nullptr); }
    int count() const { return counts()[signal_]; }

private:
    static volatile sig_atomic_t* counts() {
        static volatile sig_atomic_t perSignal[NSIG];
        return perSignal;
    }
    int signal_;
    struct sigaction old_ {};
};

// Blocks one signal in this thread for the scope, as the service keeps SIGTERM and
// SIGINT blocked. Unblocking at the end delivers what is still pending.
class BlockedSignal {
public:
    explicit BlockedSignal(int signal) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, signal);
        pthread_sigmask(SIG_BLOCK, &set, &old_);
    }
    ~BlockedSignal() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    static bool pending(int signal) {
        sigset_t set;
        sigpending(&set);
        return sigismember(&set, signal) == 1;
    }

private:
    sigset_t old_;
};

// A child process that sends `signal` to this one after a delay; killed and reaped on exit.
class DelayedSignal {
public:
    DelayedSignal(int signal, useconds_t delay) {
        const pid_t parent = getpid();
        child_ = fork();
        if (child_ == 0) {
            usleep(delay);
            kill(parent, signal);
            _exit(0);
        }
    }
    ~DelayedSignal() {
        if (child_ > 0) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
    }

private:
    pid_t child_;
};

// Bounds a test that blocks: a wait that never ends kills the test process.
struct Watchdog {
    Watchdog() { alarm(20); }
    ~Watchdog() { alarm(0); }
};

} // namespace testsupport
