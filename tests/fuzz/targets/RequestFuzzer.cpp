// The request record from arbitrary bytes, as the backend receives it over the
// pair, and the backend's answer to it:
// - exactly 16 bytes are copied byte for byte, any other size is all zero;
// - a record without a command gets no answer; any other gets exactly one
//   response for that client and request id: "unsupported command" unless it
//   asks for an upgrade, which the hub's model then decides (accepted, with a
//   procedure ready and nothing run, or refused);
// - while that procedure is there, the same request is refused as in progress;
// - the rendered response stays within its 130-byte bound.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "Check.h"
#include "Reference.h"
#include "UnixSocket/FileDescriptor.h"
#include "backend/Backend.h"
#include "protocol/Message.h"
#include "protocol/Request.h"

namespace {

constexpr uint32_t kMaxText = 130;

struct Backends {
    Backend::impl* supported = nullptr;
    Backend::impl* unsupported = nullptr;
};
Backends backends;

// A backend on one end of a pair that nobody reads: handleRequest only builds
// the answer, it sends nothing.
Backend::impl* makeBackend(CStringView modelFile, CStringView stateDirectory) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends) == -1) {
        perror("socketpair()");
        std::abort();
    }
    UnixSocket::Socket socket{UnixSocket::FileDescriptor(ends[0])};
    return new Backend::impl(socket, modelFile, stateDirectory);
}

void checkAnswer(Backend::impl& backend, const Request& r, bool supported) {
    const Message m = backend.handleRequest(r);
    if (r.command == Request::None) {
        FUZZ_CHECK(m.type == Message::None);
        return;
    }
    FUZZ_CHECK(m.clientId == r.clientId && m.requestId == r.requestId);
    const bool upgrade = r.command == Request::Upgrade || r.command == Request::EraseUpgrade;
    const std::string payload(m.payload, m.length);
    if (upgrade && supported) {
        FUZZ_CHECK(m.type == Message::Success && payload.empty());
        FUZZ_CHECK(backend.procedure.has_value());
        const std::string name(backend.procedure->get().name().data(), backend.procedure->get().name().size());
        FUZZ_CHECK(name == (r.command == Request::Upgrade ? "migration_upgrade" : "erase_upgrade"));
        FUZZ_CHECK(!backend.procedure->get().isCompleted());
        const Message again = backend.handleRequest(r);
        FUZZ_CHECK(again.type == Message::Failure &&
                   std::string(again.payload, again.length) == "upgrade already in progress");
        // Every input meets an idle backend.
        backend.procedure.reset();
    } else {
        FUZZ_CHECK(m.type == Message::Failure);
        FUZZ_CHECK(payload == (upgrade ? "upgrade not supported on this lumora model" : "unsupported command"));
    }
    Buffer out;
    m.toText(out);
    FUZZ_CHECK(out.length() <= kMaxText);
    const std::string text(out.data(), out.length());
    FUZZ_CHECK(text == Reference::messageText(m.requestId, m.length, m.type, m.payload));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static char model[] = "/tmp/zorvi-fuzz-model-XXXXXX";
    int fd = mkstemp(model);
    if (fd == -1 || write(fd, "arko-3b2-nx\n", 12) != 12) {
        perror("model file");
        std::abort();
    }
    close(fd);
    // The procedure lock lives in a directory of the fuzzer's own, never /run.
    static char state[] = "/tmp/zorvi-fuzz-state-XXXXXX";
    if (mkdtemp(state) == nullptr) {
        perror("mkdtemp");
        std::abort();
    }
    std::atexit([] {
        const std::string lock = std::string(state) + "/procedure.lock";
        unlink(lock.c_str());
        rmdir(state);
    });
    const CStringView stateDirectory = CStringView::fromCString(state);
    backends.supported = makeBackend(CStringView::fromCString(model), stateDirectory);
    unlink(model);
    backends.unsupported = makeBackend("/nonexistent/lumora.model", stateDirectory);
    FUZZ_CHECK(backends.supported->supported && !backends.unsupported->supported);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Request r = Request::fromBytes(View<const char>(reinterpret_cast<const char*>(data), size));
    if (size == sizeof(Request)) {
        FUZZ_CHECK(std::memcmp(&r, data, sizeof r) == 0);
    } else {
        static const Request zero;
        FUZZ_CHECK(std::memcmp(&r, &zero, sizeof r) == 0);
    }
    checkAnswer(*backends.supported, r, true);
    checkAnswer(*backends.unsupported, r, false);
    return 0;
}
