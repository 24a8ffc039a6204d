// Per-plane coder of method 1: row ring, quantisers, context formation, sample coding and the
// training of neighbouring contexts, in the decoder's exact order of operations.
#include "tests/encoder/method1_encoder.h"

#include <cassert>
#include <cstdlib>
#include <memory>

namespace pqz::enc {

namespace {

constexpr int kContextCount = 629856;  // 32 * 3^9
constexpr int kLeftMargin = 4;
constexpr int kRightMargin = 6;
// Entries in front of every ring buffer: the right-margin copy of a row of width 0 or 1 reads
// up to two entries in front of the left margin (the values read there are never used).
constexpr int kSpareFront = 8;

constexpr int kPow3[9] = {1, 3, 9, 27, 81, 243, 729, 2187, 6561};
int weight(int k, int t) {
    return 32 * kPow3[k] * t;
}

struct Entry {
    uint8_t v;  // sample value
    uint8_t e;  // |value - prediction|
};

// Mirror of the decoder's per-plane object.
struct PlaneCoder {
    int width = 0;
    int height = 0;
    int pred = 0;
    int context = 0;
    int escapeBase = 0;
    int parity = 0;
    int errorSum[2] = {0, 0};
    int t[9] = {};
    std::vector<Entry> buffer[5];
    int slot[5] = {0, 1, 2, 3, 4};  // buffer of ring slot j (0 current row, j rows above)
    int column = 0;                 // the current column of every slot
    bool exactTargets = false;      // code every target exactly instead of within tolerance
    uint8_t activityLevel[512];
    uint8_t brightnessLevel[256];
    uint32_t escapeLevel[512];
    ResidualMaps maps;
    std::vector<SymbolModel> models;

    // R_j[i]: the entry i columns right of the current column in ring slot j.
    Entry& at(int j, int i) { return buffer[slot[j]][kSpareFront + kLeftMargin + column + i]; }
    const Entry& at(int j, int i) const {
        return buffer[slot[j]][kSpareFront + kLeftMargin + column + i];
    }
};

int levelOf(int x, const int (&thresholds)[7]) {
    int level = 0;
    for (int t : thresholds) level += t < x;
    return level;
}

std::unique_ptr<PlaneCoder> createPlane(int width, int height, int planeIndex, int tolerance) {
    static const int kActivity[7] = {1, 2, 4, 8, 14, 35, 103};
    static const int kEscape[7] = {1, 3, 6, 10, 16, 27, 52};
    static const int kBrightness[7] = {5, 10, 36, 98, 154, 236, 248};
    auto d = std::make_unique<PlaneCoder>();
    d->width = width;
    d->height = height;
    SymbolModel fresh;
    initSymbolModel(fresh);
    d->models.assign(kContextCount, fresh);
    for (int a = 0; a < 512; a++) {
        d->activityLevel[a] = uint8_t(levelOf(a, kActivity));
        d->escapeLevel[a] = uint32_t(planeIndex * 256 + levelOf(a, kEscape));
    }
    for (int p = 0; p < 256; p++) d->brightnessLevel[p] = uint8_t(8 * levelOf(p, kBrightness));
    d->maps = buildResidualMaps(tolerance);
    for (auto& b : d->buffer)
        b.assign(size_t(kSpareFront + kLeftMargin + width + kRightMargin), Entry{72, 0});
    d->column = width;  // as if a row had just been finished
    return d;
}

void beginRow(PlaneCoder& d) {
    // Right margin of the row just finished mirrors its last samples.
    for (int k = 0; k < kRightMargin; k++) d.at(0, k) = d.at(0, -1 - k);
    const int oldest = d.slot[4];
    for (int j = 4; j > 0; j--) d.slot[j] = d.slot[j - 1];
    d.slot[0] = oldest;
    d.column = 0;
    for (int k = 0; k < kLeftMargin; k++) d.at(0, -1 - k) = d.at(1, k);
    d.parity = 0;
    d.errorSum[0] = d.at(0, -4).e + d.at(0, -2).e;
    d.errorSum[1] = d.at(0, -3).e + d.at(0, -1).e;
    for (int i = -2; i <= 4; i += 2) d.errorSum[0] += d.at(2, i).e + d.at(4, i).e;
    for (int i = -1; i <= 5; i += 2) d.errorSum[1] += d.at(2, i).e + d.at(4, i).e;
}

// 0 negative, 1 zero, 2 positive.
int sgn(int x) {
    return (x > 0) + (x >= 0);
}

// X and Y are the planes coded just before this one in the same pixel (X the nearer); they
// have already moved past the pixel, so their co-located sample is R_0[-1].
void formContext(PlaneCoder& d, const PlaneCoder* x, const PlaneCoder* y) {
    const Entry n = d.at(1, 0), w = d.at(0, -1), nw = d.at(1, -1), ne = d.at(1, 1);
    const Entry nn = d.at(2, 0), ww = d.at(0, -2), w3 = d.at(0, -3), nee = d.at(1, 2);

    int pred;
    if (nw.v >= std::max(n.v, w.v))
        pred = std::min(n.v, w.v);
    else if (nw.v <= std::min(n.v, w.v))
        pred = std::max(n.v, w.v);
    else
        pred = n.v + w.v - nw.v;
    d.pred = pred;

    int a = 6 * w.e + 4 * (ww.e + n.e) + 3 * (nn.e + ne.e) +
            2 * (d.at(0, -4).e + nee.e + d.at(2, 2).e) + w3.e + nw.e;
    int d3, d5, d6, d7, d8, f;
    if (!x) {
        a += d.at(1, 3).e + d.at(2, -2).e + d.at(4, 0).e + d.at(4, 2).e;
        d3 = nee.v - pred;
        d5 = 2 * w.v - ww.v - pred;
        d6 = 2 * n.v - nn.v - pred;
        d7 = w.v + ne.v - n.v - pred;
        d8 = w3.v - 3 * ww.v + 3 * w.v - pred;
        f = d.at(1, 0).e + d.at(2, 0).e + d.at(3, 0).e + d.at(4, 0).e + d.at(0, 0).e == 0;
    } else {
        const Entry xc = x->at(0, -1), xw = x->at(0, -2), xn = x->at(1, -1);
        d3 = xc.v - x->pred;
        if (!y) {
            a += 3 * xc.e + d.at(1, 3).e;
            d5 = 2 * w.v - ww.v - pred;
            d6 = d5;
            d7 = w.v + ne.v - n.v - pred;
            d8 = (xc.v - xw.v) + w.v - pred;
            f = xc.e < 8;
        } else {
            const Entry yc = y->at(0, -1), yw = y->at(0, -2);
            a += 2 * (xc.e + yc.e);
            d5 = (xc.v - xn.v) + n.v - pred;
            d6 = (xc.v - xw.v) + w.v - pred;
            d7 = (yc.v - yw.v) + w.v - pred;
            d8 = yc.v - y->pred;
            f = xc.e + yc.e < 16;
        }
    }

    static const int kTernaryThreshold[8] = {1, 1, 2, 2, 2, 4, 4, 4};
    const int activity = (a + 7) >> 4;
    const int level = d.activityLevel[activity];
    const int thr = kTernaryThreshold[level];
    auto ter = [thr](int v) { return (v > thr) + (v >= -thr); };
    d.escapeBase = int(d.brightnessLevel[pred] + d.escapeLevel[activity]);

    int* t = d.t;
    t[0] = (pred > 22) + (pred > 216);
    t[1] = sgn(nw.v - n.v);
    t[2] = sgn(nw.v - w.v);
    t[3] = sgn(d3);
    t[4] = ter(ne.v - pred);
    t[5] = ter(d5);
    t[6] = sgn(d6);
    t[7] = sgn(d7);
    t[8] = sgn(d8);
    const int z = d.errorSum[d.parity] == 0;
    int context = level + 8 * z + 16 * f;
    for (int k = 0; k < 9; k++) context += weight(k, t[k]);
    d.context = context;
}

void addCount(SymbolModel& m, uint32_t s, int n) {
    m.count[s] = uint16_t(m.count[s] + n);
    m.total = uint16_t(m.total + n);
}

// The upper half of the escape contexts, as the neighbour training decides it (no slack).
bool trainingHigh(const SymbolModel& m, uint32_t s) {
    return int(m.count[0]) + int(m.total & 0x7FFF) - 2 * int(m.count[s]) < 0;
}

void trainNeighbours(PlaneCoder& d, MagnitudeCoder& mc, int v) {
    const int c = d.context;
    const int b = d.escapeBase;
    const int* t = d.t;
    const uint8_t* q = d.maps.quantiser;
    const uint32_t u = q[(v - d.pred) & 0xFF];
    const uint32_t su = symbolOfValue(u);
    const uint32_t sm = symbolOfValue(q[(d.pred - v) & 0xFF]);
    const uint32_t x = su >= 5 ? escapeMagnitude(u) : 0;
    const uint32_t odd = 128 * (su & 1);
    const int level = c & 7;
    auto add = [&](int context, uint32_t s, int n) { addCount(d.models[size_t(context)], s, n); };
    auto high = [&](int context) { return trainingHigh(d.models[size_t(context)], su) ? 64 : 0; };

    int mirror = (c & 31) + weight(0, 1);
    for (int k = 1; k < 9; k++) mirror += weight(k, 2 - t[k]);
    add(mirror, sm, 17);

    if (level < 7) {
        add(c + 1, su, 11);
        if (su >= 5) {
            const int base = (b & 7) < 7 ? b + 1 : b;
            trainMagnitude(mc, uint32_t(base + odd + high(c + 1)), x);
        }
    }
    if (level > 0) {
        add(c - 1, su, 13);
        if (su >= 5) {
            const int base = (b & 7) > 0 ? b - 1 : b;
            trainMagnitude(mc, uint32_t(base + odd + high(c - 1)), x);
        }
    }
    if (d.models[size_t(c)].total >= 3276) return;

    if (level < 7) add(mirror + 1, sm, 7);
    if (level > 0) add(mirror - 1, sm, 5);
    if (su >= 5) {
        const int e = b + int(odd) + high(c);
        if ((e & 0x38) < 0x38) trainMagnitude(mc, uint32_t(e + 8), x);
        if ((e & 0x38) > 0) trainMagnitude(mc, uint32_t(e - 8), x);
    }
    for (int k = 0; k < 9; k++) {
        if (t[k] == 1) {
            for (int tp : {0, 2}) {
                const int n = c - weight(k, 1) + weight(k, tp);
                add(n, su, 6);
                if (level < 7) add(n + 1, su, 4);
                if (level > 0) add(n - 1, su, 3);
            }
            continue;
        }
        add(c - weight(k, t[k]) + weight(k, 2 - t[k]), su, 7);
        const int qn = c - weight(k, t[k]) + weight(k, 1);
        add(qn, su, 6);
        const int rn = k >= 1 ? mirror - weight(k, 2 - t[k]) + weight(k, 1)
                              : mirror - weight(0, 1) + weight(0, 0);
        add(rn, sm, 4);
        if (level < 7) {
            add(qn + 1, su, 4);
            add(rn + 1, sm, 2);
        }
        if (level > 0) {
            add(qn - 1, su, 3);
            add(rn - 1, sm, 2);
        }
    }
}

// Codes one sample whose output the decoder forms as (value + ref) & 0xFF, keeping that output
// within the tolerance of target. Returns the plane's own value.
int encodeSample(RangeEncoder& rc, MagnitudeCoder& mc, PlaneCoder& d, const PlaneCoder* x,
                 const PlaneCoder* y, int target, int ref) {
    formContext(d, x, y);
    const int base = (d.pred + ref) & 0xFF;
    const uint32_t s =
        d.exactTargets ? d.maps.rank[(target - base) & 0xFF] : chooseResidual(d.maps, base, target);
    SymbolModel& model = d.models[size_t(d.context)];
    encodeResidualSymbol(rc, mc, model, uint32_t(d.escapeBase), s);

    const int v = (d.maps.order[s] + d.pred) & 0xFF;
    d.at(0, 0) = Entry{uint8_t(v), uint8_t(std::abs(v - d.pred))};
    d.errorSum[d.parity] +=
        d.at(0, 0).e - d.at(0, -4).e + d.at(2, 6).e - d.at(2, -2).e + d.at(4, 6).e - d.at(4, -2).e;
    d.parity = 1 - d.parity;
    if (model.total < 0x4000) trainNeighbours(d, mc, v);
    d.column++;
    return v;
}

void addStats(MagnitudeStats& sum, const MagnitudeStats& s) {
    sum.escapes += s.escapes;
    sum.symbolRescales += s.symbolRescales;
    sum.classRescales += s.classRescales;
    sum.nodeRescales += s.nodeRescales;
}

}  // namespace

int planeReference(const PlaneSpec& spec, const uint8_t* pixel, const uint8_t orderMap[4],
                   int position, int order3Rounding) {
    switch (spec.order) {
        case 1:
            return spec.offset + pixel[orderMap[0]];
        case 2:
            return spec.offset +
                   ((spec.coef[0] * pixel[orderMap[0]] + spec.coef[1] * pixel[orderMap[1]] + 40) >>
                    7);
        case 3:
            assert(position >= 3);
            return spec.offset +
                   ((spec.coef[0] * pixel[position - 3] + spec.coef[1] * pixel[position - 2] +
                     spec.coef[2] * pixel[position - 1] + order3Rounding) >>
                    7);
        default:
            return 0;
    }
}

void encodeMethod1Grey(std::vector<uint8_t>& out, const uint8_t* target, int width, int height,
                       int tolerance, std::vector<uint8_t>& recon, const uint8_t* ref,
                       MagnitudeStats* stats, bool exactTargets) {
    std::unique_ptr<PlaneCoder> d = createPlane(width, height, 0, tolerance);
    d->exactTargets = exactTargets;
    MagnitudeCoder mc = makeMagnitudeCoder(1);
    recon.assign(size_t(width) * height, 0);
    RangeEncoder rc(out);
    for (int y = 0; y < height; y++) {
        beginRow(*d);
        for (int x = 0; x < width; x++) {
            const size_t j = size_t(y) * width + x;
            const int r = ref ? ref[j] : 0;
            const int v = encodeSample(rc, mc, *d, nullptr, nullptr, target[j], r);
            recon[j] = uint8_t(v + r);
        }
    }
    rc.finish();
    if (stats) addStats(*stats, mc.stats);
}

void encodeMethod1Interleaved(std::vector<uint8_t>& out, const uint8_t* target, int width,
                              int height, int planeCount, const std::vector<PlaneSpec>& planes,
                              int tolerance, std::vector<uint8_t>& recon, MagnitudeStats* stats,
                              bool exactTargets) {
    assert((planeCount == 3 || planeCount == 4) && int(planes.size()) == planeCount);
    uint8_t orderMap[4] = {0, 0, 0, 0};
    for (int p = 0; p < planeCount; p++) orderMap[planes[p].order] = uint8_t(p);
    std::unique_ptr<PlaneCoder> d[4];
    for (int k = 0; k < planeCount; k++) {
        d[k] = createPlane(width, height, k, tolerance);
        d[k]->exactTargets = exactTargets;
    }
    MagnitudeCoder mc = makeMagnitudeCoder(1);
    recon.assign(size_t(width) * height * planeCount, 0);
    RangeEncoder rc(out);
    for (int y = 0; y < height; y++) {
        for (int k = 0; k < planeCount; k++) beginRow(*d[k]);
        for (int x = 0; x < width; x++) {
            const size_t j = (size_t(y) * width + x) * planeCount;
            uint8_t* pixel = &recon[j];
            for (int k = 0; k < planeCount; k++) {
                const int p = orderMap[k];
                const PlaneSpec& spec = planes[p];
                const int ref =
                    k > 0 && spec.hasReference ? planeReference(spec, pixel, orderMap, p, 64) : 0;
                const PlaneCoder* px = k >= 1 ? d[k - 1].get() : nullptr;
                const PlaneCoder* py = k >= 2 ? d[k - 2].get() : nullptr;
                const int v = encodeSample(rc, mc, *d[k], px, py, target[j + p], ref);
                pixel[p] = uint8_t(v + ref);
            }
        }
    }
    rc.finish();
    if (stats) addStats(*stats, mc.stats);
}

}  // namespace pqz::enc
