#pragma once

#include <sys/types.h>

#include "UnixSocket/Socket.h"

class Launcher;
class Wait;

// A worker's entry: runs in the child with the child's end of the pair; its
// result becomes the child's exit status.
using WorkerEntry = int (*)(UnixSocket::Socket&);

// The launcher's handle on one forked worker. pid > 0 is a live, unreaped
// child; -1 means none is known (fork failed, or the child was reaped).
class Process {
public:
    // Forks at once. In the child it never returns: the entry's result goes to exit().
    Process(WorkerEntry entry, int index, Launcher& launcher);
    Process(Process&& other);
    Process& operator=(Process&& other);
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    // Dropping a handle on a child that was not reaped kills that child.
    ~Process();

    bool terminate();
    bool kill();
    // Forgets the child when the wait reports that it exited or was killed.
    bool reap(const Wait& wait);

    pid_t pid() const { return pid_; }

private:
    bool signal(int signalNumber);

    pid_t pid_ = -1;
};
