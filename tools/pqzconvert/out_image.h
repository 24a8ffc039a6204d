// Images in the shape the output formats want: grey, palette, colour or colour with alpha, with
// 1 to 16 bits per sample, rows top first in the PNG packing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "pqz_access.h"

namespace pqzconvert {

struct OutImage {
    enum Kind { kGrey, kPalette, kRgb, kRgba } kind = kGrey;
    int width = 0;
    int height = 0;
    int depth = 8;            // bits per sample: 1, 2, 4, 8 or 16
    int significantBits = 0;  // when fewer bits than depth carry the value (0: all)
    std::vector<uint8_t> paletteRgb;
    std::vector<uint8_t> rows;  // packed most significant bit first; 16-bit samples big-endian
    size_t rowBytes = 0;

    int channels() const { return kind == kRgb ? 3 : kind == kRgba ? 4 : 1; }
};

// Builds the output image from a decoded image in its stored format. keepFourthByte keeps byte 3
// of 4-byte pixels as alpha.
OutImage toOutImage(const StoredImage& img, bool keepFourthByte);

// Whether a BMP file can hold the image (samples of at most 8 bits).
bool fitsBmp(const OutImage& img);

// Write the image to an open file; false with *error set when the image does not fit the format
// or the writing fails (the caller closes the file).
bool writePng(FILE* f, const OutImage& img, std::string* error);
bool writeBmp(FILE* f, const OutImage& img, std::string* error);

// The whole output file in memory, PNG or BMP; false with *error when it cannot be made.
bool encodeImage(const OutImage& img, bool bmp, std::vector<uint8_t>* bytes, std::string* error);

}  // namespace pqzconvert
