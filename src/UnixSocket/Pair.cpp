#include "UnixSocket/Pair.h"

#include <cstdio>
#include <sys/socket.h>

namespace UnixSocket {

Pair::Pair() {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) == -1) {
        perror("socketpair()");
        return;
    }
    first = FileDescriptor(ends[0]);
    second = FileDescriptor(ends[1]);
}

} // namespace UnixSocket
