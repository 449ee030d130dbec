#pragma once

#include <algorithm>
#include <cstddef>
#include <new>

#include "installer/Upgrader.h"
#include "installer/erase/Upgrader.h"
#include "installer/migration/Upgrader.h"

namespace Installer {

struct erase_upgrade_t {};
struct migration_upgrade_t {};

// Holds exactly one procedure in place, never on the heap; all calls go
// through the Upgrader interface.
class Variant {
public:
    explicit Variant(erase_upgrade_t) : upgrader_(new (storage_) Erase::Upgrader()) {}
    explicit Variant(migration_upgrade_t) : upgrader_(new (storage_) Migration::Upgrader()) {}
    ~Variant() { upgrader_->~Upgrader(); }

    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;

    Upgrader& get() { return *upgrader_; }
    const Upgrader& get() const { return *upgrader_; }

private:
    static constexpr size_t kSize = std::max(sizeof(Erase::Upgrader), sizeof(Migration::Upgrader));
    static constexpr size_t kAlign = std::max(alignof(Erase::Upgrader), alignof(Migration::Upgrader));

    alignas(kAlign) unsigned char storage_[kSize];
    Upgrader* upgrader_;
};

} // namespace Installer
