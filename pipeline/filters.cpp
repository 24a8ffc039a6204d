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

namespace {

// Columns of a row handled per pass of the median filter; its per-column terms sit on the stack.
constexpr int kMedSpan = 256;

// The residual of code c without tolerance: 0, -1, 1, -2, 2, ..., 127, -128 (the map's entries,
// computed, so that the loop over a row is all lanes).
inline uint8_t zigzagResidual(uint8_t c) {
    return uint8_t((c >> 1) ^ (0 - (c & 1)));
}

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
    if (zigzag) {
        for (int i = 0; i < n; i++) add[i] = uint8_t(u[i] + zigzagResidual(row[x0 + i]));
    } else {
        for (int i = 0; i < n; i++) add[i] = uint8_t(u[i] + r[row[x0 + i]]);
    }
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
            for (int i = 0; i < x1 - x0; i++) {
                const uint8_t c = w < hi[i] ? w : hi[i];
                const uint8_t m = c > lo[i] ? c : lo[i];
                w = uint8_t(w - m + add[i]);
                out[i] = w;
            }
        }
    }
}

namespace {

// Class table of one predictor family: class(a) = 1 + number of thresholds <= a.
struct ClassTable {
    int threshold[4];
    uint8_t cls[1024];
};

void initClassTable(ClassTable& t, int a, int b, int c, int d) {
    t.threshold[0] = a;
    t.threshold[1] = b;
    t.threshold[2] = c;
    t.threshold[3] = d;
    for (int v = 0; v < 1024; v++) {
        int k = 1;
        for (int j = 0; j < 4; j++) k += t.threshold[j] <= v;
        t.cls[v] = uint8_t(k);
    }
}

inline int iabs(int v) {
    return v < 0 ? -v : v;
}

// Moves the boundary below class s down by one class: activity threshold[s - 2] now gives s - 1.
void raiseLowerBoundary(ClassTable& t, int s) {
    int& th = t.threshold[s - 2];
    if (th >= 0 && th < 1024) t.cls[th] = uint8_t(s - 1);
    th++;
}

// Moves the boundary above class s: threshold[s - 1] - 1 now gives s + 1.
void lowerUpperBoundary(ClassTable& t, int s) {
    int& th = t.threshold[s - 1];
    th--;
    if (th >= 0 && th < 1024) t.cls[th] = uint8_t(s + 1);
}

struct AdaptiveFilterState {
    int class1, class2;
    int pred1[7], pred2[7];
    ClassTable classTables[4];
};

// The neighbourhood of one sample: W, WW, N, NW, NE, NWW in the rows at hand, NN, NNW, NNE two
// rows up (row 0 at the top); columns outside the plane repeat the edge columns.
struct Neighbours {
    int W, WW, N, NW, NE, NWW, NN, NNW, NNE;
};

// The two-stage prediction of a sample: stage 1 picks among five blends of a smooth and an edge
// predictor by the horizontal activity D, stage 2 corrects it by the vertical activity J. The
// chosen classes and the tables they came from stay in s for the adaptation.
struct AdaptivePrediction {
    int first;       // stage 1's prediction (I)
    int value;       // the final prediction
    ClassTable* t1;  // table of stage 1's class
    ClassTable* t2;  // table of stage 2's class
};

inline AdaptivePrediction predictAdaptive(AdaptiveFilterState& s, const Neighbours& n, int D,
                                          int J) {
    const int C = (16 * n.NE + 23 * n.N + 28 * n.W + 3 * n.WW - 3 * n.NW - 3 * n.NN + 31) >> 6;
    AdaptivePrediction r;
    int F;
    if (D > 0) {
        r.t1 = &s.classTables[0];
        F = n.N + ((n.N + n.W - n.NN - n.NW + 4) >> 3);
    } else {
        r.t1 = &s.classTables[1];
        F = n.W + ((n.N - n.NW + 2) >> 2);
        D = -D;
    }
    const int G = (C + F) >> 1;
    s.pred1[1] = C;
    s.pred1[2] = (C + G) >> 1;
    s.pred1[3] = G;
    s.pred1[4] = (F + G) >> 1;
    s.pred1[5] = F;
    s.class1 = r.t1->cls[D];
    const int I = s.pred1[s.class1];

    int K;
    if (J >= 0) {
        r.t2 = &s.classTables[2];
        K = I + ((3 * n.NE + n.N - 2 * I - n.NNE - n.NW + 4) >> 3);
    } else {
        r.t2 = &s.classTables[3];
        K = I + ((n.W + n.N + 2 * n.NW - 2 * I - n.NNW - n.NWW + 2) >> 2);
        J = -J;
    }
    s.pred2[1] = I;
    s.pred2[2] = (3 * I + K + 1) >> 2;
    s.pred2[3] = (I + K + 1) >> 1;
    s.pred2[4] = (I + 3 * K + 1) >> 2;
    s.pred2[5] = K;
    s.class2 = r.t2->cls[J];
    r.first = I;
    r.value = s.pred2[s.class2];
    return r;
}

// After a large error, moves one class boundary towards the blend that would have done better:
// stage 1's first, then stage 2's.
inline void adaptClasses(const AdaptiveFilterState& s, const AdaptivePrediction& pr, int p) {
    const int e = iabs(p - pr.value);
    if (e < 6) return;
    const int S = s.class1, T = s.class2, u = iabs(p - pr.first) - 1;
    // The sentinels keep the end classes from moving; the guards keep it so even where a
    // prediction strays far from the sample.
    if (S > 1 && iabs(p - s.pred1[S - 1]) < u)
        raiseLowerBoundary(*pr.t1, S);
    else if (S < 5 && iabs(p - s.pred1[S + 1]) < u)
        lowerUpperBoundary(*pr.t1, S);
    else if (T > 1 && iabs(p - s.pred2[T - 1]) < e - 1)
        raiseLowerBoundary(*pr.t2, T);
    else if (T < 5 && iabs(p - s.pred2[T + 1]) < e - 1)
        lowerUpperBoundary(*pr.t2, T);
}

void initAdaptiveState(AdaptiveFilterState& s) {
    initClassTable(s.classTables[0], 7, 16, 31, 66);
    initClassTable(s.classTables[1], 8, 10, 20, 36);
    initClassTable(s.classTables[2], 10, 30, 48, 65);
    initClassTable(s.classTables[3], 8, 20, 28, 32);
    s.pred1[0] = s.pred1[6] = s.pred2[0] = s.pred2[6] = -384;
}

}  // namespace

bool unpredictAdaptive(uint8_t* plane, int width, int height, int tolerance) {
    if (width <= 0 || height <= 0) return true;
    Owned<AdaptiveFilterState> state = allocateObject<AdaptiveFilterState>(Fill::None);
    // Activity terms h and v of the row above and of the current row; one spare column on the
    // right repeats the last column.
    Owned<int[]> act = allocateArray<int>(4 * (size_t(width) + 1));
    if (!state || !act) return false;
    AdaptiveFilterState& s = *state;
    initAdaptiveState(s);
    int* hUp = act.get();
    int* vUp = hUp + (width + 1);
    int* hCur = hUp + 2 * (width + 1);
    int* vCur = hUp + 3 * (width + 1);

    uint8_t r[256];
    buildResidualMap(tolerance, r);
    const int last = width - 1;
    auto at = [&](int x, int y) -> int {
        x = x < 0 ? 0 : (x > last ? last : x);
        y = y < 0 ? 0 : y;
        return plane[size_t(y) * width + x];
    };

    // Row 0: running sum from the left.
    hUp[0] = vUp[0] = 0;
    for (int x = 1; x < width; x++) {
        plane[x] = uint8_t(plane[x - 1] + r[plane[x]]);
        hUp[x] = vUp[x] = iabs(plane[x] - plane[x - 1]);
    }
    hUp[width] = hUp[last];
    vUp[width] = vUp[last];

    for (int y = 1; y < height; y++) {
        uint8_t* row = plane + size_t(y) * width;
        const uint8_t* up = row - width;
        row[0] = uint8_t(up[0] + r[row[0]]);
        hCur[0] = -iabs(row[0] - up[0]);
        vCur[0] = 0;
        const int y2 = y >= 2 ? y - 2 : 0;
        const uint8_t* up2 = plane + size_t(y2) * width;
        for (int x = 1; x < width; x++) {
            // Away from the edges every neighbour is in the plane and needs no clamping.
            const Neighbours n =
                x >= 2 && x < last
                    ? Neighbours{row[x - 1], row[x - 2], up[x],      up[x - 1], up[x + 1],
                                 up[x - 2],  up2[x],     up2[x - 1], up2[x + 1]}
                    : Neighbours{row[x - 1], at(x - 2, y),     up[x],
                                 up[x - 1],  at(x + 1, y - 1), at(x - 2, y - 1),
                                 at(x, y2),  at(x - 1, y2),    at(x + 1, y2)};
            const int D = hCur[x - 1] + hUp[x - 1] + hUp[x] + hUp[x + 1];
            const int J = vCur[x - 1] + vUp[x] + vUp[x + 1];
            const AdaptivePrediction pr = predictAdaptive(s, n, D, J);
            const int p = uint8_t(r[row[x]] + pr.value);
            row[x] = uint8_t(p);
            hCur[x] = iabs(p - n.W) - iabs(p - n.N);
            vCur[x] = iabs(p - n.NW) - iabs(p - n.NE);
            adaptClasses(s, pr, p);
        }
        hCur[width] = hCur[last];
        vCur[width] = vCur[last];
        std::swap(hUp, hCur);
        std::swap(vUp, vCur);
    }
    return true;
}

}  // namespace pqz
