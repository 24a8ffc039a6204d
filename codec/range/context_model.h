// Default context-model decoder for range-coded planes whose model flag is clear.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pipeline/reader_state.h"

namespace pqz {

// Decodes one plane of the given depth (1..32 bits; other depths are refused by marking the
// stream damaged) into out (outSize bytes), rows packed as the container stores them.
void decodeContextModelPlane(ReaderState& st, int width, int height, int depth, uint8_t* out,
                             size_t outSize);

}  // namespace pqz
