// The bit-stream decoder on hand-written streams: literals, matches, copies, mode changes, zero
// runs, and the refusal of streams that would reach outside the output.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "codec/bitstream/bitstream.h"
#include "codec/bitstream/prefix_codes.h"
#include "pipeline/bit_reader.h"
#include "tests/encoder/bit_writer.h"

namespace pqz {
namespace {

constexpr uint32_t kMarker = 0xA5C;  // 12 bits written behind every stream

void loadPayload(ReaderState& st, std::vector<uint8_t>& bytes) {
    const size_t size = bytes.size();
    bytes.resize(size + kPayloadSlack, 0);
    st = ReaderState{};
    st.payloadStart = st.cursor = st.segmentStart = bytes.data();
    st.payloadSize = uint32_t(size);
    st.payloadEnd = bytes.data() + size;
}

// Bit strings of every symbol of the default codes, read off the decoding tables.
struct Codebook {
    std::vector<std::pair<uint32_t, int>> words[kPrefixCodeCount];

    Codebook() {
        enc::BitWriter w;
        w.write(0, 18);
        w.write(0, 32);
        std::vector<uint8_t> bytes = w.bytes();
        ReaderState st;
        loadPayload(st, bytes);
        auto set = std::make_unique<PrefixCodeSet>();
        EXPECT_TRUE(buildPrefixCodes(st, 0, *set));
        for (int code = 0; code < kPrefixCodeCount; code++) {
            words[code].resize(kPrefixCodeSymbols[code]);
            collect(set->nodes + set->root[code], 0, 0, words[code]);
        }
    }

    static void collect(const DecodeNode* node, uint32_t prefix, int depth,
                        std::vector<std::pair<uint32_t, int>>& out) {
        if (node->bits == 0) {
            out[node->value] = {prefix, depth};
            return;
        }
        for (uint32_t i = 0; i < (1u << node->bits); i++) {
            collect(node + node->value + i, prefix | i << depth, depth + node->bits, out);
        }
    }
};

const Codebook& codebook() {
    static const Codebook book;
    return book;
}

// Writes a plane's stream symbol by symbol with the default codes.
struct StreamWriter {
    enc::BitWriter w;

    // Set-up: context thresholds (when the context flag is set), literal-code thresholds, an
    // empty code mask and the first byte.
    StreamWriter(const std::vector<uint8_t>& contextThresholds, uint8_t first) {
        for (uint8_t t : contextThresholds) w.write(t, 8);
        w.write(0, 30);
        w.write(0, 18);
        w.write(first, 8);
    }
    void sym(int code, uint32_t s) {
        const auto& [bits, len] = codebook().words[code][s];
        w.write(bits, len);
    }
    void literal(uint32_t rank) { sym(kLiteralCode, rank + 1); }
    void escape() { sym(kLiteralCode, 0); }
    void match(int shift, uint32_t s) { sym(kMatchCode + shift, s); }
    void action(int mode, uint32_t a) { sym(kActionCode + mode - 1, a); }
    void bits(uint32_t v, int n) { w.write(v, n); }
};

struct Decoded {
    std::vector<uint8_t> out;
    bool damaged;
    uint32_t after;  // the 12 bits behind the stream
};

// Decodes into a buffer of n bytes followed by the 8 slack bytes, all preset to fill.
Decoded decode(StreamWriter& s, int variant, int contextFlag, uint32_t row, size_t n,
               uint8_t fill = 0xEE) {
    s.w.write(kMarker, 12);
    std::vector<uint8_t> bytes = s.w.bytes();
    ReaderState st;
    loadPayload(st, bytes);
    st.currentMethod = variant;
    st.currentModelFlag = contextFlag;
    std::vector<uint8_t> buf(n + 8, fill);
    decodeBitStream(st, row, buf.data(), n);
    for (size_t i = n; i < n + 8; i++) EXPECT_EQ(buf[i], fill) << "written behind the plane";
    buf.resize(n);
    const bool damaged = st.damaged;
    return {buf, damaged, damaged ? 0 : readBits(st, 12)};
}

TEST(BitStreamDecoder, DistanceCandidates) {
    uint32_t offset[kCandidateCount];
    initDistanceCandidates(offset, 100);
    const uint32_t first[12] = {100, 1, 200, 101, 99, 2, 300, 201, 199, 102, 98, 3};
    for (int i = 0; i < 12; i++) EXPECT_EQ(offset[i], first[i]) << i;
    EXPECT_EQ(offset[63], 404u);  // the eighth offset of radius 8: 4 * 100 + 4

    // With rows of one byte every grid offset collides; the replacements count up from 1.
    initDistanceCandidates(offset, 1);
    for (int i = 0; i < kCandidateCount; i++) EXPECT_EQ(offset[i], uint32_t(i + 1)) << i;

    // Wide rows: offsets past 16383 are replaced, all stay distinct and usable.
    for (uint32_t row : {0u, 2u, 3000u, 70000u}) {
        initDistanceCandidates(offset, row);
        for (int i = 0; i < kCandidateCount; i++) {
            EXPECT_GE(offset[i], 1u);
            EXPECT_LE(offset[i], 16383u);
            for (int j = 0; j < i; j++) EXPECT_NE(offset[i], offset[j]) << row;
        }
    }
}

// Literals in previous-byte contexts, one candidate match and the escape that ends the plane.
TEST(BitStreamDecoder, LiteralsMoveUpInTheirContextAndMatchesCopy) {
    StreamWriter s({}, 0x41);
    // Ranks start in value order with count 0: rank r is value r.
    s.literal(0);  // ctx 0x41 -> 0
    s.literal(2);  // ctx 0 -> 2, which moves to the front of context 0
    s.literal(1);  // ctx 2 -> 1
    s.literal(0);  // ctx 1 -> 0
    s.literal(1);  // ctx 0: [2(1) 0(0) ...] -> 0, whose count now equals 2's: it moves ahead
    s.literal(1);  // ctx 0: [0(1) 2(1) ...] -> 2, count 2: front again
    s.escape();
    s.match(1, 1);   // candidate 0 (the row length, 4), 6 bytes; pops mode 2
    s.action(2, 0);  // leave
    s.literal(2);    // ctx 0: [2(2) 0(1) 1(0)] -> 1, moves behind 2
    s.literal(0);    // ctx 1: [0(1) ...] -> 0
    s.literal(1);    // ctx 0: [2(2) 1(1) 0(1)] -> 1
    s.escape();      // at the end
    const Decoded d = decode(s, 0, 0, 4, 16);
    ASSERT_FALSE(d.damaged);
    EXPECT_EQ(d.out, (std::vector<uint8_t>{0x41, 0, 2, 1, 0, 0, 2, 1, 0, 0, 2, 1, 0, 1, 0, 1}));
    EXPECT_EQ(d.after, kMarker);
}

// Variant 1 on rows of one byte, so candidate i starts as offset i + 1.
TEST(BitStreamDecoder, ExplicitDistanceReplacesALateCandidate) {
    StreamWriter s({}, 200);
    std::vector<uint8_t> expect = {200};
    for (uint32_t v = 1; v <= 19; v++) {  // each in a fresh context: rank v is value v
        s.literal(v);
        expect.push_back(uint8_t(v));
    }
    s.escape();
    s.match(1, 0);  // candidate 0 (offset 1), 5 bytes
    expect.insert(expect.end(), 5, 19);
    s.action(1, 1);  // short copy ...
    s.sym(kShortDistanceCode, 24);
    s.bits(10, 11);  // ... with the explicit distance 10: replaces candidate 63, copies 12
    for (int i = 0; i < 12; i++) expect.push_back(expect[expect.size() - 10]);
    s.action(1, 2);   // stay in mode 1
    s.match(1, 127);  // candidate 63, now offset 10, 6 bytes; it moves to the front
    for (int i = 0; i < 6; i++) expect.push_back(expect[expect.size() - 10]);
    s.action(2, 1);  // mode 2 after the pop: short copy of 4 bytes from candidate 1 (offset 1)
    s.sym(kShortDistanceCode, 1);
    expect.insert(expect.end(), 4, expect.back());
    s.action(2, 0);
    s.literal(0);  // ctx 19 -> 0
    s.literal(5);  // ctx 0 -> 5
    expect.push_back(0);
    expect.push_back(5);
    s.escape();
    s.match(1, 0);  // candidate 0 is offset 10 now
    for (int i = 0; i < 5; i++) expect.push_back(expect[expect.size() - 10]);
    s.action(1, 0);
    s.literal(0);  // ctx 19: [0(1) ...] -> 0
    s.literal(0);  // ctx 0: [5(1) ...] -> 5
    expect.push_back(0);
    expect.push_back(5);
    s.escape();
    const Decoded d = decode(s, 1, 0, 1, expect.size());
    ASSERT_FALSE(d.damaged);
    EXPECT_EQ(d.out, expect);
    EXPECT_EQ(d.after, kMarker);
}

// A switch to a lower mode pushes the current one and addresses the upper candidates.
TEST(BitStreamDecoder, ModeSwitchAddressesUpperCandidates) {
    StreamWriter s({}, 0);
    std::vector<uint8_t> expect = {0};
    for (uint32_t v = 1; v <= 40; v++) {
        s.literal(v);
        expect.push_back(uint8_t(v));
    }
    s.escape();
    s.match(1, 1);  // candidate 0, 6 bytes: mode 2
    expect.insert(expect.end(), 6, 40);
    s.action(2, 2);          // mode 1 with shift 2: candidates 32..63
    s.match(2, 5 << 2 | 0);  // candidate 37 (offset 38), 5 bytes; moves to place 1
    for (int i = 0; i < 5; i++) expect.push_back(expect[expect.size() - 38]);
    s.action(1, 2);          // same mode: shift 1, candidates 0..63
    s.match(1, 1 << 1 | 0);  // candidate 1, now offset 38
    for (int i = 0; i < 5; i++) expect.push_back(expect[expect.size() - 38]);
    s.action(1, 0);
    s.escape();
    const Decoded d = decode(s, 0, 0, 1, expect.size());
    ASSERT_FALSE(d.damaged);
    EXPECT_EQ(d.out, expect);
    EXPECT_EQ(d.after, kMarker);
}

// Leaving the match mode stacks the mode left; long matches take the next mode from the stack.
// A stream read with the wrong mode's action code falls apart.
TEST(BitStreamDecoder, ModeStackRemembersTheModeLeft) {
    StreamWriter s({}, 0);
    for (uint32_t v = 1; v <= 10; v++) s.literal(v);
    s.escape();
    s.match(1, 1);  // 6 bytes: mode 2 from the stack
    s.action(2, 1);
    s.sym(kShortDistanceCode, 0);  // variant 0 copies 3 bytes
    s.action(2, 0);                // leave: mode 2 stacked
    s.escape();
    s.match(1, 1);           // mode 2 again
    s.action(2, 3);          // stay in mode 2
    s.match(2, 0 << 2 | 3);  // 8 bytes: mode 3
    s.action(3, 0);          // leave: mode 3 stacked
    s.escape();
    s.match(1, 1);           // mode 3
    s.action(3, 4);          // stay in mode 3
    s.match(3, 0 << 3 | 7);  // 12 bytes: mode 4
    s.action(4, 0);
    s.escape();
    std::vector<uint8_t> expect = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    expect.insert(expect.end(), 6 + 3 + 6 + 8 + 6 + 12, 10);
    const Decoded d = decode(s, 0, 0, 1, expect.size());
    ASSERT_FALSE(d.damaged);
    EXPECT_EQ(d.out, expect);
    EXPECT_EQ(d.after, kMarker);
}

// Variant 2 with the context flag: seven context thresholds, zero runs with extra bits.
TEST(BitStreamDecoder, ZeroRunsWriteZeros) {
    // The first threshold puts every value in class 0.
    StreamWriter s({255, 0, 0, 0, 0, 0, 0}, 9);
    s.escape();
    s.sym(kZeroRunCode, 0);  // 6 zeros
    s.escape();
    s.sym(kZeroRunCode, 17);  // 24 + 3 zeros
    s.bits(3, 2);
    s.literal(1);  // ranks start as 0, 1, ...: value 1
    s.escape();
    const Decoded d = decode(s, 2, 1, 3, 35);
    ASSERT_FALSE(d.damaged);
    std::vector<uint8_t> expect(35, 0);
    expect[0] = 9;
    expect[34] = 1;
    EXPECT_EQ(d.out, expect);
    EXPECT_EQ(d.after, kMarker);
}

TEST(BitStreamDecoder, EmptyPlaneReadsItsStreamWithoutWriting) {
    StreamWriter s({}, 0x77);
    s.escape();
    s.w.write(kMarker, 12);
    std::vector<uint8_t> bytes = s.w.bytes();
    ReaderState st;
    loadPayload(st, bytes);
    st.currentMethod = 1;
    st.currentModelFlag = 0;
    decodeBitStream(st, 0, nullptr, 0);
    EXPECT_FALSE(st.damaged);
    EXPECT_EQ(readBits(st, 12), kMarker);

    StreamWriter t({}, 0x77);
    t.literal(0);
    EXPECT_TRUE(decode(t, 1, 0, 0, 0).damaged);
}

// Streams that would write behind the plane or read in front of it are refused.
TEST(BitStreamDecoder, CopiesOutsideThePlaneAreRefused) {
    struct Case {
        const char* what;
        int variant;
        uint32_t row;
        size_t n;
        void (*write)(StreamWriter&);
    };
    // Rows of one byte: candidate i is offset i + 1.
    const Case cases[] = {
        {"literal behind the last byte", 0, 1, 2,
         [](StreamWriter& s) {
             s.literal(0);
             s.literal(0);
         }},
        {"match behind the last byte", 0, 1, 5,
         [](StreamWriter& s) {
             s.escape();
             s.match(1, 0);
         }},
        {"candidate in front of the plane", 0, 1, 50,
         [](StreamWriter& s) {
             s.escape();
             s.match(1, 2);  // candidate 1, offset 2, at position 1
         }},
        {"short copy behind the last byte", 1, 1, 9,
         [](StreamWriter& s) {
             s.escape();
             s.match(1, 0);
             s.action(1, 1);
             s.sym(kShortDistanceCode, 0);
         }},
        {"explicit distance below 4", 1, 1, 50,
         [](StreamWriter& s) {
             s.escape();
             s.match(1, 0);
             s.action(1, 1);
             s.sym(kShortDistanceCode, 24);
             s.bits(3, 11);
         }},
        {"explicit distance in front of the plane", 1, 1, 50,
         [](StreamWriter& s) {
             s.escape();
             s.match(1, 0);
             s.action(1, 1);
             s.sym(kShortDistanceCode, 24);
             s.bits(7, 11);
         }},
        {"explicit copy behind the last byte", 1, 1, 17,
         [](StreamWriter& s) {
             s.escape();
             s.match(1, 0);
             s.action(1, 1);
             s.sym(kShortDistanceCode, 24);
             s.bits(6, 11);
         }},
        {"zero run behind the last byte", 2, 1, 200,
         [](StreamWriter& s) {
             s.escape();
             s.sym(kZeroRunCode, 23);
         }},
    };
    for (const Case& c : cases) {
        StreamWriter s({}, 1);
        c.write(s);
        const Decoded d = decode(s, c.variant, 0, c.row, c.n);
        EXPECT_TRUE(d.damaged) << c.what;
    }
}

// A stream cut short reads zeros; the decoder stops at once instead of filling a huge plane.
TEST(BitStreamDecoder, TruncatedStreamStopsEarly) {
    StreamWriter s({}, 1);
    s.literal(3);
    std::vector<uint8_t> bytes = s.w.bytes();
    ReaderState st;
    loadPayload(st, bytes);
    st.currentMethod = 0;
    st.currentModelFlag = 0;
    const size_t n = size_t(1) << 24;
    std::unique_ptr<uint8_t[]> buf(new uint8_t[n + 8]);
    const uint8_t tail[4] = {0xEE, 0x5A, 0xC3, 0x17};
    std::memcpy(buf.get() + n - 4, tail, 4);
    decodeBitStream(st, 1024, buf.get(), n);
    EXPECT_TRUE(st.damaged);
    EXPECT_EQ(std::memcmp(buf.get() + n - 4, tail, 4), 0) << "went on decoding zeros";
}

// Random symbols behind a valid set-up: whatever they say, nothing is written behind the plane
// (checked by decode) and nothing is read outside the buffer (checked under the sanitizers).
TEST(BitStreamDecoder, RandomStreamsStayInsideTheBuffer) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 400; trial++) {
        const int variant = trial & 3, contextFlag = (trial >> 2) & 1;
        const uint32_t row = 1 + rng() % 9;
        const size_t n = rng() % 600;
        std::vector<uint8_t> thresholds;
        if (contextFlag) {
            for (int j = 0; j < 5 + (variant == 2 ? 2 : 0); j++) thresholds.push_back(rng() % 256);
        }
        StreamWriter s(thresholds, uint8_t(rng()));
        // Mostly literals of low rank, so the plane gets some way before a bad copy.
        for (int i = 0; i < 2000; i++) {
            if (rng() % 8 != 0) {
                s.literal(0);
            } else {
                s.bits(rng(), 8);
            }
        }
        decode(s, variant, contextFlag, row, n, uint8_t(rng()));
    }
}

}  // namespace
}  // namespace pqz
