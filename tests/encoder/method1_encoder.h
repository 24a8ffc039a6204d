// Test encoder for coding method 1: median-edge prediction, contexts formed from the errors and
// values of the decoded neighbourhood, residual symbols with escapes into the shared magnitude
// contexts, and the training of neighbouring contexts after every sample of a young context.
// It mirrors the decoder's per-plane object, row ring and context formation exactly, and builds
// whole compressed payloads for the routes the reader offers for this method.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/encoder/magnitude_encoder.h"
#include "tests/encoder/pqz_writer.h"
#include "tests/encoder/range_encoder.h"
#include "tests/encoder/test_images.h"

namespace pqz::enc {

// --- Streams -------------------------------------------------------------------------------

// Codes one 8-bit plane (width x height samples, rows top first) as one coded stream, markers
// included, appended to out. tolerance 0..15 (0 is lossless). When ref is given, the decoder's
// output of sample j becomes (decoded + ref[j]) & 0xFF (a plane merged onto a reference) and it
// is that output which is kept within the tolerance of target[j]. recon receives the output the
// decoder must produce for every sample. stats, when given, accumulates what the stream
// exercised. With exactTargets the targets are taken as the reconstructions themselves: every
// sample is coded so that the output equals its target (which must be reachable), whatever the
// tolerance; this re-creates a near-lossless stream from its decoded pixels.
void encodeMethod1Grey(std::vector<uint8_t>& out, const uint8_t* target, int width, int height,
                       int tolerance, std::vector<uint8_t>& recon, const uint8_t* ref = nullptr,
                       MagnitudeStats* stats = nullptr, bool exactTargets = false);

// Codes an image of 3 or 4 interleaved 8-bit planes as one coded stream appended to out. planes
// gives, per byte position, the decoding order and the reference (offset and weights) that the
// decoder applies to that plane's value; a reference on the plane decoded last must be at byte
// position 3, and one on the plane decoded first is ignored (as the decoder ignores it). recon
// receives the pixels the decoder must produce. stats and exactTargets as above.
void encodeMethod1Interleaved(std::vector<uint8_t>& out, const uint8_t* target, int width,
                              int height, int planeCount, const std::vector<PlaneSpec>& planes,
                              int tolerance, std::vector<uint8_t>& recon,
                              MagnitudeStats* stats = nullptr, bool exactTargets = false);

// --- Whole images --------------------------------------------------------------------------

struct Method1Options {
    int tolerance = 0;            // 0..15; used only where the payload head carries it
    bool separatePlanes = false;  // flags 0x08: one grey stream per plane, then the merge
    // Per byte position: order and reference. Empty: orders 0, 1, 2 ... without references.
    // The encoder sets method 1 and the model flag on every plane.
    std::vector<PlaneSpec> planes;
    int bitsPerPixel = 0;  // 0: 8 per plane; 25..31 for four planes
    bool grey = true;      // one plane: the grey bit (without it the head has no tolerance)
    // One plane: stored palette (blue, green, red per entry). A grey image may carry one too;
    // the bitmap then shows grey levels.
    std::vector<uint8_t> palette;
    bool exactTargets = false;  // the pixels are the reconstructions to reproduce exactly
};

struct Method1Image {
    ImageBlock block;               // ready for PqzWriter::imageBlock
    std::vector<uint8_t> expected;  // pixels the reader must decode: rows top first, no padding
    int tolerance = 0;              // the tolerance the head carries
    MagnitudeStats stats;           // summed over the image's streams
};

// pixels: planeCount bytes per pixel in stored order (blue, green, red, alpha), rows top first.
// planeCount 1 (8-bit grey or palette image), 3 or 4 (interleaved, or separate planes), or 2
// (separate planes only).
Method1Image encodeMethod1(const uint8_t* pixels, int width, int height, int planeCount,
                           const Method1Options& options = {});

// Green first, blue as a difference from green, red from green by weights (128, 0) and, for four
// planes, alpha from the three colours with small weights: a usual colour decorrelation.
std::vector<PlaneSpec> colourReferencePlanes(int planeCount);

// Simple entry point: a test picture (grey, RGB or RGBA) as one method-1 image block.
Method1Image encodeMethod1Picture(const Picture& picture, int tolerance = 0,
                                  bool references = false, bool separatePlanes = false);

// The reference a plane adds in the merge behind separately coded planes (order 1: offset plus
// the first plane; order 2: weighted with rounding 40; order 3: weighted with rounding 63), or
// in the interleaved decoder (the same, but rounding 64 for order 3). pixel points at the pixel's
// first byte; the planes it reads must be final.
int planeReference(const PlaneSpec& spec, const uint8_t* pixel, const uint8_t orderMap[4],
                   int position, int order3Rounding);

}  // namespace pqz::enc
