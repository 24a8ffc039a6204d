// Least-significant-bit-first reader over the loaded payload, in 32-bit little-endian words.
#pragma once

#include <cstdint>
#include <cstring>

#include "pipeline/reader_state.h"

// Files and payload words are read with plain loads in the host's byte order.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "PQZ2 reads little-endian data with the host's loads: big-endian processors are not "
              "supported");

namespace pqz {

// Takes the next 32-bit word at the cursor. The payload is followed by zero slack, so a word
// that reaches past the payload's end reads zeros; a word that starts past the end means the
// stream is damaged, and zeros are returned without moving further.
inline uint32_t takeWord(ReaderState& st) {
    if (st.cursor > st.payloadEnd) {
        st.damaged = true;
        return 0;
    }
    uint32_t w;
    std::memcpy(&w, st.cursor, 4);
    st.cursor += 4;
    return w;  // little-endian host
}

// The next n bits (1 <= n <= 31), the first of them in bit 0 of the result.
inline uint32_t readBits(ReaderState& st, int n) {
    const uint32_t mask = (1u << n) - 1;
    st.bitCount -= n;
    if (st.bitCount >= 0) {
        uint32_t r = st.bitBuffer & mask;
        st.bitBuffer >>= n;
        return r;
    }
    int held = st.bitCount + n;
    if (held < 0) {  // only after a range stream gave bytes back; never in a valid stream
        st.damaged = true;
        held = 0;
        st.bitBuffer = 0;
        st.bitCount = -n;
    }
    uint32_t w = takeWord(st);
    uint32_t r = (st.bitBuffer | (w << held)) & mask;
    st.bitBuffer = w >> (n - held);
    st.bitCount += 32;
    return r;
}

}  // namespace pqz
