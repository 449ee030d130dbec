#include "launcher/Launcher.h"

#include <csignal>
#include <ctime>
#include <poll.h>
#include <unistd.h>

#include "launcher/Wait.h"

namespace {

constexpr int kGracePasses = 100;
constexpr useconds_t kGracePassMicroseconds = 20000;
constexpr time_t kForkRetrySeconds = 1;

void childEnded(int) {}

// Pauses before a fork is tried again; a stop signal ends the pause at once.
void pauseBeforeRetry() {
    timespec pause{kForkRetrySeconds, 0};
    sigset_t mask = Handler::waitMask();
    ppoll(nullptr, 0, &pause, &mask);
}

} // namespace

Launcher::ChildSignal::ChildSignal() {
    // A handler (not SIG_DFL, which discards the signal) so that sigsuspend in
    // a blocking Wait returns when a child ends; blocked outside that wait.
    struct sigaction action = {};
    action.sa_handler = childEnded;
    sigemptyset(&action.sa_mask);
    sigaction(SIGCHLD, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

Launcher::Launcher(WorkerEntry frontend, WorkerEntry backend)
    : pair_(), frontend_(frontend, 0, *this), backend_(backend, 1, *this) {}

bool Launcher::superviseOnce(Handler& handler) {
    // A worker whose fork failed has no child to wait for: try again shortly
    // rather than spinning on a wait that fails at once.
    if (frontend_.process().pid() < 0 || backend_.process().pid() < 0) {
        pauseBeforeRetry();
        if (!handler.isRunning()) return false;
        if (frontend_.process().pid() < 0) frontend_.restart(*this);
        if (backend_.process().pid() < 0) backend_.restart(*this);
        return true;
    }
    Wait wait(false);
    bool running = handler.isRunning();
    if (frontend_.process().reap(wait) && running) frontend_.restart(*this);
    running = handler.isRunning();
    if (backend_.process().reap(wait) && running) backend_.restart(*this);
    return true;
}

void Launcher::shutDown() {
    frontend_.process().terminate();
    backend_.process().terminate();
    for (int pass = 0; pass < kGracePasses; ++pass) {
        usleep(kGracePassMicroseconds);
        Wait wait(true);
        frontend_.process().reap(wait);
        backend_.process().reap(wait);
        if (frontend_.process().pid() < 0 && backend_.process().pid() < 0) break;
    }
}

void Launcher::run(Handler& handler) {
    while (handler.isRunning())
        if (!superviseOnce(handler)) break;
    shutDown();
}
