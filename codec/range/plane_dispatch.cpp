#include "codec/range/plane_dispatch.h"

#include "codec/method1/method1.h"
#include "codec/method2/method2.h"
#include "codec/range/context_model.h"

namespace pqz {

void decodePlane(ReaderState& st, const ImageHeader& header, uint8_t* out, size_t outSize) {
    const int depth = header.bitsPerPixel();
    if (!st.currentModelFlag) {
        decodeContextModelPlane(st, header.width, header.height, depth, out, outSize);
        return;
    }
    const bool grey8 = depth == 8;
    if (grey8 && size_t(header.width) * header.height > outSize) {
        st.damaged = true;
        return;
    }
    switch (st.currentMethod) {
        case 1:
            if (grey8)
                decodeMethod1Grey(st, out, header.width, header.height);
            else
                decodeMethod1Interleaved(st, header, out, outSize);
            break;
        case 2:
            if (grey8)
                decodePlane8Method2(st, out, header.width, header.height);
            else
                decodePlaneMethod2(st, header, out, outSize);
            break;
        default:
            // No decoder exists for a model-flagged plane of method 0 or 3; its content would be
            // undefined, so the image is refused.
            st.damaged = true;
            break;
    }
}

}  // namespace pqz
