#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Straightforward restatements of the protocol's texts, written apart from the
// service's code (std::string, no fixed buffers) so the fuzzers can compare the
// two on any input.
namespace Reference {

struct ParsedRequest {
    uint16_t requestId = 0;
    uint16_t command = 0;
};

ParsedRequest parseRequest(std::string_view text);
// The command word of a code 1..4; empty for anything else.
std::string_view commandWord(uint16_t command);
// The client's text of a message record's fields (the record's length clamped to 114).
std::string messageText(uint16_t requestId, uint16_t length, uint8_t type, const char* payload);

} // namespace Reference
