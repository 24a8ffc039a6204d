#include "pipeline/payload.h"

#include "base/memory.h"
#include "codec/bitstream/bitstream.h"
#include "pipeline/filters.h"
#include "pipeline/merge.h"
#include "pipeline/plane_dispatch.h"

namespace pqz {

namespace {

// Plane buffers get the same zero slack as pixel data: decoders of narrow rows look ahead.
constexpr size_t kPlaneSlack = kPixelSlack;

// Bits of the payload head's fields.
constexpr int kToleranceBits = 4;
constexpr int kDescriptorBits = 6;
constexpr int kOffsetBits = 8;
constexpr int kCoefficientBits = 8;
constexpr int32_t kCoefficientBias = 64;  // stored coefficients are biased by +64

PlaneShape shapeOf(const DecodedImage& image, int depth) {
    return PlaneShape{image.width, image.height, depth};
}

// The inverse filter of a plane decoded on its own; false when the filter refuses the plane.
bool unfilterPlane(const PayloadHead& head, const PlaneDescriptor& d, uint8_t* plane, int w,
                   int h) {
    switch (d.method()) {
        case kMethodMapped:
            unmapPlane(plane, w, h, head.tolerance);
            return true;
        case kMethodMed:
            if (!(head.rangeCoded && d.modelFlag())) unpredictMed(plane, w, h, head.tolerance);
            return true;
        case kMethodAdaptive:
            return head.rangeCoded || unpredictAdaptive(plane, w, h, head.tolerance);
        default:
            return true;
    }
}

void decodeSeparatePlanes(PayloadReader& in, const PayloadHead& head, DecodedImage& image,
                          uint8_t* plane, RowProgress& progress) {
    const int w = image.width, h = image.height;
    const size_t planeSize = size_t(w) * h;
    for (int k = 0; k < head.planeCount && !in.damaged; k++) {
        const int p = head.orderMap[k];
        const PlaneDescriptor& d = head.planeTable[p];
        const PlaneCoding coding{d.method(), d.modelFlag()};
        progress.beginPass(uint64_t(h), uint64_t(w));
        if (head.rangeCoded)
            decodePlane(in, head, coding, shapeOf(image, 8), plane, planeSize, progress);
        else
            decodeBitStream(in, coding, uint32_t(w), plane, planeSize, progress);
        progress.endPass();
        // A salvaged plane is filtered and merged as far as it came: the filters and the merge
        // take a row only from the rows above it.
        if (in.damaged && !progress.watching()) return;
        if (!unfilterPlane(head, d, plane, w, h)) {
            in.fail(Status::DamagedStream);
            return;
        }
        mergePlane(head, image, plane, p);
    }
}

void decodeInterleaved(PayloadReader& in, const PayloadHead& head, DecodedImage& image,
                       const ImageHeader& header, uint8_t* plane, RowProgress& progress) {
    const PlaneDescriptor& first = head.planeTable[0];
    progress.beginPass(uint64_t(image.height), uint64_t(image.width) * head.planeCount);
    if (head.rangeCoded) {
        const PlaneCoding coding{first.method(), first.modelFlag()};
        decodePlane(in, head, coding, shapeOf(image, header.bitsPerPixel()), image.data,
                    image.dataSize, progress);
        progress.endPass();
        if (first.modelFlag()) return;
    } else {
        decodeBitStream(in, PlaneCoding{}, image.rowBytes, image.data, image.dataSize, progress);
        progress.endPass();
    }
    if (in.damaged && !progress.watching()) return;
    const int w = image.width, h = image.height;
    const size_t pixels = size_t(w) * h;
    const int stride = head.planeCount;
    for (int k = 0; k < head.planeCount; k++) {
        const int p = head.orderMap[k];
        const PlaneDescriptor& d = head.planeTable[p];
        if (!d.hasReference() && d.method() == kMethodMapped && head.tolerance == 0) continue;
        for (size_t j = 0; j < pixels; j++) plane[j] = image.data[j * stride + p];
        if (d.method() == kMethodMapped)
            unmapPlane(plane, w, h, head.tolerance);
        else if (d.method() == kMethodMed)
            unpredictMed(plane, w, h, head.tolerance);
        mergePlane(head, image, plane, p);
    }
}

// Rows over all decoding passes of the image.
uint64_t totalRows(const ImageHeader& header, bool planeTable, int planeCount) {
    const bool separate =
        planeTable && planeCount <= PayloadHead::kMaxPlanes && (header.flags & kFlagSeparatePlanes);
    return uint64_t(header.height) * uint64_t(separate ? planeCount : 1);
}

// Decodes the payload behind the head into image.
void decodeBody(PayloadReader& in, const ImageHeader& header, DecodedImage& image,
                RowProgress& progress) {
    const int bpp = header.bitsPerPixel();
    PayloadHead head;
    head.rangeCoded = (header.flags & kFlagRangeCoded) != 0;
    head.planeCount = (bpp + 7) / 8;
    if (bpp <= 4 || !(header.flags & kFlagPlaneTable)) {
        progress.beginPass(uint64_t(image.height), image.rowBytes);
        if (head.rangeCoded)
            decodePlane(in, head, PlaneCoding{}, shapeOf(image, bpp), image.data, image.dataSize,
                        progress);
        else
            decodeBitStream(in, PlaneCoding{}, image.rowBytes, image.data, image.dataSize,
                            progress);
        progress.endPass();
        return;
    }
    if (head.planeCount > PayloadHead::kMaxPlanes) {
        // Planes past the fourth have no place in the decoding order.
        in.fail(Status::Unsupported);
        return;
    }
    // The table is checked before anything is decoded: a repeated or missing position would
    // leave the routing and the merge without a plane to address.
    readPayloadHead(in, head.planeCount, (header.format & kFormatGrey) != 0, head);
    if (in.damaged) return;
    if (!planeOrdersValid(head)) {
        in.fail(Status::Unsupported);
        return;
    }
    // A single plane (5 to 8 bits, one byte per pixel) is the pixel data itself: it is decoded
    // and filtered in place, and its merge copies each byte onto itself.
    const bool onePlane = head.planeCount == 1;
    const size_t planeSize = size_t(image.width) * image.height;
    Owned<uint8_t[]> buffer;
    if (!onePlane) {
        buffer = allocateArray<uint8_t>(planeSize + kPlaneSlack);
        if (!buffer) {
            in.fail(Status::OutOfMemory);
            return;
        }
    }
    uint8_t* plane = onePlane ? image.data : buffer.get();
    if (header.flags & kFlagSeparatePlanes)
        decodeSeparatePlanes(in, head, image, plane, progress);
    else
        decodeInterleaved(in, head, image, header, plane, progress);
}

}  // namespace

PixelDataUse pixelDataUse(const ImageHeader& header) {
    PixelDataUse use;
    // A raw payload is read into the data as it is (a failing read may have written part of it).
    if (!(header.flags & kFlagCompressed)) {
        use.readsAhead = false;
        return use;
    }
    // The range coders keep their rows in buffers of their own, but are given zeroed data as
    // they always were: their decodes are long enough for the zeroing not to count.
    if (header.flags & kFlagRangeCoded) return use;
    const int bpp = header.bitsPerPixel();
    const bool planeTable = bpp > 4 && (header.flags & kFlagPlaneTable);
    const bool separate = planeTable && (header.flags & kFlagSeparatePlanes);
    // The bit stream writes every byte of its plane in order and copies only from bytes before
    // the one it writes; its literal contexts read the two rows above, which in rows narrower
    // than five bytes reach up to three bytes at and behind the byte being decoded.
    const uint32_t row = separate ? header.width : packedRowBytes(header.width, bpp);
    use.readsAhead = row < 5;
    use.failsAfterWriting = separate;
    return use;
}

void readPayloadHead(PayloadReader& in, int planeCount, bool grey, PayloadHead& head) {
    head.planeCount = planeCount;
    if (planeCount > 2 || (planeCount == 1 && grey))
        head.tolerance = int(readBits(in, kToleranceBits));
    for (int p = 0; p < planeCount; p++) {
        const uint32_t d = readBits(in, kDescriptorBits);
        PlaneDescriptor& desc = head.planeTable[p];
        desc.order = uint8_t(d & 3);
        desc.flags = uint8_t(d >> 2);
        head.orderMap[d & 3] = uint8_t(p);
        if (desc.hasReference()) {
            desc.offset = uint8_t(readBits(in, kOffsetBits));
            if (desc.order > 1) {
                desc.coef[0] = int32_t(readBits(in, kCoefficientBits)) - kCoefficientBias;
                desc.coef[1] = int32_t(readBits(in, kCoefficientBits)) - kCoefficientBias;
            }
            if (desc.order > 2)
                desc.coef[2] = int32_t(readBits(in, kCoefficientBits)) - kCoefficientBias;
        }
    }
}

bool planeOrdersValid(const PayloadHead& head) {
    // planeCount planes fill the positions 0 .. planeCount - 1 only if no two of them share one
    // and none lies beyond the pixel.
    if (head.planeCount < 1 || head.planeCount > PayloadHead::kMaxPlanes) return false;
    for (int k = 0; k < head.planeCount; k++)
        if (head.orderMap[k] == PayloadHead::kNoPlane) return false;
    return true;
}

namespace {

Status decodeWith(DecodedImage& image, const ImageHeader& header, const uint8_t* payload,
                  size_t payloadSize, const DecodeControl* control, SalvagedRows* salvaged) {
    const int bpp = header.bitsPerPixel();
    const bool planeTable = bpp > 4 && (header.flags & kFlagPlaneTable);
    const uint64_t rows = totalRows(header, planeTable, (bpp + 7) / 8);
    RowProgress progress = control && control->progress
                               ? RowProgress(control->progress, control->user, rows)
                               : RowProgress();
    if (salvaged) progress.watchTrust();
    PayloadReader in(payload, payloadSize);
    decodeBody(in, header, image, progress);
    if (salvaged) {
        const uint64_t passes = header.height ? rows / header.height : 1;
        salvaged->goodRows = uint32_t(progress.trustedRows(passes));
        salvaged->damageAt = size_t((in.cursor < in.end ? in.cursor : in.end) - in.start);
    }
    if (in.damaged) return in.status();
    // A payload that is not consumed exactly is refused.
    if (in.cursor != in.end) return Status::DamagedStream;
    if (progress.finish()) return Status::Cancelled;
    if (salvaged) salvaged->goodRows = header.height;
    return Status::Ok;
}

}  // namespace

Status decodePayload(DecodedImage& image, const ImageHeader& header, const uint8_t* payload,
                     size_t payloadSize, const DecodeControl* control) {
    return decodeWith(image, header, payload, payloadSize, control, nullptr);
}

Status salvagePayload(DecodedImage& image, const ImageHeader& header, const uint8_t* payload,
                      size_t available, const DecodeControl* control, SalvagedRows* salvaged) {
    *salvaged = SalvagedRows();
    return decodeWith(image, header, payload, available, control, salvaged);
}

}  // namespace pqz
