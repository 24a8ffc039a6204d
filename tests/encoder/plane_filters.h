// Forward plane filters and the forward merge: from the sample values an image should have to
// the byte codes that the decoder's inverse filters and merge turn back into them. With
// tolerance k > 0 the codes are restricted to the quantised ones (bins of width 2k + 1,
// residuals that are multiples of 2k + 1) and each is chosen as the one whose reconstruction
// comes closest to the sample; predictions are computed from the reconstruction, exactly as the
// decoder computes them, so the returned reconstruction is what the decoder produces.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "tests/encoder/pqz_writer.h"

namespace pqz::enc {

// Code to bin value of the quantising filter, and code to residual (as a byte) of the two
// predicting filters, as the decoder builds them for tolerance k.
std::array<uint8_t, 256> quantiserValueMap(int tolerance);
std::array<uint8_t, 256> quantiserResidualMap(int tolerance);

enum class PlaneFilter {
    None,      // codes are the samples
    Quantise,  // bins only (nothing changes at tolerance 0)
    Median,    // median edge predictor
    Adaptive,  // blend of two adaptive predictor families
};

struct FilteredPlane {
    std::vector<uint8_t> codes;          // what the entropy coder writes
    std::vector<uint8_t> reconstructed;  // what the inverse filter makes of them
};

// One plane of width x height samples, rows top first.
FilteredPlane filterPlane(PlaneFilter filter, const uint8_t* plane, int width, int height,
                          int tolerance);

// The filter the decoder applies to a bit-stream-coded plane of this method; the adaptive
// filter only runs on separately coded planes.
PlaneFilter bitstreamPlaneFilter(int method, bool separatePlanes);

struct ForwardPlanes {
    std::vector<std::vector<uint8_t>> codes;     // by plane index: the plane's byte codes
    std::vector<std::vector<uint8_t>> filtered;  // by plane index: the inverse filter's output
    std::vector<uint8_t> reconstructed;          // interleaved pixels the decoder ends with
};

// Forward merge and filters of an image of planeCount-byte pixels: in decoding order, each
// plane's target bytes minus the merge's prediction (from the reconstructed earlier planes and
// the plane's offset) are filtered, and the reconstruction is formed as the decoder adds the
// prediction back. An order-3 reference must sit on byte 3 of the pixel.
ForwardPlanes forwardPlanes(const uint8_t* pixels, int width, int height,
                            const std::vector<PlaneSpec>& planes,
                            const std::vector<PlaneFilter>& filters, int tolerance);

}  // namespace pqz::enc
