#pragma once

#include <concepts>
#include <cstdint>

#include "util/StringView.h"

// A fixed 1024-byte text buffer, filled by typed all-or-nothing appends that
// never allocate. Content is limited to 1023 bytes: the last byte is kept for
// the newline that print() adds. No NUL terminator is stored.
class Buffer {
public:
    static constexpr uint32_t kSize = 1024;
    static constexpr uint32_t kMaxContent = kSize - 1;

    bool append(TemporaryStringView text);
    // The character is dropped when the buffer is already full; nothing reports it.
    void append(char c);
    bool append(float value);  // "%.9g"
    bool append(double value); // "%.17g"
    bool appendFixed3(double value); // "%.3f", for progress percentages

    template <std::integral T>
        requires(!std::same_as<T, bool> && !std::same_as<T, char>)
    bool append(T value) {
        if constexpr (std::is_signed_v<T>) {
            if constexpr (sizeof(T) <= 4)
                return appendSigned(static_cast<int32_t>(value));
            else
                return appendSigned(static_cast<int64_t>(value));
        } else {
            if constexpr (sizeof(T) <= 4)
                return appendUnsigned(static_cast<uint32_t>(value));
            else
                return appendUnsigned(static_cast<uint64_t>(value));
        }
    }

    // Stores '\n' after the content; always fits because appends stop at 1023.
    void terminateLine();
    void clear() { length_ = 0; }

    const char* data() const { return data_; }
    uint32_t length() const { return length_; }
    StringView view() const { return StringView(data_, length_); }

private:
    bool appendSigned(int32_t value);
    bool appendSigned(int64_t value);
    bool appendUnsigned(uint32_t value);
    bool appendUnsigned(uint64_t value);
    bool appendFormatted(const char* format, double value);

    char data_[kSize];
    uint32_t length_ = 0;
};
