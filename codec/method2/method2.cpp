// Entry points of coding method 2: argument checks and the floating-point environment.
#include "codec/method2/method2.h"

#include "codec/method2/method2_decoder.h"
#include "codec/method2/method2_float.h"

namespace pqz {

void decodePlane8Method2(PayloadReader& in, const PayloadHead& head, uint8_t* out, int width,
                         int height, RowProgress& progress) {
    if (width < 0 || height < 0 || width > 0xFFFF || (!out && width > 0 && height > 0)) {
        in.fail(Status::DamagedStream);
        return;
    }
    method2::DecodeFloatEnvironment environment;
    method2::decodeSinglePlane(in, head, out, width, height, progress, method2::widestLaneWidth());
}

void decodePlaneMethod2(PayloadReader& in, const PayloadHead& head, int width, int height,
                        uint8_t* out, size_t outSize, RowProgress& progress) {
    const int planes = head.planeCount;
    // Positions 0 to 2 are always decoded, and the decoding order has room for four planes.
    if (planes < 3 || planes > 4 || size_t(width) * size_t(height) * size_t(planes) > outSize) {
        in.fail(Status::Unsupported);
        return;
    }
    // Every decoding position must name a byte of the pixel.
    for (int k = 0; k < planes; k++) {
        if (head.orderMap[k] >= planes) {
            in.fail(Status::Unsupported);
            return;
        }
    }
    method2::DecodeFloatEnvironment environment;
    method2::decodeInterleavedImage(in, head, width, height, out, progress,
                                    method2::widestLaneWidth());
}

}  // namespace pqz
