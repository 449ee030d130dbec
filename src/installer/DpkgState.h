#pragma once

#include <cstdint>

#include "util/StringView.h"

namespace Installer {

inline constexpr CStringView kDpkgDirectory = "/var/lib/dpkg";

// What an interrupted dpkg run left behind, read from dpkg's own files (its
// update journal and its status file) rather than asked of a program.
class DpkgState {
public:
    static constexpr uint32_t kMaxNameLength = 64;
    static constexpr uint32_t kMaxListed = 16;

    // Packages only a reinstall mends, or whose removal was cut off.
    struct List {
        char names[kMaxListed][kMaxNameLength + 1] = {};
        uint32_t count = 0; // listed; the rest are only counted
        uint32_t total = 0;
        void add(TemporaryStringView name);
    };

    // Reads `directory` (dpkg's admin directory). A directory or status file that
    // cannot be read leaves the state clean: there is nothing known to repair.
    static DpkgState read(CStringView directory);

    bool clean() const {
        return journal == 0 && unfinished == 0 && reinstall.total == 0 && remove.total == 0 && purge.total == 0 &&
               unusable == 0;
    }

    uint32_t journal = 0;    // entries pending in updates/
    uint32_t unfinished = 0; // packages left half-configured, unpacked or awaiting triggers
    List reinstall;          // half-installed or reinstall-required, meant to stay installed
    List remove;             // half-installed while being removed
    List purge;              // half-installed while being purged
    uint32_t unusable = 0;   // names that are no valid package name: never handed to a shell
};

} // namespace Installer
