#pragma once

#include <cstdint>

#include "UnixSocket/Client.h"
#include "UnixSocket/FileDescriptor.h"
#include "UnixSocket/Socket.h"
#include "poll/Pollable.h"
#include "util/Function.h"
#include "util/SimpleVector.h"
#include "util/StringView.h"

namespace UnixSocket {

// The listening end of a Unix SOCK_SEQPACKET socket at a file-system path, with
// up to eight accepted clients, each given an identifier 1, 2, ... never reused.
// It owns every descriptor it holds. A server whose socket could not be created
// is "deaf": it stays a valid pollable that never accepts anyone.
class Server : public Poll::Pollable {
public:
    static constexpr uint32_t kMaxClients = 8;
    using Clients = SimpleVector<Client, kMaxClients>;

    using DataListener = Function<void(Server&, Client&, StringView)>;
    using ConnectedListener = Function<void(Server&, Client&)>;
    using DisconnectedListener = Function<void(Server&, uint64_t)>;

    // The path's text must be followed by a NUL byte.
    Server(StringView path, DataListener onData, ConnectedListener onConnected,
           DisconnectedListener onDisconnected);
    // Members go in reverse order: the client slots, last first, then the listening
    // socket. No listener is called; the socket file stays for the next start to replace.
    ~Server() = default;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Client descriptors in table order, then the listening one while not full.
    Poll::DescriptorList fileDescriptors() const override;
    bool handleReadable(int fd) override;

    bool sendToClient(uint64_t id, const char* data, uint32_t length);
    // Tries every client; true when at least one send succeeded.
    bool sendAll(const char* data, uint32_t length);
    // One send, no retry, no queue: a full or vanished peer loses the message.
    bool sendOn(int fd, const char* data, uint32_t length);

    // Replaces the listening socket with one on `path`; on success every client is
    // dropped without listeners. On failure nothing changes.
    bool listenOn(StringView path);
    // One wait over this server alone, for use without a poll group.
    void pollOnce();

    const Clients& clients() const { return clients_; }

    DataListener onData;
    ConnectedListener onConnected;
    DisconnectedListener onDisconnected;

private:
    static FileDescriptor createListeningSocket(StringView path);
    bool acceptClient();
    bool receive(Client& client);
    bool removeClient(Client& client);

    FileDescriptor listenFd_;
    Clients clients_;
    uint64_t lastClientId_ = 0;
};

} // namespace UnixSocket
