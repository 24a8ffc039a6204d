// Coding method 2: prediction of a sample and its coding contexts. A context-selected linear
// predictor blended with the predictors of six neighbouring samples, five cascaded bias
// corrections, and the contexts of the residual models.
#include "codec/method2/method2_decoder.h"
#include "codec/method2/method2_float.h"
#include "codec/method2/method2_gradients.h"

namespace pqz::method2 {

namespace {

constexpr float kBlendCoefficient[4][6] = {
    {0.4f, 0.1f, 0.15f, 0.23f, 0.04f, 0.03f},
    {0.26f, 0.23f, 0.13f, 0.12f, 0.15f, 0.12f},
    {0.27f, 0.22f, 0.26f, 0.08f, 0.12f, 0.05f},
    {0.3f, 0.14f, 0.08f, 0.22f, 0.18f, 0.09f},
};

// The blend coefficients spread over the four lanes of a group, filled when the library is
// loaded.
struct BlendLanes {
    alignas(16) float lane[4][6][4];
    BlendLanes() {
        for (int c = 0; c < 4; c++)
            for (int n = 0; n < 6; n++)
                for (int l = 0; l < 4; l++) lane[c][n][l] = kBlendCoefficient[c][n];
    }
};
const BlendLanes blendLanes;

constexpr int32_t kContextThreshold[6][13] = {
    {6, 14, 28, 4, 8, 26, 4096, 6144, 13056, 10240, 14336, 26624, 36864},
    {4, 15, 42, 1, 8, 19, 2560, 6912, 11264, 10240, 28672, 71680, 139264},
    {5, 14, 21, 4, 9, 25, 3840, 8448, 12032, 16384, 26624, 43008, 83968},
    {6, 11, 20, 5, 11, 23, 2816, 5888, 10496, 22528, 32768, 51200, 131072},
    {0, 11, 30, 7, 13, 22, 4352, 8448, 14848, 16384, 38912, 57344, 94208},
    {7, 10, 31, -1, 11, 21, -256, 1024, 5888, -2048, -2048, -2048, 145408},
};

// Bit b of the 32-bit two's-complement value of x. The stage keys form their sums in unsigned
// 32-bit arithmetic (the prediction as uint32_t), which wraps as the two's-complement sum does
// and needs no widening of the neighbour values.
inline uint32_t bitOf(uint32_t x, int b) {
    return x & (1u << b);
}

inline int32_t add32(int32_t a, int32_t b) {
    return int32_t(uint32_t(a) + uint32_t(b));
}
inline int32_t sub32(int32_t a, int32_t b) {
    return int32_t(uint32_t(a) - uint32_t(b));
}

inline int32_t count3(int32_t v, int32_t t0, int32_t t1, int32_t t2) {
    return (v > t0) + (v > t1) + (v > t2);
}

// Row pointers at the current column of a decoder: C is the current row, U1..U4 the rows above.
struct Rows {
    const PixelRecord* C;
    const PixelRecord* U1;
    const PixelRecord* U2;
    const PixelRecord* U3;
    const PixelRecord* U4;
    explicit Rows(const Method2Decoder& d)
        : C(d.rowBuffer[0] + d.column),
          U1(d.rowBuffer[1] + d.column),
          U2(d.rowBuffer[2] + d.column),
          U3(d.rowBuffer[3] + d.column),
          U4(d.rowBuffer[4] + d.column) {}
};

// The sums' parts of the rows above at the current column; part k at [kPartColumns * k].
inline const uint32_t* partsAt(const Method2Decoder& d) {
    const int x = d.column;
    return d.partsAbove + kPartColumns * (x / kPartColumns * kPartsAbove) + x % kPartColumns;
}
inline int32_t part(const uint32_t* parts, PartAbove k) {
    return int32_t(parts[kPartColumns * k]);
}

// Prediction of the slot blended with its neighbours' slots, in 1/16 units. Centres the
// features on the fixed-weight prediction and sets up a slot on its first use.
int32_t directionalEstimate(PredictorSlot& slot, float* inputs, const PredictorSlot* const nb[6],
                            int cls, const float* fixedWeight, LaneWidth lanes) {
    float* x = inputs;
    const float base = dot28(fixedWeight, x);
    inputs[28] = base;
    centreInputs(x, base);

    const float(*k)[4] = blendLanes.lane[cls];
    alignas(16) float b[kInputs];
    blendWeightsIn(lanes, b, k, nb);
    const float blend = fsum(dot28(b, x), base);
    inputs[30] = blend;

    if (slot.useCount == 0) {
        inheritSlot(slot, b, nb[0]->power);
        slot.mixNum = 47.0f;
        slot.mixDen = 169.2f;
        slot.stepScale = 1.0f;
        inputs[29] = blend;
        return truncateToInt(blend);
    }
    const float own = fsum(base, dot28(slot.weight, x));
    inputs[29] = own;
    return truncateToInt(fsum(blend, fquot(fprod(fdiff(own, blend), slot.mixNum), slot.mixDen)));
}

// Integer features of the sample; the first sixteen read aux, the rest value.
void singlePlaneFeatures(const Rows& r, const uint32_t* parts, int32_t* f) {
    const PixelRecord *C = r.C, *U1 = r.U1, *U2 = r.U2, *U3 = r.U3, *U4 = r.U4;
    f[0] = U1[0].aux;
    f[1] = U1[1].aux;
    f[2] = U1[0].aux - U1[-1].aux + C[-1].aux;
    f[3] = U1[0].aux - U1[-2].aux + C[-2].aux;
    f[4] = U1[0].aux + U1[-1].aux - U2[-1].aux;
    f[5] = part(parts, kFeature5);
    f[6] = U1[2].aux - U1[1].aux + C[-1].aux;
    f[7] = U1[1].aux - U1[-1].aux + C[-2].aux;
    f[8] = 2 * C[-1].aux - C[-2].aux;
    f[9] = U1[0].aux - U1[-3].aux + C[-3].aux;
    f[10] = part(parts, kFeature10);
    f[11] = C[-3].aux;
    f[12] = U1[0].aux + U1[-2].aux - U2[-2].aux;
    f[13] = U1[-1].aux - U1[-3].aux + C[-2].aux;
    f[14] = part(parts, kFeature14);
    f[15] = U3[0].aux;
    f[16] = part(parts, kFeature16);
    f[17] = U1[0].value - U1[-4].value + C[-4].value;
    f[18] = part(parts, kFeature18);
    f[19] = part(parts, kFeature19);
    f[20] = part(parts, kFeature20);
    f[21] = U1[3].value;
    f[22] = C[-1].value + C[-3].value - C[-4].value;
    f[23] = U3[0].value - U3[-1].value + C[-1].value;
    f[24] = U1[0].value - U1[-5].value + C[-5].value;
    f[25] = U4[0].value;
    f[26] = C[-1].value + C[-5].value - C[-6].value;
    f[27] = U1[-6].value;
}

// The last twelve features of a multi-plane image, which also look at the reference planes.
void multiPlaneFeatures(const Method2Decoder& d, const Rows& r, const Rows& r1, const Rows& r2,
                        int32_t* f) {
    const PixelRecord *C = r.C, *U1 = r.U1, *U2 = r.U2, *U3 = r.U3;
    const PixelRecord *aC = r1.C, *aU1 = r1.U1, *aU2 = r1.U2;  // first reference
    const PixelRecord *bC = r2.C, *bU1 = r2.U1, *bU2 = r2.U2;  // second reference
    if (d.planeIndex == 0) {
        f[16] = C[-1].value + C[-3].value - C[-4].value;
        f[17] = U1[0].value - U1[-5].value + C[-5].value;
        f[18] = U1[0].value - U1[-4].value + C[-4].value;
        f[19] = (3 * U1[1].value + U2[0].value - 4 * U2[1].value) -
                ((((U1[2].value - U1[0].value) - (U3[2].value - U3[0].value)) >> 1) - U3[1].value);
        f[20] = aC[-1].value - aC[-3].value + C[-2].value;
        f[21] = aU1[0].value - aU2[1].value + U1[1].value;
        f[22] = aU1[1].value - aU2[-1].value + U1[-2].value;
        f[23] = (aC[-1].value + aC[-3].value - C[-2].value) + 2 * (C[-1].value - aC[-2].value);
        f[24] = bC[-1].value - bU2[0].value + U2[1].value;
        f[25] = bC[-1].value - bC[-3].value + C[-2].value;
        f[26] = bU1[0].value - bU1[-1].value + C[-1].value;
        f[27] = bU1[1].value - bU2[2].value + U1[1].value;
    } else if (d.planeIndex == 1) {
        f[16] = U1[3].aux + C[0].aux;
        f[17] = aU1[1].value - aU1[-1].value + C[-2].value;
        f[18] = aC[-2].value - aU1[-1].value + U1[1].value;
        f[19] = aU1[-1].value - aU1[-2].value + C[-1].value;
        f[20] = bU1[1].value - bU2[2].value + U1[1].value;
        f[21] = bC[-1].value - bC[-3].value + C[-2].value;
        f[22] = bC[-1].value - bU1[-1].value + U1[0].value;
        f[23] = aC[-1].err + C[-2].value;
        if (d.hasReference) {
            f[24] = U1[0].value;
            f[25] = C[-3].value;
            f[26] = aC[-2].value - aC[-3].value + C[-1].value;
            f[27] = C[-1].value + C[-3].value - C[-4].value;
        } else {
            f[24] = aC[-1].value - aC[-3].value + C[-2].value;
            f[25] = aC[-1].value - aU2[-1].value + U2[0].value;
            f[26] =
                (aC[-1].value + aU2[-1].value - U2[0].value) + 2 * (U1[0].value - aU1[-1].value);
            f[27] = aC[-1].value - aC[-2].value - aU1[-2].value + aU1[-3].value + U1[-1].value -
                    U1[-2].value + C[-1].value;
        }
    } else {
        f[16] = C[-1].value + C[-3].value - C[-4].value;
        f[17] = aC[-2].value - aC[-3].value + C[-1].value;
        f[18] = aU1[-1].value - aU2[0].value + U1[1].value;
        f[19] = aU1[1].value - aU1[-1].value + C[-2].value;
        f[20] = aC[-3].value - aU1[-3].value + U1[0].value;
        f[21] = aC[-1].value - aU1[-1].value + U1[0].value;
        f[22] = aC[-1].value - aC[-3].value + C[-2].value;
        f[23] = bC[-1].value - bC[-3].value + C[-2].value;
        f[24] = bC[-1].value - bU2[-1].value + U2[0].value;
        f[25] = (bC[-1].value + bC[-3].value - C[-2].value) + 2 * (C[-1].value - bC[-2].value);
        f[26] = bC[-1].err + C[-2].value;
        f[27] = aC[-1].err + U2[0].value;
    }
}

// Index of a bias cell: counts in bits 0-1 and 2-3 of the index, feature bits above.
inline int32_t cellIndex(int32_t lowCount, int32_t midCount, uint32_t featureBits) {
    return int32_t(((uint32_t(lowCount) << 11) | (uint32_t(midCount) << 13) | featureBits) >> 11);
}

// What every bias stage reads: the rows at the current column, the reference planes' rows on
// multi-plane images, and the activity measures of the neighbourhood.
struct CascadeInputs {
    const PixelRecord *C, *U1, *U2, *U3, *U4;
    const Rows* r1;  // reference planes (multi-plane images only)
    const Rows* r2;
    const uint32_t* above;  // the column's sums' parts of the rows above (partsAt)
    int32_t a0;             // the current sample's reference (aux)
    int32_t a;              // absolute errors around the sample
    int32_t bx;             // gradient and near errors, scaled
};

inline uint32_t aboveOf(const CascadeInputs& in, PartAbove k) {
    return uint32_t(part(in.above, k));
}

// The cell a stage picks: counts of two activity measures and the feature bits.
struct StageKey {
    int32_t low;
    int32_t mid;
    uint32_t bits;
};

// Stage features by stage and plane mode (multi: an image of three or four planes, whose stages
// also read the reference planes). p is the prediction so far.
template <int stage, bool multi>
PQZ_HOT_INLINE StageKey stageKey(const CascadeInputs& in, int32_t pred);

// Bits 15 to 19 of stage 0, the same in both plane modes.
PQZ_HOT_INLINE uint32_t stage0OwnBits(const CascadeInputs& in) {
    const PixelRecord *C = in.C, *U1 = in.U1, *U3 = in.U3;
    return bitOf(C[-3].err, 15) | bitOf(C[-1].err, 16) |
           bitOf(C[-7].err + C[-5].err + C[-3].err + U1[-3].err, 17) |
           bitOf(C[-2].err + 2 * C[-4].err + U3[0].err, 18) |
           bitOf(C[-1].err + aboveOf(in, kErrUpThree), 19);
}

template <>
PQZ_HOT_INLINE StageKey stageKey<0, false>(const CascadeInputs& in, int32_t pred) {
    const PixelRecord *C = in.C, *U1 = in.U1;
    uint32_t bits = stage0OwnBits(in);
    bits |= bitOf(C[-7].err, 20) | bitOf(C[-5].err, 21) | bitOf(C[-4].err, 22) |
            bitOf(C[-6].err + C[-4].err, 23) |
            bitOf(C[-8].err + C[-4].err + aboveOf(in, kErrUpTwoPair), 24) |
            bitOf(C[-5].err + C[-7].err + C[-3].err + U1[3].err, 25);
    return {count3(in.a, 240, 400, 752), count3(pred, 288, 720, 3536), bits};
}

template <>
PQZ_HOT_INLINE StageKey stageKey<0, true>(const CascadeInputs& in, int32_t pred) {
    const PixelRecord* C = in.C;
    const PixelRecord *aC = in.r1->C, *bC = in.r2->C;
    uint32_t bits = stage0OwnBits(in);
    bits |= bitOf(C[-2].err, 20) | bitOf(aC[-1].err + aC[-3].err, 21) |
            bitOf(bC[-1].err + bC[-3].err, 22) | bitOf(aC[-2].err, 23) | bitOf(bC[-1].err, 24) |
            bitOf(bC[-2].err, 25);
    return {count3(in.a, 240, 400, 752), count3(pred, 288, 720, 3536), bits};
}

template <>
PQZ_HOT_INLINE StageKey stageKey<1, false>(const CascadeInputs& in, int32_t pred) {
    const PixelRecord *C = in.C, *U1 = in.U1, *U4 = in.U4;
    const uint32_t p = uint32_t(pred);
    const uint32_t bits =
        bitOf(p - C[-5].value, 15) | bitOf(p - U4[-3].value, 16) | bitOf(p - U4[2].value, 17) |
        bitOf(p - U4[4].value, 18) | bitOf(p - U1[5].value, 19) |
        bitOf((p - C[-2].value) + aboveOf(in, kStage1Bit20), 20) |
        bitOf(p + aboveOf(in, kStage1Bit21), 21) | bitOf(p + aboveOf(in, kStage1Bit22), 22) |
        bitOf((p - C[-3].value) + aboveOf(in, kStage1Bit23), 23) |
        bitOf((p - C[-3].value) + aboveOf(in, kStage1Bit24), 24) |
        bitOf(p + aboveOf(in, kStage1Bit25), 25);
    return {count3(in.bx, 11, 24, 39), count3(pred, 240, 1024, 2400), bits};
}

template <>
PQZ_HOT_INLINE StageKey stageKey<1, true>(const CascadeInputs& in, int32_t pred) {
    const PixelRecord *C = in.C, *U1 = in.U1, *U2 = in.U2, *U4 = in.U4;
    const PixelRecord *aC = in.r1->C, *aU1 = in.r1->U1, *aU2 = in.r1->U2;
    const PixelRecord *bC = in.r2->C, *bU1 = in.r2->U1, *bU2 = in.r2->U2;
    const uint32_t p = uint32_t(pred);
    const int32_t a0 = in.a0;
    const uint32_t bits =
        bitOf(C[-5].value - p, 15) | bitOf(U4[4].value - p, 16) | bitOf(U1[5].value - p, 17) |
        bitOf((aC[-1].aux - aU1[1].aux - p) + (U1[2].aux + a0), 18) |
        bitOf(aC[-1].aux - aU2[-2].aux - p + a0 + U2[-1].aux, 19) |
        bitOf(bC[-1].aux - bC[-2].aux - p + C[-1].aux + a0, 20) |
        bitOf(bU1[1].aux - bU2[1].aux - p + U1[0].aux + a0, 21) | bitOf(C[-5].aux - p + a0, 22) |
        bitOf((C[-3].aux - p + a0) - (U1[2].aux - U1[5].aux), 23) |
        bitOf(aU1[-1].aux + aU2[-1].aux - 2 * aC[-1].aux, 24) |
        bitOf(aC[-1].value - aC[-2].value - p + C[-1].value, 25);
    return {count3(in.bx, 10, 24, 55), count3(pred, 144, 1056, 2256), bits};
}

template <>
PQZ_HOT_INLINE StageKey stageKey<2, false>(const CascadeInputs& in, int32_t pred) {
    const PixelRecord *C = in.C, *U3 = in.U3, *U4 = in.U4;
    const uint32_t p = uint32_t(pred);
    const uint32_t bits =
        bitOf(p - C[-2].value, 15) | bitOf(p - U3[-2].value, 16) | bitOf(p - U4[0].value, 17) |
        bitOf(U3[1].value - p, 18) | bitOf(p - U4[3].value, 19) |
        bitOf(p + C[-2].value - 2 * C[-1].value, 20) | bitOf(p + aboveOf(in, kStage2Bit21), 21) |
        bitOf(p + aboveOf(in, kStage2Bit22), 22) | bitOf(p + aboveOf(in, kStage2Bit23), 23) |
        bitOf(p + aboveOf(in, kStage2Bit24), 24) | bitOf(p + aboveOf(in, kStage2Bit25), 25);
    return {count3(in.bx, 13, 25, 58), count3(pred, 688, 1216, 2464), bits};
}

template <>
PQZ_HOT_INLINE StageKey stageKey<2, true>(const CascadeInputs& in, int32_t pred) {
    const PixelRecord *C = in.C, *U1 = in.U1, *U2 = in.U2;
    const PixelRecord *aC = in.r1->C, *aU1 = in.r1->U1, *aU2 = in.r1->U2;
    const PixelRecord *bC = in.r2->C, *bU2 = in.r2->U2;
    const uint32_t p = uint32_t(pred);
    const int32_t a0 = in.a0;
    const uint32_t bits = bitOf(208 - bC[-1].value, 15) | bitOf(C[-2].value - p, 16) |
                          bitOf(U2[0].value - p, 17) |
                          bitOf(2 * C[-1].value - p - C[-2].value, 18) |
                          bitOf(2 * U1[0].value - p - U2[0].value, 19) |
                          bitOf(2 * C[-1].aux - p - C[-2].aux + a0, 20) |
                          bitOf(U1[-1].value - aU1[-2].value + aC[-1].value - p, 21) |
                          bitOf(U2[0].value - aU2[-1].value + aC[-1].value - p, 22) |
                          bitOf(U2[0].value - bU2[-1].value + bC[-1].value - p, 23) |
                          bitOf((C[-1].aux - p + a0) - (U1[0].aux - U1[1].aux), 24) |
                          bitOf((U1[-1].aux - p + a0) - (U2[0].aux - U1[1].aux), 25);
    return {count3(in.bx, 4, 12, 33), count3(pred, 640, 1280, 2576), bits};
}

// Stages 3 and 4 read the same features in both plane modes.
template <>
PQZ_HOT_INLINE StageKey stageKey<3, false>(const CascadeInputs& in, int32_t pred) {
    const PixelRecord *C = in.C, *U1 = in.U1, *U2 = in.U2, *U3 = in.U3;
    const uint32_t p = uint32_t(pred);
    const int32_t a0 = in.a0;
    const uint32_t bits =
        bitOf(p - C[-3].value, 15) | bitOf((p - C[-1].aux) - a0, 16) |
        bitOf((2 * p - a0) + aboveOf(in, kStage3Bit17), 17) | bitOf(p - U3[0].value, 18) |
        bitOf((p - a0) - U2[1].aux, 19) | bitOf(p - U1[3].value, 20) |
        bitOf((p - C[-2].value) + aboveOf(in, kStage3Bit21), 21) |
        bitOf(aboveOf(in, kStage3Bit22) - p, 22) | bitOf(p + aboveOf(in, kStage3Bit23), 23) |
        bitOf((p - a0) + aboveOf(in, kStage3Bit24), 24) |
        bitOf((p - C[-3].value) + 3 * (C[-2].value - C[-1].value), 25);
    return {count3(in.bx, 9, 19, 37), count3(pred, 592, 1568, 2896), bits};
}

template <>
PQZ_HOT_INLINE StageKey stageKey<3, true>(const CascadeInputs& in, int32_t pred) {
    return stageKey<3, false>(in, pred);
}

template <>
PQZ_HOT_INLINE StageKey stageKey<4, false>(const CascadeInputs& in, int32_t pred) {
    const PixelRecord *C = in.C, *U1 = in.U1;
    const uint32_t p = uint32_t(pred);
    const int32_t a0 = in.a0;
    const uint32_t bits =
        bitOf((p - C[-4].aux) - a0, 15) | bitOf((p - a0) - U1[-2].aux, 16) |
        bitOf((p - a0) - U1[4].aux, 17) | bitOf((p - C[-1].value) + aboveOf(in, kStage4Bit18), 18) |
        bitOf((p - a0) + aboveOf(in, kStage4Bit19), 19) | bitOf(p + aboveOf(in, kStage4Bit20), 20) |
        bitOf((p - a0) + aboveOf(in, kStage4Bit21), 21) |
        bitOf(((p - C[-3].aux) - a0) + aboveOf(in, kStage4Bit22), 22) |
        bitOf((p - 2 * C[-2].aux) - (a0 - C[-4].aux), 23) |
        bitOf((p - C[-2].value - a0) + aboveOf(in, kStage4Bit24), 24) |
        bitOf(p + aboveOf(in, kStage4Bit25), 25);
    return {count3(in.bx, 10, 21, 39), count3(pred, 368, 1952, 3056), bits};
}

template <>
PQZ_HOT_INLINE StageKey stageKey<4, true>(const CascadeInputs& in, int32_t pred) {
    return stageKey<4, false>(in, pred);
}

// One stage: picks its cell and adds the cell's bias; the cell, the prediction and the bias are
// kept for the adaptation.
template <int stage, bool multi>
PQZ_HOT_INLINE int32_t applyStage(Method2Decoder& d, const CascadeInputs& in, int32_t pred) {
    const StageKey key = stageKey<stage, multi>(in, pred);
    const int32_t idx = cellIndex(key.low, key.mid, key.bits);
    const int32_t bias = cellBias(d.biasTables[stage], idx);
    pred = add32(pred, bias);
    d.stageCell[stage] = idx;
    d.stagePrediction[stage] = pred;
    d.stageBias[stage] = bias;
    return pred;
}

// The five bias stages: each picks a cell from features of the prediction so far and adds the
// cell's bias. Returns the final prediction in 1/16 units. r1 and r2 are the reference planes'
// rows when multi is set.
template <bool multi>
int32_t biasCascade(Method2Decoder& d, const Rows& r, const Rows* r1, const Rows* r2, int32_t g1) {
    static_assert(kBiasStages == 5, "one applyStage per stage");
    const PixelRecord *C = r.C, *U1 = r.U1;
    int32_t near = U1[0].absErr + C[-1].absErr;
    if (multi) near += (r1->C[-1].absErr + r2->C[-1].absErr) >> 1;
    CascadeInputs in{r.C, r.U1, r.U2, r.U3, r.U4, r1, r2, partsAt(d), C[0].aux, 0, 0};
    in.a = C[-1].absErr + near + C[-2].absErr + C[-3].absErr + C[-4].absErr + U1[-1].absErr +
           U1[3].absErr;
    in.bx = (g1 + 512 * near) >> 13;
    int32_t pred = d.directional;
    pred = applyStage<0, multi>(d, in, pred);
    pred = applyStage<1, multi>(d, in, pred);
    pred = applyStage<2, multi>(d, in, pred);
    pred = applyStage<3, multi>(d, in, pred);
    return applyStage<4, multi>(d, in, pred);
}

inline int32_t digitOf(const Method2Decoder& d, int32_t delta) {
    return (delta < d.digitLow) + (delta <= d.digitHigh);
}

inline bool withinDigitZone(const Method2Decoder& d, int32_t delta) {
    return delta >= d.digitLow && delta <= d.digitHigh;
}

// Residual coding contexts of the sample predicted as f (1/16 units); returns the prediction.
int32_t codingContexts(Method2Decoder& d, const Rows& r, const Rows* r1, const Rows* r2,
                       int32_t f) {
    const PixelRecord *C = r.C, *U1 = r.U1, *U2 = r.U2;
    int32_t act = d.activityAbove[d.column] + C[-8].magnitude + C[-7].magnitude + C[-6].magnitude +
                  C[-5].magnitude + C[-4].magnitude + 2 * C[-3].magnitude + 4 * C[-2].magnitude +
                  8 * C[-1].magnitude;
    if (r1) {
        const PixelRecord *aC = r1->C, *aU1 = r1->U1, *bC = r2->C, *bU1 = r2->U1;
        act += (aU1[-1].magnitude + bU1[-1].magnitude) + 4 * (aC[-1].magnitude + bC[-1].magnitude) +
               2 * (aC[-2].magnitude + bC[-2].magnitude);
    }
    const int32_t sub = activitySubContext(d, act);
    const int32_t pred = roundPrediction(f);
    d.magnitudeContext[0] = sub + d.magnitudeBase[pred + 4];
    d.magnitudeContext[1] = d.magnitudeBase[pred] + sub;

    d.digit[0] = uint8_t((f < 272) + (f < 1840));
    d.digit[1] = uint8_t(digitOf(d, sub32(f, U1[0].value)));
    d.digit[2] = uint8_t(digitOf(d, sub32(f, C[-1].value)));
    int32_t vertical, horizontal;
    if (!r1) {
        d.digit[3] = U1[0].signClass;
        d.digit[4] = C[-1].signClass;
        vertical = C[0].magnitude + d.verticalAbove[d.column];
        horizontal =
            C[-5].magnitude + C[-4].magnitude + C[-3].magnitude + C[-2].magnitude + C[-1].magnitude;
    } else {
        const PixelRecord *aC = r1->C, *aU1 = r1->U1, *aU2 = r1->U2;
        const PixelRecord *bC = r2->C, *bU1 = r2->U1, *bU2 = r2->U2;
        if (d.planeIndex == 0) {
            d.digit[3] = U1[0].signClass;
            d.digit[4] = C[-1].signClass;
        } else {
            const PixelRecord* rC = d.planeIndex == 1 ? aC : bC;
            const PixelRecord* rU1 = d.planeIndex == 1 ? aU1 : bU1;
            d.digit[3] = uint8_t(digitOf(d, rC[-1].value - rU1[-1].value));
            d.digit[4] = uint8_t(digitOf(d, rC[-1].value - rC[-2].value));
        }
        if (d.planeIndex >= 2) {
            horizontal = withinDigitZone(d, aC[-1].value - aU1[-1].value) ||
                         withinDigitZone(d, aC[-1].value - aC[-2].value);
        } else {
            horizontal = C[-2].magnitude + C[-1].magnitude + aC[-1].magnitude + aC[-2].magnitude +
                         aC[-3].magnitude + bC[-1].magnitude + bC[-2].magnitude + bC[-3].magnitude;
        }
        if (d.hasReference) {
            const int32_t a0 = C[0].aux;
            vertical = withinDigitZone(d, sub32(sub32(f, U1[0].aux), a0)) ||
                       withinDigitZone(d, sub32(sub32(f, C[-1].aux), a0));
        } else {
            vertical = U1[0].magnitude + U2[0].magnitude + aU2[-1].magnitude + bU2[-1].magnitude +
                       aC[-1].magnitude + bC[-1].magnitude + aU1[-1].magnitude + bU1[-1].magnitude;
        }
    }
    int32_t index = 16 * (horizontal == 0) + 32 * (vertical == 0) + sub;
    for (int k = 0; k < 5; k++) index += kFeatureWeight[k][d.digit[k]];
    d.ternaryIndex = index;
    return pred;
}

// The predictor context: the balance of up and left gradients, then thresholds on the gradient
// total, on the near values, on up-left against up-right and on near against farther values.
PQZ_HOT_INLINE int predictorContext(const Rows& r, const uint32_t* parts, const Gradients& g) {
    const PixelRecord* C = r.C;
    const int32_t g0 = g.upLeft, g1 = g.upRight, g2 = g.left, g3 = g.up;
    const int32_t gsum = g0 + g1 + g3 + g2;
    const int32_t k = (2 * g3 < 8 * g2) + (5 * g3 < 8 * g2) + (9 * g3 < 8 * g2) +
                      (17 * g3 < 8 * g2) + (43 * g3 < 8 * g2);
    const int32_t* t = kContextThreshold[k];
    const int32_t pp = 2 * C[-2].value + 2 * C[-1].value;
    const int32_t q = part(parts, kContextUpPair) + 2 * C[-1].value;
    const int32_t rr = 16 * part(parts, kContextNear);
    return 320 * k + 64 * ((t[9] < gsum) + (t[10] < gsum) + (t[11] < gsum) + (t[12] < gsum)) +
           16 * ((t[6] < q) + (t[7] < q) + (t[8] < q)) +
           4 * ((t[3] * g0 < 16 * g1) + (t[4] * g0 < 16 * g1) + (t[5] * g0 < 16 * g1)) +
           ((t[0] * pp < rr) + (t[1] * pp < rr) + (t[2] * pp < rr));
}

// Slot of the context; an existing slot first learns from the left sample.
PQZ_HOT_INLINE PredictorSlot* slotOfContext(RangeDecoder& rc, Method2Decoder& d,
                                            const DecodeShared& sh, int context, int32_t left) {
    const int known = d.slotOfContext[context];
    if (known == 0) return handOutSlot(rc, d, context);
    PredictorSlot* slot = &d.slots[known];
    const float* x = d.inputs;
    const float r0 = fsum(dot28(slot->weight, x), x[28]);
    const float e = fprod(fdiff(float(left), r0), 2.1f);
    const float reg = fprod(7744.0f, slot->stepScale);
    trainSlotIn(d.lanes, *slot, x, sh.stepSize, 0.023f, e, reg);
    return slot;
}

// The predictor inputs of this sample: its features, the first sixteen raised by the
// reference sample where the plane has one.
PQZ_HOT_INLINE void loadInputs(Method2Decoder& d, const Rows& r, const uint32_t* parts,
                               const Method2Decoder* ref1, const Method2Decoder* ref2) {
    float* x = d.inputs;
    alignas(16) int32_t f[kInputs];
    singlePlaneFeatures(r, parts, f);
    if (ref1) {
        const Rows r1(*ref1), r2(*ref2);
        multiPlaneFeatures(d, r, r1, r2, f);
        if (d.hasReference) {
            const float a0 = float(r.C[0].aux);
            for (int i = 0; i < 16; i++) x[i] = float(f[i]) + a0;
            for (int i = 16; i < kInputs; i++) x[i] = float(f[i]);
        } else {
            for (int i = 0; i < kInputs; i++) x[i] = float(f[i]);
        }
    } else {
        for (int i = 0; i < kInputs; i++) x[i] = float(f[i]);
    }
}

// Direction class: the smallest weighted gradient, earlier classes winning ties.
PQZ_HOT_INLINE int directionClass(const Gradients& g) {
    int cls = 0;
    int32_t m = 16 * g.left;
    if (14 * g.up < m) {
        cls = 1;
        m = 14 * g.up;
    }
    if (13 * g.upRight < m) {
        cls = 2;
        m = 13 * g.upRight;
    }
    if (11 * g.upLeft < m) cls = 3;
    return cls;
}

}  // namespace

int32_t predictPixel(RangeDecoder& rc, Method2Decoder& d, const Method2Decoder* ref1,
                     const Method2Decoder* ref2) {
    const Rows r(d);
    const DecodeShared& sh = *d.shared;
    const PixelRecord* gradientRows[4] = {r.C, r.U1, r.U2, r.U3};
    const uint32_t* const parts = partsAt(d);
    const Gradients g = gradientSums(gradientRows, sh.gradientBias);
    PredictorSlot* const slot =
        slotOfContext(rc, d, sh, predictorContext(r, parts, g), r.C[-1].value);
    d.currentSlot = slot;
    loadInputs(d, r, parts, ref1, ref2);

    PredictorSlot* const* a = d.slotRowA + d.slotCursor;
    PredictorSlot* const* b = d.slotRowB + d.slotCursor;
    const PredictorSlot* const neighbours[6] = {a[-1], b[1], b[2], a[-2], b[0], a[0]};
    d.directional = directionalEstimate(*slot, d.inputs, neighbours, directionClass(g),
                                        sh.fixedWeight, d.lanes);

    if (ref1) {
        const Rows r1(*ref1), r2(*ref2);
        const int32_t f4 = biasCascade<true>(d, r, &r1, &r2, g.upRight);
        return codingContexts(d, r, &r1, &r2, f4);
    }
    const int32_t f4 = biasCascade<false>(d, r, nullptr, nullptr, g.upRight);
    return codingContexts(d, r, nullptr, nullptr, f4);
}

}  // namespace pqz::method2
