// Round trips of the range coder and the bit reader over random symbol streams.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "codec/shared/range_decoder.h"
#include "tests/encoder/bit_writer.h"
#include "tests/encoder/range_encoder.h"
#include "tests/test_support.h"

namespace pqz {
namespace {

struct Op {
    int kind;  // 0 frequency, 1 bit, 2 uniform
    uint32_t a, b, c;
};

TEST(RangeCoder, RandomStreamsRoundTripAndEndBehindMarker) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 200; trial++) {
        const int headBits = trial % 40;
        enc::BitWriter bits;
        std::vector<uint32_t> head;
        for (int i = 0; i < headBits; i++) {
            head.push_back(rng() & 1);
            bits.write(head.back(), 1);
        }
        bits.alignToByte();
        std::vector<uint8_t> stream;
        std::vector<Op> ops;
        {
            enc::RangeEncoder rc(stream);
            const int n = int(rng() % 3000);
            for (int i = 0; i < n; i++) {
                Op op{int(rng() % 3), 0, 0, 0};
                if (op.kind == 0) {
                    uint32_t total = 1 + rng() % ((rng() & 1) ? 100 : 0x800000);
                    uint32_t lo = rng() % total;
                    uint32_t freq = 1 + rng() % (total - lo);
                    op = {0, lo, freq, total};
                    rc.encodeFreq(lo, freq, total);
                } else if (op.kind == 1) {
                    uint32_t c0 = rng() % 5000, c1 = rng() % 5000;
                    if (c0 + c1 == 0) c0 = 1;
                    int bit = c0 == 0 ? 1 : c1 == 0 ? 0 : int(rng() & 1);
                    op = {1, uint32_t(bit), c0, c1};
                    rc.encodeBit(bit, c0, c1);
                } else {
                    uint32_t n2 = 1 + rng() % 8193;
                    uint32_t v = rng() % n2;
                    op = {2, v, n2, 0};
                    rc.encodeUniform(v, n2);
                }
                ops.push_back(op);
            }
            rc.finish(trial % 3 == 0 ? std::vector<uint8_t>{1, 2, 0xFF} : std::vector<uint8_t>{});
        }
        bits.appendBytes(stream);
        enc::BitWriter tail;  // a new bit segment starts behind the closing marker
        tail.write(0x5A5, 12);
        tail.alignToWord();
        bits.appendBytes(tail.bytes());
        std::vector<uint8_t> payload = bits.bytes();

        PayloadReader in = test::loadPayload(payload);
        RangeDecoder rc;
        for (int i = 0; i < headBits; i++) ASSERT_EQ(readBits(in, 1), head[i]);
        rangeStart(rc, in);
        for (const Op& op : ops) {
            if (op.kind == 0) {
                uint32_t v = rangeDecodeFreq(rc, op.c);
                ASSERT_GE(v, op.a);
                ASSERT_LT(v, op.a + op.b) << "total " << op.c << " op " << (&op - ops.data());
                rangeUpdate(rc, op.a, op.a + op.b);
            } else if (op.kind == 1) {
                ASSERT_EQ(rangeDecodeBit(rc, op.b, op.c), int(op.a));
            } else {
                ASSERT_EQ(rangeDecodeUniform(rc, op.b), op.a);
            }
        }
        rangeFinish(rc, in);
        ASSERT_EQ(readBits(in, 12), 0x5A5u);
        EXPECT_FALSE(in.damaged);
        EXPECT_EQ(in.cursor, in.end) << "trial " << trial;
    }
}

// A decoder state past the refill, as the symbol decodes see it.
RangeDecoder stateWith(uint32_t range, uint32_t low) {
    RangeDecoder rc;
    rc.range = range;
    rc.low = low;
    return rc;
}

TEST(RangeCoder, ScaledTargetAgreesWithTheFrequencyDecodeForEveryCount) {
    // Every total up to 600 and a spread of larger ones, on ranges from the bottom to the top,
    // with code values on both sides of each multiple of the quotient and past the range (a
    // damaged stream), against every count up to past the total.
    std::vector<uint32_t> totals;
    for (uint32_t t = 1; t <= 600; t++) totals.push_back(t);
    for (uint32_t t : {1000u, 4095u, 16384u, 32767u, 33000u, 65535u, 0x7FFFFFu, 0x800000u})
        totals.push_back(t);
    std::mt19937 rng(11);
    for (uint32_t total : totals) {
        for (uint32_t range : {kRangeBottom + 1, 0x01234567u, 0x7FFFFFFFu, 0x80000000u,
                               uint32_t(kRangeBottom + 1 + rng() % 0x7F000000u)}) {
            const uint32_t help = range / total;
            std::vector<uint32_t> lows = {0, 1, range - 1, range, 0xFFFFFFFFu};
            for (int i = 0; i < 6; i++) {
                const uint32_t k = i < 3 ? uint32_t(i) : rng() % (total + 2);
                for (int d = -1; d <= 1; d++) lows.push_back(k * help + uint32_t(d));
            }
            for (uint32_t low : lows) {
                RangeDecoder byFreq = stateWith(range, low), byScale = stateWith(range, low);
                const uint32_t v = rangeDecodeFreq(byFreq, total);
                const RangeScale scale = rangeDecodeScale(byScale, total);
                ASSERT_EQ(byScale.help, byFreq.help);
                const uint32_t last = total < 700 ? total + 2 : 700;
                for (uint32_t c = 0; c <= last; c++)
                    ASSERT_EQ(rangeReaches(scale, c), uint32_t(c <= v))
                        << "total " << total << " range " << range << " low " << low << " c " << c;
                for (uint32_t c : {v, v + 1, total - 1, total, 0xFFFFFFFFu})
                    ASSERT_EQ(rangeReaches(scale, c), uint32_t(c <= v)) << "c " << c;
            }
        }
    }
}

TEST(RangeCoder, UpdatesWithoutBranchesMatchTheirPlainForms) {
    std::mt19937 rng(5);
    for (int i = 0; i < 200000; i++) {
        const uint32_t range = kRangeBottom + 1 + rng() % (0xFFFFFFFFu - kRangeBottom);
        const uint32_t low = (i & 7) == 0 ? rng() : rng() % range;
        // A symbol interval, the last one of the total every fourth time.
        const uint32_t total = 1 + rng() % ((i & 1) ? 40 : 0x800000);
        const uint32_t cumHigh = (i & 3) == 0 ? total : 1 + rng() % total;
        const uint32_t cumLow = rng() % cumHigh;
        RangeDecoder rc = stateWith(range, low);
        rangeDecodeFreq(rc, total);
        const uint32_t help = rc.help;
        rangeUpdate(rc, cumLow, cumHigh);
        ASSERT_EQ(rc.low, low - help * cumLow);
        ASSERT_EQ(rc.range, cumHigh < total ? help * (cumHigh - cumLow) : range - help * cumLow);

        const uint32_t c0 = 1 + rng() % 20000, c1 = rng() % 20000;
        RangeDecoder bit = stateWith(range, low), selected = bit;
        const uint32_t t = c0 * (range / (c0 + c1));
        const int b = rangeDecodeBit(bit, c0, c1);
        ASSERT_EQ(b, int(low >= t));
        ASSERT_EQ(bit.range, low < t ? t : range - t);
        ASSERT_EQ(bit.low, low < t ? low : low - t);
        ASSERT_EQ(rangeDecodeBitSelected(selected, c0, c1), b);
        ASSERT_EQ(selected.range, bit.range);
        ASSERT_EQ(selected.low, bit.low);
    }
}

TEST(RangeCoder, StartGivesBufferedBytesBack) {
    // 0x97 0x40 after a head that leaves 10 buffered bits: one whole byte goes back.
    std::vector<uint8_t> p = {0xFF, 0xFF, 0x97, 0x40, 0, 0, 0, 0x97};
    PayloadReader in = test::loadPayload(p);
    RangeDecoder rc;
    readBits(in, 14);  // takes the first word; 18 bits remain, two whole bytes go back
    rangeStart(rc, in);
    EXPECT_EQ(rc.buffer, 0x40u);
    EXPECT_EQ(rc.low, 0x20u);
    EXPECT_EQ(rc.range, 128u);
    rangeNormalize(rc);
    EXPECT_EQ(rc.range, 0x80000000u);
    EXPECT_EQ(rc.cursor, in.start + 7);
}

TEST(RangeCoder, ReadsPastThePayloadAreZeroAndMarkTheStreamDamaged) {
    std::vector<uint8_t> p = {0x97, 0x12, 0x34};
    PayloadReader in = test::loadPayload(p);
    RangeDecoder rc;
    rangeStart(rc, in);
    rangeNormalize(rc);
    EXPECT_TRUE(rc.damaged);
    EXPECT_EQ(rc.cursor, rc.end);
    rangeFinish(rc, in);
    EXPECT_EQ(in.cursor, in.end);
}

TEST(RangeCoder, AnEmptyIntervalEndsTheRefillAsADamagedStream) {
    // A model symbol of zero width would leave range 0, which no refill can widen: instead of
    // reading on forever the stream is marked damaged.
    std::vector<uint8_t> p = {0x97, 0x12, 0x34, 0x56, 0x78, 0x9A, 0x97};
    PayloadReader in = test::loadPayload(p);
    RangeDecoder rc;
    rangeStart(rc, in);
    rangeNormalize(rc);
    EXPECT_FALSE(rc.damaged);
    const uint8_t* cursor = rc.cursor;
    rc.range = 0;
    rangeNormalize(rc);
    EXPECT_TRUE(rc.damaged);
    EXPECT_GT(rc.range, kRangeBottom);
    EXPECT_EQ(rc.cursor, cursor);
}

}  // namespace
}  // namespace pqz
