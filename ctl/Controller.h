#pragma once

#include <string>

#include "Connection.h"
#include "Display.h"
#include "ExitCode.h"
#include "Options.h"
#include "ServiceMessage.h"

// Carries out one subcommand against the service and decides the exit status.
class Controller {
public:
    Controller(const Options& options, Display& display) : options_(options), display_(display) {}

    ExitCode run();

private:
    // How a notification ended the procedure being followed, if it did.
    enum class Event { None, Completed, Failed };

    ExitCode connect();
    ExitCode status();
    ExitCode request();
    ExitCode checkIdle();
    ExitCode awaitResponse(uint16_t id);
    ExitCode follow(double timeout);

    // True with the next response or notification within `timeout` seconds (0:
    // no limit); malformed datagrams are reported and skipped. False when the
    // wait ended, with `end` the exit code: the connection closed or failed, or
    // nothing came in time, reported as `silence`, or a success when `silence`
    // is empty. A stop signal ends the program.
    bool next(double timeout, const std::string& silence, ServiceMessage& message, ExitCode& end);
    Event track(const ServiceMessage& notification);
    ExitCode closed();
    [[noreturn]] void stop(int signal);

    const Options& options_;
    Display& display_;
    Connection connection_;
    // The service sends no failure message: after a failed step the backend
    // exits and its successor announces idle, so idle after a step that is not
    // "completed" means the procedure stopped at that step.
    bool running_ = false;    // a step seen, and neither completed nor idle since
    ServiceMessage lastStep_; // the step that was running, or that failed
    bool following_ = false;  // a procedure we started, so the service keeps it going without us
};
