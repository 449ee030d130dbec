#pragma once

#include <string>

#include "Connection.h"
#include "Display.h"
#include "ExitCode.h"
#include "Options.h"
#include "ProcedureTracker.h"
#include "ServiceMessage.h"

// Carries out one subcommand against the service and decides the exit status.
class Controller {
public:
    Controller(const Options& options, Display& display) : options_(options), display_(display) {}

    ExitCode run();

private:
    enum class Got { Notification, Response, Closed, TimedOut, Failed };

    ExitCode connect();
    ExitCode status();
    ExitCode watch();
    ExitCode request();
    ExitCode follow(double timeout);
    ExitCode checkIdle();
    ExitCode awaitResponse(uint16_t id);
    ExitCode closed();
    ExitCode timedOut(double seconds, const std::string& what);

    // The next response or notification within `timeout` seconds (0: no limit).
    // Malformed datagrams are reported and skipped; a stop signal ends the program.
    Got next(double timeout, ServiceMessage& message);
    [[noreturn]] void stop(int signal);

    const Options& options_;
    Display& display_;
    Connection connection_;
    ProcedureTracker tracker_;
    bool following_ = false; // a procedure we started, so the service keeps it going without us
};
