// Coding method 2: the rules that adapt single bias cells, shared by the adaptation of a stage
// and by the cell-by-cell measure the integer lanes are checked against.
#pragma once

#include <cstdint>

#include "base/platform.h"
#include "codec/method2/float_env.h"
#include "codec/method2/method2_bias.h"
#include "codec/method2/method2_bias_lanes.h"

namespace pqz::method2::cells {

constexpr uint8_t kCountdownOfShift[4] = {2, 7, 46, 197};  // shifts 5 to 8

inline int32_t add32(int32_t a, int32_t b) {
    return int32_t(uint32_t(a) + uint32_t(b));
}
inline int32_t sub32(int32_t a, int32_t b) {
    return int32_t(uint32_t(a) - uint32_t(b));
}
inline int16_t add16(int16_t a, int32_t b) {
    return int16_t(uint16_t(uint16_t(a) + uint16_t(b)));
}

struct BiasClip {
    int32_t high;
    int32_t low;
    int32_t sign(int32_t v) const { return (v > high) - (v < low); }
};

inline int shiftOfScale(unsigned scale) {
    return 9 - trailingZeros(uint32_t(scale));
}
inline uint16_t scaleCountdown(int shift, unsigned countdown) {
    return uint16_t((1u << (17 - shift)) | countdown);
}

// The cell a stage used (index idx) learns the stage's error d.
inline void adaptOwnCell(BiasBlock* table, int32_t idx, int32_t d, const BiasClip& clip) {
    BiasBlock& b = table[idx >> 4];
    const int i = idx & 15;
    int16_t& sum = b.sum[i];
    sum = add16(sum, d);
    const unsigned countdown = b.scaleCountdown[i] & 0xFFu;
    if (countdown == 0) return;
    sum = add16(sum, 4 * clip.sign(d));
    if (d <= -38 || d >= 38) return;
    const int shift = shiftOfScale(b.scaleCountdown[i] >> 8);
    if (countdown == 1 && shift < 8) {
        b.scaleCountdown[i] = scaleCountdown(shift + 1, kCountdownOfShift[shift + 1 - 5]);
        sum = int16_t(uint16_t(uint16_t(sum) * 2u));
    } else {
        b.scaleCountdown[i] = uint16_t(b.scaleCountdown[i] - 1);  // 1 becomes 0 at shift 8
    }
}

// The cells related to idx move toward the error e, one after another in 32-bit arithmetic, for
// any e. Rarely taken while decoding: kept out of line so that the usual path needs no stack
// frame.
PQZ_COLD void adaptRelatedByCell(BiasBlock* table, int32_t idx, int32_t e, int32_t clipHigh,
                                 int32_t clipLow);

// adaptBiasStage, inlined where the decoder adapts its five stages after each sample: the used
// cell's rule and the choice of lanes then need no call of their own.
//
// The related cells come first. Neither rule reads what the other writes (the lanes carry the
// used cell through unchanged), so the order gives the same cells; but the lanes load the used
// cell's row as a whole, and a load that spans a narrower store still in flight cannot take its
// value from that store and waits for it to be written to the cache. Adapted last, the used
// cell reads its two fields out of the row the lanes just stored, which the processor forwards.
PQZ_HOT_INLINE void adaptStage(BiasBlock* table, int32_t idx, int32_t d, int32_t e,
                               int32_t clipHigh, int32_t clipLow, LaneWidth lanes) {
    const BiasClip clip{clipHigh, clipLow};
#if PQZ2_M2_X86
    if (e < -kLaneErrorLimit || e > kLaneErrorLimit)
        adaptRelatedByCell(table, idx, e, clipHigh, clipLow);
    else if (lanes == LaneWidth::Sixteen)
        adaptRelatedSixteenLanes(table, idx, e, clipHigh, clipLow);
    else
        adaptRelatedEightLanes(table, idx, e, clipHigh, clipLow);
#elif PQZ2_M2_ARM64
    (void)lanes;  // NEON: eight lanes
    if (e < -kLaneErrorLimit || e > kLaneErrorLimit)
        adaptRelatedByCell(table, idx, e, clipHigh, clipLow);
    else
        adaptRelatedEightLanes(table, idx, e, clipHigh, clipLow);
#else
    // No integer lanes in this build: the cell-by-cell rule, which the lanes reproduce.
    (void)lanes;
    adaptRelatedByCell(table, idx, e, clipHigh, clipLow);
#endif
    adaptOwnCell(table, idx, d, clip);
}

}  // namespace pqz::method2::cells
