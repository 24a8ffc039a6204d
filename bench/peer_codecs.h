// The peer lossless codecs the benchmark decodes beside PQZ2: PNG through libpng and JPEG-LS
// through CharLS, both from memory. Pixels are a Picture's: grey, RGB or RGBA bytes, rows top
// first, no padding.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/encoder/test_images.h"

namespace pqz::bench {

// PNG with libpng's default settings (compression level, filter choice), no interlacing.
std::vector<uint8_t> encodePng(const enc::Picture& picture);
// Decodes a PNG written by encodePng into pixels (resized here). False on any error.
bool decodePng(const std::vector<uint8_t>& file, std::vector<uint8_t>& pixels);

// JPEG-LS, lossless (near-lossless 0), colour samples interleaved by pixel.
std::vector<uint8_t> encodeJpegLs(const enc::Picture& picture);
// Decodes a stream written by encodeJpegLs into pixels (resized here). False on any error.
bool decodeJpegLs(const std::vector<uint8_t>& stream, std::vector<uint8_t>& pixels);

}  // namespace pqz::bench
