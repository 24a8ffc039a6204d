// Carry-less range decoder with 32-bit code values, 7 extra bits and a bottom value of 2^23.
// One coded stream is framed by a 0x97 marker byte before and after; bytes between the coder's
// flush and the closing marker are skipped. The decoder takes the payload's cursor over for the
// length of one stream and hands it back to the bit reader at the end.
#pragma once

#include <cstdint>

#include "codec/shared/payload_reader.h"

namespace pqz {

constexpr uint8_t kStreamMarker = 0x97;
constexpr uint32_t kRangeBottom = 0x800000;

struct RangeDecoder : StreamCursor {
    uint32_t range = 0;
    uint32_t low = 0;
    uint32_t buffer = 0;  // the payload byte taken last
    uint32_t help = 0;
    uint32_t total = 0;
};

// Refill near the payload's end (or of a range that can never pass the bottom): reads stop
// at the end and mark the stream damaged.
void rangeNormalizeChecked(RangeDecoder& rc);

inline void rangeNormalize(RangeDecoder& rc) {
    uint32_t range = rc.range;
    if (range > kRangeBottom) return;
    // A range of at least 1 passes the bottom within three bytes, so one test of the payload
    // left covers the whole refill.
    if (range == 0 || rc.end - rc.cursor < 3) {
        rangeNormalizeChecked(rc);
        return;
    }
    const uint8_t* p = rc.cursor;
    uint32_t low = rc.low, buffer = rc.buffer;
    do {
        const uint32_t b = *p++;
        low = (low << 8) | ((buffer << 7) & 0xFF) | (b >> 1);
        buffer = b;
        range <<= 8;
    } while (range <= kRangeBottom);
    rc.cursor = p;
    rc.low = low;
    rc.buffer = buffer;
    rc.range = range;
}

// Target cumulative frequency v in [0, total); follow with rangeUpdate.
inline uint32_t rangeDecodeFreq(RangeDecoder& rc, uint32_t total) {
    rc.total = total;
    rangeNormalize(rc);
    rc.help = rc.range / total;
    uint32_t v = rc.low / rc.help;
    return v >= total ? total - 1 : v;
}

// The frequency decode with one division. rangeDecodeScale(rc, total) takes the place of
// rangeDecodeFreq(rc, total) (follow it with rangeUpdate as well); rangeReaches(scale, c) is then
// 1 exactly when the cumulative count c is at or below the target rangeDecodeFreq would have
// returned, min(low / help, total - 1), and 0 otherwise. With low' = min(low, total * help - 1):
// c <= low / help and c <= total - 1 give c * help <= low and c * help <= total * help - help,
// so c * help <= low'; conversely c * help <= low' <= low gives c <= low / help, and
// c * help < total * help gives c < total. The products are taken in 64 bits.
struct RangeScale {
    uint64_t help;
    uint64_t low;  // low'
};

inline RangeScale rangeDecodeScale(RangeDecoder& rc, uint32_t total) {
    rc.total = total;
    rangeNormalize(rc);
    const uint32_t help = rc.range / total;
    rc.help = help;
    const uint32_t top = total * help - 1;  // total * help <= range
    return {help, rc.low < top ? rc.low : top};
}

inline uint32_t rangeReaches(const RangeScale& scale, uint32_t c) {
    return uint32_t(c * scale.help <= scale.low);
}

// The updates below choose by masks, not by branches: which way they go is what the stream
// decides, so a branch would often be mispredicted.
inline uint32_t rangeSelect(bool c, uint32_t ifTrue, uint32_t ifFalse) {
    const uint32_t mask = 0u - uint32_t(c);
    return ifFalse ^ ((ifTrue ^ ifFalse) & mask);
}

inline void rangeUpdate(RangeDecoder& rc, uint32_t cumLow, uint32_t cumHigh) {
    const uint32_t t = rc.help * cumLow;
    const uint32_t inner = rc.help * (cumHigh - cumLow);
    const uint32_t last = rc.range - t;  // the last symbol takes the rest of the range
    rc.low -= t;
    rc.range = rangeSelect(cumHigh < rc.total, inner, last);
}

// One binary decision with counts count0 and count1 on a decoder's range and code value,
// refilled already; a caller may hold the two in locals apart from the decoder. For callers
// that branch on the decision anyway: the decoder's branch and theirs are one.
inline int rangeDecideBit(uint32_t& range, uint32_t& low, uint32_t count0, uint32_t count1) {
    const uint32_t t = count0 * (range / (count0 + count1));
    if (low < t) {
        range = t;
        return 0;
    }
    range -= t;
    low -= t;
    return 1;
}

// The decision on the decoder, with the refill first.
inline int rangeDecodeBit(RangeDecoder& rc, uint32_t count0, uint32_t count1) {
    rangeNormalize(rc);
    return rangeDecideBit(rc.range, rc.low, count0, count1);
}

// The same decision without a branch, for callers that only compute with it (a tree walk).
inline int rangeDecodeBitSelected(RangeDecoder& rc, uint32_t count0, uint32_t count1) {
    rangeNormalize(rc);
    const uint32_t range = rc.range, low = rc.low;
    const uint32_t t = count0 * (range / (count0 + count1));
    const bool one = low >= t;
    rc.range = rangeSelect(one, range - t, t);
    rc.low = low - (t & (0u - uint32_t(one)));
    return int(one);
}

// A value in [0, n) with equal probabilities.
inline uint32_t rangeDecodeUniform(RangeDecoder& rc, uint32_t n) {
    const uint32_t v = rangeDecodeFreq(rc, n);
    rangeUpdate(rc, v, v + 1);
    return v;
}

// Begins a coded stream at the reader's cursor: gives the bit reader's whole buffered bytes
// back and reads the opening marker. A stream without its marker fails with
// Status::MissingMarker.
void rangeStart(RangeDecoder& rc, PayloadReader& in);

// Ends a coded stream: consumes the coder's flush and everything up to the closing marker, and
// hands the cursor back to the bit reader. A damaged stream only passes its damage on.
void rangeFinish(RangeDecoder& rc, PayloadReader& in);

}  // namespace pqz
