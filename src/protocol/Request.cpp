#include "protocol/Request.h"

#include <cstring>
#include <iterator>

#include "protocol/ClientProtocol.h"

namespace {

struct CommandWord {
    TemporaryStringView word;
    Request::Command command;
};

constexpr CommandWord kCommands[] = {
    {ClientProtocol::kUpgrade, Request::Upgrade},
    {ClientProtocol::kEraseUpgrade, Request::EraseUpgrade},
    {ClientProtocol::kRevert, Request::Revert},
    {ClientProtocol::kCancel, Request::Cancel},
};

constexpr uint32_t kMaxRequestId = ClientProtocol::kMaxRequestId;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

} // namespace

Request Request::fromBytes(View<const char> bytes) {
    Request r;
    if (bytes.size() == sizeof(Request)) std::memcpy(static_cast<void*>(&r), bytes.begin(), sizeof(Request));
    return r;
}

Request parseRequest(uint64_t clientId, TemporaryStringView text) {
    Request r;
    r.clientId = clientId;
    const TemporaryStringView prefix = ClientProtocol::kRequestPrefix;
    if (!text.startsWith(prefix)) return r;
    TemporaryStringView rest = text.dropFront(prefix.size());

    if (rest.empty() || !isDigit(rest[0])) return r;
    // Saturate just above the limit so no number of digits can wrap around.
    uint32_t value = 0;
    uint32_t i = 0;
    for (; i < rest.size() && rest[i] != ';'; ++i) {
        if (!isDigit(rest[i])) return r;
        value = value * 10 + static_cast<uint32_t>(rest[i] - '0');
        if (value > kMaxRequestId) value = kMaxRequestId + 1;
    }
    if (value > kMaxRequestId) return r;
    r.requestId = static_cast<uint16_t>(value);
    rest = rest.dropFront(i + 1); // past the ';', or empty at the end of the text
    if (r.requestId == 0) return r;

    TemporaryStringView word(rest.data(), rest.find(';'));
    for (const CommandWord& c : kCommands) {
        if (word == c.word) {
            r.command = c.command;
            break;
        }
    }
    return r;
}
