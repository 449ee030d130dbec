#include "launcher/Launcher.h"

#include <csignal>
#include <ctime>
#include <poll.h>
#include <unistd.h>

#include "launcher/Wait.h"
#include "util/Clock.h"

namespace {

constexpr int kGracePasses = 100;
constexpr useconds_t kGracePassMicroseconds = 20000;

void childEnded(int) {}

bool earlier(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

} // namespace

Launcher::ChildSignal::ChildSignal() {
    // A handler (not SIG_DFL, which discards the signal) so that ppoll in
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

void Launcher::startWhenDue(Worker& worker) {
    if (worker.waiting() && Clock::reached(worker.restartAt())) worker.restart(*this);
}

bool Launcher::superviseOnce(Poll::Handler& handler) {
    // A worker that lived long enough is started again at once; one that ended
    // (or failed to fork) within its restart pause waits for the rest of it,
    // while the other worker is still reaped and restarted meanwhile.
    startWhenDue(frontend_);
    startWhenDue(backend_);
    bool pending = frontend_.waiting() || backend_.waiting();
    timespec deadline{};
    if (frontend_.waiting()) deadline = frontend_.restartAt();
    if (backend_.waiting() && (!frontend_.waiting() || earlier(backend_.restartAt(), deadline)))
        deadline = backend_.restartAt();
    Wait wait = pending ? Wait(deadline) : Wait(false);
    if (!handler.isRunning()) {
        // Forget what ended, start nothing.
        frontend_.process().reap(wait);
        backend_.process().reap(wait);
        return false;
    }
    if (frontend_.process().reap(wait)) startWhenDue(frontend_);
    if (backend_.process().reap(wait)) startWhenDue(backend_);
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

void Launcher::run(Poll::Handler& handler) {
    while (handler.isRunning())
        if (!superviseOnce(handler)) break;
    shutDown();
}
