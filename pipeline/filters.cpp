#include "pipeline/filters.h"

#include <utility>

#include "base/memory.h"

namespace pqz {

void buildValueMap(int k, uint8_t map[256]) {
    const int d = 2 * k + 1;
    for (int i = 0; i < 256; i++) map[i] = uint8_t(i);
    int i = 0, s = k;
    for (; s < 256; i++, s = k + i * d) std::swap(map[i], map[s]);
    if (s - k < 256) std::swap(map[i], map[255]);
}

void buildResidualMap(int k, uint8_t map[256]) {
    map[0] = 0;
    for (int m = 1; m <= 127; m++) {
        map[2 * m - 1] = uint8_t(-m);
        map[2 * m] = uint8_t(m);
    }
    map[255] = 0x80;
    if (k == 0) return;
    const int d = 2 * k + 1;
    for (int g = 1; g * d < 128; g++) {
        const int s = g * d;
        std::swap(map[2 * g - 1], map[2 * s - 1]);
        std::swap(map[2 * g], map[2 * s]);
    }
}

void unmapPlane(uint8_t* plane, int width, int height, int tolerance) {
    if (tolerance == 0) return;
    uint8_t map[256];
    buildValueMap(tolerance, map);
    const size_t n = size_t(width) * height;
    for (size_t i = 0; i < n; i++) plane[i] = map[plane[i]];
}

void residualsOf(const uint8_t* codes, int n, const uint8_t r[256], bool zigzag, uint8_t* out) {
    if (zigzag) {
        // 0, -1, 1, -2, 2, ..., 127, -128: the map's entries, computed, so that the loop is
        // all lanes
        for (int i = 0; i < n; i++) out[i] = uint8_t((codes[i] >> 1) ^ (0 - (codes[i] & 1)));
    } else {
        for (int i = 0; i < n; i++) out[i] = r[codes[i]];
    }
}

namespace {

// Columns of a row handled per pass of the median filter; its per-column terms sit on the stack.
constexpr int kMedSpan = 256;

// The terms of the median prediction that come from the row above, for columns [x0, x1): the
// prediction is the median of W, N and W + N - NW, that is W + N minus the median of NW, N and
// W. The bounds min(N, NW), max(N, NW) and N plus the residual do not depend on W.
void medianTerms(const uint8_t* row, const uint8_t* up, int x0, int x1, const uint8_t r[256],
                 bool zigzag, uint8_t* lo, uint8_t* hi, uint8_t* add) {
    const int n = x1 - x0;
    const uint8_t* u = up + x0;
    for (int i = 0; i < n; i++) {
        const uint8_t a = u[i], b = u[i - 1];
        lo[i] = a < b ? a : b;
        hi[i] = a < b ? b : a;
    }
    residualsOf(row + x0, n, r, zigzag, add);
    for (int i = 0; i < n; i++) add[i] = uint8_t(add[i] + u[i]);
}

// One step of a row: the sample from the one to its left w, the bounds of the median of the
// row above (min and max of N and NW) and N plus the residual.
inline uint8_t medianStep(uint8_t w, uint8_t lo, uint8_t hi, uint8_t add) {
    const uint8_t c = w < hi ? w : hi;
    const uint8_t m = c > lo ? c : lo;
    return uint8_t(w - m + add);
}

// Reconstructs one row from its codes in place; up is the finished row above.
void medianRow(uint8_t* row, const uint8_t* up, int width, const uint8_t r[256], bool zigzag) {
    uint8_t lo[kMedSpan], hi[kMedSpan], add[kMedSpan];
    uint8_t w = uint8_t(up[0] + r[row[0]]);
    row[0] = w;
    for (int x0 = 1; x0 < width; x0 += kMedSpan) {
        const int x1 = width - x0 > kMedSpan ? x0 + kMedSpan : width;
        medianTerms(row, up, x0, x1, r, zigzag, lo, hi, add);
        uint8_t* out = row + x0;
#pragma GCC unroll 4
        for (int i = 0; i < x1 - x0; i++) {
            w = medianStep(w, lo[i], hi[i], add[i]);
            out[i] = w;
        }
    }
}

// Reconstructs two rows at once, a above b: each step takes a sample of a and then the one
// below it, whose N and NW are the two samples of a just made. The two rows' serial chains are
// independent, so the processor runs them side by side (b trailing a by its own latency).
void medianRowPair(uint8_t* a, uint8_t* b, const uint8_t* up, int width, const uint8_t r[256],
                   bool zigzag) {
    uint8_t lo[kMedSpan], hi[kMedSpan], add[kMedSpan], res[kMedSpan];
    uint8_t wa = uint8_t(up[0] + r[a[0]]);
    uint8_t wb = uint8_t(wa + r[b[0]]);
    a[0] = wa;
    b[0] = wb;
    for (int x0 = 1; x0 < width; x0 += kMedSpan) {
        const int x1 = width - x0 > kMedSpan ? x0 + kMedSpan : width;
        medianTerms(a, up, x0, x1, r, zigzag, lo, hi, add);
        residualsOf(b + x0, x1 - x0, r, zigzag, res);
        uint8_t* outA = a + x0;
        uint8_t* outB = b + x0;
#pragma GCC unroll 2
        for (int i = 0; i < x1 - x0; i++) {
            const uint8_t nw = wa;
            wa = medianStep(wa, lo[i], hi[i], add[i]);
            outA[i] = wa;
            const uint8_t loB = wa < nw ? wa : nw, hiB = wa < nw ? nw : wa;
            wb = medianStep(wb, loB, hiB, uint8_t(res[i] + wa));
            outB[i] = wb;
        }
    }
}

}  // namespace

void unpredictMed(uint8_t* plane, int width, int height, int tolerance) {
    if (width <= 0 || height <= 0) return;
    uint8_t r[256];
    buildResidualMap(tolerance, r);
    const bool zigzag = tolerance == 0;
    for (int x = 1; x < width; x++) plane[x] = uint8_t(plane[x - 1] + r[plane[x]]);
    int y = 1;
    for (; y + 1 < height; y += 2) {
        uint8_t* row = plane + size_t(y) * width;
        medianRowPair(row, row + width, row - width, width, r, zigzag);
    }
    if (y < height) {
        uint8_t* row = plane + size_t(y) * width;
        medianRow(row, row - width, width, r, zigzag);
    }
}

}  // namespace pqz
