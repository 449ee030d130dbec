#include "TerminalDisplay.h"

#include <cstdio>
#include <sys/ioctl.h>

#include "ProgressBar.h"

namespace {
constexpr int kDefaultColumns = 80;
constexpr const char* kRedraw = "\r\033[K"; // to column 0, erase the old line
} // namespace

void TerminalDisplay::notification(const ServiceMessage& message) {
    if (message.kind != ServiceMessage::Kind::Progress) {
        finish();
        writeLine(message.describe());
        return;
    }
    current_ = message;
    barOpen_ = true;
    draw();
    // The last state stays on screen; what follows starts on a line of its own.
    if (message.isCompleted()) finish();
}

void TerminalDisplay::tick() {
    if (barOpen_) draw();
}

void TerminalDisplay::finish() {
    if (!barOpen_) return;
    std::fputc('\n', stdout);
    std::fflush(stdout);
    barOpen_ = false;
}

void TerminalDisplay::draw() {
    using namespace std::chrono;
    const int64_t elapsedMs = duration_cast<milliseconds>(steady_clock::now() - start_).count();
    const std::string line =
        ProgressBar::render(current_.procedure, current_.percent, current_.text, elapsedMs, columns());
    std::fputs(kRedraw, stdout);
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

int TerminalDisplay::columns() const {
    winsize size{};
    if (ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return kDefaultColumns;
}
