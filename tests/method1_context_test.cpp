// Method-1 decoder object: prediction, quantisers, context numbers, and which neighbouring
// contexts a decoded sample trains.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include "codec/method1/method1_decoder.h"

namespace pqz {
namespace {

struct Decoder {
    Method1Decoder d;
    Decoder(int width, int plane = 0, int tolerance = 0) {
        EXPECT_TRUE(createMethod1Decoder(d, width, 4, plane, tolerance));
        beginRow(d);
    }
    ~Decoder() { destroyMethod1Decoder(d); }
    RingEntry& at(int slot, int i) { return d.pos[slot][i]; }
};

int contextOf(const int (&t)[9], int f, int z, int level) {
    int c = 16 * f + 8 * z + level;
    for (int k = 0; k < 9; k++) c += featureWeight(k, t[k]);
    return c;
}

TEST(Method1Context, FreshObjectPredictsTheFillValue) {
    Decoder a(5);
    formContext(a.d, nullptr, nullptr);
    EXPECT_EQ(a.d.pred, 72);
    // Every feature in its middle, activity 0 (level 0), no error sum (z) and no errors in the
    // column above (f).
    const int middle[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(a.d.context, contextOf(middle, 1, 1, 0));
    EXPECT_EQ(a.d.context, 314936);
    EXPECT_EQ(a.d.escapeBase, 24);  // brightness level of 72
    for (int k = 0; k < 9; k++) EXPECT_EQ(a.d.feature[k], 1);

    // The plane index only moves the escape contexts.
    Decoder c(5, 3);
    formContext(c.d, nullptr, nullptr);
    EXPECT_EQ(c.d.context, 314936);
    EXPECT_EQ(c.d.escapeBase, 3 * 256 + 24);
}

TEST(Method1Context, MedianEdgePrediction) {
    Decoder a(5);
    const int cases[][4] = {{100, 50, 120, 50}, {100, 50, 30, 100}, {100, 50, 60, 90},
                            {50, 100, 100, 50}, {7, 7, 200, 7},     {0, 255, 255, 0}};
    for (const auto& c : cases) {
        a.at(1, 0).v = uint8_t(c[0]);   // N
        a.at(0, -1).v = uint8_t(c[1]);  // W
        a.at(1, -1).v = uint8_t(c[2]);  // NW
        formContext(a.d, nullptr, nullptr);
        EXPECT_EQ(a.d.pred, c[3]) << c[0] << " " << c[1] << " " << c[2];
    }
}

TEST(Method1Context, QuantiserLevels) {
    Decoder a(1, 2);
    const Method1Decoder& d = a.d;
    const int activity[][2] = {{0, 0}, {1, 0},  {2, 1},  {3, 2},   {4, 2},   {8, 3},
                               {9, 4}, {35, 5}, {36, 6}, {103, 6}, {104, 7}, {511, 7}};
    for (const auto& c : activity) EXPECT_EQ(d.activityLevel[c[0]], c[1]) << c[0];
    EXPECT_EQ(d.escapeLevel[0], 512u);
    EXPECT_EQ(d.escapeLevel[52], 512u + 6);
    EXPECT_EQ(d.escapeLevel[53], 512u + 7);
    EXPECT_EQ(d.escapeLevel[511], 512u + 7);
    for (int p = 0; p <= 5; p++) EXPECT_EQ(d.brightnessLevel[p], 0);
    EXPECT_EQ(d.brightnessLevel[6], 8);
    EXPECT_EQ(d.brightnessLevel[248], 48);
    for (int p = 249; p <= 255; p++) EXPECT_EQ(d.brightnessLevel[p], 56);
}

TEST(Method1Context, BrightnessFeatureAndFullActivity) {
    Decoder a(5);
    const int t0[][2] = {{22, 0}, {23, 1}, {216, 1}, {217, 2}, {255, 2}};
    for (const auto& c : t0) {
        a.at(1, 0).v = a.at(0, -1).v = a.at(1, -1).v = uint8_t(c[0]);
        formContext(a.d, nullptr, nullptr);
        EXPECT_EQ(a.d.feature[0], c[1]) << c[0];
    }
    // Errors of 255 everywhere reach the top activity index 510: level 7, escape level 7, and
    // the column above is no longer error free.
    for (int slot = 0; slot < 5; slot++)
        for (int i = -kRingFront; i < 5 + kRingRightMargin; i++) a.at(slot, i).e = 255;
    a.d.errorSum[0] = 1;
    formContext(a.d, nullptr, nullptr);
    EXPECT_EQ(a.d.context & 31, 7);
    EXPECT_EQ(a.d.escapeBase & 7, 7);
}

TEST(Method1Context, LaterPlanesOfAPixelUseThePlanesBefore) {
    Decoder x(5), y(5), d(5);
    // The nearer plane decoded 90 where it predicted 80 (error 10); its west neighbour was 85.
    x.at(0, 0) = RingEntry{90, 10};
    x.at(0, -1).v = 85;
    x.d.pred = 80;
    x.d.pos[0]++;
    x.d.pos[1]++;
    // Second plane: d3 is the nearer plane's residual; d5 and d6 are the same difference, so
    // t6 repeats t5's sign; f needs the nearer plane's error below 8.
    d.at(0, -2).v = 100;  // WW above W: 2W - WW - pred < 0
    formContext(d.d, &x.d, nullptr);
    EXPECT_EQ(d.d.feature[3], 2);
    EXPECT_EQ(d.d.feature[5], 0);
    EXPECT_EQ(d.d.feature[6], 0);
    EXPECT_EQ((d.d.context >> 4) & 1, 0);  // f: error 10 is not below 8
    // Third plane: f needs the two errors to sum below 16.
    y.at(0, 0) = RingEntry{72, 0};
    y.d.pred = 72;
    y.d.pos[0]++;
    formContext(d.d, &x.d, &y.d);
    EXPECT_EQ((d.d.context >> 4) & 1, 1);
    EXPECT_EQ(d.d.feature[8], 1);  // the farther plane's own residual is 0
}

TEST(Method1Context, BeginRowFillsTheMargins) {
    for (int width : {0, 1, 2, 7}) {
        Decoder a(width);
        // Decode a row by hand: values 10, 11, ... with errors 1, 2, ...
        for (int x = 0; x < width; x++) a.at(0, x) = RingEntry{uint8_t(10 + x), uint8_t(1 + x)};
        for (RingEntry*& p : a.d.pos) p += width;
        beginRow(a.d);
        if (width >= 6) {
            // The row above ends in its last samples mirrored.
            for (int k = 0; k < 6; k++) EXPECT_EQ(a.at(1, width + k).v, 10 + width - 1 - k);
        }
        // The left margin repeats the first four entries of the row above.
        for (int k = 0; k < 4; k++) {
            EXPECT_EQ(a.at(0, -1 - k).v, a.at(1, k).v);
            EXPECT_EQ(a.at(0, -1 - k).e, a.at(1, k).e);
        }
        // Even columns' sum includes R_0[-4] and R_0[-2], odd ones R_0[-3] and R_0[-1].
        EXPECT_EQ(a.d.errorSum[0], a.at(0, -4).e + a.at(0, -2).e);
        EXPECT_EQ(a.d.errorSum[1], a.at(0, -3).e + a.at(0, -1).e);
    }
}

// Models whose words differ between two copies of the model array.
std::set<int> changedModels(const std::vector<ResidualSymbolModel>& before,
                            const ResidualSymbolModel* after) {
    std::set<int> changed;
    for (int i = 0; i < kMethod1Contexts; i++)
        if (std::memcmp(&before[i], &after[i], sizeof(ResidualSymbolModel)) != 0) changed.insert(i);
    return changed;
}

struct Training {
    Decoder a{3};
    ReaderState& st = readerState();
    std::vector<ResidualSymbolModel> before;

    Training() { EXPECT_TRUE(initModelTables(st, 1)); }
    ~Training() { releaseModelTables(st); }

    // Trains with the given features and level after decoding v with prediction pred.
    std::set<int> train(const int (&t)[9], int level, int pred, int v, int base = 27) {
        for (int k = 0; k < 9; k++) a.d.feature[k] = t[k];
        a.d.context = contextOf(t, 0, 0, level);
        a.d.pred = pred;
        a.d.escapeBase = base;
        a.at(0, 0) = RingEntry{uint8_t(v), 0};
        before.assign(a.d.models, a.d.models + kMethod1Contexts);
        trainNeighbours(st, a.d);
        std::set<int> changed = changedModels(before, a.d.models);
        for (int i : changed) {  // every count increase went into the total as well
            int sumBefore = 0, sumAfter = 0;
            for (int s = 0; s < 7; s++) {
                sumBefore += before[i].count[s];
                sumAfter += a.d.models[i].count[s];
            }
            EXPECT_EQ(sumAfter - sumBefore, a.d.models[i].total - before[i].total) << i;
        }
        return changed;
    }
};

TEST(Method1Training, YoungSamplesTrainUpTo68Neighbours) {
    const int sideways[9] = {0, 2, 0, 2, 0, 2, 0, 2, 0};
    Training tr;
    EXPECT_EQ(tr.train(sideways, 3, 100, 101).size(), 68u);
    // Only activity levels next to the sample's are touched, never across the 0/7 boundary.
    for (int level : {0, 7}) {
        Training edge;
        std::set<int> changed = edge.train(sideways, level, 100, 101);
        EXPECT_EQ(changed.size(), 68u - 20);  // one side of every level pair is missing
        for (int i : changed) EXPECT_LE(std::abs((i & 7) - level), 1) << i;
    }
    // A context whose total reached 3276 trains only the mirror and its level neighbours.
    Training busy;
    const int c = contextOf(sideways, 0, 0, 3);
    busy.a.d.models[c].total = 3276;
    std::set<int> changed = busy.train(sideways, 3, 100, 101);
    int mirror = 3 + featureWeight(0, 1);
    for (int k = 1; k < 9; k++) mirror += featureWeight(k, 2 - sideways[k]);
    EXPECT_EQ(changed, (std::set<int>{c - 1, c + 1, mirror}));
}

TEST(Method1Training, MirrorOfAMiddleContextIsItself) {
    // All features in the middle: the mirror is the context itself, and its +17 for the
    // mirrored symbol counts towards the 3276 limit that decides on the wider training.
    const int middle[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
    Training tr;
    const int c = contextOf(middle, 0, 0, 0);
    std::set<int> changed = tr.train(middle, 0, 100, 101);  // residual +1: symbol 2, mirror 1
    EXPECT_EQ(changed.size(), 2u + 9 * 4);                  // C, C+1, and 2 x 2 per feature
    EXPECT_EQ(tr.a.d.models[c].count[1], 2 + 17);
    EXPECT_EQ(tr.a.d.models[c + 1].count[2], 2 + 11);
    EXPECT_EQ(tr.a.d.models[c + 1].count[1], 2 + 7);
    EXPECT_EQ(tr.a.d.models[c + featureWeight(4, 1)].count[2], 2 + 6);
    EXPECT_EQ(tr.a.d.models[c - featureWeight(4, 1) + 1].count[2], 2 + 4);

    Training limit;
    limit.a.d.models[c].total = 3276 - 17;
    EXPECT_EQ(limit.train(middle, 0, 100, 101), (std::set<int>{c, c + 1}));
}

TEST(Method1Training, EscapesTrainNeighbouringMagnitudeContexts) {
    // Residual +10 is the even escape 20 (magnitude 7). Escape base 27: brightness 24, level 3;
    // fresh models give h = 0, so contexts 28 and 26 (levels around) and 35 and 19 (brightness
    // around) are trained.
    const int sideways[9] = {0, 2, 0, 2, 0, 2, 0, 2, 0};
    Training tr;
    std::vector<MagnitudeModel> before(tr.st.magnitudeTable, tr.st.magnitudeTable + 1024);
    tr.train(sideways, 3, 100, 110);
    std::set<int> trained;
    for (int i = 0; i < 1024; i++)
        if (std::memcmp(&before[i], &tr.st.magnitudeTable[i], sizeof(MagnitudeModel)) != 0)
            trained.insert(i);
    EXPECT_EQ(trained, (std::set<int>{19, 26, 28, 35}));
    EXPECT_EQ(tr.st.magnitudeTable[28].classCount[3], 83 + 100);  // 7 is of class 3

    // Residual -10 is the odd escape 19: the contexts 128 further. At the edges of the level
    // and brightness ranges the base itself is trained instead of a neighbour outside.
    Training edge;
    std::vector<MagnitudeModel> before2(edge.st.magnitudeTable, edge.st.magnitudeTable + 1024);
    edge.train(sideways, 3, 100, 90, 256 + 56 + 7);
    trained.clear();
    for (int i = 0; i < 1024; i++)
        if (std::memcmp(&before2[i], &edge.st.magnitudeTable[i], sizeof(MagnitudeModel)) != 0)
            trained.insert(i);
    EXPECT_EQ(trained, (std::set<int>{256 + 128 + 56 + 7, 256 + 128 + 56 + 6, 256 + 128 + 48 + 7}));
}

}  // namespace
}  // namespace pqz
