#pragma once

#include <chrono>

#include "Display.h"

// A progress bar redrawn in place with "\r" and erase-to-end-of-line, ticking
// every second so the elapsed time moves while a long step runs.
class TerminalDisplay : public Display {
public:
    // `fd` is the terminal (standard output), asked for its width at each redraw.
    explicit TerminalDisplay(int fd) : fd_(fd) {}

    void notification(const ServiceMessage& message) override;
    void tick() override;
    int tickMs() const override { return barOpen_ ? 1000 : -1; }
    void finish() override;

private:
    void draw();
    int columns() const;

    int fd_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    bool barOpen_ = false;
    ServiceMessage current_;
};
