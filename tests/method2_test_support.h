// Helpers of the coding-method-2 tests: method-2 streams in the decoding state.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "pipeline/reader_state.h"
#include "tests/encoder/range_encoder.h"
#include "tests/test_support.h"

namespace pqz::method2test {

// Points the state at bytes as a method-2 payload (model flag set), with an identity decoding
// order and empty plane descriptors. The vector must outlive the decode.
inline void loadStream(ReaderState& st, std::vector<uint8_t>& bytes, int tolerance = 0) {
    test::loadPayload(st, bytes);
    st.currentModelFlag = 1;
    st.currentMethod = 2;
    st.tolerance = tolerance;
    for (int k = 0; k < 4; k++) st.orderMap[k] = uint8_t(k);
    for (PlaneDescriptor& p : st.planeTable) p = PlaneDescriptor{};
}

// A coded stream of random bytes between the two markers: it decodes to some busy picture.
inline std::vector<uint8_t> randomStream(uint32_t seed, size_t size) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(size + 2);
    for (uint8_t& b : bytes) b = uint8_t(rng());
    bytes.front() = 0x97;
    bytes.back() = 0x97;
    return bytes;
}

}  // namespace pqz::method2test
