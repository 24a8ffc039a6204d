// Coding method 2 on images of three or four interleaved 8-bit planes: one decoder per plane,
// all planes of a pixel decoded in turn from one coded stream, each plane's predictor looking at
// the two other planes.
#include <cstring>

#include "codec/method2/method2_decoder.h"
#include "codec/method2/method2_float.h"
#include "codec/shared/range_decoder.h"
#include "codec/shared/reference_prediction.h"

namespace pqz::method2 {

namespace {

constexpr PixelRecord kHistoryRecord = {256, 256, -16, 512, 256, 1024, 512, 512, 1, 3};

// Row 0 is predicted in full over a constant history: sample value 16 everywhere above.
void setUpHistory(Method2Decoder& d) {
    PixelRecord* row = d.rowBuffer[0] - kLeftMargin;
    const int records = kLeftMargin + d.width + kRightMargin;
    for (int i = 0; i < records; i++) row[i] = kHistoryRecord;
    for (int k = 1; k <= 3; k++)
        std::memcpy(d.rowBuffer[k] - kLeftMargin, row, size_t(records) * sizeof(PixelRecord));
    d.magnitudeRowsKnown = 0;
    d.column = d.width;
}

struct Decoders {
    Method2Decoder* at[4] = {};
    int count = 0;
    ~Decoders() {
        for (Method2Decoder* d : at) releaseDecoder(d);
    }
};

// Decodes the sample of one plane at the current pixel and returns it.
int32_t decodeSample(RangeDecoder& rc, Method2Decoder& d, const Method2Decoder& r1,
                     const Method2Decoder& r2) {
    const int32_t pred = predictPixel(rc, d, &r1, &r2);
    const uint32_t s = decodeTernaryResidual(rc, *d.magnitudes, d.ternaryModels[d.ternaryIndex],
                                             d.magnitudeContext);
    const int32_t sample = (residualOf(d, s) + pred) & 0xFF;
    updatePixel(d, sample, s & 0xFF, sample - pred);
    int32_t* bias = d.shared->gradientBias;
    const PixelRecord& done = d.rowBuffer[0][d.column - 1];
    bias[0] += 32 * done.gradUpLeft;
    bias[1] += 32 * done.gradUpRight;
    bias[2] += 32 * done.gradLeft;
    bias[3] += 32 * done.gradUp;
    return sample;
}

inline void setReference(Method2Decoder& d, int32_t reference) {
    d.rowBuffer[0][d.column].aux = d.hasReference ? int16_t(reference) : int16_t(0);
}

void decodePlanes(RangeDecoder& rc, const PayloadHead& head, Decoders& dec, uint8_t* out, int width,
                  int height, RowProgress& progress) {
    const int planes = dec.count;
    Method2Decoder& d0 = *dec.at[0];
    Method2Decoder& d1 = *dec.at[1];
    Method2Decoder& d2 = *dec.at[2];
    const uint8_t* order = head.orderMap;
    const int32_t* coef2 = head.planeTable[order[2]].coef;
    const int32_t* coef3 = head.planeTable[order[planes > 3 ? 3 : 2]].coef;
    int32_t(&bias)[4] = d0.shared->gradientBias;

    for (int k = 0; k < planes; k++) setUpHistory(*dec.at[k]);
    for (int y = 0; y < height && !rc.damaged; y++) {
        for (int k = 0; k < planes; k++) {
            if (y == 1) finishFirstRow(*dec.at[k]);
            beginRow(*dec.at[k]);
        }
        for (int32_t& g : bias) g = 0;
        uint8_t* px = out + size_t(y) * size_t(width) * size_t(planes);
        for (int x = 0; x < width; x++, px += planes) {
            for (int32_t& g : bias) g >>= 3;
            px[order[0]] = uint8_t(decodeSample(rc, d0, d2, d1));
            setReference(d1, 16 * px[order[0]]);
            px[order[1]] = uint8_t(decodeSample(rc, d1, d0, d2));
            setReference(d2, referenceSixteenths(referenceSum(coef2, px[order[0]], px[order[1]])));
            px[order[2]] = uint8_t(decodeSample(rc, d2, d0, d1));
            if (planes > 3) {
                Method2Decoder& d3 = *dec.at[3];
                setReference(d3, referenceSixteenths(referenceSum(coef3, px[0], px[1], px[2])));
                px[3] = uint8_t(decodeSample(rc, d3, d2, d0));
            }
        }
        if (progress.rowDone(rc)) rc.fail(Status::Cancelled);
    }
}

}  // namespace

void decodeInterleavedImage(PayloadReader& in, const PayloadHead& head, int width, int height,
                            uint8_t* out, RowProgress& progress, LaneWidth lanes) {
    const int planes = head.planeCount;
    DecodeShared shared;
    initShared(shared, true, head.tolerance);
    shared.lanes = lanes;
    MagnitudeTable magnitudes;
    if (!magnitudes.create(kMethodAdaptive)) {
        in.fail(Status::OutOfMemory);
        return;
    }
    Decoders dec;
    dec.count = planes;
    for (int k = 0; k < planes; k++) {
        dec.at[k] = createDecoder(head, shared, width, k, magnitudes);
        if (!dec.at[k]) {
            in.fail(Status::OutOfMemory);
            return;
        }
    }
    RangeDecoder rc;
    rangeStart(rc, in);
    if (!rc.damaged) decodePlanes(rc, head, dec, out, width, height, progress);
    rangeFinish(rc, in);
}

}  // namespace pqz::method2
