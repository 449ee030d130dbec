#pragma once

#include <string>

#include "ServiceMessage.h"

// Where the program's output goes: a line per message, a redrawn progress bar,
// or JSON. Errors always go to standard error, prefixed with the program name.
class Display {
public:
    virtual ~Display() = default;

    // A notification that arrived while watching or following.
    virtual void notification(const ServiceMessage& message) = 0;
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
