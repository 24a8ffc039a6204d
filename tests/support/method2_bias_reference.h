// Test-only measure for the bias adaptation of coding method 2.
#pragma once

#include <cstdint>

#include "codec/method2/method2_bias.h"

namespace pqz::test {

// Adapts a stage as adaptBiasStage does, one cell after another in 32-bit arithmetic for any e:
// what the integer lanes are tested against.
void adaptBiasStageByCell(method2::BiasBlock* table, int32_t idx, int32_t d, int32_t e,
                          int32_t clipHigh, int32_t clipLow);

}  // namespace pqz::test
