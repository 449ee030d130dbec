// Request parsing: any client datagram (up to the 512 bytes a read delivers).
// Checks, beyond "no crash":
// - the record agrees with an independent parser on identifier and command;
// - the client id is the frontend's, the reserved bytes stay zero, and a
//   command never comes without an identifier;
// - an accepted text renders back ("req;<id>;<word>") to the same record, and
//   the record survives the trip over the pair (bytes, fromBytes);
// - a refused text gets the frontend's answer, within the 130-byte bound.
#include <cstdint>
#include <cstring>
#include <string>

#include "Check.h"
#include "Reference.h"
#include "protocol/Message.h"
#include "protocol/Request.h"

namespace {
constexpr uint64_t kClient = 0x0123456789abcdefULL;
constexpr uint32_t kMaxDatagram = 512;
constexpr uint32_t kMaxText = 4 + 5 + 1 + 6 + 114;

bool sameRecord(const Request& a, const Request& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxDatagram) return -1; // the server never delivers more
    const char* text = reinterpret_cast<const char*>(data);
    const Request r = parseRequest(kClient, TemporaryStringView(text, static_cast<uint32_t>(size)));

    const Reference::ParsedRequest expected = Reference::parseRequest(std::string_view(text, size));
    FUZZ_CHECK(r.clientId == kClient);
    FUZZ_CHECK(r.requestId == expected.requestId);
    FUZZ_CHECK(r.command == expected.command);
    static const uint8_t zero[4] = {};
    FUZZ_CHECK(std::memcmp(r.reserved, zero, sizeof zero) == 0);
    FUZZ_CHECK(r.command <= Request::Cancel);
    FUZZ_CHECK(r.command == Request::None || r.requestId != 0);

    const Request carried = Request::fromBytes(r.bytes());
    FUZZ_CHECK(sameRecord(carried, r));

    if (r.valid()) {
        std::string canonical =
            "req;" + std::to_string(r.requestId) + ";" + std::string(Reference::commandWord(r.command));
        const Request again =
            parseRequest(kClient, TemporaryStringView(canonical.data(), static_cast<uint32_t>(canonical.size())));
        FUZZ_CHECK(sameRecord(again, r));
        return 0;
    }
    const Message reply(r.clientId, r.requestId, Message::Failure, "invalid request");
    Buffer out;
    reply.toText(out);
    const std::string want =
        "rsp;" + (r.requestId != 0 ? std::to_string(r.requestId) : std::string()) + ";false;invalid request";
    FUZZ_CHECK(std::string(out.data(), out.length()) == want);
    FUZZ_CHECK(out.length() <= kMaxText);
    return 0;
}
