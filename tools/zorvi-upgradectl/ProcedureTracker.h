#pragma once

#include "ServiceMessage.h"

// Follows the notifications of one procedure and tells how it ended. The
// service sends no failure message: after a failed step the backend exits and
// its successor announces idle, so idle after a step that is not "completed"
// means the procedure stopped at that step.
class ProcedureTracker {
public:
    enum class Event { None, Step, Completed, Failed };

    Event onNotification(const ServiceMessage& message);
    // Forgets what was seen, e.g. the steps of someone else's procedure.
    void reset() { running_ = false; }

    bool running() const { return running_; }
    // The step last reported: the one that was running, or that failed.
    const ServiceMessage& lastStep() const { return last_; }

private:
    bool running_ = false;
    ServiceMessage last_;
};
