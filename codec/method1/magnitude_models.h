// Adaptive binary-tree magnitude models and residual symbol models shared by coding methods 1
// and 2, and the residual maps that turn symbols into residuals.
#pragma once

#include <cstdint>

#include "pipeline/reader_state.h"

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

// Sets the method constants (method 2: rate floor 8, tree step 8; otherwise 16 and 64) and
// allocates and initialises the 1024 contexts. Returns false when the table cannot be allocated.
bool initModelTables(ReaderState& st, int method);
void releaseModelTables(ReaderState& st);

// Decodes a value 0..127 from one context and adapts it.
uint32_t decodeMagnitude(ReaderState& st, MagnitudeModel& model);
// Adapts one context as if x (0..127) had been coded in it.
void trainMagnitude(const ReaderState& st, MagnitudeModel& model, uint32_t x);

void initResidualSymbolModel(ResidualSymbolModel& model);
// Decodes a symbol 0..260; escapes read a magnitude from context
// escapeBase + 128 * (symbol & 1) + 64 * h.
uint32_t decodeResidualSymbol(ReaderState& st, ResidualSymbolModel& model, uint32_t escapeBase);

// Fills errorQuantiser (entries 0..255 of quantiserAndRank), residualRank (entries 256..511)
// and residualOrder for the near-lossless tolerance (0..15).
void buildResidualMaps(int tolerance, uint8_t quantiserAndRank[512], uint8_t residualOrder[256]);

}  // namespace pqz
