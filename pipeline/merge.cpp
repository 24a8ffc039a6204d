#include "pipeline/merge.h"

#include <cstring>

#include "codec/shared/reference_prediction.h"

namespace pqz {

namespace {

// Writes the plane into byte 0 of every pixel of kStride bytes, eight pixels per step.
template <size_t kStride>
void storePlane(uint8_t* px, const uint8_t* plane, size_t pixels) {
    constexpr size_t kStep = 8;
    size_t j = 0;
    for (; j + kStep <= pixels; j += kStep) {
        uint8_t* out = px + j * kStride;
        for (size_t k = 0; k < kStep; k++) out[k * kStride] = plane[j + k];
    }
    for (; j < pixels; j++) px[j * kStride] = plane[j];
}

// The plane stored as decoded into byte p of every pixel. A single plane decoded into the pixel
// data itself is already in place.
void storePlane(uint8_t* px, const uint8_t* plane, size_t pixels, size_t stride, int p) {
    uint8_t* const first = px + p;
    switch (stride) {
        case 1:
            if (first != plane) std::memcpy(first, plane, pixels);
            return;
        case 2:
            return storePlane<2>(first, plane, pixels);
        case 3:
            return storePlane<3>(first, plane, pixels);
        case 4:
            return storePlane<4>(first, plane, pixels);
        default:
            for (size_t j = 0; j < pixels; j++) first[j * stride] = plane[j];
    }
}

}  // namespace

void mergePlane(const PayloadHead& head, DecodedImage& image, const uint8_t* plane, int p) {
    const PlaneDescriptor& d = head.planeTable[p];
    const size_t pixels = size_t(image.width) * image.height;
    const size_t stride = size_t(head.planeCount);
    uint8_t* px = image.data;
    // A reference on the plane decoded first has nothing to refer to: the plane is stored as
    // decoded rather than dropped.
    if (!d.hasReference() || d.order == 0) {
        storePlane(px, plane, pixels, stride, p);
        return;
    }
    const int32_t offset = d.offset;
    const size_t a0 = head.orderMap[0], a1 = head.orderMap[1];
    if (d.order == 1) {
        for (size_t j = 0; j < pixels; j++) {
            uint8_t* pixel = px + j * stride;
            pixel[p] = uint8_t(plane[j] + offset + pixel[a0]);
        }
    } else if (d.order == 2) {
        const int32_t coef[2] = {d.coef[0], d.coef[1]};  // locals the stores cannot alias
        for (size_t j = 0; j < pixels; j++) {
            uint8_t* pixel = px + j * stride;
            const int32_t pred =
                referenceBytes(referenceSum(coef, pixel[a0], pixel[a1]), kReferenceRoundTwoBytes);
            pixel[p] = uint8_t(plane[j] + offset + pred);
        }
    } else {
        // The three bytes in front of the target byte; in front of the pixel data they read 0.
        const int32_t coef[3] = {d.coef[0], d.coef[1], d.coef[2]};
        for (size_t j = 0; j < pixels; j++) {
            const size_t t = j * stride + size_t(p);
            const int32_t q3 = t >= 3 ? px[t - 3] : 0;
            const int32_t q2 = t >= 2 ? px[t - 2] : 0;
            const int32_t q1 = t >= 1 ? px[t - 1] : 0;
            const int32_t pred =
                referenceBytes(referenceSum(coef, q3, q2, q1), kReferenceRoundThreeBytesMerged);
            px[t] = uint8_t(plane[j] + offset + pred);
        }
    }
}

}  // namespace pqz
