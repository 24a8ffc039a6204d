// The eighteen prefix codes of the bit-stream coder, seen from the writing side: default code
// lengths, the codewords the decoder's table trees give each symbol, fitted code lengths, and
// the transmitted code set description (mask, code-length code, delta-coded lengths).
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "tests/encoder/bit_writer.h"

namespace pqz::enc {

constexpr int kPrefixCodeCount = 18;
constexpr int kMaxCodeLength = 15;
// Codes 0-4: match-mode action of modes 1-5; 5-9: match symbol of distance shifts 1-5;
// 10: short-copy distance; 11: zero-run length; 12-17: literal rank by selector 0-5.
constexpr int kCodeShortDistance = 10;
constexpr int kCodeZeroRun = 11;
constexpr int kCodeLiteral = 12;
// Symbols of the code-length code: 0-15 set the delta, 16-20 repeat it.
constexpr int kLengthCodeSymbols = 21;

int prefixCodeSize(int code);
const std::vector<uint8_t>& defaultCodeLengths(int code);

// A codeword: `length` bits, the first one written in bit 0 of `bits`.
struct Codeword {
    uint32_t bits = 0;
    uint8_t length = 0;  // 0: the symbol has no codeword
};

// Kraft sum of the lengths (0 = absent) is exactly 1 and no length exceeds 15.
bool isCompleteCode(const std::vector<uint8_t>& lengths);

// The codewords the decoder's table trees assign: symbols grouped by length in decreasing
// symbol order fill each table from its last node down, the rest of a table becomes sub-tables.
// Returns an empty vector when the lengths are not a complete code.
std::vector<Codeword> assignCodewords(const std::vector<uint8_t>& lengths);

// Huffman code lengths no longer than maxLength for the frequencies; every symbol with a
// non-zero frequency gets a length. Fewer than two used symbols are padded with the first
// unused ones, so the result is always a complete code (for at least two symbols).
std::vector<uint8_t> fitCodeLengths(const std::vector<uint64_t>& freq,
                                    int maxLength = kMaxCodeLength);

// The code lengths the stream describes.
struct CodeSet {
    uint32_t mask = 0;  // the 18 bits written; bit i transmits code i (variant 2: bits 11-17)
    std::array<std::vector<uint8_t>, kPrefixCodeCount> lengths;  // lengths in use, every code
    std::vector<uint8_t> lengthCode;  // lengths of the code-length code (when transmitting)

    // Whether code i is transmitted by a stream of the given variant.
    bool transmits(int code, int variant) const;
};

// Starts a code set with every code at its default lengths and nothing transmitted.
CodeSet defaultCodeSet();

// Counts of the code-length-code features a description used.
struct CodeSetStats {
    std::array<uint32_t, kLengthCodeSymbols> symbols{};
    uint32_t transmittedCodes = 0;
};

// Writes the description: the mask, and when something is transmitted the 21 lengths of the
// code-length code (fitted to the delta symbols unless set.lengthCode is given) and the deltas
// of each transmitted code against its defaults. With rng, repeats are split at random.
CodeSetStats writeCodeSet(BitWriter& bits, int variant, CodeSet& set, std::mt19937* rng);

}  // namespace pqz::enc
