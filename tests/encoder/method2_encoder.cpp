// Method-2 test encoder: coder state, row bookkeeping, residual coding and the plane drivers.
#include "tests/encoder/method2_encoder.h"

#if defined(__x86_64__)
#include <xmmintrin.h>
#elif !defined(__aarch64__)
#include <cfenv>
#endif

#include <cassert>
#include <cstdlib>
#include <memory>

#include "tests/encoder/method2_encoder_core.h"

namespace pqz::enc {

namespace m2 {

namespace {

const float kFixedWeight[kInputs] = {-0.05f, -0.07f, 0.3f,  0.18f, -0.03f, 0.04f, 0.06f,
                                     -0.01f, 0.06f,  0.16f, 0.0f,  -0.01f, -0.1f, -0.02f,
                                     0.05f,  0.05f,  0.06f, 0.0f,  0.04f,  0.02f, 0.04f,
                                     0.02f,  0.04f,  0.05f, 0.07f, 0.0f,   0.03f, 0.02f};
const float kStepSize[kInputs] = {0.0108f, 0.0069f, 0.0054f, 0.0052f, 0.0042f, 0.0042f, 0.0042f,
                                  0.0039f, 0.0035f, 0.0035f, 0.0028f, 0.0028f, 0.0027f, 0.0026f,
                                  0.0026f, 0.0024f, 0.0023f, 0.0023f, 0.0022f, 0.0021f, 0.0019f,
                                  0.0019f, 0.0017f, 0.0017f, 0.0015f, 0.0015f, 0.0011f, 0.0009f};

// Flush-to-zero on, round-to-nearest, denormal inputs left as they are; restored on exit. On
// x86-64 this is the arithmetic the files are written with, in every build. The ARM mode also
// flushes inputs (none arises) and calls a result tiny before rounding instead of after, and other
// processors keep denormals: both differ only around 2^-126, which the test images never reach.
#if defined(__x86_64__)
class FpEnvironment {
  public:
    FpEnvironment() : saved_(_mm_getcsr()) {
        _mm_setcsr((saved_ & ~(0x6000u | 0x0040u)) | 0x8000u);
    }
    ~FpEnvironment() { _mm_setcsr(saved_); }

  private:
    unsigned saved_;
};
#elif defined(__aarch64__)
class FpEnvironment {
  public:
    FpEnvironment() {
        __asm__ volatile("mrs %0, fpcr" : "=r"(saved_));
        const uint64_t fz = 1u << 24, roundingMode = 3u << 22, alternate = 0x7u;
        __asm__ volatile("msr fpcr, %0" : : "r"((saved_ & ~(roundingMode | alternate)) | fz));
    }
    ~FpEnvironment() { __asm__ volatile("msr fpcr, %0" : : "r"(saved_)); }

  private:
    uint64_t saved_;
};
#else
class FpEnvironment {
  public:
    FpEnvironment() : saved_(std::fegetround()) { std::fesetround(FE_TONEAREST); }
    ~FpEnvironment() { std::fesetround(saved_); }

  private:
    int saved_;
};
#endif

int bucketCount(int v, const int* thresholds, int n) {
    int c = 0;
    for (int i = 0; i < n; i++) c += thresholds[i] < v;
    return c;
}

}  // namespace

Tables Tables::single() {
    Tables t;
    for (int i = 0; i < kInputs; i++) {
        t.fixedWeight[i] = kFixedWeight[i];
        t.stepSize[i] = kStepSize[i];
    }
    return t;
}

// Multi-plane images fold the weights of the last twelve features into the first twelve and
// train the (replaced) last twelve at one fixed rate.
Tables Tables::multi() {
    Tables t = single();
    for (int i = 0; i < 12; i++) t.fixedWeight[i] = t.fixedWeight[i] + t.fixedWeight[i + 16];
    for (int i = 16; i < kInputs; i++) {
        t.fixedWeight[i] = 0.0f;
        t.stepSize[i] = 0.0024f;
    }
    return t;
}

PlaneCoder::PlaneCoder(int width_, int planeIndex_, bool hasRef_, int tolerance_,
                       const Tables& tables, MagnitudeCoder& mags_, RangeEncoder& rc_)
    : width(width_),
      planeIndex(planeIndex_),
      hasRef(hasRef_),
      tolerance(tolerance_),
      tab(tables),
      mags(mags_),
      rc(rc_),
      maps(buildResidualMaps(tolerance_)),
      slots(kContexts + 1),
      slotOfContext(kContexts, 0),
      cells(size_t(5) * kCellsPerStage, Cell{5, 2, 0}),
      tern(kTernaryModels, Tern{4096, {2048, 2816, 2816}}) {
    slots[0].stepScale = 1.0f;
    for (auto& r : slotRow) r.assign(size_t(width) + 4, 0);
    curA = width + 2;
    const int q = tolerance;
    digitLow = -16 * q - 7;
    digitHigh = 16 * q + 8;
    clipHigh = 4 * q + 1;
    clipLow = -(4 * q + 1);
    const int kMagThresholds[15] = {17,  20,  27,  37,  49,  70,  93, 124,
                                    157, 191, 205, 228, 235, 236, 237};
    for (int v = 0; v < 260; v++)
        magBase[v] = planeIndex * 256 + 16 * bucketCount(v, kMagThresholds, 15);
    for (int k = 0; k < 5; k++) {
        buf[k].assign(size_t(width) + kLeftMargin + kRightMargin + kRowSpare, Rec{});
        row[k] = buf[k].data() + kLeftMargin;
    }
}

void PlaneCoder::fillConstantRow() {
    const Rec k{256, 256, -16, 512, 256, 1024, 512, 512, 1, 3};
    Rec* r = row[0] - kLeftMargin;
    for (int i = 0; i < width + kLeftMargin + kRightMargin; i++) r[i] = k;
    for (int j = 1; j <= 3; j++)
        std::copy(r, r + width + kLeftMargin + kRightMargin, row[j] - kLeftMargin);
    col = width;
}

void PlaneCoder::firstRowMargins() {
    Rec* r = row[0];
    for (int k = 0; k < kRightMargin; k++) r[width + k] = r[width - 1];
    for (int k = 1; k <= kLeftMargin; k++) r[-k] = r[k - 1];
    for (int j = 1; j <= 3; j++)
        std::copy(r - kLeftMargin, r + width + kRightMargin, row[j] - kLeftMargin);
}

void PlaneCoder::beginRow() {
    std::vector<int>& a = slotRow[rowA];
    a[curA] = a[curA + 1] = a[curA - 1];
    rowA ^= 1;
    curA = curB = 2;
    slotRow[rowA][0] = slotRow[rowA][1] = slotRow[rowA ^ 1][2];

    for (float& f : X) f = 0.0f;
    base = own = blend = 0.0f;

    Rec* done = row[0];
    for (int k = 0; k < kRightMargin; k++) done[width + k] = done[width - 1 - k];
    Rec* next = row[4];
    for (int k = 4; k > 0; k--) row[k] = row[k - 1];
    row[0] = next;
    col = 0;
    for (int k = 1; k <= kLeftMargin; k++) row[0][-k] = row[1][k - 1];
    row[0][0].a = 0;
}

void encodeTernary(PlaneCoder& d, Tern& m, int symbol) {
    const int k = symbol == 0 ? 0 : (symbol & 1) ? 1 : 2;
    uint32_t cum = 0;
    for (int i = 0; i < k; i++) cum += m.f[i];
    d.rc.encodeFreq(cum, m.f[k], uint32_t(m.f[0]) + m.f[1] + m.f[2]);
    if (m.f[k] > 16384) rescaleTernary(d, m);
    m.f[k] = uint16_t(m.f[k] + m.step);
    if (k == 1) encodeMagnitude(d.rc, d.mags, d.magCtx[1], (symbol - 1) >> 1);
    if (k == 2) encodeMagnitude(d.rc, d.mags, d.magCtx[0], (symbol - 2) >> 1);
}

// Codes one sample with prediction pred; returns the decoded value.
struct SampleCoder {
    const Method2Options& opt;
    int zeroCount = 0;

    int code(PlaneCoder& d, int pred, int target, int add) {
        // The lowest symbol whose value, offset by add, lies within the tolerance of target.
        int s = opt.reproduce ? d.maps.rank[(target - add - pred) & 255]
                              : int(chooseResidual(d.maps, pred + add, target));
        int coded = s;
        if (s == 0 && opt.longZeroEvery > 0 && ++zeroCount % opt.longZeroEvery == 0) coded = 256;
        encodeTernary(d, d.tern[d.ternaryIndex], coded);
        return s;
    }
};

// First row of a single plane: the left neighbour predicts, with contexts from the left two.
void encodeFirstRow(PlaneCoder& d, SampleCoder& sc, const uint8_t* target, const uint8_t* add,
                    uint8_t* out) {
    static const int wA[3] = {0, 64, 128}, wB[3] = {0, 192, 384}, wC[3] = {0, 576, 1152},
                     wD[3] = {0, 1728, 3456};
    for (int x = 0; x < d.width; x++) {
        d.col = x;
        const Rec& L = d.C(-1);
        const Rec& LL = d.C(-2);
        const int p = L.v >> 4;
        d.magCtx[0] = d.magBase[p + 4] + 15;
        d.magCtx[1] = d.magBase[p] + 15;
        d.ternaryIndex = 5184 + wA[(p < 17) + (p < 115)] + wB[L.sc] + wC[LL.sc] +
                         wD[(L.v < LL.v) + (L.v <= LL.v)] + 15;
        const int s = sc.code(d, p, target[x], add ? add[x] : 0);
        const int sample = (d.maps.order[s] + p) & 255;
        out[x] = uint8_t(sample);
        Rec& c = d.C(0);
        c.v = c.a = int16_t(sample * 16);
        const int16_t e = int16_t(c.v - L.v);
        const uint16_t ae = uint16_t(std::abs(int(e)));
        c.err = e;
        c.absErr = c.gU = c.gUL = c.gUR = ae;
        c.gL = uint16_t(ae >> 1);
        c.sc = uint8_t((e < 0) + (e <= 0));
        c.m = 2;
    }
}

}  // namespace m2

using namespace m2;

Method2Stream encodeMethod2Plane(const uint8_t* samples, int width, int height,
                                 const Method2Options& options, const uint8_t* add) {
    assert(options.tolerance >= 0 && options.tolerance <= 15);
    FpEnvironment fp;
    Method2Stream out;
    out.reconstructed.resize(size_t(width) * height);
    RangeEncoder rc(out.bytes);
    MagnitudeCoder mags = makeMagnitudeCoder(2);
    const Tables tab = Tables::single();
    auto d = std::make_unique<PlaneCoder>(width, 0, false, options.tolerance, tab, mags, rc);
    SampleCoder sc{options};
    const int32_t noBias[4] = {0, 0, 0, 0};
    if (height > 0) {
        encodeFirstRow(*d, sc, samples, add, out.reconstructed.data());
        d->firstRowMargins();
    }
    for (int y = 1; y < height; y++) {
        d->beginRow();
        const size_t rowStart = size_t(y) * width;
        for (int x = 0; x < width; x++) {
            const size_t j = rowStart + x;
            const int pred = predict(*d, nullptr, nullptr, noBias);
            const int s = sc.code(*d, pred, samples[j], add ? add[j] : 0);
            const int sample = (d->maps.order[s] + pred) & 255;
            out.reconstructed[j] = uint8_t(sample);
            update(*d, sample, s, sample - pred);
        }
    }
    rc.finish();
    out.stats = d->stats;
    out.stats.slots = d->slotCount;
    out.stats.classRescales = mags.stats.classRescales;
    out.stats.nodeRescales = mags.stats.nodeRescales;
    out.slotOverflow = d->slotOverflow;
    return out;
}

Method2Stream encodeMethod2Interleaved(const uint8_t* pixels, int width, int height, int planeCount,
                                       const std::vector<PlaneSpec>& planes,
                                       const Method2Options& options) {
    assert(planeCount == 3 || planeCount == 4);
    assert(int(planes.size()) == planeCount);
    int orderMap[4] = {0, 0, 0, 0};
    for (int p = 0; p < planeCount; p++) orderMap[planes[p].order & 3] = p;
    if (planeCount == 4) assert(orderMap[3] == 3);
    int byteOf[4] = {orderMap[0], orderMap[1], orderMap[2], 3};

    FpEnvironment fp;
    Method2Stream out;
    out.reconstructed.resize(size_t(width) * height * planeCount);
    RangeEncoder rc(out.bytes);
    MagnitudeCoder mags = makeMagnitudeCoder(2);
    const Tables tab = Tables::multi();
    std::unique_ptr<PlaneCoder> coder[4];
    for (int k = 0; k < planeCount; k++)
        coder[k] = std::make_unique<PlaneCoder>(width, k, planes[orderMap[k]].hasReference,
                                                options.tolerance, tab, mags, rc);
    // References of each position: the first and the second.
    const int refA[4] = {2, 0, 0, 2}, refB[4] = {1, 2, 1, 0};
    SampleCoder sc{options};

    for (int y = 0; y < height; y++) {
        for (int k = 0; k < planeCount; k++) {
            if (y == 0) coder[k]->fillConstantRow();
            if (y == 1) coder[k]->firstRowMargins();
            coder[k]->beginRow();
        }
        int32_t gradBias[4] = {0, 0, 0, 0};
        for (int x = 0; x < width; x++) {
            const size_t j = (size_t(y) * width + x) * planeCount;
            uint8_t* px = &out.reconstructed[j];
            for (int& g : gradBias) g >>= 3;
            for (int k = 0; k < planeCount; k++) {
                PlaneCoder& d = *coder[k];
                const PlaneSpec& spec = planes[orderMap[k]];
                int ref = 0;
                if (k == 1 && d.hasRef) ref = 16 * px[byteOf[0]];
                if (k == 2 && d.hasRef)
                    ref = (px[byteOf[0]] * spec.coef[0] + px[byteOf[1]] * spec.coef[1]) >> 3;
                if (k == 3 && d.hasRef)
                    ref = (px[0] * spec.coef[0] + px[1] * spec.coef[1] + px[2] * spec.coef[2]) >> 3;
                if (k > 0) d.C(0).a = int16_t(ref);
                const int pred = predict(d, coder[refA[k]].get(), coder[refB[k]].get(), gradBias);
                const int s = sc.code(d, pred, pixels[j + byteOf[k]], 0);
                const int sample = (d.maps.order[s] + pred) & 255;
                const Rec& rec = d.C(0);
                update(d, sample, s, sample - pred);
                gradBias[0] += 32 * rec.gUL;
                gradBias[1] += 32 * rec.gUR;
                gradBias[2] += 32 * rec.gL;
                gradBias[3] += 32 * rec.gU;
                px[byteOf[k]] = uint8_t(sample);
            }
        }
    }
    rc.finish();
    for (int k = 0; k < planeCount; k++) {
        out.stats.slots = std::max(out.stats.slots, coder[k]->slotCount);
        out.stats.ternaryRescales += coder[k]->stats.ternaryRescales;
        out.stats.cellsSettled += coder[k]->stats.cellsSettled;
        out.slotOverflow = out.slotOverflow || coder[k]->slotOverflow;
    }
    out.stats.classRescales = mags.stats.classRescales;
    out.stats.nodeRescales = mags.stats.nodeRescales;
    return out;
}

}  // namespace pqz::enc
