// Coding method 2: the four weighted gradient sums around a sample (up-left, up-right, left, up)
// that choose its predictor context and its direction class. Each of eleven neighbouring records
// adds its four gradients, each times its own weight; the sums are exact in integers, so the SSE,
// NEON and plain forms give the same values.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/platform.h"
#include "codec/method2/float_env.h"
#include "codec/method2/method2_decoder.h"

#if PQZ2_M2_X86
#include <emmintrin.h>
#elif PQZ2_M2_ARM64
#include <arm_neon.h>
#endif

namespace pqz::method2 {

// Weighted gradient sums around the sample, in the order of DecodeShared::gradientBias.
struct alignas(16) Gradients {
    int32_t upLeft, upRight, left, up;
};

// A record's four gradients lie side by side in this order; the lane forms read them as one
// 64-bit group.
static_assert(offsetof(PixelRecord, gradUp) == offsetof(PixelRecord, gradLeft) + 2 &&
                  offsetof(PixelRecord, gradUpLeft) == offsetof(PixelRecord, gradLeft) + 4 &&
                  offsetof(PixelRecord, gradUpRight) == offsetof(PixelRecord, gradLeft) + 6,
              "gradients of a record are contiguous");

// One neighbouring record: its row (0 current, 1 to 3 above), its column offset and the weights
// of its gradients in record order (left, up, up-left, up-right).
struct GradientTap {
    int row;
    int dx;
    int16_t weight[4];
};

constexpr int kGradientTaps = 11;
constexpr GradientTap kGradientTap[kGradientTaps] = {
    {0, -2, {19, 17, 14, 19}}, {0, -1, {22, 25, 23, 22}}, {1, -1, {16, 0, 0, 9}},
    {1, 0, {18, 19, 20, 25}},  {1, 1, {21, 23, 22, 15}},  {1, 2, {15, 0, 16, 21}},
    {1, 3, {17, 14, 12, 0}},   {2, -2, {0, 0, 0, 17}},    {2, -1, {0, 0, 21, 0}},
    {2, 0, {0, 15, 0, 0}},     {3, 0, {0, 15, 0, 0}},
};

#if PQZ2_M2_X86

// Weights of two taps interleaved word by word, as _mm_madd_epi16 pairs them: lane l of the
// product is weight_a[l] * gradient_a[l] + weight_b[l] * gradient_b[l].
struct GradientPairWeights {
    alignas(16) int16_t w[(kGradientTaps + 1) / 2][8];
    constexpr GradientPairWeights() : w() {
        for (int p = 0; p < (kGradientTaps + 1) / 2; p++)
            for (int l = 0; l < 4; l++) {
                w[p][2 * l] = kGradientTap[2 * p].weight[l];
                w[p][2 * l + 1] = 2 * p + 1 < kGradientTaps ? kGradientTap[2 * p + 1].weight[l] : 0;
            }
    }
};
inline constexpr GradientPairWeights kGradientPairWeights{};

inline __m128i gradientWords(const PixelRecord* rows[4], int tap) {
    const PixelRecord& r = rows[kGradientTap[tap].row][kGradientTap[tap].dx];
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&r.gradLeft));
}

// Two taps' contribution. The 16-bit multiply-add reads the gradients as signed: they are
// absolute differences of two sample values in 1/16 units, at most 4080.
inline __m128i weighTapPair(const PixelRecord* rows[4], int pair) {
    const int a = 2 * pair, b = a + 1;
    const __m128i wa = gradientWords(rows, a);
    const __m128i wb = b < kGradientTaps ? gradientWords(rows, b) : _mm_setzero_si128();
    const __m128i w =
        _mm_load_si128(reinterpret_cast<const __m128i*>(kGradientPairWeights.w[pair]));
    return _mm_madd_epi16(_mm_unpacklo_epi16(wa, wb), w);
}

PQZ_HOT_INLINE Gradients gradientSums(const PixelRecord* rows[4], const int32_t bias[4]) {
    static_assert(kGradientTaps == 11, "six pairs of taps");
    __m128i s = _mm_add_epi32(weighTapPair(rows, 0), weighTapPair(rows, 1));
    s = _mm_add_epi32(s, _mm_add_epi32(weighTapPair(rows, 2), weighTapPair(rows, 3)));
    s = _mm_add_epi32(s, _mm_add_epi32(weighTapPair(rows, 4), weighTapPair(rows, 5)));
    // Record order (left, up, up-left, up-right) to the order of the sums.
    s = _mm_shuffle_epi32(s, _MM_SHUFFLE(1, 0, 3, 2));
    s = _mm_add_epi32(s, _mm_loadu_si128(reinterpret_cast<const __m128i*>(bias)));
    Gradients g;
    _mm_store_si128(reinterpret_cast<__m128i*>(&g), s);
    return g;
}

#elif PQZ2_M2_ARM64

PQZ_HOT_INLINE Gradients gradientSums(const PixelRecord* rows[4], const int32_t bias[4]) {
    uint32x4_t s = vdupq_n_u32(0);
    for (const GradientTap& t : kGradientTap)
        s = vmlal_u16(s, vld1_u16(&rows[t.row][t.dx].gradLeft),
                      vreinterpret_u16_s16(vld1_s16(t.weight)));
    // Record order (left, up, up-left, up-right) to the order of the sums.
    const int32x4_t v = vreinterpretq_s32_u32(vextq_u32(s, s, 2));
    Gradients g;
    vst1q_s32(&g.upLeft, vaddq_s32(v, vld1q_s32(bias)));
    return g;
}

#else

PQZ_HOT_INLINE Gradients gradientSums(const PixelRecord* rows[4], const int32_t bias[4]) {
    int32_t s[4] = {0, 0, 0, 0};  // record order: left, up, up-left, up-right
    for (const GradientTap& t : kGradientTap) {
        const PixelRecord& r = rows[t.row][t.dx];
        s[0] += t.weight[0] * r.gradLeft;
        s[1] += t.weight[1] * r.gradUp;
        s[2] += t.weight[2] * r.gradUpLeft;
        s[3] += t.weight[3] * r.gradUpRight;
    }
    return {s[2] + bias[0], s[3] + bias[1], s[0] + bias[2], s[1] + bias[3]};
}

#endif

}  // namespace pqz::method2
