#include "launcher/Worker.h"

#include "util/Clock.h"

Worker::Worker(WorkerEntry entry, int index, Launcher& launcher)
    : entry_(entry), index_(index), startedAt_(Clock::now()), process_(entry, index, launcher) {}

void Worker::restart(Launcher& launcher) {
    startedAt_ = Clock::now();
    // The swapped-out handle is destroyed here; it kills the old child only if
    // that was not reaped, which in normal use it just was.
    process_ = Process(entry_, index_, launcher);
}

timespec Worker::restartAt() const { return Clock::after(startedAt_, kRestartPauseSeconds); }
