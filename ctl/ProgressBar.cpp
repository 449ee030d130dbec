#include "ProgressBar.h"

#include <algorithm>
#include <cstdio>

namespace {
constexpr int kMaxBarWidth = 30;
constexpr int kMinBarWidth = 10;
} // namespace

std::string ProgressBar::elapsed(int64_t ms) {
    const int64_t total = std::max<int64_t>(ms, 0) / 1000;
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(total / 3600),
                      static_cast<long long>(total / 60 % 60), static_cast<long long>(total % 60));
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(total / 60),
                      static_cast<long long>(total % 60));
    return text;
}

std::string ProgressBar::render(std::string_view procedure, double percent, std::string_view text,
                                int64_t elapsedMs, int columns) {
    const double shown = std::clamp(percent, 0.0, 100.0);
    char number[16];
    std::snprintf(number, sizeof number, "%5.1f%%", shown);
    const std::string tail = std::string(" ") + number + "  " + elapsed(elapsedMs);
    const int width = std::max(columns, kMinColumns) - 1;

    // The step text matters more than a long bar: the bar shrinks to make room
    // for it, down to its minimum; on a narrow terminal the name goes first.
    const int textRoom = text.empty() ? 0 : static_cast<int>(text.size()) + 2;
    std::string head = std::string(procedure) + " ";
    const int fixed = static_cast<int>(head.size() + tail.size()) + 2;
    int barWidth = std::clamp(width - fixed - textRoom, kMinBarWidth, kMaxBarWidth);
    if (fixed + barWidth > width) {
        head.clear();
        barWidth = std::clamp(width - static_cast<int>(tail.size()) - 2 - textRoom, kMinBarWidth / 2, kMaxBarWidth);
    }
    const int filled = static_cast<int>(shown / 100.0 * barWidth + 0.5);
    std::string line = head + "[" + std::string(filled, '#') + std::string(barWidth - filled, '.') + "]" + tail;

    const int room = width - static_cast<int>(line.size()) - 2;
    if (room >= 4 && !text.empty()) {
        line += "  ";
        if (static_cast<int>(text.size()) <= room)
            line += text;
        else
            line += std::string(text.substr(0, room - 3)) + "...";
    }
    if (static_cast<int>(line.size()) > width) line.resize(width);
    return line;
}
