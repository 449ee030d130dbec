// The message record, both ways it comes to be:
// - rebuilt from an arbitrary datagram (fromBytes): exactly 128 bytes are copied
//   byte for byte, any other size is the all-zero None record;
// - built from fields taken from the input (client id, request id, type, a
//   payload of any length): over 114 bytes gives None, otherwise every field and
//   the zero tail are as given, and the record survives the trip over the pair.
// Either way the rendered text equals an independent rendering, never exceeds
// 4 + 5 + 1 + 6 + 114 = 130 bytes, and a None record renders as nothing.
#include <cstdint>
#include <cstring>
#include <string>

#include "Check.h"
#include "Reference.h"
#include "protocol/Message.h"

namespace {
constexpr uint32_t kMaxText = 130;
constexpr uint32_t kHeader = 8 + 2 + 1;

bool isZero(const void* p, size_t n) {
    const unsigned char* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i] != 0) return false;
    return true;
}

void checkText(const Message& m) {
    Buffer out;
    out.append("left over from an earlier message");
    m.toText(out);
    const std::string text(out.data(), out.length());
    FUZZ_CHECK(text == Reference::messageText(m.requestId, m.length, m.type, m.payload));
    FUZZ_CHECK(out.length() <= kMaxText);
    FUZZ_CHECK((m.type == Message::None) == text.empty());
}

void checkRebuilt(const uint8_t* data, size_t size) {
    const Message m = Message::fromBytes(View<const char>(reinterpret_cast<const char*>(data), size));
    if (size == sizeof(Message))
        FUZZ_CHECK(std::memcmp(&m, data, sizeof m) == 0);
    else
        FUZZ_CHECK(isZero(&m, sizeof m));
    checkText(m);
}

void checkBuilt(const uint8_t* data, size_t size) {
    if (size < kHeader) return;
    uint64_t clientId;
    uint16_t requestId;
    std::memcpy(&clientId, data, sizeof clientId);
    std::memcpy(&requestId, data + 8, sizeof requestId);
    const uint8_t type = data[10];
    const char* payload = reinterpret_cast<const char*>(data + kHeader);
    const uint32_t length = static_cast<uint32_t>(size - kHeader);

    const Message m(clientId, requestId, type, TemporaryStringView(payload, length));
    if (length > Message::kMaxPayload) {
        FUZZ_CHECK(isZero(&m, sizeof m));
    } else {
        FUZZ_CHECK(m.clientId == clientId && m.requestId == requestId && m.type == type);
        FUZZ_CHECK(m.length == length);
        FUZZ_CHECK(std::memcmp(m.payload, payload, length) == 0);
        FUZZ_CHECK(isZero(m.payload + length, sizeof m.payload - length));
    }
    const Message carried = Message::fromBytes(m.bytes());
    FUZZ_CHECK(std::memcmp(&carried, &m, sizeof m) == 0);
    checkText(m);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    checkRebuilt(data, size);
    checkBuilt(data, size);
    return 0;
}
