#include "protocol/Message.h"

#include <cstring>

#include "protocol/ClientProtocol.h"

Message::Message(uint64_t clientId_, uint16_t requestId_, uint8_t type_, TemporaryStringView payload_) {
    if (payload_.size() > kMaxPayload) return;
    clientId = clientId_;
    requestId = requestId_;
    type = type_;
    length = static_cast<uint16_t>(payload_.size());
    if (length > 0) std::memcpy(payload, payload_.data(), length);
}

Message Message::fromBytes(View<const char> bytes) {
    Message m;
    if (bytes.size() == sizeof(Message)) std::memcpy(static_cast<void*>(&m), bytes.begin(), sizeof(Message));
    return m;
}

void Message::toText(Buffer& out) const {
    out.clear();
    if (type == None) return;
    // A corrupted record may claim more than the payload holds.
    TemporaryStringView body(payload, length <= kMaxPayload ? length : kMaxPayload);
    if (type == Notification) {
        out.append(ClientProtocol::kNotificationPrefix);
        out.append(body);
        return;
    }
    out.append(ClientProtocol::kResponsePrefix);
    if (requestId != 0) out.append(requestId);
    out.append(';');
    out.append(type == Success ? TemporaryStringView("true;") : TemporaryStringView("false;"));
    out.append(body);
}
