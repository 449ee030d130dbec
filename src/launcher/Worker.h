#pragma once

#include "launcher/Process.h"

class Launcher;

// One of the two workers: which entry it runs, which end of the pair it keeps
// (index 0 the first, 1 the second, on every restart) and its current child.
class Worker {
public:
    Worker(WorkerEntry entry, int index, Launcher& launcher);

    // Forks a fresh child and drops the handle on the previous one.
    void restart(Launcher& launcher);

    Process& process() { return process_; }

private:
    WorkerEntry entry_;
    int index_;
    Process process_;
};
