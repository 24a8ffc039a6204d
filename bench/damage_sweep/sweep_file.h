// The file the damage sweep damages: images of every coding family, made by the test encoders,
// with extra blocks and auxiliary headers between them, and each image's exact pixels.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pqz::sweep {

struct SweepImage {
    std::string family;  // the coding family, as the benchmark names it
    uint32_t blockIndex = 0;
    uint64_t offset = 0;  // the block's first byte
    uint64_t end = 0;     // one past its last byte
    uint64_t payloadOffset = 0;
    uint64_t payloadEnd = 0;
    uint32_t height = 0;
    size_t rowBytes = 0;          // rows in the stored layout
    std::vector<uint8_t> pixels;  // the image decoded from the undamaged file
};

struct SweepFile {
    std::vector<uint8_t> bytes;
    std::vector<SweepImage> images;
    std::vector<uint64_t> blockOffsets;        // every block, in file order
    std::vector<std::string> familiesMissing;  // families without an encoder in this build
};

// Builds the file from grey and colour crops of side x side*3/4 pixels. Empty bytes and
// *error when the file cannot be made or read back.
SweepFile buildSweepFile(int side, std::string* error);

// Rows from the top of `decoded` (rows of image.rowBytes) equal to the image's pixels, at most
// `limit`.
uint32_t exactRows(const SweepImage& image, const uint8_t* decoded, uint32_t limit);

}  // namespace pqz::sweep
