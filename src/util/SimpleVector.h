#pragma once

#include <cassert>
#include <cstdint>
#include <utility>

// A vector of at most N values stored inline. All N slots always exist (default
// constructed); `count` says how many at the front are in use. Users keep the
// count below N themselves; debug builds assert it.
template <class T, uint32_t N>
class SimpleVector {
public:
    void push_back(const T& value) {
        assert(count_ < N);
        items_[count_++] = value;
    }
    void push_back(T&& value) {
        assert(count_ < N);
        items_[count_++] = std::move(value);
    }
    void pop_back() {
        assert(count_ > 0);
        --count_;
    }

    T& operator[](uint32_t i) { return items_[i]; }
    const T& operator[](uint32_t i) const { return items_[i]; }
    uint32_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    static constexpr uint32_t capacity() { return N; }

    T* data() { return items_; }
    T* begin() { return items_; }
    T* end() { return items_ + count_; }
    const T* begin() const { return items_; }
    const T* end() const { return items_ + count_; }

private:
    T items_[N]{};
    uint32_t count_ = 0;
};
