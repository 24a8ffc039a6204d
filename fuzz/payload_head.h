// Walks the plane descriptors of a compressed payload's head, as the fuzz harness and the seed
// writer need it: bits least significant first, as the reader's bit reader takes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pqz::fuzz {

// Calls visit(descriptor, bit position of the descriptor) for each of the planeCount 6-bit
// descriptors, passing over the tolerance field (more than two planes, or one grey plane) and
// the offset and weights of planes with a reference. Bits past the payload read as zero.
template <class Visit>
void walkPayloadHead(const std::vector<uint8_t>& payload, int planeCount, bool grey, Visit visit) {
    size_t pos = 0;
    auto read = [&](int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; i++, pos++)
            if (pos / 8 < payload.size()) v |= uint32_t((payload[pos / 8] >> (pos % 8)) & 1) << i;
        return v;
    };
    if (planeCount > 2 || (planeCount == 1 && grey)) read(4);
    for (int p = 0; p < planeCount; p++) {
        const size_t at = pos;
        const uint32_t d = read(6);
        visit(d, at);
        if (d & 0x20) read(8 + ((d & 3) > 1 ? 16 : 0) + ((d & 3) > 2 ? 8 : 0));
    }
}

}  // namespace pqz::fuzz
