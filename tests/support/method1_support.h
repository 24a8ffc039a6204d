// Test-only entry points into the coding-method-1 decoder: whole-table set-up and the decode of
// one sample in a single call, which the plane loops split in two.
#pragma once

#include <cstdint>

#include "codec/method1/method1_decoder.h"
#include "codec/shared/range_decoder.h"

namespace pqz::test {

// Sets up every model of a decoder that has decoded nothing yet at once, instead of when first
// reached; the decoding is the same.
void setUpAllModels(Method1Decoder& d);

// Decodes the sample at the current column, moves the ring on by one column and trains the
// neighbouring contexts if the sample's model is young. Symbols of 256 and more mark the stream
// damaged when refuseWideSymbols is set.
uint8_t decodeSample(RangeDecoder& rc, Method1Decoder& d, const Method1Decoder* x,
                     const Method1Decoder* y, bool refuseWideSymbols);

}  // namespace pqz::test
