// The decoders' heap blocks: alignment, zero fill on reused memory, huge-page advice that leaves
// every byte outside whole huge pages alone, and empty owners when a size cannot be had.
#include "base/memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace pqz {
namespace {

constexpr size_t kLarge = 5 * kHugePageBytes + 12345;  // spans several huge pages, not whole ones

bool allBytes(const void* p, size_t n, uint8_t v) {
    const auto* b = static_cast<const uint8_t*>(p);
    for (size_t i = 0; i < n; i++)
        if (b[i] != v) return false;
    return true;
}

TEST(Memory, BlocksAreAlignedAndZeroFilledEvenOnReusedMemory) {
    for (Pages pages : {Pages::Small, Pages::Huge}) {
        for (size_t alignment : {size_t(1), size_t(64), kHugePageBytes}) {
            // A dirty block freed just before is what the allocator most likely hands out again.
            void* dirty = allocateBlock(kLarge, alignment, Fill::None, pages);
            ASSERT_NE(dirty, nullptr);
            std::memset(dirty, 0xA5, kLarge);
            std::free(dirty);
            void* p = allocateBlock(kLarge, alignment, Fill::Zero, pages);
            ASSERT_NE(p, nullptr);
            const size_t want =
                alignment < alignof(std::max_align_t) ? alignof(std::max_align_t) : alignment;
            EXPECT_EQ(uintptr_t(p) % want, 0u) << alignment;
            EXPECT_TRUE(allBytes(p, kLarge, 0)) << alignment << " " << int(pages);
            std::free(p);
        }
    }
}

TEST(Memory, HugePageAdviceKeepsTheBytesAroundWholeHugePages) {
    // The advice may drop what pages inside whole huge pages hold; the bytes before the first and
    // behind the last such page (the allocator's own bookkeeping, neighbouring blocks) stay.
    auto owner = allocateArray<uint8_t>(3 * kHugePageBytes, Fill::None, kHugePageBytes);
    ASSERT_TRUE(owner);
    uint8_t* p = owner.get();
    const size_t size = 3 * kHugePageBytes;
    std::memset(p, 0x5A, size);
    adviseHugePages(p + 1, p + size - 1);  // only the middle huge page is whole within the range
    EXPECT_TRUE(allBytes(p, kHugePageBytes, 0x5A));
    EXPECT_TRUE(allBytes(p + 2 * kHugePageBytes, kHugePageBytes, 0x5A));
    adviseHugePages(p + 1, p + kHugePageBytes + 7);  // no whole huge page: nothing changes
    EXPECT_TRUE(allBytes(p, kHugePageBytes, 0x5A));
    // Whatever the middle holds now, it is usable memory.
    std::memset(p + kHugePageBytes, 1, kHugePageBytes);
    EXPECT_TRUE(allBytes(p + kHugePageBytes, kHugePageBytes, 1));
}

TEST(Memory, SizesThatCannotBeHadGiveEmptyOwners) {
    EXPECT_EQ(allocateBlock(SIZE_MAX - 8, 64, Fill::Zero), nullptr);
    EXPECT_EQ(allocateBlock(SIZE_MAX - 8, 16, Fill::None, Pages::Huge), nullptr);
    EXPECT_FALSE(allocateArray<uint64_t>(SIZE_MAX / 4));
    EXPECT_FALSE(allocateArray<uint8_t>(SIZE_MAX - kHugePageBytes + 2, Fill::Zero, kHugePageBytes));
}

}  // namespace
}  // namespace pqz
