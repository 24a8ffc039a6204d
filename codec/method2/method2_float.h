// Single-precision helpers of coding method 2: four-lane groups, the dot product in its fixed
// order, truncation as the processor does it, and the floating-point environment of a decode.
#pragma once

#include <xmmintrin.h>

#include <cstdint>

#include "codec/method2/method2_decoder.h"

namespace pqz::method2 {

constexpr int kGroups = kInputs / 4;

// Truncation toward zero; values out of the 32-bit range and NaN give -2^31. Written as the
// instruction itself: a compiler folding the intrinsic on constants may saturate instead.
inline int32_t truncateToInt(float f) {
    int32_t r;
    __asm__("cvttss2si %1, %0" : "=r"(r) : "x"(f));
    return r;
}

// u . w over 28 inputs: per lane l, ((u[l]w[l] + u[4+l]w[4+l]) + ...) + u[24+l]w[24+l], then
// (s0 + s2) + (s1 + s3).
inline float dot28(const float* u, const float* w) {
    __m128 s = _mm_mul_ps(_mm_load_ps(u), _mm_load_ps(w));
    for (int g = 1; g < kGroups; g++)
        s = _mm_add_ps(s, _mm_mul_ps(_mm_load_ps(u + 4 * g), _mm_load_ps(w + 4 * g)));
    const __m128 pairs = _mm_add_ps(s, _mm_movehl_ps(s, s));  // s0 + s2, s1 + s3
    return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_shuffle_ps(pairs, pairs, 1)));
}

// How one slot learns from one sample: power = power + (x*x - power) * rate;
// weight = ((step * err) * x) / (power + reg) + weight.
struct SlotStep {
    __m128 rate, err, reg;
    SlotStep(float r, float e, float g)
        : rate(_mm_set1_ps(r)), err(_mm_set1_ps(e)), reg(_mm_set1_ps(g)) {}
};

// One group of four inputs of a slot; xx = x*x, step the inputs' step sizes.
inline void trainGroup(PredictorSlot& s, int i, __m128 x, __m128 xx, __m128 step,
                       const SlotStep& t) {
    __m128 p = _mm_load_ps(s.power + i);
    p = _mm_add_ps(p, _mm_mul_ps(_mm_sub_ps(xx, p), t.rate));
    _mm_store_ps(s.power + i, p);
    const __m128 num = _mm_mul_ps(_mm_mul_ps(step, t.err), x);
    const __m128 w = _mm_add_ps(_mm_div_ps(num, _mm_add_ps(p, t.reg)), _mm_load_ps(s.weight + i));
    _mm_store_ps(s.weight + i, w);
}

// One normalised least-mean-squares step over all inputs, four at a time.
inline void trainSlot(PredictorSlot& s, const float* x, const float* stepSize, const SlotStep& t) {
    for (int i = 0; i < kInputs; i += 4) {
        const __m128 xi = _mm_load_ps(x + i);
        trainGroup(s, i, xi, _mm_mul_ps(xi, xi), _mm_loadu_ps(stepSize + i), t);
    }
}

// Two slots learn from the same inputs, group by group: first a, then b (which may be a; it
// then learns on what a just learnt).
inline void trainSlots(PredictorSlot& a, const SlotStep& ta, PredictorSlot& b, const SlotStep& tb,
                       const float* x, const float* stepSize) {
    for (int i = 0; i < kInputs; i += 4) {
        const __m128 xi = _mm_load_ps(x + i);
        const __m128 xx = _mm_mul_ps(xi, xi);
        const __m128 step = _mm_loadu_ps(stepSize + i);
        trainGroup(a, i, xi, xx, step, ta);
        trainGroup(b, i, xi, xx, step, tb);
    }
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

}  // namespace pqz::method2
