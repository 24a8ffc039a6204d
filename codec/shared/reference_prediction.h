// The inter-plane reference prediction: a byte of a pixel is coded as the difference to a
// weighted sum of the bytes decoded before it. The second byte refers to the first alone (plus
// an offset, no weights); the third and fourth weigh two or three bytes with the coefficients of
// their plane descriptor, in 128ths.
//
// The sum is rounded to bytes in two ways, and both are what stored files were written with:
// two-byte sums add 40 everywhere, three-byte sums add 63 when the merge after the plane filters
// applies them but 64 inside coding method 1. Coding method 2 does not round at all: it feeds
// the sum to its predictor as a context in 16ths of a byte, truncated.
#pragma once

#include <cstdint>

#include "base/platform.h"

namespace pqz {

constexpr int32_t kReferenceRoundTwoBytes = 40;
constexpr int32_t kReferenceRoundThreeBytesMerged = 63;
constexpr int32_t kReferenceRoundThreeBytesMethod1 = 64;

PQZ_HOT_INLINE int32_t referenceSum(const int32_t* coef, int32_t b0, int32_t b1) {
    return coef[0] * b0 + coef[1] * b1;
}

PQZ_HOT_INLINE int32_t referenceSum(const int32_t* coef, int32_t b0, int32_t b1, int32_t b2) {
    return coef[0] * b0 + coef[1] * b1 + coef[2] * b2;
}

// The sum in bytes, with one of the roundings above.
PQZ_HOT_INLINE int32_t referenceBytes(int32_t sum, int32_t rounding) {
    return (sum + rounding) >> 7;
}

// The sum as coding method 2's context: 16ths of a byte, truncated.
PQZ_HOT_INLINE int32_t referenceSixteenths(int32_t sum) {
    return sum >> 3;
}

}  // namespace pqz
