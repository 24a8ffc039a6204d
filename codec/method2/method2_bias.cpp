// Coding method 2: adaptation of the bias cells after each sample. The cell a stage used learns
// the stage's error; about sixty related cells (across each feature bit, the mirror with all
// feature bits flipped, the neighbouring low counts) move toward the error the stage had before
// its correction. The related cells are all distinct, so they are adapted eight at a time.
#include "codec/method2/method2_bias.h"

#include <emmintrin.h>

#include <cstddef>
#include <utility>

namespace pqz::method2 {

namespace {

constexpr uint8_t kCountdownOfShift[4] = {2, 7, 46, 197};  // shifts 5 to 8
constexpr int kSuccessor[4] = {1, 2, 3, 2};                // of a middle count
constexpr int kFeatureBits = 11;
constexpr int32_t kAllFeatures = (1 << kFeatureBits) - 1;

inline int32_t add32(int32_t a, int32_t b) {
    return int32_t(uint32_t(a) + uint32_t(b));
}
inline int32_t sub32(int32_t a, int32_t b) {
    return int32_t(uint32_t(a) - uint32_t(b));
}
inline int16_t add16(int16_t a, int32_t b) {
    return int16_t(uint16_t(uint16_t(a) + uint16_t(b)));
}

struct BiasClip {
    int32_t high;
    int32_t low;
    int32_t sign(int32_t v) const { return (v > high) - (v < low); }
};

inline int shiftOfScale(unsigned scale) {
    return 9 - __builtin_ctz(scale);
}
inline uint16_t scaleCountdown(int shift, unsigned countdown) {
    return uint16_t((1u << (17 - shift)) | countdown);
}

inline void adaptOwnCell(BiasBlock* table, int32_t idx, int32_t d, const BiasClip& clip) {
    BiasBlock& b = table[idx >> 4];
    const int i = idx & 15;
    int16_t& sum = b.sum[i];
    sum = add16(sum, d);
    const unsigned countdown = b.scaleCountdown[i] & 0xFFu;
    if (countdown == 0) return;
    sum = add16(sum, 4 * clip.sign(d));
    if (d <= -38 || d >= 38) return;
    const int shift = shiftOfScale(b.scaleCountdown[i] >> 8);
    if (countdown == 1 && shift < 8) {
        b.scaleCountdown[i] = scaleCountdown(shift + 1, kCountdownOfShift[shift + 1 - 5]);
        sum = int16_t(uint16_t(uint16_t(sum) * 2u));
    } else {
        b.scaleCountdown[i] = uint16_t(b.scaleCountdown[i] - 1);  // 1 becomes 0 at shift 8
    }
}

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

void adaptRelatedByCell(BiasBlock* table, int32_t idx, int32_t e, const BiasClip& clip) {
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
        const int32_t n2 = (n & ~0xC) | (kSuccessor[mid] << 2);
        const int32_t mj = idx ^ (0x7FF0 ^ (1 << j));
        nudge(table, n, e, 2, true, clip);
        nudge(table, n2, e, 3, true, clip);
        if (lo < 3) nudge(table, n + 1, e, 2, false, clip);
        if (lo > 0) nudge(table, n - 1, e, 3, true, clip);
        nudge(table, mj, ne, 3, true, clip);
    }
}

// How each of eight 16-bit lanes is updated: step = (x * scale) >> 3 with x = push + half + gap,
// which is x >> k for scale 2^(3 - k) and leaves the cell alone for scale 0.
struct alignas(16) LaneRule {
    int16_t scale[8];
    int16_t half[8];  // 2^(k - 1)
    int16_t dead[8];  // all ones where the update pushes by the clipped sign
};

constexpr void setLane(LaneRule& r, int lane, int k, bool deadZone) {
    r.scale[lane] = int16_t(1 << (3 - k));
    r.half[lane] = int16_t(1 << (k - 1));
    r.dead[lane] = deadZone ? -1 : 0;
}

struct LaneRules {
    // Lanes 0-3: the used cell's row (toward e); lanes 4-7: the same row of the mirror block
    // (toward -e). By low count.
    LaneRule own[4];
    // A block across one feature bit, toward e: its rows of the middle count and of the
    // successor count, which are adjacent; by middle count and low count.
    LaneRule across[4][4];
    // The mirror's cell across each feature bit, gathered, toward -e: eight lanes, three lanes.
    LaneRule mirrorAcross[2];
};

constexpr LaneRules makeLaneRules() {
    LaneRules r{};
    for (int lo = 0; lo < 4; lo++) {
        LaneRule& own = r.own[lo];
        if (lo < 3) setLane(own, lo + 1, 1, true);
        if (lo > 0) setLane(own, lo - 1, 2, true);
        setLane(own, 4 + lo, 2, true);
        if (lo < 3) setLane(own, 4 + lo + 1, 2, false);
        if (lo > 0) setLane(own, 4 + lo - 1, 3, false);
        for (int mid = 0; mid < 4; mid++) {
            LaneRule& across = r.across[mid][lo];
            const int midRow = kSuccessor[mid] > mid ? 0 : 4;
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
constexpr LaneRules kLaneRules = makeLaneRules();

// The lanes' targets and the clip, one register each.
struct LaneTargets {
    __m128i up, down, mixed;  // e; -e; e in lanes 0-3 and -e in lanes 4-7
    __m128i clipHigh, clipLow;
    LaneTargets(int32_t e, const BiasClip& clip)
        : up(_mm_set1_epi16(int16_t(e))),
          down(_mm_set1_epi16(int16_t(-e))),
          mixed(_mm_unpacklo_epi64(up, down)),
          clipHigh(_mm_set1_epi16(int16_t(clip.high))),
          clipLow(_mm_set1_epi16(int16_t(clip.low))) {}
};

// Eight cells at once. With |target| <= kLaneErrorLimit and |bias| <= 1024 (a 16-bit sum shifted
// by 5 or more), every intermediate, (x * scale) included, fits in 16 bits, so the lanes give
// the 32-bit rule's results.
inline __m128i nudgeLanes(__m128i sum, __m128i scaleCountdown, __m128i target, const LaneRule& rule,
                          const LaneTargets& t) {
    const __m128i scale = _mm_and_si128(scaleCountdown, _mm_set1_epi16(int16_t(0xFF00)));
    const __m128i h = _mm_mulhi_epi16(sum, scale);  // sum >> (shift - 1)
    const __m128i bias = _mm_srai_epi16(_mm_add_epi16(h, _mm_set1_epi16(1)), 1);
    const __m128i gap = _mm_sub_epi16(target, bias);
    const __m128i sign =
        _mm_sub_epi16(_mm_cmplt_epi16(gap, t.clipLow), _mm_cmpgt_epi16(gap, t.clipHigh));
    const __m128i push = _mm_and_si128(_mm_slli_epi16(sign, 5),
                                       _mm_load_si128(reinterpret_cast<const __m128i*>(rule.dead)));
    const __m128i x = _mm_add_epi16(
        _mm_add_epi16(push, _mm_load_si128(reinterpret_cast<const __m128i*>(rule.half))), gap);
    const __m128i step = _mm_srai_epi16(
        _mm_mullo_epi16(x, _mm_load_si128(reinterpret_cast<const __m128i*>(rule.scale))), 3);
    return _mm_add_epi16(sum, step);
}

// The block across feature bit j from the block at byte offset `at` of the table.
inline BiasBlock& blockAcross(BiasBlock* table, size_t at, int j) {
    return *reinterpret_cast<BiasBlock*>(reinterpret_cast<char*>(table) +
                                         (at ^ (sizeof(BiasBlock) << j)));
}

// Cell `cell` of the blocks across feature bits first, first + 1, ..., gathered into lanes.
template <int First, int... L>
inline void nudgeGathered(BiasBlock* table, size_t at, int cell, const LaneRule& rule,
                          const LaneTargets& t, std::integer_sequence<int, L...>) {
    __m128i sum = _mm_setzero_si128(), meta = _mm_setzero_si128();
    ((sum = _mm_insert_epi16(sum, blockAcross(table, at, First + L).sum[cell], L)), ...);
    ((meta = _mm_insert_epi16(meta, blockAcross(table, at, First + L).scaleCountdown[cell], L)),
     ...);
    sum = nudgeLanes(sum, meta, t.down, rule, t);
    ((blockAcross(table, at, First + L).sum[cell] = int16_t(_mm_extract_epi16(sum, L))), ...);
}

inline __m128i loadRow(const int16_t* p) {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}
inline __m128i loadRow(const uint16_t* p) {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}

void adaptRelatedInLanes(BiasBlock* table, int32_t idx, int32_t e, const BiasClip& clip) {
    const int lo = idx & 3, mid = (idx >> 2) & 3;
    const int32_t features = idx >> 4, mirror = features ^ kAllFeatures;
    const LaneTargets t(e, clip);

    {
        BiasBlock& own = table[features];
        BiasBlock& mir = table[mirror];
        int16_t* ownRow = own.sum + 4 * mid;
        int16_t* mirrorRow = mir.sum + 4 * mid;
        const __m128i sum = _mm_unpacklo_epi64(loadRow(ownRow), loadRow(mirrorRow));
        const __m128i meta = _mm_unpacklo_epi64(loadRow(own.scaleCountdown + 4 * mid),
                                                loadRow(mir.scaleCountdown + 4 * mid));
        const __m128i r = nudgeLanes(sum, meta, t.mixed, kLaneRules.own[lo], t);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(ownRow), r);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(mirrorRow), _mm_unpackhi_epi64(r, r));
    }

    const LaneRule& across = kLaneRules.across[mid][lo];
    const int firstRow = kSuccessor[mid] > mid ? mid : kSuccessor[mid];
    const size_t ownAt = size_t(features) * sizeof(BiasBlock);
#pragma GCC unroll 11
    for (int j = 0; j < kFeatureBits; j++) {
        BiasBlock& b = blockAcross(table, ownAt, j);
        auto* rows = reinterpret_cast<__m128i*>(b.sum + 4 * firstRow);
        const __m128i meta =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(b.scaleCountdown + 4 * firstRow));
        _mm_storeu_si128(rows, nudgeLanes(_mm_loadu_si128(rows), meta, t.up, across, t));
    }
    const size_t mirrorAt = size_t(mirror) * sizeof(BiasBlock);
    const int cell = 4 * mid + lo;
    nudgeGathered<0>(table, mirrorAt, cell, kLaneRules.mirrorAcross[0], t,
                     std::make_integer_sequence<int, 8>());
    nudgeGathered<8>(table, mirrorAt, cell, kLaneRules.mirrorAcross[1], t,
                     std::make_integer_sequence<int, kFeatureBits - 8>());
}

}  // namespace

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

void adaptBiasStage(BiasBlock* table, int32_t idx, int32_t d, int32_t e, int32_t clipHigh,
                    int32_t clipLow) {
    const BiasClip clip{clipHigh, clipLow};
    adaptOwnCell(table, idx, d, clip);
    if (e >= -kLaneErrorLimit && e <= kLaneErrorLimit)
        adaptRelatedInLanes(table, idx, e, clip);
    else
        adaptRelatedByCell(table, idx, e, clip);
}

void adaptBiasStageByCell(BiasBlock* table, int32_t idx, int32_t d, int32_t e, int32_t clipHigh,
                          int32_t clipLow) {
    const BiasClip clip{clipHigh, clipLow};
    adaptOwnCell(table, idx, d, clip);
    adaptRelatedByCell(table, idx, e, clip);
}

}  // namespace pqz::method2
