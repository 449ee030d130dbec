#pragma once

#include <cstddef>
#include <cstdint>

#include "util/StringView.h"
#include "util/View.h"

// The record the frontend sends the backend: exactly 16 bytes, raw, host order.
struct Request {
    enum Command : uint16_t { None = 0, Upgrade = 1, EraseUpgrade = 2, Revert = 3, Cancel = 4 };

    uint64_t clientId = 0;  // supplied by the frontend, never by the text
    uint16_t requestId = 0; // 0 when the text has none or a bad one
    uint16_t command = None;
    uint8_t reserved[4] = {};

    // A datagram of exactly 16 bytes, copied; anything else is the all-zero record.
    static Request fromBytes(View<const char> bytes);

    View<const char> bytes() const { return View<const char>(reinterpret_cast<const char*>(this), sizeof(*this)); }
    bool valid() const { return command != None; }
};

static_assert(sizeof(Request) == 16);
static_assert(offsetof(Request, clientId) == 0);
static_assert(offsetof(Request, requestId) == 8);
static_assert(offsetof(Request, command) == 10);
static_assert(offsetof(Request, reserved) == 12);

// Parses "req;<id>;<command>[;<ignored>]". Never fails: an unusable text gives
// command None, with the identifier kept when it alone was good.
Request parseRequest(uint64_t clientId, TemporaryStringView text);
