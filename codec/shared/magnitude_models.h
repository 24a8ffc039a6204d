// Adaptive binary-tree magnitude models and residual symbol models shared by coding methods 1
// and 2, and the residual maps that turn symbols into residuals.
#pragma once

#include <cstdint>

#include "base/memory.h"
#include "base/platform.h"
#include "codec/shared/plane_table.h"
#include "codec/shared/range_decoder.h"

namespace pqz {

constexpr int kMagnitudeContexts = 1024;

// One context: 254 16-bit words.
struct MagnitudeModel {
    uint16_t total;
    uint16_t rate;
    uint16_t classCount[8];
    uint16_t node[122][2];  // (count0, count1) per tree node
};
static_assert(sizeof(MagnitudeModel) == 254 * 2, "MagnitudeModel is 254 words");

// Seven-symbol model; bit 15 of total marks a model that has been rescaled (mature).
struct ResidualSymbolModel {
    uint16_t total;
    uint16_t count[7];
};

// The 1024 magnitude contexts of one coded stream of method 1 or 2, with the method's
// constants. Owned by the method's stream decoder for the length of the stream.
struct MagnitudeTable {
    uint32_t rateFloor = 0;
    uint32_t treeStep = 0;
    Owned<MagnitudeModel[]> models;

    // Sets the method constants (method 2: rate floor 8, tree step 8; otherwise 16 and 64) and
    // allocates and seeds the contexts. False when the table cannot be allocated.
    bool create(int method);
    MagnitudeModel& operator[](uint32_t context) const { return models[context]; }
};

// Decodes a value 0..127 from one context of table and adapts it.
uint32_t decodeMagnitude(RangeDecoder& rc, const MagnitudeTable& table, MagnitudeModel& model);
// Adapts one context as if x (0..127) had been coded in it.
void trainMagnitude(const MagnitudeTable& table, MagnitudeModel& model, uint32_t x);

void initResidualSymbolModel(ResidualSymbolModel& model);
// Decodes a symbol 0..260; escapes read a magnitude from context
// escapeBase + 128 * (symbol & 1) + 64 * h.
PQZ_HOT_INLINE uint32_t decodeResidualSymbol(RangeDecoder& rc, const MagnitudeTable& table,
                                             ResidualSymbolModel& model, uint32_t escapeBase);

// Fills errorQuantiser (entries 0..255 of quantiserAndRank), residualRank (entries 256..511)
// and residualOrder for the near-lossless tolerance (0..15).
void buildResidualMaps(int tolerance, uint8_t quantiserAndRank[512], uint8_t residualOrder[256]);

// --- Inline definitions: the symbol decode runs once per sample of method 1 ------------------

PQZ_HOT_INLINE uint32_t decodeResidualSymbol(RangeDecoder& rc, const MagnitudeTable& table,
                                             ResidualSymbolModel& m, uint32_t escapeBase) {
    // Method 1 trains neighbouring models by adding to their total words with 16-bit wrap, so a
    // hostile stream can leave a total of 0 or counts that fall short of it; no encoder can code
    // in such a model. Refuse instead of dividing by zero or narrowing the range to nothing.
    const uint32_t t = m.total & 0x7FFF;
    if (t == 0) {
        rc.damaged = true;
        return 0;
    }
    const uint32_t v = rangeDecodeFreq(rc, t);
    // The symbol is the number of cumulative counts up to v (they never decrease), found
    // without branches: which symbol comes is what the stream decides.
    uint32_t cum[8];
    cum[0] = 0;
    for (int i = 0; i < 7; i++) cum[i + 1] = cum[i] + m.count[i];
    if (cum[7] <= v) {
        rc.damaged = true;
        return 0;
    }
    int s = 0;
    for (int i = 1; i < 7; i++) s += cum[i] <= v;
    rangeUpdate(rc, cum[s], cum[s + 1]);
    if (t > 8192) {
        uint32_t smallest = 256;
        for (uint16_t c : m.count) smallest = c < smallest ? c : smallest;
        uint32_t total = 0x8000;
        for (auto& c : m.count) {
            c = smallest <= 1 ? uint16_t(c - (c >> 1)) : uint16_t((c + 2) / 3);
            total += c;
        }
        m.total = uint16_t(total);
    }
    m.count[s] = uint16_t(m.count[s] + 32);
    m.total = uint16_t(m.total + 32);
    if (s < 5) return uint32_t(s);
    const int32_t t2 = m.total & 0x7FFF;
    const int h = 2 * int32_t(m.count[s]) > int32_t(m.count[0]) + t2 + 96 ? 1 : 0;
    const uint32_t ctx = escapeBase + 128 * uint32_t(s & 1) + 64 * uint32_t(h);
    const uint32_t x = decodeMagnitude(rc, table, table[ctx]);
    return uint32_t(s) + 2 * x;
}

}  // namespace pqz
