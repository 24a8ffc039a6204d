// The one ownership idiom of the decoders: heap blocks from the C allocator, optionally aligned,
// owned by a unique_ptr that frees them. Allocation failures return an empty owner, never throw.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>

namespace pqz {

struct FreeRelease {
    void operator()(void* p) const { std::free(p); }
};

// Owner of one object or (T = U[]) of an array allocated below.
template <class T>
using Owned = std::unique_ptr<T, FreeRelease>;

enum class Fill { Zero, None };

// A block of bytes aligned to alignment (a power of two); null when the size overflows or the
// allocation fails. Fill::None leaves the bytes as the allocator gives them, for tables that are
// set up piecewise when first reached.
inline void* allocateBlock(size_t bytes, size_t alignment, Fill fill) {
    if (alignment < alignof(std::max_align_t)) alignment = alignof(std::max_align_t);
    if (bytes > SIZE_MAX - alignment) return nullptr;
    const size_t rounded = (bytes + alignment - 1) & ~(alignment - 1);
    void* p = std::aligned_alloc(alignment, rounded ? rounded : alignment);
    if (p && fill == Fill::Zero) std::memset(p, 0, rounded);
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
