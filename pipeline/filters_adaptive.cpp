// The adaptive two-stage predictor filter. Each sample's prediction splits into terms from the
// two rows above, computed for a span of columns ahead in a loop of plain lanes, and the serial
// rest that waits for the sample to the left: two activity sums, two class lookups and two
// blends, without branches. Only the adaptation of a class boundary after a large error
// branches; it works on the prediction as the loop computed it.
#include <cstdint>
#include <cstring>
#include <utility>

#include "base/memory.h"
#include "pipeline/filters.h"

namespace pqz {
namespace {

// Columns handled per pass; their terms stay in the first-level cache.
constexpr int kSpan = 256;

// Samples of a row copy in front of column 0 and behind the last column; they repeat the edge
// samples, so that every neighbour of a column is read without clamping.
constexpr int kPad = 2;

// Activities range over [-1020, 1020]; a stage's two class tables share one array indexed by the
// signed activity plus kMid.
constexpr int kMid = 1024;

inline int iabs(int v) {
    return v < 0 ? -v : v;
}

// The four class tables: class(a) = 1 + number of the table's thresholds <= a. Tables 0 and 1
// serve stage 1 (horizontal activity D positive, or not), 2 and 3 stage 2 (vertical activity J
// not negative, or negative). A table holds the class minus one, the weight of the blend it
// picks (0 to 4 quarters). Stage 1 keeps table 0 at stage[0][kMid + a] for a >= 1 and table 1 at
// stage[0][kMid - a] for a >= 0, so that stage[0][kMid + D] is the class of D; stage 2 keeps
// table 2 at stage[1][kMid + a] for a >= 0 and table 3 at stage[1][kMid - a] for a >= 1. Table
// 0's entry 0 and table 3's entry 0 are never read and not kept, nor is entry 0 of either array.
struct ClassTables {
    int threshold[4 * 4 + 1];  // table t's boundary b at 4 t + b; the last one is idle
    uint8_t stage[2][2 * kMid];
};

// Sets table t's entry a (0 <= a < 1024) to class minus one q.
void setClass(ClassTables& c, int t, int a, int q) {
    if (a == 0 && (t == 0 || t == 3)) return;  // never read
    c.stage[t >> 1][t == 1 || t == 3 ? kMid - a : kMid + a] = uint8_t(q);
}

void initClassTables(ClassTables& c) {
    static const int kThresholds[4][4] = {
        {7, 16, 31, 66}, {8, 10, 20, 36}, {10, 30, 48, 65}, {8, 20, 28, 32}};
    std::memset(c.stage, 0, sizeof c.stage);
    c.threshold[4 * 4] = 0;
    for (int t = 0; t < 4; t++) {
        for (int j = 0; j < 4; j++) c.threshold[4 * t + j] = kThresholds[t][j];
        for (int a = 0; a < 1024; a++) {
            int q = 0;
            for (int j = 0; j < 4; j++) q += kThresholds[t][j] <= a;
            setClass(c, t, a, q);
        }
    }
}

// |a - b| from both differences and a comparison of a and b, which run side by side: two steps
// after a and b instead of the three of a difference, its negation and a selection.
inline int absDiff(int a, int b) {
    int d = a - b;
#if defined(__GNUC__) && defined(__x86_64__)
    asm("cmpl %[b], %[a]\n\tcmovl %[e], %[d]"
        : [d] "+r"(d)
        : [a] "r"(a), [b] "r"(b), [e] "r"(b - a)
        : "cc");
    return d;
#else
    return iabs(d);
#endif
}

// x when a >= b, else y; the comparison runs beside x and y.
inline int selectAtLeast(int x, int y, int a, int b) {
#if defined(__GNUC__) && defined(__x86_64__)
    asm("cmpl %[b], %[a]\n\tcmovl %[y], %[x]"
        : [x] "+r"(x)
        : [a] "r"(a), [b] "r"(b), [y] "r"(y)
        : "cc");
    return x;
#else
    return a >= b ? x : y;
#endif
}

// Stage 1 blends C and F in quarters: C, (C + G) / 2, G = (C + F) / 2, (F + G) / 2, F, each
// rounded down; with d = F - C they are C + floor(q d / 4) for q = 0 to 4 (computed where used,
// from the product q d).

// Stage 2's rounding term of blend q at q + 1 (see blend2), a load that takes no arithmetic
// beside the chain.
constexpr uint8_t kRounding[7] = {1, 1, 1, 2, 1, 1, 1};

// Stage 2 blends I and K: I, (3 I + K + 1) / 4, (I + K + 1) / 2, (I + 3 K + 1) / 4, K, rounded
// down; with d = K - I they are I + floor((q d + 1) / 4), except that the middle one rounds
// (2 d + 2) / 4.
// q may also be -1 or 5: the adaptation weighs the neighbours of the class picked without
// branching on whether they exist, and throws those results away.
inline int blend2(int I, int d, int q) {
    return I + ((q * d + kRounding[q + 1]) >> 2);
}

// The working set of one span of columns: the terms that come from the two rows above (NE, N,
// NW, NWW one row up, NNE, NN, NNW two rows up, and the activities of the row above), the
// residuals, and the reconstructed samples before they go to the plane.
struct SpanTerms {
    int16_t D[kSpan];   // horizontal activities of NW, N and NE
    int16_t J[kSpan];   // vertical activities of N and NE
    int16_t C[kSpan];   // 16 NE + 23 N - 3 NW - 3 NN + 31: the smooth predictor less W and WW
    int16_t f1[kSpan];  // 9 N - NN - NW + 4: the edge predictor for D > 0 is (W + f1) / 8
    int16_t f0[kSpan];  // (N - NW + 2) / 4: the edge predictor otherwise is W + f0
    int16_t k1[kSpan];  // 3 NE + N - NNE - NW + 4: stage 2's target for J >= 0 is (6 I + k1) / 8
    int16_t k0[kSpan];  // N + 2 NW - NNW - NWW + 2: for J < 0 it is (2 I + W + k0) / 4
    uint8_t N[kSpan], NW[kSpan], NE[kSpan];
    uint8_t residual[kSpan];
    uint8_t out[kSpan];
};

// Everything the filter keeps besides the rows: one block, so that the loop reaches all of it
// from one address.
struct AdaptiveScratch {
    SpanTerms span;
    ClassTables classes;
};

// Fills the terms for columns [x0, x0 + n). up1 and up2 are padded copies of the rows one and
// two above (column x at index x + kPad); hUp and vUp the activities of the row above.
void spanTerms(SpanTerms& t, const uint8_t* codes, const uint8_t* up1, const uint8_t* up2,
               const int16_t* hUp, const int16_t* vUp, int x0, int n, const uint8_t r[256],
               bool zigzag) {
    const uint8_t* a = up1 + kPad + x0;
    const uint8_t* b = up2 + kPad + x0;
    const int16_t* h = hUp + x0;
    const int16_t* v = vUp + x0;
    for (int i = 0; i < n; i++) {
        const int N = a[i], NW = a[i - 1], NE = a[i + 1], NWW = a[i - 2];
        const int NN = b[i], NNW = b[i - 1], NNE = b[i + 1];
        t.D[i] = int16_t(h[i - 1] + h[i] + h[i + 1]);
        t.J[i] = int16_t(v[i] + v[i + 1]);
        t.C[i] = int16_t(16 * NE + 23 * N - 3 * NW - 3 * NN + 31);
        t.f1[i] = int16_t(9 * N - NN - NW + 4);
        t.f0[i] = int16_t((N - NW + 2) >> 2);
        t.k1[i] = int16_t(3 * NE + N - NNE - NW + 4);
        t.k0[i] = int16_t(N + 2 * NW - NNW - NWW + 2);
        t.N[i] = uint8_t(N);
        t.NW[i] = uint8_t(NW);
        t.NE[i] = uint8_t(NE);
    }
    residualsOf(codes + x0, n, r, zigzag, t.residual);
}

// One prediction: the blends' end points, the classes picked, and the final value.
struct Prediction {
    int C, dF;   // stage 1's end points: C and F - C
    int I, dK;   // stage 2's: I and K - I
    int q1, q2;  // the blends picked (class minus one)
    int value;
};

// Stage 1's end points of column i of a span from the samples W and WW to its left: C and
// F - C, F picked by the sign of the horizontal activity (positive when hm >= above) through a
// conditional move, which waits for the activity only, not for a mask made from it.
struct Stage1Ends {
    int C, dF;
};
inline Stage1Ends stage1Ends(const SpanTerms& t, int i, int W, int WW, int hm, int above) {
    const int C = (t.C[i] + 28 * W + 3 * WW) >> 6;
    const int dF1 = ((W + t.f1[i]) >> 3) - C, dF0 = W + t.f0[i] - C;
    return {C, selectAtLeast(dF1, dF0, hm, above)};
}

// Stage 2's targets less 2 C: (6 I + k1) / 8 - I = (k1 - 2 I) / 8 and (2 I + W + k0) / 4 - I =
// (W + k0 - 2 I) / 4 with I = C + x, before x is known: k1 - 2 C when the vertical activity is
// not negative (jm 0), W + k0 - 2 C when it is (jm -1).
inline int stage2Target(const SpanTerms& t, int i, int W, int C, int jm) {
    const int a1 = t.k1[i] - 2 * C, a0 = W + t.k0[i] - 2 * C;
    return a1 ^ ((a1 ^ a0) & jm);
}

// One move of a class boundary, found by the move's kind k (0 to 3 below, 4 for none) and the
// stage's class minus one q and table bit: the threshold it changes (16 the idle one), the
// threshold's step, the activity whose entry changes relative to the old threshold, the class it
// gets, and where that entry lies. An entry outside lo to lo + span - 1 is not written (span 0 for
// no move).
struct BoundaryMove {
    uint8_t threshold;
    int8_t step;
    int8_t atFromThreshold;
    uint8_t value;
    int8_t mirrored;   // -1 for tables 1 and 3, which run down from the middle of their array
    uint8_t lo;        // 1 for tables 0 and 3, whose entry 0 is not kept
    uint16_t arrayAt;  // offset of the entry's middle in ClassTables::stage
    uint16_t span;
};

// Indexed by 10 k + 2 q + table bit. Kind 0 or 1: the stage 1 blend below or above the one picked
// was better (table 0 or 1 by the sign of D); 2 or 3: stage 2's (table 2 or 3 by the sign of J).
// Boundary b lies between classes b + 1 and b + 2: a better class below moves b = q - 1 up by one
// activity, so the old threshold gets class b + 1; a better class above moves b = q down, so the
// activity below it gets class b + 2.
struct BoundaryMoves {
    BoundaryMove move[50];
    constexpr BoundaryMoves() : move() {
        for (int k = 0; k < 5; k++)
            for (int sel = 0; sel < 10; sel++) {
                const int q = sel >> 1, up = (k & 1) ^ 1;
                const int t = (k < 2 ? 0 : 2) + (sel & 1), b = q - up;
                BoundaryMove& m = move[10 * k + sel];
                m = BoundaryMove{16, 0, 0, 0, 0, 0, 0, 0};
                if (k == 4 || b < 0 || b > 3) continue;  // no move, or one that cannot be asked for
                const int lo = t == 0 || t == 3;
                m = BoundaryMove{uint8_t(4 * t + b),
                                 int8_t(2 * up - 1),
                                 int8_t(up - 1),
                                 uint8_t(b + 1 - up),
                                 int8_t(-(t & 1)),
                                 uint8_t(lo),
                                 uint16_t((t >> 1) * 2 * kMid + kMid),
                                 uint16_t(1024 - lo)};
            }
    }
};
constexpr BoundaryMoves kMoves;

// Which of the neighbouring blends may be asked for, by class minus one: 1 the one below, 2 the
// one above (the end classes have one neighbour only).
constexpr uint8_t kNeighbours[5] = {2, 3, 3, 3, 1};

// After a large error e = |p - prediction| moves one class boundary towards the blend that
// would have done better: stage 1's first, then stage 2's. The end classes never move. It takes
// the prediction as the loop computed it and is expanded in the loop, so that the loop's values
// stay in registers rather than being saved around a call. Which boundary moves, if any, is
// chosen and applied without branches (the choice follows the photo's noise and would
// mispredict about once per call): the choice indexes a table of the moves, whose idle entry
// steps the idle threshold by 0 and writes entry 0 of the first array (an activity of -1024,
// never read).
// dNotPositive and jm give the signs of the activities (jm -1 when J is negative).
[[gnu::always_inline]] inline void adaptClasses(ClassTables& c, const Prediction& pr,
                                                bool dNotPositive, int jm, int p) {
    const int e = iabs(p - pr.value), u = iabs(p - pr.I) - 1;
    const int y = pr.q1 * pr.dF, z = pr.q2 * pr.dK;
    // bit 0 or 1: the stage 1 blend below or above the one picked is better; 2 or 3: stage 2's
    const unsigned better =
        (unsigned(iabs(p - pr.C - ((y - pr.dF) >> 2)) < u) |
         unsigned(iabs(p - pr.C - ((y + pr.dF) >> 2)) < u) << 1 |
         unsigned(iabs(p - pr.I - ((z - pr.dK + kRounding[pr.q2]) >> 2)) < e - 1) << 2 |
         unsigned(iabs(p - pr.I - ((z + pr.dK + kRounding[pr.q2 + 2]) >> 2)) < e - 1) << 3) &
        (kNeighbours[pr.q1] | unsigned(kNeighbours[pr.q2]) << 2);
    const int k = __builtin_ctz(better | 16u);  // 4: nothing moves
    const int s1 = 2 * pr.q1 + dNotPositive, s2 = 2 * pr.q2 - jm;
    const BoundaryMove& m = kMoves.move[10 * k + selectAtLeast(s2, s1, k, 2)];
    int& th = c.threshold[m.threshold];
    const int at = th + m.atFromThreshold;
    th += m.step;
    const int kept = unsigned(at - m.lo) < m.span;
    uint8_t* const arrays = reinterpret_cast<uint8_t*>(c.stage);
    arrays[-kept & (m.arrayAt + ((at ^ m.mirrored) - m.mirrored))] = m.value;
}

// The running state of a row: the two samples to the left and the activities of the one before.
struct RowState {
    int W, WW, h, v;
};

// Keeps a value computed as it stands, so that the compiler does not fold its parts into a
// later sum, which would put them on the serial chain that sum belongs to.
template <typename T>
inline void keepInRegister(T& v) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__aarch64__))
    asm("" : "+r"(v));
#else
    (void)v;
#endif
}

// A class table's row shifted by the row above's part of an activity. The row may start outside
// the table (only the sample's own part, added by the load, brings the address back inside), so
// it is formed as an address: a pointer moved outside its array would be undefined.
inline const uint8_t* offsetRow(const uint8_t* table, ptrdiff_t offset) {
    return reinterpret_cast<const uint8_t*>(reinterpret_cast<uintptr_t>(table) + uintptr_t(offset));
}

// Reconstructs the n columns of the span into s.span.out. The chain from one sample to the
// next runs through its activities, the two class loads and the two blends; the class tables
// are addressed from the activity terms of the row above, so that the loads wait only for the
// sample's own activities, and the residual joins stage 1's result beside stage 2's blend.
// Measured on this chain: |a - b| in two steps rather than three, the horizontal activity
// kept with kMid added so that it indexes its table without a sign extension, and stage 2's
// blend, rounding and residual under one shift.
void unpredictSpan(AdaptiveScratch& s, RowState& rs, int n) {
    const SpanTerms& t = s.span;
    ptrdiff_t W = rs.W, WW = rs.WW, v = rs.v;
    unsigned hm = unsigned(rs.h + kMid);  // the horizontal activity term plus kMid
    for (int i = 0; i < n; i++) {
        const uint8_t* row1 = offsetRow(s.classes.stage[0], t.D[i]);
        const uint8_t* row2 = offsetRow(s.classes.stage[1] + kMid, t.J[i]);
        keepInRegister(row1);
        keepInRegister(row2);
        // The horizontal activity D = hm - kMid + t.D[i] is positive when hm reaches dPos.
        const int dPos = kMid + 1 - t.D[i], J = int(v) + t.J[i];
        const int q1 = row1[hm], q2 = row2[v];
        const int jm = J >> 31;  // -1 when J < 0
        const Stage1Ends s1 = stage1Ends(t, i, int(W), int(WW), int(hm), dPos);
        const bool dNotPositive = int(hm) < dPos;
        // y = q1 (F - C); stage 1's result is C + floor(y / 4).
        const int y = q1 * s1.dF;
        const int I = s1.C + (y >> 2);
        // Stage 2's target less I, twice over: 2 S - 4 floor(y / 4) with S the target less 2 C;
        // masking y costs one step where shifting and doubling it would cost two.
        int S2 = 2 * stage2Target(t, i, int(W), s1.C, jm);
        keepInRegister(S2);
        const int dK = (S2 - (y & ~3)) >> (4 + jm);
        // The sample is I + floor((q2 dK + r) / 4) plus the residual, modulo 256: the residual
        // joins inside the floor, so only an addition and a shift follow stage 2's
        // multiplication.
        const int res = int8_t(t.residual[i]);  // the residual as a signed byte
        int w4 = 4 * (I + res) + kRounding[q2 + 1];
        keepInRegister(w4);
        const unsigned sum = unsigned(q2 * dK + w4);
        // The sample is sum / 4 while the sum stays within 0 to 1023, as it does but for ramps
        // that wrap around the byte range; those take the adaptation below, which wraps the
        // sample, so that no masking lies on the chain.
        ptrdiff_t p = sum >> 2;
        s.span.out[i] = uint8_t(p);
        const int N = t.N[i], NW = t.NW[i], NE = t.NE[i];
        // |p - W| + kMid - |p - N|, the second term as the smaller of kMid + N - p and
        // kMid - N + p: all unsigned 32-bit, so that the class load takes it as it is.
        const auto activities = [&](int q) {
            hm = unsigned(absDiff(q, int(W)) + selectAtLeast(kMid + N - q, q + kMid - N, q, N));
            v = iabs(q - NW) - iabs(q - NE);
        };
        activities(int(p));
        // The error p - prediction is res when the sum stays within 0 to 1023 (the sample
        // within 0 to 255 before it wraps), else at least 251 in size. Branching first on the
        // residual alone, known long before the sample, lets a mispredicted branch resolve while
        // the chain of earlier samples still runs; the sum leaving 0 to 255 is rare and
        // predictable.
        if (unsigned(res + 5) > 10u || sum > 1023u) {
            if (sum > 1023u) {
                p = uint8_t(p);
                activities(int(p));
            }
            const Prediction pr{s1.C, s1.dF, I, dK, q1, q2, blend2(I, dK, q2)};
            adaptClasses(s.classes, pr, dNotPositive, jm, int(p));
        }
        WW = W;
        W = p;
    }
    rs = RowState{int(W), int(WW), int(hm) - kMid, int(v)};
}

// The activities of columns 1 to width - 1 of a reconstructed row, for the row below:
// h = |p - W| - |p - N| and v = |p - NW| - |p - NE|. up1 is the padded copy of the row above.
void activityRow(const uint8_t* row, const uint8_t* up1, int width, int16_t* h, int16_t* v) {
    const uint8_t* a = up1 + kPad;
    for (int x = 1; x < width; x++) {
        const int p = row[x];
        h[x] = int16_t(iabs(p - row[x - 1]) - iabs(p - a[x]));
        v[x] = int16_t(iabs(p - a[x - 1]) - iabs(p - a[x + 1]));
    }
}

// Copies a row with kPad repeated edge samples on each side.
void padRow(uint8_t* dst, const uint8_t* row, int width) {
    std::memcpy(dst + kPad, row, size_t(width));
    for (int k = 0; k < kPad; k++) {
        dst[k] = row[0];
        dst[kPad + width + k] = row[width - 1];
    }
}

}  // namespace

bool unpredictAdaptive(uint8_t* plane, int width, int height, int tolerance) {
    if (width <= 0 || height <= 0) return true;
    Owned<AdaptiveScratch> scratch = allocateObject<AdaptiveScratch>(Fill::None);
    // Activity terms h and v of the row above and of the current row (one spare column on the
    // right repeats the last column), then two padded row copies.
    const size_t cols = size_t(width) + 1;
    Owned<int16_t[]> act = allocateArray<int16_t>(4 * cols + cols + 2 * kPad);
    if (!scratch || !act) return false;
    AdaptiveScratch& s = *scratch;
    initClassTables(s.classes);
    int16_t* hUp = act.get();
    int16_t* vUp = hUp + cols;
    int16_t* hCur = hUp + 2 * cols;
    int16_t* vCur = hUp + 3 * cols;
    uint8_t* up1 = reinterpret_cast<uint8_t*>(hUp + 4 * cols);
    uint8_t* up2 = up1 + cols + 2 * kPad;

    uint8_t r[256];
    buildResidualMap(tolerance, r);
    const int last = width - 1;

    // Row 0: running sum from the left.
    hUp[0] = vUp[0] = 0;
    for (int x = 1; x < width; x++) {
        plane[x] = uint8_t(plane[x - 1] + r[plane[x]]);
        hUp[x] = vUp[x] = int16_t(iabs(plane[x] - plane[x - 1]));
    }
    hUp[width] = hUp[last];
    vUp[width] = vUp[last];
    padRow(up1, plane, width);
    std::memcpy(up2, up1, cols + 2 * kPad);

    for (int y = 1; y < height; y++) {
        uint8_t* row = plane + size_t(y) * width;
        const int first = uint8_t(up1[kPad] + r[row[0]]);
        row[0] = uint8_t(first);
        hCur[0] = int16_t(-iabs(first - up1[kPad]));
        vCur[0] = 0;
        // Left of column 1 both W and WW are column 0.
        RowState rs{first, first, hCur[0], 0};
        for (int x0 = 1; x0 < width; x0 += kSpan) {
            const int n = width - x0 < kSpan ? width - x0 : kSpan;
            spanTerms(s.span, row, up1, up2, hUp, vUp, x0, n, r, tolerance == 0);
            unpredictSpan(s, rs, n);
            std::memcpy(row + x0, s.span.out, size_t(n));
        }
        activityRow(row, up1, width, hCur, vCur);
        hCur[width] = hCur[last];
        vCur[width] = vCur[last];
        std::swap(hUp, hCur);
        std::swap(vUp, vCur);
        std::swap(up1, up2);
        padRow(up1, row, width);
    }
    return true;
}

}  // namespace pqz
