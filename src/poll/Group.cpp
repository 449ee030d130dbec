#include "poll/Group.h"

#include <cerrno>
#include <cstdio>

#include "poll/StopAwarePoll.h"
#include "util/SimpleVector.h"

namespace {
constexpr uint32_t kMaxEntries = Poll::kMaxPollables * Poll::kMaxDescriptorsPerPollable;
}

void Poll::Group::pollOnce() {
    SimpleVector<pollfd, kMaxEntries> entries;
    RefVector<Pollable, kMaxEntries> owners;
    for (Pollable& pollable : pollables_) {
        for (int fd : pollable.fileDescriptors()) {
            entries.push_back(pollfd{fd, POLLIN, 0});
            owners.push_back(pollable);
        }
    }
    // poll() on nothing with no timeout would sleep until a signal.
    if (entries.empty()) return;

    if (pollUntilSignal(entries.data(), entries.size()) == -1) {
        if (errno != EINTR) perror("poll");
        return;
    }
    // Dispatch from the snapshot: a handler that closes a later entry's descriptor
    // still sees that entry, and its owner ignores the number.
    for (uint32_t i = 0; i < entries.size(); ++i) {
        if (entries[i].revents != 0) (void)owners[i].handleReadable(entries[i].fd);
    }
}
