#include "UnixSocket/Socket.h"

#include <cerrno>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

#include "UnixSocket/Datagram.h"
#include "poll/Group.h"

namespace UnixSocket {

Socket::Socket(Socket&& other) noexcept
    : onMessage(other.onMessage), onClose(other.onClose), fd_(std::move(other.fd_)) {}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        // Close ours first so the swap inside the move leaves -1 in the source.
        (void)fd_.close();
        fd_ = std::move(other.fd_);
        onMessage = other.onMessage;
        onClose = other.onClose;
    }
    return *this;
}

bool Socket::send(View<const char> message) {
    return sendDatagram(fd_.get(), message.begin(), message.size(), "send()");
}

bool Socket::receive() { return receiveWith(0) != Received::Failed; }

bool Socket::receiveWaiting() { return receiveWith(MSG_DONTWAIT) == Received::Message; }

Socket::Received Socket::receiveWith(int flags) {
    if (!fd_.valid()) return Received::Failed;
    char data[kMaxMessageSize];
    const ssize_t n = ::recv(fd_.get(), data, sizeof data, flags);
    if (n == -1) {
        // Nothing waiting is the expected answer to a look without waiting.
        if ((flags & MSG_DONTWAIT) == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) perror("read");
        return Received::Failed;
    }
    if (n == 0) {
        (void)fd_.close();
        if (onClose) onClose(*this);
        return Received::Closed;
    }
    if (onMessage) onMessage(*this, View<const char>(data, static_cast<size_t>(n)));
    return Received::Message;
}

void Socket::waitAndReceive() {
    Poll::Group(*this).pollOnce();
}

Poll::DescriptorList Socket::fileDescriptors() const {
    Poll::DescriptorList fds;
    if (fd_.valid()) fds.push_back(fd_.get());
    return fds;
}

bool Socket::handleReadable(int fd) {
    if (!fd_.valid() || fd != fd_.get()) return false;
    return receive();
}

} // namespace UnixSocket
