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

}  // namespace

void unpredictMed(uint8_t* plane, int width, int height, int tolerance) {
    if (width <= 0 || height <= 0) return;
    uint8_t r[256];
    buildResidualMap(tolerance, r);
    for (int x = 1; x < width; x++) plane[x] = uint8_t(plane[x - 1] + r[plane[x]]);
    uint8_t lo[kMedSpan], hi[kMedSpan], add[kMedSpan];
    for (int y = 1; y < height; y++) {
        uint8_t* row = plane + size_t(y) * width;
        const uint8_t* up = row - width;
        uint8_t w = uint8_t(up[0] + r[row[0]]);
        row[0] = w;
        for (int x0 = 1; x0 < width; x0 += kMedSpan) {
            const int x1 = width - x0 > kMedSpan ? x0 + kMedSpan : width;
            medianTerms(row, up, x0, x1, r, tolerance == 0, lo, hi, add);
            uint8_t* out = row + x0;
#pragma GCC unroll 4
            for (int i = 0; i < x1 - x0; i++) {
                const uint8_t c = w < hi[i] ? w : hi[i];
                const uint8_t m = c > lo[i] ? c : lo[i];
                w = uint8_t(w - m + add[i]);
                out[i] = w;
            }
        }
    }
}

}  // namespace pqz
