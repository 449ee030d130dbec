#pragma once

#include <cassert>
#include <cstdint>

// A vector of at most N references stored inline as pointers. The referenced
// objects are not owned and must outlive the vector. Visiting yields references.
template <class T, uint32_t N>
class RefVector {
public:
    RefVector() = default;
    template <class... Refs>
    explicit RefVector(Refs&... refs) : items_{&refs...}, count_(sizeof...(Refs)) {
        static_assert(sizeof...(Refs) <= N, "more references than capacity");
    }

    void push_back(T& ref) {
        assert(count_ < N);
        items_[count_++] = &ref;
    }

    T& operator[](uint32_t i) const { return *items_[i]; }
    uint32_t size() const { return count_; }
    bool empty() const { return count_ == 0; }

    class Iterator {
    public:
        explicit Iterator(T* const* at) : at_(at) {}
        T& operator*() const { return **at_; }
        Iterator& operator++() {
            ++at_;
            return *this;
        }
        bool operator!=(const Iterator& other) const { return at_ != other.at_; }

    private:
        T* const* at_;
    };
    Iterator begin() const { return Iterator(items_); }
    Iterator end() const { return Iterator(items_ + count_); }

private:
    T* items_[N] = {};
    uint32_t count_ = 0;
};
