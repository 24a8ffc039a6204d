// Method-1 decoder object: prediction, quantisers, context numbers, and which neighbouring
// contexts a decoded sample trains.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "codec/method1/method1_decoder.h"
#include "tests/support/method1_support.h"

namespace pqz {
namespace {

struct Decoder {
    Method1Decoder d;
    explicit Decoder(int plane = 0) {
        EXPECT_TRUE(createMethod1Decoder(d, 5, 4, plane, 0));
        beginRow(d);
    }
    ~Decoder() { destroyMethod1Decoder(d); }
    RingEntry& at(int slot, int i) { return d.pos[slot][i]; }
};

int contextOf(const int (&t)[9], int level) {
    int c = level;
    for (int k = 0; k < 9; k++) c += featureWeight(k, t[k]);
    return c;
}

TEST(Method1Context, FreshObjectAndPrediction) {
    Decoder a(3);
    formContext(a.d, nullptr, nullptr);
    // Fill value 72, every feature in its middle, activity level 0, z = 1 and f = 1.
    EXPECT_EQ(a.d.cur.pred, 72);
    EXPECT_EQ(a.d.cur.context, 314936);
    EXPECT_EQ(a.d.cur.escapeBase, 3 * 256 + 24);  // plane 3, brightness level of 72

    // Median edge detector on N, W, NW: each of its three cases, NW equal to N or W (the
    // boundaries between the cases), N equal to W, and the ends of the sample range.
    const int cases[][4] = {{100, 50, 120, 50}, {100, 50, 30, 100}, {100, 50, 60, 90},
                            {100, 50, 100, 50}, {50, 100, 50, 100}, {100, 50, 51, 99},
                            {80, 80, 30, 80},   {80, 80, 200, 80},  {0, 255, 0, 255},
                            {0, 255, 255, 0},   {255, 0, 1, 254},   {255, 255, 0, 255}};
    for (const auto& c : cases) {
        a.at(1, 0).v = uint8_t(c[0]);
        a.at(0, -1).v = uint8_t(c[1]);
        a.at(1, -1).v = uint8_t(c[2]);
        formContext(a.d, nullptr, nullptr);
        EXPECT_EQ(a.d.cur.pred, c[3]);
    }
    const int t0[][2] = {{22, 0}, {23, 1}, {216, 1}, {217, 2}};
    for (const auto& c : t0) {
        a.at(1, 0).v = a.at(0, -1).v = a.at(1, -1).v = uint8_t(c[0]);
        formContext(a.d, nullptr, nullptr);
        EXPECT_EQ(a.d.cur.feature[0], c[1]) << c[0];
    }
}

TEST(Method1Context, ExtremeDifferencesReachTheOuterFeatureValues) {
    // W3 = 255, WW = 0, W = 255, N = 0, NW = 255 predicts 0: the cubic difference is +1020 and
    // the straight one +510, the largest that the quantisers see; the mirrored neighbourhood
    // predicts 255 and gives -1020 and -510.
    Decoder a;
    const int cases[][6] = {{255, 0, 255, 0, 255, 2}, {0, 255, 0, 255, 0, 0}};
    for (const auto& c : cases) {
        a.at(0, -3).v = uint8_t(c[0]);
        a.at(0, -2).v = uint8_t(c[1]);
        a.at(0, -1).v = uint8_t(c[2]);
        a.at(1, 0).v = uint8_t(c[3]);
        a.at(1, -1).v = uint8_t(c[4]);
        formContext(a.d, nullptr, nullptr);
        EXPECT_EQ(a.d.cur.pred, c[5] ? 0 : 255);
        EXPECT_EQ(a.d.cur.feature[8], c[5]);  // W3 - 3 WW + 3 W - pred
        EXPECT_EQ(a.d.cur.feature[5], c[5]);  // 2 W - WW - pred
        EXPECT_EQ(a.d.cur.feature[2], 1);     // NW - W
    }
}

TEST(Method1Context, QuantiserLevels) {
    Decoder a(2);
    const int activity[][2] = {{1, 0}, {2, 1}, {3, 2}, {4, 2}, {103, 6}, {104, 7}, {511, 7}};
    for (const auto& c : activity) EXPECT_EQ(a.d.activityLevel[c[0]], c[1]) << c[0];
    EXPECT_EQ(a.d.escapeLevel[52], 512u + 6);
    EXPECT_EQ(a.d.escapeLevel[53], 512u + 7);
    const int brightness[][2] = {{5, 0}, {6, 8}, {248, 48}, {249, 56}};
    for (const auto& c : brightness) EXPECT_EQ(a.d.brightnessLevel[c[0]], c[1]) << c[0];
}

// Trains one sample on a fresh decoder and returns the models and magnitude contexts changed.
struct Training {
    Decoder a;
    MagnitudeTable table;
    std::set<int> models, magnitudes;

    Training() {
        EXPECT_TRUE(table.create(1));
        a.d.magnitudes = &table;
        test::setUpAllModels(a.d);  // the whole table is compared
    }

    void train(const int (&t)[9], int level, int pred, int v, int base = 27) {
        for (int k = 0; k < 9; k++) a.d.cur.feature[k] = t[k];
        a.d.cur.context = contextOf(t, level);
        a.d.cur.pred = pred;
        a.d.cur.escapeBase = base;
        a.at(0, 0) = RingEntry{uint8_t(v), 0};
        const std::vector<ResidualSymbolModel> before(a.d.models, a.d.models + kMethod1Contexts);
        const std::vector<MagnitudeModel> mags(&table[0], &table[0] + 1024);
        a.d.cur.value = a.d.pos[0][0].v;
        trainNeighbours(a.d, a.d.cur);
        for (int i = 0; i < kMethod1Contexts; i++) {
            const ResidualSymbolModel &was = before[i], &is = a.d.models[i];
            if (std::memcmp(&was, &is, sizeof was) == 0) continue;
            models.insert(i);
            int added = 0;  // every count increase also went into the total
            for (int s = 0; s < 7; s++) added += is.count[s] - was.count[s];
            EXPECT_EQ(added, is.total - was.total) << i;
        }
        for (int i = 0; i < 1024; i++)
            if (std::memcmp(&mags[i], &table[i], sizeof(MagnitudeModel)) != 0) magnitudes.insert(i);
    }
};

const int kSideways[9] = {0, 2, 0, 2, 0, 2, 0, 2, 0};  // no feature in its middle
const int kMiddle[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};

TEST(Method1Training, NeighbourhoodAndLimits) {
    Training mid;
    mid.train(kSideways, 3, 100, 101);
    EXPECT_EQ(mid.models.size(), 68u);
    // Only adjacent activity levels, never across the 0/7 boundary.
    for (int level : {0, 7}) {
        Training edge;
        edge.train(kSideways, level, 100, 101);
        EXPECT_EQ(edge.models.size(), 68u - 20);
        for (int i : edge.models) EXPECT_LE(std::abs((i & 7) - level), 1) << i;
    }
    // A context whose total reached 3276 trains only the mirror and its own level neighbours.
    Training busy;
    const int c = contextOf(kSideways, 3);
    busy.a.d.models[c].total = 3276;
    busy.train(kSideways, 3, 100, 101);
    int mirror = 3 + featureWeight(0, 1);
    for (int k = 1; k < 9; k++) mirror += featureWeight(k, 2 - kSideways[k]);
    EXPECT_EQ(busy.models, (std::set<int>{c - 1, c + 1, mirror}));
    // With all features in the middle the mirror is the context itself: its +17 (residual +1
    // is symbol 2, mirrored symbol 1) counts towards that limit.
    const int m = contextOf(kMiddle, 0);
    Training middle;
    middle.train(kMiddle, 0, 100, 101);
    EXPECT_EQ(middle.models.size(), 2u + 9 * 4);
    EXPECT_EQ(middle.a.d.models[m].count[1], 2 + 17);
    EXPECT_EQ(middle.a.d.models[m + 1].count[2], 2 + 11);
    EXPECT_EQ(middle.a.d.models[m + 1].count[1], 2 + 7);
    Training limit;
    limit.a.d.models[m].total = 3276 - 17;
    limit.train(kMiddle, 0, 100, 101);
    EXPECT_EQ(limit.models, (std::set<int>{m, m + 1}));
}

TEST(Method1Training, EscapesTrainNeighbouringMagnitudeContexts) {
    // Residual +10 folds to 20, the even escape of magnitude 7. Escape base 27 (brightness 24,
    // level 3), h = 0: levels 26 and 28, brightness 19 and 35.
    Training even;
    even.train(kSideways, 3, 100, 110);
    EXPECT_EQ(even.magnitudes, (std::set<int>{19, 26, 28, 35}));
    EXPECT_EQ(even.table[28].classCount[3], 83 + 100);
    // Residual -10 is the odd escape 19, 128 contexts further. At the top level and brightness
    // the base itself stands in for the missing neighbour.
    Training odd;
    odd.train(kSideways, 3, 100, 90, 256 + 56 + 7);
    const int b = 256 + 128 + 56 + 7;
    EXPECT_EQ(odd.magnitudes, (std::set<int>{b, b - 1, b - 8}));
}

// The context formation reads the rows above through summaries made once per row, eight columns
// at a time where vectors are at hand: every column agrees with the plain sums over the ring, for
// widths below, at and past the group of eight, narrow rows that read their margins, quiet
// columns and the largest errors.
TEST(Method1Context, RowSummariesAgreeWithTheRowsAbove) {
    std::mt19937 random(7);
    for (int width : {1, 3, 5, 8, 9, 16, 23, 70}) {
        Method1Decoder d;
        ASSERT_TRUE(createMethod1Decoder(d, width, 8, 0, 0));
        for (int y = 0; y < 8; y++) {
            beginRow(d);
            for (int x = 0; x < width; x++) {
                const ColumnSummary want = summariseColumn(d.pos, x), is = d.columns[x];
                ASSERT_EQ(is.activity, want.activity) << "width " << width << " row " << y;
                ASSERT_EQ(is.firstPlane, want.firstPlane) << "width " << width << " row " << y;
                ASSERT_EQ(is.errorChange, want.errorChange) << "width " << width << " row " << y;
            }
            for (int x = 0; x < width; x++) {  // the row as a decode leaves it
                const uint8_t e = random() % 2 ? 0 : uint8_t(random() % 2 ? 255 : random());
                d.pos[0][x] = RingEntry{uint8_t(random()), e};
            }
            d.pos[0] += width;
        }
        destroyMethod1Decoder(d);
    }
}

}  // namespace
}  // namespace pqz
