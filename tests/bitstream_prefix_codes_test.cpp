// Prefix codes of the bit-stream decoder: default tables, transmitted code lengths and refusal of
// invalid code descriptions.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codec/bitstream/prefix_codes.h"
#include "pipeline/bit_reader.h"
#include "tests/encoder/bit_writer.h"

namespace pqz {
namespace {

struct Stream {
    std::vector<uint8_t> bytes;
    ReaderState st{};

    explicit Stream(const enc::BitWriter& w) : bytes(w.bytes()) {
        const size_t size = bytes.size();
        bytes.resize(size + kPayloadSlack, 0);
        st.payloadStart = st.cursor = st.segmentStart = bytes.data();
        st.payloadSize = uint32_t(size);
        st.payloadEnd = bytes.data() + size;
    }
};

// Writes a bit string given as '0'/'1' characters, first bit first.
void writeBits(enc::BitWriter& w, const std::string& bits) {
    for (char c : bits) w.write(c == '1', 1);
}

std::unique_ptr<PrefixCodeSet> build(Stream& s, int method) {
    auto set = std::make_unique<PrefixCodeSet>();
    EXPECT_TRUE(buildPrefixCodes(s.st, method, *set));
    EXPECT_FALSE(s.st.damaged);
    return set;
}

// Decodes the symbols written as bit strings, each followed by a 7-bit marker, and checks that
// exactly the bits of each code were consumed.
void expectDecodes(int code, const std::vector<std::pair<std::string, uint32_t>>& cases) {
    enc::BitWriter w;
    w.write(0, 18);  // no transmitted codes
    for (const auto& [bits, symbol] : cases) {
        writeBits(w, bits);
        w.write(0x55, 7);
    }
    Stream s(w);
    auto set = build(s, 0);
    for (const auto& [bits, symbol] : cases) {
        EXPECT_EQ(decodePrefixSymbol(s.st, *set, code), symbol) << "code " << code << " " << bits;
        EXPECT_EQ(readBits(s.st, 7), 0x55u) << "code " << code << " " << bits;
    }
}

TEST(BitStreamPrefixCodes, DefaultCodesDecodeKnownPatterns) {
    // Lengths 1, 2, 2: a leading 1 is symbol 0; after a 0 the second bit picks 2 (1) or 1 (0).
    expectDecodes(0, {{"1", 0}, {"01", 2}, {"00", 1}});
    // Literal code 12: shortest length 3 (rank 0), lengths 4 for ranks 1 and 2, escape length 6.
    expectDecodes(12, {{"111", 1}, {"0110", 2}, {"0111", 3}, {"110010", 0}});
    // Zero-run code: lengths 4 for symbols 0..7, 5 for the rest.
    expectDecodes(11, {{"1111", 7}, {"0001", 0}, {"11101", 23}, {"11100", 22}});
    // Short-distance code: symbol 24 (explicit distance) shares the shortest length with 0.
    expectDecodes(10, {{"111", 24}, {"011", 0}, {"1011", 25}, {"1010", 2}});
}

// Every default code is complete and holds its number of symbols: a wrong digit in the tables
// breaks this for all but the rarest mistakes.
TEST(BitStreamPrefixCodes, DefaultLengthsFormCompleteCodes) {
    for (int code = 0; code < kPrefixCodeCount; code++) {
        uint64_t kraft = 0;
        for (int k = 0; k < kPrefixCodeSymbols[code]; k++) {
            const int len = defaultCodeLength(code, k);
            ASSERT_GE(len, 1) << code;
            kraft += uint64_t(1) << (15 - len);
        }
        EXPECT_EQ(kraft, uint64_t(1) << 15) << "code " << code;
    }
}

// The direct lookup must consume exactly the bits of the table walk, whatever is buffered, up
// to and past the end of the payload.
TEST(BitStreamPrefixCodes, LookupAgreesWithTableWalk) {
    std::mt19937 rng(3);
    enc::BitWriter w;
    w.write(0, 18);
    for (int i = 0; i < 1000; i++) w.write(rng(), 32);
    Stream a(w), b(w);
    auto set = build(a, 0);
    ASSERT_TRUE(buildPrefixCodes(b.st, 0, *set));
    for (int i = 0; i < 8000 && !a.st.damaged; i++) {
        const int code = int(rng() % kPrefixCodeCount);
        const uint32_t x = decodePrefixSymbol(a.st, *set, code);
        const uint32_t y = walkPrefixTree(b.st, *set, code);
        ASSERT_EQ(x, y) << "symbol " << i << " code " << code;
        ASSERT_EQ(a.st.bitCount, b.st.bitCount);
        ASSERT_EQ(a.st.cursor - a.st.payloadStart, b.st.cursor - b.st.payloadStart);
        ASSERT_EQ(a.st.damaged, b.st.damaged);
        if (rng() % 4 == 0) {  // shift the alignment
            const int bits = 1 + int(rng() % 31);
            ASSERT_EQ(readBits(a.st, bits), readBits(b.st, bits));
        }
    }
    EXPECT_TRUE(a.st.damaged);
}

// Code-length code with symbol 1 (delta 1) of length 1, repeats 16 and 17 of lengths 2 and 3,
// and symbol 0 of length 3: bit strings 1, 01, 001, 000.
void writeLengthCode(enc::BitWriter& w) {
    for (int k = 0; k < kLengthCodeSymbols; k++) {
        const int len = k == 1 ? 1 : k == 16 ? 2 : (k == 17 || k == 0) ? 3 : 0;
        w.write(uint32_t(len), 4);
    }
}

TEST(BitStreamPrefixCodes, TransmittedLengthsAreDeltasKeptAcrossCodes) {
    enc::BitWriter w;
    w.write(0b101, 18);  // codes 0 and 2
    writeLengthCode(w);
    // Code 0 (defaults 1, 2, 2): delta 1 for symbol 0, then the repeat of two: lengths 0, 1, 1.
    writeBits(w, "1");
    writeBits(w, "01");
    // Code 2 (defaults 1, 3, 4, 4, 2): repeats of two and three with the delta of code 0 kept:
    // lengths 0, 2, 3, 3, 1.
    writeBits(w, "01");
    writeBits(w, "001");
    // Symbols to decode: code 0: 1 -> 2, 0 -> 1; code 2: 1 -> 4, 01 -> 1, 001 -> 3, 000 -> 2;
    // code 1 keeps its defaults: 1 -> 0.
    writeBits(w,
              "10"
              "1"
              "01"
              "001"
              "000"
              "1");
    w.write(0x2A, 6);
    Stream s(w);
    auto set = build(s, 0);
    EXPECT_EQ(decodePrefixSymbol(s.st, *set, 0), 2u);
    EXPECT_EQ(decodePrefixSymbol(s.st, *set, 0), 1u);
    for (uint32_t sym : {4u, 1u, 3u, 2u}) EXPECT_EQ(decodePrefixSymbol(s.st, *set, 2), sym);
    EXPECT_EQ(decodePrefixSymbol(s.st, *set, 1), 0u);
    EXPECT_EQ(readBits(s.st, 6), 0x2Au);
}

TEST(BitStreamPrefixCodes, VariantTwoReadsOnlyTheRunAndLiteralCodes) {
    // Mask bits of codes 0..10 mean nothing for variant 2: no code-length code follows.
    enc::BitWriter w;
    w.write(0x7FF, 18);
    writeBits(w, "11101");  // zero-run symbol 23 with the default lengths
    w.write(0x3C, 8);
    Stream s(w);
    auto set = build(s, 2);
    EXPECT_EQ(set->root[0], -1);
    EXPECT_EQ(decodePrefixSymbol(s.st, *set, kZeroRunCode), 23u);
    EXPECT_EQ(readBits(s.st, 8), 0x3Cu);
}

// Code 1 (defaults 1, 3, 3, 2) transmitted with deltas 0 (bit 0) and 1 (bit 1).
void writeCode1(enc::BitWriter& w, const std::string& deltas) {
    w.write(1 << 1, 18);
    for (int k = 0; k < kLengthCodeSymbols; k++) w.write(k <= 1 ? 1 : 0, 4);
    writeBits(w, deltas);
}

// Invalid descriptions are refused without touching memory outside the tables.
TEST(BitStreamPrefixCodes, InvalidDescriptionsAreRefused) {
    struct Case {
        const char* what;
        void (*write)(enc::BitWriter&);
    };
    const Case cases[] = {
        {"over-subscribed code-length code",
         [](enc::BitWriter& w) {
             w.write(1, 18);
             for (int k = 0; k < kLengthCodeSymbols; k++) w.write(1, 4);
         }},
        {"incomplete code-length code",
         [](enc::BitWriter& w) {
             w.write(1, 18);
             for (int k = 0; k < kLengthCodeSymbols; k++) w.write(k == 3 ? 1 : 0, 4);
         }},
        {"empty code-length code",
         [](enc::BitWriter& w) {
             w.write(1 << 17, 18);
             for (int k = 0; k < kLengthCodeSymbols; k++) w.write(0, 4);
         }},
        {"repeat past the end of a code",
         [](enc::BitWriter& w) {
             w.write(1, 18);
             writeLengthCode(w);
             writeBits(w, "01");   // two symbols of code 0 ...
             writeBits(w, "001");  // ... and three more
         }},
        {"incomplete transmitted code",
         [](enc::BitWriter& w) {
             writeCode1(w, "1000");  // lengths 0, 3, 3, 2
         }},
        {"over-subscribed transmitted code",
         [](enc::BitWriter& w) {
             writeCode1(w, "0001");  // lengths 1, 3, 3, 1
         }},
        {"code emptied by its delta",
         [](enc::BitWriter& w) {
             w.write(1 << 11, 18);  // zero-run code: lengths 4 and 5
             for (int k = 0; k < kLengthCodeSymbols; k++) w.write(k == 4 || k == 5 ? 1 : 0, 4);
             writeBits(w, "0");  // delta 4: symbol 0 gone
             for (int k = 1; k < 24; k++) writeBits(w, k < 8 ? "0" : "1");
         }},
    };
    for (const Case& c : cases) {
        enc::BitWriter w;
        c.write(w);
        w.write(0, 32);
        Stream s(w);
        auto set = std::make_unique<PrefixCodeSet>();
        EXPECT_FALSE(buildPrefixCodes(s.st, 0, *set)) << c.what;
        EXPECT_TRUE(s.st.damaged) << c.what;
    }
}

}  // namespace
}  // namespace pqz
