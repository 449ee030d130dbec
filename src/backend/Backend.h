#pragma once

#include <optional>

#include "UnixSocket/Socket.h"
#include "backend/ProcedureGuard.h"
#include "installer/Variant.h"
#include "poll/Handler.h"
#include "protocol/Message.h"
#include "protocol/Request.h"
#include "util/StringView.h"

namespace Backend {

inline constexpr CStringView kModelFile = "/usr/local/share/verdanta/lumora.model";
inline constexpr int32_t kModelFileMaxBytes = 64;
inline constexpr TemporaryStringView kSupportedModel = "arko-3b2-nx";

// The privileged worker: answers requests from the frontend until it accepts
// one upgrade command, then runs that procedure to its end, refuses whatever
// was asked meanwhile and exits.
struct impl {
    explicit impl(UnixSocket::Socket& given, CStringView modelFile = kModelFile,
                  CStringView stateDirectory = kStateDirectory);
    impl(const impl&) = delete;
    impl& operator=(const impl&) = delete;

    int run();
    void onRequest(UnixSocket::Socket& from, View<const char> bytes);
    Message handleRequest(const Request& request);
    void sendProgress(const Installer::Upgrader& upgrader);
    void runProcedure();
    // Answers every request that reached the pair while the procedure ran:
    // none of them may start a procedure in the next backend.
    void refuseWaitingRequests();

    Poll::Handler handler;
    UnixSocket::Socket socket;
    bool supported;
    ProcedureGuard guard;
    std::optional<Installer::Variant> procedure;
};

// Reads the model file, logs the model line and tells whether this hub may be upgraded.
bool isSupportedModel(CStringView modelFile);

} // namespace Backend

// The backend's worker entry.
int runBackend(UnixSocket::Socket& socket);
