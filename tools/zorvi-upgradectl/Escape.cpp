#include "Escape.h"

#include <cstdio>

std::string Escape::json(std::string_view bytes) {
    std::string out = "\"";
    for (char ch : bytes) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c >= 0x20 && c < 0x7f) {
            out += ch;
        } else if (c < 0x80) {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", c);
            out += code;
        } else {
            // Latin-1 to UTF-8: two bytes.
            out += static_cast<char>(0xc0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3f));
        }
    }
    out += '"';
    return out;
}

std::string Escape::visible(std::string_view bytes, size_t limit) {
    std::string out;
    const std::string_view shown = bytes.substr(0, limit);
    for (char ch : shown) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += ch;
        } else {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02x", c);
            out += code;
        }
    }
    if (shown.size() < bytes.size()) out += "...";
    return out;
}
