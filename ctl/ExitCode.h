#pragma once

#include <cstddef>
#include <iterator>

// What the program's exit status tells a script. The values are part of the
// interface, never renumbered: --help prints the table below, and the manual
// page (zorvi-upgradectl.1) documents each code.
enum class ExitCode : int {
    Success = 0,
    StepFailed = 1,
    Usage = 2,
    Refused = 3,
    NotRunning = 4,
    PermissionDenied = 5,
    ConnectionLost = 6,
    TimedOut = 7,
    Busy = 8,
};

struct ExitCodeMeaning {
    ExitCode code;
    const char* meaning;
};

// Every code with its one-line meaning, in numeric order.
inline constexpr ExitCodeMeaning kExitCodes[] = {
    {ExitCode::Success, "success (for upgrade and erase-upgrade: the procedure completed)"},
    {ExitCode::StepFailed, "the procedure stopped at a failed step"},
    {ExitCode::Usage, "usage error"},
    {ExitCode::Refused, "the service refused the request"},
    {ExitCode::NotRunning, "the upgrade service is not running"},
    {ExitCode::PermissionDenied, "permission denied on the socket"},
    {ExitCode::ConnectionLost, "the connection closed or failed"},
    {ExitCode::TimedOut, "no message from the service in time"},
    {ExitCode::Busy, "a procedure is already running, or completed and the hub is restarting; none was started"},
};

constexpr bool everyCodeOnceInOrder() {
    for (size_t i = 0; i < std::size(kExitCodes); ++i)
        if (static_cast<size_t>(kExitCodes[i].code) != i) return false;
    return static_cast<size_t>(ExitCode::Busy) + 1 == std::size(kExitCodes);
}
static_assert(everyCodeOnceInOrder(), "kExitCodes lists each ExitCode once, in numeric order");
