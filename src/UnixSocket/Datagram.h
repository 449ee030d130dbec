#pragma once

#include <cstddef>

namespace UnixSocket {

// Sends one datagram on fd. MSG_NOSIGNAL: a peer that went away is an error
// return, not a SIGPIPE that would end the process. A failed call is reported
// with perror(errorPrefix). True only when the whole datagram went out.
bool sendDatagram(int fd, const char* data, size_t length, const char* errorPrefix);

} // namespace UnixSocket
