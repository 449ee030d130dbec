#pragma once

#include <cstddef>
#include <cstdint>

#include "output/Buffer.h"
#include "util/StringView.h"
#include "util/View.h"

// The record the backend sends the frontend: exactly 128 bytes, sent as raw
// bytes in host byte order (both ends are the same program on the same hub).
// The all-zero record is the None message, the result of every failed build.
struct Message {
    enum Type : uint8_t { None = 0, Success = 1, Failure = 2, Notification = 3 };
    static constexpr uint16_t kMaxPayload = 114; // the record's last byte never carries payload

    uint64_t clientId = 0;  // the frontend's client a response is for; 0 in notifications
    uint16_t requestId = 0; // copied from the request; 0 in notifications
    uint16_t length = 0;    // meaningful payload bytes
    uint8_t type = None;
    char payload[115] = {}; // not NUL-terminated; zero beyond `length`

    Message() = default;
    // A payload longer than kMaxPayload yields the None message.
    Message(uint64_t clientId, uint16_t requestId, uint8_t type, TemporaryStringView payload);

    // A datagram of exactly 128 bytes, copied; anything else is the None message.
    static Message fromBytes(View<const char> bytes);

    View<const char> bytes() const { return View<const char>(reinterpret_cast<const char*>(this), sizeof(*this)); }

    // The client's text: "nfy;<payload>", "rsp;<id>;true;<payload>" or
    // "rsp;<id>;false;<payload>" (an empty id when requestId is 0); nothing for None.
    void toText(Buffer& out) const;
};

static_assert(sizeof(Message) == 128);
static_assert(offsetof(Message, clientId) == 0);
static_assert(offsetof(Message, requestId) == 8);
static_assert(offsetof(Message, length) == 10);
static_assert(offsetof(Message, type) == 12);
static_assert(offsetof(Message, payload) == 13);
