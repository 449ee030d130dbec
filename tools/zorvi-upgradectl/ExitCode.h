#pragma once

#include <cstddef>

// What the program's exit status tells a script. The values are part of the
// interface: documented in --help and docs/client.md, never renumbered.
enum class ExitCode : int {
    Success = 0,
    StepFailed = 1,        // the procedure stopped at a failed step
    Usage = 2,             // bad command line
    Refused = 3,           // the service answered the request with "false"
    NotRunning = 4,        // no service listens on the socket
    PermissionDenied = 5,  // the socket is closed to this user
    ConnectionLost = 6,    // the service closed the connection, or a socket error
    TimedOut = 7,          // nothing came from the service in time
    Busy = 8,              // a procedure runs or has just completed; none was started
};

class ExitCodes {
public:
    struct Entry {
        ExitCode code;
        const char* meaning;
    };

    // Every code with its one-line meaning, in numeric order (for --help).
    static const Entry* begin();
    static const Entry* end();
    static int value(ExitCode code) { return static_cast<int>(code); }
};
