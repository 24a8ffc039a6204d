// The one ownership idiom of the decoders: heap blocks from the C allocator, optionally aligned,
// owned by a unique_ptr that frees them. Allocation failures return an empty owner, never throw.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>

#include "base/platform.h"

namespace pqz {

struct FreeRelease {
    void operator()(void* p) const { std::free(p); }
};

// Owner of one object or (T = U[]) of an array allocated below.
template <class T>
using Owned = std::unique_ptr<T, FreeRelease>;

enum class Fill { Zero, None };

// Pages::Huge is for large tables read and written all over for every sample: the whole huge
// pages within the block are then backed by huge pages where the system offers them, so that the
// scattered accesses stay within reach of the address translation caches and a first touch sets
// up 2 MiB at once instead of 4 KiB. Only worth it when much of the table is reached: each huge
// page touched is cleared and kept whole. An alignment of kHugePageBytes puts all of the block
// on huge pages, at the price of up to a huge page of address space the allocator keeps besides.
enum class Pages { Small, Huge };

// Planes of fewer samples reach too few entries of a large table to pay for whole huge pages.
constexpr int64_t kHugePageSamples = int64_t(1) << 16;

// A block of bytes aligned to alignment (a power of two), rounded up to a multiple of it; null
// when the size overflows or the allocation fails. Fill::None leaves the bytes as the allocator
// gives them, for tables that are set up piecewise when first reached. Free it with std::free.
inline void* allocateBlock(size_t bytes, size_t alignment, Fill fill, Pages pages = Pages::Small) {
    if (alignment < alignof(std::max_align_t)) alignment = alignof(std::max_align_t);
    if (bytes > SIZE_MAX - alignment) return nullptr;
    const size_t rounded = (bytes + alignment - 1) & ~(alignment - 1);
    const size_t size = rounded ? rounded : alignment;
    // The allocator hands out fresh memory (large blocks come straight from the system) without
    // clearing it again when asked for zeros; it clears reused memory.
    const bool zeroed = fill == Fill::Zero && alignment == alignof(std::max_align_t);
    void* p = zeroed ? std::calloc(1, size) : std::aligned_alloc(alignment, size);
    if (!p) return nullptr;
    if (pages == Pages::Huge) adviseHugePages(p, static_cast<char*>(p) + size);
    if (fill == Fill::Zero && !zeroed) std::memset(p, 0, size);
    return p;
}

// count elements of the trivial type T.
template <class T>
Owned<T[]> allocateArray(size_t count, Fill fill = Fill::Zero, size_t alignment = alignof(T)) {
    static_assert(std::is_trivially_copyable<T>::value, "plain data only");
    if (count > SIZE_MAX / sizeof(T)) return nullptr;
    return Owned<T[]>(static_cast<T*>(allocateBlock(count * sizeof(T), alignment, fill)));
}

// One object of the trivial type T, zero-filled unless fill says otherwise.
template <class T>
Owned<T> allocateObject(Fill fill = Fill::Zero, size_t alignment = alignof(T)) {
    static_assert(std::is_trivially_copyable<T>::value, "plain data only");
    return Owned<T>(static_cast<T*>(allocateBlock(sizeof(T), alignment, fill)));
}

}  // namespace pqz
