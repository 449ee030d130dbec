#include "Reference.h"

#include <algorithm>

namespace Reference {

namespace {
constexpr std::string_view kWords[] = {"upgrade", "erase_upgrade", "revert", "cancel"};
constexpr size_t kMaxPayload = 114;
} // namespace

ParsedRequest parseRequest(std::string_view text) {
    if (!text.starts_with("req;")) return {};
    std::string_view rest = text.substr(4);
    size_t end = rest.find(';');
    std::string_view digits = rest.substr(0, end);
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return {};
    digits.remove_prefix(std::min(digits.find_first_not_of('0'), digits.size()));
    if (digits.size() > 5) return {};
    uint32_t value = digits.empty() ? 0 : static_cast<uint32_t>(std::stoul(std::string(digits)));
    if (value == 0 || value > 65535) return {};

    ParsedRequest parsed;
    parsed.requestId = static_cast<uint16_t>(value);
    if (end == std::string_view::npos) return parsed;
    std::string_view word = rest.substr(end + 1);
    word = word.substr(0, word.find(';'));
    for (size_t i = 0; i < std::size(kWords); ++i)
        if (word == kWords[i]) parsed.command = static_cast<uint16_t>(i + 1);
    return parsed;
}

std::string_view commandWord(uint16_t command) {
    return command >= 1 && command <= std::size(kWords) ? kWords[command - 1] : std::string_view();
}

std::string messageText(uint16_t requestId, uint16_t length, uint8_t type, const char* payload) {
    std::string body(payload, std::min<size_t>(length, kMaxPayload));
    if (type == 0) return "";
    if (type == 3) return "nfy;" + body;
    return "rsp;" + (requestId != 0 ? std::to_string(requestId) : std::string()) + ";" +
           (type == 1 ? "true;" : "false;") + body;
}

} // namespace Reference
