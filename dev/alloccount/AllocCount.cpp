// Counts every heap allocation of the process it is preloaded into:
//   env LD_PRELOAD=liballoccount.so ALLOCCOUNT_DIR=DIR program
// Each process (and each forked child) gets its own record DIR/<pid>; see
// Counters.h for the layout and dev/alloccount/read for a reader.
#include <cstddef>
#include <cstdlib>
#include <new>
#include <pthread.h>
#include <unistd.h>

#include "Counters.h"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {

// Relaxed atomics: the counts only need to be exact, not ordered.
void bump(uint64_t& counter) { __atomic_fetch_add(&counter, 1, __ATOMIC_RELAXED); }

void reopenInChild() { (void)Counters::open(); }

__attribute__((constructor)) void start() {
    (void)Counters::open();
    pthread_atfork(nullptr, nullptr, reopenInChild);
}

bool isPowerOfTwo(size_t n) { return n != 0 && (n & (n - 1)) == 0; }

} // namespace

extern "C" {

void* malloc(size_t size) {
    bump(Counters::record().malloc);
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    bump(Counters::record().calloc);
    return __libc_calloc(count, size);
}

void* realloc(void* p, size_t size) {
    bump(Counters::record().realloc);
    return __libc_realloc(p, size);
}

void free(void* p) {
    if (p != nullptr) bump(Counters::record().free);
    __libc_free(p);
}

void* memalign(size_t alignment, size_t size) {
    bump(Counters::record().aligned);
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void** out, size_t alignment, size_t size) {
    if (!isPowerOfTwo(alignment) || alignment % sizeof(void*) != 0) return 22; // EINVAL
    void* p = memalign(alignment, size);
    if (p == nullptr) return 12; // ENOMEM
    *out = p;
    return 0;
}

void* valloc(size_t size) { return memalign(static_cast<size_t>(sysconf(_SC_PAGESIZE)), size); }

void* pvalloc(size_t size) {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return memalign(page, (size + page - 1) / page * page);
}

} // extern "C"

// operator new counted on its own and taken straight from the C library, so it
// does not count a second time as malloc.
namespace {
void* allocate(size_t size) {
    bump(Counters::record().newCalls);
    void* p = __libc_malloc(size == 0 ? 1 : size);
    if (p == nullptr) std::abort(); // no exceptions here; a shim that runs out may stop the test
    return p;
}
void* allocateAligned(size_t size, std::align_val_t alignment) {
    bump(Counters::record().newCalls);
    void* p = __libc_memalign(static_cast<size_t>(alignment), size == 0 ? 1 : size);
    if (p == nullptr) std::abort();
    return p;
}
void release(void* p) {
    if (p != nullptr) bump(Counters::record().free);
    __libc_free(p);
}
} // namespace

void* operator new(size_t size) { return allocate(size); }
void* operator new[](size_t size) { return allocate(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new(size_t size, std::align_val_t a) { return allocateAligned(size, a); }
void* operator new[](size_t size, std::align_val_t a) { return allocateAligned(size, a); }
void* operator new(size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocateAligned(size, a);
}
void* operator new[](size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocateAligned(size, a);
}
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, size_t) noexcept { release(p); }
void operator delete[](void* p, size_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { release(p); }
