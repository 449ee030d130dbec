#pragma once

#include <cstdint>

// The per-process record that the library keeps in a shared file mapping, so a
// reader sees the counts live, and after the process died, without a signal.
// File: $ALLOCCOUNT_DIR/<pid>, rewritten at exec, a fresh one for every fork.
struct CountersRecord {
    static constexpr uint32_t kMagic = 0x616c6c63; // "allc"
    uint32_t magic;
    uint32_t pid;      // as the process itself sees it (inside its pid namespace)
    char comm[16];     // program name at exec or fork
    uint64_t malloc;
    uint64_t calloc;
    uint64_t realloc;
    uint64_t aligned;  // memalign, posix_memalign, aligned_alloc, valloc, pvalloc
    uint64_t newCalls; // operator new and new[], every form
    uint64_t free;     // free, operator delete (for a balance, not for the check)
};

static_assert(sizeof(CountersRecord) == 72);

namespace Counters {
// Maps a fresh record for the calling process; false (counting into a private
// record) when ALLOCCOUNT_DIR is unset or the file cannot be made.
bool open();
CountersRecord& record();
} // namespace Counters
