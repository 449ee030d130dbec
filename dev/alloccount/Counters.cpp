#include "Counters.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// Used until a file is mapped, and whenever none can be.
CountersRecord fallback;
CountersRecord* current = &fallback;

// Only system calls and stack buffers here: this runs inside the allocator's
// first call, at exec, and in a forked child before it returns from fork().
bool mapFile(const char* dir) {
    char path[512];
    int n = std::snprintf(path, sizeof path, "%s/%d", dir, static_cast<int>(getpid()));
    if (n <= 0 || static_cast<size_t>(n) >= sizeof path) return false;
    int fd = ::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd == -1) return false;
    bool ok = ftruncate(fd, sizeof(CountersRecord)) == 0;
    void* p = ok ? mmap(nullptr, sizeof(CountersRecord), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    ::close(fd);
    if (p == MAP_FAILED) return false;
    current = static_cast<CountersRecord*>(p);
    return true;
}

} // namespace

bool Counters::open() {
    // A fork inherits the parent's mapping: leave it alone, start a new record.
    current = &fallback;
    std::memset(&fallback, 0, sizeof fallback);
    const char* dir = std::getenv("ALLOCCOUNT_DIR");
    if (dir == nullptr || *dir == '\0' || !mapFile(dir)) return false;
    std::memset(current, 0, sizeof(CountersRecord));
    current->pid = static_cast<uint32_t>(getpid());
    prctl(PR_GET_NAME, current->comm);
    current->magic = CountersRecord::kMagic;
    return true;
}

CountersRecord& Counters::record() { return *current; }
