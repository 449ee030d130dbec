#include "JsonDisplay.h"

#include <cstdio>

void JsonDisplay::malformed(const ServiceMessage& message) {
    writeLine(toJson(message));
    Display::malformed(message);
}

std::string JsonDisplay::toJson(const ServiceMessage& m) {
    using Kind = ServiceMessage::Kind;
    std::string out;
    switch (m.kind) {
    case Kind::Idle:
        out = "{\"type\":\"idle\"";
        break;
    case Kind::Progress: {
        char percent[32];
        std::snprintf(percent, sizeof percent, "%.3f", m.percent);
        out = "{\"type\":\"progress\",\"procedure\":" + Escape::json(m.procedure) + ",\"percent\":" + percent +
              ",\"key\":" + Escape::json(m.key) + ",\"text\":" + Escape::json(m.text) +
              ",\"completed\":" + (m.isCompleted() ? "true" : "false");
        break;
    }
    case Kind::Response:
        out = "{\"type\":\"response\",\"id\":" + (m.hasId ? std::to_string(m.id) : std::string("null")) +
              ",\"accepted\":" + (m.accepted ? "true" : "false") + ",\"reason\":" + Escape::json(m.reason);
        break;
    case Kind::Malformed:
        out = "{\"type\":\"malformed\"";
        break;
    }
    return out + ",\"raw\":" + Escape::json(m.raw) + "}";
}
