// The compiler and processor seam: the hints the hot loops give the compiler, and the checks of
// what the decoders assume about the host. Everything compiler-specific lives here.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__) && !defined(__EMSCRIPTEN__)
#include <sys/mman.h>
#endif
#if (defined(__x86_64__) || defined(_M_X64)) && defined(__GNUC__)
#include <cpuid.h>
#endif

// Functions of the per-sample paths are large for the compiler's taste but run once per sample
// from a few call sites each: have them expanded in place.
#if defined(__GNUC__)
#define PQZ_HOT_INLINE inline __attribute__((always_inline))
#define PQZ_COLD __attribute__((noinline, cold))
#else
#define PQZ_HOT_INLINE inline
#define PQZ_COLD
#endif

// The payload is read in 32-bit words whose first byte holds the first bits: the bit reader takes
// the host's byte order for that.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the bit reader assumes a little-endian host"
#endif

// The processor family the vector paths are written for.
#if defined(__x86_64__) || defined(_M_X64)
#define PQZ_X86_64 1
#else
#define PQZ_X86_64 0
#endif

// Functions built for the wider vector extensions of x86-64, called only where hostHas says the
// processor has them.
#if PQZ_X86_64 && defined(__GNUC__)
#define PQZ_TARGET_SSE41 __attribute__((target("sse4.1")))
#define PQZ_TARGET_AVX2 __attribute__((target("avx2")))
#define PQZ_TARGET_BMI2 __attribute__((target("popcnt,bmi,bmi2")))
#define PQZ_TARGET_AVX2_BMI2 __attribute__((target("avx2,popcnt,bmi,bmi2")))
#endif

namespace pqz {

// Asks for the cache line of p ahead of a read (write = false) or a write to it; only a hint.
PQZ_HOT_INLINE void prefetch(const void* p, bool write) {
#if defined(__GNUC__)
    if (write)
        __builtin_prefetch(p, 1);
    else
        __builtin_prefetch(p, 0);
#else
    (void)p;
    (void)write;
#endif
}

// Tells the compiler which way a test usually goes.
PQZ_HOT_INLINE bool expectTrue(uint64_t x) {
#if defined(__GNUC__)
    return __builtin_expect(x != 0, 1);
#else
    return x != 0;
#endif
}

// Number of zero bits below the lowest set bit of x (x != 0).
PQZ_HOT_INLINE int trailingZeros(uint32_t x) {
#if defined(__GNUC__)
    return __builtin_ctz(x);
#else
    int n = 0;
    while (!(x & 1)) {
        x >>= 1;
        n++;
    }
    return n;
#endif
}

// The large pages of the address translation.
constexpr size_t kHugePageBytes = size_t(2) << 20;

// Asks the system to back the whole huge pages within [begin, end) with huge pages, and to let go
// of the small pages it holds there now: memory the allocator hands out again would otherwise
// keep its small pages for good. Each huge page is then set up when first touched, with contents
// the caller must not count on (emulators may take the advice as a mere hint). Does nothing where
// the system offers no huge pages.
inline void adviseHugePages(void* begin, void* end) {
#if defined(__linux__) && !defined(__EMSCRIPTEN__) && defined(MADV_HUGEPAGE) && \
    defined(MADV_DONTNEED)
    const uintptr_t first =
        (uintptr_t(begin) + kHugePageBytes - 1) & ~uintptr_t(kHugePageBytes - 1);
    const uintptr_t last = uintptr_t(end) & ~uintptr_t(kHugePageBytes - 1);
    if (first >= last) return;
    void* pages = reinterpret_cast<void*>(first);
    if (madvise(pages, last - first, MADV_HUGEPAGE) == 0)
        madvise(pages, last - first, MADV_DONTNEED);
#else
    (void)begin;
    (void)end;
#endif
}

// The wider vector extensions of x86-64 processors that some decoders have a second path for,
// and the bit deposit and bit counts (Bmi2, with popcnt), and whether the host has one (asked
// once). FastBitDeposit: Bmi2 on a processor whose bit deposit takes a few cycles (AMD's and
// Hygon's before family 19h run it in microcode, up to hundreds of cycles). Elsewhere, and from
// compilers without the check, none.
enum class HostLanes { Sse41, Avx2, Bmi2, FastBitDeposit };

inline bool hostHas(HostLanes lanes) {
#if PQZ_X86_64 && defined(__GNUC__)
    static const bool sse41 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("sse4.1") != 0;
    }();
    static const bool avx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    static const bool bmi2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("bmi2") != 0 && __builtin_cpu_supports("popcnt") != 0;
    }();
    static const bool fastDeposit = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (!bmi2 || !__get_cpuid(0, &a, &b, &c, &d)) return false;
        // The vendor's name, in the order EBX, EDX, ECX: "AuthenticAMD" or "HygonGenuine".
        const bool amdLike = (b == 0x68747541 && d == 0x69746E65 && c == 0x444D4163) ||
                             (b == 0x6F677948 && d == 0x6E65476E && c == 0x656E6975);
        if (!amdLike) return true;
        if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
        const unsigned family = ((a >> 8) & 15) + (((a >> 8) & 15) == 15 ? (a >> 20) & 255 : 0);
        return family >= 0x19;
    }();
    if (lanes == HostLanes::Bmi2) return bmi2;
    if (lanes == HostLanes::FastBitDeposit) return fastDeposit;
    return lanes == HostLanes::Avx2 ? avx2 : sse41;
#else
    (void)lanes;
    return false;
#endif
}

}  // namespace pqz
