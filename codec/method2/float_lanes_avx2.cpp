// Coding method 2: the predictor slots' element-wise loops in eight lanes. The 28 inputs are three
// groups of eight and one of four; each element sees exactly the four-lane operations.
#include "codec/method2/float_lanes_avx2.h"

#if PQZ2_M2_X86

#include <immintrin.h>

#include "base/platform.h"

namespace pqz::method2 {

namespace {

static_assert(kInputs == 28, "three groups of eight inputs and one of four");

struct Step8 {
    __m256 rate, err, reg;
};

// power = power + (x*x - power) * rate; weight = ((step * err) * x) / (power + reg) + weight.
PQZ_TARGET_AVX2 inline void trainEight(PredictorSlot& s, int i, __m256 x, __m256 xx, __m256 step,
                                       const Step8& t) {
    __m256 p = _mm256_loadu_ps(s.power + i);
    p = _mm256_add_ps(p, _mm256_mul_ps(_mm256_sub_ps(xx, p), t.rate));
    _mm256_storeu_ps(s.power + i, p);
    const __m256 num = _mm256_mul_ps(_mm256_mul_ps(step, t.err), x);
    const __m256 w =
        _mm256_add_ps(_mm256_div_ps(num, _mm256_add_ps(p, t.reg)), _mm256_loadu_ps(s.weight + i));
    _mm256_storeu_ps(s.weight + i, w);
}
PQZ_TARGET_AVX2 inline void trainFour(PredictorSlot& s, __m128 x, __m128 xx, __m128 step,
                                      const Step8& t) {
    constexpr int i = 24;
    __m128 p = _mm_load_ps(s.power + i);
    p = _mm_add_ps(p, _mm_mul_ps(_mm_sub_ps(xx, p), _mm256_castps256_ps128(t.rate)));
    _mm_store_ps(s.power + i, p);
    const __m128 num = _mm_mul_ps(_mm_mul_ps(step, _mm256_castps256_ps128(t.err)), x);
    const __m128 w = _mm_add_ps(_mm_div_ps(num, _mm_add_ps(p, _mm256_castps256_ps128(t.reg))),
                                _mm_load_ps(s.weight + i));
    _mm_store_ps(s.weight + i, w);
}

PQZ_TARGET_AVX2 inline Step8 step8(float rate, float err, float reg) {
    return {_mm256_set1_ps(rate), _mm256_set1_ps(err), _mm256_set1_ps(reg)};
}

}  // namespace

PQZ_TARGET_AVX2 void trainSlotEight(PredictorSlot& s, const float* x, const float* stepSize,
                                    float rate, float err, float reg) {
    const Step8 t = step8(rate, err, reg);
    for (int i = 0; i < 24; i += 8) {
        const __m256 xi = _mm256_loadu_ps(x + i);
        trainEight(s, i, xi, _mm256_mul_ps(xi, xi), _mm256_loadu_ps(stepSize + i), t);
    }
    const __m128 xi = _mm_load_ps(x + 24);
    trainFour(s, xi, _mm_mul_ps(xi, xi), _mm_loadu_ps(stepSize + 24), t);
}

PQZ_TARGET_AVX2 void trainSlotsEight(PredictorSlot& a, float rateA, float errA, float regA,
                                     PredictorSlot& b, float rateB, float errB, float regB,
                                     const float* x, const float* stepSize) {
    const Step8 ta = step8(rateA, errA, regA), tb = step8(rateB, errB, regB);
    for (int i = 0; i < 24; i += 8) {
        const __m256 xi = _mm256_loadu_ps(x + i);
        const __m256 xx = _mm256_mul_ps(xi, xi);
        const __m256 step = _mm256_loadu_ps(stepSize + i);
        trainEight(a, i, xi, xx, step, ta);
        trainEight(b, i, xi, xx, step, tb);
    }
    const __m128 xi = _mm_load_ps(x + 24);
    const __m128 xx = _mm_mul_ps(xi, xi);
    const __m128 step = _mm_loadu_ps(stepSize + 24);
    trainFour(a, xi, xx, step, ta);
    trainFour(b, xi, xx, step, tb);
}

PQZ_TARGET_AVX2 void refineWeightsEight(PredictorSlot& s, const float* x, const float* stepSize,
                                        float e2, float reg2) {
    const __m256 e2Lanes = _mm256_set1_ps(e2), reg2Lanes = _mm256_set1_ps(reg2);
    for (int i = 0; i < 24; i += 8) {
        const __m256 xi = _mm256_loadu_ps(x + i);
        const __m256 n = _mm256_mul_ps(_mm256_mul_ps(_mm256_loadu_ps(stepSize + i), e2Lanes), xi);
        const __m256 q = _mm256_div_ps(n, _mm256_add_ps(_mm256_loadu_ps(s.power + i), reg2Lanes));
        _mm256_storeu_ps(s.weight + i, _mm256_add_ps(q, _mm256_loadu_ps(s.weight + i)));
    }
    const __m128 xi = _mm_load_ps(x + 24);
    const __m128 n =
        _mm_mul_ps(_mm_mul_ps(_mm_loadu_ps(stepSize + 24), _mm256_castps256_ps128(e2Lanes)), xi);
    const __m128 q =
        _mm_div_ps(n, _mm_add_ps(_mm_load_ps(s.power + 24), _mm256_castps256_ps128(reg2Lanes)));
    _mm_store_ps(s.weight + 24, _mm_add_ps(q, _mm_load_ps(s.weight + 24)));
}

PQZ_TARGET_AVX2 void blendWeightsEight(float* b, const float (*k)[4],
                                       const PredictorSlot* const nb[6]) {
    __m256 kk[6];
    for (int n = 0; n < 6; n++) kk[n] = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(k[n]));
    for (int i = 0; i < 24; i += 8) {
        __m256 s = _mm256_mul_ps(kk[0], _mm256_loadu_ps(nb[0]->weight + i));
        for (int n = 1; n < 6; n++)
            s = _mm256_add_ps(s, _mm256_mul_ps(kk[n], _mm256_loadu_ps(nb[n]->weight + i)));
        _mm256_storeu_ps(b + i, s);
    }
    __m128 s = _mm_mul_ps(_mm_load_ps(k[0]), _mm_load_ps(nb[0]->weight + 24));
    for (int n = 1; n < 6; n++)
        s = _mm_add_ps(s, _mm_mul_ps(_mm_load_ps(k[n]), _mm_load_ps(nb[n]->weight + 24)));
    _mm_store_ps(b + 24, s);
}

}  // namespace pqz::method2

#endif  // PQZ2_M2_X86
