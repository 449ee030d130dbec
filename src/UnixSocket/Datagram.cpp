#include "UnixSocket/Datagram.h"

#include <cstdio>
#include <sys/socket.h>

bool UnixSocket::sendDatagram(int fd, const char* data, size_t length, const char* errorPrefix) {
    if (fd < 0) return false;
    const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
    if (sent == -1) {
        perror(errorPrefix);
        return false;
    }
    return static_cast<size_t>(sent) == length;
}
