// Coding method 2: the bias cells of the five correction stages, their layout in memory and
// their adaptation.
#pragma once

#include <cstdint>

#include "base/platform.h"

namespace pqz::method2 {

constexpr int kBiasStages = 5;
constexpr int kBiasCells = 32768;  // per stage
constexpr int kBlockCells = 16;
constexpr int kBiasBlocks = kBiasCells / kBlockCells;

// One cell as the rules see it; its bias is (sum + 2^(shift - 1)) >> shift, shift 5 to 8.
struct BiasCell {
    uint8_t shift;
    uint8_t countdown;
    int16_t sum;
};

// The sixteen cells whose indices share bits 4 and up (the feature bits), on one cache line.
// Bits 2-3 of a cell index (the middle count) pick a row of four cells, bits 0-1 (the low count)
// the cell in the row. An adaptation touches one or two rows in each of 24 blocks.
struct alignas(64) BiasBlock {
    int16_t sum[kBlockCells];
    // High byte 2^(9 - shift), so that the byte pair read as a 16-bit number with its low byte
    // cleared is 2^(17 - shift); low byte the countdown.
    uint16_t scaleCountdown[kBlockCells];
};
static_assert(sizeof(BiasBlock) == 64, "a block is one cache line");

// The middle count whose row is also adapted across each feature bit.
constexpr int kMiddleSuccessor[4] = {1, 2, 3, 2};

// Bias of cell idx: (sum * 2^(17 - shift)) >> 16 is sum >> (shift - 1), and halving that with
// its low bit added back rounds as adding 2^(shift - 1) before the shift does.
inline int32_t cellBias(const BiasBlock* table, int32_t idx) {
    const BiasBlock& b = table[idx >> 4];
    const int i = idx & 15;
    const int32_t h = (int32_t(b.sum[i]) * int32_t(b.scaleCountdown[i] & 0xFF00u)) >> 16;
    return (h + 1) >> 1;
}

// Every cell of a stage's table set to shift 5, countdown 2, sum 0.
void resetBiasTable(BiasBlock* table);
BiasCell biasCellAt(const BiasBlock* table, int32_t idx);
void setBiasCell(BiasBlock* table, int32_t idx, BiasCell cell);

// Width of the integer lanes that adapt a stage's related cells: eight 16-bit lanes on every
// x86-64 processor, sixteen on those with AVX2. Both give the same cells.
enum class LaneWidth : uint8_t { Eight, Sixteen };
// What the processor offers.
LaneWidth widestLaneWidth();

// Adapts the cell a stage used (index idx of the stage's table) to the stage's error d, and the
// cells related to it to the error e the stage had before its correction. Sixteen lanes only
// where widestLaneWidth() offers them.
void adaptBiasStage(BiasBlock* table, int32_t idx, int32_t d, int32_t e, int32_t clipHigh,
                    int32_t clipLow, LaneWidth lanes = LaneWidth::Eight);
// Errors |e| up to this size are adapted in 16-bit lanes; no intermediate of the rule then leaves
// the 16-bit range.
constexpr int32_t kLaneErrorLimit = 7000;

}  // namespace pqz::method2
