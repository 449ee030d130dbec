#include "ProcedureTracker.h"

ProcedureTracker::Event ProcedureTracker::onNotification(const ServiceMessage& message) {
    if (message.kind == ServiceMessage::Kind::Progress) {
        last_ = message;
        running_ = !message.isCompleted();
        return running_ ? Event::Step : Event::Completed;
    }
    if (message.kind == ServiceMessage::Kind::Idle && running_) {
        running_ = false;
        return Event::Failed;
    }
    return Event::None;
}
