// Inverse plane filters: undo near-lossless quantisation and per-plane prediction in place.
#pragma once

#include <cstdint>

namespace pqz {

// Method 0: maps quantisation bins back to values (nothing to do for tolerance 0).
void unmapPlane(uint8_t* plane, int width, int height, int tolerance);

// Method 1: median edge predictor.
void unpredictMed(uint8_t* plane, int width, int height, int tolerance);

// Method 2: adaptive blend of two predictor families. Returns false when its state cannot be
// allocated (the plane is then left alone).
bool unpredictAdaptive(uint8_t* plane, int width, int height, int tolerance);

// The residuals of n codes through the residual map r; zigzag says that r is the map without
// tolerance, which is then computed rather than looked up.
void residualsOf(const uint8_t* codes, int n, const uint8_t r[256], bool zigzag, uint8_t* out);

// The code maps, 256 entries each.
void buildValueMap(int tolerance, uint8_t map[256]);
void buildResidualMap(int tolerance, uint8_t map[256]);

}  // namespace pqz
