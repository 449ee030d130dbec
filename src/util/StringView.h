#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Non-owning text references, all of one layout: a pointer and a 32-bit byte
// count. The text is not necessarily NUL-terminated, except in CStringView.
//
// TemporaryStringView is the parameter type of operations that only read a text
// during the call; StringView and CStringView convert to it implicitly.
class TemporaryStringView {
public:
    constexpr TemporaryStringView() = default;
    constexpr TemporaryStringView(const char* data, uint32_t size) : data_(data), size_(size) {}
    // A literal's view excludes its terminator: "Frontend pid=" has size 13.
    template <size_t N>
    constexpr TemporaryStringView(const char (&literal)[N]) : data_(literal), size_(N - 1) {}

    constexpr const char* data() const { return data_; }
    constexpr uint32_t size() const { return size_; }
    constexpr bool empty() const { return size_ == 0; }
    constexpr char operator[](uint32_t i) const { return data_[i]; }
    constexpr const char* begin() const { return data_; }
    constexpr const char* end() const { return data_ + size_; }

    constexpr bool startsWith(TemporaryStringView prefix) const {
        return prefix.size_ <= size_ && TemporaryStringView(data_, prefix.size_) == prefix;
    }
    // The text after the first `n` bytes (empty when n exceeds the size).
    constexpr TemporaryStringView dropFront(uint32_t n) const {
        return n >= size_ ? TemporaryStringView(data_ + size_, 0) : TemporaryStringView(data_ + n, size_ - n);
    }
    // Index of the first `c`, or size() when there is none.
    constexpr uint32_t find(char c) const {
        for (uint32_t i = 0; i < size_; ++i)
            if (data_[i] == c) return i;
        return size_;
    }

    friend constexpr bool operator==(TemporaryStringView a, TemporaryStringView b) {
        if (a.size_ != b.size_) return false;
        for (uint32_t i = 0; i < a.size_; ++i)
            if (a.data_[i] != b.data_[i]) return false;
        return true;
    }

private:
    const char* data_ = "";
    uint32_t size_ = 0;
};

// The same view as held or passed on by callers (a callback's text argument).
class StringView : public TemporaryStringView {
public:
    using TemporaryStringView::TemporaryStringView;
    constexpr StringView(TemporaryStringView v) : TemporaryStringView(v) {}
};

// A view whose text is followed by a NUL byte, so data() can go to C library calls.
class CStringView : public TemporaryStringView {
public:
    constexpr CStringView() = default;
    template <size_t N>
    constexpr CStringView(const char (&literal)[N]) : TemporaryStringView(literal) {}
    // For a pointer to a NUL-terminated text (command lines, paths from argv).
    static CStringView fromCString(const char* text) {
        return CStringView(text, static_cast<uint32_t>(std::strlen(text)));
    }
    constexpr const char* c_str() const { return data(); }

private:
    constexpr CStringView(const char* data, uint32_t size) : TemporaryStringView(data, size) {}
};
