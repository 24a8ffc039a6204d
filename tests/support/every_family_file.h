// A multi-image file made by the test encoders for damage and salvage tests: every coding family
// of the reader (raw, context model whole and in separate planes, method 1 grey and colour in
// separate planes with references, method 2 grey and colour, bit stream in separate planes and
// whole, context model colour as byte planes one after another), between extra blocks, one image
// with an auxiliary header.
#pragma once

#include <cstdint>
#include <vector>

namespace pqz::test {

// Thirteen blocks: extra, raw grey 40 x 36 with an auxiliary header, context model grey,
// context model colour 32 x 24 in separate planes, method 1 grey, method 1 colour in separate
// planes, extra, method 2 grey, method 2 colour, bit stream colour in separate planes, bit
// stream 4-bit grey, context model colour as byte planes, extra.
std::vector<uint8_t> everyFamilyFile();

}  // namespace pqz::test
