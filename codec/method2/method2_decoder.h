// Coding method 2 internals: the per-plane decoder object, its row ring and models, and the
// per-sample operations (prediction, residual decoding, adaptation).
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/method2/method2_bias.h"
#include "codec/shared/magnitude_models.h"
#include "codec/shared/plane_table.h"
#include "codec/shared/progress.h"
#include "codec/shared/range_decoder.h"

namespace pqz::method2 {

constexpr int kInputs = 28;   // predictor features, seven groups of four
constexpr int kSlots = 1024;  // predictor slots; slot 0 is the default neighbour
constexpr int kPredictorContexts = 1920;
constexpr int kTernaryModels = 15552;  // 243 feature combinations x 64 sub-contexts
constexpr int kLeftMargin = 8;
constexpr int kRightMargin = 5;
// Zero records behind the right margin: the left-margin copy of a row reads records 0..7 of
// another row, which rows of width 0 to 2 do not have. They are never written.
constexpr int kSpareRecords = 3;

// One sample of a row buffer; values are in 1/16 units.
struct PixelRecord {
    int16_t value;
    int16_t aux;  // value minus the sample's reference (value itself on single planes)
    int16_t err;
    uint16_t absErr;
    uint16_t gradLeft;
    uint16_t gradUp;
    uint16_t gradUpLeft;
    uint16_t gradUpRight;
    uint8_t signClass;
    uint8_t magnitude;
};

// An adaptive linear predictor (normalised least-mean-squares filter).
struct alignas(16) PredictorSlot {
    float weight[kInputs];
    float power[kInputs];
    float mixNum;
    float mixDen;
    float stepScale;
    float unused59;
    int32_t useCount;  // 0 until the first adaptation: the slot is then set up from its neighbours
    float unused61[3];
};
static_assert(sizeof(PredictorSlot) == 64 * 4, "a slot is 64 floats");

// Parts of a sample's sums that read only the rows above, one each per column: predictor
// features, the predictor context's sums, and the bias stages' key sums named by stage and key
// bit (stage 0's are sums of err fields). The entries from kErrUpTwoPair on are read on single
// planes only.
enum PartAbove {
    kFeature5,
    kFeature10,
    kFeature14,
    kContextUpPair,  // U1[0..1].value
    kContextNear,    // U2[-1, 0, 2].value + U1[1].value
    kErrUpThree,     // U1[-1..1].err
    kStage3Bit17,
    kStage3Bit21,
    kStage3Bit22,
    kStage3Bit23,
    kStage3Bit24,
    kStage4Bit18,
    kStage4Bit19,
    kStage4Bit20,
    kStage4Bit21,
    kStage4Bit22,
    kStage4Bit24,
    kStage4Bit25,
    kErrUpTwoPair,  // U2[0..1].err
    kStage1Bit20,
    kStage1Bit21,
    kStage1Bit22,
    kStage1Bit23,
    kStage1Bit24,
    kStage1Bit25,
    kStage2Bit21,
    kStage2Bit22,
    kStage2Bit23,
    kStage2Bit24,
    kStage2Bit25,
    kFeature16,
    kFeature18,
    kFeature19,
    kFeature20,
    kPartsAbove
};
// The parts are stored in blocks of this many columns: part k of column x at
// partsAbove[kPartColumns * (x / kPartColumns * kPartsAbove + k) + x % kPartColumns].
constexpr int kPartColumns = 8;

// Three-symbol residual model: 0, odd and even residual symbols.
struct TernaryModel {
    uint16_t step;
    uint16_t freq[3];
};

// What the decoders of one image share: the weight tables (changed for multi-plane images),
// the bias clip of the tolerance and the gradient carry from plane to plane within a pixel.
struct alignas(16) DecodeShared {
    float fixedWeight[kInputs];
    float stepSize[kInputs];
    int32_t gradientBias[4];
    int32_t biasClipHigh;
    int32_t biasClipLow;
    // Sixteen where the processor has AVX2: the bias cells adapted in sixteen integer lanes and
    // the slots' float loops in eight; Eight otherwise.
    LaneWidth lanes;
    int32_t multiPlane;  // 1 for the planes of a multi-plane image
};

// Weight of each digit (0, 1, 2) of the five ternary features A to E.
constexpr int32_t kFeatureWeight[5][3] = {
    {0, 64, 128}, {0, 192, 384}, {0, 576, 1152}, {0, 1728, 3456}, {0, 5184, 10368}};

struct Method2Decoder {
    PredictorSlot slots[kSlots];
    alignas(16) float inputs[32];  // features 0..27, then base, own, blend
    PredictorSlot* currentSlot;
    // Slot references of the current row (A) and the row above (B); entry x + 2 is column x.
    PredictorSlot** slotRowA;
    PredictorSlot** slotRowB;
    int32_t slotCursor;  // entry of the current column in both slot rows
    int32_t stageCell[kBiasStages];
    int32_t directional;
    int32_t ternaryIndex;
    int32_t magnitudeContext[2];  // for even and odd residual symbols
    int32_t slotCount;
    int32_t digitLow;
    int32_t digitHigh;
    int32_t planeIndex;
    int32_t hasReference;
    int32_t column;  // current column in all five rows
    // Record 0 of the current row (0) and of the rows 1 to 4 above it.
    PixelRecord* rowBuffer[5];
    // Byte copies of the magnitudes of the rows 1 to 4 above, from the left margin on (entry
    // kLeftMargin + x is column x), and per column the part of the activity sum they give and
    // the sum of the four magnitudes straight above.
    uint8_t* magnitudeRows[4];
    uint16_t* activityAbove;
    uint16_t* verticalAbove;
    int32_t magnitudeRowsKnown;  // 0 when the rows above were replaced as a whole
    // 32-bit copies of the value, aux and err fields of the rows 1 to 4 above, rotated with the
    // magnitude copies (entry x is column x, from -kLeftMargin on), and the sums' parts they
    // give (PartAbove, in blocks of kPartColumns columns).
    int32_t* fieldRows[4][3];
    uint32_t* partsAbove;
    uint8_t digit[5];  // digits of the ternary features A to E of the current sample
    int32_t stagePrediction[kBiasStages];
    int32_t stageBias[kBiasStages];
    int32_t magnitudeBase[260];
    uint8_t quantiserAndRank[512];  // errorQuantiser, then residualRank
    uint8_t residualOrder[256];
    uint8_t activityClass[120];
    int16_t slotOfContext[kPredictorContexts];
    BiasBlock biasTables[kBiasStages][kBiasBlocks];
    TernaryModel ternaryModels[kTernaryModels];

    int32_t width;
    LaneWidth lanes;  // as DecodeShared::lanes
    DecodeShared* shared;
    const MagnitudeTable* magnitudes;  // the escape magnitudes of the stream, shared by its planes
    void* rowMemory;   // the five row buffers and the two slot rows, one zero-filled block
    void* allocation;  // the zero-filled block the object lies in

    const uint8_t* errorQuantiser() const { return quantiserAndRank; }
};

// Decodes one 8-bit plane of width x height bytes from one coded stream.
// lanes selects the width of the bias cell adaptation; both widths decode alike.
void decodeSinglePlane(PayloadReader& in, const PayloadHead& head, uint8_t* out, int width,
                       int height, RowProgress& progress, LaneWidth lanes);
// Decodes an image of head.planeCount (3 or 4) interleaved planes from one coded stream; out
// holds width x height x planeCount bytes.
void decodeInterleavedImage(PayloadReader& in, const PayloadHead& head, int width, int height,
                            uint8_t* out, RowProgress& progress, LaneWidth lanes);

// Fills the tables for single planes or for multi-plane images, and the tolerance's clip.
void initShared(DecodeShared& shared, bool multiPlane, int tolerance);

// Allocates a zero-filled decoder for rows of the given width and sets it up; null when memory
// is short. The reference flag is that of the plane decoded at this position.
Method2Decoder* createDecoder(const PayloadHead& head, DecodeShared& shared, int width,
                              int planeIndex, const MagnitudeTable& magnitudes);
void releaseDecoder(Method2Decoder* d);

// Residual symbol: the symbol's residual byte (symbol 256 means residual 0).
inline uint8_t residualOf(const Method2Decoder& d, uint32_t symbol) {
    return symbol < 256 ? d.residualOrder[symbol] : 0;
}

void rescaleTernary(TernaryModel& m);
// Decodes a residual symbol 0..256 with a ternary model and, for odd or even symbols, one
// magnitude from contexts[1] or contexts[0].
uint32_t decodeTernaryResidual(RangeDecoder& rc, const MagnitudeTable& magnitudes, TernaryModel& m,
                               const int32_t contexts[2]);

// Row set-up before each row predicted in full: slot rows, inputs, right margin of the finished
// row, ring rotation, left margin of the new row.
void beginRow(Method2Decoder& d);
// Margins of a decoded first row (right: copies of the last sample; left: mirror), then rows
// 1 to 3 above become copies of it.
void finishFirstRow(Method2Decoder& d);

// Bytes of one row's magnitude copy.
size_t magnitudeRowBytes(int width);
// Brings the magnitude copies up to the rows above (all of them after a replacement, else the
// row just finished) and sums the activity they give to each column; the end of beginRow.
void prepareActivity(Method2Decoder& d);

// 32-bit entries of one field copy and of the sums' parts of a row.
size_t fieldRowInts(int width);
size_t partsAboveInts(int width);
// Brings the field copies up to the rows above (as prepareActivity does the magnitudes; before
// it) and forms the sums' parts of every column.
void preparePartsAbove(Method2Decoder& d);

// Predicts the sample at the current column (0..255) and sets the coding contexts. r1 and r2
// are the reference planes of a multi-plane image, null for single planes.
int32_t predictPixel(RangeDecoder& rc, Method2Decoder& d, const Method2Decoder* r1,
                     const Method2Decoder* r2);
// Adapts everything to the decoded sample and moves to the next column.
void updatePixel(Method2Decoder& d, int32_t sample, uint32_t symbol, int32_t residual);

// Hands out a new predictor slot for a context seen for the first time. A context that would
// need more slots than the table holds marks the stream damaged and gets slot 0 instead.
PredictorSlot* handOutSlot(RangeDecoder& rc, Method2Decoder& d, int context);

// Rounds a prediction in 1/16 units to a sample value 0..255.
inline int32_t roundPrediction(int32_t f) {
    const int32_t p = int32_t(uint32_t(f) + 7u) >> 4;
    return p < 0 ? 0 : p > 255 ? 255 : p;
}

// Sub-context of an activity sum: 0..14 by class, 15 for very busy neighbourhoods.
inline int32_t activitySubContext(const Method2Decoder& d, int32_t act) {
    return act < 960 ? d.activityClass[act >> 3] : 15;
}

}  // namespace pqz::method2
