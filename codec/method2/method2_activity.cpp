// Coding method 2: the part of the activity sum that reads the rows above. The residual models'
// sub-context weighs the magnitudes of 29 samples of the four rows above and 8 samples to the
// left; the rows above are complete when a row begins, so their part is summed once per row,
// eight columns at a time, over byte copies of their magnitudes, together with the four
// magnitudes straight above that the vertical measure of single planes adds up. The sums are
// exact integers (at most 55 x 255), so every form gives the same values.
#include <cstddef>
#include <type_traits>
#include <utility>

#include "base/platform.h"
#include "codec/method2/float_env.h"
#include "codec/method2/method2_decoder.h"

#if PQZ2_M2_X86
#include <emmintrin.h>
#elif PQZ2_M2_ARM64
#include <arm_neon.h>
#endif

namespace pqz::method2 {

namespace {

// One sample of the rows above: its row (1 to 4), its column offset and its weight.
struct ActivityTap {
    int8_t row;
    int8_t dx;
    uint8_t weight;
};

constexpr ActivityTap kActivityTap[] = {
    {1, -4, 1}, {1, -3, 1}, {1, -2, 2}, {1, -1, 4}, {1, 0, 7},  {1, 1, 6}, {1, 2, 3}, {1, 3, 2},
    {1, 4, 1},  {1, 5, 1},  {2, -3, 1}, {2, -2, 1}, {2, -1, 2}, {2, 0, 4}, {2, 1, 3}, {2, 2, 2},
    {2, 3, 1},  {2, 4, 1},  {2, 5, 1},  {3, -2, 1}, {3, -1, 1}, {3, 0, 2}, {3, 1, 1}, {3, 2, 1},
    {4, -2, 1}, {4, -1, 1}, {4, 0, 1},  {4, 1, 1},  {4, 2, 1},
};

// Magnitudes of the records from the left margin to the right margin of a row, one byte each.
void copyMagnitudes(uint8_t* to, const PixelRecord* row, int width) {
    const PixelRecord* r = row - kLeftMargin;
    const int n = kLeftMargin + width + kRightMargin;
    for (int i = 0; i < n; i++) to[i] = r[i].magnitude;
}

// Calls add(tap) for every tap, each with its row, offset and weight as constants.
template <typename Add, size_t... I>
PQZ_HOT_INLINE void forEachTap(Add&& add, std::index_sequence<I...>) {
    (add(std::integral_constant<size_t, I>{}), ...);
}
template <typename Add>
PQZ_HOT_INLINE void forEachTap(Add&& add) {
    forEachTap(add, std::make_index_sequence<sizeof kActivityTap / sizeof kActivityTap[0]>{});
}

void sumActivityAbove(Method2Decoder& d) {
    const int w = d.width;
    const uint8_t* const* rows = d.magnitudeRows;
#if PQZ2_M2_X86
    const __m128i zero = _mm_setzero_si128();
    for (int x = 0; x < w; x += 8) {
        __m128i s = zero, v = zero;
        forEachTap([&](auto i) {
            constexpr ActivityTap t = kActivityTap[decltype(i)::value];
            const uint8_t* p = rows[t.row - 1] + kLeftMargin + x + t.dx;
            __m128i m =
                _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero);
            if constexpr (t.dx == 0) v = _mm_add_epi16(v, m);
            if constexpr (t.weight != 1) m = _mm_mullo_epi16(m, _mm_set1_epi16(t.weight));
            s = _mm_add_epi16(s, m);
        });
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d.activityAbove + x), s);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d.verticalAbove + x), v);
    }
#elif PQZ2_M2_ARM64
    for (int x = 0; x < w; x += 8) {
        uint16x8_t s = vdupq_n_u16(0), v = vdupq_n_u16(0);
        forEachTap([&](auto i) {
            constexpr ActivityTap t = kActivityTap[decltype(i)::value];
            const uint8x8_t m = vld1_u8(rows[t.row - 1] + kLeftMargin + x + t.dx);
            if constexpr (t.dx == 0) v = vaddw_u8(v, m);
            s = t.weight == 1 ? vaddw_u8(s, m) : vmlal_u8(s, m, vdup_n_u8(t.weight));
        });
        vst1q_u16(d.activityAbove + x, s);
        vst1q_u16(d.verticalAbove + x, v);
    }
#else
    for (int x = 0; x < w; x++) {
        uint32_t s = 0, v = 0;
        forEachTap([&](auto i) {
            constexpr ActivityTap t = kActivityTap[decltype(i)::value];
            const uint32_t m = rows[t.row - 1][kLeftMargin + x + t.dx];
            if constexpr (t.dx == 0) v += m;
            s += t.weight * m;
        });
        d.activityAbove[x] = uint16_t(s);
        d.verticalAbove[x] = uint16_t(v);
    }
#endif
}

}  // namespace

size_t magnitudeRowBytes(int width) {
    // Eight columns read at once from the last group, five columns right of it at most.
    return (size_t(kLeftMargin) + size_t(width) + 24 + 15) & ~size_t(15);
}

void prepareActivity(Method2Decoder& d) {
    uint8_t* reused = d.magnitudeRows[3];
    for (int k = 3; k > 0; k--) d.magnitudeRows[k] = d.magnitudeRows[k - 1];
    d.magnitudeRows[0] = reused;
    const int from = d.magnitudeRowsKnown ? 1 : 4;
    for (int k = 0; k < from; k++) copyMagnitudes(d.magnitudeRows[k], d.rowBuffer[k + 1], d.width);
    d.magnitudeRowsKnown = 1;
    sumActivityAbove(d);
}

}  // namespace pqz::method2
