// The test-side magnitude and residual symbol encoders against the decoder's models: both sides
// must read the same values back and end with identical adaptive state.
#include "tests/encoder/magnitude_encoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "codec/shared/magnitude_models.h"
#include "codec/shared/range_decoder.h"
#include "tests/test_support.h"

namespace pqz {
namespace {

struct Op {
    int kind;  // 0 magnitude, 1 training, 2 residual symbol
    uint32_t context;
    uint32_t value;
};

// Small values most of the time, sometimes anything: classes and tree nodes of a few busy
// contexts rescale many times, and every class is reached.
uint32_t skewedValue(std::mt19937& rng, uint32_t limit) {
    if (rng() % 8 == 0) return rng() % limit;
    uint32_t v = 0;
    while (v + 1 < limit && rng() % 3 != 0) v++;
    return v;
}

void runMixedStream(int method, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<Op> ops;
    for (int i = 0; i < 100000; i++) {
        const int kind = int(rng() % 3);
        // Few contexts, so that each sees thousands of values.
        const uint32_t context = (rng() % 4 == 0) ? rng() % 1023 : rng() % 3;
        ops.push_back({kind, context, skewedValue(rng, kind == 2 ? 261 : 128)});
        // One context is only ever coded, never trained: its tree nodes grow until they halve.
        if (i % 20 == 0) ops.push_back({0, 1023, rng() % 16 ? 3u : 2u});
    }
    const int symbolModels = 5;

    std::vector<uint8_t> stream;
    enc::MagnitudeCoder mc = enc::makeMagnitudeCoder(method);
    std::vector<enc::SymbolModel> encModels(symbolModels);
    for (auto& m : encModels) enc::initSymbolModel(m);
    {
        enc::RangeEncoder rc(stream);
        for (const Op& op : ops) {
            if (op.kind == 0) enc::encodeMagnitude(rc, mc, op.context, op.value);
            if (op.kind == 1) enc::trainMagnitude(mc, op.context, op.value);
            if (op.kind == 2)
                enc::encodeResidualSymbol(rc, mc, encModels[op.context % symbolModels],
                                          op.context % 4 * 256 + op.context % 64, op.value);
        }
        rc.finish();
    }

    PayloadReader in = test::loadPayload(stream);
    RangeDecoder rc;
    MagnitudeTable table;
    ASSERT_TRUE(table.create(method));
    rangeStart(rc, in);
    std::vector<ResidualSymbolModel> decModels(symbolModels);
    for (auto& m : decModels) initResidualSymbolModel(m);
    for (size_t i = 0; i < ops.size(); i++) {
        const Op& op = ops[i];
        if (op.kind == 0) {
            ASSERT_EQ(decodeMagnitude(rc, table, table[op.context]), op.value) << "op " << i;
        } else if (op.kind == 1) {
            trainMagnitude(table, table[op.context], op.value);
        } else {
            uint32_t v = decodeResidualSymbol(rc, table, decModels[op.context % symbolModels],
                                              op.context % 4 * 256 + op.context % 64);
            ASSERT_EQ(v, op.value) << "op " << i;
        }
    }
    EXPECT_EQ(std::memcmp(table.models.get(), mc.contexts.data(),
                          sizeof(enc::MagnitudeContext) * enc::kMagnitudeContextCount),
              0);
    for (int i = 0; i < symbolModels; i++) {
        EXPECT_EQ(decModels[i].total, encModels[i].total);
        EXPECT_TRUE(enc::symbolModelMature(encModels[i]));
        EXPECT_EQ(std::memcmp(decModels[i].count, encModels[i].count, 14), 0);
    }
    // The busiest contexts have decayed their rate to the floor of the method.
    EXPECT_EQ(mc.contexts[0].rate, mc.rateFloor);
    EXPECT_GT(mc.stats.nodeRescales, 0u);
    EXPECT_GT(mc.stats.symbolRescales, 0u);
    rangeFinish(rc, in);
    EXPECT_FALSE(in.damaged);
    EXPECT_EQ(in.cursor, in.end);
}

TEST(MagnitudeEncoder, MixedStreamsStayInStepWithTheDecoderForBothMethods) {
    runMixedStream(1, 11);
    runMixedStream(2, 12);
}

TEST(MagnitudeEncoder, FreshContextAdaptsByTheMethodRate) {
    for (int method : {1, 2}) {
        enc::MagnitudeCoder mc = enc::makeMagnitudeCoder(method);
        std::vector<uint8_t> out;
        enc::RangeEncoder rc(out);
        enc::encodeMagnitude(rc, mc, 7, 0);
        EXPECT_EQ(mc.contexts[7].classCount[0], 205 + 24 * mc.rateFloor);
        EXPECT_EQ(mc.contexts[7].total, 635 + 24 * mc.rateFloor);
        // A value of class 3 (4..7) walks two nodes: the first of the subtree and the child of
        // its bit.
        enc::encodeMagnitude(rc, mc, 8, 6);
        EXPECT_EQ(mc.contexts[8].node[1][1], 36 + mc.treeStep);
        EXPECT_EQ(mc.contexts[8].node[3][0], 60 + mc.treeStep);
    }
}

TEST(ResidualMaps, AgreeWithTheDecoderAndKeepEveryChoiceWithinTolerance) {
    for (int n = 0; n <= 15; n++) {
        SCOPED_TRACE(n);
        const enc::ResidualMaps maps = enc::buildResidualMaps(n);
        uint8_t quantiserAndRank[512];
        uint8_t order[256];
        buildResidualMaps(n, quantiserAndRank, order);
        ASSERT_EQ(std::memcmp(order, maps.order, 256), 0);
        ASSERT_EQ(std::memcmp(quantiserAndRank, maps.quantiser, 256), 0);
        ASSERT_EQ(std::memcmp(quantiserAndRank + 256, maps.rank, 256), 0);
        // The multiples of 2n + 1 lead, and the quantiser folds each to its own symbol.
        const int c = 2 * n + 1;
        for (int d = 1; d * c < 128; d++) {
            EXPECT_EQ(maps.order[2 * d], uint8_t(d * c));
            EXPECT_EQ(maps.order[2 * d - 1], uint8_t(-d * c));
            EXPECT_EQ(maps.quantiser[uint8_t(d * c)], 2 * d);
            EXPECT_EQ(maps.quantiser[uint8_t(-d * c)], 2 * d - 1);
        }
        for (int base = 0; base < 256; base += 3) {
            for (int target = 0; target < 256; target++) {
                const uint32_t s = enc::chooseResidual(maps, base, target);
                const int r = (base + maps.order[s]) & 0xFF;
                ASSERT_LE(std::abs(r - target), n) << "base " << base << " target " << target;
                if (n == 0) {
                    ASSERT_EQ(s, maps.rank[(target - base) & 0xFF]);
                }
            }
        }
    }
}

}  // namespace
}  // namespace pqz
