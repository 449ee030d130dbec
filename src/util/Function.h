#pragma once

#include <cstring>
#include <utility>

// A callback bound to an object and one of its member functions: four words,
// copied word for word, never allocates. It does not own the object, which must
// outlive every call. A virtual member resolves through the object's dynamic type.
template <class Signature>
class Function;

template <class R, class... Args>
class Function<R(Args...)> {
public:
    constexpr Function() = default;

    template <class C>
    Function(C* object, R (C::*method)(Args...)) : invoker_(&invoke<C>), object_(object) {
        static_assert(sizeof(method) <= sizeof(method_), "member pointer wider than two words");
        std::memcpy(method_, &method, sizeof(method));
    }

    explicit operator bool() const { return object_ != nullptr; }

    // Callers test the Function first; calling an empty one is outside the contract.
    R operator()(Args... args) const { return invoker_(*this, std::forward<Args>(args)...); }

private:
    using Invoker = R (*)(const Function&, Args...);

    template <class C>
    static R invoke(const Function& f, Args... args) {
        R (C::*method)(Args...);
        std::memcpy(&method, f.method_, sizeof(method));
        return (static_cast<C*>(f.object_)->*method)(std::forward<Args>(args)...);
    }

    Invoker invoker_ = nullptr;
    void* object_ = nullptr;
    alignas(void*) unsigned char method_[2 * sizeof(void*)] = {};
};
