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

// The code maps, 256 entries each.
void buildValueMap(int tolerance, uint8_t map[256]);
void buildResidualMap(int tolerance, uint8_t map[256]);

}  // namespace pqz
