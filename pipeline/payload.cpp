#include "pipeline/payload.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/bitstream/bitstream.h"
#include "codec/method1/magnitude_models.h"
#include "codec/range/plane_dispatch.h"
#include "pipeline/bit_reader.h"
#include "pipeline/filters.h"
#include "pipeline/merge.h"

namespace pqz {

namespace {

// Plane buffers get the same zero slack as pixel data: decoders of narrow rows look ahead.
constexpr size_t kPlaneSlack = 8;

}  // namespace

void readPayloadHead(ReaderState& st, int planeCount, bool grey) {
    // Nothing of an earlier image's table stays behind: positions no plane names stay marked
    // as free, fields the head does not supply are zero.
    for (uint8_t& entry : st.orderMap) entry = kNoPlane;
    for (PlaneDescriptor& desc : st.planeTable) desc = PlaneDescriptor{};
    if (planeCount > 2 || (planeCount == 1 && grey)) st.tolerance = int(readBits(st, 4));
    for (int p = 0; p < planeCount; p++) {
        const uint32_t d = readBits(st, 6);
        PlaneDescriptor& desc = st.planeTable[p];
        desc.order = uint8_t(d & 3);
        desc.flags = uint8_t(d >> 2);
        st.orderMap[d & 3] = uint8_t(p);
        if (desc.hasReference()) {
            desc.offset = uint8_t(readBits(st, 8));
            if (desc.order > 1) {
                desc.coef[0] = int32_t(readBits(st, 8)) - 64;
                desc.coef[1] = int32_t(readBits(st, 8)) - 64;
            }
            if (desc.order > 2) desc.coef[2] = int32_t(readBits(st, 8)) - 64;
        }
    }
}

bool planeOrdersValid(const ReaderState& st) {
    // planeCount planes fill the positions 0 .. planeCount - 1 only if no two of them share one
    // and none lies beyond the pixel.
    if (st.planeCount < 1 || st.planeCount > 4) return false;
    for (int k = 0; k < st.planeCount; k++)
        if (st.orderMap[k] == kNoPlane) return false;
    return true;
}

namespace {

ImageHeader headerOf(const DecodedImage* image, const ImageHeader& stored) {
    ImageHeader h = stored;
    h.width = image->width;
    h.height = image->height;
    h.format = image->format;
    return h;
}

void decodeSeparatePlanes(ReaderState& st, DecodedImage* image, const ImageHeader& header,
                          uint8_t* plane) {
    const int w = image->width, h = image->height;
    const size_t planeSize = size_t(w) * h;
    ImageHeader planeHeader = header;
    planeHeader.format = 0x48;  // 8 bits per pixel, grey
    for (int k = 0; k < st.planeCount && !st.damaged; k++) {
        const int p = st.orderMap[k];
        const PlaneDescriptor& d = st.planeTable[p];
        st.currentMethod = d.method();
        st.currentModelFlag = d.modelFlag() ? 1 : 0;
        if (st.rangeCoded)
            decodePlane(st, planeHeader, plane, planeSize);
        else
            decodeBitStream(st, uint32_t(w), plane, planeSize);
        if (st.damaged) return;
        switch (d.method()) {
            case 0:
                unmapPlane(plane, w, h, st.tolerance);
                break;
            case 1:
                if (!(st.rangeCoded && d.modelFlag())) unpredictMed(plane, w, h, st.tolerance);
                break;
            case 2:
                if (!st.rangeCoded && !unpredictAdaptive(plane, w, h, st.tolerance))
                    st.damaged = true;
                break;
            default:
                break;
        }
        mergePlane(st, image, plane, p);
    }
}

void decodeInterleaved(ReaderState& st, DecodedImage* image, const ImageHeader& header,
                       uint8_t* plane) {
    const PlaneDescriptor& first = st.planeTable[0];
    st.currentMethod = first.method();
    st.currentModelFlag = first.modelFlag() ? 1 : 0;
    if (st.rangeCoded) {
        decodePlane(st, headerOf(image, header), image->data, image->dataSize);
        if (first.modelFlag()) return;
    } else {
        st.currentMethod = 0;
        st.currentModelFlag = 0;
        decodeBitStream(st, image->rowBytes, image->data, image->dataSize);
    }
    if (st.damaged) return;
    const int w = image->width, h = image->height;
    const size_t pixels = size_t(w) * h;
    const int stride = st.planeCount;
    for (int k = 0; k < st.planeCount; k++) {
        const int p = st.orderMap[k];
        const PlaneDescriptor& d = st.planeTable[p];
        st.currentMethod = d.method();
        if (!d.hasReference() && d.method() == 0 && st.tolerance == 0) continue;
        for (size_t j = 0; j < pixels; j++) plane[j] = image->data[j * stride + p];
        if (d.method() == 0)
            unmapPlane(plane, w, h, st.tolerance);
        else if (d.method() == 1)
            unpredictMed(plane, w, h, st.tolerance);
        mergePlane(st, image, plane, p);
    }
}

}  // namespace

bool decodeLoadedPayload(ReaderState& st, DecodedImage* image, const ImageHeader& header,
                         const uint8_t* payload) {
    const int bpp = header.bitsPerPixel();
    st.tolerance = 0;
    st.rangeCoded = (header.flags & kFlagRangeCoded) ? 1 : 0;
    st.planeCount = (bpp + 7) / 8;
    st.payloadStart = st.segmentStart = st.cursor = payload;
    st.payloadSize = header.payloadSize;
    st.payloadEnd = payload + header.payloadSize;
    st.bitCount = 0;
    st.bitBuffer = 0;
    st.damaged = false;

    if (bpp <= 4 || !(header.flags & kFlagPlaneTable)) {
        st.currentMethod = 0;
        st.currentModelFlag = 0;
        if (st.rangeCoded)
            decodePlane(st, headerOf(image, header), image->data, image->dataSize);
        else
            decodeBitStream(st, image->rowBytes, image->data, image->dataSize);
    } else if (st.planeCount > 4) {
        // Planes past the fourth have no place in the decoding order.
        st.damaged = true;
    } else {
        // The table is checked before anything is decoded: a repeated or missing position would
        // leave the routing and the merge without a plane to address.
        readPayloadHead(st, st.planeCount, (header.format & kFormatGrey) != 0);
        if (!planeOrdersValid(st)) st.damaged = true;
        // A single plane (5 to 8 bits, one byte per pixel) is the pixel data itself: it is
        // decoded and filtered in place, and its merge copies each byte onto itself.
        const bool onePlane = st.planeCount == 1;
        const size_t planeSize = size_t(image->width) * image->height;
        uint8_t* plane = nullptr;
        if (!st.damaged)
            plane = onePlane ? image->data
                             : static_cast<uint8_t*>(std::calloc(planeSize + kPlaneSlack, 1));
        if (!plane) {
            st.damaged = true;
        } else {
            if (header.flags & kFlagSeparatePlanes)
                decodeSeparatePlanes(st, image, header, plane);
            else
                decodeInterleaved(st, image, header, plane);
            if (!onePlane) std::free(plane);
        }
    }
    const bool ok = !st.damaged && st.cursor == st.payloadEnd;
    releaseModelTables(st);  // left behind when a decoder stopped early
    st.payloadStart = st.payloadEnd = st.cursor = st.segmentStart = nullptr;
    return ok;
}

bool decodePayload(ReaderState& st, DecodedImage* image, const ImageHeader& header, FILE* file,
                   uint64_t available) {
    if (header.payloadSize > available) return false;  // announces more than the file holds
    auto* buffer =
        static_cast<uint8_t*>(std::calloc(size_t(header.payloadSize) + kPayloadSlack, 1));
    if (!buffer) return false;
    bool ok = std::fread(buffer, 1, header.payloadSize, file) == header.payloadSize &&
              decodeLoadedPayload(st, image, header, buffer);
    std::free(buffer);
    return ok;
}

}  // namespace pqz
