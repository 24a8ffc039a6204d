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

// Cell `cell` of the mirror's blocks across feature bits First, First + 1, ... in lanes.
template <int First, int... L>
inline int16x8_t gatherSums(BiasBlock* table, size_t at, int cell,
                            std::integer_sequence<int, L...>) {
    int16x8_t v = vdupq_n_s16(0);
    ((v = vsetq_lane_s16(blockAcross(table, at, First + L).sum[cell], v, L)), ...);
    return v;
}
template <int First, int... L>
inline int16x8_t gatherScales(BiasBlock* table, size_t at, int cell,
                              std::integer_sequence<int, L...>) {
    int16x8_t v = vdupq_n_s16(0);
    ((v = vsetq_lane_s16(int16_t(blockAcross(table, at, First + L).scaleCountdown[cell]), v, L)),
     ...);
    return v;
}
template <int First, int... L>
inline void scatterSums(BiasBlock* table, size_t at, int cell, int16x8_t v,
                        std::integer_sequence<int, L...>) {
    ((blockAcross(table, at, First + L).sum[cell] = vgetq_lane_s16(v, L)), ...);
}

// The mirror's cells across feature bits First to First + Count - 1, in lanes 0 to Count - 1.
template <int First, int Count>
inline void nudgeMirrorAcross(BiasBlock* table, const StageCells& at, const Rule8& rule) {
    using Lanes = std::make_integer_sequence<int, Count>;
    const int16x8_t sum = gatherSums<First>(table, at.mirrorAt, at.cell, Lanes());
    const int16x8_t meta = gatherScales<First>(table, at.mirrorAt, at.cell, Lanes());
    scatterSums<First>(table, at.mirrorAt, at.cell, nudge8(sum, meta, rule), Lanes());
}

}  // namespace

void adaptRelatedEightLanes(BiasBlock* table, int32_t idx, int32_t e, int32_t clipHigh,
                            int32_t clipLow) {
    const StageCells at(idx);
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
        BiasBlock& b = blockAcross(table, at.ownAt, j);
        int16_t* rows = b.sum + 4 * at.firstRow;
        vst1q_s16(rows, nudge8(load128(rows), load128(b.scaleCountdown + 4 * at.firstRow), across));
    }

    const int16x8_t downs = vcombine_s16(down, down);
    nudgeMirrorAcross<0, 8>(table, at, Rule8(kLaneRules.mirrorAcross[0], downs, clipHigh, clipLow));
    nudgeMirrorAcross<8, kFeatureBits - 8>(
        table, at, Rule8(kLaneRules.mirrorAcross[1], downs, clipHigh, clipLow));
}

}  // namespace pqz::method2

#endif  // PQZ2_M2_ARM64
