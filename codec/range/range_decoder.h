// Carry-less range decoder with 32-bit code values, 7 extra bits and a bottom value of 2^23.
// One coded stream is framed by a 0x97 marker byte before and after; bytes between the coder's
// flush and the closing marker are skipped.
#pragma once

#include <cstdint>

#include "pipeline/reader_state.h"

namespace pqz {

constexpr uint8_t kStreamMarker = 0x97;
constexpr uint32_t kRangeBottom = 0x800000;

// Takes the next payload byte; past the payload's end the stream is damaged and 0 is read.
inline uint32_t takeByte(ReaderState& st) {
    if (st.cursor < st.payloadEnd) return *st.cursor++;
    st.damaged = true;
    return 0;
}

// Refill near the payload's end (or of a range that can never pass the bottom): reads stop
// at the end and mark the stream damaged.
void rangeNormalizeChecked(ReaderState& st);

inline void rangeNormalize(ReaderState& st) {
    RangeDecoder& rc = st.range;
    uint32_t range = rc.range;
    if (range > kRangeBottom) return;
    // A range of at least 1 passes the bottom within three bytes, so one test of the payload
    // left covers the whole refill.
    if (range == 0 || st.payloadEnd - st.cursor < 3) {
        rangeNormalizeChecked(st);
        return;
    }
    const uint8_t* p = st.cursor;
    uint32_t low = rc.low, buffer = rc.buffer;
    do {
        const uint32_t b = *p++;
        low = (low << 8) | ((buffer << 7) & 0xFF) | (b >> 1);
        buffer = b;
        range <<= 8;
    } while (range <= kRangeBottom);
    st.cursor = p;
    rc.low = low;
    rc.buffer = buffer;
    rc.range = range;
}

// Target cumulative frequency v in [0, total); follow with rangeUpdate.
inline uint32_t rangeDecodeFreq(ReaderState& st, uint32_t total) {
    RangeDecoder& rc = st.range;
    rc.total = total;
    rangeNormalize(st);
    rc.help = rc.range / total;
    uint32_t v = rc.low / rc.help;
    return v >= total ? total - 1 : v;
}

inline void rangeUpdate(ReaderState& st, uint32_t cumLow, uint32_t cumHigh) {
    RangeDecoder& rc = st.range;
    rc.cumLow = cumLow;
    rc.cumHigh = cumHigh;
    uint32_t t = rc.help * cumLow;
    rc.low -= t;
    if (cumHigh < rc.total)
        rc.range = rc.help * (cumHigh - cumLow);
    else
        rc.range -= t;
}

// One binary decision with counts count0 and count1.
inline int rangeDecodeBit(ReaderState& st, uint32_t count0, uint32_t count1) {
    RangeDecoder& rc = st.range;
    rangeNormalize(st);
    rc.bitTotal = count0 + count1;
    uint32_t t = count0 * (rc.range / rc.bitTotal);
    if (rc.low < t) {
        rc.range = t;
        return 0;
    }
    rc.range -= t;
    rc.low -= t;
    return 1;
}

// A value in [0, n) with equal probabilities.
inline uint32_t rangeDecodeUniform(ReaderState& st, uint32_t n) {
    const uint32_t v = rangeDecodeFreq(st, n);
    rangeUpdate(st, v, v + 1);
    return v;
}

// Begins a coded stream at the cursor: gives the bit reader's whole buffered bytes back, sets up
// the shared magnitude models when the plane's model flag is set, and reads the opening marker.
void rangeStart(ReaderState& st);

// Ends a coded stream: consumes the coder's flush and everything up to the closing marker, and
// hands the cursor back to the bit reader. Releases the shared magnitude models.
void rangeFinish(ReaderState& st);

}  // namespace pqz
