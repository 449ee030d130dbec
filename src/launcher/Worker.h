#pragma once

#include <ctime>

#include "launcher/Process.h"

class Launcher;

// One of the two workers: which entry it runs, which end of the pair it keeps
// (index 0 the first, 1 the second, on every restart) and its current child.
class Worker {
public:
    // A worker is never started again sooner than this after its previous
    // start: one that cannot start (no account, no runtime directory, a failed
    // fork) must not take a core and flood the log.
    static constexpr time_t kRestartPauseSeconds = 1;

    Worker(WorkerEntry entry, int index, Launcher& launcher);

    // Forks a fresh child and drops the handle on the previous one.
    void restart(Launcher& launcher);

    // True while no child runs (it ended, or its fork failed).
    bool waiting() { return process_.pid() < 0; }
    // When a waiting worker may be started again.
    timespec restartAt() const;

    Process& process() { return process_; }

private:
    WorkerEntry entry_;
    int index_;
    timespec startedAt_;
    Process process_;
};
