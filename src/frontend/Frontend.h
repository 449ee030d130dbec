#pragma once

#include "UnixSocket/Server.h"
#include "UnixSocket/Socket.h"
#include "poll/Group.h"
#include "poll/Handler.h"
#include "protocol/ClientProtocol.h"
#include "protocol/Message.h"
#include "util/StringView.h"

inline constexpr StringView kServiceAccount = "zorvi-upgrade";

// The unprivileged worker that faces clients: relays their requests to the
// backend and the backend's answers and progress back, and replays the latest
// notification to every client that connects. It keeps no upgrade state.
class Frontend {
public:
    // Takes over the pair descriptor of `backend` and binds the client socket at `socketPath`.
    explicit Frontend(UnixSocket::Socket& backend, StringView socketPath = ClientProtocol::kSocketPath);
    Frontend(const Frontend&) = delete;
    Frontend& operator=(const Frontend&) = delete;

    int run();

    void onBackendMessage(UnixSocket::Socket& from, View<const char> bytes);
    void onClientData(UnixSocket::Server& server, UnixSocket::Client& client, StringView bytes);
    void onClientConnected(UnixSocket::Server& server, UnixSocket::Client& client);
    void onClientDisconnected(UnixSocket::Server& server, uint64_t id);
    void forward(const Message& message);

    // Identifiers restart at 1 in every frontend process, while answers meant
    // for an earlier frontend's clients may still wait in the pair. The
    // identifier sent to the backend therefore carries this process's pid in
    // its upper half, and answers tagged for another process are dropped.
    uint64_t backendId(uint64_t clientId) const { return clientId | processTag_; }

private:
    bool isOurs(uint64_t backendId) const { return (backendId & ~kClientIdMask) == processTag_; }

    static constexpr uint64_t kClientIdMask = 0xffffffffu;

    Poll::Handler handler_;
    UnixSocket::Socket backend_;
    UnixSocket::Server server_;
    Poll::Group group_;
    Message lastNotification_;
    uint64_t processTag_;
};

// The frontend's worker entry: gives up root, then serves until stopped.
int runFrontend(UnixSocket::Socket& socket);
