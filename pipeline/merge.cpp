#include "pipeline/merge.h"

#include "codec/shared/reference_prediction.h"

namespace pqz {

void mergePlane(const PayloadHead& head, DecodedImage& image, const uint8_t* plane, int p) {
    const PlaneDescriptor& d = head.planeTable[p];
    const size_t pixels = size_t(image.width) * image.height;
    const size_t stride = size_t(head.planeCount);
    uint8_t* px = image.data;
    // A reference on the plane decoded first has nothing to refer to: the plane is stored as
    // decoded rather than dropped.
    if (!d.hasReference() || d.order == 0) {
        for (size_t j = 0; j < pixels; j++) px[j * stride + p] = plane[j];
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
