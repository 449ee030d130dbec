#pragma once

#include "util/StringView.h"

// The reasons a "false" response gives. Clients match them word for word, so
// every part of the system takes them from here.
namespace Reason {

inline constexpr TemporaryStringView kInvalidRequest = "invalid request";
inline constexpr TemporaryStringView kUnsupportedCommand = "unsupported command";
inline constexpr TemporaryStringView kUnsupportedModel = "upgrade not supported on this lumora model";
// A procedure runs on this hub: a second one is never queued behind it.
inline constexpr TemporaryStringView kInProgress = "upgrade already in progress";
// A procedure completed and its reboot is under way: nothing may start now.
inline constexpr TemporaryStringView kRestarting = "upgrade completed, hub is restarting";

} // namespace Reason
