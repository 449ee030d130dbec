#pragma once

#include <concepts>

#include "poll/Pollable.h"
#include "util/RefVector.h"

namespace Poll {

constexpr uint32_t kMaxPollables = 8;

// A fixed set of pollables watched by one poll() per cycle. It owns none of them:
// they must outlive the group. The caller repeats pollOnce until told to stop.
class Group {
public:
    template <class... Pollables>
        requires(std::derived_from<Pollables, Pollable> && ...)
    explicit Group(Pollables&... pollables) : pollables_(static_cast<Pollable&>(pollables)...) {}

    // Waits until a watched descriptor is ready or a signal arrives, then hands every
    // ready entry to its owner in list order. Returns at once when nothing is watched.
    void pollOnce();

private:
    RefVector<Pollable, kMaxPollables> pollables_;
};

} // namespace Poll
