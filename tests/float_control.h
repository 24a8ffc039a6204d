// The floating-point control register of the processor the tests run on, and settings a caller
// of the library may have made in it: directed roundings, flush-to-zero, exception traps.
#pragma once

#include <cstdint>
#include <vector>

#if defined(__x86_64__)
#include <xmmintrin.h>
#elif !defined(__aarch64__)
#include <cfenv>
#endif

namespace pqz::test {

#if defined(__x86_64__)
inline uint64_t floatControl() {
    return _mm_getcsr() & ~0x3Fu;  // without the sticky exception flags
}
inline void setFloatControl(uint64_t v) {
    _mm_setcsr(unsigned(v));
}
inline std::vector<uint64_t> oddFloatControls() {
    constexpr unsigned kMasks = 0x1F80, kFlushToZero = 0x8000, kDenormalsAreZero = 0x40;
    constexpr unsigned kTowardZero = 0x6000, kUp = 0x4000, kDown = 0x2000;
    return {
        kMasks,                                           // flush-to-zero off
        kMasks | kTowardZero,                             // truncating rounding
        kMasks | kUp | kDenormalsAreZero,                 // rounding up, denormal inputs zero
        kMasks | kDown | kFlushToZero,                    // rounding down
        (kMasks & ~0x280u) | kTowardZero | kFlushToZero,  // invalid and divide traps enabled
    };
}
#elif defined(__aarch64__)
inline uint64_t floatControl() {
    uint64_t v;
    __asm__ volatile("mrs %0, fpcr" : "=r"(v));
    return v;
}
inline void setFloatControl(uint64_t v) {
    __asm__ volatile("msr fpcr, %0" : : "r"(v));
}
inline std::vector<uint64_t> oddFloatControls() {
    constexpr uint64_t kFlushToZero = 1u << 24, kTowardZero = 3u << 22, kUp = 1u << 22,
                       kDown = 2u << 22, kTraps = 0x300u /* invalid, divide */;
    return {0, kTowardZero, kUp | kFlushToZero, kDown, kTowardZero | kFlushToZero | kTraps};
}
#else
inline uint64_t floatControl() {
    return uint64_t(std::fegetround());
}
inline void setFloatControl(uint64_t v) {
    std::fesetround(int(v));
}
inline std::vector<uint64_t> oddFloatControls() {
    std::vector<uint64_t> modes = {FE_TONEAREST};
#ifdef FE_TOWARDZERO
    modes.push_back(FE_TOWARDZERO);
#endif
#ifdef FE_UPWARD
    modes.push_back(FE_UPWARD);
#endif
#ifdef FE_DOWNWARD
    modes.push_back(FE_DOWNWARD);
#endif
    return modes;
}
#endif

// Sets a caller's control for its scope; holds what the processor took of it (some bits may
// not be implemented) and puts the previous control back at the end.
class CallerFloatControl {
  public:
    explicit CallerFloatControl(uint64_t v) : saved_(floatControl()) {
        setFloatControl(v);
        taken_ = floatControl();
    }
    ~CallerFloatControl() { setFloatControl(saved_); }
    uint64_t taken() const { return taken_; }
    CallerFloatControl(const CallerFloatControl&) = delete;
    CallerFloatControl& operator=(const CallerFloatControl&) = delete;

  private:
    uint64_t saved_, taken_;
};

}  // namespace pqz::test
