// The bit-stream decoder on hand-written streams: literals, matches, copies, mode changes, zero
// runs, and the refusal of streams that would reach outside the output.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codec/bitstream/bitstream.h"
#include "codec/bitstream/prefix_codes.h"
#include "tests/encoder/bit_writer.h"

namespace pqz {
namespace {

constexpr uint32_t kMarker = 0xA5C;  // 12 bits written behind every stream

// A payload of bytes (with the loader's zero slack) and the coding it is decoded with.
struct Loaded {
    PayloadReader st;
    PlaneCoding coding;
    RowProgress progress;
};

Loaded loadPayload(std::vector<uint8_t>& bytes, int variant, int contextFlag) {
    const size_t size = bytes.size();
    bytes.resize(size + kPayloadSlack, 0);
    return Loaded{PayloadReader(bytes.data(), size), PlaneCoding{variant, contextFlag != 0}, {}};
}

// Bit strings (value, length) of every symbol of the default codes, read off the tables.
using Codebook = std::vector<std::vector<std::pair<uint32_t, int>>>;

void collect(const DecodeNode* node, uint32_t prefix, int depth,
             std::vector<std::pair<uint32_t, int>>& words) {
    if (node->bits == 0) {
        words[node->value] = {prefix, depth};
        return;
    }
    for (uint32_t i = 0; i < (1u << node->bits); i++) {
        collect(node + node->value + i, prefix | i << depth, depth + node->bits, words);
    }
}

const Codebook& codebook() {
    static const Codebook book = [] {
        enc::BitWriter w;
        w.write(0, 18);
        std::vector<uint8_t> bytes = w.bytes();
        Loaded loaded = loadPayload(bytes, 0, 0);
        PayloadReader& st = loaded.st;
        auto set = std::make_unique<PrefixCodeSet>();
        EXPECT_TRUE(buildPrefixCodes(st, 0, *set));
        Codebook b(kPrefixCodeCount);
        for (int code = 0; code < kPrefixCodeCount; code++) {
            b[code].resize(kPrefixCodeSymbols[code]);
            collect(set->nodes + set->root[code], 0, 0, b[code]);
        }
        return b;
    }();
    return book;
}

// Writes a plane's stream with the default codes: the set-up (context thresholds when the
// context flag is set, literal-code thresholds, an empty code mask, the first byte), then steps
// separated by spaces: L rank (literal), E (escape), M shift,symbol (match), A mode,symbol
// (action), D symbol (short distance), B value,count (plain bits), Z symbol (zero run).
struct StreamWriter {
    enc::BitWriter w;

    StreamWriter(const std::vector<uint8_t>& contextThresholds, uint8_t first) {
        for (uint8_t t : contextThresholds) w.write(t, 8);
        w.write(0, 30);
        w.write(0, 18);
        w.write(first, 8);
    }
    void sym(int code, uint32_t s) {
        w.write(codebook()[code][s].first, codebook()[code][s].second);
    }
    void play(const char* script) {
        for (const char* c = script; *c;) {
            const char kind = *c++;
            char* end;
            const uint32_t a = uint32_t(std::strtoul(c, &end, 10));
            const uint32_t b = *end == ',' ? uint32_t(std::strtoul(end + 1, &end, 10)) : 0;
            c = *end == ' ' ? end + 1 : end;
            const int code = kind == 'L' || kind == 'E' ? kLiteralCode
                             : kind == 'M'              ? kMatchCode + int(a)
                             : kind == 'A'              ? kActionCode + int(a) - 1
                             : kind == 'D'              ? kShortDistanceCode
                                                        : kZeroRunCode;
            if (kind == 'B') {
                w.write(a, int(b));
            } else {
                sym(code, kind == 'L'                  ? a + 1
                          : kind == 'E'                ? 0
                          : kind == 'M' || kind == 'A' ? b
                                                       : a);
            }
        }
    }
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
    Loaded loaded = loadPayload(bytes, variant, contextFlag);
    PayloadReader& st = loaded.st;
    std::vector<uint8_t> buf(n + 8, fill);
    decodeBitStream(st, loaded.coding, row, buf.data(), n, loaded.progress);
    for (size_t i = n; i < n + 8; i++) EXPECT_EQ(buf[i], fill) << "written behind the plane";
    buf.resize(n);
    return {buf, st.damaged, st.damaged ? 0 : readBits(st, 12)};
}

void expectDecodes(StreamWriter& s, int variant, int contextFlag, uint32_t row,
                   const std::vector<uint8_t>& expect) {
    const Decoded d = decode(s, variant, contextFlag, row, expect.size());
    ASSERT_FALSE(d.damaged);
    EXPECT_EQ(d.out, expect);
    EXPECT_EQ(d.after, kMarker);
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
}

// Literals in previous-byte contexts, one candidate match and the escape that ends the plane.
// Ranks start in value order with count 0. Context 0 gets 2 at its front, then 0 ties with it
// and moves ahead; after the match (candidate 0 = the row length 4, 6 bytes, then mode 2 from
// the stack) value 1 moves up behind 2, which has been seen twice.
TEST(BitStreamDecoder, LiteralsMoveUpInTheirContextAndMatchesCopy) {
    StreamWriter s({}, 0x41);
    s.play("L0 L2 L1 L0 L1 L1 E M1,1 A2,0 L2 L0 L1 E");
    expectDecodes(s, 0, 0, 4, {0x41, 0, 2, 1, 0, 0, 2, 1, 0, 0, 2, 1, 0, 1, 0, 1});
}

// Leaving the match mode stacks the mode left, and long matches take the next mode from the
// stack: a stream read with the wrong mode's action code falls apart.
TEST(BitStreamDecoder, ModeStackRemembersTheModeLeft) {
    StreamWriter s({}, 0);
    s.play("L1 L2 L3 L4 L5 L6 L7 L8 L9 L10");
    s.play("E M1,1 A2,1 D0 A2,0");      // 6 bytes: mode 2; variant 0 copies 3; leave
    s.play("E M1,1 A2,3 M2,3 A3,0");    // mode 2 again, stay, 8 bytes: mode 3; leave
    s.play("E M1,1 A3,4 M3,7 A4,0 E");  // mode 3 again, stay, 12 bytes: mode 4; leave
    std::vector<uint8_t> expect = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    expect.insert(expect.end(), 6 + 3 + 6 + 8 + 6 + 12, 10);
    expectDecodes(s, 0, 0, 1, expect);
}

// Copies of every kind at short distances, overlapping or not, after eleven distinct bytes
// (rows of one byte: candidate i is offset i + 1): each match repeats the byte before five
// times, then a short copy (3 bytes in variant 0, else 4) or an explicit 12-byte copy follows.
// The expected bytes are copied one at a time.
TEST(BitStreamDecoder, CopiesRepeatTheBytesTheirDistanceBack) {
    for (int variant : {0, 1}) {
        const size_t unit = variant == 0 ? 3 : 4;
        StreamWriter s({}, 0);
        s.play("L1 L2 L3 L4 L5 L6 L7 L8 L9 L10");
        std::vector<uint8_t> expect = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
        auto copy = [&](size_t dist, size_t len) {
            for (size_t i = 0; i < len; i++) expect.push_back(expect[expect.size() - dist]);
        };
        for (uint32_t dist = 4; dist <= 20; dist++) {
            std::string step = "E M1,0 A1,1 D24 B" + std::to_string(dist) + ",11 A1,1 D" +
                               std::to_string(dist % 12) + " A1,0";
            s.play(step.c_str());
            copy(1, 5);
            copy(dist, 12);
            copy(dist % 12 + 1, unit);
        }
        s.play("E");
        expectDecodes(s, variant, 0, 1, expect);
    }
}

// Matches of 5 to 8 bytes from 2 to 7 bytes back (mode 2: candidate s / 4, length s % 4), where
// the copy overlaps what it writes. Each stream is fresh, so candidate i is still offset i + 1;
// a match of 8 bytes takes mode 3 from the stack, whose action code then leaves.
TEST(BitStreamDecoder, OverlappingMatchesRepeatTheirPattern) {
    for (uint32_t idx = 1; idx <= 6; idx++) {
        for (uint32_t l = 0; l < 4; l++) {
            StreamWriter s({}, 0);
            s.play("L1 L2 L3 L4 L5 L6 L7 L8 L9 L10 E M1,1 A2,3");
            const std::string step =
                "M2," + std::to_string(4 * idx + l) + (l == 3 ? " A3,0" : " A2,0");
            s.play(step.c_str());
            s.play("E");
            std::vector<uint8_t> expect(17 + 5 + l, 10);  // 0 to 10, then six tens, then the copy
            for (uint8_t i = 0; i < 10; i++) expect[i] = i;
            for (size_t i = 17; i < expect.size(); i++) expect[i] = expect[i - idx - 1];
            expectDecodes(s, 0, 0, 1, expect);
        }
    }
}

// Variant 2 with the context flag (seven thresholds; the first puts every value in class 0):
// zero runs of 6 and 24 + 3 bytes over a buffer that holds other bytes.
TEST(BitStreamDecoder, ZeroRunsWriteZeros) {
    StreamWriter s({255, 0, 0, 0, 0, 0, 0}, 9);
    s.play("E Z0 E Z17 B3,2 L1 E");
    std::vector<uint8_t> expect(35, 0);
    expect[0] = 9;
    expect[34] = 1;
    expectDecodes(s, 2, 1, 3, expect);
}

// An empty plane still has its set-up, first byte and final escape read; nothing is written.
TEST(BitStreamDecoder, EmptyPlaneReadsItsStreamWithoutWriting) {
    StreamWriter s({}, 0x77);
    s.play("E");
    s.w.write(kMarker, 12);
    std::vector<uint8_t> bytes = s.w.bytes();
    Loaded loaded = loadPayload(bytes, 1, 0);
    PayloadReader& st = loaded.st;
    decodeBitStream(st, loaded.coding, 0, nullptr, 0, loaded.progress);
    EXPECT_FALSE(st.damaged);
    EXPECT_EQ(readBits(st, 12), kMarker);
}

// Streams that would write behind the plane or read in front of it are refused. Each would end
// well if its bad step were let through. Rows of one byte: candidate i is offset i + 1.
TEST(BitStreamDecoder, CopiesOutsideThePlaneAreRefused) {
    const struct {
        const char* what;
        int variant;
        size_t n;
        const char* script;
    } cases[] = {
        {"literal behind the last byte", 0, 2, "L0 L0 E"},
        {"literal in an empty plane", 0, 0, "L0 E"},
        {"match behind the last byte", 0, 5, "E M1,0 A1,0 E"},
        {"candidate in front of the plane", 0, 6, "E M1,2 A1,0 E"},
        {"short copy behind the last byte", 1, 9, "E M1,0 A1,1 D0 A1,0 E"},
        {"explicit distance below 4", 1, 18, "E M1,0 A1,1 D24 B3,11 A1,0 E"},
        {"explicit distance in front of the plane", 1, 18, "E M1,0 A1,1 D24 B7,11 A1,0 E"},
        {"explicit copy behind the last byte", 1, 17, "E M1,0 A1,1 D24 B6,11 A1,0 E"},
        {"zero run behind the last byte", 2, 200, "E Z23 E"},
    };
    for (const auto& c : cases) {
        StreamWriter s({}, 1);
        s.play(c.script);
        EXPECT_TRUE(decode(s, c.variant, 0, 1, c.n).damaged) << c.what;
    }
}

// A stream cut short reads zeros; the decoder stops at once instead of filling a huge plane.
TEST(BitStreamDecoder, TruncatedStreamStopsEarly) {
    StreamWriter s({}, 1);
    s.play("L3");
    std::vector<uint8_t> bytes = s.w.bytes();
    Loaded loaded = loadPayload(bytes, 0, 0);
    PayloadReader& st = loaded.st;
    const size_t n = size_t(1) << 24;
    std::unique_ptr<uint8_t[]> buf(new uint8_t[n + 8]);
    const uint8_t tail[4] = {0xEE, 0x5A, 0xC3, 0x17};
    std::memcpy(buf.get() + n - 4, tail, 4);
    decodeBitStream(st, loaded.coding, 1024, buf.get(), n, loaded.progress);
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
        for (int j = 0; contextFlag && j < 5 + (variant == 2 ? 2 : 0); j++) {
            thresholds.push_back(uint8_t(rng()));
        }
        StreamWriter s(thresholds, uint8_t(rng()));
        // Mostly literals of rank 0, so the plane gets some way before a bad copy.
        for (int i = 0; i < 2000; i++) {
            if (rng() % 8 != 0) {
                s.play("L0");
            } else {
                s.w.write(rng(), 8);
            }
        }
        decode(s, variant, contextFlag, row, n, uint8_t(rng()));
    }
}

}  // namespace
}  // namespace pqz
