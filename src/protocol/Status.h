#pragma once

#include "protocol/ClientProtocol.h"
#include "protocol/Message.h"

// What a status notification ("name;progress;key;;text", or "idle;;;") says
// about the hub: the frontend keeps the last one and answers from it.
namespace Status {

inline constexpr TemporaryStringView kIdle = ClientProtocol::kIdle;
inline constexpr TemporaryStringView kCompletedKey = ClientProtocol::kCompletedKey;

// True for a procedure's progress before its final step; false for idle, for a
// completed procedure and for anything that is no notification.
bool announcesRunningProcedure(const Message& notification);

} // namespace Status
