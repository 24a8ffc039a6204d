#include "tests/support/method2_bias_reference.h"

#include "codec/method2/method2_bias_cells.h"

namespace pqz::test {

void adaptBiasStageByCell(method2::BiasBlock* table, int32_t idx, int32_t d, int32_t e,
                          int32_t clipHigh, int32_t clipLow) {
    method2::cells::adaptOwnCell(table, idx, d, method2::cells::BiasClip{clipHigh, clipLow});
    method2::cells::adaptRelatedByCell(table, idx, e, clipHigh, clipLow);
}

}  // namespace pqz::test
