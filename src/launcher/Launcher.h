#pragma once

#include "UnixSocket/Pair.h"
#include "launcher/Worker.h"
#include "poll/Handler.h"

// Owns the worker pair for its whole life, forks the frontend (end 0) and the
// backend (end 1), restarts whichever ends, and stops both on SIGTERM/SIGINT.
class Launcher {
public:
    Launcher(WorkerEntry frontend, WorkerEntry backend);
    Launcher(const Launcher&) = delete;
    Launcher& operator=(const Launcher&) = delete;

    void run(Poll::Handler& handler);

    UnixSocket::Pair& pair() { return pair_; }
    Worker& frontend() { return frontend_; }
    Worker& backend() { return backend_; }

private:
    bool superviseOnce(Poll::Handler& handler);
    void startWhenDue(Worker& worker);
    void shutDown();

    // The SIGCHLD set-up must be in place before the first fork.
    struct ChildSignal {
        ChildSignal();
    } childSignal_;
    // Keep both ends open: a restarted worker takes the very same end, and
    // nothing queued in the pair is lost while a worker is replaced.
    UnixSocket::Pair pair_;
    Worker frontend_;
    Worker backend_;
};
