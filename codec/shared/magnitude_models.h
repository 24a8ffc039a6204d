// Adaptive binary-tree magnitude models and residual symbol models shared by coding methods 1
// and 2, and the residual maps that turn symbols into residuals.
#pragma once

#include <cstdint>

#include "base/memory.h"
#include "base/platform.h"
#include "codec/shared/plane_table.h"
#include "codec/shared/range_decoder.h"

#if defined(__SSE2__) && !defined(PQZ2_PORTABLE)
#include <emmintrin.h>
#endif

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

// A decode adds kResidualSymbolStep to the decoded symbol's count, after rescaling a model whose
// total (without the mature mark) is above kResidualRescaleLimit.
constexpr uint32_t kResidualSymbolStep = 32;
constexpr uint32_t kResidualRescaleLimit = 8192;

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
// Adapts count contexts in turn as if x had been coded in each.
void trainMagnitudes(const MagnitudeTable& table, MagnitudeModel* const* models, int count,
                     uint32_t x);

void initResidualSymbolModel(ResidualSymbolModel& model);
// Decodes a symbol 0..260; escapes read a magnitude from context
// escapeBase + 128 * (symbol & 1) + 64 * h. scaled: the symbol is found with one division
// (findResidualSymbolScaled); the decoded symbols are the same.
template <bool scaled = false>
PQZ_HOT_INLINE uint32_t decodeResidualSymbol(RangeDecoder& rc, const MagnitudeTable& table,
                                             ResidualSymbolModel& model, uint32_t escapeBase);

// Fills errorQuantiser (entries 0..255 of quantiserAndRank), residualRank (entries 256..511)
// and residualOrder for the near-lossless tolerance (0..15).
void buildResidualMaps(int tolerance, uint8_t quantiserAndRank[512], uint8_t residualOrder[256]);

// --- Inline definitions: the symbol decode runs once per sample of method 1 ------------------

// The symbol whose cumulative counts [low, high) hold a target, found without branches: which
// symbol comes is what the stream decides.
struct ResidualSymbolSpan {
    uint32_t symbol;
    uint32_t low;
    uint32_t high;
};

// Finds the symbol of target v (below 32768) in the model; false when the counts end at or
// before v. The symbol is the number of cumulative counts up to v (they never decrease).
#if defined(__SSE2__) && !defined(PQZ2_PORTABLE)
// The eight words of the model with the total cleared, summed into cumulative counts in place
// (lane i: the counts of the symbols below i). The sums saturate at 65535, which changes no
// comparison with a target below 32768 and no lower bound; an upper bound that saturated lies
// past the total, where the range update does not read it.
PQZ_HOT_INLINE __m128i residualSymbolSums(const ResidualSymbolModel& m) {
    static_assert(sizeof(ResidualSymbolModel) == 16, "a model is one vector");
    __m128i cum = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&m));
    cum = _mm_slli_si128(_mm_srli_si128(cum, 2), 2);
    cum = _mm_adds_epu16(cum, _mm_slli_si128(cum, 2));
    cum = _mm_adds_epu16(cum, _mm_slli_si128(cum, 4));
    return _mm_adds_epu16(cum, _mm_slli_si128(cum, 8));
}

// The span of the symbol from the sums and the lanes (two mask bits per lane) whose sums are
// reached by the target; false when the last sum is reached. Lane 0 always is.
PQZ_HOT_INLINE bool residualSymbolOfLanes(__m128i cum, uint32_t lanes, ResidualSymbolSpan& span) {
    if (lanes & 0xC000) return false;
    alignas(16) uint16_t sums[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(sums), cum);
    const uint32_t s = uint32_t(trailingZeros(~lanes)) / 2 - 1;
    span = {s, sums[s], sums[s + 1]};
    return true;
}
#endif

PQZ_HOT_INLINE bool findResidualSymbol(const ResidualSymbolModel& m, uint32_t v,
                                       ResidualSymbolSpan& span) {
#if defined(__SSE2__) && !defined(PQZ2_PORTABLE)
    const __m128i cum = residualSymbolSums(m);
    const __m128i upToV =
        _mm_cmpeq_epi16(_mm_subs_epu16(cum, _mm_set1_epi16(int16_t(v))), _mm_setzero_si128());
    return residualSymbolOfLanes(cum, uint32_t(_mm_movemask_epi8(upToV)), span);
#else
    uint32_t cum[8];
    cum[0] = 0;
    for (int i = 0; i < 7; i++) cum[i + 1] = cum[i] + m.count[i];
    if (cum[7] <= v) return false;
    uint32_t s = 0;
    for (int i = 1; i < 7; i++) s += cum[i] <= v;
    span = {s, cum[s], cum[s + 1]};
    return true;
#endif
}

// findResidualSymbol for the target of a frequency decode of total (the model's total without
// the mature mark) taken by rangeDecodeScale: a cumulative count c is reached when
// c * help <= low' (see rangeDecodeScale). The sums are capped at the total first, which changes
// no comparison (the total and anything above it are never reached) and keeps every product
// within the range, below 2^32: the eight products are 32-bit lane multiplies. Processors with
// them run the plane loops compiled for them (see method 1's plane loops); elsewhere the
// multiplies are emulated, and the plain search, with its second division, is the faster one.
PQZ_HOT_INLINE bool findResidualSymbolScaled(const ResidualSymbolModel& m, uint32_t total,
                                             const RangeScale& scale, ResidualSymbolSpan& span) {
#if defined(__SSE2__) && !defined(PQZ2_PORTABLE)
    typedef uint16_t U16x8 __attribute__((vector_size(16)));
    typedef uint32_t U32x4 __attribute__((vector_size(16)));
    const __m128i cum = residualSymbolSums(m);
    const U16x8 top = U16x8{} + uint16_t(total);
    const U16x8 sums = (U16x8)cum;
    const __m128i capped = (__m128i)(sums < top ? sums : top);
    const __m128i zero = _mm_setzero_si128();
    const U32x4 help = U32x4{} + uint32_t(scale.help), low = U32x4{} + uint32_t(scale.low);
    const U32x4 lowHalf = (U32x4)_mm_unpacklo_epi16(capped, zero);
    const U32x4 highHalf = (U32x4)_mm_unpackhi_epi16(capped, zero);
    const __m128i reached =
        _mm_packs_epi32((__m128i)(lowHalf * help <= low), (__m128i)(highHalf * help <= low));
    return residualSymbolOfLanes(cum, uint32_t(_mm_movemask_epi8(reached)), span);
#else
    uint32_t cum[8];
    cum[0] = 0;
    for (int i = 0; i < 7; i++) cum[i + 1] = cum[i] + m.count[i];
    (void)total;
    if (rangeReaches(scale, cum[7])) return false;
    uint32_t s = 0;
    for (int i = 1; i < 7; i++) s += rangeReaches(scale, cum[i]);
    span = {s, cum[s], cum[s + 1]};
    return true;
#endif
}

// Adds n to count[symbol] and to the total word of a model, both wrapping at 16 bits. The lane
// build writes the model as one 16-byte store: the next read of the model, a 16-byte load that
// often follows within a few dozen instructions (the next sample's context is often this one or
// one the training just changed), then takes its value from the store in flight. Two 2-byte
// stores cannot hand their bytes to a wider load, which would wait until both reach the cache.
#if defined(__SSE2__) && !defined(PQZ2_PORTABLE)
// Lane 0 and lane symbol + 1 set, per symbol: the lanes a count of the symbol changes.
struct ResidualSymbolLanes {
    alignas(16) uint16_t lane[7][8];
};
constexpr ResidualSymbolLanes makeResidualSymbolLanes() {
    ResidualSymbolLanes t{};
    for (int s = 0; s < 7; s++) t.lane[s][0] = t.lane[s][s + 1] = 0xFFFF;
    return t;
}
inline constexpr ResidualSymbolLanes kResidualSymbolLanes = makeResidualSymbolLanes();

// The lanes of symbol as a mask (symbol 0..6).
PQZ_HOT_INLINE __m128i residualSymbolLanes(uint32_t symbol) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(kResidualSymbolLanes.lane[symbol]));
}

// Adds the words of delta (a mask of residualSymbolLanes with n in its set lanes) to the model.
PQZ_HOT_INLINE void addToResidualSymbolModel(ResidualSymbolModel& m, __m128i delta) {
    __m128i* p = reinterpret_cast<__m128i*>(&m);
    _mm_storeu_si128(p, _mm_add_epi16(_mm_loadu_si128(p), delta));
}
#endif

PQZ_HOT_INLINE void addToResidualSymbol(ResidualSymbolModel& m, uint32_t symbol, uint32_t n) {
#if defined(__SSE2__) && !defined(PQZ2_PORTABLE)
    addToResidualSymbolModel(
        m, _mm_and_si128(residualSymbolLanes(symbol), _mm_set1_epi16(int16_t(n))));
#else
    m.count[symbol] = uint16_t(m.count[symbol] + n);
    m.total = uint16_t(m.total + n);
#endif
}

template <bool scaled>
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
    ResidualSymbolSpan span;
    bool found;
    if constexpr (scaled)
        found = findResidualSymbolScaled(m, t, rangeDecodeScale(rc, t), span);
    else
        found = findResidualSymbol(m, rangeDecodeFreq(rc, t), span);
    if (!found) {
        rc.damaged = true;
        return 0;
    }
    const uint32_t s = span.symbol;
    rangeUpdate(rc, span.low, span.high);
    if (t > kResidualRescaleLimit) {
        uint32_t smallest = 256;
        for (uint16_t c : m.count) smallest = c < smallest ? c : smallest;
        uint32_t total = 0x8000;
        for (auto& c : m.count) {
            c = smallest <= 1 ? uint16_t(c - (c >> 1)) : uint16_t((c + 2) / 3);
            total += c;
        }
        m.total = uint16_t(total);
    }
    addToResidualSymbol(m, s, kResidualSymbolStep);
    if (s < 5) return uint32_t(s);
    const int32_t t2 = m.total & 0x7FFF;
    const int h = 2 * int32_t(m.count[s]) > int32_t(m.count[0]) + t2 + 96 ? 1 : 0;
    const uint32_t ctx = escapeBase + 128 * uint32_t(s & 1) + 64 * uint32_t(h);
    const uint32_t x = decodeMagnitude(rc, table, table[ctx]);
    return uint32_t(s) + 2 * x;
}

}  // namespace pqz
