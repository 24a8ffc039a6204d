// Coding method 2: the decoder object, the ternary residual model, the row ring and the driver
// of 8-bit planes.
#include "codec/method2/method2_decoder.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "codec/method2/method2_float.h"
#include "codec/shared/magnitude_models.h"
#include "codec/shared/range_decoder.h"

namespace pqz::method2 {

namespace {

constexpr float kFixedWeight[kInputs] = {-0.05f, -0.07f, 0.3f,  0.18f, -0.03f, 0.04f, 0.06f,
                                         -0.01f, 0.06f,  0.16f, 0.0f,  -0.01f, -0.1f, -0.02f,
                                         0.05f,  0.05f,  0.06f, 0.0f,  0.04f,  0.02f, 0.04f,
                                         0.02f,  0.04f,  0.05f, 0.07f, 0.0f,   0.03f, 0.02f};
constexpr float kStepSize[kInputs] = {
    0.0108f, 0.0069f, 0.0054f, 0.0052f, 0.0042f, 0.0042f, 0.0042f, 0.0039f, 0.0035f, 0.0035f,
    0.0028f, 0.0028f, 0.0027f, 0.0026f, 0.0026f, 0.0024f, 0.0023f, 0.0023f, 0.0022f, 0.0021f,
    0.0019f, 0.0019f, 0.0017f, 0.0017f, 0.0015f, 0.0015f, 0.0011f, 0.0009f};

constexpr int kMagnitudeThresholds[15] = {17,  20,  27,  37,  49,  70,  93, 124,
                                          157, 191, 205, 228, 235, 236, 237};
constexpr int kActivityThresholds[14] = {4, 6, 8, 11, 14, 17, 21, 25, 30, 37, 45, 55, 67, 87};

template <size_t N>
int countBelow(const int (&thresholds)[N], int v) {
    int n = 0;
    for (int t : thresholds) n += t < v;
    return n;
}

size_t recordsPerRow(int width) {
    return size_t(kLeftMargin) + size_t(width) + kRightMargin + kSpareRecords;
}

}  // namespace

void initShared(DecodeShared& shared, bool multiPlane, int tolerance) {
    shared.lanes = widestLaneWidth();
    shared.multiPlane = multiPlane ? 1 : 0;
    std::memcpy(shared.fixedWeight, kFixedWeight, sizeof kFixedWeight);
    std::memcpy(shared.stepSize, kStepSize, sizeof kStepSize);
    if (multiPlane) {
        // The last twelve inputs change meaning on multi-plane images: their fixed weights are
        // folded into the first twelve and their step sizes become one constant.
        for (int i = 0; i < 12; i++) shared.fixedWeight[i] += shared.fixedWeight[i + 16];
        for (int i = 16; i < kInputs; i++) {
            shared.fixedWeight[i] = 0.0f;
            shared.stepSize[i] = 0.0024f;
        }
    }
    for (int32_t& g : shared.gradientBias) g = 0;
    shared.biasClipHigh = 4 * tolerance + 1;
    shared.biasClipLow = -(4 * tolerance + 1);
}

Method2Decoder* createDecoder(const PayloadHead& head, DecodeShared& shared, int width,
                              int planeIndex, const MagnitudeTable& magnitudes) {
    constexpr size_t align = alignof(Method2Decoder);
    void* block = std::calloc(1, sizeof(Method2Decoder) + align);
    if (!block) return nullptr;
    auto* d = reinterpret_cast<Method2Decoder*>((reinterpret_cast<uintptr_t>(block) + align - 1) &
                                                ~uintptr_t(align - 1));
    d->allocation = block;
    const size_t records = recordsPerRow(width);
    const size_t slotEntries = size_t(width) + 4;
    const size_t magnitudeBytes = magnitudeRowBytes(width);
    const size_t activityBytes = ((size_t(width) + 8) * sizeof(uint16_t) + 15) & ~size_t(15);
    const size_t fieldInts = fieldRowInts(width);
    // The field copies and the key sums' parts start 16-byte aligned from the magnitude block.
    const size_t prefix =
        2 * slotEntries * sizeof(PredictorSlot*) + 5 * records * sizeof(PixelRecord) + 15;
    void* rows = std::calloc(1, prefix + 4 * magnitudeBytes + 2 * activityBytes +
                                    (12 * fieldInts + partsAboveInts(width)) * sizeof(int32_t));
    if (!rows) {
        std::free(block);
        return nullptr;
    }
    d->rowMemory = rows;
    d->width = width;
    d->lanes = shared.lanes;
    d->shared = &shared;
    d->magnitudes = &magnitudes;
    d->planeIndex = planeIndex;
    for (auto& stage : d->biasTables) resetBiasTable(stage);
    for (TernaryModel& m : d->ternaryModels) m = {4096, {2048, 2816, 2816}};

    const int q = head.tolerance;
    const int plane = planeIndex < 4 ? head.orderMap[planeIndex] & 3 : 0;
    d->hasReference = head.planeTable[plane].hasReference() ? 1 : 0;
    d->digitLow = -16 * q - 7;
    d->digitHigh = 16 * q + 8;

    // Slot rows first (pointer aligned), then the five row buffers.
    d->slotRowA = static_cast<PredictorSlot**>(rows);
    d->slotRowB = d->slotRowA + slotEntries;
    auto* buffers = reinterpret_cast<PixelRecord*>(d->slotRowB + slotEntries);
    for (int k = 0; k < 5; k++) d->rowBuffer[k] = buffers + k * records + kLeftMargin;
    auto* magnitudeBlock = reinterpret_cast<uint8_t*>(
        (reinterpret_cast<uintptr_t>(buffers + 5 * records) + 15) & ~uintptr_t(15));
    for (int k = 0; k < 4; k++) d->magnitudeRows[k] = magnitudeBlock + k * magnitudeBytes;
    d->activityAbove = reinterpret_cast<uint16_t*>(magnitudeBlock + 4 * magnitudeBytes);
    d->verticalAbove =
        reinterpret_cast<uint16_t*>(magnitudeBlock + 4 * magnitudeBytes + activityBytes);
    auto* fieldBlock =
        reinterpret_cast<int32_t*>(magnitudeBlock + 4 * magnitudeBytes + 2 * activityBytes);
    for (int k = 0; k < 4; k++)
        for (int j = 0; j < 3; j++)
            d->fieldRows[k][j] = fieldBlock + (3 * k + j) * fieldInts + kLeftMargin;
    d->partsAbove = reinterpret_cast<uint32_t*>(fieldBlock + 12 * fieldInts);
    for (size_t i = 0; i < slotEntries; i++) d->slotRowA[i] = d->slotRowB[i] = &d->slots[0];
    d->slotCursor = width + 2;
    d->slots[0].stepScale = 1.0f;
    d->column = 0;

    for (int v = 0; v < 260; v++)
        d->magnitudeBase[v] = planeIndex * 256 + 16 * countBelow(kMagnitudeThresholds, v);
    for (int i = 0; i < 120; i++) d->activityClass[i] = uint8_t(countBelow(kActivityThresholds, i));
    d->ternaryIndex = 15;
    buildResidualMaps(q, d->quantiserAndRank, d->residualOrder);
    return d;
}

void releaseDecoder(Method2Decoder* d) {
    if (!d) return;
    void* block = d->allocation;
    std::free(d->rowMemory);
    std::free(block);
}

void rescaleTernary(TernaryModel& m) {
    for (uint16_t& c : m.freq) c = uint16_t(c - (c >> 1));
    if (m.step > 256)
        m.step = uint16_t(m.step >> 1);
    else if (m.step >= 33)
        m.step = uint16_t(m.step - 32);
    else if (m.step >= 17)
        m.step = uint16_t(m.step - 2);
}

uint32_t decodeTernaryResidual(RangeDecoder& rc, const MagnitudeTable& magnitudes, TernaryModel& m,
                               const int32_t contexts[2]) {
    const uint32_t f0 = m.freq[0], f1 = m.freq[1];
    const uint32_t v = rangeDecodeFreq(rc, f0 + f1 + m.freq[2]);
    const int s = v < f0 ? 0 : v < f0 + f1 ? 1 : 2;
    const uint32_t low = s == 0 ? 0 : s == 1 ? f0 : f0 + f1;
    rangeUpdate(rc, low, low + m.freq[s]);
    if (m.freq[s] > 16384) rescaleTernary(m);
    m.freq[s] = uint16_t(m.freq[s] + m.step);
    if (s == 0) return 0;
    const int32_t context = contexts[s == 1 ? 1 : 0];
    return uint32_t(s) + 2 * decodeMagnitude(rc, magnitudes, magnitudes[context]);
}

void finishFirstRow(Method2Decoder& d) {
    PixelRecord* row = d.rowBuffer[0];
    const int w = d.width;
    for (int k = 0; k < kRightMargin; k++) row[w + k] = row[w - 1];
    for (int k = 1; k <= kLeftMargin; k++) row[-k] = row[k - 1];
    const size_t bytes = (recordsPerRow(w) - kSpareRecords) * sizeof(PixelRecord);
    for (int k = 1; k <= 3; k++)
        std::memcpy(d.rowBuffer[k] - kLeftMargin, row - kLeftMargin, bytes);
    d.magnitudeRowsKnown = 0;
}

void beginRow(Method2Decoder& d) {
    const int w = d.width;
    PredictorSlot** a = d.slotRowA;
    a[d.slotCursor] = a[d.slotCursor + 1] = a[d.slotCursor - 1];
    d.slotRowA = d.slotRowB;
    d.slotRowB = a;
    d.slotCursor = 2;
    d.slotRowA[0] = d.slotRowA[1] = d.slotRowB[2];

    for (float& f : d.inputs) f = 0.0f;

    PixelRecord* done = d.rowBuffer[0];
    for (int k = 0; k < kRightMargin; k++) done[w + k] = done[w - 1 - k];

    PixelRecord* fresh = d.rowBuffer[4];
    for (int k = 4; k > 0; k--) d.rowBuffer[k] = d.rowBuffer[k - 1];
    d.rowBuffer[0] = fresh;
    d.column = 0;
    for (int k = 1; k <= kLeftMargin; k++) fresh[-k] = d.rowBuffer[1][k - 1];
    fresh[0].aux = 0;
    preparePartsAbove(d);
    prepareActivity(d);
}

PredictorSlot* handOutSlot(RangeDecoder& rc, Method2Decoder& d, int context) {
    if (d.slotCount + 1 >= kSlots) {
        // More predictor contexts than the slot table holds: what a writer did past the table
        // cannot be reproduced, so the image is refused.
        rc.damaged = true;
        return &d.slots[0];
    }
    d.slotCount++;
    d.slotOfContext[context] = int16_t(d.slotCount);
    return &d.slots[d.slotCount];
}

namespace {

struct DecoderDeleter {
    void operator()(Method2Decoder* d) const { releaseDecoder(d); }
};

// The first row of a single plane: each sample is coded against its left neighbour.
void decodeFirstRow(RangeDecoder& rc, Method2Decoder& d, uint8_t* out) {
    PixelRecord* row = d.rowBuffer[0];
    for (int x = 0; x < d.width; x++) {
        PixelRecord& cur = row[x];
        const PixelRecord& left = row[x - 1];
        const PixelRecord& left2 = row[x - 2];
        const int32_t p = left.value >> 4;
        d.magnitudeContext[0] = d.magnitudeBase[p + 4] + 15;
        d.magnitudeContext[1] = d.magnitudeBase[p] + 15;
        d.ternaryIndex =
            kFeatureWeight[4][1] + kFeatureWeight[0][(p < 17) + (p < 115)] +
            kFeatureWeight[1][left.signClass] + kFeatureWeight[2][left2.signClass] +
            kFeatureWeight[3][(left.value < left2.value) + (left.value <= left2.value)] + 15;
        const uint32_t s = decodeTernaryResidual(rc, *d.magnitudes, d.ternaryModels[d.ternaryIndex],
                                                 d.magnitudeContext);
        const int32_t sample = (residualOf(d, s) + p) & 0xFF;
        out[x] = uint8_t(sample);
        cur.value = cur.aux = int16_t(sample * 16);
        const int32_t e = int16_t(cur.value - left.value);
        const uint16_t a = uint16_t(e < 0 ? -e : e);
        cur.err = int16_t(e);
        cur.absErr = cur.gradUp = cur.gradUpLeft = cur.gradUpRight = a;
        cur.gradLeft = uint16_t(a >> 1);
        cur.signClass = uint8_t((e < 0) + (e <= 0));
        cur.magnitude = 2;
    }
}

}  // namespace

void decodeSinglePlane(PayloadReader& in, const PayloadHead& head, uint8_t* out, int width,
                       int height, RowProgress& progress, LaneWidth lanes) {
    DecodeShared shared;
    initShared(shared, false, head.tolerance);
    shared.lanes = lanes;
    MagnitudeTable magnitudes;
    if (!magnitudes.create(kMethodAdaptive)) {
        in.fail(Status::OutOfMemory);
        return;
    }
    std::unique_ptr<Method2Decoder, DecoderDeleter> owner(
        createDecoder(head, shared, width, 0, magnitudes));
    if (!owner) {
        in.fail(Status::OutOfMemory);
        return;
    }
    Method2Decoder& d = *owner;
    RangeDecoder rc;
    rangeStart(rc, in);
    if (height > 0 && !rc.damaged) {
        decodeFirstRow(rc, d, out);
        finishFirstRow(d);
        if (progress.rowDone(rc)) rc.fail(Status::Cancelled);
        for (int y = 1; y < height && !rc.damaged; y++) {
            beginRow(d);
            uint8_t* row = out + size_t(y) * size_t(width);
            for (int x = 0; x < width; x++) {
                const int32_t pred = predictPixel(rc, d, nullptr, nullptr);
                const uint32_t s = decodeTernaryResidual(
                    rc, *d.magnitudes, d.ternaryModels[d.ternaryIndex], d.magnitudeContext);
                const int32_t sample = (residualOf(d, s) + pred) & 0xFF;
                row[x] = uint8_t(sample);
                updatePixel(d, sample, s & 0xFF, sample - pred);
            }
            if (progress.rowDone(rc)) rc.fail(Status::Cancelled);
        }
    }
    rangeFinish(rc, in);
}

}  // namespace pqz::method2
