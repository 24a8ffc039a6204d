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
