#pragma once

#include "UnixSocket/FileDescriptor.h"

namespace UnixSocket {

// The two connected ends of one SOCK_SEQPACKET socket pair, non-blocking and
// close-on-exec (fork keeps them; programs the workers exec do not). After a
// failed creation both ends are -1 and every later use of them fails quietly.
class Pair {
public:
    Pair();

    // 0 -> first (the frontend's end), 1 -> second (the backend's end).
    FileDescriptor& end(int index) { return index == 0 ? first : second; }

    FileDescriptor first;
    FileDescriptor second;
};

} // namespace UnixSocket
