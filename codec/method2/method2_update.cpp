// Coding method 2: adaptation after each decoded sample. Completes the sample's record, trains
// the linear predictors, adapts the bias cells and spreads the symbol into neighbouring residual
// models.
#include "codec/method2/method2_bias_cells.h"
#include "codec/method2/method2_decoder.h"
#include "codec/method2/method2_float.h"
#include "codec/shared/magnitude_models.h"

namespace pqz::method2 {

namespace {

inline int32_t add32(int32_t a, int32_t b) {
    return int32_t(uint32_t(a) + uint32_t(b));
}
inline int32_t sub32(int32_t a, int32_t b) {
    return int32_t(uint32_t(a) - uint32_t(b));
}
inline uint16_t absolute16(int32_t v) {
    return uint16_t(v < 0 ? -v : v);
}

// Adds to one count of a neighbouring ternary model; the increment is computed from the model's
// step after a rescale of a model that has grown large.
struct Spreader {
    TernaryModel* models;
    template <typename Inc>
    void add(int32_t index, int k, Inc increment) const {
        TernaryModel& n = models[index];
        if (n.freq[0] + n.freq[1] + n.freq[2] > 29696) rescaleTernary(n);
        n.freq[k] = uint16_t(n.freq[k] + increment(n.step));
    }
};

inline uint32_t scaled(uint32_t step, uint32_t factor) {
    return (step * factor) >> 4;
}

// Spreads the decoded symbol into ternary and magnitude models next to the ones used.
void spreadSymbol(Method2Decoder& d, uint32_t symbol, int32_t residual) {
    const int32_t ti = d.ternaryIndex;
    const int32_t sub = ti & 15;
    const TernaryModel& model = d.ternaryModels[ti];
    const Spreader sp{d.ternaryModels};
    const int k3 = symbol == 0 ? 0 : (symbol & 1) ? 1 : 2;
    const uint32_t t = (symbol - 1) >> 1;
    const MagnitudeTable& magnitudes = *d.magnitudes;
    const int32_t mc = d.magnitudeContext[symbol & 1];

    if (model.step <= 16) return;
    if (sub < 15) {
        sp.add(ti + 1, k3, [](uint32_t s) { return scaled(s, 10); });
        if (symbol != 0) trainMagnitude(magnitudes, magnitudes[mc + 1], t);
    }
    if (sub > 0) {
        sp.add(ti - 1, k3, [](uint32_t s) { return scaled(s, 13); });
        if (symbol != 0) trainMagnitude(magnitudes, magnitudes[mc - 1], t);
    }

    if (model.step <= 26) return;
    const uint8_t r = d.errorQuantiser()[uint8_t(-residual)];
    const int km = r == 0 ? 0 : 2 - (r & 1);
    const uint8_t* dg = d.digit;
    const int32_t mi = (ti & 63) + kFeatureWeight[0][1] + kFeatureWeight[1][2 - dg[1]] +
                       kFeatureWeight[2][2 - dg[2]] + kFeatureWeight[3][2 - dg[3]] +
                       kFeatureWeight[4][2 - dg[4]];
    const auto quarter = [](uint32_t s) { return s >> 2; };
    if (sub < 15) sp.add(mi + 1, km, quarter);
    if (sub > 0) sp.add(mi - 1, km, quarter);
    if (symbol != 0) {
        const int32_t bucket = mc & 0xF0;
        if (bucket < 0xF0) trainMagnitude(magnitudes, magnitudes[mc + 16], t);
        if (bucket > 0) trainMagnitude(magnitudes, magnitudes[mc - 16], t);
    }
    sp.add(mi, km, [](uint32_t s) { return scaled(s, 6); });

    if (d.planeIndex != 0 && model.step <= 256) return;
    for (int f = 0; f < 5; f++) {
        const int32_t* w = kFeatureWeight[f];
        const int df = dg[f];
        if (df == 1) {
            sp.add(mi - w[1] + w[0], km, quarter);
            const int32_t b = ti - w[1] + w[0];
            sp.add(b, k3, [](uint32_t s) { return scaled(s, 3); });
            if (sub < 15) {
                sp.add(b + 1, k3, quarter);
                sp.add(ti - w[1] + w[2] + 1, k3, [](uint32_t s) { return s >> 3; });
            }
            if (sub >= 3) sp.add(b - 1, k3, [](uint32_t s) { return scaled(s, 6); });
        } else {
            sp.add(mi + w[1] - w[2 - df], km, [](uint32_t s) { return scaled(s, 7); });
            const int32_t b = ti - w[df] + w[1];
            sp.add(b, k3, [](uint32_t s) { return scaled(s, 7); });
            if (sub < 15) sp.add(b + 1, k3, [](uint32_t s) { return scaled(s, 5); });
            if (sub > 0) sp.add(b - 1, k3, [](uint32_t s) { return scaled(s, 6); });
        }
    }
}

}  // namespace

void updatePixel(Method2Decoder& d, int32_t sample, uint32_t symbol, int32_t residual) {
    const DecodeShared& sh = *d.shared;
    const int32_t v = 16 * sample;
    const float vf = float(v);
    const int32_t sub = d.ternaryIndex & 15;
    PixelRecord* C = d.rowBuffer[0] + d.column;
    const PixelRecord* U1 = d.rowBuffer[1] + d.column;

    // The sample's record.
    C[0].value = int16_t(v);
    C[0].aux = int16_t(v - C[0].aux);
    C[1].aux = 0;
    const int32_t t = (sub > 4) + (sub > 6) + 2 * (sub > 9);
    C[0].signClass = uint8_t((residual < -t) + (residual <= t));
    C[0].magnitude = uint8_t(residual < 0 ? -residual : residual);
    C[0].gradLeft = absolute16(v - C[-1].value);
    C[0].gradUp = absolute16(v - U1[0].value);
    C[0].gradUpLeft = absolute16(v - U1[-1].value);
    C[0].gradUpRight = absolute16(v - U1[1].value);
    C[0].err = int16_t(uint16_t(sub32(v, d.directional)));
    C[0].absErr = absolute16(C[0].err);

    // Blend factor of the slot used.
    PredictorSlot& s = *d.currentSlot;
    float* x = d.inputs;
    const float base = x[28], own = x[29], blend = x[30];
    const float dv = fdiff(vf, blend);
    const float dm = fdiff(own, blend);
    const float num = fsum(fprod(fdiff(fprod(dv, dm), s.mixNum), 0.001f), s.mixNum);
    const float den = fsum(fsum(0.0001f, s.mixDen), fprod(fdiff(fprod(dm, dm), s.mixDen), 0.001f));
    s.mixDen = den;
    const float least = fprod(0.1f, den);
    if (least > num)
        s.mixNum = least;
    else
        s.mixNum = num < den ? num : den;
    const float g = fprod(fdiff(1.0f, fquot(s.mixNum, fsum(den, 576.0f))), 2.0f);

    // Training: the slot used, then the left neighbour's slot, then the slot used again.
    PredictorSlot& left = *d.slotRowA[d.slotCursor - 1];
    const float e1 = fprod(fdiff(vf, own), 2.6f);
    const float eL = fprod(dv, g);
    const float rateL = fprod(0.013f, g);
    const float reg1 = fprod(26896.0f, s.stepScale);
    const float regL = fprod(5041.0f, left.stepScale);
    trainSlotsIn(d.lanes, s, 0.05f, e1, reg1, left, rateL, eL, regL, x, sh.stepSize);
    const float e2 = fdiff(vf, fsum(base, dot28(s.weight, x)));
    refineWeightsIn(d.lanes, s, x, sh.stepSize, e2, fprod(s.stepScale, 529.0f));
    s.useCount++;
    s.stepScale = fsum(s.stepScale, fprod(fdiff(10.0f, s.stepScale), 0.0002f));

    d.slotRowA[d.slotCursor] = &s;
    d.slotCursor++;

    // Bias stages.
    for (int k = 0; k < kBiasStages; k++) {
        const int32_t dk = sub32(v, d.stagePrediction[k]);
        cells::adaptStage(d.biasTables[k], d.stageCell[k], dk, add32(dk, d.stageBias[k]),
                          sh.biasClipHigh, sh.biasClipLow, d.lanes);
    }

    d.column++;
    spreadSymbol(d, symbol, residual);
}

}  // namespace pqz::method2
