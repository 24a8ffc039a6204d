// Bit-stream decoder: literals ranked in adaptive lists, copies and zero runs, read with prefix
// codes from the bit reader.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pipeline/reader_state.h"

namespace pqz {

// Produces n bytes into out; rowLength is the distance in bytes from a byte to the byte above.
// Coding variant and context flag come from the state's currentMethod and currentModelFlag.
void decodeBitStream(ReaderState& st, uint32_t rowLength, uint8_t* out, size_t n);

}  // namespace pqz
