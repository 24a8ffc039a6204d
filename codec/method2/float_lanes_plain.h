// Single-precision lane helpers of coding method 2 in plain code: the same four lanes and the
// same order of operations as the SSE code, each operation flushed as x86 does (float_env.h).
#pragma once

#include "codec/method2/float_env.h"
#include "codec/method2/method2_decoder.h"

namespace pqz::method2 {

// u . w over 28 inputs: per lane l, ((u[l]w[l] + u[4+l]w[4+l]) + ...) + u[24+l]w[24+l], then
// (s0 + s2) + (s1 + s3).
inline float dot28(const float* u, const float* w) {
    float s[4];
    for (int l = 0; l < 4; l++) s[l] = fprod(u[l], w[l]);
    for (int i = 4; i < kInputs; i += 4)
        for (int l = 0; l < 4; l++) s[l] = fsum(s[l], fprod(u[i + l], w[i + l]));
    return fsum(fsum(s[0], s[2]), fsum(s[1], s[3]));
}

// How one slot learns from one sample: power = power + (x*x - power) * rate;
// weight = ((step * err) * x) / (power + reg) + weight.
struct SlotStep {
    float rate, err, reg;
    SlotStep(float r, float e, float g) : rate(r), err(e), reg(g) {}
};

inline void trainInput(PredictorSlot& s, int i, float x, float xx, float step, const SlotStep& t) {
    const float p = fsum(s.power[i], fprod(fdiff(xx, s.power[i]), t.rate));
    s.power[i] = p;
    s.weight[i] = fsum(fquot(fprod(fprod(step, t.err), x), fsum(p, t.reg)), s.weight[i]);
}

// One normalised least-mean-squares step over all inputs.
inline void trainSlot(PredictorSlot& s, const float* x, const float* stepSize, const SlotStep& t) {
    for (int i = 0; i < kInputs; i++) trainInput(s, i, x[i], fprod(x[i], x[i]), stepSize[i], t);
}

// Two slots learn from the same inputs, group by group: first a, then b (which may be a; it
// then learns on what a just learnt).
inline void trainSlots(PredictorSlot& a, const SlotStep& ta, PredictorSlot& b, const SlotStep& tb,
                       const float* x, const float* stepSize) {
    for (int i = 0; i < kInputs; i += 4) {
        for (int l = i; l < i + 4; l++) trainInput(a, l, x[l], fprod(x[l], x[l]), stepSize[l], ta);
        for (int l = i; l < i + 4; l++) trainInput(b, l, x[l], fprod(x[l], x[l]), stepSize[l], tb);
    }
}

// x[i] - base for every input.
inline void centreInputs(float* x, float base) {
    for (int i = 0; i < kInputs; i++) x[i] = fdiff(x[i], base);
}

// b = k[0] nb[0].weight + ... + k[5] nb[5].weight, summed in that order; k in four lanes.
inline void blendWeights(float* b, const float (*k)[4], const PredictorSlot* const nb[6]) {
    for (int i = 0; i < kInputs; i++) {
        float s = fprod(k[0][i & 3], nb[0]->weight[i]);
        for (int n = 1; n < 6; n++) s = fsum(s, fprod(k[n][i & 3], nb[n]->weight[i]));
        b[i] = s;
    }
}

// A slot's first weights and powers: the blended weights and the first neighbour's powers,
// scaled.
inline void inheritSlot(PredictorSlot& slot, const float* b, const float* power) {
    for (int i = 0; i < kInputs; i++) {
        slot.weight[i] = fprod(b[i], 0.78f);
        slot.power[i] = fprod(power[i], 0.19f);
    }
}

// The weights' second step on the slot's new powers: weight = ((step * e) * x) / (power + reg)
// + weight.
inline void refineWeights(PredictorSlot& s, const float* x, const float* stepSize, float e2,
                          float reg2) {
    for (int i = 0; i < kInputs; i++)
        s.weight[i] =
            fsum(fquot(fprod(fprod(stepSize[i], e2), x[i]), fsum(s.power[i], reg2)), s.weight[i]);
}

}  // namespace pqz::method2
