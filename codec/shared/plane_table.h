// The coding description of a payload's planes, as read from the payload head: what the plane
// decoders and the merge need to know about each byte position of the pixel.
#pragma once

#include <cstdint>

namespace pqz {

// Coding methods of a plane (bits 0-1 of a plane descriptor's flags).
enum PlaneMethod : int {
    kMethodMapped = 0,    // bit stream: plain; range: context model; filter: value map
    kMethodMed = 1,       // median prediction, or coding method 1 with the model flag
    kMethodAdaptive = 2,  // adaptive prediction, or coding method 2 with the model flag
    kMethodNone = 3,      // no filter
};

// Bits of a plane descriptor's flags above the method.
constexpr uint8_t kPlaneModelFlag = 0x04;
constexpr uint8_t kPlaneHasReference = 0x08;

// Coding description of one plane (one byte position of the pixel).
struct PlaneDescriptor {
    uint8_t order;    // position in the decoding order, 0..3
    uint8_t flags;    // bits 0-1 method, bit 2 model flag, bit 3 hasReference
    uint8_t offset;   // constant added by the merge
    int32_t coef[3];  // merge weights, -64..191

    int method() const { return flags & 3; }
    bool modelFlag() const { return (flags & kPlaneModelFlag) != 0; }
    bool hasReference() const { return (flags & kPlaneHasReference) != 0; }
};

// How one coded stream is decoded: the plane's method and model flag.
struct PlaneCoding {
    int method = kMethodMapped;
    bool modelFlag = false;
};

// The payload head: near-lossless tolerance and the plane table with its order map.
struct PayloadHead {
    static constexpr int kMaxPlanes = 4;
    bool rangeCoded = false;
    int planeCount = 0;
    int tolerance = 0;
    PlaneDescriptor planeTable[kMaxPlanes] = {};
    // Plane of each decoding position; kNoPlane where no descriptor named the position.
    static constexpr uint8_t kNoPlane = 0xFF;
    uint8_t orderMap[kMaxPlanes] = {kNoPlane, kNoPlane, kNoPlane, kNoPlane};
};

}  // namespace pqz
