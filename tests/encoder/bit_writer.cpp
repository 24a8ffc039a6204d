#include "tests/encoder/bit_writer.h"

#include <cassert>

namespace pqz::enc {

void BitWriter::write(uint32_t value, int n) {
    assert(n >= 0 && n <= 32);
    if (n == 0) return;
    uint64_t v = n == 32 ? value : (value & ((1u << n) - 1));
    acc_ |= v << pending_;
    pending_ += n;
    while (pending_ >= 8) {
        bytes_.push_back(uint8_t(acc_));
        acc_ >>= 8;
        pending_ -= 8;
    }
}

void BitWriter::alignToByte() {
    if (pending_ > 0) write(0, 8 - pending_);
}

void BitWriter::alignToWord() {
    alignToByte();
    while (bytes_.size() % 4) bytes_.push_back(0);
}

void BitWriter::appendBytes(const std::vector<uint8_t>& bytes) {
    assert(pending_ == 0);
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

std::vector<uint8_t> BitWriter::bytes() const {
    std::vector<uint8_t> out = bytes_;
    if (pending_ > 0) out.push_back(uint8_t(acc_));
    return out;
}

}  // namespace pqz::enc
