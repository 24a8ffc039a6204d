// Carry-less range encoder producing exactly the streams the payload's range decoder reads:
// opening marker 0x97, coder bytes, closing marker 0x97.
#pragma once

#include <cstdint>
#include <vector>

namespace pqz::enc {

class RangeEncoder {
  public:
    explicit RangeEncoder(std::vector<uint8_t>& out);
    // Symbol with interval [cumLow, cumLow + freq) of total (1 <= total <= 2^23).
    void encodeFreq(uint32_t cumLow, uint32_t freq, uint32_t total);
    // Binary decision with counts count0 and count1.
    void encodeBit(int bit, uint32_t count0, uint32_t count1);
    // Value in [0, n) with equal probabilities.
    void encodeUniform(uint32_t value, uint32_t n) { encodeFreq(value, 1, n); }
    // Flushes the coder and writes the closing marker. Bytes given in junk are written between
    // the flush and the marker (they must not contain 0x97).
    void finish(const std::vector<uint8_t>& junk = {});

  private:
    void normalize();
    void emit(uint32_t byte) { out_.push_back(uint8_t(byte)); }

    std::vector<uint8_t>& out_;
    uint32_t low_ = 0;
    uint32_t range_ = 0x80000000u;
    uint32_t buffer_;
    uint32_t help_ = 0;
    bool finished_ = false;
};

}  // namespace pqz::enc
