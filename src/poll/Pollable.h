#pragma once

#include "util/SimpleVector.h"

namespace Poll {

constexpr uint32_t kMaxDescriptorsPerPollable = 8;
using DescriptorList = SimpleVector<int, kMaxDescriptorsPerPollable>;

// Everything a Group watches. Pollables are never deleted through this base,
// hence the protected, non-virtual destructor.
class Pollable {
public:
    // The descriptors to watch for input right now, in the order to dispatch them.
    virtual DescriptorList fileDescriptors() const = 0;
    // Called with a descriptor that poll reported ready, possibly one this object
    // closed earlier in the same cycle: it must check that the number is still its own.
    virtual bool handleReadable(int fd) = 0;

protected:
    ~Pollable() = default;
};

} // namespace Poll
