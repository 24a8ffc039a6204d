// Coding method 2: a stage's related bias cells adapted many at a time. They lie in 24 blocks:
// the used cell's own block (its low-count neighbours), the mirror block with all feature bits
// flipped (three cells), the eleven blocks across one feature bit (the rows of the middle count
// and of its successor, which are adjacent: four cells) and the mirror's eleven blocks across one
// feature bit (one cell each, gathered). All are distinct, so their order does not matter.
//
// Every lane computes the cell-by-cell rule in 16 bits: with |target| <= kLaneErrorLimit and
// |bias| <= 1024 (a 16-bit sum shifted by 5 or more) no intermediate leaves the 16-bit range.
#include "codec/method2/method2_bias_lanes.h"

#include "base/platform.h"
#include "codec/method2/float_env.h"

#if PQZ2_M2_X86

#include <immintrin.h>

#include <cstddef>
#include <utility>

#include "codec/method2/method2_bias_lane_rules.h"

namespace pqz::method2 {

namespace {

inline __m128i load128(const void* p) {
    return _mm_loadu_si128(static_cast<const __m128i*>(p));
}
inline __m128i load64(const void* p) {
    return _mm_loadl_epi64(static_cast<const __m128i*>(p));
}

// ---- Eight lanes (every x86-64 processor) ----

// A rule with its targets: target + half and the clip + half, so that y = target + half - bias
// is the gap plus half and is compared with the clip moved by the same half.
struct Rule8 {
    __m128i targetHalf, clipHighHalf, clipLowHalf, dead, scale;
    Rule8(const LaneRule& r, __m128i target, int32_t clipHigh, int32_t clipLow) {
        const __m128i half = load128(r.half);
        targetHalf = _mm_add_epi16(target, half);
        clipHighHalf = _mm_add_epi16(_mm_set1_epi16(int16_t(clipHigh)), half);
        clipLowHalf = _mm_add_epi16(_mm_set1_epi16(int16_t(clipLow)), half);
        dead = load128(r.dead);
        scale = load128(r.scale);
    }
};

inline __m128i nudge8(__m128i sum, __m128i scaleCountdown, const Rule8& r) {
    const __m128i scale = _mm_and_si128(scaleCountdown, _mm_set1_epi16(int16_t(0xFF00)));
    const __m128i h = _mm_mulhi_epi16(sum, scale);  // sum >> (shift - 1)
    const __m128i bias = _mm_srai_epi16(_mm_add_epi16(h, _mm_set1_epi16(1)), 1);
    const __m128i y = _mm_sub_epi16(r.targetHalf, bias);
    const __m128i sign =
        _mm_sub_epi16(_mm_cmplt_epi16(y, r.clipLowHalf), _mm_cmpgt_epi16(y, r.clipHighHalf));
    const __m128i x = _mm_add_epi16(y, _mm_and_si128(_mm_slli_epi16(sign, 5), r.dead));
    return _mm_add_epi16(sum, _mm_srai_epi16(_mm_mullo_epi16(x, r.scale), 3));
}

// The used cell of the mirror's blocks across feature bits First, First + 1, ... in lanes: its
// sum (shift 0) or its scale (shift kScaleOffset).
template <int First, int... L>
inline __m128i gatherAt(BiasBlock* table, const AcrossOffsets& off, int shift,
                        std::integer_sequence<int, L...>) {
    __m128i v = _mm_setzero_si128();
    ((v = _mm_insert_epi16(v, sumsAt(table, off.mirror(First + L))[shift], L)), ...);
    return v;
}
template <int First, int... L>
inline void scatterAt(BiasBlock* table, const AcrossOffsets& off, __m128i v,
                      std::integer_sequence<int, L...>) {
    ((*sumsAt(table, off.mirror(First + L)) = int16_t(_mm_extract_epi16(v, L))), ...);
}
using FirstEight = std::make_integer_sequence<int, 8>;
using LastThree = std::make_integer_sequence<int, kFeatureBits - 8>;

// The mirror's cells across feature bits First to First + Count - 1, in lanes 0 to Count - 1.
template <int First, int Count>
inline void nudgeMirrorAcross(BiasBlock* table, const AcrossOffsets& off, const Rule8& rule) {
    using Lanes = std::make_integer_sequence<int, Count>;
    const __m128i sum = gatherAt<First>(table, off, 0, Lanes());
    const __m128i meta = gatherAt<First>(table, off, kScaleOffset, Lanes());
    scatterAt<First>(table, off, nudge8(sum, meta, rule), Lanes());
}

}  // namespace

void adaptRelatedEightLanes(BiasBlock* table, int32_t idx, int32_t e, int32_t clipHigh,
                            int32_t clipLow) {
    const StageCells at(idx);
    const AcrossOffsets off(at);
    const __m128i up = _mm_set1_epi16(int16_t(e)), down = _mm_set1_epi16(int16_t(-e));

    {
        BiasBlock& own = blockAt(table, at.ownAt);
        BiasBlock& mir = blockAt(table, at.mirrorAt);
        int16_t* ownRow = own.sum + 4 * at.mid;
        int16_t* mirrorRow = mir.sum + 4 * at.mid;
        const __m128i sum = _mm_unpacklo_epi64(load64(ownRow), load64(mirrorRow));
        const __m128i meta = _mm_unpacklo_epi64(load64(own.scaleCountdown + 4 * at.mid),
                                                load64(mir.scaleCountdown + 4 * at.mid));
        const Rule8 rule(kLaneRules.own[at.lo], _mm_unpacklo_epi64(up, down), clipHigh, clipLow);
        const __m128i r = nudge8(sum, meta, rule);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(ownRow), r);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(mirrorRow), _mm_unpackhi_epi64(r, r));
    }

    const Rule8 across(kLaneRules.across[at.mid][at.lo], up, clipHigh, clipLow);
#pragma GCC unroll 11
    for (int j = 0; j < kFeatureBits; j++) {
        int16_t* rows = sumsAt(table, off.rows(j));
        const __m128i r = nudge8(load128(rows), load128(rows + kScaleOffset), across);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(rows), r);
    }

    nudgeMirrorAcross<0, 8>(table, off, Rule8(kLaneRules.mirrorAcross[0], down, clipHigh, clipLow));
    nudgeMirrorAcross<8, kFeatureBits - 8>(
        table, off, Rule8(kLaneRules.mirrorAcross[1], down, clipHigh, clipLow));
}

// ---- Sixteen lanes (processors with AVX2) ----

namespace {

PQZ_TARGET_AVX2 inline __m256i join(__m128i low, __m128i high) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}
PQZ_TARGET_AVX2 inline __m256i load256(const void* p) {
    return _mm256_load_si256(static_cast<const __m256i*>(p));
}

// A wide rule with its targets, and the clip of the stage.
struct Rule16 {
    __m256i target, step, push;
    PQZ_TARGET_AVX2 Rule16(const WideLaneRule& r, __m256i t)
        : target(t), step(load256(r.step)), push(load256(r.push)) {}
};
struct Clip16 {
    __m256i high, low;
};

PQZ_TARGET_AVX2 inline __m256i nudge16(__m256i sum, __m256i scaleCountdown, const Rule16& r,
                                       const Clip16& clip) {
    // ((sum * 2^(15 - shift)) >> 14) + 1) >> 1 is the cell's rounded bias.
    const __m256i scale =
        _mm256_srli_epi16(_mm256_and_si256(scaleCountdown, _mm256_set1_epi16(int16_t(0xFF00))), 2);
    const __m256i gap = _mm256_sub_epi16(r.target, _mm256_mulhrs_epi16(sum, scale));
    // Above the clip the gap minus its clipped value is positive, below it negative.
    const __m256i beyond =
        _mm256_sub_epi16(gap, _mm256_min_epi16(_mm256_max_epi16(gap, clip.low), clip.high));
    const __m256i x = _mm256_add_epi16(gap, _mm256_sign_epi16(r.push, beyond));
    return _mm256_add_epi16(sum, _mm256_mulhrs_epi16(x, r.step));
}

PQZ_TARGET_AVX2 inline void store2(void* low, void* high, __m256i v) {
    _mm_storeu_si128(static_cast<__m128i*>(low), _mm256_castsi256_si128(v));
    _mm_storeu_si128(static_cast<__m128i*>(high), _mm256_extracti128_si256(v, 1));
}

// The two row pairs across feature bits j and j + 1.
PQZ_TARGET_AVX2 inline void nudgeAcrossPair(BiasBlock* table, const AcrossOffsets& off, int j,
                                            const Rule16& rule, const Clip16& clip) {
    int16_t* a = sumsAt(table, off.rows(j));
    int16_t* b = sumsAt(table, off.rows(j + 1));
    const __m256i sum = join(load128(a), load128(b));
    const __m256i meta = join(load128(a + kScaleOffset), load128(b + kScaleOffset));
    store2(a, b, nudge16(sum, meta, rule, clip));
}

}  // namespace

PQZ_TARGET_AVX2 void adaptRelatedSixteenLanes(BiasBlock* table, int32_t idx, int32_t e,
                                              int32_t clipHigh, int32_t clipLow) {
    const StageCells at(idx);
    const __m128i up = _mm_set1_epi16(int16_t(e)), down = _mm_set1_epi16(int16_t(-e));
    const Clip16 clip{_mm256_set1_epi16(int16_t(clipHigh)), _mm256_set1_epi16(int16_t(clipLow))};
    const AcrossOffsets off(at);

    {
        // The own and mirror rows in the low lanes, the rows across feature bit 0 in the high.
        BiasBlock& own = blockAt(table, at.ownAt);
        BiasBlock& mir = blockAt(table, at.mirrorAt);
        int16_t* first = sumsAt(table, off.rows(0));
        int16_t* ownRow = own.sum + 4 * at.mid;
        int16_t* mirrorRow = mir.sum + 4 * at.mid;
        const __m256i sum =
            join(_mm_unpacklo_epi64(load64(ownRow), load64(mirrorRow)), load128(first));
        const __m256i meta = join(_mm_unpacklo_epi64(load64(own.scaleCountdown + 4 * at.mid),
                                                     load64(mir.scaleCountdown + 4 * at.mid)),
                                  load128(first + kScaleOffset));
        const Rule16 rule(kSixteenLaneRules.first[at.mid][at.lo],
                          join(_mm_unpacklo_epi64(up, down), up));
        const __m256i v = nudge16(sum, meta, rule, clip);
        const __m128i rows = _mm256_castsi256_si128(v);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(ownRow), rows);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(mirrorRow), _mm_unpackhi_epi64(rows, rows));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(first), _mm256_extracti128_si256(v, 1));
    }

    const Rule16 pair(kSixteenLaneRules.across[at.mid][at.lo], join(up, up));
#pragma GCC unroll 5
    for (int j = 1; j < kFeatureBits; j += 2) nudgeAcrossPair(table, off, j, pair, clip);

    const __m256i sum =
        join(gatherAt<0>(table, off, 0, FirstEight()), gatherAt<8>(table, off, 0, LastThree()));
    const __m256i meta = join(gatherAt<0>(table, off, kScaleOffset, FirstEight()),
                              gatherAt<8>(table, off, kScaleOffset, LastThree()));
    const Rule16 rule(kSixteenLaneRules.mirrorAcross, join(down, down));
    const __m256i v = nudge16(sum, meta, rule, clip);
    scatterAt<0>(table, off, _mm256_castsi256_si128(v), FirstEight());
    scatterAt<8>(table, off, _mm256_extracti128_si256(v, 1), LastThree());
}

}  // namespace pqz::method2

#endif  // PQZ2_M2_X86
