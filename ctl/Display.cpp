#include "Display.h"

#include <cstdio>

void Display::malformed(const ServiceMessage& message) {
    error("skipped a malformed message from the service: \"" + Escape::visible(message.raw) + "\"");
}

void Display::note(const std::string& line) {
    finish();
    writeLine(line);
}

void Display::error(const std::string& text) {
    finish();
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str());
    std::fflush(stderr);
}

void Display::writeLine(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    // A reader at the other end of a pipe follows the procedure as it runs.
    std::fflush(stdout);
}

namespace {
std::string code(const char* format, unsigned char c) {
    char text[8];
    std::snprintf(text, sizeof text, format, c);
    return text;
}
} // namespace

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
            out += code("\\u%04x", c);
        } else {
            // Latin-1 to UTF-8: two bytes.
            out += static_cast<char>(0xc0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3f));
        }
    }
    return out + '"';
}

std::string Escape::visible(std::string_view bytes, size_t limit) {
    std::string out;
    const std::string_view shown = bytes.substr(0, limit);
    for (char ch : shown) {
        const unsigned char c = static_cast<unsigned char>(ch);
        out += c >= 0x20 && c < 0x7f && c != '\\' ? std::string(1, ch) : code("\\x%02x", c);
    }
    return shown.size() < bytes.size() ? out + "..." : out;
}
