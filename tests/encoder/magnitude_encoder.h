// Encoder side of the adaptive binary-tree models shared by coding methods 1 and 2: the 1024
// magnitude contexts, the seven-symbol residual model that escapes into them, and the residual
// maps of a near-lossless tolerance. Every count, increment and rescale follows the decoder's
// adaptation exactly, so that an encoder and a decoder driven by the same values stay in step.
//
// Stable interface (the method-2 test encoder builds on it):
//   MagnitudeCoder / makeMagnitudeCoder      the contexts of one coded stream
//   encodeMagnitude, trainMagnitude          code a value 0..127 / train with a known value
//   SymbolModel, initSymbolModel,
//   encodeResidualSymbol, escapeHigh         the residual symbol model (values 0..260)
//   ResidualMaps, buildResidualMaps,
//   chooseResidual                           residual maps and the near-lossless choice
#pragma once

#include <cstdint>
#include <vector>

#include "tests/encoder/range_encoder.h"

namespace pqz::enc {

constexpr int kMagnitudeContextCount = 1024;

// One magnitude context: eight class counts and 122 tree nodes of (count0, count1); the same
// 254 words, in the same order, as the decoder's context.
struct MagnitudeContext {
    uint16_t total;  // sum of the class counts
    uint16_t rate;   // increment of a coded class
    uint16_t classCount[8];
    uint16_t node[122][2];
};

// What a stream exercised, so that tests can tell that they reach the rarer paths.
struct MagnitudeStats {
    uint64_t escapes = 0;         // residual symbols 5 and 6
    uint64_t symbolRescales = 0;  // residual symbol models rescaled (the first makes one mature)
    uint64_t classRescales = 0;   // magnitude class counts halved
    uint64_t nodeRescales = 0;    // tree node counts halved while coding
};

// The magnitude contexts of one coded stream and the constants of its coding method.
struct MagnitudeCoder {
    bool method2 = false;
    uint32_t rateFloor = 16;  // method 1: 16, method 2: 8; the rate decays towards it
    uint32_t treeStep = 64;   // method 1: 64, method 2: 8; node increment of a coded bit
    std::vector<MagnitudeContext> contexts;
    MagnitudeStats stats;
};

// Fresh contexts for a stream of coding method `method` (2, or anything else for method 1).
MagnitudeCoder makeMagnitudeCoder(int method);

// Codes x (0..127) in context `context`: its class (bit length), then the bits below the top
// bit through the class's subtree, most significant first. Adapts the context.
void encodeMagnitude(RangeEncoder& rc, MagnitudeCoder& mc, uint32_t context, uint32_t x);
// Adapts context `context` as if x (0..127) had been coded in it, with weaker increments and
// nothing written. A context whose total exceeds 32768 is left alone.
void trainMagnitude(MagnitudeCoder& mc, uint32_t context, uint32_t x);

// Seven-symbol residual model: symbols 0..4 stand for themselves, 5 and 6 escape odd and even
// values from 5 up. Bit 15 of total is set at the first rescale (the model is then mature).
struct SymbolModel {
    uint16_t total;  // bits 0..14: sum of the counts; bit 15: mature
    uint16_t count[7];
};

void initSymbolModel(SymbolModel& m);
inline bool symbolModelMature(const SymbolModel& m) {
    return (m.total & 0x8000) != 0;
}
// Symbol that carries value v: v itself below 5, 5 for odd and 6 for even values from 5 up.
inline uint32_t symbolOfValue(uint32_t v) {
    return v < 5 ? v : 6 - (v & 1);
}
// Magnitude that the escape of value v (>= 5) codes: (v - 5) >> 1.
inline uint32_t escapeMagnitude(uint32_t v) {
    return (v - 5) >> 1;
}
// Whether an escape with symbol s picks the upper half (+64) of its magnitude contexts, tested
// on the model's counts after s has been counted.
bool escapeHigh(const SymbolModel& m, uint32_t s);

// Codes value v (0..260) in model m and adapts it; an escape (v >= 5) then codes
// escapeMagnitude(v) in magnitude context escapeBase + 128 * (symbol & 1) + 64 * escapeHigh.
// Throws std::runtime_error for a model whose counts no longer fit its stored total (a state
// in which the decoder cannot reach every symbol).
void encodeResidualSymbol(RangeEncoder& rc, MagnitudeCoder& mc, SymbolModel& m, uint32_t escapeBase,
                          uint32_t v);

// Residual maps of a tolerance N (0..15; 0 is lossless). Residuals are bytes (e & 0xFF).
struct ResidualMaps {
    int tolerance = 0;
    uint8_t order[256];      // symbol -> residual: 0, -c, +c, -2c, +2c, ... first (c = 2N + 1)
    uint8_t quantiser[256];  // residual -> folded error of the quantised residual
    uint8_t rank[256];       // residual -> symbol (inverse of order)
};

ResidualMaps buildResidualMaps(int tolerance);

// The near-lossless choice for one sample: among the reconstructions r in 0..255 with
// |r - target| <= tolerance, the one whose residual (r - base) & 0xFF has the lowest symbol.
// Returns that symbol; the decoder reconstructs (base + order[symbol]) & 0xFF. With tolerance 0
// this is rank[(target - base) & 0xFF].
uint32_t chooseResidual(const ResidualMaps& maps, int base, int target);

}  // namespace pqz::enc
