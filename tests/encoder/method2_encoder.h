// Test encoder of coding method 2 (adaptive floating-point linear prediction with cascaded bias
// correction): single 8-bit planes, interleaved images of 3 or 4 planes with reference values,
// near-lossless tolerance 0..15, and whole compressed payloads for every route a reader offers
// for the method. The encoder runs its floating-point arithmetic with flush-to-zero and
// round-to-nearest, as the reader does.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/encoder/pqz_writer.h"
#include "tests/encoder/test_images.h"

namespace pqz::enc {

struct Method2Options {
    int tolerance = 0;  // 0..15: every reconstructed sample lies within this of the original
    // Codes every n-th zero residual as the long symbol 256 (which also means residual 0);
    // 0 never does.
    int longZeroEvery = 0;
    // The samples are decoded values to reproduce (for instance a reader's output): each is
    // coded exactly, whatever the tolerance.
    bool reproduce = false;
};

// What coding exercised, so that tests can tell that they reach the rarer paths.
struct Method2Stats {
    int slots = 0;                 // predictor slots handed out (the most of any plane)
    uint64_t ternaryRescales = 0;  // three-way residual models halved
    uint64_t cellsSettled = 0;     // bias cells that reached their final shift
    uint64_t classRescales = 0;    // magnitude contexts whose class counts were halved
    uint64_t nodeRescales = 0;     // magnitude tree nodes halved while coding
    void add(const Method2Stats& o);
};

// One coded stream: opening marker, coder bytes, closing marker.
struct Method2Stream {
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> reconstructed;  // the samples (or pixels) a decoder produces
    Method2Stats stats;
    bool slotOverflow = false;  // more than 1023 slots: a decoder must refuse the stream
};

// A single 8-bit plane of width x height samples, rows top first. With `add` (one byte per
// sample), the decoded value r of a sample is accepted when (r + add) mod 256 lies within the
// tolerance of the sample: this codes a plane that a merge later offsets by `add`.
Method2Stream encodeMethod2Plane(const uint8_t* samples, int width, int height,
                                 const Method2Options& options, const uint8_t* add = nullptr);

// Interleaved pixels of planeCount (3 or 4) bytes, with the plane descriptors of the payload
// head by byte position (their order fields give the coding order; hasReference and coef shape
// the reference values). With four planes, byte 3 must have order 3.
Method2Stream encodeMethod2Interleaved(const uint8_t* pixels, int width, int height, int planeCount,
                                       const std::vector<PlaneSpec>& planes,
                                       const Method2Options& options);

// A whole image for the route chosen by its fields.
struct Method2Image {
    uint16_t width = 0;
    uint16_t height = 0;
    int bitsPerPixel = 8;          // 8; 24 or 25..32 (interleaved or separate); 16 (separate only)
    bool grey = false;             // 8 bits: grey levels (the head then carries the tolerance)
    std::vector<uint8_t> pixels;   // stored layout: (bitsPerPixel + 7) / 8 bytes per pixel
    std::vector<uint8_t> palette;  // 8 bits: 768 bytes (blue, green, red) stored behind
    int tolerance = 0;             // ignored when the head has no tolerance field
    bool separate = false;         // each plane its own 8-bit stream, then the merge
    // Descriptors by byte position; method 2 and the model flag are set by the encoder. Empty:
    // order = byte position, no references.
    std::vector<PlaneSpec> planes;
    int longZeroEvery = 0;
    bool reproduce = false;  // as in Method2Options
};

struct Method2Payload {
    ImageBlock block;             // ready for PqzWriter::imageBlock
    std::vector<uint8_t> pixels;  // the pixels a reader decodes, stored layout
    Method2Stats stats;           // of all streams
    bool slotOverflow = false;
};

Method2Payload encodeMethod2Image(const Method2Image& image);

// The simple entry point: a picture of 1, 3 or 4 channels as an 8-bit grey, 24-bit or 32-bit
// image coded with method 2.
Method2Payload encodeMethod2Picture(const Picture& picture, int tolerance = 0,
                                    bool separate = false);

}  // namespace pqz::enc
