// Coding method 2: what the lane code of the bias adaptation shares on every processor: the
// rule each lane applies and where a stage's related cells lie. Included by one source file per
// lane implementation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/method2/method2_bias.h"

namespace pqz::method2 {

namespace {

constexpr int kFeatureBits = 11;
constexpr int32_t kAllFeatures = (1 << kFeatureBits) - 1;

// How each lane moves its cell: x = push + 2^(k-1) + gap, then step = (x * scale) >> 3, which is
// x >> k for scale 2^(3 - k) and 0 (the cell left alone) for scale 0.
template <int N>
struct alignas(32) LaneRules {
    int16_t scale[N];
    int16_t half[N];  // 2^(k - 1)
    int16_t dead[N];  // all ones where the update pushes by 32 times the gap's clipped sign
};
using LaneRule = LaneRules<8>;

// The same rule in sixteen lanes for processors with rounding multiplies: step = x * 2^(15 - k),
// rounded, is (x + 2^(k-1)) >> k exactly, so the half needs no add; push is 32 where the update
// pushes by 32 times the gap's clipped sign.
struct alignas(32) WideLaneRule {
    int16_t step[16];  // 2^(15 - k), 0 where the cell is left alone
    int16_t push[16];
};

constexpr void setLane(LaneRule& r, int lane, int k, bool deadZone) {
    r.scale[lane] = int16_t(1 << (3 - k));
    r.half[lane] = int16_t(1 << (k - 1));
    r.dead[lane] = deadZone ? -1 : 0;
}

struct EightLaneRules {
    // Lanes 0-3: the used cell's row (toward e); lanes 4-7: the same row of the mirror block
    // (toward -e). By low count.
    LaneRule own[4];
    // A block across one feature bit, toward e: its rows of the middle count and of the
    // successor count, the lower row in lanes 0-3. By middle count and low count.
    LaneRule across[4][4];
    // The mirror's cell across each feature bit, toward -e: eight lanes, then three.
    LaneRule mirrorAcross[2];
};

constexpr EightLaneRules makeLaneRules() {
    EightLaneRules r{};
    for (int lo = 0; lo < 4; lo++) {
        LaneRule& own = r.own[lo];
        if (lo < 3) setLane(own, lo + 1, 1, true);
        if (lo > 0) setLane(own, lo - 1, 2, true);
        setLane(own, 4 + lo, 2, true);
        if (lo < 3) setLane(own, 4 + lo + 1, 2, false);
        if (lo > 0) setLane(own, 4 + lo - 1, 3, false);
        for (int mid = 0; mid < 4; mid++) {
            LaneRule& across = r.across[mid][lo];
            const int midRow = kMiddleSuccessor[mid] > mid ? 0 : 4;
            const int successorRow = 4 - midRow;
            setLane(across, midRow + lo, 2, true);
            setLane(across, successorRow + lo, 3, true);
            if (lo < 3) setLane(across, midRow + lo + 1, 2, false);
            if (lo > 0) setLane(across, midRow + lo - 1, 3, true);
        }
    }
    for (int lane = 0; lane < 8; lane++) setLane(r.mirrorAcross[0], lane, 3, true);
    for (int lane = 0; lane < kFeatureBits - 8; lane++) setLane(r.mirrorAcross[1], lane, 3, true);
    return r;
}
constexpr EightLaneRules kLaneRules = makeLaneRules();

constexpr WideLaneRule join(const LaneRule& low, const LaneRule& high) {
    WideLaneRule r{};
    for (int i = 0; i < 16; i++) {
        const LaneRule& from = i < 8 ? low : high;
        const int scale = from.scale[i % 8];  // 2^(3 - k) or 0
        r.step[i] = int16_t(scale << 12);
        r.push[i] = int16_t(from.dead[i % 8] & 32);
    }
    return r;
}

struct SixteenLaneRules {
    // Lanes 0-7 as the eight-lane own rule, lanes 8-15 as its across rule (feature bit 0).
    WideLaneRule first[4][4];
    WideLaneRule across[4][4];  // the across rule twice: two feature bits
    WideLaneRule mirrorAcross;  // eleven lanes
};

constexpr SixteenLaneRules makeSixteenLaneRules() {
    SixteenLaneRules r{};
    for (int mid = 0; mid < 4; mid++) {
        for (int lo = 0; lo < 4; lo++) {
            r.first[mid][lo] = join(kLaneRules.own[lo], kLaneRules.across[mid][lo]);
            r.across[mid][lo] = join(kLaneRules.across[mid][lo], kLaneRules.across[mid][lo]);
        }
    }
    r.mirrorAcross = join(kLaneRules.mirrorAcross[0], kLaneRules.mirrorAcross[1]);
    return r;
}
constexpr SixteenLaneRules kSixteenLaneRules = makeSixteenLaneRules();

// Where a stage's cells lie.
struct StageCells {
    int lo, mid;
    int firstRow;  // the lower of the middle count's and its successor's rows
    int cell;      // the used cell's place in its block
    size_t ownAt;  // byte offsets of the own and the mirror block in the table
    size_t mirrorAt;
    explicit StageCells(int32_t idx)
        : lo(idx & 3),
          mid((idx >> 2) & 3),
          firstRow(kMiddleSuccessor[mid] > mid ? mid : kMiddleSuccessor[mid]),
          cell(idx & 15),
          ownAt(size_t(idx >> 4) * sizeof(BiasBlock)),
          mirrorAt(size_t((idx >> 4) ^ kAllFeatures) * sizeof(BiasBlock)) {}
};

// Byte offsets from the table: of the rows of the middle count and its successor in the blocks
// across feature bits 0 to 10, and of the used cell in the mirror's blocks across them. Blocks
// lie 64 bytes apart and both starting offsets lie within their block, so flipping feature bit
// j flips bit 6 + j of the offset: one exclusive-or per block, the table added by the address.
struct AcrossOffsets {
    size_t rowsAt, mirrorAt;
    explicit AcrossOffsets(const StageCells& at)
        : rowsAt(at.ownAt + 8 * size_t(at.firstRow)), mirrorAt(at.mirrorAt + 2 * size_t(at.cell)) {}
    size_t rows(int j) const { return rowsAt ^ (size_t(sizeof(BiasBlock)) << j); }
    size_t mirror(int j) const { return mirrorAt ^ (size_t(sizeof(BiasBlock)) << j); }
};

// The sums and, kScaleOffset entries on, the scales of a block at a byte offset from the table.
inline int16_t* sumsAt(BiasBlock* table, size_t offset) {
    return reinterpret_cast<int16_t*>(reinterpret_cast<char*>(table) + offset);
}
constexpr int kScaleOffset = int(offsetof(BiasBlock, scaleCountdown) / sizeof(int16_t));

inline BiasBlock& blockAt(BiasBlock* table, size_t at) {
    return *reinterpret_cast<BiasBlock*>(reinterpret_cast<char*>(table) + at);
}

}  // namespace

}  // namespace pqz::method2
