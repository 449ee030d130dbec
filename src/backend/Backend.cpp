#include "backend/Backend.h"

#include <unistd.h>
#include <utility>

#include "output/print.h"
#include "protocol/ClientProtocol.h"
#include "protocol/Status.h"
#include "util/FileUtil.h"

namespace Backend {

namespace {

bool isTrailingBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void notify(UnixSocket::Socket& socket, TemporaryStringView status) {
    (void)socket.send(Message(0, 0, Message::Notification, status).bytes());
}

} // namespace

bool isSupportedModel(CStringView modelFile) {
    char text[kModelFileMaxBytes];
    int32_t n = FileUtil::readFile(modelFile, text, kModelFileMaxBytes);
    uint32_t length = n > 0 ? static_cast<uint32_t>(n) : 0;
    while (length > 0 && isTrailingBlank(text[length - 1])) --length;
    TemporaryStringView model(text, length);
    bool supported = model == kSupportedModel;
    print("Lumora model=", model, ", supported=", supported ? 1 : 0);
    return supported;
}

impl::impl(UnixSocket::Socket& given, CStringView modelFile, CStringView stateDirectory)
    : handler(), socket(std::move(given)), supported(isSupportedModel(modelFile)), guard(stateDirectory),
      procedure() {
    socket.onMessage = UnixSocket::Socket::MessageHandler(this, &impl::onRequest);
    Installer::Upgrader::prepareEnvironment();
}

int impl::run() {
    print("Backend pid=", getpid());
    notify(socket, Status::kIdle);
    while (handler.isRunning() && !procedure) {
        // Only possible once the launcher is gone: nothing more can arrive.
        if (socket.fd() < 0) break;
        socket.waitAndReceive();
    }
    // Checked after the loop: a command accepted just before a stop still runs.
    if (procedure) {
        runProcedure();
        refuseWaitingRequests();
    }
    print("Backend exiting");
    return 0;
}

void impl::runProcedure() {
    print("Backend received upgrade command, starting...");
    Installer::Upgrader& upgrader = procedure->get();
    while (upgrader.runNextStep()) {
        // Recorded before "completed" goes out, so that a request a client
        // sends on seeing it is already refused.
        if (upgrader.isCompleted()) (void)guard.markCompleted();
        sendProgress(upgrader);
    }
}

void impl::refuseWaitingRequests() {
    while (socket.receiveWaiting()) {
    }
}

void impl::onRequest(UnixSocket::Socket&, View<const char> bytes) {
    Message response = handleRequest(Request::fromBytes(bytes));
    if (response.type != Message::None) (void)socket.send(response.bytes());
}

Message impl::handleRequest(const Request& request) {
    if (request.command == Request::None) return Message();
    auto reply = [&](uint8_t type, TemporaryStringView text) {
        return Message(request.clientId, request.requestId, type, text);
    };
    if (request.command != Request::Upgrade && request.command != Request::EraseUpgrade)
        return reply(Message::Failure, Reason::kUnsupportedCommand);
    if (!supported) return reply(Message::Failure, Reason::kUnsupportedModel);
    if (guard.completed()) return reply(Message::Failure, Reason::kRestarting);
    if (procedure || !guard.acquire()) return reply(Message::Failure, Reason::kInProgress);
    if (request.command == Request::Upgrade)
        procedure.emplace(Installer::migration_upgrade_t{});
    else
        procedure.emplace(Installer::erase_upgrade_t{});
    return reply(Message::Success, "");
}

void impl::sendProgress(const Installer::Upgrader& upgrader) {
    // name;progress;key;;text — the single characters are dropped when full.
    Buffer status;
    status.append(upgrader.name());
    status.append(';');
    status.appendFixed3(upgrader.progress());
    status.append(';');
    status.append(upgrader.stepKey());
    status.append(';');
    status.append(';');
    status.append(upgrader.stepText());
    notify(socket, status.view());
}

} // namespace Backend

int runBackend(UnixSocket::Socket& socket) {
    Backend::impl backend(socket);
    return backend.run();
}
