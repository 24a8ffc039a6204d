#include "codec/method1/method1.h"

#include "base/platform.h"
#include "codec/method1/method1_decoder.h"
#include "codec/method1/method1_sample.h"
#include "codec/shared/range_decoder.h"
#include "codec/shared/reference_prediction.h"

namespace pqz {

namespace {

// The decoders of one plane set, released together.
struct Method1Decoders {
    Method1Decoder at[4] = {};
    int count = 0;
    ~Method1Decoders() {
        for (int i = 0; i < count; i++) destroyMethod1Decoder(at[i]);
    }
    bool create(int planes, int width, int height, int tolerance,
                const MagnitudeTable& magnitudes) {
        for (; count < planes; count++) {
            if (!createMethod1Decoder(at[count], width, height, count, tolerance)) return false;
            at[count].magnitudes = &magnitudes;
        }
        return true;
    }
};

// Where the bytes of the interleaved planes go, checked against the pixel.
struct InterleavedLayout {
    int planes = 0;
    int position[4] = {};                 // byte of each decoding slot
    const PlaneDescriptor* desc[4] = {};  // descriptor of each slot
};

// Only three and four planes of a pixel have a decoding (two planes, or more than four, have no
// defined contexts), each slot writes its own byte, and the fourth slot's reference reads the
// three bytes in front of its byte in the pixel.
bool layoutFor(const PayloadHead& head, InterleavedLayout& layout) {
    const int planes = head.planeCount;
    if (planes != 3 && planes != 4) return false;
    layout.planes = planes;
    bool taken[4] = {};
    for (int k = 0; k < planes; k++) {
        const int p = head.orderMap[k];
        if (p >= planes || taken[p]) return false;
        taken[p] = true;
        layout.position[k] = p;
        layout.desc[k] = &head.planeTable[p];
    }
    return !(planes == 4 && layout.desc[3]->hasReference() && layout.position[3] < 3);
}

// The byte of slot k from its decoded value and the bytes decoded before it in the pixel.
template <int k>
PQZ_HOT_INLINE uint8_t withReference(const InterleavedLayout& layout, const uint8_t* px, int v) {
    const PlaneDescriptor& d = *layout.desc[k];
    if (!d.hasReference()) return uint8_t(v);
    if (k == 1) return uint8_t(v + px[layout.position[0]] + d.offset);
    if (k == 2) {
        const int32_t sum = referenceSum(d.coef, px[layout.position[0]], px[layout.position[1]]);
        return uint8_t(v + d.offset + referenceBytes(sum, kReferenceRoundTwoBytes));
    }
    const uint8_t* front = px + layout.position[3] - 3;
    const int32_t sum = referenceSum(d.coef, front[0], front[1], front[2]);
    return uint8_t(v + d.offset + referenceBytes(sum, kReferenceRoundThreeBytesMethod1));
}

// One pixel of all planes. Every sample's training follows the formation of the next sample's
// context, so that the next model is on its way from memory meanwhile.
template <int planes, bool scaled>
PQZ_HOT_INLINE void decodeInterleavedPixel(RangeDecoder& rc, Method1Decoder* d,
                                           const InterleavedLayout& layout, uint8_t* px,
                                           bool more) {
    px[layout.position[0]] = finishSample<false, scaled>(rc, d[0], true);
    beginSample<1>(d[1], &d[0], nullptr);
    trainPending<false>(d[0]);

    px[layout.position[1]] =
        withReference<1>(layout, px, finishSample<false, scaled>(rc, d[1], true));
    beginSample<2>(d[2], &d[1], &d[0]);
    trainPending<false>(d[1]);

    px[layout.position[2]] =
        withReference<2>(layout, px, finishSample<false, scaled>(rc, d[2], true));
    if (planes == 4) {
        beginSample<2>(d[3], &d[2], &d[1]);
        trainPending<false>(d[2]);
        px[layout.position[3]] =
            withReference<3>(layout, px, finishSample<false, scaled>(rc, d[3], true));
    }
    if (more) beginSample<0>(d[0], nullptr, nullptr);
    trainPending<false>(d[planes - 1]);
}

template <int planes, bool scaled>
PQZ_HOT_INLINE void decodeInterleavedRows(RangeDecoder& rc, Method1Decoder* d,
                                          const InterleavedLayout& layout, uint8_t* out, int width,
                                          int height, RowProgress& progress) {
    const InterleavedLayout local = layout;  // a copy the pixel stores cannot alias
    uint8_t* px = out;
    for (int y = 0; y < height && !rc.damaged; y++) {
        for (int i = 0; i < planes; i++) beginRow(d[i]);
        if (width > 0) beginSample<0>(d[0], nullptr, nullptr);
        for (int x = 0; x < width; x++, px += planes)
            decodeInterleavedPixel<planes, scaled>(rc, d, local, px, x + 1 < width);
        if (progress.rowDone(rc)) rc.fail(Status::Cancelled);
    }
}

template <bool scaled>
PQZ_HOT_INLINE void decodeGreyRows(RangeDecoder& rc, Method1Decoder& d, uint8_t* out, int width,
                                   int height, RowProgress& progress) {
    for (int y = 0; y < height && !rc.damaged; y++) {
        beginRow(d);
        if (width > 0) beginSample<0>(d, nullptr, nullptr);
        for (int x = 0; x < width; x++) {
            *out++ = finishSample<true, scaled>(rc, d, false);
            if (x + 1 < width) beginSample<0>(d, nullptr, nullptr);
            trainPending<true>(d);
        }
        if (progress.rowDone(rc)) rc.fail(Status::Cancelled);
    }
}

// The plane loops, once for every processor and once more, where the processor has 32-bit lane
// multiplies, compiled for them with the residual symbol found by one division instead of two.
// Both decode the same symbols (decodeResidualSymbol).
void decodeGreyPlain(RangeDecoder& rc, Method1Decoder& d, uint8_t* out, int width, int height,
                     RowProgress& progress) {
    decodeGreyRows<false>(rc, d, out, width, height, progress);
}

template <int planes>
void decodeInterleavedPlain(RangeDecoder& rc, Method1Decoder* d, const InterleavedLayout& layout,
                            uint8_t* out, int width, int height, RowProgress& progress) {
    decodeInterleavedRows<planes, false>(rc, d, layout, out, width, height, progress);
}

// Builds without the copy for lane multiplies (other processors, the portable build) compile
// the second copy as a plain one that is never chosen.
#if PQZ_X86_64 && defined(__SSE2__) && !defined(PQZ2_PORTABLE)
#define PQZ_ONE_DIVISION PQZ_TARGET_SSE41
constexpr bool kOneDivisionBuilt = true;
#else
#define PQZ_ONE_DIVISION
constexpr bool kOneDivisionBuilt = false;
#endif

PQZ_ONE_DIVISION void decodeGreyScaled(RangeDecoder& rc, Method1Decoder& d, uint8_t* out, int width,
                                       int height, RowProgress& progress) {
    decodeGreyRows<kOneDivisionBuilt>(rc, d, out, width, height, progress);
}

template <int planes>
PQZ_ONE_DIVISION void decodeInterleavedScaled(RangeDecoder& rc, Method1Decoder* d,
                                              const InterleavedLayout& layout, uint8_t* out,
                                              int width, int height, RowProgress& progress) {
    decodeInterleavedRows<planes, kOneDivisionBuilt>(rc, d, layout, out, width, height, progress);
}

#undef PQZ_ONE_DIVISION

bool hasLaneMultiplies() {
    return kOneDivisionBuilt && hostHas(HostLanes::Sse41);
}

}  // namespace

void decodeMethod1Grey(PayloadReader& in, int tolerance, uint8_t* out, int width, int height,
                       RowProgress& progress) {
    MagnitudeTable magnitudes;
    Method1Decoders dec;
    if (!magnitudes.create(kMethodMed) || !dec.create(1, width, height, tolerance, magnitudes)) {
        in.fail(Status::OutOfMemory);
        return;
    }
    RangeDecoder rc;
    rangeStart(rc, in);
    if (hasLaneMultiplies())
        decodeGreyScaled(rc, dec.at[0], out, width, height, progress);
    else
        decodeGreyPlain(rc, dec.at[0], out, width, height, progress);
    rangeFinish(rc, in);
}

void decodeMethod1Interleaved(PayloadReader& in, const PayloadHead& head, int width, int height,
                              uint8_t* out, size_t outSize, RowProgress& progress) {
    InterleavedLayout layout;
    if (!layoutFor(head, layout) || size_t(width) * height * layout.planes > outSize) {
        in.fail(Status::Unsupported);
        return;
    }
    MagnitudeTable magnitudes;
    Method1Decoders dec;
    if (!magnitudes.create(kMethodMed) ||
        !dec.create(layout.planes, width, height, head.tolerance, magnitudes)) {
        in.fail(Status::OutOfMemory);
        return;
    }
    RangeDecoder rc;
    rangeStart(rc, in);
    const bool scaled = hasLaneMultiplies();
    if (layout.planes == 3 && scaled)
        decodeInterleavedScaled<3>(rc, dec.at, layout, out, width, height, progress);
    else if (layout.planes == 3)
        decodeInterleavedPlain<3>(rc, dec.at, layout, out, width, height, progress);
    else if (scaled)
        decodeInterleavedScaled<4>(rc, dec.at, layout, out, width, height, progress);
    else
        decodeInterleavedPlain<4>(rc, dec.at, layout, out, width, height, progress);
    rangeFinish(rc, in);
}

}  // namespace pqz
