// Decoding of one range-coded plane (or whole image): the choice among the context-model
// decoder and coding methods 1 and 2.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/shared/payload_reader.h"
#include "codec/shared/plane_table.h"
#include "codec/shared/progress.h"

namespace pqz {

// The shape of what one coded stream decodes: a plane, or all planes of the image interleaved.
struct PlaneShape {
    int width = 0;
    int height = 0;
    int depth = 0;  // bits per sample (8 for one plane of a multi-plane image)
};

// Decodes the coded stream at the reader's cursor into out, which holds outSize bytes. The
// decoder is chosen by the plane's coding; the head gives tolerance and plane table.
void decodePlane(PayloadReader& in, const PayloadHead& head, PlaneCoding coding,
                 const PlaneShape& shape, uint8_t* out, size_t outSize, RowProgress& progress);

}  // namespace pqz
