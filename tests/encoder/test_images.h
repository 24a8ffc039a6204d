// Test pictures: PNG loading and the derived formats the tests need.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pqz::enc {

// 8 bits per channel, channels 1 (grey), 3 (red, green, blue) or 4 (with alpha), rows top first.
struct Picture {
    int width = 0;
    int height = 0;
    int channels = 0;
    std::vector<uint8_t> pixels;
    std::vector<uint8_t> paletteRgb;  // for palette PNGs loaded as indices: 3 bytes per entry

    uint8_t at(int x, int y, int c) const { return pixels[(size_t(y) * width + x) * channels + c]; }
};

// Folder of the sample photos (tests/data/images of the source tree).
std::string imagesDir();
// Folder of the reference vectors.
std::string vectorsDir();

// Loads a PNG. Palette images are expanded to colour unless keepIndices is set, in which case
// pixels are the indices (channels 1) and paletteRgb holds the palette.
Picture loadPng(const std::string& path, bool keepIndices = false);
Picture loadImage(const std::string& name, bool keepIndices = false);  // from imagesDir()

Picture toGrey(const Picture& p);
Picture crop(const Picture& p, int x, int y, int width, int height);
// Keeps the top `bits` bits of every sample, shifted down (values 0 .. 2^bits - 1).
Picture quantise(const Picture& p, int bits);

// Packs one value per pixel (0 .. 2^n - 1) into the container's row layout for n < 8, or one
// byte per pixel shifted into its top bits for n = 5..7; n = 8 copies.
std::vector<uint8_t> packSamples(const std::vector<uint8_t>& samples, int width, int height,
                                 int bitsPerPixel);
// Interleaved pixel bytes in stored order: blue, green, red (and alpha).
std::vector<uint8_t> toStoredBgr(const Picture& p);

}  // namespace pqz::enc
