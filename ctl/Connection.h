#pragma once

#include <string>
#include <string_view>

#include "UnixSocket/FileDescriptor.h"

// The client's end of the service's SOCK_SEQPACKET socket: one datagram per
// message, no terminator.
class Connection {
public:
    enum class Opened { Ok, NotRunning, PermissionDenied, PathTooLong, Failed };
    enum class Received { Message, Closed, TimedOut, Interrupted, Failed };

    // Longer than any message the service sends, so a longer datagram shows up as truncated.
    static constexpr size_t kReceiveSize = 1024;

    // On Failed, errno tells why.
    Opened open(const std::string& path);
    // True when the whole text went out as one datagram.
    bool send(std::string_view text);
    // Waits up to `timeoutMs` (-1: no limit) for one datagram; a stop signal
    // (StopSignal) ends the wait with Interrupted. TimedOut may come early
    // when the wait was woken for nothing: the caller checks its own deadline.
    Received receive(int timeoutMs, std::string& datagram, bool& truncated);

private:
    UnixSocket::FileDescriptor fd_;
};
