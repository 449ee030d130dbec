#pragma once

#include <cstddef>
#include <cstdint>

// A non-owning range [begin, end) of T. Two words, passed by value. A received
// message travels as a View of const char that is valid only during the callback.
template <class T>
class View {
public:
    constexpr View() = default;
    constexpr View(T* begin, T* end) : begin_(begin), end_(end) {}
    constexpr View(T* begin, size_t count) : begin_(begin), end_(begin + count) {}
    template <size_t N>
    constexpr View(T (&array)[N]) : begin_(array), end_(array + N) {}

    constexpr T* begin() const { return begin_; }
    constexpr T* end() const { return end_; }
    constexpr size_t size() const { return static_cast<size_t>(end_ - begin_); }
    constexpr bool empty() const { return begin_ == end_; }
    constexpr T& operator[](size_t i) const { return begin_[i]; }

private:
    T* begin_ = nullptr;
    T* end_ = nullptr;
};
