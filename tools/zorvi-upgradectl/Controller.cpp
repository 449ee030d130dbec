#include "Controller.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Clock.h"
#include "ProgressBar.h"
#include "RequestId.h"
#include "StopSignal.h"
#include "protocol/ClientProtocol.h"

namespace {
// Defaults of --timeout: status is a quick look; a request's answer may wait
// while the service finishes something else; a procedure may take hours.
constexpr double kStatusWait = 2.0;
constexpr double kResponseWait = 30.0;
constexpr double kForever = 0.0;
// A frontend sends its replay as soon as it accepts us; when it has nothing to
// replay (just restarted) this is how long we hold the request back.
constexpr double kReplayWait = 1.0;

// The service's two ways of saying that a procedure runs or has just ended:
// the request was not queued, and another one now would be refused alike.
bool refusedBecauseBusy(const std::string& reason) {
    return reason == Reason::kInProgress || reason == Reason::kRestarting;
}

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}
} // namespace

ExitCode Controller::run() {
    const ExitCode connected = connect();
    if (connected != ExitCode::Success) return connected;
    switch (options_.action) {
    case Options::Action::Status:
        return status();
    case Options::Action::Watch:
        return watch();
    case Options::Action::Start:
    case Options::Action::Ask:
        return request();
    }
    return ExitCode::Usage;
}

ExitCode Controller::connect() {
    const std::string& path = options_.socketPath;
    switch (connection_.open(path)) {
    case Connection::Opened::Ok:
        return ExitCode::Success;
    case Connection::Opened::NotRunning:
        display_.error("the upgrade service is not running (nothing listens at " + path + ")");
        return ExitCode::NotRunning;
    case Connection::Opened::PermissionDenied:
        display_.error("permission denied: the user must be in group zorvi-upgrade");
        return ExitCode::PermissionDenied;
    case Connection::Opened::PathTooLong:
        display_.error("socket path too long: " + path);
        return ExitCode::Usage;
    case Connection::Opened::Failed:
        break;
    }
    display_.error("cannot connect to " + path + ": " + std::strerror(errno));
    return ExitCode::ConnectionLost;
}

ExitCode Controller::status() {
    const double wait = options_.timeoutOr(kStatusWait);
    ServiceMessage message;
    for (;;) {
        switch (next(wait, message)) {
        case Got::Notification:
            display_.snapshot(message);
            return ExitCode::Success;
        case Got::Response:
            display_.unlisted(message); // not ours: we asked nothing
            continue;
        case Got::Closed:
            return closed();
        case Got::TimedOut:
            return timedOut(wait, "no status yet: the service has reported nothing since it started");
        case Got::Failed:
            return ExitCode::ConnectionLost;
        }
    }
}

ExitCode Controller::watch() { return follow(options_.timeoutOr(kForever)); }

ExitCode Controller::request() {
    const bool starts = options_.action == Options::Action::Start;
    const ExitCode idle = checkIdle();
    if (idle != ExitCode::Success) return idle;
    const uint16_t id = RequestId::fresh();
    if (!connection_.send(ClientProtocol::kRequestPrefix + std::to_string(id) + ";" + options_.requestWord)) {
        display_.error("could not send the request to the service");
        return ExitCode::ConnectionLost;
    }
    const ExitCode answer = awaitResponse(id);
    if (answer != ExitCode::Success || !starts) return answer;
    following_ = true;
    tracker_.reset();
    return follow(options_.timeoutOr(kForever));
}

// A request sent while a procedure runs would only be refused: look at the
// replay first and say so without asking.
ExitCode Controller::checkIdle() {
    const double wait = options_.timeout > 0 && options_.timeout < kReplayWait ? options_.timeout : kReplayWait;
    ServiceMessage message;
    switch (next(wait, message)) {
    case Got::Notification:
        display_.unlisted(message);
        tracker_.onNotification(message);
        if (tracker_.running()) {
            display_.error("a procedure is already running: " + message.describe() +
                           "; the service reads no request until it ends, so nothing was sent"
                           " ('zorvi-upgradectl watch' follows it)");
            return ExitCode::Busy;
        }
        break;
    case Got::Response:
        display_.unlisted(message);
        break;
    case Got::Closed:
        return closed();
    case Got::TimedOut:
        break; // nothing to replay yet: a fresh service, idle
    case Got::Failed:
        return ExitCode::ConnectionLost;
    }
    tracker_.reset();
    return ExitCode::Success;
}

ExitCode Controller::awaitResponse(uint16_t id) {
    const double wait = options_.timeoutOr(kResponseWait);
    const std::string& word = options_.requestWord;
    ServiceMessage message;
    for (;;) {
        switch (next(wait, message)) {
        case Got::Notification:
            // Someone else's procedure, started just before ours: ours is
            // answered when it is over. A bare idle says nothing new.
            if (message.kind == ServiceMessage::Kind::Idle && !tracker_.running())
                display_.unlisted(message);
            else
                display_.notification(message);
            tracker_.onNotification(message);
            continue;
        case Got::Response:
            display_.unlisted(message);
            // No id: the service could not read ours, so the answer is ours.
            if (message.hasId && message.id != id) continue;
            if (!message.accepted) {
                display_.error(word + " refused: " + (message.reason.empty() ? "no reason given" : message.reason));
                return refusedBecauseBusy(message.reason) ? ExitCode::Busy : ExitCode::Refused;
            }
            display_.note(word + " accepted (request " + std::to_string(id) + ")");
            return ExitCode::Success;
        case Got::Closed:
            return closed();
        case Got::TimedOut:
            return timedOut(wait, "no answer to " + word + "; the service may still carry it out later");
        case Got::Failed:
            return ExitCode::ConnectionLost;
        }
    }
}

ExitCode Controller::follow(double timeout) {
    const Clock::Time start = Clock::now();
    ServiceMessage message;
    for (;;) {
        switch (next(timeout, message)) {
        case Got::Notification:
            display_.notification(message);
            switch (tracker_.onNotification(message)) {
            case ProcedureTracker::Event::Completed:
                if (following_)
                    display_.note(message.procedure + " completed in " + ProgressBar::elapsed(Clock::now() - start));
                return ExitCode::Success;
            case ProcedureTracker::Event::Failed:
                display_.error("failed at: " + tracker_.lastStep().step());
                return ExitCode::StepFailed;
            case ProcedureTracker::Event::Step:
            case ProcedureTracker::Event::None:
                continue;
            }
            continue;
        case Got::Response:
            display_.unlisted(message);
            continue;
        case Got::Closed:
            return closed();
        case Got::TimedOut:
            return timedOut(timeout, "no notification from the service");
        case Got::Failed:
            return ExitCode::ConnectionLost;
        }
    }
}

ExitCode Controller::closed() {
    if (!tracker_.running()) {
        display_.error("the upgrade service closed the connection");
    } else if (tracker_.lastStep().key == "reboot") {
        display_.error("the upgrade service closed the connection during the reboot step: "
                       "the hub is probably restarting");
    } else {
        display_.error("the upgrade service closed the connection while at: " + tracker_.lastStep().step());
    }
    return ExitCode::ConnectionLost;
}

ExitCode Controller::timedOut(double wait, const std::string& what) {
    display_.error(what + " (waited " + seconds(wait) + " s)");
    return ExitCode::TimedOut;
}

Controller::Got Controller::next(double timeout, ServiceMessage& message) {
    const bool limited = timeout > 0;
    const Clock::Time deadline = Clock::now() + Clock::fromSeconds(timeout);
    std::string datagram;
    for (;;) {
        int wait = limited ? Clock::millisecondsUntil(deadline) : -1;
        const int tick = display_.tickMs();
        if (tick >= 0 && (wait < 0 || tick < wait)) wait = tick;

        bool truncated = false;
        switch (connection_.receive(wait, datagram, truncated)) {
        case Connection::Received::Message:
            message = ServiceMessage::parse(datagram, truncated);
            if (message.kind == ServiceMessage::Kind::Malformed) {
                display_.malformed(message);
                continue;
            }
            return message.kind == ServiceMessage::Kind::Response ? Got::Response : Got::Notification;
        case Connection::Received::TimedOut:
            if (limited && Clock::millisecondsUntil(deadline) == 0) return Got::TimedOut;
            display_.tick();
            continue;
        case Connection::Received::Interrupted:
            stop(StopSignal::caught());
        case Connection::Received::Closed:
            return Got::Closed;
        case Connection::Received::Failed:
            display_.finish();
            return Got::Failed;
        }
    }
}

void Controller::stop(int signal) {
    if (following_ && tracker_.running())
        display_.error("stopped following; the procedure goes on in the service "
                       "('zorvi-upgradectl watch' follows it again)");
    display_.finish();
    StopSignal::dieOf(signal);
}
