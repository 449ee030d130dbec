#include "Connection.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "StopSignal.h"
#include "UnixSocket/Datagram.h"

Connection::Opened Connection::open(const std::string& path) {
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return Opened::PathTooLong;
    std::memcpy(address.sun_path, path.data(), path.size());

    UnixSocket::FileDescriptor fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return Opened::Failed;
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == -1) {
        switch (errno) {
        case ENOENT:
        case ENOTDIR:
        case ECONNREFUSED: // a socket file that nobody listens on any more
            return Opened::NotRunning;
        case EACCES:
        case EPERM:
            return Opened::PermissionDenied;
        default:
            return Opened::Failed;
        }
    }
    fd_ = std::move(fd);
    return Opened::Ok;
}

bool Connection::send(std::string_view text) {
    return UnixSocket::sendDatagram(fd_.get(), text.data(), text.size(), "zorvi-upgradectl: send");
}

Connection::Received Connection::receive(int timeoutMs, std::string& datagram, bool& truncated) {
    pollfd entry{fd_.get(), POLLIN | POLLRDHUP, 0};
    const timespec limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
    const int ready = ppoll(&entry, 1, timeoutMs < 0 ? nullptr : &limit, StopSignal::waitMask());
    if (ready == -1) {
        if (errno == EINTR) return Received::Interrupted;
        perror("zorvi-upgradectl: poll");
        return Received::Failed;
    }
    if (ready == 0) return Received::TimedOut;

    char buffer[kReceiveSize];
    iovec part{buffer, sizeof buffer};
    msghdr header;
    std::memset(&header, 0, sizeof header);
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    const ssize_t n = recvmsg(fd_.get(), &header, MSG_DONTWAIT);
    if (n == -1) {
        if (errno == EAGAIN || errno == EINTR) return Received::TimedOut; // woken for nothing
        if (errno == ECONNRESET) return Received::Closed;
        perror("zorvi-upgradectl: recvmsg");
        return Received::Failed;
    }
    // An empty read is the end of the stream, unless the peer is still there:
    // then it was an empty datagram, which the caller reports as malformed.
    if (n == 0 && (entry.revents & (POLLHUP | POLLRDHUP | POLLERR))) return Received::Closed;
    datagram.assign(buffer, static_cast<size_t>(n));
    truncated = (header.msg_flags & MSG_TRUNC) != 0;
    return Received::Message;
}
