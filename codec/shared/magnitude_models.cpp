#include "codec/shared/magnitude_models.h"

#include <utility>

#include "codec/shared/range_decoder.h"

namespace pqz {

namespace {

// Seeds of every context: class counts (summing to the total), rate and tree node counts.
constexpr uint16_t kSeedClassCounts[8] = {205, 124, 147, 83, 48, 16, 8, 4};
constexpr uint16_t kSeedTotal = 635;
constexpr uint16_t kSeedNode[2] = {60, 36};
constexpr uint32_t kSeedRatePerFloor = 24;

}  // namespace

bool MagnitudeTable::create(int method) {
    rateFloor = method == kMethodAdaptive ? 8 : 16;
    treeStep = method == kMethodAdaptive ? 8 : 64;
    models = allocateArray<MagnitudeModel>(kMagnitudeContexts, Fill::None);
    if (!models) return false;
    MagnitudeModel first;
    first.total = kSeedTotal;
    first.rate = static_cast<uint16_t>(kSeedRatePerFloor * rateFloor);
    for (int i = 0; i < 8; i++) first.classCount[i] = kSeedClassCounts[i];
    for (auto& n : first.node) {
        n[0] = kSeedNode[0];
        n[1] = kSeedNode[1];
    }
    for (int i = 0; i < kMagnitudeContexts; i++) models[i] = first;
    return true;
}

}  // namespace pqz

namespace pqz {

namespace {

// Magnitude class of a value 0..127: its bit length.
struct ClassInfo {
    uint8_t base;
    uint8_t topMask;
    uint8_t nodeOffset;
};
constexpr ClassInfo kClassInfo[8] = {
    {0, 0, 0}, {1, 0, 0}, {2, 1, 0}, {4, 2, 1}, {8, 4, 4}, {16, 8, 11}, {32, 16, 26}, {64, 32, 57},
};

// Bit length of each value 0..127.
struct ClassTable {
    uint8_t of[128];
};
constexpr ClassTable makeClassTable() {
    ClassTable t{};
    for (int x = 1; x < 128; x++) t.of[x] = uint8_t(t.of[x / 2] + 1);
    return t;
}
constexpr ClassTable kClassOf = makeClassTable();

inline uint16_t halveUp(uint16_t c) {
    return uint16_t(c - (c >> 1));
}

}  // namespace

uint32_t decodeMagnitude(RangeDecoder& rc, const MagnitudeTable& table, MagnitudeModel& m) {
    // The class is the number of the classes' cumulative counts 1 to 7 at or below the target
    // (they never decrease): counted without a branch and without the target's division.
    const RangeScale scale = rangeDecodeScale(rc, m.total);
    uint32_t cum[9];
    cum[0] = 0;
    uint32_t k = 0;
    for (int i = 0; i < 8; i++) {
        cum[i + 1] = cum[i] + m.classCount[i];
        if (i < 7) k += rangeReaches(scale, cum[i + 1]);
    }
    rangeUpdate(rc, cum[k], cum[k + 1]);
    if (m.total > 16384) {
        uint32_t total = 0;
        for (auto& c : m.classCount) {
            c = halveUp(c);
            total += c;
        }
        m.total = uint16_t(total);
        if (m.rate > 4 * table.rateFloor)
            m.rate = uint16_t(m.rate - 16);
        else if (m.rate > table.rateFloor)
            m.rate = uint16_t(m.rate - 4);
    }
    m.classCount[k] = uint16_t(m.classCount[k] + m.rate);
    m.total = uint16_t(m.total + m.rate);
    if (k < 2) return uint32_t(k);
    // The subtree is a heap: the node of heap index h (1 for the first bit, then 2h + bit) is
    // nodeOffset + h - 1.
    const ClassInfo& info = kClassInfo[k];
    const uint32_t first = info.nodeOffset - 1u;
    const uint32_t step = table.treeStep;
    const uint32_t end = 2u * info.topMask;
    uint32_t h = 1;
    while (h < end) {
        uint16_t* node = m.node[first + h];
        const int b = rangeDecodeBitSelected(rc, node[0], node[1]);
        if (node[b] > 16384) {
            node[0] = halveUp(node[0]);
            node[1] = halveUp(node[1]);
        }
        node[b] = uint16_t(node[b] + step);
        h = 2 * h + uint32_t(b);
    }
    return info.base + h - end;
}

namespace {

// What the training with a value needs of the table and the value: the same for every context
// that learns it.
struct Lesson {
    bool method2;
    uint32_t cls;
    uint32_t firstNode;  // tree node of heap index 1 is firstNode + 1
    uint32_t topMask;    // the highest bit of the walk; 0 for the classes without a tree
    uint32_t bits;
    uint32_t treeStep;
};

inline Lesson lessonOf(const MagnitudeTable& table, uint32_t x) {
    const bool method2 = table.treeStep == 8;
    const uint32_t k = kClassOf.of[x & 127];
    const ClassInfo& info = kClassInfo[k];
    return {method2,
            k,
            info.nodeOffset - 1u,
            info.topMask,
            x - info.base,
            (method2 ? 6 : 5) * table.treeStep / 8};
}

inline void learn(const Lesson& lesson, MagnitudeModel& m) {
    if (m.total > 32768) return;
    const uint32_t inc = lesson.method2 ? (m.rate / 32) * 15 + 4 : ((m.rate / 4) & ~31u) + 4;
    m.classCount[lesson.cls] = uint16_t(m.classCount[lesson.cls] + inc);
    m.total = uint16_t(m.total + inc);
    // Walk the heap of the class's subtree along the known bits (see decodeMagnitude).
    uint32_t h = 1;
    for (uint32_t mask = lesson.topMask; mask; mask >>= 1) {
        uint16_t* node = m.node[lesson.firstNode + h];
        const int b = (lesson.bits & mask) ? 1 : 0;
        if (node[b] > 8192) {
            node[0] = halveUp(node[0]);
            node[1] = halveUp(node[1]);
        }
        node[b] = uint16_t(node[b] + lesson.treeStep);
        h = 2 * h + uint32_t(b);
    }
}

}  // namespace

void trainMagnitude(const MagnitudeTable& table, MagnitudeModel& m, uint32_t x) {
    learn(lessonOf(table, x), m);
}

void trainMagnitudes(const MagnitudeTable& table, MagnitudeModel* const* models, int count,
                     uint32_t x) {
    const Lesson lesson = lessonOf(table, x);
    for (int i = 0; i < count; i++) learn(lesson, *models[i]);
}

void initResidualSymbolModel(ResidualSymbolModel& model) {
    static const uint16_t kCounts[7] = {8, 2, 2, 2, 2, 3, 3};
    model.total = 22;
    for (int i = 0; i < 7; i++) model.count[i] = kCounts[i];
}

void buildResidualMaps(int n, uint8_t quantiserAndRank[512], uint8_t residualOrder[256]) {
    const int c = 2 * n + 1;
    residualOrder[0] = 0;
    for (int m = 1; m <= 127; m++) {
        residualOrder[2 * m - 1] = uint8_t(-m);
        residualOrder[2 * m] = uint8_t(m);
    }
    residualOrder[255] = 0x80;
    if (n > 0 && c < 128) {
        for (int d = 1; d * c < 128; d++) {
            const int e = d * c;
            std::swap(residualOrder[2 * d], residualOrder[2 * e]);
            std::swap(residualOrder[2 * d - 1], residualOrder[2 * e - 1]);
        }
    }
    uint8_t* quantiser = quantiserAndRank;
    uint8_t* rank = quantiserAndRank + 256;
    quantiser[0] = 0;
    for (int e = 1; e <= n; e++) {
        quantiser[e] = 0;
        quantiser[256 - e] = 0;
    }
    quantiser[128] = 255;
    for (int e = n + 1; e <= 127; e++) {
        const int q = (e + n) / c;
        quantiser[e] = uint8_t(2 * q);
        quantiser[256 - e] = uint8_t(2 * q - 1);
    }
    for (int i = 0; i < 256; i++) rank[residualOrder[i]] = uint8_t(i);
}

}  // namespace pqz
