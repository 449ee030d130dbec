#include "ServiceMessage.h"

#include <cstdlib>

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Procedure names and step keys are lower-case words joined by '_'.
bool isWord(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!((c >= 'a' && c <= 'z') || isDigit(c) || c == '_')) return false;
    return true;
}

// The service sends plain ASCII; control bytes would garble a terminal.
bool isPrintable(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) return false;
    return true;
}

// Cuts `s` at the first ';': returns the part before it and leaves the rest after it.
bool cut(std::string_view& s, std::string_view& field) {
    const size_t semi = s.find(';');
    if (semi == std::string_view::npos) return false;
    field = s.substr(0, semi);
    s.remove_prefix(semi + 1);
    return true;
}

// "0" to "100", with an optional fraction: the "%.3f" the service prints.
bool parsePercent(std::string_view s, double& value) {
    const size_t dot = s.find('.');
    const std::string_view whole = s.substr(0, dot);
    if (whole.empty() || whole.size() > 3) return false;
    for (char c : whole)
        if (!isDigit(c)) return false;
    if (dot != std::string_view::npos) {
        const std::string_view fraction = s.substr(dot + 1);
        if (fraction.empty() || fraction.size() > 6) return false;
        for (char c : fraction)
            if (!isDigit(c)) return false;
    }
    value = std::strtod(std::string(s).c_str(), nullptr);
    return value <= 100.0;
}

} // namespace

ServiceMessage ServiceMessage::parse(std::string_view datagram, bool truncated) {
    ServiceMessage m;
    m.raw = std::string(datagram);
    if (truncated || !isPrintable(datagram)) return m;
    const std::string_view response = ClientProtocol::kResponsePrefix;
    const std::string_view notification = ClientProtocol::kNotificationPrefix;
    if (datagram.starts_with(response)) {
        if (m.parseResponse(datagram.substr(response.size()))) m.kind = Kind::Response;
    } else if (datagram.starts_with(notification)) {
        const std::string_view rest = datagram.substr(notification.size());
        if (rest == ClientProtocol::kIdle)
            m.kind = Kind::Idle;
        else if (m.parseProgress(rest))
            m.kind = Kind::Progress;
    }
    return m;
}

bool ServiceMessage::parseResponse(std::string_view rest) {
    std::string_view idText, verdict;
    if (!cut(rest, idText) || !cut(rest, verdict)) return false;
    if (idText.size() > 5) return false;
    uint32_t value = 0;
    for (char c : idText) {
        if (!isDigit(c)) return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (!idText.empty() && (value == 0 || value > ClientProtocol::kMaxRequestId)) return false;
    hasId = !idText.empty();
    id = static_cast<uint16_t>(value);
    if (verdict == "true") {
        accepted = true;
    } else if (verdict != "false") {
        return false;
    }
    reason = std::string(rest);
    return true;
}

bool ServiceMessage::parseProgress(std::string_view rest) {
    std::string_view name, percentField, keyField, empty;
    if (!cut(rest, name) || !cut(rest, percentField) || !cut(rest, keyField) || !cut(rest, empty)) return false;
    if (!isWord(name) || !isWord(keyField) || !empty.empty()) return false;
    if (!parsePercent(percentField, percent)) return false;
    procedure = std::string(name);
    percentText = std::string(percentField);
    key = std::string(keyField);
    text = std::string(rest); // the last field; a ';' in it belongs to it
    return true;
}

std::string ServiceMessage::step() const { return text + " (" + key + ")"; }

std::string ServiceMessage::describe() const {
    switch (kind) {
    case Kind::Idle:
        return "idle";
    case Kind::Progress:
        return procedure + " " + percentText + "% " + step();
    case Kind::Response:
        return accepted ? "accepted" : "refused: " + reason;
    case Kind::Malformed:
        break;
    }
    return "malformed";
}
