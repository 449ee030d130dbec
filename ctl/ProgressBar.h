#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The one line a terminal shows while a procedure runs:
//   erase_upgrade [#########...........]  45.3%  0:07  Installing Python
// It never reaches the last column, so it cannot wrap and break the redraw.
namespace ProgressBar {

inline constexpr int kMinColumns = 20;

std::string render(std::string_view procedure, double percent, std::string_view text, int64_t elapsedMs,
                   int columns);
// "0:07", "12:34", "1:02:03".
std::string elapsed(int64_t ms);

} // namespace ProgressBar
