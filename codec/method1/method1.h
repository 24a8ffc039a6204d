// Coding method 1: median-edge prediction with context-selected residual models.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/shared/payload_reader.h"
#include "codec/shared/plane_table.h"
#include "codec/shared/progress.h"

namespace pqz {

// One 8-bit plane of width x height bytes, coded with the given near-lossless tolerance.
void decodeMethod1Grey(PayloadReader& in, int tolerance, uint8_t* out, int width, int height,
                       RowProgress& progress);
// A whole image of 3 or 4 interleaved 8-bit planes as the payload head describes them; out
// holds outSize bytes.
void decodeMethod1Interleaved(PayloadReader& in, const PayloadHead& head, int width, int height,
                              uint8_t* out, size_t outSize, RowProgress& progress);

}  // namespace pqz
