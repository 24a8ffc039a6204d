#include "tests/encoder/range_encoder.h"

#include <cassert>

namespace pqz::enc {

namespace {
constexpr uint32_t kTop = 0x80000000u;
constexpr uint32_t kBottom = 0x800000u;
constexpr int kShift = 23;
}  // namespace

// The opening marker is the first pending byte: carries can never reach it, because every
// interval stays inside the initial one.
RangeEncoder::RangeEncoder(std::vector<uint8_t>& out) : out_(out), buffer_(0x97) {}

void RangeEncoder::normalize() {
    while (range_ <= kBottom) {
        if (low_ < (0xFFu << kShift)) {
            emit(buffer_);
            for (; help_; help_--) emit(0xFF);
            buffer_ = low_ >> kShift;
        } else if (low_ & kTop) {
            emit(buffer_ + 1);
            for (; help_; help_--) emit(0x00);
            buffer_ = (low_ >> kShift) & 0xFF;
        } else {
            help_++;
        }
        range_ <<= 8;
        low_ = (low_ << 8) & (kTop - 1);
    }
}

void RangeEncoder::encodeFreq(uint32_t cumLow, uint32_t freq, uint32_t total) {
    assert(freq > 0 && cumLow + freq <= total && total <= kBottom);
    normalize();
    uint32_t r = range_ / total;
    uint32_t t = r * cumLow;
    low_ += t;
    if (cumLow + freq < total)
        range_ = r * freq;
    else
        range_ -= t;
}

void RangeEncoder::encodeBit(int bit, uint32_t count0, uint32_t count1) {
    assert(count0 + count1 > 0 && count0 + count1 <= kBottom);
    assert(bit ? count1 > 0 : count0 > 0);
    normalize();
    uint32_t t = count0 * (range_ / (count0 + count1));
    if (bit) {
        low_ += t;
        range_ -= t;
    } else {
        range_ = t;
    }
}

void RangeEncoder::finish(const std::vector<uint8_t>& junk) {
    assert(!finished_);
    finished_ = true;
    normalize();
    // The smallest top byte whose code lies inside [low, low + range).
    uint32_t top = (low_ >> kShift) + ((low_ & (kBottom - 1)) ? 1 : 0);
    if (top > 0xFF) {
        emit(buffer_ + 1);
        for (; help_; help_--) emit(0x00);
    } else {
        emit(buffer_);
        for (; help_; help_--) emit(0xFF);
    }
    emit(top & 0xFF);
    // The decoder's window reaches three bytes further than the encoder's committed bytes; zero
    // bytes keep the code at the bottom of the final interval.
    emit(0);
    emit(0);
    emit(0);
    for (uint8_t b : junk) {
        assert(b != 0x97);
        emit(b);
    }
    emit(0x97);
}

}  // namespace pqz::enc
