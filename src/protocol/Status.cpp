#include "protocol/Status.h"

namespace Status {

bool announcesRunningProcedure(const Message& notification) {
    if (notification.type != Message::Notification) return false;
    TemporaryStringView text(notification.payload, notification.length <= Message::kMaxPayload
                                                       ? notification.length
                                                       : Message::kMaxPayload);
    if (text.startsWith("idle;")) return false;
    // The third field is the step key.
    for (int field = 0; field < 2; ++field) {
        uint32_t separator = text.find(';');
        if (separator == text.size()) return false;
        text = text.dropFront(separator + 1);
    }
    TemporaryStringView key(text.data(), text.find(';'));
    return !key.empty() && !(key == kCompletedKey);
}

} // namespace Status
