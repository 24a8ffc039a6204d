#include "tests/encoder/plane_filters.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <utility>

namespace pqz::enc {
namespace {

// Codes a filter may use, with the value or residual each stands for.
struct CodeChoice {
    std::vector<uint8_t> codes;
    std::array<uint8_t, 256> map;
};

CodeChoice residualCodes(int k) {
    CodeChoice c{{}, quantiserResidualMap(k)};
    if (k == 0) {
        for (int i = 0; i < 256; i++) c.codes.push_back(uint8_t(i));
        return c;
    }
    c.codes.push_back(0);
    for (int g = 1; g * (2 * k + 1) < 128; g++) {
        c.codes.push_back(uint8_t(2 * g - 1));
        c.codes.push_back(uint8_t(2 * g));
    }
    return c;
}

// The code whose reconstruction (prediction + residual, as a byte) is closest to the sample;
// the lower code on ties.
uint8_t closestCode(const CodeChoice& c, int prediction, int sample, uint8_t& reconstructed) {
    int bestDist = 1 << 30;
    uint8_t best = 0;
    for (uint8_t code : c.codes) {
        const int r = (prediction + c.map[code]) & 255;
        const int dist = std::abs(r - sample);
        if (dist < bestDist || (dist == bestDist && code < best)) {
            bestDist = dist;
            best = code;
            reconstructed = uint8_t(r);
            if (dist == 0) break;
        }
    }
    return best;
}

int medianEdge(int W, int N, int Q) {
    if (Q >= std::max(W, N)) return std::min(W, N);
    if (Q <= std::min(W, N)) return std::max(W, N);
    return W + N - Q;
}

// Plane accessor with the decoder's clamping of columns and of the row two above row 1.
struct Grid {
    std::vector<int> v;
    int w, h;
    int& at(int x, int y) { return v[size_t(y) * size_t(w) + size_t(x)]; }
    int get(int x, int y) const {
        x = std::clamp(x, 0, w - 1);
        y = std::max(y, 0);
        return v[size_t(y) * size_t(w) + size_t(x)];
    }
};

// Class table of one predictor family: class(a) = 1 + the number of thresholds <= a.
struct ClassTable {
    int th[4];
    int classOf(int a) const {
        int c = 1;
        for (int t : th) c += t <= a;
        return c;
    }
};

// Row 0 and column 0 of both predicting filters, and row y >= 1 from column 1 on by `predict`.
template <typename Predict, typename Record>
FilteredPlane predictPlane(const uint8_t* plane, int w, int h, int k, Predict predict,
                           Record record) {
    const CodeChoice choice = residualCodes(k);
    FilteredPlane f;
    f.codes.resize(size_t(w) * h);
    f.reconstructed.resize(size_t(w) * h);
    auto code = [&](int x, int y, int prediction) {
        const size_t i = size_t(y) * w + x;
        f.codes[i] = closestCode(choice, prediction, plane[i], f.reconstructed[i]);
        return int(f.reconstructed[i]);
    };
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            const size_t i = size_t(y) * w + x;
            if (x == 0 && y == 0) {
                f.codes[0] = f.reconstructed[0] = plane[0];  // the first sample is kept as is
                record(0, 0, int(plane[0]));
            } else if (y == 0) {
                record(x, 0, code(x, 0, f.reconstructed[i - 1]));
            } else if (x == 0) {
                record(0, y, code(0, y, f.reconstructed[i - w]));
            } else {
                record(x, y, code(x, y, predict(x, y, f.reconstructed)));
            }
        }
    }
    return f;
}

FilteredPlane medianPlane(const uint8_t* plane, int w, int h, int k) {
    auto predict = [w](int x, int y, const std::vector<uint8_t>& r) {
        const size_t i = size_t(y) * w + x;
        return medianEdge(r[i - 1], r[i - w], r[i - w - 1]);
    };
    return predictPlane(plane, w, h, k, predict, [](int, int, int) {});
}

FilteredPlane adaptivePlane(const uint8_t* plane, int w, int h, int k) {
    Grid P{std::vector<int>(size_t(w) * h), w, h};
    Grid H = P, V = P;  // the activity terms of every reconstructed sample
    ClassTable tables[4] = {
        {{7, 16, 31, 66}}, {{8, 10, 20, 36}}, {{10, 30, 48, 65}}, {{8, 20, 28, 32}}};
    // what the last prediction used, for the adaptation once the sample is known
    int pred1[7], pred2[7], class1 = 0, class2 = 0, t1 = 0, t2 = 0, I = 0;

    auto predict = [&](int x, int y, const std::vector<uint8_t>&) {
        const int W = P.get(x - 1, y), WW = P.get(x - 2, y), N = P.get(x, y - 1),
                  NW = P.get(x - 1, y - 1), NE = P.get(x + 1, y - 1), NWW = P.get(x - 2, y - 1),
                  NN = P.get(x, y - 2), NNW = P.get(x - 1, y - 2), NNE = P.get(x + 1, y - 2);
        const int C = (16 * NE + 23 * N + 28 * W + 3 * WW - 3 * NW - 3 * NN + 31) >> 6;
        int D = H.get(x - 1, y) + H.get(x - 1, y - 1) + H.get(x, y - 1) + H.get(x + 1, y - 1);
        int F;
        if (D > 0) {
            t1 = 0;
            F = N + ((N + W - NN - NW + 4) >> 3);
        } else {
            t1 = 1;
            F = W + ((N - NW + 2) >> 2);
            D = -D;
        }
        const int G = (C + F) >> 1;
        const int p1[7] = {-384, C, (C + G) >> 1, G, (F + G) >> 1, F, -384};
        std::copy(p1, p1 + 7, pred1);
        class1 = tables[t1].classOf(D);
        I = pred1[class1];
        int J = V.get(x - 1, y) + V.get(x, y - 1) + V.get(x + 1, y - 1);
        int K;
        if (J >= 0) {
            t2 = 2;
            K = I + ((3 * NE + N - 2 * I - NNE - NW + 4) >> 3);
        } else {
            t2 = 3;
            K = I + ((W + N + 2 * NW - 2 * I - NNW - NWW + 2) >> 2);
            J = -J;
        }
        const int p2[7] = {-384, I,   (3 * I + K + 1) >> 2, (I + K + 1) >> 1, (I + 3 * K + 1) >> 2,
                           K,    -384};
        std::copy(p2, p2 + 7, pred2);
        class2 = tables[t2].classOf(J);
        return pred2[class2];
    };
    auto record = [&](int x, int y, int p) {
        P.at(x, y) = p;
        if (y == 0) {
            H.at(x, 0) = V.at(x, 0) = x == 0 ? 0 : std::abs(p - P.get(x - 1, 0));
            return;
        }
        if (x == 0) {
            H.at(0, y) = -std::abs(p - P.get(0, y - 1));
            V.at(0, y) = 0;
            return;
        }
        H.at(x, y) = std::abs(p - P.get(x - 1, y)) - std::abs(p - P.get(x, y - 1));
        V.at(x, y) = std::abs(p - P.get(x - 1, y - 1)) - std::abs(p - P.get(x + 1, y - 1));
        const int e = std::abs(p - pred2[class2]);
        if (e < 6) return;
        const int S = class1, u = std::abs(p - I) - 1, T = class2;
        if (std::abs(p - pred1[S - 1]) < u) {
            tables[t1].th[S - 2]++;
        } else if (std::abs(p - pred1[S + 1]) < u) {
            tables[t1].th[S - 1]--;
        } else if (std::abs(p - pred2[T - 1]) < e - 1) {
            tables[t2].th[T - 2]++;
        } else if (std::abs(p - pred2[T + 1]) < e - 1) {
            tables[t2].th[T - 1]--;
        }
    };
    return predictPlane(plane, w, h, k, predict, record);
}

FilteredPlane quantisePlane(const uint8_t* plane, int w, int h, int k) {
    FilteredPlane f;
    const size_t n = size_t(w) * h;
    f.codes.assign(plane, plane + n);
    f.reconstructed = f.codes;
    if (k == 0) return f;
    const int d = 2 * k + 1;
    CodeChoice choice{{}, quantiserValueMap(k)};
    int bins = 0;
    while (k + bins * d < 256) choice.codes.push_back(uint8_t(bins++));
    if (bins * d < 256) choice.codes.push_back(uint8_t(bins));  // the partial last bin: 255
    for (size_t i = 0; i < n; i++)
        f.codes[i] = closestCode(choice, 0, plane[i], f.reconstructed[i]);
    return f;
}

}  // namespace

std::array<uint8_t, 256> quantiserValueMap(int k) {
    std::array<uint8_t, 256> m;
    for (int i = 0; i < 256; i++) m[size_t(i)] = uint8_t(i);
    const int d = 2 * k + 1;
    int i = 0;
    for (; k + i * d < 256; i++) std::swap(m[size_t(i)], m[size_t(k + i * d)]);
    if (i * d < 256) std::swap(m[size_t(i)], m[255]);  // i * d = (first s past 255) - k
    return m;
}

std::array<uint8_t, 256> quantiserResidualMap(int k) {
    std::array<uint8_t, 256> m;
    m[0] = 0;
    for (int j = 1; j <= 127; j++) {
        m[size_t(2 * j - 1)] = uint8_t(-j);
        m[size_t(2 * j)] = uint8_t(j);
    }
    m[255] = 0x80;
    if (k == 0) return m;
    const int d = 2 * k + 1;
    for (int g = 1; g * d < 128; g++) {
        const int s = g * d;
        std::swap(m[size_t(2 * g - 1)], m[size_t(2 * s - 1)]);
        std::swap(m[size_t(2 * g)], m[size_t(2 * s)]);
    }
    return m;
}

FilteredPlane filterPlane(PlaneFilter filter, const uint8_t* plane, int w, int h, int k) {
    assert(w >= 1 && h >= 1 && k >= 0 && k <= 15);
    switch (filter) {
        case PlaneFilter::Quantise:
            return quantisePlane(plane, w, h, k);
        case PlaneFilter::Median:
            return medianPlane(plane, w, h, k);
        case PlaneFilter::Adaptive:
            return adaptivePlane(plane, w, h, k);
        case PlaneFilter::None:
            break;
    }
    return quantisePlane(plane, w, h, 0);
}

PlaneFilter bitstreamPlaneFilter(int method, bool separatePlanes) {
    switch (method) {
        case 0:
            return PlaneFilter::Quantise;
        case 1:
            return PlaneFilter::Median;
        case 2:
            return separatePlanes ? PlaneFilter::Adaptive : PlaneFilter::None;
        default:
            return PlaneFilter::None;
    }
}

ForwardPlanes forwardPlanes(const uint8_t* pixels, int width, int height,
                            const std::vector<PlaneSpec>& planes,
                            const std::vector<PlaneFilter>& filters, int tolerance) {
    const int pc = int(planes.size());
    const size_t count = size_t(width) * height;
    ForwardPlanes out;
    out.codes.resize(size_t(pc));
    out.filtered.resize(size_t(pc));
    out.reconstructed.assign(count * pc, 0);
    int orderMap[4] = {0, 0, 0, 0};
    for (int p = 0; p < pc; p++) orderMap[planes[size_t(p)].order] = p;
    std::vector<uint8_t> target(count);
    std::vector<int> prediction(count);
    for (int k = 0; k < pc; k++) {
        const int p = orderMap[k];
        const PlaneSpec& s = planes[size_t(p)];
        assert(!s.hasReference || s.order > 0);
        assert(s.order < 3 || !s.hasReference || p == 3);
        const uint8_t* rec = out.reconstructed.data();
        const int a0 = orderMap[0], a1 = orderMap[1];
        for (size_t j = 0; j < count; j++) {
            const uint8_t* px = rec + j * pc;
            int pred = 0;
            if (s.hasReference) {
                if (s.order == 1)
                    pred = px[a0];
                else if (s.order == 2)
                    pred = (s.coef[0] * px[a0] + s.coef[1] * px[a1] + 40) >> 7;
                else
                    pred = (s.coef[0] * px[p - 3] + s.coef[1] * px[p - 2] + s.coef[2] * px[p - 1] +
                            63) >>
                           7;
                pred += s.offset;
            }
            prediction[j] = pred;
            target[j] = uint8_t(pixels[j * pc + p] - pred);
        }
        FilteredPlane f = filterPlane(filters[size_t(p)], target.data(), width, height, tolerance);
        for (size_t j = 0; j < count; j++)
            out.reconstructed[j * pc + p] = uint8_t(f.reconstructed[j] + prediction[j]);
        out.codes[size_t(p)] = std::move(f.codes);
        out.filtered[size_t(p)] = std::move(f.reconstructed);
    }
    return out;
}

}  // namespace pqz::enc
