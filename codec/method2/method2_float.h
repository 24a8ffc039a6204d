// Single-precision helpers of coding method 2: four-lane groups, the dot product in its fixed
// order, slot training, truncation as x86-64 does it, and the floating-point environment of a
// decode. The lane code is chosen at compile time (see float_env.h); where the processor has
// AVX2 the slots' element-wise loops run eight lanes at a time instead of four.
#pragma once

#include "codec/method2/float_env.h"
#include "codec/method2/method2_decoder.h"

namespace pqz::method2 {
constexpr int kGroups = kInputs / 4;
}  // namespace pqz::method2

#if PQZ2_M2_X86
#include "codec/method2/float_lanes_sse.h"
#elif PQZ2_M2_ARM64
#include "codec/method2/float_lanes_neon.h"
#else
#include "codec/method2/float_lanes_plain.h"
#endif

#if PQZ2_M2_X86
#include "codec/method2/float_lanes_avx2.h"
#endif

namespace pqz::method2 {

// The slots' element-wise loops in the lanes the decoder was given: eight where its bias cells
// take sixteen integer lanes (the processor has AVX2), four otherwise. Both give the same bits.
inline void trainSlotIn(LaneWidth lanes, PredictorSlot& s, const float* x, const float* stepSize,
                        float rate, float err, float reg) {
#if PQZ2_M2_X86
    if (lanes == LaneWidth::Sixteen) return trainSlotEight(s, x, stepSize, rate, err, reg);
#endif
    (void)lanes;
    trainSlot(s, x, stepSize, SlotStep(rate, err, reg));
}

inline void trainSlotsIn(LaneWidth lanes, PredictorSlot& a, float rateA, float errA, float regA,
                         PredictorSlot& b, float rateB, float errB, float regB, const float* x,
                         const float* stepSize) {
#if PQZ2_M2_X86
    if (lanes == LaneWidth::Sixteen)
        return trainSlotsEight(a, rateA, errA, regA, b, rateB, errB, regB, x, stepSize);
#endif
    (void)lanes;
    trainSlots(a, SlotStep(rateA, errA, regA), b, SlotStep(rateB, errB, regB), x, stepSize);
}

inline void refineWeightsIn(LaneWidth lanes, PredictorSlot& s, const float* x,
                            const float* stepSize, float e2, float reg2) {
#if PQZ2_M2_X86
    if (lanes == LaneWidth::Sixteen) return refineWeightsEight(s, x, stepSize, e2, reg2);
#endif
    (void)lanes;
    refineWeights(s, x, stepSize, e2, reg2);
}

inline void blendWeightsIn(LaneWidth lanes, float* b, const float (*k)[4],
                           const PredictorSlot* const nb[6]) {
#if PQZ2_M2_X86
    if (lanes == LaneWidth::Sixteen) return blendWeightsEight(b, k, nb);
#endif
    (void)lanes;
    blendWeights(b, k, nb);
}

}  // namespace pqz::method2
