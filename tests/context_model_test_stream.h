// Range-coded streams for the context-model tests: written with the test range encoder and
// loaded as a payload.
#pragma once

#include <cstdint>
#include <vector>

#include "codec/range/context_model_models.h"
#include "codec/shared/progress.h"
#include "codec/shared/range_decoder.h"
#include "tests/encoder/range_encoder.h"
#include "tests/test_support.h"

namespace pqz::test {

struct CodedStream {
    std::vector<uint8_t> bytes;
    enc::RangeEncoder rc{bytes};
    PayloadReader in;
    RangeDecoder decoder;
    ExclusionMarks exclusions{};  // fresh marks for the list decodes
    RowProgress progress;

    // Closes the stream, appends `trailing` behind the closing marker and makes the whole the
    // payload; the reader stands at its start.
    PayloadReader& loadReader(const std::vector<uint8_t>& trailing = {}) {
        rc.finish();
        bytes.insert(bytes.end(), trailing.begin(), trailing.end());
        in = loadPayload(bytes);
        exclusions.stamp = 1;
        return in;
    }

    // The same, with the range decoder started on the stream (it has taken the opening marker).
    RangeDecoder& loadStarted(const std::vector<uint8_t>& trailing = {}) {
        loadReader(trailing);
        rangeStart(decoder, in);
        return decoder;
    }
};

}  // namespace pqz::test
