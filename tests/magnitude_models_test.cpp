// Shared magnitude models, residual symbol models and residual maps: adaptation constants,
// rescaling thresholds and the context each escape lands in.
#include "codec/shared/magnitude_models.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "codec/shared/range_decoder.h"

namespace pqz {
namespace {

// A state reading zero bytes: once the decoder's low value is 0 it stays 0, so every frequency
// decode returns 0 and every binary decision 0.
struct ZeroStream {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(1 << 16, 0);
    RangeDecoder rc;
    MagnitudeTable table;

    explicit ZeroStream(int method) {
        rc.cursor = bytes.data();
        rc.end = bytes.data() + bytes.size();
        rc.range = 0x80000000u;
        EXPECT_TRUE(table.create(method));
    }

    // The next frequency decode of this total returns target; low is 0 behind a symbol that
    // starts at target.
    void aim(uint32_t target, uint32_t total) {
        rc.range = 0x80000000u;
        rc.low = target * (rc.range / total);
    }
};

TEST(MagnitudeModel, RateDecaysToTheFloorOfEachMethod) {
    const std::vector<uint32_t> expected[2] = {
        {384, 368, 352, 336, 320, 304, 288, 272, 256, 240, 224, 208, 192, 176, 160, 144, 128,
         112, 96,  80,  64,  60,  56,  52,  48,  44,  40,  36,  32,  28,  24,  20,  16},
        {192, 176, 160, 144, 128, 112, 96, 80, 64, 48, 32, 28, 24, 20, 16, 12, 8}};
    for (int method : {1, 2}) {
        ZeroStream z(method);
        MagnitudeModel& m = z.table[5];
        std::vector<uint32_t> rates = {m.rate};
        EXPECT_EQ(decodeMagnitude(z.rc, z.table, m), 0u);  // targets 0..204 are class 0
        EXPECT_EQ(m.classCount[0], 205 + rates[0]);
        for (int i = 0; i < 40000; i++) {
            decodeMagnitude(z.rc, z.table, m);
            if (m.rate != rates.back()) rates.push_back(m.rate);
        }
        EXPECT_EQ(rates, expected[method - 1]);
    }
}

TEST(MagnitudeModel, NodeRescalesAndTraining) {
    ZeroStream z(1);
    MagnitudeModel& m = z.table[0];
    m.node[0][0] = 16385;
    m.node[0][1] = 10;
    z.aim(205 + 124, 635);  // first target of class 2, then bit 0
    EXPECT_EQ(decodeMagnitude(z.rc, z.table, m), 2u);
    EXPECT_EQ(m.node[0][0], 8257);
    EXPECT_EQ(m.node[0][1], 5);

    // Training: classes gain rate / 4 with the low five bits cleared, plus 4; nodes 40.
    MagnitudeModel& t = z.table[1];
    trainMagnitude(z.table, t, 1);
    EXPECT_EQ(t.classCount[1], 124 + 100);
    t.rate = 368;
    t.node[0][0] = 8193;  // halved only above 8192
    t.node[26][0] = 8192;
    trainMagnitude(z.table, t, 2);
    trainMagnitude(z.table, t, 32);
    EXPECT_EQ(t.classCount[2], 147 + 68);
    EXPECT_EQ(t.node[0][0], 4097 + 40);
    EXPECT_EQ(t.node[0][1], 18);
    EXPECT_EQ(t.node[26][0], 8192 + 40);
    // 109 = 64 + 101101b walks its class-7 subtree as a heap: nodes 57, 59, 62, 69, 83, 110.
    trainMagnitude(z.table, t, 109);
    const int nodes[6] = {57, 59, 62, 69, 83, 110}, bits[6] = {1, 0, 1, 1, 0, 1};
    for (int i = 0; i < 6; i++) EXPECT_EQ(t.node[nodes[i]][bits[i]], (bits[i] ? 36 : 60) + 40);
    // Past a total of 32768 a context is left alone entirely.
    t.total = 32769;
    const MagnitudeModel before = t;
    trainMagnitude(z.table, t, 100);
    EXPECT_EQ(std::memcmp(&before, &t, sizeof t), 0);

    ZeroStream z2(2);  // method 2: rate / 32 * 15 + 4, nodes 6
    MagnitudeModel& t2 = z2.table[0];
    trainMagnitude(z2.table, t2, 3);
    EXPECT_EQ(t2.classCount[2], 147 + 94);
    EXPECT_EQ(t2.node[0][1], 36 + 6);
}

ResidualSymbolModel symbolModel(std::vector<uint16_t> counts) {
    ResidualSymbolModel m{};
    for (int i = 0; i < 7; i++) {
        m.count[i] = counts[i];
        m.total = uint16_t(m.total + counts[i]);
    }
    return m;
}

TEST(ResidualSymbolModel, RescalesAbove8192AndBecomesMature) {
    ZeroStream z(1);
    auto decodeZero = [&](ResidualSymbolModel m, std::vector<uint16_t> after, uint16_t total) {
        z.aim(0, m.total & 0x7FFF);
        EXPECT_EQ(decodeResidualSymbol(z.rc, z.table, m, 0), 0u);
        EXPECT_EQ(std::vector<uint16_t>(m.count, m.count + 7), after);
        EXPECT_EQ(m.total, total);
    };
    // All counts at least 2: thirds rounded up; a count of 1 or 0: halves rounded up.
    decodeZero(symbolModel({8000, 100, 50, 20, 10, 8, 5}), {2667 + 32, 34, 17, 7, 4, 3, 2},
               0x8000 + 2734 + 32);
    decodeZero(symbolModel({8000, 100, 50, 20, 10, 12, 1}), {4000 + 32, 50, 25, 10, 5, 6, 1},
               0x8000 + 4097 + 32);
    decodeZero(symbolModel({8000, 100, 50, 20, 10, 13, 0}), {4000 + 32, 50, 25, 10, 5, 7, 0},
               0x8000 + 4097 + 32);
    // 8192 is not rescaled; a mature model rescales again on its sum, keeping the bit.
    decodeZero(symbolModel({8000, 100, 50, 20, 10, 8, 4}), {8032, 100, 50, 20, 10, 8, 4},
               8192 + 32);
    ResidualSymbolModel mature = symbolModel({8000, 100, 50, 20, 10, 8, 5});
    mature.total |= 0x8000;
    decodeZero(mature, {2667 + 32, 34, 17, 7, 4, 3, 2}, 0x8000 + 2734 + 32);
}

TEST(ResidualSymbolModel, EscapesPickTheirMagnitudeContext) {
    ZeroStream z(1);
    const uint32_t base = 256 + 8 + 3;
    // Symbol 5 of a fresh model: 2 * 35 is not above 8 + 54 + 96 (h = 0), so the odd escape
    // reads base + 128; its magnitude decodes 0.
    ResidualSymbolModel odd;
    initResidualSymbolModel(odd);
    z.aim(16, 22);
    EXPECT_EQ(decodeResidualSymbol(z.rc, z.table, odd, base), 5u);
    EXPECT_EQ(z.table[base + 128].classCount[0], 205 + 384);
    // Symbol 6 with a dominant count: 2 * 332 > 1 + 338 + 96 (h = 1), so base + 64. Aim the
    // magnitude at the first target of class 7 (64): the value is 6 + 2 * 64.
    ResidualSymbolModel even = symbolModel({1, 1, 1, 1, 1, 1, 300});
    RangeDecoder& rc = z.rc;
    rc.range = 0x80000000u;
    const uint32_t help = rc.range / 306;
    rc.low = 6 * help + 631 * ((rc.range - 6 * help) / 635);
    EXPECT_EQ(decodeResidualSymbol(z.rc, z.table, even, base), 134u);
    EXPECT_EQ(z.table[base + 64].classCount[7], 4 + 384);
    EXPECT_FALSE(z.rc.damaged);
}

TEST(ResidualSymbolModel, ImpossibleTotalsRefuseTheStream) {
    ZeroStream z(1);
    // A total word wrapped to the bare mature bit: no frequency to divide by.
    ResidualSymbolModel empty = symbolModel({1, 1, 1, 1, 1, 1, 1});
    empty.total = 0x8000;
    EXPECT_EQ(decodeResidualSymbol(z.rc, z.table, empty, 0), 0u);
    EXPECT_TRUE(z.rc.damaged);
    // Counts short of the total: the target lies past the last symbol, whose interval would be
    // empty (a range of 0 never normalises).
    z.rc.damaged = false;
    ResidualSymbolModel shortCounts = symbolModel({1, 1, 1, 1, 1, 1, 0});
    shortCounts.total = 100;
    z.aim(90, 100);
    decodeResidualSymbol(z.rc, z.table, shortCounts, 0);
    EXPECT_TRUE(z.rc.damaged);
    EXPECT_GT(z.rc.range, kRangeBottom);
}

// The symbol search against plain 32-bit sums, on counts whose sums pass 16 bits (the total word
// of a model trained by hostile streams no longer bounds them): the symbol and its lower bound
// are exact, and an upper bound is exact wherever a range update could read it (below 32768).
TEST(ResidualSymbolModel, SymbolSearchHoldsForCountsOfAnySize) {
    std::mt19937 random(20);
    const uint16_t kScales[] = {8, 300, 9000, 65535};
    for (int trial = 0; trial < 400; trial++) {
        ResidualSymbolModel m{};
        m.total = uint16_t(random());
        const uint16_t scale = kScales[trial % 4];
        for (uint16_t& c : m.count) c = uint16_t(random() % (uint32_t(scale) + 1));
        uint32_t cum[8] = {};
        for (int i = 0; i < 7; i++) cum[i + 1] = cum[i] + m.count[i];
        for (uint32_t v = 0; v < 0x8000; v += 1 + random() % 97) {
            ResidualSymbolSpan span{};
            const bool found = findResidualSymbol(m, v, span);
            ASSERT_EQ(found, cum[7] > v) << "trial " << trial << " target " << v;
            if (!found) continue;
            uint32_t s = 0;
            while (s < 6 && cum[s + 1] <= v) s++;
            ASSERT_EQ(span.symbol, s) << "trial " << trial << " target " << v;
            ASSERT_EQ(span.low, cum[s]);
            if (cum[s + 1] < 0x8000)
                ASSERT_EQ(span.high, cum[s + 1]);
            else
                ASSERT_GE(span.high, 0x8000u);
        }
    }
}

// The search with one division, as the plane loops compiled for 32-bit lane multiplies run it
// where the processor has them, and as every other build compiles it.
#if PQZ_X86_64 && defined(__SSE2__) && !defined(PQZ2_PORTABLE)
PQZ_TARGET_SSE41 bool findScaledWithLaneMultiplies(const ResidualSymbolModel& m, uint32_t total,
                                                   const RangeScale& scale,
                                                   ResidualSymbolSpan& span) {
    return findResidualSymbolScaled(m, total, scale, span);
}
#endif

// Both searches with one division find what the search after the second division finds, on
// counts of any size against the model's total (short of it, past it, saturating 16 bits) and
// ranges from the bottom to 2^32 - 1, where a product of an uncapped sum would overflow.
TEST(ResidualSymbolModel, SearchWithOneDivisionMatchesTheTwoDivisionSearch) {
    std::mt19937 random(21);
    const uint16_t kScales[] = {8, 300, 9000, 65535};
    const bool laneMultiplies = hostHas(HostLanes::Sse41);
    for (int trial = 0; trial < 2000; trial++) {
        ResidualSymbolModel m{};
        const uint16_t scale = kScales[trial % 4];
        for (uint16_t& c : m.count) c = uint16_t(random() % (uint32_t(scale) + 1));
        m.total = uint16_t(trial % 3 == 0 ? random() : random() % 64 + 1);
        const uint32_t total = m.total & 0x7FFF;
        if (total == 0) continue;
        RangeDecoder rc;
        rc.range = trial % 5 == 0 ? 0xFFFFFFFFu : kRangeBottom + 1 + random() % 0xFF000000u;
        for (int k = 0; k < 16; k++) {
            rc.low = k == 0 ? rc.range - 1 : uint32_t(random() % rc.range);
            RangeDecoder twice = rc, once = rc;
            ResidualSymbolSpan expected{}, span{};
            const bool found = findResidualSymbol(m, rangeDecodeFreq(twice, total), expected);
            const RangeScale byScale = rangeDecodeScale(once, total);
            ASSERT_EQ(findResidualSymbolScaled(m, total, byScale, span), found) << trial;
            if (found) {
                ASSERT_EQ(span.symbol, expected.symbol) << trial;
                ASSERT_EQ(span.low, expected.low);
                ASSERT_EQ(span.high, expected.high);
            }
#if PQZ_X86_64 && defined(__SSE2__) && !defined(PQZ2_PORTABLE)
            if (!laneMultiplies) continue;
            ASSERT_EQ(findScaledWithLaneMultiplies(m, total, byScale, span), found) << trial;
            if (found) {
                ASSERT_EQ(span.symbol, expected.symbol) << trial;
            }
#endif
        }
    }
    (void)laneMultiplies;
}

// A model's counts and total word grow by whole-model adds: each word wraps at 16 bits on its
// own (a carry out of one word must not reach its neighbour), and only the symbol's count and
// the total change, the mature bit included in the total's wrap.
TEST(ResidualSymbolModel, AddsWrapEachWordAtSixteenBits) {
    std::mt19937 random(31);
    const uint32_t kSteps[] = {2, 17, 32, 0xFFFF};
    for (int trial = 0; trial < 300; trial++) {
        ResidualSymbolModel m{};
        for (uint16_t& c : m.count)
            c = uint16_t(trial % 3 == 0 ? 0xFFF0 + random() % 16 : random());
        m.total = uint16_t(trial % 2 ? 0xFFFF - random() % 40 : random());
        const uint32_t symbol = uint32_t(trial % 7), n = kSteps[trial / 7 % 4];
        ResidualSymbolModel want = m;
        want.count[symbol] = uint16_t(want.count[symbol] + n);
        want.total = uint16_t(want.total + n);
        addToResidualSymbol(m, symbol, n);
        ASSERT_EQ(std::memcmp(&m, &want, sizeof m), 0) << "trial " << trial;
    }
}

TEST(ResidualMaps, OrderQuantiserAndRankForEachTolerance) {
    uint8_t qr[16][512], order[16][256];
    for (int n = 0; n < 16; n++) buildResidualMaps(n, qr[n], order[n]);
    auto q = [&](int n, int residual) { return int(qr[n][uint8_t(residual)]); };
    // Lossless: 0, -1, +1, ... -127, +127, -128, folded as 2e and -2e - 1.
    for (int k = 1; k <= 127; k++) {
        EXPECT_EQ(order[0][2 * k - 1], uint8_t(-k));
        EXPECT_EQ(order[0][2 * k], uint8_t(k));
        EXPECT_EQ(q(0, k), 2 * k);
        EXPECT_EQ(q(0, -k), 2 * k - 1);
    }
    EXPECT_EQ(order[0][255], 0x80);
    EXPECT_EQ(q(0, -128), 255);
    // Tolerance 1: multiples of 3 first, up to +-126; errors 2..4 fold to 2, 5..7 to 4.
    for (int d = 1; d <= 42; d++) {
        EXPECT_EQ(order[1][2 * d - 1], uint8_t(-3 * d));
        EXPECT_EQ(order[1][2 * d], uint8_t(3 * d));
    }
    for (int e : {2, 3, 4}) {
        EXPECT_EQ(q(1, e), 2);
        EXPECT_EQ(q(1, -e), 1);
    }
    for (int e : {5, 6, 7}) EXPECT_EQ(q(1, e), 4);
    EXPECT_EQ(q(1, 1) + q(1, -1), 0);
    // Tolerance 5 (step 11): the swap for 121 moves the entries the swap for 11 had moved.
    EXPECT_EQ(order[5][22], 121);
    EXPECT_EQ(order[5][242], 1);
    EXPECT_EQ(order[5][241], uint8_t(-1));
    // Every order is a permutation and the rank its inverse.
    for (int n = 0; n < 16; n++) {
        bool seen[256] = {};
        for (int s = 0; s < 256; s++) {
            EXPECT_FALSE(seen[order[n][s]]);
            seen[order[n][s]] = true;
            EXPECT_EQ(qr[n][256 + order[n][s]], s);
        }
    }
}

}  // namespace
}  // namespace pqz
