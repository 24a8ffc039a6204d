// Coding method 2: adaptive floating-point linear prediction with cascaded bias correction.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pipeline/reader_state.h"
#include "base/image.h"

namespace pqz {

// One 8-bit plane of width x height bytes.
void decodePlane8Method2(ReaderState& st, uint8_t* out, int width, int height);
// A whole image of 3 or 4 interleaved 8-bit planes (planeCount of the state).
void decodePlaneMethod2(ReaderState& st, const ImageHeader& header, uint8_t* out, size_t outSize);

}  // namespace pqz
