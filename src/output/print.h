#pragma once

#include <type_traits>

#include "output/Buffer.h"

namespace detail {
template <class T>
bool appendArgument(Buffer& line, const T& value) {
    if constexpr (std::is_same_v<T, char>) {
        line.append(value);
        return true;
    } else {
        return line.append(value);
    }
}
} // namespace detail

// Hands one finished line to standard output in a single write and flushes.
void writeLine(Buffer& line);

// Logs one line on standard output: the arguments appended left to right (the
// first one that does not fit ends the line), then a newline. No time stamp, no
// level: callers name their process in the text themselves.
template <class... Args>
void print(const Args&... args) {
    Buffer line;
    (void)(detail::appendArgument(line, args) && ...);
    line.terminateLine();
    writeLine(line);
}
