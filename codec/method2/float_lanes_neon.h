// Single-precision lane helpers of coding method 2 in NEON: the four lanes and the order of
// operations of the SSE code, each operation flushed as x86 does (float_env.h). A product or
// quotient that comes near 2^-126 in any lane, which is rare, is redone lane by lane.
#pragma once

#include <arm_neon.h>

#include "codec/method2/float_env.h"
#include "codec/method2/method2_decoder.h"

namespace pqz::method2 {

namespace lanes {

// A sum or difference: denormal lanes become the zero of their sign.
inline float32x4_t flushSum(float32x4_t r) {
    const uint32x4_t tiny = vcltq_f32(vabsq_f32(r), vdupq_n_f32(0x1p-126f));
    const uint32x4_t magnitude = vandq_u32(tiny, vdupq_n_u32(0x7FFFFFFFu));
    return vreinterpretq_f32_u32(vbicq_u32(vreinterpretq_u32_f32(r), magnitude));
}
inline float32x4_t add(float32x4_t a, float32x4_t b) {
    return flushSum(vaddq_f32(a, b));
}
inline float32x4_t sub(float32x4_t a, float32x4_t b) {
    return flushSum(vsubq_f32(a, b));
}

// Whether a lane of a product or quotient is denormal or +-2^-126.
inline bool anyMayBeTiny(float32x4_t r) {
    const uint32x4_t m =
        vsubq_u32(vandq_u32(vreinterpretq_u32_f32(r), vdupq_n_u32(0x7FFFFFFFu)), vdupq_n_u32(1));
    return vmaxvq_u32(vcltq_u32(m, vdupq_n_u32(0x00800000u))) != 0;
}
template <float (*Op)(float, float)>
inline float32x4_t eachLane(float32x4_t a, float32x4_t b) {
    float x[4], y[4], z[4];
    vst1q_f32(x, a);
    vst1q_f32(y, b);
    for (int l = 0; l < 4; l++) z[l] = Op(x[l], y[l]);
    return vld1q_f32(z);
}
inline float32x4_t mul(float32x4_t a, float32x4_t b) {
    const float32x4_t r = vmulq_f32(a, b);
    return __builtin_expect(anyMayBeTiny(r), 0) ? eachLane<fprod>(a, b) : r;
}
inline float32x4_t div(float32x4_t a, float32x4_t b) {
    const float32x4_t r = vdivq_f32(a, b);
    return __builtin_expect(anyMayBeTiny(r), 0) ? eachLane<fquot>(a, b) : r;
}

}  // namespace lanes

// u . w over 28 inputs: per lane l, ((u[l]w[l] + u[4+l]w[4+l]) + ...) + u[24+l]w[24+l], then
// (s0 + s2) + (s1 + s3).
inline float dot28(const float* u, const float* w) {
    float32x4_t s = lanes::mul(vld1q_f32(u), vld1q_f32(w));
    for (int g = 1; g < kGroups; g++)
        s = lanes::add(s, lanes::mul(vld1q_f32(u + 4 * g), vld1q_f32(w + 4 * g)));
    return fsum(fsum(vgetq_lane_f32(s, 0), vgetq_lane_f32(s, 2)),
                fsum(vgetq_lane_f32(s, 1), vgetq_lane_f32(s, 3)));
}

// How one slot learns from one sample: power = power + (x*x - power) * rate;
// weight = ((step * err) * x) / (power + reg) + weight.
struct SlotStep {
    float32x4_t rate, err, reg;
    SlotStep(float r, float e, float g)
        : rate(vdupq_n_f32(r)), err(vdupq_n_f32(e)), reg(vdupq_n_f32(g)) {}
};

// One group of four inputs of a slot; xx = x*x, step the inputs' step sizes.
inline void trainGroup(PredictorSlot& s, int i, float32x4_t x, float32x4_t xx, float32x4_t step,
                       const SlotStep& t) {
    float32x4_t p = vld1q_f32(s.power + i);
    p = lanes::add(p, lanes::mul(lanes::sub(xx, p), t.rate));
    vst1q_f32(s.power + i, p);
    const float32x4_t num = lanes::mul(lanes::mul(step, t.err), x);
    const float32x4_t q = lanes::div(num, lanes::add(p, t.reg));
    vst1q_f32(s.weight + i, lanes::add(q, vld1q_f32(s.weight + i)));
}

// One normalised least-mean-squares step over all inputs, four at a time.
inline void trainSlot(PredictorSlot& s, const float* x, const float* stepSize, const SlotStep& t) {
    for (int i = 0; i < kInputs; i += 4) {
        const float32x4_t xi = vld1q_f32(x + i);
        trainGroup(s, i, xi, lanes::mul(xi, xi), vld1q_f32(stepSize + i), t);
    }
}

// Two slots learn from the same inputs, group by group: first a, then b (which may be a; it
// then learns on what a just learnt).
inline void trainSlots(PredictorSlot& a, const SlotStep& ta, PredictorSlot& b, const SlotStep& tb,
                       const float* x, const float* stepSize) {
    for (int i = 0; i < kInputs; i += 4) {
        const float32x4_t xi = vld1q_f32(x + i);
        const float32x4_t xx = lanes::mul(xi, xi);
        const float32x4_t step = vld1q_f32(stepSize + i);
        trainGroup(a, i, xi, xx, step, ta);
        trainGroup(b, i, xi, xx, step, tb);
    }
}

// x[i] - base for every input.
inline void centreInputs(float* x, float base) {
    const float32x4_t baseLanes = vdupq_n_f32(base);
    for (int i = 0; i < kInputs; i += 4) vst1q_f32(x + i, lanes::sub(vld1q_f32(x + i), baseLanes));
}

// b = k[0] nb[0].weight + ... + k[5] nb[5].weight, summed in that order; k in four lanes.
inline void blendWeights(float* b, const float (*k)[4], const PredictorSlot* const nb[6]) {
    for (int i = 0; i < kInputs; i += 4) {
        float32x4_t s = lanes::mul(vld1q_f32(k[0]), vld1q_f32(nb[0]->weight + i));
        for (int n = 1; n < 6; n++)
            s = lanes::add(s, lanes::mul(vld1q_f32(k[n]), vld1q_f32(nb[n]->weight + i)));
        vst1q_f32(b + i, s);
    }
}

// A slot's first weights and powers: the blended weights and the first neighbour's powers,
// scaled.
inline void inheritSlot(PredictorSlot& slot, const float* b, const float* power) {
    const float32x4_t keep = vdupq_n_f32(0.78f), inherit = vdupq_n_f32(0.19f);
    for (int i = 0; i < kInputs; i += 4) {
        vst1q_f32(slot.weight + i, lanes::mul(vld1q_f32(b + i), keep));
        vst1q_f32(slot.power + i, lanes::mul(vld1q_f32(power + i), inherit));
    }
}

// The weights' second step on the slot's new powers: weight = ((step * e) * x) / (power + reg)
// + weight.
inline void refineWeights(PredictorSlot& s, const float* x, const float* stepSize, float e2,
                          float reg2) {
    const float32x4_t e2Lanes = vdupq_n_f32(e2), reg2Lanes = vdupq_n_f32(reg2);
    for (int i = 0; i < kInputs; i += 4) {
        const float32x4_t n =
            lanes::mul(lanes::mul(vld1q_f32(stepSize + i), e2Lanes), vld1q_f32(x + i));
        const float32x4_t q = lanes::div(n, lanes::add(vld1q_f32(s.power + i), reg2Lanes));
        vst1q_f32(s.weight + i, lanes::add(q, vld1q_f32(s.weight + i)));
    }
}

}  // namespace pqz::method2
