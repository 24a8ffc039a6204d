// The per-sample path of coding method 1, inline so that the plane loops keep it in one piece:
// context formation, the requests for the models the sample will read and train, the symbol
// decode and the ring update. The neighbour training itself is out of line (method1_decoder.cpp).
#pragma once

#include <cstdint>

#include "codec/method1/method1_decoder.h"
#include "codec/shared/magnitude_models.h"

namespace pqz {

namespace method1_detail {

PQZ_HOT_INLINE void prefetchForWrite(const void* p) {
    prefetch(p, true);
}

// The ternary features by table, indexed by the difference they quantise: the sign (0 negative,
// 1 zero, 2 positive) of differences up to +-1020, and for differences up to +-510 the ternary
// quantiser with threshold T (0 below -T, 1 within, 2 above T) for T = 1, 2 and 4.
constexpr int kSignRange = 1020;
constexpr int kTernaryRange = 510;
constexpr int kTernaryThreshold[3] = {1, 2, 4};

// The brightness feature of a prediction: 0 up to kDarkPrediction, 2 above kBrightPrediction.
constexpr int kDarkPrediction = 22;
constexpr int kBrightPrediction = 216;

struct FeatureTables {
    uint8_t sign[2 * kSignRange + 1];
    uint8_t ternary[3][2 * kTernaryRange + 1];
    uint8_t brightness[256];
};

constexpr FeatureTables makeFeatureTables() {
    FeatureTables t{};
    for (int x = -kSignRange; x <= kSignRange; x++)
        t.sign[x + kSignRange] = uint8_t((x > 0) + (x >= 0));
    for (int i = 0; i < 3; i++) {
        const int th = kTernaryThreshold[i];
        for (int x = -kTernaryRange; x <= kTernaryRange; x++)
            t.ternary[i][x + kTernaryRange] = uint8_t((x > th) + (x >= -th));
    }
    for (int p = 0; p < 256; p++)
        t.brightness[p] = uint8_t((p > kDarkPrediction) + (p > kBrightPrediction));
    return t;
}
inline constexpr FeatureTables kFeatureTables = makeFeatureTables();

// The ternary quantiser of the two activity-dependent features, by activity level: the
// threshold is 1, 1, 2, 2, 2, 4, 4, 4.
inline constexpr const uint8_t* kTernaryOfLevel[8] = {
    kFeatureTables.ternary[0] + kTernaryRange, kFeatureTables.ternary[0] + kTernaryRange,
    kFeatureTables.ternary[1] + kTernaryRange, kFeatureTables.ternary[1] + kTernaryRange,
    kFeatureTables.ternary[1] + kTernaryRange, kFeatureTables.ternary[2] + kTernaryRange,
    kFeatureTables.ternary[2] + kTernaryRange, kFeatureTables.ternary[2] + kTernaryRange,
};

// The median of n, w and n + w - nw: lo when nw is at or above both, hi when at or below both,
// else n + w - nw, which then lies between them. Clamping the sum gives all three cases without a
// branch (which case comes depends on the picture, so a branch is often mispredicted).
inline int median(int n, int w, int nw) {
    const int lo = n < w ? n : w, hi = n < w ? w : n;
    const int edge = n + w - nw;
    const int atLeastLo = edge > lo ? edge : lo;
    return atLeastLo < hi ? atLeastLo : hi;
}

// refs: how many planes of the same pixel were decoded before this one (0, 1, or 2 and more).
template <int refs>
PQZ_HOT_INLINE void formContextInline(Method1Decoder& d, const Method1Decoder* x,
                                      const Method1Decoder* y) {
    const RingEntry* r0 = d.pos[0];
    const RingEntry* r1 = d.pos[1];
    const RingEntry* r2 = d.pos[2];
    const RingEntry n = r1[0], w = r0[-1], nw = r1[-1], ne = r1[1], nn = r2[0], ww = r0[-2],
                    w3 = r0[-3], nee = r1[2];
    const int pred = median(n.v, w.v, nw.v);

    const ColumnSummary above = *d.column;
    int activity = 6 * w.e + 4 * ww.e + 2 * r0[-4].e + w3.e + above.activity;
    int d3, d5, d6, d7, d8, f;
    if constexpr (refs == 0) {
        activity += above.firstPlane & ~kColumnQuiet;
        d3 = nee.v - pred;
        d5 = 2 * w.v - ww.v - pred;
        d6 = 2 * n.v - nn.v - pred;
        d7 = w.v + ne.v - n.v - pred;
        d8 = w3.v - 3 * ww.v + 3 * w.v - pred;
        f = (above.firstPlane & kColumnQuiet) != 0;
    } else if constexpr (refs == 1) {
        const RingEntry xCur = x->pos[0][-1], xW = x->pos[0][-2];
        activity += 3 * xCur.e + r1[3].e;
        d3 = xCur.v - x->cur.pred;
        d5 = 2 * w.v - ww.v - pred;
        d6 = d5;
        d7 = w.v + ne.v - n.v - pred;
        d8 = (xCur.v - xW.v) + w.v - pred;
        f = xCur.e < 8;
    } else {
        const RingEntry xCur = x->pos[0][-1], xW = x->pos[0][-2], xN = x->pos[1][-1];
        const RingEntry yCur = y->pos[0][-1], yW = y->pos[0][-2];
        activity += 2 * (xCur.e + yCur.e);
        d3 = xCur.v - x->cur.pred;
        d5 = (xCur.v - xN.v) + n.v - pred;
        d6 = (xCur.v - xW.v) + w.v - pred;
        d7 = (yCur.v - yW.v) + w.v - pred;
        d8 = yCur.v - y->cur.pred;
        f = xCur.e + yCur.e < 16;
    }

    const int a = (activity + 7) >> 4;
    const int level = d.activityLevel[a];
    const uint8_t* ter = kTernaryOfLevel[level];
    const uint8_t* sgn = kFeatureTables.sign + kSignRange;
    d.cur.pred = pred;
    d.cur.escapeBase = int(d.brightnessLevel[pred] + d.escapeLevel[a]);

    const int t0 = kFeatureTables.brightness[pred];
    const int t1 = sgn[nw.v - n.v];
    const int t2 = sgn[nw.v - w.v];
    const int t3 = sgn[d3];
    const int t4 = ter[ne.v - pred];
    const int t5 = ter[d5];
    const int t6 = sgn[d6];
    const int t7 = sgn[d7];
    const int t8 = sgn[d8];
    int* tk = d.cur.feature;
    tk[0] = t0, tk[1] = t1, tk[2] = t2, tk[3] = t3, tk[4] = t4;
    tk[5] = t5, tk[6] = t6, tk[7] = t7, tk[8] = t8;
    // sum of t_k * 3^k
    const int weights =
        t0 + 3 * (t1 + 3 * (t2 + 3 * (t3 + 3 * (t4 + 3 * (t5 + 3 * (t6 + 3 * (t7 + 3 * t8)))))));
    const int z = d.errorSum[d.parity] == 0;
    d.cur.context = 32 * weights + 16 * f + 8 * z + level;
}

// Where the training of a sample goes, per feature k and its value t, as byte offsets in the
// model table: `near` from the context to the context with feature k one step towards the middle
// (a feature in the middle: one step down), `far` to the context with the feature turned around
// (a feature in the middle: one step up), `mirrorNear` from the mirror context to the mirror with
// feature k at its middle (the brightness: at its lowest). The mirror context itself is every
// feature but the brightness turned around.
struct TrainingSteps {
    int32_t near;
    int32_t far;
    int32_t mirrorNear;
};

// The table keeps each kind of step in its own array, so that a step is one load indexed by the
// feature's value.
struct TrainingStepTable {
    int32_t near[kMethod1Features][3];
    int32_t far[kMethod1Features][3];
    int32_t mirrorNear[kMethod1Features][3];
};

constexpr TrainingStepTable makeTrainingSteps() {
    constexpr int kModel = int(sizeof(ResidualSymbolModel));
    TrainingStepTable table{};
    for (int k = 0; k < kMethod1Features; k++) {
        const int w = kFeatureUnit[k] * kModel;
        const TrainingSteps steps[3] = {{w, 2 * w, -w}, {-w, w, 0}, {-w, -2 * w, w}};
        for (int t = 0; t < 3; t++) {
            table.near[k][t] = steps[t].near;
            table.far[k][t] = steps[t].far;
            table.mirrorNear[k][t] = k == 0 ? -w : steps[t].mirrorNear;
        }
    }
    return table;
}
inline constexpr TrainingStepTable kTrainingSteps = makeTrainingSteps();

PQZ_HOT_INLINE TrainingSteps trainingSteps(int k, int t) {
    return {kTrainingSteps.near[k][t], kTrainingSteps.far[k][t], kTrainingSteps.mirrorNear[k][t]};
}

inline ResidualSymbolModel* stepped(ResidualSymbolModel* m, int32_t bytes) {
    return reinterpret_cast<ResidualSymbolModel*>(reinterpret_cast<char*>(m) + bytes);
}

// The mirror context is (C & 31) + w_0(1) + the sum over k >= 1 of w_k(2 - t_k); with the
// features' weights taken out of C this is 2 * (C & 31) - C + 32 * t_0 + kMirrorBase.
constexpr int middleWeights() {
    int sum = 0;
    for (int k = 1; k < kMethod1Features; k++) sum += kFeatureUnit[k];
    return sum;
}
constexpr int kMirrorBase = featureWeight(0, 1) + 2 * middleWeights();

inline ResidualSymbolModel* mirrorOf(ResidualSymbolModel* models, int context, int t0) {
    return models + (2 * (context & 31) - context + kMirrorBase + 32 * t0);
}

// Asks the cache for the models that the neighbour training of the current sample will touch
// (total: its model's total word before the decode): the training follows the symbol decode,
// whose arithmetic leaves time for them to arrive. A model of total kResidualRescaleLimit or less
// stays young through this decode (larger ones become mature by its rescale, or are already), so
// its mirror will be trained; the feature neighbours only below kFeatureTrainingLimit. Whether
// a model is young depends on the picture: the mirror's request is chosen without a branch (a
// mature model asks for its own line again), and one branch decides on the feature neighbours.
PQZ_HOT_INLINE void prefetchTrainingTargets(const Method1Decoder& d, uint32_t total) {
    ResidualSymbolModel* const context = d.models + d.cur.context;
    ResidualSymbolModel* const mirror = mirrorOf(d.models, d.cur.context, d.cur.feature[0]);
    prefetchForWrite(total <= kResidualRescaleLimit ? mirror : context);
    if (total + kResidualSymbolStep >= kFeatureTrainingLimit) return;
    const int* tk = d.cur.feature;
#pragma GCC unroll 9
    for (int k = 0; k < kMethod1Features; k++) {
        const TrainingSteps step = trainingSteps(k, tk[k]);
        prefetchForWrite(stepped(context, step.near));
        prefetchForWrite(stepped(context, step.far));
        prefetchForWrite(stepped(mirror, step.mirrorNear));
    }
}

}  // namespace method1_detail

// A sample is decoded in two halves, with the training of the previous one in between:
//   beginSample(D, X, Y)   the context of D's sample; its model is requested from memory
//   trainPending(previous) the neighbour training owed by the sample decoded before
//   finishSample(D)        sets up the models the sample reaches if its block of contexts has
//                          not been decoded from yet, decodes D's sample, stores it in the ring,
//                          notes the training it owes
// The training changes models only, the context formation reads none, and the model is read only
// by finishSample, after the training: the order of all reads and writes of a model is that of
// decoding the samples one after the other. The samples of an interleaved image alternate
// between decoders, whose fields stay as they are until the training; in a single plane the next
// context overwrites them, so finishSample<true> keeps a copy of the sample for its training.
// The set-up writes initial models only into blocks that nothing has read or written yet, and
// every model a training reads or changes was set up with its sample's decode, before it: each
// step sees what a table set up whole before the plane would hold.

template <int refs>
PQZ_HOT_INLINE void beginSample(Method1Decoder& d, const Method1Decoder* x,
                                const Method1Decoder* y) {
    method1_detail::formContextInline<refs>(d, x, y);
    method1_detail::prefetchForWrite(d.models + d.cur.context);
}

// scaled: the symbol found with one division (decodeResidualSymbol).
template <bool keepSample, bool scaled = false>
PQZ_HOT_INLINE uint8_t finishSample(RangeDecoder& rc, Method1Decoder& d, bool refuseWideSymbols) {
    // The first sample of a block of contexts sets up the models it and its training reach.
    const uint32_t block = uint32_t(d.cur.context) >> kModelBlockShift;
    if (!expectTrue((d.reachReady[block >> 6] >> (block & 63)) & 1)) setUpReach(d);
    ResidualSymbolModel& m = d.models[d.cur.context];
    method1_detail::prefetchTrainingTargets(d, m.total);
    const uint32_t s =
        decodeResidualSymbol<scaled>(rc, *d.magnitudes, m, uint32_t(d.cur.escapeBase));
    if (s > 255 && refuseWideSymbols) rc.damaged = true;
    const int v = (d.residualOrder[s & 0xFF] + d.cur.pred) & 0xFF;
    RingEntry* r0 = d.pos[0];
    const int e = v > d.cur.pred ? v - d.cur.pred : d.cur.pred - v;
    r0[0] = RingEntry{uint8_t(v), uint8_t(e)};
    d.errorSum[d.parity] += e - r0[-4].e + d.column->errorChange;
    d.parity = 1 - d.parity;
    d.cur.value = v;
    d.trainingDue = m.total < kTrainingLimit;
    if (keepSample) d.pending = d.cur;  // a copy costs less than a mispredicted branch
    d.pos[0]++;
    d.pos[1]++;
    d.pos[2]++;
    d.column++;  // slots 3 and 4 are read through the row's summaries alone
    return uint8_t(v);
}

// keptSample: as the sample's finishSample<keepSample>.
template <bool keptSample>
PQZ_HOT_INLINE void trainPending(Method1Decoder& d) {
    if (!d.trainingDue) return;
    d.trainingDue = false;
    trainNeighbours(d, keptSample ? d.pending : d.cur);
}

}  // namespace pqz
