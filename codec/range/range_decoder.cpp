#include "codec/range/range_decoder.h"

#include "codec/method1/magnitude_models.h"

namespace pqz {

void rangeStart(ReaderState& st) {
    if (st.cursor != st.segmentStart) {
        int c = st.bitCount;
        if (c >= 8) st.cursor -= c / 8;
        st.bitCount = (c % 8) - 8;
    }
    if (st.currentModelFlag) {
        if (!initModelTables(st, st.currentMethod)) st.damaged = true;
    }
    if (takeByte(st) != kStreamMarker) raiseError(ERR_BAD_STREAM);
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
