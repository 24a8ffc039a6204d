// The bitmap rows a reader hands out for given decoded pixel data: 2-bit pixels widened to 4
// bits, 15/16-bit to 24-bit 5-5-5 colour, 32-bit to 24-bit, rows bottom first and padded to four
// bytes with zeros.
#pragma once

#include <cstdint>
#include <vector>

namespace pqz::enc {

struct ExpectedBitmap {
    int bitCount = 0;           // bits per pixel of the bitmap
    uint32_t stride = 0;        // bytes per bitmap row
    uint32_t significant = 0;   // leading bytes of each row that must match
    std::vector<uint8_t> rows;  // height * stride bytes, bottom row first
};

// pixels: rows of the container layout for bitsPerPixel, top first.
ExpectedBitmap expectedBitmap(const std::vector<uint8_t>& pixels, int width, int height,
                              int bitsPerPixel);

}  // namespace pqz::enc
