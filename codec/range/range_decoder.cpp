#include "codec/range/range_decoder.h"

#include "codec/method1/magnitude_models.h"

namespace pqz {

void rangeNormalizeChecked(ReaderState& st) {
    RangeDecoder& rc = st.range;
    if (rc.range == 0) {
        // Only a model whose symbol has no width leaves an empty interval; no refill could
        // widen it again.
        st.damaged = true;
        rc.range = kRangeBottom + 1;
        return;
    }
    while (rc.range <= kRangeBottom) {
        uint32_t b = takeByte(st);
        rc.low = (rc.low << 8) | ((rc.buffer << 7) & 0xFF) | (b >> 1);
        rc.buffer = b;
        rc.range <<= 8;
    }
}

void rangeStart(ReaderState& st) {
    if (st.cursor != st.segmentStart) {
        int c = st.bitCount;
        if (c >= 8) st.cursor -= c / 8;
        st.bitCount = (c % 8) - 8;
    }
    if (st.currentModelFlag) {
        if (!initModelTables(st, st.currentMethod)) st.damaged = true;
    }
    if (takeByte(st) != kStreamMarker) st.missingMarker = true;
    uint32_t b = takeByte(st);
    st.range.buffer = b;
    st.range.low = b >> 1;
    st.range.range = 128;
}

void rangeFinish(ReaderState& st) {
    rangeNormalize(st);
    for (;;) {
        if (st.cursor >= st.payloadEnd) {  // no closing marker
            st.damaged = true;
            break;
        }
        if (*st.cursor++ == kStreamMarker) break;
    }
    st.segmentStart = st.cursor;
    st.bitCount = 0;
    st.bitBuffer = 0;
    if (st.currentModelFlag) releaseModelTables(st);
}

}  // namespace pqz
