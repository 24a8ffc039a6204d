// The processor-dependent side of coding method 2's single-precision arithmetic: which lane code
// is built, the floating-point environment of a decode, truncation toward zero, and the flush of
// tiny results where the processor does not do it.
//
// Files are written with the x86-64 vector unit set to round to nearest and to flush denormal
// results to zero (denormal inputs kept, but none ever arises). x86 calls a result tiny when,
// rounded to 24 bits with an unbounded exponent, it lies below 2^-126; the result is then +-0.
//
// On x86-64 the control register does exactly that. Elsewhere no control register matches it:
// the 64-bit ARM flush-to-zero mode replaces inputs as well as results (harmless: no denormal
// is ever produced), but it calls a result tiny before rounding, so a product or quotient just
// under 2^-126 that x86 rounds up to 2^-126 becomes 0 there. Other processors, and WebAssembly,
// have no such mode at all. So every other build computes with gradual underflow, the default
// of IEEE arithmetic, round to nearest, and flushes in code after each operation as x86 does:
// - a sum or difference of zeros and normal numbers is exact when tiny, so it is tiny exactly
//   when it is denormal, and becomes the zero of its sign;
// - a product or quotient that comes out as a denormal or as +-2^-126 is decided on its exact
//   value in double precision (exact for a product; for a quotient the rounding to double
//   cannot cross the boundary, which lies 2^-175 or more from any quotient of two floats near
//   2^-126): below 2^-126 - 2^-151 it is 0, otherwise +-2^-126.
// Every operation thus gives the x86 result bit for bit, so decoded pixels cannot differ. The ARM
// control register is still set: round to nearest, flush-to-zero off, no traps.
#pragma once

#include <cfloat>
#include <cstdint>
#include <cstring>

#if !defined(PQZ2_PORTABLE) && defined(__x86_64__)
#define PQZ2_M2_X86 1  // SSE2 lanes, AVX2 where present, the processor flushes
#include <xmmintrin.h>
#else
#define PQZ2_M2_X86 0  // lanes flushed in code
#if !defined(PQZ2_PORTABLE) && defined(__aarch64__)
#define PQZ2_M2_ARM64 1  // NEON lanes flushed in code, the ARM control register
#else
#define PQZ2_M2_ARM64 0
#include <cfenv>
#endif
// Every operation must round to single precision, as the vector unit does.
static_assert(FLT_EVAL_METHOD == 0,
              "single-precision expressions must be evaluated in single "
              "precision (on 32-bit x86 build with -msse2 -mfpmath=sse)");
#endif

namespace pqz::method2 {

#if PQZ2_M2_X86

// Truncation toward zero; values out of the 32-bit range and NaN give -2^31. Written as the
// instruction itself: a compiler folding the intrinsic on constants may saturate instead.
inline int32_t truncateToInt(float f) {
    int32_t r;
    __asm__("cvttss2si %1, %0" : "=r"(r) : "x"(f));
    return r;
}

// The processor flushes tiny results itself.
inline float fsum(float a, float b) {
    return a + b;
}
inline float fdiff(float a, float b) {
    return a - b;
}
inline float fprod(float a, float b) {
    return a * b;
}
inline float fquot(float a, float b) {
    return a / b;
}

// Runs a decode under the arithmetic its files are written with: round to nearest, denormal
// results flushed to zero, denormal inputs kept, all exceptions masked. The caller's control
// register is restored on every way out.
class DecodeFloatEnvironment {
  public:
    static constexpr unsigned kControl = 0x1F80u /* masks */ | 0x8000u /* flush to zero */;
    DecodeFloatEnvironment() : saved_(_mm_getcsr()) { _mm_setcsr(kControl); }
    ~DecodeFloatEnvironment() { _mm_setcsr(saved_); }
    DecodeFloatEnvironment(const DecodeFloatEnvironment&) = delete;
    DecodeFloatEnvironment& operator=(const DecodeFloatEnvironment&) = delete;

  private:
    unsigned saved_;
};

#else

// Truncation toward zero; values out of the 32-bit range and NaN give -2^31, as on x86-64
// (a plain conversion saturates on ARM and is undefined in C++).
inline int32_t truncateToInt(float f) {
    return f >= -2147483648.0f && f < 2147483648.0f ? int32_t(f) : INT32_MIN;
}

namespace flush {

inline uint32_t bitsOf(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}
inline float ofBits(uint32_t u) {
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}
constexpr uint32_t kSign = 0x80000000u;
constexpr uint32_t kSmallestNormal = 0x00800000u;  // 2^-126

// A sum or difference: a denormal becomes the zero of its sign.
inline float sum(float r) {
    const uint32_t u = bitsOf(r);
    return (u & ~kSign) - 1u < kSmallestNormal - 1u ? ofBits(u & kSign) : r;
}
// A product or quotient whose rounded result r is denormal or +-2^-126, from its exact value.
inline float tiny(double exact) {
    const uint32_t sign = exact < 0 ? kSign : 0u;
    const double magnitude = exact < 0 ? -exact : exact;
    return ofBits(magnitude < 0x1p-126 - 0x1p-151 ? sign : sign | kSmallestNormal);
}
inline bool mayBeTiny(float r) {
    return (bitsOf(r) & ~kSign) - 1u < kSmallestNormal;
}

}  // namespace flush

inline float fsum(float a, float b) {
    return flush::sum(a + b);
}
inline float fdiff(float a, float b) {
    return flush::sum(a - b);
}
inline float fprod(float a, float b) {
    const float r = a * b;
    return __builtin_expect(flush::mayBeTiny(r), 0) ? flush::tiny(double(a) * double(b)) : r;
}
inline float fquot(float a, float b) {
    const float r = a / b;
    return __builtin_expect(flush::mayBeTiny(r), 0) ? flush::tiny(double(a) / double(b)) : r;
}

#if PQZ2_M2_ARM64

// Round to nearest, flush-to-zero off (the flush is done in code, see above), no exception
// traps; the caller's control and status registers are restored on every way out.
class DecodeFloatEnvironment {
  public:
    // Trap enables (bits 8-12, 15), flush-to-zero (24), rounding mode (22-23) and the alternate
    // handling bits (0-2) cleared; the rest is the caller's.
    static constexpr uint64_t kCleared = 0x9F00u | (1u << 24) | (3u << 22) | 0x7u;
    DecodeFloatEnvironment() {
        __asm__ volatile("mrs %0, fpcr" : "=r"(control_));
        __asm__ volatile("mrs %0, fpsr" : "=r"(status_));
        const uint64_t decode = control_ & ~kCleared;
        __asm__ volatile("msr fpcr, %0" : : "r"(decode));
    }
    ~DecodeFloatEnvironment() {
        __asm__ volatile("msr fpcr, %0" : : "r"(control_));
        __asm__ volatile("msr fpsr, %0" : : "r"(status_));
    }
    DecodeFloatEnvironment(const DecodeFloatEnvironment&) = delete;
    DecodeFloatEnvironment& operator=(const DecodeFloatEnvironment&) = delete;

  private:
    uint64_t control_, status_;
};

#else

// Round to nearest with every exception masked; the caller's environment is restored on every
// way out. Processors whose flush-to-zero the caller may have switched on are expected to take
// one of the paths above.
class DecodeFloatEnvironment {
  public:
    DecodeFloatEnvironment() {
        std::feholdexcept(&saved_);
        std::fesetround(FE_TONEAREST);
    }
    ~DecodeFloatEnvironment() { std::fesetenv(&saved_); }
    DecodeFloatEnvironment(const DecodeFloatEnvironment&) = delete;
    DecodeFloatEnvironment& operator=(const DecodeFloatEnvironment&) = delete;

  private:
    std::fenv_t saved_;
};

#endif
#endif

}  // namespace pqz::method2
