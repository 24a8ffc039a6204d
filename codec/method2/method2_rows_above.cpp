// Coding method 2: the parts of a sample's sums that read only the rows above. Many of the 55
// bias key bits are a bit of a sum of the prediction, a few samples of the current row and two
// to five samples of the rows above; seven predictor features and two sums of the predictor
// context read the rows above alone. The rows above are complete when a row begins, so their
// part of each such sum is formed once per row, four columns at a time (eight where the
// processor has AVX2), over 32-bit copies of the rows' value, aux and err fields. The key sums wrap
// modulo 2^32 exactly as the per-sample sums do, so every form gives the same key bits, features
// and contexts.
#include <cstddef>
#include <cstring>

#include "base/platform.h"
#include "codec/method2/float_env.h"
#include "codec/method2/method2_decoder.h"

#if PQZ2_M2_X86
#include <emmintrin.h>
#endif

namespace pqz::method2 {

namespace {

// Columns of 32-bit sums, wrapping modulo 2^32, in the compiler's generic vectors: built for
// the processor's 128-bit registers, or for 256-bit ones in the function built for AVX2. The
// vectors are read in place from the field copies (any alignment) and never passed by value:
// 32-byte vectors are passed differently with and without AVX.
template <int n>
struct Lanes {
    typedef uint32_t V __attribute__((vector_size(4 * n)));
    // A vector at any address. It is a packed record, not a vector type with a lowered
    // alignment: clang drops such an alignment when the vector is read through a reference and
    // assumes the vector's own 16 or 32 bytes, which faults on the field copies (16-byte
    // aligned at column 0, 4-byte aligned at the other offsets).
    struct __attribute__((packed, may_alias)) Unaligned {
        V v;
    };
    // The same lanes signed, for the features' shifts. Those sums never wrap (at most seven
    // 16-bit terms), so the shifts see the same values as in 32-bit integers.
    typedef int32_t Signed __attribute__((vector_size(4 * n)));
};

// The fields of the rows above at the columns from x on. The row pointers are copies held by
// the caller: the stores of the parts may alias any int32 memory, so pointers read from the
// decoder would be read again after each store.
template <int n>
struct FieldsAt {
    typedef typename Lanes<n>::Unaligned U;
    const int32_t* const* rows;  // value, aux and err of row 1, then of rows 2 to 4
    int x;
    const U& at(int k, int dx) const { return *reinterpret_cast<const U*>(rows[k] + x + dx); }
    // The fields of row 1 to 4 at dx columns from x; read their lanes as .v.
    const U& value(int row, int dx) const { return at(3 * row - 3, dx); }
    const U& aux(int row, int dx) const { return at(3 * row - 2, dx); }
    const U& err(int row, int dx) const { return at(3 * row - 1, dx); }
};

// Stores part k of the columns from x on into the block of eight columns they belong to.
template <int n>
struct PartsAt {
    typedef typename Lanes<n>::V V;
    uint32_t* out;  // part 0 of column x
    void put(PartAbove k, const V& v) const { std::memcpy(out + kPartColumns * k, &v, sizeof v); }
};

// The parts read in both plane modes: features 5, 10 and 14, the predictor context's sums,
// the key sums of stage 0's bit 19 and of stages 3 and 4.
template <int n>
PQZ_HOT_INLINE void sharedParts(const FieldsAt<n>& f, const PartsAt<n>& out) {
    typedef typename Lanes<n>::V V;
    const auto put = [&out](PartAbove k, const V& v) { out.put(k, v); };
    const V v10 = f.value(1, 0).v, v1m1 = f.value(1, -1).v, v11 = f.value(1, 1).v;
    const V v20 = f.value(2, 0).v, v30 = f.value(3, 0).v;
    const V a10 = f.aux(1, 0).v, a11 = f.aux(1, 1).v, a20 = f.aux(2, 0).v;
    const V d5 = a20 - a10;
    put(kFeature5, f.aux(3, 0).v - (d5 + d5 + d5));
    put(kFeature10, a11 + a20 - f.aux(3, 1).v);
    typedef typename Lanes<n>::Signed S;
    put(kFeature14, V(S(a10 + f.aux(1, 2).v) >> 1) + a11 - f.aux(2, 2).v);
    put(kContextUpPair, v10 + v11);
    put(kContextNear, f.value(2, -1).v + v20 + f.value(2, 2).v + v11);

    put(kErrUpThree, f.err(1, -1).v + f.err(1, 0).v + f.err(1, 1).v);

    const V h = ((a10 + f.aux(1, -1).v + f.aux(1, 2).v + a11) >> 1);
    put(kStage3Bit17, V{} - a10 - v10);
    put(kStage3Bit21, f.aux(1, -2).v - a10);
    put(kStage3Bit22, v11 + v11 - f.value(2, 2).v);
    put(kStage3Bit23, f.value(2, -3).v - v1m1 - f.value(1, -2).v);
    put(kStage3Bit24, f.aux(2, 1).v - h);

    const V h4 = (v1m1 + v11 + v10 + v10) >> 2;
    put(kStage4Bit18, v1m1 - v10);
    put(kStage4Bit19, a20 - a10 - a10);
    put(kStage4Bit20, f.value(2, -2).v - v1m1 - v1m1);
    put(kStage4Bit21, v30 - f.aux(2, -1).v - v11);
    put(kStage4Bit22, f.value(1, -3).v - v10);
    put(kStage4Bit24, v30 - f.aux(3, 2).v);
    put(kStage4Bit25, V{} - h4);
}

// The parts read on single planes only: the key sums of stage 0's bit 24 and of stages 1 and 2,
// features 16, 18, 19 and 20.
template <int n>
PQZ_HOT_INLINE void singlePlaneParts(const FieldsAt<n>& f, const PartsAt<n>& out) {
    typedef typename Lanes<n>::V V;
    const auto put = [&out](PartAbove k, const V& v) { out.put(k, v); };
    const V v10 = f.value(1, 0).v, v11 = f.value(1, 1).v, v20 = f.value(2, 0).v;
    const V v30 = f.value(3, 0).v;
    put(kErrUpTwoPair, f.err(2, 0).v + f.err(2, 1).v);

    put(kStage1Bit20, v10 - f.value(1, 2).v);
    put(kStage1Bit21, f.value(4, -1).v - v30 - f.value(1, -1).v);
    put(kStage1Bit22, f.value(4, 3).v - f.value(2, 2).v - f.value(2, 1).v);
    put(kStage1Bit23, f.value(1, 2).v - f.value(1, 5).v);
    put(kStage1Bit24, f.value(1, -5).v - f.value(1, -2).v);
    put(kStage1Bit25, f.value(4, 4).v - v30 - f.value(1, 4).v);

    put(kStage2Bit21, v30 - v10 - v20);
    put(kStage2Bit22, f.value(3, 1).v - v11 - v20);
    put(kStage2Bit23, f.value(3, 2).v - f.value(2, -1).v - f.value(1, 3).v);
    put(kStage2Bit24, f.value(4, 0).v - f.value(2, -2).v - f.value(2, 2).v);
    const V d21 = v20 - v10;
    put(kStage2Bit25, d21 + d21 + d21 - v30);

    const V v21 = f.value(2, 1).v, v30diff = f.value(3, 2).v - v30;
    put(kFeature16, v10 + f.value(1, 3).v - f.value(2, 3).v);
    typedef typename Lanes<n>::Signed S;
    const V lean = V(S((f.value(1, 2).v - v10) - v30diff) >> 1) - f.value(3, 1).v;
    put(kFeature18, (v11 + v11 + v11 + v20 - (v21 + v21 + v21 + v21)) - lean);
    put(kFeature19, v11 + f.value(2, -1).v - v30);
    put(kFeature20, v10 + f.value(3, 1).v - f.value(4, 1).v);
}

// The value, aux and err fields of a row's records from the left margin to the right margin.
// On x86 four records at a time: each record's first four 16-bit fields are read as one group,
// the groups of four records transposed and sign-extended to 32 bits.
void copyFields(int32_t* const to[3], const PixelRecord* row, int width) {
    static_assert(offsetof(PixelRecord, aux) == 2 && offsetof(PixelRecord, err) == 4,
                  "value, aux and err lead the record");
    int i = -kLeftMargin;
    const int end = width + kRightMargin;
#if PQZ2_M2_X86
    const auto fields = [row](int k) {
        return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&row[k]));
    };
    for (; i + 4 <= end; i += 4) {
        const __m128i t0 = _mm_unpacklo_epi16(fields(i), fields(i + 1));
        const __m128i t1 = _mm_unpacklo_epi16(fields(i + 2), fields(i + 3));
        const __m128i va = _mm_unpacklo_epi32(t0, t1);  // four values, then four aux
        const __m128i e = _mm_unpackhi_epi32(t0, t1);   // four err, then four absErr
        const auto store = [i](int32_t* p, __m128i v) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p + i), _mm_srai_epi32(v, 16));
        };
        store(to[0], _mm_unpacklo_epi16(va, va));
        store(to[1], _mm_unpackhi_epi16(va, va));
        store(to[2], _mm_unpacklo_epi16(e, e));
    }
#endif
    for (; i < end; i++) {
        to[0][i] = row[i].value;
        to[1][i] = row[i].aux;
        to[2][i] = row[i].err;
    }
}

// The parts of every column, n at a time.
template <int n>
PQZ_HOT_INLINE void formParts(Method2Decoder& d) {
    const int32_t* rows[12];
    for (int k = 0; k < 12; k++) rows[k] = d.fieldRows[k / 3][k % 3];
    const bool single = !d.shared->multiPlane;
    uint32_t* const parts = d.partsAbove;
    const int w = d.width;
    for (int x = 0; x < w; x += n) {
        const FieldsAt<n> f{rows, x};
        const PartsAt<n> out{parts + x / kPartColumns * kPartColumns * kPartsAbove +
                             x % kPartColumns};
        sharedParts(f, out);
        if (single) singlePlaneParts(f, out);
    }
}

void formPartsFour(Method2Decoder& d) {
    formParts<4>(d);
}

#if defined(PQZ_TARGET_AVX2)
PQZ_TARGET_AVX2 void formPartsEight(Method2Decoder& d) {
    formParts<8>(d);
}
#endif

}  // namespace

size_t fieldRowInts(int width) {
    // Eight columns read at once from the last group, five columns right of it at most.
    return (size_t(kLeftMargin) + size_t(width) + kRightMargin + 7 + 7) & ~size_t(7);
}

size_t partsAboveInts(int width) {
    return (size_t(width) + kPartColumns - 1) / kPartColumns * kPartColumns * kPartsAbove;
}

void preparePartsAbove(Method2Decoder& d) {
    int32_t* reused[3];
    for (int j = 0; j < 3; j++) reused[j] = d.fieldRows[3][j];
    for (int k = 3; k > 0; k--)
        for (int j = 0; j < 3; j++) d.fieldRows[k][j] = d.fieldRows[k - 1][j];
    for (int j = 0; j < 3; j++) d.fieldRows[0][j] = reused[j];
    const int from = d.magnitudeRowsKnown ? 1 : 4;
    for (int k = 0; k < from; k++) copyFields(d.fieldRows[k], d.rowBuffer[k + 1], d.width);
#if defined(PQZ_TARGET_AVX2)
    if (d.lanes == LaneWidth::Sixteen) {
        formPartsEight(d);
        return;
    }
#endif
    formPartsFour(d);
}

}  // namespace pqz::method2
