#pragma once

#include <cstdint>
#include <utility>

#include "UnixSocket/FileDescriptor.h"

namespace UnixSocket {

// One accepted connection of a Server. A free table slot holds -1 and id 0.
struct Client {
    Client() = default;
    Client(FileDescriptor&& descriptor, uint64_t identifier) : fd(std::move(descriptor)), id(identifier) {}
    Client(Client&&) = default;
    Client& operator=(Client&&) = default;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    FileDescriptor fd;
    uint64_t id = 0;
};

} // namespace UnixSocket
