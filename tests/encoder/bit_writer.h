// Least-significant-bit-first writer: the counterpart of the payload bit reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pqz::enc {

class BitWriter {
  public:
    // Appends the low n bits of value (n <= 32), bit 0 first.
    void write(uint32_t value, int n);
    // Pads with zero bits up to the next byte (before a range-coded stream).
    void alignToByte();
    // Pads with zero bits up to the next 32-bit word (the end of a bit-stream payload).
    void alignToWord();
    // Appends whole bytes; the writer must be byte aligned.
    void appendBytes(const std::vector<uint8_t>& bytes);
    size_t bitCount() const { return bytes_.size() * 8 + pending_; }
    // The bytes written so far; pending bits are padded with zeros.
    std::vector<uint8_t> bytes() const;

  private:
    std::vector<uint8_t> bytes_;
    uint64_t acc_ = 0;
    int pending_ = 0;
};

}  // namespace pqz::enc
