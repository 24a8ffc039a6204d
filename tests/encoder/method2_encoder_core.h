// Internals of the method-2 test encoder: the per-plane coder state (row ring of sample records,
// adaptive linear predictors, bias cells, three-way residual models) and the three per-sample
// steps shared by the single-plane and the multi-plane drivers: prediction, residual coding and
// adaptation. Written independently of the library's decoder.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/encoder/magnitude_encoder.h"
#include "tests/encoder/method2_encoder.h"
#include "tests/encoder/range_encoder.h"

namespace pqz::enc::m2 {

constexpr int kInputs = 28;
constexpr int kContexts = 1920;
constexpr int kSlotLimit = 1024;  // slot 0 and 1023 handed-out slots fit a decoder's table
constexpr int kCellsPerStage = 32768;
constexpr int kTernaryModels = 15552;
// Weight unit of each of the five ternary-context features (digits 0..2 weigh 0, 1, 2 units).
constexpr int kFeatureUnit[5] = {64, 192, 576, 1728, 5184};
constexpr int kLeftMargin = 8;
constexpr int kRightMargin = 5;
// Zero records behind every row, never written: narrow rows copy their left margin from
// records 0..7 of the row above, which lie beyond a row of width 1 or 2.
constexpr int kRowSpare = 8;

// One sample of a row buffer (values in 1/16 units).
struct Rec {
    int16_t v;
    int16_t a;  // before coding: reference value (0 without one); after: v minus that reference
    int16_t err;
    uint16_t absErr, gL, gU, gUL, gUR;
    uint8_t sc;  // sign class of the residual: 0 above, 1 inside, 2 below the dead zone
    uint8_t m;   // |residual| mod 256
};

struct Slot {
    float w[kInputs];
    float pw[kInputs];
    float mixNum, mixDen, stepScale;
    int32_t useCount;
};

struct Cell {
    uint8_t shift, countdown;
    int16_t sum;
};

struct Tern {
    uint16_t step;
    uint16_t f[3];
};

// Linear-predictor tables; the multi-plane coder uses a changed copy.
struct Tables {
    float fixedWeight[kInputs];
    float stepSize[kInputs];
    static Tables single();
    static Tables multi();
};

struct PlaneCoder {
    PlaneCoder(int width, int planeIndex, bool hasRef, int tolerance, const Tables& tables,
               MagnitudeCoder& mags, RangeEncoder& rc);

    int width;
    int planeIndex;
    bool hasRef;
    int tolerance;
    const Tables& tab;
    MagnitudeCoder& mags;  // shared by all planes of one coded stream
    RangeEncoder& rc;
    ResidualMaps maps;

    // Predictors: slot 0 is the neutral neighbour; slots past kSlotLimit - 1 are only used to
    // carry on after an overflow that a decoder refuses.
    std::vector<Slot> slots;
    std::vector<int16_t> slotOfContext;
    int slotCount = 0;
    bool slotOverflow = false;
    Method2Stats stats;  // this plane's counts (slots and magnitudes are filled in by the driver)
    int cur = 0;
    std::vector<int> slotRow[2];  // entry x + 2 belongs to column x
    int rowA = 0;                 // which of slotRow is the current row
    int curA = 0, curB = 0;

    float X[kInputs] = {};  // centred features of the last predicted sample
    float base = 0, own = 0, blend = 0;

    int32_t directional = 0;
    int stageCell[5] = {};
    int32_t stagePred[5] = {}, stageBias[5] = {};
    int digit[5] = {};
    int ternaryIndex = 15;
    int magCtx[2] = {};
    int digitLow, digitHigh, clipHigh, clipLow;
    int magBase[260];

    std::vector<Rec> buf[5];
    Rec* row[5];  // record 0 of the current row and of the rows 1..4 above
    int col = 0;  // column of the current sample

    std::vector<Cell> cells;  // 5 stages x 32768
    std::vector<Tern> tern;

    // Records at column col + k of the current row and of the rows 1..4 above.
    Rec& C(int k) { return row[0][col + k]; }
    Rec& U1(int k) { return row[1][col + k]; }
    Rec& U2(int k) { return row[2][col + k]; }
    Rec& U3(int k) { return row[3][col + k]; }
    Rec& U4(int k) { return row[4][col + k]; }

    // Row bookkeeping.
    void fillConstantRow();  // multi-plane history before row 0
    void firstRowMargins();  // margins of a finished first row; copies to rows 1..3 above
    void beginRow();         // slot rows, inputs, right margin, ring rotation, left margin
};

// Prediction of the sample at the coder's column, in 0..255; sets the coding contexts.
// r1 and r2 are the reference planes of a multi-plane image (null for a single plane);
// gradBias is added to the four gradient sums.
int predict(PlaneCoder& d, PlaneCoder* r1, PlaneCoder* r2, const int32_t gradBias[4]);

// Codes a residual symbol 0..256 with the three-way model and the magnitude contexts.
void encodeTernary(PlaneCoder& d, Tern& model, int symbol);
// Halves a three-way model and decays its step.
void rescaleTernary(PlaneCoder& d, Tern& model);

// Adaptation after a sample of rows coded with the predictor; advances the column.
void update(PlaneCoder& d, int sample, int symbol, int residual);

// Truncating float-to-int conversion of the x86 vector unit (-2^31 when out of range).
int32_t truncToInt(float f);

// 32-bit two's-complement value of an exact sum.
inline int32_t w32(int64_t v) {
    return int32_t(uint32_t(uint64_t(v)));
}

// u . w over 28 inputs in four lanes: each lane summed over the seven groups in order, then
// (lane 0 + lane 2) + (lane 1 + lane 3).
inline float dot(const float* u, const float* w) {
    float s[4];
    for (int l = 0; l < 4; l++) {
        float acc = u[l] * w[l];
        for (int g = 1; g < 7; g++) acc = acc + u[4 * g + l] * w[4 * g + l];
        s[l] = acc;
    }
    return (s[0] + s[2]) + (s[1] + s[3]);
}

}  // namespace pqz::enc::m2
