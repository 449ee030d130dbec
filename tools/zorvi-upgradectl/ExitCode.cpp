#include "ExitCode.h"

#include <iterator>

namespace {
constexpr ExitCodes::Entry kEntries[] = {
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
} // namespace

const ExitCodes::Entry* ExitCodes::begin() { return std::begin(kEntries); }
const ExitCodes::Entry* ExitCodes::end() { return std::end(kEntries); }
