// Decoding of one range-coded plane (or whole image): the choice among the context-model
// decoder and coding methods 1 and 2.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pipeline/reader_state.h"
#include "base/image.h"

namespace pqz {

// Decodes the plane described by header (width, height, bits per pixel) into out, which holds
// outSize bytes. The decoder is chosen by the state's currentModelFlag and currentMethod.
void decodePlane(ReaderState& st, const ImageHeader& header, uint8_t* out, size_t outSize);

}  // namespace pqz
