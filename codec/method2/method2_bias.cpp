// Coding method 2: adaptation of the bias cells after each sample. The cell a stage used learns
// the stage's error; about sixty related cells (across each feature bit, the mirror with all
// feature bits flipped, the neighbouring low counts) move toward the error the stage had before
// its correction: in integer lanes, or cell by cell for errors too large for 16-bit lanes.
#include "codec/method2/method2_bias.h"

#include "base/platform.h"
#include "codec/method2/float_env.h"
#include "codec/method2/method2_bias_cells.h"

namespace pqz::method2 {

namespace cells {

namespace {

// Related cell n moves toward target by 2^-k of the gap; a dead-zone update also pushes by 32
// times the gap's clipped sign.
void nudge(BiasBlock* table, int32_t n, int32_t target, int k, bool deadZone,
           const BiasClip& clip) {
    const BiasCell c = biasCellAt(table, n);
    const int32_t gap = sub32(target, (c.sum + (1 << (c.shift - 1))) >> c.shift);
    const int32_t push = deadZone ? 32 * clip.sign(gap) : 0;
    const int32_t step = add32(add32(push, 1 << (k - 1)), gap) >> k;
    int16_t& sum = table[n >> 4].sum[n & 15];
    sum = add16(sum, step);
}

}  // namespace

void adaptRelatedByCell(BiasBlock* table, int32_t idx, int32_t e, int32_t clipHigh,
                        int32_t clipLow) {
    const BiasClip clip{clipHigh, clipLow};
    const int32_t lo = idx & 3, mid = (idx >> 2) & 3;
    const int32_t ne = sub32(0, e);
    if (lo < 3) nudge(table, idx + 1, e, 1, true, clip);
    if (lo > 0) nudge(table, idx - 1, e, 2, true, clip);
    const int32_t m = idx ^ 0x7FF0;
    nudge(table, m, ne, 2, true, clip);
    if (lo < 3) nudge(table, m + 1, ne, 2, false, clip);
    if (lo > 0) nudge(table, m - 1, ne, 3, false, clip);
    for (int j = 14; j >= 4; j--) {
        const int32_t n = idx ^ (1 << j);
        const int32_t n2 = (n & ~0xC) | (kMiddleSuccessor[mid] << 2);
        const int32_t mj = idx ^ (0x7FF0 ^ (1 << j));
        nudge(table, n, e, 2, true, clip);
        nudge(table, n2, e, 3, true, clip);
        if (lo < 3) nudge(table, n + 1, e, 2, false, clip);
        if (lo > 0) nudge(table, n - 1, e, 3, true, clip);
        nudge(table, mj, ne, 3, true, clip);
    }
}

}  // namespace cells

using namespace cells;

void resetBiasTable(BiasBlock* table) {
    for (int b = 0; b < kBiasBlocks; b++) {
        for (int i = 0; i < kBlockCells; i++) {
            table[b].sum[i] = 0;
            table[b].scaleCountdown[i] = scaleCountdown(5, 2);
        }
    }
}

BiasCell biasCellAt(const BiasBlock* table, int32_t idx) {
    const uint16_t sc = table[idx >> 4].scaleCountdown[idx & 15];
    return {uint8_t(shiftOfScale(sc >> 8u)), uint8_t(sc & 0xFFu), table[idx >> 4].sum[idx & 15]};
}

void setBiasCell(BiasBlock* table, int32_t idx, BiasCell cell) {
    table[idx >> 4].sum[idx & 15] = cell.sum;
    table[idx >> 4].scaleCountdown[idx & 15] = scaleCountdown(cell.shift, cell.countdown);
}

LaneWidth widestLaneWidth() {
#if PQZ2_M2_X86
    return hostHas(HostLanes::Avx2) ? LaneWidth::Sixteen : LaneWidth::Eight;
#else
    return LaneWidth::Eight;
#endif
}

void adaptBiasStage(BiasBlock* table, int32_t idx, int32_t d, int32_t e, int32_t clipHigh,
                    int32_t clipLow, LaneWidth lanes) {
    adaptStage(table, idx, d, e, clipHigh, clipLow, lanes);
}

}  // namespace pqz::method2
