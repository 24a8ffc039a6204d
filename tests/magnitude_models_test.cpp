// Shared magnitude models, residual symbol models and residual maps: adaptation constants,
// rescaling thresholds and the context each escape lands in.
#include "codec/method1/magnitude_models.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "codec/range/range_decoder.h"

namespace pqz {
namespace {

// A state reading zero bytes: once the decoder's low value is 0 it stays 0, so every frequency
// decode returns 0 and every binary decision 0.
struct ZeroStream {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(1 << 16, 0);
    ReaderState& st = readerState();

    explicit ZeroStream(int method) {
        st.payloadStart = st.cursor = st.segmentStart = bytes.data();
        st.payloadEnd = bytes.data() + bytes.size();
        st.payloadSize = uint32_t(bytes.size());
        st.damaged = false;
        st.range = RangeDecoder{};
        st.range.range = 0x80000000u;
        EXPECT_TRUE(initModelTables(st, method));
    }
    ~ZeroStream() { releaseModelTables(st); }

    // Makes the next frequency decode of the given total return target, and leaves low at 0
    // behind it when the decoded symbol starts at target.
    void aim(uint32_t target, uint32_t total) {
        st.range.range = 0x80000000u;
        st.range.low = target * (st.range.range / total);
    }
};

std::vector<uint32_t> rateSequence(int method, int decodes) {
    ZeroStream z(method);
    MagnitudeModel& m = z.st.magnitudeTable[5];
    std::vector<uint32_t> rates = {m.rate};
    for (int i = 0; i < decodes; i++) {
        EXPECT_EQ(decodeMagnitude(z.st, m), 0u);
        if (m.rate != rates.back()) rates.push_back(m.rate);
    }
    return rates;
}

TEST(MagnitudeModel, FreshContextsAndFirstDecode) {
    for (int method : {1, 2}) {
        ZeroStream z(method);
        const uint32_t rate = method == 2 ? 192 : 384;
        EXPECT_EQ(z.st.rateFloor, method == 2 ? 8u : 16u);
        EXPECT_EQ(z.st.treeStep, method == 2 ? 8u : 64u);
        for (int ctx : {0, 1023}) {
            const MagnitudeModel& m = z.st.magnitudeTable[ctx];
            EXPECT_EQ(m.total, 635);
            EXPECT_EQ(m.rate, rate);
            EXPECT_EQ(m.classCount[2], 147);
            EXPECT_EQ(m.node[121][0], 60);
            EXPECT_EQ(m.node[121][1], 36);
        }
        // Class 0 covers targets 0..204, class 1 starts at 205.
        MagnitudeModel a = z.st.magnitudeTable[0], b = a;
        z.aim(204, 635);
        EXPECT_EQ(decodeMagnitude(z.st, a), 0u);
        EXPECT_EQ(a.classCount[0], 205 + rate);
        EXPECT_EQ(a.total, 635 + rate);
        z.aim(205, 635);
        EXPECT_EQ(decodeMagnitude(z.st, b), 1u);
        EXPECT_EQ(b.classCount[1], 124 + rate);
    }
}

TEST(MagnitudeModel, RateDecaysToTheFloorOfEachMethod) {
    const std::vector<uint32_t> method1 = {384, 368, 352, 336, 320, 304, 288, 272, 256, 240, 224,
                                           208, 192, 176, 160, 144, 128, 112, 96,  80,  64,  60,
                                           56,  52,  48,  44,  40,  36,  32,  28,  24,  20,  16};
    const std::vector<uint32_t> method2 = {192, 176, 160, 144, 128, 112, 96, 80, 64,
                                           48,  32,  28,  24,  20,  16,  12, 8};
    EXPECT_EQ(rateSequence(1, 40000), method1);
    EXPECT_EQ(rateSequence(2, 40000), method2);
}

TEST(MagnitudeModel, NodeCountsAreHalvedBeforeTheIncrement) {
    for (int method : {1, 2}) {
        ZeroStream z(method);
        MagnitudeModel& m = z.st.magnitudeTable[0];
        m.node[0][0] = 16385;
        m.node[0][1] = 10;
        z.aim(205 + 124, 635);  // first target of class 2; low is 0 behind it, so the bit is 0
        EXPECT_EQ(decodeMagnitude(z.st, m), 2u);
        EXPECT_EQ(m.node[0][0], method == 1 ? 8257 : 8201);
        EXPECT_EQ(m.node[0][1], 5);
        // 16384 itself is not halved.
        m.node[0][0] = 16384;
        z.aim(205 + 124, m.total);
        EXPECT_EQ(decodeMagnitude(z.st, m), 2u);
        EXPECT_EQ(m.node[0][0], 16384 + z.st.treeStep);
    }
}

TEST(MagnitudeModel, ValuesWalkTheirClassSubtreeAsAHeap) {
    ZeroStream z(1);
    // Class 7 with all bits 0: value 64 through nodes 57, 58, 60, 64, 72, 88.
    MagnitudeModel& m = z.st.magnitudeTable[1];
    z.aim(635 - 4, 635);
    EXPECT_EQ(decodeMagnitude(z.st, m), 64u);
    for (int n = 0; n < 122; n++) {
        const bool used = n == 57 || n == 58 || n == 60 || n == 64 || n == 72 || n == 88;
        EXPECT_EQ(m.node[n][0], used ? 124 : 60) << n;
        EXPECT_EQ(m.node[n][1], 36) << n;
    }
    // Training 109 = 64 + 101101b takes bits 1, 0, 1, 1, 0, 1 through nodes 57, 59, 62, 69, 83,
    // 110, each count of the bit gaining 40.
    MagnitudeModel& t = z.st.magnitudeTable[2];
    trainMagnitude(z.st, t, 109);
    const int nodes[6] = {57, 59, 62, 69, 83, 110}, bits[6] = {1, 0, 1, 1, 0, 1};
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(t.node[nodes[i]][bits[i]], (bits[i] ? 36 : 60) + 40) << nodes[i];
        EXPECT_EQ(t.node[nodes[i]][1 - bits[i]], bits[i] ? 60 : 36) << nodes[i];
    }
}

TEST(MagnitudeModel, TrainingIncrementsAndLimits) {
    {
        ZeroStream z(1);
        MagnitudeModel& m = z.st.magnitudeTable[0];
        trainMagnitude(z.st, m, 0);  // rate 384: 96 with low five bits cleared, plus 4
        EXPECT_EQ(m.classCount[0], 205 + 100);
        EXPECT_EQ(m.total, 635 + 100);
        m.rate = 368;
        trainMagnitude(z.st, m, 1);
        EXPECT_EQ(m.classCount[1], 124 + 68);
        m.rate = 16;
        trainMagnitude(z.st, m, 1);
        EXPECT_EQ(m.classCount[1], 124 + 68 + 4);
        // Node counts are halved only above 8192.
        m.node[0][0] = 8193;
        m.node[0][1] = 7;
        trainMagnitude(z.st, m, 2);
        EXPECT_EQ(m.node[0][0], 4097 + 40);
        EXPECT_EQ(m.node[0][1], 4);
        m.node[0][0] = 8192;
        trainMagnitude(z.st, m, 2);
        EXPECT_EQ(m.node[0][0], 8192 + 40);
        // A context whose total passed 32768 is left alone entirely; 32768 itself is trained.
        m.total = 32769;
        MagnitudeModel before = m;
        trainMagnitude(z.st, m, 100);
        EXPECT_EQ(std::memcmp(&before, &m, sizeof m), 0);
        m.total = 32768;
        trainMagnitude(z.st, m, 100);
        EXPECT_NE(std::memcmp(&before, &m, sizeof m), 0);
    }
    {
        ZeroStream z(2);
        MagnitudeModel& m = z.st.magnitudeTable[0];
        trainMagnitude(z.st, m, 3);  // rate 192: 6 * 15 + 4
        EXPECT_EQ(m.classCount[2], 147 + 94);
        EXPECT_EQ(m.node[0][1], 36 + 6);
        m.rate = 8;
        trainMagnitude(z.st, m, 3);
        EXPECT_EQ(m.classCount[2], 147 + 94 + 4);
    }
}

ResidualSymbolModel symbolModel(std::vector<uint16_t> counts) {
    ResidualSymbolModel m{};
    for (int i = 0; i < 7; i++) {
        m.count[i] = counts[i];
        m.total = uint16_t(m.total + counts[i]);
    }
    return m;
}

TEST(ResidualSymbolModel, RescalesAboveHalfTheRangeAndBecomesMature) {
    ZeroStream z(1);
    ResidualSymbolModel fresh;
    initResidualSymbolModel(fresh);
    EXPECT_EQ(fresh.total, 22);
    z.aim(7, 22);
    EXPECT_EQ(decodeResidualSymbol(z.st, fresh, 0), 0u);
    EXPECT_EQ(fresh.count[0], 40);
    EXPECT_EQ(fresh.total, 54);

    // Decodes symbol 0 from a model with the given counts and checks the counts and total after.
    auto decodeZero = [&](std::vector<uint16_t> counts, std::vector<uint16_t> after,
                          uint16_t total) {
        ResidualSymbolModel m = symbolModel(counts);
        z.aim(0, m.total & 0x7FFF);
        EXPECT_EQ(decodeResidualSymbol(z.st, m, 0), 0u);
        EXPECT_EQ(std::vector<uint16_t>(m.count, m.count + 7), after);
        EXPECT_EQ(m.total, total);
    };
    // At 8193, all counts at least 2: thirds rounded up; a count of 1 or 0: halves rounded up.
    decodeZero({8000, 100, 50, 20, 10, 8, 5}, {2667 + 32, 34, 17, 7, 4, 3, 2}, 0x8000 + 2734 + 32);
    decodeZero({8000, 100, 50, 20, 10, 12, 1}, {4000 + 32, 50, 25, 10, 5, 6, 1},
               0x8000 + 4097 + 32);
    decodeZero({8000, 100, 50, 20, 10, 13, 0}, {4000 + 32, 50, 25, 10, 5, 7, 0},
               0x8000 + 4097 + 32);

    // 8192 is not rescaled; a mature model keeps its bit and rescales again on its sum alone.
    ResidualSymbolModel full = symbolModel({8000, 100, 50, 20, 10, 8, 4});
    z.aim(0, 8192);
    decodeResidualSymbol(z.st, full, 0);
    EXPECT_EQ(full.total, 8192 + 32);
    ResidualSymbolModel mature = symbolModel({8000, 100, 50, 20, 10, 8, 5});
    mature.total |= 0x8000;
    z.aim(0, 8193);
    decodeResidualSymbol(z.st, mature, 0);
    EXPECT_EQ(mature.total, 0x8000 + 2734 + 32);
    EXPECT_FALSE(z.st.damaged);
}

TEST(ResidualSymbolModel, EscapesPickTheirMagnitudeContext) {
    ZeroStream z(1);
    const uint32_t base = 256 + 8 + 3;
    // Symbol 5 of a fresh model: 2 * 35 is not above 8 + 54 + 96, so h = 0: odd escapes use
    // base + 128. The magnitude decodes 0, so the value is 5.
    ResidualSymbolModel odd;
    initResidualSymbolModel(odd);
    z.aim(16, 22);
    EXPECT_EQ(decodeResidualSymbol(z.st, odd, base), 5u);
    // Symbol 6 with a dominant count: 2 * 332 > 1 + 338 + 96, so h = 1: base + 64.
    ResidualSymbolModel even = symbolModel({1, 1, 1, 1, 1, 1, 300});
    z.aim(6, 306);
    EXPECT_EQ(decodeResidualSymbol(z.st, even, base), 6u);
    for (int ctx = 0; ctx < kMagnitudeContexts; ctx++) {
        const bool used = ctx == int(base) + 128 || ctx == int(base) + 64;
        EXPECT_EQ(z.st.magnitudeTable[ctx].total, used ? 635 + 384 : 635) << ctx;
    }
    // The value is symbol + 2 * magnitude: aim the magnitude decode that follows the symbol at
    // the first target of class 7 (value 64 with zero bits), giving 6 + 128.
    ResidualSymbolModel big = symbolModel({1, 1, 1, 1, 1, 1, 300});
    const uint32_t other = 512 + 3;
    RangeDecoder& rc = z.st.range;
    rc.range = 0x80000000u;
    const uint32_t help = rc.range / 306;
    const uint32_t help2 = (rc.range - 6 * help) / 635;
    rc.low = 6 * help + 631 * help2;
    EXPECT_EQ(decodeResidualSymbol(z.st, big, other), 134u);
    EXPECT_EQ(z.st.magnitudeTable[other + 64].classCount[7], 4 + 384);
    EXPECT_FALSE(z.st.damaged);
}

TEST(ResidualSymbolModel, ImpossibleTotalsRefuseTheStream) {
    ZeroStream z(1);
    // A total word wrapped to the bare mature bit: no frequency to divide by.
    ResidualSymbolModel empty = symbolModel({1, 1, 1, 1, 1, 1, 1});
    empty.total = 0x8000;
    EXPECT_EQ(decodeResidualSymbol(z.st, empty, 0), 0u);
    EXPECT_TRUE(z.st.damaged);
    // Counts that sum to less than the total: the target lies past the last symbol, whose
    // interval would be empty (a range of 0 never normalises).
    z.st.damaged = false;
    ResidualSymbolModel shortCounts = symbolModel({1, 1, 1, 1, 1, 1, 0});
    shortCounts.total = 100;
    z.aim(90, 100);
    decodeResidualSymbol(z.st, shortCounts, 0);
    EXPECT_TRUE(z.st.damaged);
    EXPECT_GT(z.st.range.range, kRangeBottom);  // the decoder is still usable, it cannot hang
}

uint8_t b(int residual) {
    return uint8_t(residual);
}

struct Maps {
    uint8_t quantiserAndRank[512];
    uint8_t order[256];
    explicit Maps(int tolerance) { buildResidualMaps(tolerance, quantiserAndRank, order); }
    uint8_t quantiser(int residual) const { return quantiserAndRank[b(residual)]; }
    uint8_t rank(int residual) const { return quantiserAndRank[256 + b(residual)]; }
};

TEST(ResidualMaps, LosslessIsThePlainInterleaving) {
    Maps m(0);
    EXPECT_EQ(m.order[0], 0);
    for (int k = 1; k <= 127; k++) {
        EXPECT_EQ(m.order[2 * k - 1], b(-k));
        EXPECT_EQ(m.order[2 * k], b(k));
        EXPECT_EQ(m.quantiser(k), 2 * k);
        EXPECT_EQ(m.quantiser(-k), 2 * k - 1);
    }
    EXPECT_EQ(m.order[255], 0x80);
    EXPECT_EQ(m.quantiser(0), 0);
    EXPECT_EQ(m.quantiser(-128), 255);
}

TEST(ResidualMaps, ToleranceMovesMultiplesOfTheStepToTheFront) {
    Maps one(1);
    for (int d = 1; d <= 42; d++) {
        EXPECT_EQ(one.order[2 * d - 1], b(-3 * d)) << d;
        EXPECT_EQ(one.order[2 * d], b(3 * d)) << d;
    }
    for (int e = 2; e <= 4; e++) {
        EXPECT_EQ(one.quantiser(e), 2);
        EXPECT_EQ(one.quantiser(-e), 1);
    }
    for (int e = 5; e <= 7; e++) EXPECT_EQ(one.quantiser(e), 4);
    EXPECT_EQ(one.quantiser(1), 0);
    EXPECT_EQ(one.quantiser(-1), 0);
    EXPECT_EQ(one.quantiser(-128), 255);

    // Tolerance 5 (step 11): the swap for 11 * 11 moves again the entries that the swap for 11
    // had moved, so ±121 come right behind ±110 and ±1 land at the back.
    Maps five(5);
    EXPECT_EQ(five.order[1], b(-11));
    EXPECT_EQ(five.order[21], b(-121));
    EXPECT_EQ(five.order[22], b(121));
    EXPECT_EQ(five.order[241], b(-1));
    EXPECT_EQ(five.order[242], b(1));
    EXPECT_EQ(five.quantiser(5), 0);
    EXPECT_EQ(five.quantiser(6), 2);
    EXPECT_EQ(five.quantiser(-16), 1);
    EXPECT_EQ(five.quantiser(-17), 3);

    // For every tolerance the rank inverts the order, and the order is a permutation.
    for (int n = 0; n <= 15; n++) {
        Maps m(n);
        bool seen[256] = {};
        for (int s = 0; s < 256; s++) {
            EXPECT_FALSE(seen[m.order[s]]);
            seen[m.order[s]] = true;
            EXPECT_EQ(m.quantiserAndRank[256 + m.order[s]], s);
        }
    }
}

}  // namespace
}  // namespace pqz
