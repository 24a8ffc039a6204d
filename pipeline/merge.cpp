#include "pipeline/merge.h"

#include <cstring>

#include "codec/shared/reference_prediction.h"

#if defined(__SSE2__) && !defined(PQZ2_PORTABLE)
#include <emmintrin.h>
#define PQZ_MERGE_LANES 1
#else
#define PQZ_MERGE_LANES 0
#endif

namespace pqz {

namespace {

// Writes the plane into byte 0 of every pixel of kStride bytes, eight pixels per step.
template <size_t kStride>
void storePlane(uint8_t* px, const uint8_t* plane, size_t pixels) {
    constexpr size_t kStep = 8;
    size_t j = 0;
    for (; j + kStep <= pixels; j += kStep) {
        uint8_t* out = px + j * kStride;
        for (size_t k = 0; k < kStep; k++) out[k * kStride] = plane[j + k];
    }
    for (; j < pixels; j++) px[j * kStride] = plane[j];
}

#if PQZ_MERGE_LANES
// Four-byte pixels sixteen at a time: the plane's bytes are widened to one per 32-bit lane,
// shifted to byte p and laid over the pixels with byte p cleared; the rest goes as above.
void storePlaneOf4(uint8_t* px, const uint8_t* plane, size_t pixels, int p) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i shift = _mm_cvtsi32_si128(8 * p);
    const __m128i keep = _mm_set1_epi32(int32_t(~(0xFFu << (8 * p))));
    size_t j = 0;
    for (; j + 16 <= pixels; j += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(plane + j));
        const __m128i low = _mm_unpacklo_epi8(bytes, zero);
        const __m128i high = _mm_unpackhi_epi8(bytes, zero);
        const __m128i lanes[4] = {_mm_unpacklo_epi16(low, zero), _mm_unpackhi_epi16(low, zero),
                                  _mm_unpacklo_epi16(high, zero), _mm_unpackhi_epi16(high, zero)};
        __m128i* out = reinterpret_cast<__m128i*>(px + 4 * j);
        for (int k = 0; k < 4; k++) {
            const __m128i old = _mm_and_si128(_mm_loadu_si128(out + k), keep);
            _mm_storeu_si128(out + k, _mm_or_si128(old, _mm_sll_epi32(lanes[k], shift)));
        }
    }
    storePlane<4>(px + 4 * j + p, plane + j, pixels - j);
}
#endif

// The plane stored as decoded into byte p of every pixel. A single plane decoded into the pixel
// data itself is already in place.
void storePlane(uint8_t* px, const uint8_t* plane, size_t pixels, size_t stride, int p) {
    uint8_t* const first = px + p;
    switch (stride) {
        case 1:
            if (first != plane) std::memcpy(first, plane, pixels);
            return;
        case 2:
            return storePlane<2>(first, plane, pixels);
        case 3:
            return storePlane<3>(first, plane, pixels);
        case 4:
#if PQZ_MERGE_LANES
            return storePlaneOf4(px, plane, pixels, p);
#else
            return storePlane<4>(first, plane, pixels);
#endif
        default:
            for (size_t j = 0; j < pixels; j++) first[j * stride] = plane[j];
    }
}

}  // namespace

void mergePlane(const PayloadHead& head, DecodedImage& image, const uint8_t* plane, int p) {
    const PlaneDescriptor& d = head.planeTable[p];
    const size_t pixels = size_t(image.width) * image.height;
    const size_t stride = size_t(head.planeCount);
    uint8_t* px = image.data;
    // A reference on the plane decoded first has nothing to refer to: the plane is stored as
    // decoded rather than dropped.
    if (!d.hasReference() || d.order == 0) {
        storePlane(px, plane, pixels, stride, p);
        return;
    }
    const int32_t offset = d.offset;
    const size_t a0 = head.orderMap[0], a1 = head.orderMap[1];
    if (d.order == 1) {
        for (size_t j = 0; j < pixels; j++) {
            uint8_t* pixel = px + j * stride;
            pixel[p] = uint8_t(plane[j] + offset + pixel[a0]);
        }
    } else if (d.order == 2) {
        const int32_t coef[2] = {d.coef[0], d.coef[1]};  // locals the stores cannot alias
        for (size_t j = 0; j < pixels; j++) {
            uint8_t* pixel = px + j * stride;
            const int32_t pred =
                referenceBytes(referenceSum(coef, pixel[a0], pixel[a1]), kReferenceRoundTwoBytes);
            pixel[p] = uint8_t(plane[j] + offset + pred);
        }
    } else {
        // The three bytes in front of the target byte; in front of the pixel data they read 0.
        const int32_t coef[3] = {d.coef[0], d.coef[1], d.coef[2]};
        for (size_t j = 0; j < pixels; j++) {
            const size_t t = j * stride + size_t(p);
            const int32_t q3 = t >= 3 ? px[t - 3] : 0;
            const int32_t q2 = t >= 2 ? px[t - 2] : 0;
            const int32_t q1 = t >= 1 ? px[t - 1] : 0;
            const int32_t pred =
                referenceBytes(referenceSum(coef, q3, q2, q1), kReferenceRoundThreeBytesMerged);
            px[t] = uint8_t(plane[j] + offset + pred);
        }
    }
}

}  // namespace pqz
