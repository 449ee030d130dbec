#pragma once

#include <string>
#include <string_view>

#include "ServiceMessage.h"

inline constexpr char kProgram[] = "zorvi-upgradectl";

// Where the program's output goes. This one prints a line per notification,
// nothing redrawn: for pipes, files and logs. TerminalDisplay redraws a
// progress bar, JsonDisplay writes JSON. Errors always go to standard error,
// prefixed with the program name.
class Display {
public:
    virtual ~Display() = default;

    // A notification that arrived while watching or following.
    virtual void notification(const ServiceMessage& message) { writeLine(message.describe()); }
    // A message only a complete record (JSON) lists: a response, or the state
    // replayed before a request; the program reports what it means itself.
    virtual void unlisted(const ServiceMessage&) {}
    // A datagram that is neither; reported, then skipped.
    virtual void malformed(const ServiceMessage& message);
    // What `status` prints: the current state as one line.
    virtual void snapshot(const ServiceMessage& message) { note(message.describe()); }
    // A line for a person on standard output (JSON output leaves it out).
    virtual void note(const std::string& line);
    // Called about every tickMs() (-1: never) while waiting.
    virtual void tick() {}
    virtual int tickMs() const { return -1; }
    // Ends any line left open; called before errors and on exit.
    virtual void finish() {}

    void error(const std::string& text);

protected:
    static void writeLine(const std::string& line);
};

// Safe renderings of bytes that came from the socket.
namespace Escape {
// A JSON string literal, quotes included. Bytes above 0x7f are taken as
// Latin-1, so any datagram gives valid UTF-8 output.
std::string json(std::string_view bytes);
// For a message to a person: printable ASCII kept, everything else as \xNN,
// cut after `limit` bytes with "...".
std::string visible(std::string_view bytes, size_t limit = 120);
} // namespace Escape
