// Bit-stream decoder: literals ranked in adaptive lists, copies and zero runs, read with prefix
// codes from the bit reader.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/shared/payload_reader.h"
#include "codec/shared/plane_table.h"
#include "codec/shared/progress.h"

namespace pqz {

// Produces n bytes into out; rowLength is the distance in bytes from a byte to the byte above.
// The plane's method selects the coding variant, its model flag the literal contexts.
void decodeBitStream(PayloadReader& in, PlaneCoding coding, uint32_t rowLength, uint8_t* out,
                     size_t n, RowProgress& progress);

constexpr int kCandidateCount = 64;

// The distance candidates a plane starts with: offsets in order of growing distance from the
// current byte in a grid of the given row length; offsets below 1, above 16383 or repeated are
// replaced by the smallest free ones.
void initDistanceCandidates(uint32_t* offset, size_t rowLength);

}  // namespace pqz
