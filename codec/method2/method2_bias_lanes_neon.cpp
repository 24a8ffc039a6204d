// Coding method 2: a stage's related bias cells adapted eight at a time in NEON, lane for lane
// as the SSE2 code does it (method2_bias_lanes.cpp).
#include "codec/method2/float_env.h"
#include "codec/method2/method2_bias_lanes.h"

#if PQZ2_M2_ARM64

#include <arm_neon.h>

#include <utility>

#include "codec/method2/method2_bias_lane_rules.h"

namespace pqz::method2 {

namespace {

inline int16x8_t load128(const int16_t* p) {
    return vld1q_s16(p);
}
inline int16x8_t load128(const uint16_t* p) {
    return vreinterpretq_s16_u16(vld1q_u16(p));
}
inline int16x4_t load64(const int16_t* p) {
    return vld1_s16(p);
}
inline int16x4_t load64(const uint16_t* p) {
    return vreinterpret_s16_u16(vld1_u16(p));
}

// A rule with its targets: target + half and the clip + half, so that y = target + half - bias
// is the gap plus half and is compared with the clip moved by the same half.
struct Rule8 {
    int16x8_t targetHalf, clipHighHalf, clipLowHalf, dead, scale;
    Rule8(const LaneRule& r, int16x8_t target, int32_t clipHigh, int32_t clipLow) {
        const int16x8_t half = load128(r.half);
        targetHalf = vaddq_s16(target, half);
        clipHighHalf = vaddq_s16(vdupq_n_s16(int16_t(clipHigh)), half);
        clipLowHalf = vaddq_s16(vdupq_n_s16(int16_t(clipLow)), half);
        dead = load128(r.dead);
        scale = load128(r.scale);
    }
};

inline int16x8_t nudge8(int16x8_t sum, int16x8_t scaleCountdown, const Rule8& r) {
    // The high byte is 2^(17 - shift); doubling multiply by its half: (sum * 2^(17 - shift))
    // >> 16 = sum >> (shift - 1), never saturating.
    const int16x8_t scale = vshrq_n_s16(vandq_s16(scaleCountdown, vdupq_n_s16(int16_t(0xFF00))), 1);
    const int16x8_t h = vqdmulhq_s16(sum, scale);
    const int16x8_t bias = vshrq_n_s16(vaddq_s16(h, vdupq_n_s16(1)), 1);
    const int16x8_t y = vsubq_s16(r.targetHalf, bias);
    const int16x8_t sign = vsubq_s16(vreinterpretq_s16_u16(vcltq_s16(y, r.clipLowHalf)),
                                     vreinterpretq_s16_u16(vcgtq_s16(y, r.clipHighHalf)));
    const int16x8_t x = vaddq_s16(y, vandq_s16(vshlq_n_s16(sign, 5), r.dead));
    return vaddq_s16(sum, vshrq_n_s16(vmulq_s16(x, r.scale), 3));
}

// The used cell of the mirror's blocks across feature bits First, First + 1, ... in lanes: its
// sum (shift 0) or its scale (shift kScaleOffset).
template <int First, int... L>
inline int16x8_t gatherAt(BiasBlock* table, const AcrossOffsets& off, int shift,
                          std::integer_sequence<int, L...>) {
    int16x8_t v = vdupq_n_s16(0);
    ((v = vsetq_lane_s16(sumsAt(table, off.mirror(First + L))[shift], v, L)), ...);
    return v;
}
template <int First, int... L>
inline void scatterAt(BiasBlock* table, const AcrossOffsets& off, int16x8_t v,
                      std::integer_sequence<int, L...>) {
    ((*sumsAt(table, off.mirror(First + L)) = vgetq_lane_s16(v, L)), ...);
}

// The mirror's cells across feature bits First to First + Count - 1, in lanes 0 to Count - 1.
template <int First, int Count>
inline void nudgeMirrorAcross(BiasBlock* table, const AcrossOffsets& off, const Rule8& rule) {
    using Lanes = std::make_integer_sequence<int, Count>;
    const int16x8_t sum = gatherAt<First>(table, off, 0, Lanes());
    const int16x8_t meta = gatherAt<First>(table, off, kScaleOffset, Lanes());
    scatterAt<First>(table, off, nudge8(sum, meta, rule), Lanes());
}

}  // namespace

void adaptRelatedEightLanes(BiasBlock* table, int32_t idx, int32_t e, int32_t clipHigh,
                            int32_t clipLow) {
    const StageCells at(idx);
    const AcrossOffsets off(at);
    const int16x4_t up = vdup_n_s16(int16_t(e)), down = vdup_n_s16(int16_t(-e));

    {
        BiasBlock& own = blockAt(table, at.ownAt);
        BiasBlock& mir = blockAt(table, at.mirrorAt);
        int16_t* ownRow = own.sum + 4 * at.mid;
        int16_t* mirrorRow = mir.sum + 4 * at.mid;
        const int16x8_t sum = vcombine_s16(load64(ownRow), load64(mirrorRow));
        const int16x8_t meta = vcombine_s16(load64(own.scaleCountdown + 4 * at.mid),
                                            load64(mir.scaleCountdown + 4 * at.mid));
        const Rule8 rule(kLaneRules.own[at.lo], vcombine_s16(up, down), clipHigh, clipLow);
        const int16x8_t r = nudge8(sum, meta, rule);
        vst1_s16(ownRow, vget_low_s16(r));
        vst1_s16(mirrorRow, vget_high_s16(r));
    }

    const Rule8 across(kLaneRules.across[at.mid][at.lo], vcombine_s16(up, up), clipHigh, clipLow);
#pragma GCC unroll 11
    for (int j = 0; j < kFeatureBits; j++) {
        int16_t* rows = sumsAt(table, off.rows(j));
        vst1q_s16(rows, nudge8(load128(rows), load128(rows + kScaleOffset), across));
    }

    const int16x8_t downs = vcombine_s16(down, down);
    nudgeMirrorAcross<0, 8>(table, off,
                            Rule8(kLaneRules.mirrorAcross[0], downs, clipHigh, clipLow));
    nudgeMirrorAcross<8, kFeatureBits - 8>(
        table, off, Rule8(kLaneRules.mirrorAcross[1], downs, clipHigh, clipLow));
}

}  // namespace pqz::method2

#endif  // PQZ2_M2_ARM64
