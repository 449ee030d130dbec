#include "Controller.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

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

using Clock = std::chrono::steady_clock;

int64_t millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// 0 once `deadline` has passed.
int millisecondsUntil(Clock::time_point deadline) {
    const int64_t left = -millisecondsSince(deadline);
    return left <= 0 ? 0 : static_cast<int>(left);
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
        return follow(options_.timeoutOr(kForever));
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
    ServiceMessage message;
    ExitCode end;
    while (next(options_.timeoutOr(kStatusWait), "no status yet: the service has reported nothing since it started",
                message, end)) {
        if (message.isNotification()) {
            display_.snapshot(message);
            return ExitCode::Success;
        }
        display_.unlisted(message); // not ours: we asked nothing
    }
    return end;
}

ExitCode Controller::request() {
    const ExitCode idle = checkIdle();
    if (idle != ExitCode::Success) return idle;
    const uint16_t id = RequestId::fresh();
    if (!connection_.send(ClientProtocol::kRequestPrefix + std::to_string(id) + ";" + options_.requestWord)) {
        display_.error("could not send the request to the service");
        return ExitCode::ConnectionLost;
    }
    const ExitCode answer = awaitResponse(id);
    if (answer != ExitCode::Success || options_.action != Options::Action::Start) return answer;
    following_ = true;
    running_ = false;
    return follow(options_.timeoutOr(kForever));
}

// A request sent while a procedure runs would only be refused: look at the
// replay first and say so without asking.
ExitCode Controller::checkIdle() {
    const double wait = options_.timeout > 0 && options_.timeout < kReplayWait ? options_.timeout : kReplayWait;
    ServiceMessage message;
    ExitCode end = ExitCode::Success;
    // Silence ends the wait as a success: a fresh service has nothing to replay yet.
    if (next(wait, "", message, end)) {
        display_.unlisted(message);
        if (message.isNotification()) track(message);
        if (running_) {
            display_.error("a procedure is already running: " + message.describe() +
                           "; the service reads no request until it ends, so nothing was sent"
                           " ('zorvi-upgradectl watch' follows it)");
            return ExitCode::Busy;
        }
    }
    return end;
}

ExitCode Controller::awaitResponse(uint16_t id) {
    const std::string& word = options_.requestWord;
    const std::string silence = "no answer to " + word + "; the service may still carry it out later";
    ServiceMessage message;
    ExitCode end;
    while (next(options_.timeoutOr(kResponseWait), silence, message, end)) {
        if (message.isNotification()) {
            // Someone else's procedure, started just before ours: ours is
            // answered when it is over. A bare idle says nothing new.
            if (message.kind == ServiceMessage::Kind::Idle && !running_)
                display_.unlisted(message);
            else
                display_.notification(message);
            track(message);
            continue;
        }
        display_.unlisted(message);
        // No id: the service could not read ours, so the answer is ours.
        if (message.hasId && message.id != id) continue;
        if (message.accepted) {
            display_.note(word + " accepted (request " + std::to_string(id) + ")");
            return ExitCode::Success;
        }
        display_.error(word + " refused: " + (message.reason.empty() ? "no reason given" : message.reason));
        // The service's two ways of saying that a procedure runs or has just ended:
        // the request was not queued, and another one now would be refused alike.
        const bool busy = message.reason == Reason::kInProgress || message.reason == Reason::kRestarting;
        return busy ? ExitCode::Busy : ExitCode::Refused;
    }
    return end;
}

ExitCode Controller::follow(double timeout) {
    const Clock::time_point start = Clock::now();
    ServiceMessage message;
    ExitCode end;
    while (next(timeout, "no notification from the service", message, end)) {
        if (!message.isNotification()) {
            display_.unlisted(message);
            continue;
        }
        display_.notification(message);
        switch (track(message)) {
        case Event::Completed:
            if (following_)
                display_.note(message.procedure + " completed in " + ProgressBar::elapsed(millisecondsSince(start)));
            return ExitCode::Success;
        case Event::Failed:
            display_.error("failed at: " + lastStep_.step());
            return ExitCode::StepFailed;
        case Event::None:
            break;
        }
    }
    return end;
}

bool Controller::next(double timeout, const std::string& silence, ServiceMessage& message, ExitCode& end) {
    const bool limited = timeout > 0;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(timeout * 1000.0 + 0.5));
    std::string datagram;
    for (;;) {
        int wait = limited ? millisecondsUntil(deadline) : -1;
        const int tick = display_.tickMs();
        if (tick >= 0 && (wait < 0 || tick < wait)) wait = tick;

        bool truncated = false;
        switch (connection_.receive(wait, datagram, truncated)) {
        case Connection::Received::Message:
            message = ServiceMessage::parse(datagram, truncated);
            if (message.kind != ServiceMessage::Kind::Malformed) return true;
            display_.malformed(message);
            continue;
        case Connection::Received::TimedOut:
            if (!limited || millisecondsUntil(deadline) > 0) {
                display_.tick();
                continue;
            }
            if (silence.empty()) {
                end = ExitCode::Success;
            } else {
                display_.error(silence + " (waited " + seconds(timeout) + " s)");
                end = ExitCode::TimedOut;
            }
            return false;
        case Connection::Received::Interrupted:
            stop(StopSignal::caught());
        case Connection::Received::Closed:
            end = closed();
            return false;
        case Connection::Received::Failed:
            display_.finish();
            end = ExitCode::ConnectionLost;
            return false;
        }
    }
}

Controller::Event Controller::track(const ServiceMessage& notification) {
    if (notification.kind == ServiceMessage::Kind::Progress) {
        lastStep_ = notification;
        running_ = !notification.isCompleted();
        return running_ ? Event::None : Event::Completed;
    }
    if (notification.kind == ServiceMessage::Kind::Idle && running_) {
        running_ = false;
        return Event::Failed;
    }
    return Event::None;
}

ExitCode Controller::closed() {
    if (!running_) {
        display_.error("the upgrade service closed the connection");
    } else if (lastStep_.key == "reboot") {
        display_.error("the upgrade service closed the connection during the reboot step: "
                       "the hub is probably restarting");
    } else {
        display_.error("the upgrade service closed the connection while at: " + lastStep_.step());
    }
    return ExitCode::ConnectionLost;
}

void Controller::stop(int signal) {
    if (following_ && running_)
        display_.error("stopped following; the procedure goes on in the service "
                       "('zorvi-upgradectl watch' follows it again)");
    display_.finish();
    StopSignal::dieOf(signal);
}
