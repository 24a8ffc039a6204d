// Default context-model decoder for range-coded planes whose model flag is clear.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/shared/payload_reader.h"
#include "codec/shared/progress.h"

namespace pqz {

// Decodes one plane of the given depth (1..32 bits; other depths are refused by marking the
// stream damaged) into out (outSize bytes), rows packed as the container stores them.
void decodeContextModelPlane(PayloadReader& in, int width, int height, int depth, uint8_t* out,
                             size_t outSize, RowProgress& progress);

}  // namespace pqz
