// Range-coded streams for the context-model tests: written with the test range encoder and
// loaded into this thread's decoding state as a payload.
#pragma once

#include <cstdint>
#include <vector>

#include "codec/range/range_decoder.h"
#include "pipeline/reader_state.h"
#include "tests/encoder/range_encoder.h"
#include "tests/test_support.h"

namespace pqz::test {

// Makes bytes (given slack behind them) the payload of this thread's state, with fresh
// exclusion marks, positioned for the range decoder's start.
inline ReaderState& loadPayload(std::vector<uint8_t>& bytes) {
    ReaderState& st = readerState();
    loadPayload(st, bytes);
    st.currentMethod = 0;
    st.exclusionStamp = 1;
    for (uint8_t& m : st.exclusionMarks) m = 0;
    return st;
}

struct CodedStream {
    std::vector<uint8_t> bytes;
    enc::RangeEncoder rc{bytes};

    // Closes the stream, appends `trailing` behind the closing marker and loads the whole as
    // the payload. With `started` the range decoder has already taken the opening marker.
    ReaderState& load(bool started, const std::vector<uint8_t>& trailing = {}) {
        rc.finish();
        bytes.insert(bytes.end(), trailing.begin(), trailing.end());
        ReaderState& st = loadPayload(bytes);
        if (started) rangeStart(st);
        return st;
    }
};

}  // namespace pqz::test
