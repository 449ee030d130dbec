#pragma once

#include <string>
#include <string_view>

// Safe renderings of bytes that came from the socket.
class Escape {
public:
    // A JSON string literal, quotes included. Bytes above 0x7f are taken as
    // Latin-1, so any datagram gives valid UTF-8 output.
    static std::string json(std::string_view bytes);
    // For a message to a person: printable ASCII kept, everything else as \xNN,
    // cut after `limit` bytes with "...".
    static std::string visible(std::string_view bytes, size_t limit = 120);
};
