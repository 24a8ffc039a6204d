// Method-2 test encoder: adaptation after every predicted sample (sample record, predictor
// training, bias cells, spreading into neighbouring residual models).
#include <cstdlib>

#include "tests/encoder/method2_encoder_core.h"

namespace pqz::enc::m2 {

namespace {

const uint8_t kCountdown[4] = {2, 7, 46, 197};  // for shifts 5..8
const int kSuccessor[4] = {1, 2, 3, 2};

// Mix of the slot's own prediction with the blended one; returns the left slot's rate factor.
float adaptMix(PlaneCoder& d, Slot& s, float vf) {
    float dv = vf - d.blend;
    float dm = d.own - d.blend;
    float num = ((dv * dm) - s.mixNum) * 0.001f + s.mixNum;
    float den = (0.0001f + s.mixDen) + ((dm * dm - s.mixDen) * 0.001f);
    s.mixDen = den;
    if (0.1f * den > num)
        s.mixNum = 0.1f * den;
    else
        s.mixNum = num < den ? num : den;
    return (1.0f - s.mixNum / (den + 576.0f)) * 2.0f;
}

void trainSlots(PlaneCoder& d, float vf) {
    Slot& S = d.slots[d.cur];
    Slot& L = d.slots[d.slotRow[d.rowA][d.curA - 1]];
    const float* step = d.tab.stepSize;
    const float* X = d.X;
    float dv = vf - d.blend;
    float g = adaptMix(d, S, vf);
    float e1 = (vf - d.own) * 2.6f;
    float eL = dv * g;
    float rateL = 0.013f * g;
    float reg1 = 26896.0f * S.stepScale;
    float regL = 5041.0f * L.stepScale;
    for (int grp = 0; grp < 7; grp++) {
        for (int i = 4 * grp; i < 4 * grp + 4; i++) {
            S.pw[i] = ((X[i] * X[i] - S.pw[i]) * 0.05f) + S.pw[i];
            S.w[i] = ((step[i] * e1) * X[i]) / (S.pw[i] + reg1) + S.w[i];
        }
        for (int i = 4 * grp; i < 4 * grp + 4; i++) {
            L.pw[i] = ((X[i] * X[i] - L.pw[i]) * rateL) + L.pw[i];
            L.w[i] = ((step[i] * eL) * X[i]) / (L.pw[i] + regL) + L.w[i];
        }
    }
    float e2 = vf - (d.base + dot(S.w, X));
    float reg2 = S.stepScale * 529.0f;
    for (int i = 0; i < kInputs; i++) S.w[i] = ((step[i] * e2) * X[i]) / (S.pw[i] + reg2) + S.w[i];
    S.useCount += 1;
    S.stepScale = S.stepScale + (10.0f - S.stepScale) * 0.0002f;
}

struct BiasUpdate {
    Cell* cells;
    int clipHigh, clipLow;
    uint64_t* settled;  // cells whose shift and countdown stop changing

    int sigma(int32_t x) const { return (x > clipHigh) - (x < clipLow); }
    static int32_t bias(const Cell& c) {
        return (int32_t(c.sum) + (1 << (c.shift - 1))) >> c.shift;
    }
    // Pulls a related cell towards target t.
    void related(int n, int32_t t, int k, int z) const {
        Cell& c = cells[n];
        int32_t delta = w32(int64_t(t) - bias(c));
        int32_t add = w32(int64_t(z) * 32 * sigma(delta) + (1 << (k - 1)) + delta) >> k;
        c.sum = int16_t(c.sum + add);
    }
    void stage(int idx, int32_t d, int32_t e) const {
        Cell& c = cells[idx];
        c.sum = int16_t(c.sum + d);
        if (c.countdown != 0) {
            c.sum = int16_t(c.sum + 4 * sigma(d));
            if (std::llabs(int64_t(d)) < 38) {
                if (c.countdown == 1 && c.shift < 8) {
                    c.shift += 1;
                    c.countdown = kCountdown[c.shift - 5];
                    c.sum = int16_t(2 * c.sum);
                } else if (c.countdown == 1) {
                    c.countdown = 0;
                    ++*settled;
                } else {
                    c.countdown -= 1;
                }
            }
        }
        const int lo = idx & 3, mid = (idx >> 2) & 3, m = idx ^ 0x7FF0;
        const int32_t ne = w32(-int64_t(e));
        if (lo < 3) related(idx + 1, e, 1, 1);
        if (lo > 0) related(idx - 1, e, 2, 1);
        related(m, ne, 2, 1);
        if (lo < 3) related(m + 1, ne, 2, 0);
        if (lo > 0) related(m - 1, ne, 3, 0);
        for (int j = 14; j >= 4; j--) {
            const int n = idx ^ (1 << j);
            const int n2 = (n & ~0xC) | (kSuccessor[mid] << 2);
            const int mj = idx ^ (0x7FF0 ^ (1 << j));
            related(n, e, 2, 1);
            related(n2, e, 3, 1);
            if (lo < 3) related(n + 1, e, 2, 0);
            if (lo > 0) related(n - 1, e, 3, 1);
            related(mj, ne, 3, 1);
        }
    }
};

// Adds to one frequency of a neighbouring residual model, rescaling it first when full.
template <typename Inc>
void spreadTo(PlaneCoder& d, Tern& n, int k, Inc inc) {
    if (int(n.f[0]) + n.f[1] + n.f[2] > 29696) rescaleTernary(d, n);
    n.f[k] = uint16_t(n.f[k] + inc(int(n.step)));
}

void spread(PlaneCoder& d, int symbol, int residual) {
    Tern* tm = d.tern.data();
    const int ti = d.ternaryIndex;
    const int sub = ti & 15;
    const int k3 = symbol == 0 ? 0 : (symbol & 1) ? 1 : 2;
    const int t = (symbol - 1) >> 1;
    const int mc = d.magCtx[symbol & 1];

    // The model's step is read at each test: spreading may have rescaled the model itself.
    if (tm[ti].step <= 16) return;
    if (sub < 15) {
        spreadTo(d, tm[ti + 1], k3, [](int s) { return (s * 10) >> 4; });
        if (symbol != 0) trainMagnitude(d.mags, mc + 1, t);
    }
    if (sub > 0) {
        spreadTo(d, tm[ti - 1], k3, [](int s) { return (s * 13) >> 4; });
        if (symbol != 0) trainMagnitude(d.mags, mc - 1, t);
    }

    if (tm[ti].step <= 26) return;
    const int r = d.maps.quantiser[(-residual) & 255];
    const int km = r == 0 ? 0 : 2 - (r & 1);
    int mi = (ti & 63) + kFeatureUnit[0];
    for (int f = 1; f < 5; f++) mi += (2 - d.digit[f]) * kFeatureUnit[f];
    auto quarter = [](int s) { return s >> 2; };
    if (sub < 15) spreadTo(d, tm[mi + 1], km, quarter);
    if (sub > 0) spreadTo(d, tm[mi - 1], km, quarter);
    if (symbol != 0) {
        const int f = mc & 0xF0;
        if (f < 0xF0) trainMagnitude(d.mags, mc + 16, t);
        if (f > 0) trainMagnitude(d.mags, mc - 16, t);
    }
    spreadTo(d, tm[mi], km, [](int s) { return (s * 6) >> 4; });

    if (d.planeIndex != 0 && tm[ti].step <= 256) return;
    for (int f = 0; f < 5; f++) {
        const int u = kFeatureUnit[f];
        const int df = d.digit[f];
        if (df == 1) {
            spreadTo(d, tm[mi - u], km, quarter);
            const int b = ti - u;
            spreadTo(d, tm[b], k3, [](int s) { return (s * 3) >> 4; });
            if (sub < 15) {
                spreadTo(d, tm[b + 1], k3, quarter);
                spreadTo(d, tm[ti + u + 1], k3, [](int s) { return s >> 3; });
            }
            if (sub >= 3) spreadTo(d, tm[b - 1], k3, [](int s) { return (s * 6) >> 4; });
        } else {
            spreadTo(d, tm[mi + u - (2 - df) * u], km, [](int s) { return (s * 7) >> 4; });
            const int b = ti - df * u + u;
            spreadTo(d, tm[b], k3, [](int s) { return (s * 7) >> 4; });
            if (sub < 15) spreadTo(d, tm[b + 1], k3, [](int s) { return (s * 5) >> 4; });
            if (sub > 0) spreadTo(d, tm[b - 1], k3, [](int s) { return (s * 6) >> 4; });
        }
    }
}

}  // namespace

void rescaleTernary(PlaneCoder& d, Tern& m) {
    d.stats.ternaryRescales++;
    for (uint16_t& c : m.f) c = uint16_t(c - (c >> 1));
    if (m.step > 256)
        m.step >>= 1;
    else if (m.step >= 33)
        m.step -= 32;
    else if (m.step >= 17)
        m.step -= 2;
}

void update(PlaneCoder& d, int sample, int symbol, int residual) {
    const int v = 16 * sample;
    const float vf = float(v);
    const int sub = d.ternaryIndex & 15;

    // Record of the sample.
    Rec& c = d.C(0);
    c.v = int16_t(v);
    c.a = int16_t(v - c.a);
    d.C(1).a = 0;
    const int t = (sub > 4) + (sub > 6) + 2 * (sub > 9);
    c.sc = uint8_t((residual < -t) + (residual <= t));
    c.m = uint8_t(std::abs(residual) & 255);
    c.gL = uint16_t(std::abs(v - d.C(-1).v));
    c.gU = uint16_t(std::abs(v - d.U1(0).v));
    c.gUL = uint16_t(std::abs(v - d.U1(-1).v));
    c.gUR = uint16_t(std::abs(v - d.U1(1).v));
    c.err = int16_t(w32(int64_t(v) - d.directional));
    c.absErr = uint16_t(std::abs(int(c.err)));

    trainSlots(d, vf);
    d.slotRow[d.rowA][d.curA] = d.cur;
    d.curA++;
    d.curB++;

    BiasUpdate bu{nullptr, d.clipHigh, d.clipLow, &d.stats.cellsSettled};
    for (int s = 0; s < 5; s++) {
        bu.cells = d.cells.data() + size_t(s) * kCellsPerStage;
        const int32_t dd = w32(int64_t(v) - d.stagePred[s]);
        bu.stage(d.stageCell[s], dd, w32(int64_t(dd) + d.stageBias[s]));
    }

    d.col++;
    spread(d, symbol, residual);
}

}  // namespace pqz::enc::m2
