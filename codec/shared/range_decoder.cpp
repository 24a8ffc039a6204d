#include "codec/shared/range_decoder.h"

namespace pqz {

void rangeNormalizeChecked(RangeDecoder& rc) {
    if (rc.range == 0) {
        // Only a model whose symbol has no width leaves an empty interval; no refill could
        // widen it again.
        rc.damaged = true;
        rc.range = kRangeBottom + 1;
        return;
    }
    while (rc.range <= kRangeBottom) {
        uint32_t b = takeByte(rc);
        rc.low = (rc.low << 8) | ((rc.buffer << 7) & 0xFF) | (b >> 1);
        rc.buffer = b;
        rc.range <<= 8;
    }
}

void rangeStart(RangeDecoder& rc, PayloadReader& in) {
    if (in.cursor != in.segmentStart) {
        int c = in.bitCount;
        if (c >= 8) in.cursor -= c / 8;
        in.bitCount = (c % 8) - 8;
    }
    rc = RangeDecoder();
    static_cast<StreamCursor&>(rc) = in;
    if (takeByte(rc) != kStreamMarker) rc.fail(Status::MissingMarker);
    uint32_t b = takeByte(rc);
    rc.buffer = b;
    rc.low = b >> 1;
    rc.range = 128;
}

void rangeFinish(RangeDecoder& rc, PayloadReader& in) {
    if (!rc.damaged) {
        rangeNormalize(rc);
        for (;;) {
            if (rc.cursor >= rc.end) {  // no closing marker
                rc.damaged = true;
                break;
            }
            if (*rc.cursor++ == kStreamMarker) break;
        }
    }
    static_cast<StreamCursor&>(in) = rc;
    in.segmentStart = in.cursor;
    in.bitCount = 0;
    in.bitBuffer = 0;
}

}  // namespace pqz
