// Helpers of the coding-method-2 tests: method-2 streams as payloads.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "codec/shared/payload_reader.h"
#include "codec/shared/plane_table.h"
#include "tests/encoder/range_encoder.h"
#include "tests/test_support.h"

namespace pqz::method2test {

// A method-2 payload over bytes and its head: an identity decoding order and empty plane
// descriptors. The vector must outlive the decode.
struct Stream {
    PayloadReader in;
    PayloadHead head;
};

inline Stream loadStream(std::vector<uint8_t>& bytes, int tolerance = 0) {
    Stream s{test::loadPayload(bytes), PayloadHead{}};
    s.head.tolerance = tolerance;
    for (int k = 0; k < 4; k++) s.head.orderMap[k] = uint8_t(k);
    return s;
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
