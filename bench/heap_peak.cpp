#include "bench/heap_peak.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

#ifndef PQZ2_BENCH_NO_HEAP_COUNT
#include <malloc.h>
#include <unistd.h>

// The C library's own allocator under the names it exports for wrappers like these.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void __libc_free(void* block);
void* __libc_memalign(size_t alignment, size_t size);
}
#endif

namespace pqz::bench {

namespace {

std::atomic<long long> gInUse{0};
std::atomic<long long> gPeak{0};

#ifndef PQZ2_BENCH_NO_HEAP_COUNT
void* counted(void* block) {
    if (!block) return nullptr;
    const long long now = gInUse.fetch_add(static_cast<long long>(malloc_usable_size(block)),
                                           std::memory_order_relaxed) +
                          static_cast<long long>(malloc_usable_size(block));
    long long peak = gPeak.load(std::memory_order_relaxed);
    while (now > peak && !gPeak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
    return block;
}

void uncount(void* block) {
    if (block)
        gInUse.fetch_sub(static_cast<long long>(malloc_usable_size(block)),
                         std::memory_order_relaxed);
}

bool powerOfTwo(size_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}
#endif

}  // namespace

bool heapCounting() {
#ifdef PQZ2_BENCH_NO_HEAP_COUNT
    return false;
#else
    return true;
#endif
}

long long heapInUse() {
    return gInUse.load(std::memory_order_relaxed);
}

long long heapResetPeak() {
    const long long now = gInUse.load(std::memory_order_relaxed);
    gPeak.store(now, std::memory_order_relaxed);
    return now;
}

long long heapPeak() {
    return gPeak.load(std::memory_order_relaxed);
}

}  // namespace pqz::bench

#ifndef PQZ2_BENCH_NO_HEAP_COUNT
using pqz::bench::counted;
using pqz::bench::powerOfTwo;
using pqz::bench::uncount;

extern "C" {

void* malloc(size_t size) {
    return counted(__libc_malloc(size));
}

void* calloc(size_t count, size_t size) {
    return counted(__libc_calloc(count, size));
}

void* realloc(void* block, size_t size) {
    // The old block may move or vanish: take it off the count first and count what comes back
    // (realloc failing leaves the old block alive, so it is counted again).
    uncount(block);
    void* moved = __libc_realloc(block, size);
    if (moved) return counted(moved);
    if (block && size != 0) counted(block);
    return nullptr;
}

void free(void* block) {
    uncount(block);
    __libc_free(block);
}

void* memalign(size_t alignment, size_t size) {
    return counted(__libc_memalign(alignment, size));
}

void* aligned_alloc(size_t alignment, size_t size) {
    return counted(__libc_memalign(alignment, size));
}

int posix_memalign(void** out, size_t alignment, size_t size) {
    if (!powerOfTwo(alignment) || alignment % sizeof(void*) != 0) return EINVAL;
    void* block = counted(__libc_memalign(alignment, size));
    if (!block) return ENOMEM;
    *out = block;
    return 0;
}

void* valloc(size_t size) {
    return counted(__libc_memalign(size_t(sysconf(_SC_PAGESIZE)), size));
}

void* pvalloc(size_t size) {
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    return counted(__libc_memalign(page, (size + page - 1) / page * page));
}

}  // extern "C"
#endif
