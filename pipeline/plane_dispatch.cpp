#include "pipeline/plane_dispatch.h"

#include "codec/method1/method1.h"
#include "codec/method2/method2.h"
#include "codec/range/context_model.h"

namespace pqz {

void decodePlane(PayloadReader& in, const PayloadHead& head, PlaneCoding coding,
                 const PlaneShape& shape, uint8_t* out, size_t outSize, RowProgress& progress) {
    const int width = shape.width, height = shape.height;
    if (!coding.modelFlag) {
        decodeContextModelPlane(in, width, height, shape.depth, out, outSize, progress);
        return;
    }
    const bool grey8 = shape.depth == 8;
    if (grey8 && size_t(width) * height > outSize) {
        in.fail(Status::DamagedStream);
        return;
    }
    switch (coding.method) {
        case kMethodMed:
            if (grey8)
                decodeMethod1Grey(in, head.tolerance, out, width, height, progress);
            else
                decodeMethod1Interleaved(in, head, width, height, out, outSize, progress);
            break;
        case kMethodAdaptive:
            if (grey8)
                decodePlane8Method2(in, head, out, width, height, progress);
            else
                decodePlaneMethod2(in, head, width, height, out, outSize, progress);
            break;
        default:
            // No decoder exists for a model-flagged plane of method 0 or 3; its content would be
            // undefined, so the image is refused.
            in.fail(Status::Unsupported);
            break;
    }
}

}  // namespace pqz
