#include "tests/encoder/magnitude_encoder.h"

#include <algorithm>
#include <cassert>
#include <stdexcept>

namespace pqz::enc {

namespace {

// Magnitude class k >= 2 holds base .. 2 * base - 1; its k - 1 low bits go through a heap of
// nodes starting at nodeOffset.
struct ClassInfo {
    uint32_t base;
    uint32_t topMask;
    uint32_t nodeOffset;
};
constexpr ClassInfo kClassInfo[8] = {{0, 0, 0}, {1, 0, 0},   {2, 1, 0},    {4, 2, 1},
                                     {8, 4, 4}, {16, 8, 11}, {32, 16, 26}, {64, 32, 57}};

uint32_t classOf(uint32_t x) {
    uint32_t k = 0;
    while (x >> k) k++;
    return k;
}

constexpr uint16_t kInitialClassCounts[8] = {205, 124, 147, 83, 48, 16, 8, 4};
constexpr uint16_t kInitialSymbolCounts[7] = {8, 2, 2, 2, 2, 3, 3};

// Calls visit(node, bit) for the tree bits of x (class k >= 2), top bit first.
template <class Visit>
void walkTree(uint32_t x, uint32_t k, Visit visit) {
    const ClassInfo& ci = kClassInfo[k];
    const uint32_t bits = x - ci.base;
    uint32_t p = 0;
    uint32_t d = 0;
    for (uint32_t m = ci.topMask; m != 0; m >>= 1) {
        const int b = (bits & m) ? 1 : 0;
        visit(ci.nodeOffset + ((1u << d) - 1) + p, b);
        p = 2 * p + uint32_t(b);
        d++;
    }
}

uint16_t halfUp(uint16_t c) {
    return uint16_t(c - c / 2);
}

}  // namespace

MagnitudeCoder makeMagnitudeCoder(int method) {
    MagnitudeCoder mc;
    mc.method2 = method == 2;
    mc.rateFloor = mc.method2 ? 8 : 16;
    mc.treeStep = mc.method2 ? 8 : 64;
    MagnitudeContext fresh{};
    fresh.total = 635;
    fresh.rate = uint16_t(24 * mc.rateFloor);
    std::copy(kInitialClassCounts, kInitialClassCounts + 8, fresh.classCount);
    for (auto& n : fresh.node) {
        n[0] = 60;
        n[1] = 36;
    }
    mc.contexts.assign(kMagnitudeContextCount, fresh);
    return mc;
}

void encodeMagnitude(RangeEncoder& rc, MagnitudeCoder& mc, uint32_t context, uint32_t x) {
    assert(context < uint32_t(kMagnitudeContextCount) && x < 128);
    MagnitudeContext& m = mc.contexts[context];
    const uint32_t k = classOf(x);
    uint32_t cumLow = 0;
    for (uint32_t i = 0; i < k; i++) cumLow += m.classCount[i];
    rc.encodeFreq(cumLow, m.classCount[k], m.total);

    if (m.total > 16384) {
        mc.stats.classRescales++;
        uint32_t sum = 0;
        for (uint16_t& c : m.classCount) {
            c = halfUp(c);
            sum += c;
        }
        m.total = uint16_t(sum);
        if (m.rate > 4 * mc.rateFloor)
            m.rate = uint16_t(m.rate - 16);
        else if (m.rate > mc.rateFloor)
            m.rate = uint16_t(m.rate - 4);
    }
    m.classCount[k] = uint16_t(m.classCount[k] + m.rate);
    m.total = uint16_t(m.total + m.rate);
    if (k < 2) return;

    walkTree(x, k, [&](uint32_t n, int b) {
        uint16_t* node = m.node[n];
        rc.encodeBit(b, node[0], node[1]);
        if (node[b] > 16384) {
            mc.stats.nodeRescales++;
            node[0] = halfUp(node[0]);
            node[1] = halfUp(node[1]);
        }
        node[b] = uint16_t(node[b] + mc.treeStep);
    });
}

void trainMagnitude(MagnitudeCoder& mc, uint32_t context, uint32_t x) {
    assert(context < uint32_t(kMagnitudeContextCount) && x < 128);
    MagnitudeContext& m = mc.contexts[context];
    if (m.total > 32768) return;
    const uint32_t k = classOf(x);
    const uint32_t inc = mc.method2 ? (m.rate / 32u) * 15u + 4u : ((m.rate / 4u) & ~31u) + 4u;
    m.classCount[k] = uint16_t(m.classCount[k] + inc);
    m.total = uint16_t(m.total + inc);
    if (k < 2) return;
    const uint32_t step = (mc.method2 ? 6u : 5u) * mc.treeStep / 8u;
    walkTree(x, k, [&](uint32_t n, int b) {
        uint16_t* node = m.node[n];
        if (node[b] > 8192) {
            node[0] = halfUp(node[0]);
            node[1] = halfUp(node[1]);
        }
        node[b] = uint16_t(node[b] + step);
    });
}

void initSymbolModel(SymbolModel& m) {
    m.total = 22;
    std::copy(kInitialSymbolCounts, kInitialSymbolCounts + 7, m.count);
}

bool escapeHigh(const SymbolModel& m, uint32_t s) {
    const int32_t t = m.total & 0x7FFF;
    return 2 * int32_t(m.count[s]) > int32_t(m.count[0]) + t + 96;
}

void encodeResidualSymbol(RangeEncoder& rc, MagnitudeCoder& mc, SymbolModel& m, uint32_t escapeBase,
                          uint32_t v) {
    assert(v <= 260);
    const uint32_t s = symbolOfValue(v);
    const uint32_t t = m.total & 0x7FFF;
    uint32_t cumLow = 0;
    for (uint32_t i = 0; i < s; i++) cumLow += m.count[i];
    uint32_t freq = m.count[s];
    // Only counts grown past the 15-bit total by neighbour training can get here.
    if (freq == 0 || cumLow >= t) throw std::runtime_error("residual symbol cannot be coded");
    // The decoder gives the symbol that reaches the total the rest of the range.
    if (cumLow + freq > t) freq = t - cumLow;
    rc.encodeFreq(cumLow, freq, t);

    if (t > 8192) {
        mc.stats.symbolRescales++;
        uint16_t least = 256;
        for (uint16_t c : m.count) least = std::min(least, c);
        uint16_t total = 0x8000;
        for (uint16_t& c : m.count) {
            c = least <= 1 ? halfUp(c) : uint16_t((c + 2) / 3);
            total = uint16_t(total + c);
        }
        m.total = total;
    }
    m.count[s] = uint16_t(m.count[s] + 32);
    m.total = uint16_t(m.total + 32);
    if (s < 5) return;
    mc.stats.escapes++;
    const uint32_t context = escapeBase + 128 * (s & 1) + (escapeHigh(m, s) ? 64 : 0);
    encodeMagnitude(rc, mc, context, escapeMagnitude(v));
}

ResidualMaps buildResidualMaps(int tolerance) {
    assert(tolerance >= 0 && tolerance <= 15);
    ResidualMaps maps;
    maps.tolerance = tolerance;
    const int n = tolerance;
    const int c = 2 * n + 1;
    uint8_t* order = maps.order;
    order[0] = 0;
    for (int m = 1; m < 128; m++) {
        order[2 * m - 1] = uint8_t(-m);
        order[2 * m] = uint8_t(m);
    }
    order[255] = 0x80;
    // Multiples of c first: symbols 2d - 1 and 2d become -dc and +dc.
    if (n > 0 && c < 128) {
        for (int d = 1; d * c < 128; d++) {
            const int e = d * c;
            std::swap(order[2 * d], order[2 * e]);
            std::swap(order[2 * d - 1], order[2 * e - 1]);
        }
    }
    uint8_t* q = maps.quantiser;
    for (int i = 0; i < 256; i++) q[i] = 0;
    q[128] = 255;
    for (int e = n + 1; e < 128; e++) {
        const int k = (e + n) / c;
        q[e] = uint8_t(2 * k);
        q[256 - e] = uint8_t(2 * k - 1);
    }
    for (int i = 0; i < 256; i++) maps.rank[order[i]] = uint8_t(i);
    return maps;
}

uint32_t chooseResidual(const ResidualMaps& maps, int base, int target) {
    assert(target >= 0 && target < 256);
    const int lo = std::max(0, target - maps.tolerance);
    const int hi = std::min(255, target + maps.tolerance);
    uint32_t best = 256;
    for (int r = lo; r <= hi; r++) best = std::min<uint32_t>(best, maps.rank[(r - base) & 0xFF]);
    return best;
}

}  // namespace pqz::enc
