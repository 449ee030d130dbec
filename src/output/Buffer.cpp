#include "output/Buffer.h"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace {

template <class T>
bool appendDecimal(char* data, uint32_t& length, T value) {
    if (length > Buffer::kMaxContent - 1) return false;
    // The window ends before the reserved last byte; to_chars is locale-free
    // and prints the most negative value correctly.
    std::to_chars_result r = std::to_chars(data + length, data + Buffer::kMaxContent, value);
    if (r.ec != std::errc()) return false;
    length = static_cast<uint32_t>(r.ptr - data);
    return true;
}

} // namespace

bool Buffer::append(TemporaryStringView text) {
    uint32_t room = kMaxContent - length_;
    if (text.size() > room) return false;
    if (text.size() > 0) std::memcpy(data_ + length_, text.data(), text.size());
    length_ += text.size();
    return true;
}

void Buffer::append(char c) {
    if (length_ < kMaxContent) data_[length_++] = c;
}

bool Buffer::appendSigned(int32_t value) { return appendDecimal(data_, length_, value); }
bool Buffer::appendSigned(int64_t value) { return appendDecimal(data_, length_, value); }
bool Buffer::appendUnsigned(uint32_t value) { return appendDecimal(data_, length_, value); }
bool Buffer::appendUnsigned(uint64_t value) { return appendDecimal(data_, length_, value); }

bool Buffer::appendFormatted(const char* format, double value) {
    if (length_ > kMaxContent - 1) return false;
    uint32_t room = kMaxContent - length_;
    int n = std::snprintf(data_ + length_, room, format, value);
    // A negative result compares huge as unsigned and fails, like a truncation.
    if (static_cast<uint32_t>(n) >= room) return false;
    length_ += static_cast<uint32_t>(n);
    return true;
}

bool Buffer::append(float value) { return appendFormatted("%.9g", static_cast<double>(value)); }
bool Buffer::append(double value) { return appendFormatted("%.17g", value); }
bool Buffer::appendFixed3(double value) { return appendFormatted("%.3f", value); }

void Buffer::terminateLine() { data_[length_++] = '\n'; }
