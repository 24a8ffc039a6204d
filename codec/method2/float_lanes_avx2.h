// Coding method 2: the element-wise single-precision loops of the predictor slots in eight lanes,
// for processors with AVX2. Every element goes through the same operations in the same order as
// in four lanes, so the results are the same bit for bit.
#pragma once

#include "codec/method2/float_env.h"
#include "codec/method2/method2_decoder.h"

#if PQZ2_M2_X86

namespace pqz::method2 {

// As trainSlot, trainSlots, refineWeights and blendWeights, eight inputs at a time.
void trainSlotEight(PredictorSlot& s, const float* x, const float* stepSize, float rate, float err,
                    float reg);
void trainSlotsEight(PredictorSlot& a, float rateA, float errA, float regA, PredictorSlot& b,
                     float rateB, float errB, float regB, const float* x, const float* stepSize);
void refineWeightsEight(PredictorSlot& s, const float* x, const float* stepSize, float e2,
                        float reg2);
void blendWeightsEight(float* b, const float (*k)[4], const PredictorSlot* const nb[6]);

}  // namespace pqz::method2

#endif  // PQZ2_M2_X86
