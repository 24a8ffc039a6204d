// The eighteen prefix codes of the bit-stream decoder: default code lengths, code lengths sent
// in the stream as deltas against the defaults, and the decoding table trees.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/shared/payload_reader.h"

namespace pqz {

constexpr int kPrefixCodeCount = 18;
// Codes 0..4: match-mode action for modes 1..5.
constexpr int kActionCode = 0;
// Codes 5..9: match symbol (candidate index and length) for distance shifts 1..5.
constexpr int kMatchCode = 4;
constexpr int kShortDistanceCode = 10;
constexpr int kZeroRunCode = 11;
// Codes 12..17: literal rank (0 is the escape) for literal selectors 0..5.
constexpr int kLiteralCode = 12;
// The code-length code is kept behind the eighteen codes.
constexpr int kLengthCodeIndex = kPrefixCodeCount;
constexpr int kLengthCodeSymbols = 21;

// Number of symbols of each code.
extern const uint16_t kPrefixCodeSymbols[kPrefixCodeCount];

// Default code length of symbol k of a code.
uint8_t defaultCodeLength(int code, int k);

// One node of a decoding table. A leaf (bits 0) holds its symbol in value; an inner node reads
// bits bits as an index into its child table, which starts value nodes after the node.
struct DecodeNode {
    int32_t value;
    int32_t bits;
};

// Direct lookup of codes up to kQuickBits long. Each entry packs symbol << 4 | length; the
// length is 0 when the code is longer and the tree has to be walked. Such an entry holds
// jump << 4 instead: 0 to walk from the root, or one more than the place in
// PrefixCodeSet::jump of the inner node that the lookup's bits lead to.
constexpr int kQuickBits = 10;

// The decoding tables of one plane. Each code has a root node (value 1, bits = its shortest
// length) followed by its first-level table; deeper tables are appended behind.
struct PrefixCodeSet {
    // Complete codes need at most two nodes per symbol, roots included.
    static constexpr size_t kCapacity =
        2 * (3 + 4 + 5 + 6 + 7 + 5 * 128 + 32 + 24 + 6 * 257 + kLengthCodeSymbols);
    // Every jump is an inner node with at least two leaves longer than the lookup below it,
    // and no leaf lies below two of them: a quarter of the nodes at most.
    static constexpr size_t kJumpCapacity = kCapacity / 4;
    DecodeNode nodes[kCapacity];
    uint32_t used;
    int32_t root[kPrefixCodeCount + 1];  // node index of each root, -1 when not built
    // Per code; the last one serves the code-length code until that code is built.
    uint16_t quick[kPrefixCodeCount][1 << kQuickBits];
    // Where the walk of a code longer than the lookup goes on: the last inner node the lookup's
    // bits reach, as its place behind the code's root << 4 | the bits that reach it.
    uint16_t jump[kJumpCapacity];
    uint32_t jumps;  // jump entries in use
};

// Reads the description of the code set from the bit stream (for coding variant 2 only codes
// 11..17) and builds the tables. An incomplete, over-subscribed or empty code, or a repeat that
// runs past the last symbol of a code, marks the stream damaged and returns false.
bool buildPrefixCodes(PayloadReader& in, int method, PrefixCodeSet& set);

// Builds the table tree of one code from its lengths (0 = symbol unused) into set, root at
// set.root[slot]. Returns false unless the lengths form a complete code.
bool buildCodeTree(PrefixCodeSet& set, int slot, const uint8_t* lengths, int symbols);

// Decodes one symbol by walking the table tree, one table per level.
inline uint32_t walkPrefixTree(PayloadReader& in, const PrefixCodeSet& set, int code) {
    const DecodeNode* node = set.nodes + set.root[code];
    do {
        node += node->value + int32_t(readBits(in, node->bits));
    } while (node->bits != 0);
    return uint32_t(node->value);
}

// Decodes one symbol of a built code. Codes of up to kQuickBits bits are looked up at once in
// the buffered bits and the next payload word (peeked at, as the bit reader would take it);
// the bits consumed are the same as for the tree walk. The lookup is given apart: the code-length
// code borrows the last code's while the code set is read (that code is built last).
inline uint32_t decodePrefixSymbol(PayloadReader& in, const PrefixCodeSet& set, int code,
                                   const uint16_t* quick) {
    const int held = in.bitCount;
    uint64_t window = in.bitBuffer;
    if (held < kQuickBits) {
        if (held < 0 || in.cursor > in.end) return walkPrefixTree(in, set, code);
        uint32_t next;
        std::memcpy(&next, in.cursor, 4);  // the payload has slack behind its end
        window = (window & ((uint64_t(1) << held) - 1)) | uint64_t(next) << held;
    }
    const uint32_t entry = quick[window & ((1u << kQuickBits) - 1)];
    const int length = int(entry & 15);
    if (length == 0) return walkPrefixTree(in, set, code);
    if (length <= held) {
        in.bitCount = held - length;
        in.bitBuffer >>= length;
    } else {
        readBits(in, length);
    }
    return entry >> 4;
}

// Decodes one symbol of a built code through its own quick lookup.
inline uint32_t decodePrefixSymbol(PayloadReader& in, const PrefixCodeSet& set, int code) {
    return decodePrefixSymbol(in, set, code, set.quick[code]);
}

// Decodes one symbol of a built code from bits held in registers (the next bit in bit 0, at
// least the longest code's bits held), taking its bits from them.
inline uint32_t decodeHeld(const PrefixCodeSet& set, int code, uint64_t& bits, int& held) {
    const uint32_t entry = set.quick[code][bits & ((1u << kQuickBits) - 1)];
    int length = int(entry & 15);
    if (length != 0) {
        bits >>= length;
        held -= length;
        return entry >> 4;
    }
    const DecodeNode* node = set.nodes + set.root[code];
    if (entry != 0) {
        // Past the levels the lookup's bits decide, one table walk each.
        const uint32_t jump = set.jump[(entry >> 4) - 1];
        node += jump >> 4;
        length = int(jump & 15);
        bits >>= length;
        held -= length;
    }
    do {
        length = node->bits;
        node += node->value + int32_t(bits & ((1u << length) - 1));
        bits >>= length;
        held -= length;
    } while (node->bits != 0);
    return uint32_t(node->value);
}

// The bit reader's position held in registers, shared by the literal runs and the match mode,
// so that a change of mode keeps it where it is. Refills take the eight bytes at the window's
// end and keep the whole bytes among them (at least kRefillBits bits held after one); the window
// takes bytes only while those eight lie inside the payload, so the bits it reads are the bits
// the reader would take, and no word the reader then takes starts past the payload's end. Near
// the end it gives up (fill and refill return false) and the reader goes on by itself, taking
// the last words and marking the damage past them. Handing back converts the position into the
// reader's 32-bit words, which leaves the reader exactly where taking the same bits one code at
// a time leaves it.
class BitWindow {
  public:
    // Bits a refill guarantees.
    static constexpr int kRefillBits = 56;

    // A reader that took a word past the payload, or holds no whole buffer, is left to itself:
    // the window then reads nothing and hands back nothing.
    explicit BitWindow(const PayloadReader& in) {
        if (in.bitCount >= 0 && in.bitCount <= 32 && in.cursor <= in.end) {
            bits_ = in.bitBuffer & ((uint64_t(1) << in.bitCount) - 1);
            held_ = in.bitCount;
            next_ = first_ = in.cursor;
        } else {
            bits_ = 0;
            held_ = 0;
            next_ = in.end;
            first_ = nullptr;
        }
        end_ = in.end;
    }

    // Makes sure the window holds the longest code; false when that needs bytes near the
    // payload's end, which the reader has to take.
    bool fill() { return held_ >= kMaxCodeBits || refill(); }

    // Refills to at least kRefillBits bits; false, taking nothing, when the bytes lie near the
    // payload's end.
    bool refill() {
        if (!inside()) return false;
        uint64_t word;
        std::memcpy(&word, next_, 8);
        bits_ |= word << held_;
        next_ += (63 - held_) >> 3;
        held_ |= kRefillBits;
        return true;
    }

    // A refill without a branch, where one is possible: where a run of codes starts, the bits
    // held follow no pattern a refill test could learn.
    void topUp() {
        const uint64_t take = inside();
        uint64_t word;
        std::memcpy(&word, next_, 8);  // next_ <= end_: the payload's slack covers the rest
        bits_ |= (word & (0 - take)) << held_;
        next_ += ((63 - held_) >> 3) & (0 - int(take));
        held_ |= kRefillBits & (0 - int(take));
    }

    // Decodes one symbol of a built code; the window holds the longest code (fill).
    uint32_t decode(const PrefixCodeSet& set, int code) {
        return decodeHeld(set, code, bits_, held_);
    }

    // The quick lookup's entry for the next code (symbol << 4 | length, the length 0 for a code
    // longer than the lookup); takes no bits.
    uint32_t quickEntry(const PrefixCodeSet& set, int code) const {
        return set.quick[code][bits_ & ((1u << kQuickBits) - 1)];
    }

    // Takes the bits of a code found by quickEntry.
    void take(int length) {
        bits_ >>= length;
        held_ -= length;
    }

    // The next n bits (0 <= n <= 31, held), the first in bit 0.
    uint32_t takeBits(int n) {
        const uint32_t r = uint32_t(bits_) & ((1u << n) - 1);
        take(n);
        return r;
    }

    void handBack(PayloadReader& in) const {
        if (!first_) return;
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
    static constexpr int kMaxCodeBits = 15;

    // Whether the eight bytes at next_ lie inside the payload. As numbers: a pointer seven
    // bytes back could lie in front of the payload.
    bool inside() const { return uintptr_t(next_) + 7 <= uintptr_t(end_); }

    uint64_t bits_;  // the bits held, then stream bits or zeros
    int held_;
    const uint8_t* next_;   // the first byte not yet in the window
    const uint8_t* first_;  // the reader's cursor when the window took over; null: not in use
    const uint8_t* end_;
};

}  // namespace pqz
