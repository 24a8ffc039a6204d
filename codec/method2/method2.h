// Coding method 2: adaptive floating-point linear prediction with cascaded bias correction.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/shared/payload_reader.h"
#include "codec/shared/plane_table.h"
#include "codec/shared/progress.h"

namespace pqz {

// One 8-bit plane of width x height bytes. The plane's reference flag is that of the plane the
// head puts first in the decoding order.
void decodePlane8Method2(PayloadReader& in, const PayloadHead& head, uint8_t* out, int width,
                         int height, RowProgress& progress);
// A whole image of 3 or 4 interleaved 8-bit planes as the payload head describes them; out
// holds outSize bytes.
void decodePlaneMethod2(PayloadReader& in, const PayloadHead& head, int width, int height,
                        uint8_t* out, size_t outSize, RowProgress& progress);

}  // namespace pqz
