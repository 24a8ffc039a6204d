// Single-precision lane helpers of coding method 2 in SSE: four-lane groups, the dot product in
// its fixed order, slot training. The processor flushes tiny results (see float_env.h).
#pragma once

#include <xmmintrin.h>

#include "codec/method2/method2_decoder.h"

namespace pqz::method2 {

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

// x[i] - base for every input.
inline void centreInputs(float* x, float base) {
    const __m128 baseLanes = _mm_set1_ps(base);
    for (int i = 0; i < kInputs; i += 4)
        _mm_store_ps(x + i, _mm_sub_ps(_mm_load_ps(x + i), baseLanes));
}

// b = k[0] nb[0].weight + ... + k[5] nb[5].weight, summed in that order; k in four lanes.
inline void blendWeights(float* b, const float (*k)[4], const PredictorSlot* const nb[6]) {
    for (int i = 0; i < kInputs; i += 4) {
        __m128 s = _mm_mul_ps(_mm_load_ps(k[0]), _mm_load_ps(nb[0]->weight + i));
        for (int n = 1; n < 6; n++)
            s = _mm_add_ps(s, _mm_mul_ps(_mm_load_ps(k[n]), _mm_load_ps(nb[n]->weight + i)));
        _mm_store_ps(b + i, s);
    }
}

// A slot's first weights and powers: the blended weights and the first neighbour's powers,
// scaled.
inline void inheritSlot(PredictorSlot& slot, const float* b, const float* power) {
    const __m128 keep = _mm_set1_ps(0.78f), inherit = _mm_set1_ps(0.19f);
    for (int i = 0; i < kInputs; i += 4) {
        _mm_store_ps(slot.weight + i, _mm_mul_ps(_mm_load_ps(b + i), keep));
        _mm_store_ps(slot.power + i, _mm_mul_ps(_mm_load_ps(power + i), inherit));
    }
}

// The weights' second step on the slot's new powers: weight = ((step * e) * x) / (power + reg)
// + weight.
inline void refineWeights(PredictorSlot& s, const float* x, const float* stepSize, float e2,
                          float reg2) {
    const __m128 e2Lanes = _mm_set1_ps(e2), reg2Lanes = _mm_set1_ps(reg2);
    for (int i = 0; i < kInputs; i += 4) {
        const __m128 xi = _mm_load_ps(x + i);
        const __m128 n = _mm_mul_ps(_mm_mul_ps(_mm_loadu_ps(stepSize + i), e2Lanes), xi);
        const __m128 q = _mm_div_ps(n, _mm_add_ps(_mm_load_ps(s.power + i), reg2Lanes));
        _mm_store_ps(s.weight + i, _mm_add_ps(q, _mm_load_ps(s.weight + i)));
    }
}

}  // namespace pqz::method2
