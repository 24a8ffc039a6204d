// Coding method 2: the related cells of a bias stage adapted in 16-bit integer lanes.
#pragma once

#include <cstdint>

#include "codec/method2/method2_bias.h"

namespace pqz::method2 {

// The cells related to cell idx (not the cell itself) move toward e, or -e for the mirror's
// cells, as the cell-by-cell rule moves them; only for |e| <= kLaneErrorLimit.
void adaptRelatedEightLanes(BiasBlock* table, int32_t idx, int32_t e, int32_t clipHigh,
                            int32_t clipLow);
// The same sixteen lanes at a time; only on processors with AVX2.
void adaptRelatedSixteenLanes(BiasBlock* table, int32_t idx, int32_t e, int32_t clipHigh,
                              int32_t clipLow);

}  // namespace pqz::method2
