#include "frontend/Frontend.h"

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>
#include <utility>

#include "frontend/Privileges.h"
#include "output/print.h"
#include "protocol/ClientProtocol.h"
#include "protocol/Request.h"
#include "protocol/Status.h"

Frontend::Frontend(UnixSocket::Socket& backend, StringView socketPath)
    : handler_(),
      backend_(std::move(backend)),
      server_(socketPath, UnixSocket::Server::DataListener(this, &Frontend::onClientData),
              UnixSocket::Server::ConnectedListener(this, &Frontend::onClientConnected),
              UnixSocket::Server::DisconnectedListener(this, &Frontend::onClientDisconnected)),
      group_(server_, backend_),
      lastNotification_(),
      processTag_(static_cast<uint64_t>(getpid()) << 32) {}

int Frontend::run() {
    backend_.onMessage = UnixSocket::Socket::MessageHandler(this, &Frontend::onBackendMessage);
    print("Frontend pid=", getpid());
    while (handler_.isRunning()) group_.pollOnce();
    print("Frontend exiting");
    return 0;
}

void Frontend::onClientData(UnixSocket::Server&, UnixSocket::Client& client, StringView bytes) {
    Request request = parseRequest(backendId(client.id), bytes);
    if (!request.valid()) {
        forward(Message(request.clientId, request.requestId, Message::Failure, Reason::kInvalidRequest));
        return;
    }
    if (Status::announcesRunningProcedure(lastNotification_)) {
        // The backend reads nothing while its procedure runs: answer now
        // rather than let the request wait for a later backend.
        bool procedure = request.command == Request::Upgrade || request.command == Request::EraseUpgrade;
        forward(Message(request.clientId, request.requestId, Message::Failure,
                        procedure ? TemporaryStringView(Reason::kInProgress)
                                  : TemporaryStringView(Reason::kUnsupportedCommand)));
        return;
    }
    // The backend decides and answers.
    (void)backend_.send(request.bytes());
}

void Frontend::onBackendMessage(UnixSocket::Socket&, View<const char> bytes) {
    Message message = Message::fromBytes(bytes);
    if (message.type == Message::None) return;
    forward(message);
    if (message.type == Message::Notification) lastNotification_ = message;
}

void Frontend::forward(const Message& message) {
    Buffer text;
    message.toText(text);
    if (message.type == Message::Notification)
        (void)server_.sendAll(text.data(), text.length());
    else if (isOurs(message.clientId))
        (void)server_.sendToClient(message.clientId & kClientIdMask, text.data(), text.length());
}

void Frontend::onClientConnected(UnixSocket::Server& server, UnixSocket::Client& client) {
    // The client is not in the server's table yet: write to its descriptor.
    if (lastNotification_.type != Message::None) {
        Buffer text;
        lastNotification_.toText(text);
        (void)server.sendOn(client.fd.get(), text.data(), text.length());
    }
    print("Client with client id=", client.id, " connected.");
}

void Frontend::onClientDisconnected(UnixSocket::Server&, uint64_t id) {
    print("Client with client id=", id, " disconnected.");
}

int runFrontend(UnixSocket::Socket& socket) {
    pid_t launcher = ::getppid();
    Privileges::User user = Privileges::lookUpUser(kServiceAccount);
    if (!user.valid()) return 1;
    if (!Privileges::createRuntimeDirectory(ClientProtocol::kRuntimeDirectory, user)) return 1;
    if (!Privileges::dropPrivileges(user)) return 1;
    // Changing the ids cleared the parent-death signal the launcher's child set:
    // without it again, a killed launcher would leave this worker serving clients.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != launcher) return 0;
    // From here on the process is the service account: the socket file is its own.
    Frontend frontend(socket);
    return frontend.run();
}
