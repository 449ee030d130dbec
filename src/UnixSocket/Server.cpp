#include "UnixSocket/Server.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

#include "UnixSocket/Datagram.h"
#include "poll/Group.h"

namespace UnixSocket {

namespace {
constexpr int kListenBacklog = 16;
// Group members may connect; everyone else is kept out by the file's mode (0770).
constexpr mode_t kSocketFileMask = 007;
// sun_path holds the path and its terminating NUL.
constexpr uint32_t kMaxPathLength = sizeof(sockaddr_un::sun_path) - 1;
} // namespace

Server::Server(StringView path, DataListener data, ConnectedListener connected,
               DisconnectedListener disconnected)
    : onData(data), onConnected(connected), onDisconnected(disconnected),
      listenFd_(createListeningSocket(path)) {}

FileDescriptor Server::createListeningSocket(StringView path) {
    // Close-on-exec: programs that the service runs must not inherit its sockets.
    FileDescriptor fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        perror("socket()");
        return FileDescriptor();
    }
    if (path.size() > kMaxPathLength) return FileDescriptor();

    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());

    // Whatever is at the path, usually the socket of an earlier run, makes way.
    (void)unlink(address.sun_path);
    const mode_t oldMask = umask(kSocketFileMask);
    const int bound = bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    umask(oldMask);
    if (bound == -1) {
        perror("bind()");
        return FileDescriptor();
    }
    if (listen(fd.get(), kListenBacklog) == -1) {
        perror("listen()");
        return FileDescriptor();
    }
    return fd;
}

Poll::DescriptorList Server::fileDescriptors() const {
    Poll::DescriptorList fds;
    for (const Client& client : clients_) fds.push_back(client.fd.get());
    // A full server leaves new connections waiting in the kernel's listen queue.
    if (listenFd_.valid() && clients_.size() < kMaxClients) fds.push_back(listenFd_.get());
    return fds;
}

bool Server::handleReadable(int fd) {
    if (fd == listenFd_.get()) return acceptClient();
    for (Client& client : clients_) {
        if (client.fd.get() == fd) return receive(client);
    }
    return false;
}

bool Server::acceptClient() {
    if (clients_.size() >= kMaxClients || !listenFd_.valid()) return false;
    sockaddr_un peer;
    std::memset(&peer, 0, sizeof peer);
    socklen_t peerLength = sizeof peer;
    FileDescriptor fd(accept4(listenFd_.get(), reinterpret_cast<sockaddr*>(&peer), &peerLength,
                              SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd.valid()) {
        perror("accept()");
        return false;
    }
    Client client(std::move(fd), ++lastClientId_);
    // Before the client enters the table: the listener may write to its descriptor,
    // but sendToClient and sendAll do not reach it yet.
    if (onConnected) onConnected(*this, client);
    clients_.push_back(std::move(client));
    return true;
}

bool Server::receive(Client& client) {
    char data[kMaxMessageSize];
    const ssize_t n = read(client.fd.get(), data, sizeof data);
    if (n == -1) {
        perror("read");
        return false;
    }
    if (n == 0) return removeClient(client);
    if (onData) onData(*this, client, StringView(data, static_cast<uint32_t>(n)));
    return true;
}

bool Server::removeClient(Client& client) {
    if (clients_.empty()) return false;
    Client& last = clients_[clients_.size() - 1];
    // The last client fills the gap, so table order is not kept.
    if (client.id != last.id) std::swap(client, last);
    const uint64_t id = last.id;
    (void)last.fd.close();
    last.id = 0;
    clients_.pop_back();
    if (onDisconnected) onDisconnected(*this, id);
    return true;
}

bool Server::sendOn(int fd, const char* data, uint32_t length) {
    return sendDatagram(fd, data, length, "send");
}

bool Server::sendToClient(uint64_t id, const char* data, uint32_t length) {
    for (const Client& client : clients_) {
        if (client.id == id) return sendOn(client.fd.get(), data, length);
    }
    return false;
}

bool Server::sendAll(const char* data, uint32_t length) {
    bool anySent = false;
    for (const Client& client : clients_) anySent = sendOn(client.fd.get(), data, length) || anySent;
    return anySent;
}

bool Server::listenOn(StringView path) {
    FileDescriptor fresh = createListeningSocket(path);
    if (!fresh.valid()) return false;
    while (!clients_.empty()) {
        Client& last = clients_[clients_.size() - 1];
        (void)last.fd.close();
        last.id = 0;
        clients_.pop_back();
    }
    listenFd_ = std::move(fresh);
    (void)fresh.close(); // the old listening socket, after the swap
    return true;
}

void Server::pollOnce() {
    // A group of one: it returns at once when there is nothing to watch (a deaf
    // server without clients) instead of sleeping until a signal.
    Poll::Group(*this).pollOnce();
}

} // namespace UnixSocket
