// The PQZ2 inputs of the benchmark: one image block per coding method, made from a picture by
// the test encoders. Encoders that are not part of the source tree yet leave their method out.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/encoder/pqz_writer.h"
#include "tests/encoder/test_images.h"

namespace pqz::bench {

struct PqzMethod {
    const char* name;   // in benchmark names: raw, context, method1, method2, bits0 ... bits3
    const char* label;  // one line for the summary
    // Codes a grey, RGB or RGBA picture losslessly as an 8-, 24- or 32-bit image; false when
    // the encoder cannot code it. Null when the method's encoder is not in this build.
    bool (*encode)(const enc::Picture& picture, enc::ImageBlock& block);
};

// Every method, in the order of the summary; those without an encoder have encode == null.
const std::vector<PqzMethod>& pqzMethods();

// A whole PQZ file holding the one image.
std::vector<uint8_t> pqzFile(const enc::ImageBlock& block);

// The picture's pixels as an image stores them: grey bytes, or blue, green, red (and alpha).
std::vector<uint8_t> storedPixels(const enc::Picture& picture);
// Format byte of the image: 0x48 (8-bit grey), 24 or 32.
uint8_t storedFormat(const enc::Picture& picture);

}  // namespace pqz::bench
