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

// The bit reader's position held in registers for a run of symbols: up to 63 bits ahead of the
// reader, refilled a 32-bit word at a time while the words start inside the payload. Handing
// back returns the words taken ahead, which leaves the reader exactly where taking the same bits
// one code at a time leaves it.
class BitWindow {
  public:
    explicit BitWindow(const PayloadReader& in)
        : bits_(in.bitCount > 0 ? in.bitBuffer & ((uint64_t(1) << in.bitCount) - 1) : 0),
          held_(in.bitCount),
          cursor_(in.cursor),
          end_(in.end) {}

    // Makes sure the window holds the longest code; false when that needs a word the reader
    // itself has to take (one past the payload, which damages the stream).
    bool fill() {
        if (held_ >= kMaxCodeBits) return true;
        if (held_ < 0 || cursor_ > end_) return false;
        uint32_t word;
        std::memcpy(&word, cursor_, 4);  // the payload has slack behind its end
        cursor_ += 4;
        bits_ |= uint64_t(word) << held_;
        held_ += 32;
        return true;
    }

    // Takes a word when fewer than 32 bits are held and it starts inside the payload, without
    // a branch: where a run of codes starts, the bits held follow no pattern. A word past the
    // payload is left to fill.
    void topUp() {
        const bool inside = cursor_ <= end_;
        const uint64_t take = uint64_t(uint32_t(held_) < 32 && inside);
        uint32_t word;
        std::memcpy(&word, inside ? cursor_ : end_, 4);  // the payload has slack behind its end
        bits_ |= (uint64_t(word) & (0 - take)) << (held_ & 31);
        held_ += int(32 * take);
        cursor_ += 4 * take;
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

    void handBack(PayloadReader& in) {
        while (held_ >= 32) {
            held_ -= 32;
            cursor_ -= 4;
        }
        in.cursor = cursor_;
        in.bitCount = held_;
        if (held_ >= 0) in.bitBuffer = uint32_t(bits_ & ((uint64_t(1) << held_) - 1));
    }

  private:
    static constexpr int kMaxCodeBits = 15;

    uint64_t bits_;
    int held_;
    const uint8_t* cursor_;
    const uint8_t* end_;
};

}  // namespace pqz
