// A bit window for short bursts of codes and raw bits between the literal runs (copies, mode
// changes): refilled eight bytes at a time without a branch, so that a burst's codes do not
// wait on a refill test that follows no pattern.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/bitstream/prefix_codes.h"
#include "codec/shared/payload_reader.h"

namespace pqz {

// The reader's position held in registers, byte by byte instead of word by word. Each refill
// takes the eight bytes at the window's end and keeps the whole bytes among them, so that at
// least 56 bits are held; the window is used only while those bytes lie inside the payload
// (bits read there are the bits the reader would take, and no word it takes can start past
// the payload's end). Handing back converts the position into the reader's 32-bit words, which
// leaves the reader exactly where taking the same bits one code at a time leaves it.
class ByteWindow {
  public:
    // Bits a refill guarantees.
    static constexpr int kRefillBits = 56;

    // Whether the reader's state can be taken over: a whole buffer and a cursor inside the
    // payload (a reader that took the word starting at the payload's end stays on its own).
    static bool usable(const PayloadReader& in) {
        return in.bitCount >= 0 && in.bitCount <= 32 && in.cursor <= in.end;
    }

    // The reader must be usable.
    explicit ByteWindow(const PayloadReader& in)
        : bits_(in.bitBuffer & ((uint64_t(1) << in.bitCount) - 1)),
          held_(in.bitCount),
          next_(in.cursor),
          first_(in.cursor),
          end_(in.end) {}

    // Refills to at least kRefillBits bits; false when the bytes taken reach past the payload:
    // the window may then be handed back but not read.
    bool refill() {
        uint64_t word;
        std::memcpy(&word, next_, 8);  // next_ <= end_: the payload's slack covers the rest
        bits_ |= word << held_;
        next_ += (63 - held_) >> 3;
        held_ |= kRefillBits;
        return next_ <= end_;
    }

    // Decodes one symbol of a built code (at most 15 bits).
    uint32_t decode(const PrefixCodeSet& set, int code) {
        return decodeHeld(set, code, bits_, held_);
    }

    // The next n bits (0 <= n <= 31), the first in bit 0.
    uint32_t take(int n) {
        const uint32_t r = uint32_t(bits_) & ((1u << n) - 1);
        bits_ >>= n;
        held_ -= n;
        return r;
    }

    void handBack(PayloadReader& in) const {
        // Bits read behind the cursor the reader had (negative: still in its buffer), and the
        // whole words the reader moves on for them.
        const ptrdiff_t read = (next_ - first_) * 8 - held_;
        const ptrdiff_t words = read > 0 ? (read + 31) >> 5 : 0;
        const int count = int(words * 32 - read);  // bits left in the reader's current word
        in.cursor = first_ + 4 * words;
        in.bitCount = count;
        // Those bits come from the window while they lie in the buffer the reader had, else
        // from the word before the new cursor (inside the payload). Chosen without a branch:
        // which one follows no pattern.
        uint32_t last;
        std::memcpy(&last, first_ + 4 * (words - (words > 0)), 4);
        const uint32_t fromWord = uint32_t(uint64_t(last) >> (32 - count));
        const uint32_t fromWindow = uint32_t(bits_ & ((uint64_t(1) << count) - 1));
        in.bitBuffer = read > 0 ? fromWord : fromWindow;
    }

  private:
    uint64_t bits_;  // the bits held, zero above them
    int held_;
    const uint8_t* next_;   // the first byte not yet in the window
    const uint8_t* first_;  // the reader's cursor when the window took over
    const uint8_t* end_;
};

}  // namespace pqz
