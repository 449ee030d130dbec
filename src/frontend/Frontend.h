#pragma once

#include "UnixSocket/Server.h"
#include "UnixSocket/Socket.h"
#include "launcher/Handler.h"
#include "poll/Group.h"
#include "protocol/Message.h"
#include "util/StringView.h"

inline constexpr StringView kServiceAccount = "zorvi-upgrade";
inline constexpr StringView kRuntimeDirectory = "/var/run/verdanta/zorvi-upgrade";
inline constexpr StringView kSocketPath = "/var/run/verdanta/zorvi-upgrade/socket";

// The unprivileged worker that faces clients: relays their requests to the
// backend and the backend's answers and progress back, and replays the latest
// notification to every client that connects. It keeps no upgrade state.
class Frontend {
public:
    // Takes over the pair descriptor of `backend` and binds the client socket at `socketPath`.
    explicit Frontend(UnixSocket::Socket& backend, StringView socketPath = kSocketPath);
    Frontend(const Frontend&) = delete;
    Frontend& operator=(const Frontend&) = delete;

    int run();

    void onBackendMessage(UnixSocket::Socket& from, View<const char> bytes);
    void onClientData(UnixSocket::Server& server, UnixSocket::Client& client, StringView bytes);
    void onClientConnected(UnixSocket::Server& server, UnixSocket::Client& client);
    void onClientDisconnected(UnixSocket::Server& server, uint64_t id);
    void forward(const Message& message);

private:
    Handler handler_;
    UnixSocket::Socket backend_;
    UnixSocket::Server server_;
    Poll::Group group_;
    Message lastNotification_;
};

// The frontend's worker entry: gives up root, then serves until stopped.
int runFrontend(UnixSocket::Socket& socket);
