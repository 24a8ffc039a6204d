// Entry points of coding method 2: argument checks and the floating-point environment.
#include "codec/method2/method2.h"

#include "codec/method2/method2_decoder.h"
#include "codec/method2/method2_float.h"

namespace pqz {

void decodePlane8Method2(ReaderState& st, uint8_t* out, int width, int height) {
    if (width < 0 || height < 0 || width > 0xFFFF || (!out && width > 0 && height > 0)) {
        st.damaged = true;
        return;
    }
    method2::DecodeFloatEnvironment environment;
    method2::decodeSinglePlane(st, out, width, height);
}

void decodePlaneMethod2(ReaderState& st, const ImageHeader& header, uint8_t* out, size_t outSize) {
    const int planes = st.planeCount;
    const int width = header.width, height = header.height;
    // Positions 0 to 2 are always decoded, and the decoding order has room for four planes.
    if (planes < 3 || planes > 4 || size_t(width) * size_t(height) * size_t(planes) > outSize) {
        st.damaged = true;
        return;
    }
    // Every decoding position must name a byte of the pixel.
    for (int k = 0; k < planes; k++) {
        if (st.orderMap[k] >= planes) {
            st.damaged = true;
            return;
        }
    }
    method2::DecodeFloatEnvironment environment;
    method2::decodeInterleavedImage(st, width, height, out);
}

}  // namespace pqz
