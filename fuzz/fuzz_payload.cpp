// Fuzz targets of the decoder families: a small image header from the first four input bytes,
// the rest of the input as the compressed payload (head and coded streams), straight into the
// payload pipeline. PQZ2_FUZZ_FAMILY selects the family:
//   0 bit-stream, 1 context model, 2 coding method 1, 3 coding method 2.
//
// Input: width and height (0 to 64, each byte taken modulo 65), the format byte (bits per pixel,
// grey bit), the flags byte (plane table 0x10, separate planes 0x08), then the payload. The range-
// coded flag is set by the family. Coding methods 1 and 2 always have a plane table, at least
// 8 and at most 32 bits per pixel, and every descriptor of the head is given the family's
// method with the model flag; context-model heads get the model flag cleared. So mutations
// stay within the family. An encoder's image
// block is therefore a seed as it is: its four header fields, then its payload. The payload is
// decoded twice, and both decodes must agree.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/payload_head.h"
#include "pipeline/payload.h"
#include "reader/image.h"

#ifndef PQZ2_FUZZ_FAMILY
#error "PQZ2_FUZZ_FAMILY must be set"
#endif

namespace {

using namespace pqz;

constexpr bool kRangeCoded = PQZ2_FUZZ_FAMILY != 0;
constexpr bool kModelFamily = PQZ2_FUZZ_FAMILY >= 2;
constexpr int kModelMethod = PQZ2_FUZZ_FAMILY - 1;  // 1 or 2 for the model families

// Keeps the head's descriptors within the family: bits 2-3 of a descriptor hold the method, bit 4
// the model flag. The model families get their method with the model flag; the context model
// gets the model flag cleared (the method then chooses the inverse filter).
void keepWithinFamily(std::vector<uint8_t>& payload, int planeCount, bool grey) {
    auto set = [&](size_t at, bool bit) {
        if (at / 8 >= payload.size()) return;
        const uint8_t mask = uint8_t(1u << (at % 8));
        payload[at / 8] = uint8_t(bit ? payload[at / 8] | mask : payload[at / 8] & ~mask);
    };
    fuzz::walkPayloadHead(payload, planeCount, grey, [&](uint32_t, size_t at) {
        if (kModelFamily) {
            set(at + 2, kModelMethod & 1);
            set(at + 3, kModelMethod & 2);
        }
        set(at + 4, kModelFamily);
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    ImageHeader h;
    h.width = uint16_t(data[0] % 65);
    h.height = uint16_t(data[1] % 65);
    h.format = uint8_t(data[2] & (kFormatBitsMask | kFormatGrey));
    h.flags = uint8_t(kFlagCompressed | (data[3] & (kFlagPlaneTable | kFlagSeparatePlanes)));
    if (kRangeCoded) h.flags |= kFlagRangeCoded;

    std::vector<uint8_t> payload(data + 4, data + size);
    if (kModelFamily) {
        int bpp = h.bitsPerPixel();
        bpp = bpp < 8 ? 8 : bpp > 32 ? 32 : bpp;
        h.format = uint8_t((h.format & kFormatGrey) | bpp);
        h.flags |= kFlagPlaneTable;
    }
    const int bpp = h.bitsPerPixel();
    if (kRangeCoded && bpp > 4 && bpp <= 32 && (h.flags & kFlagPlaneTable))
        keepWithinFamily(payload, (bpp + 7) / 8, (h.format & kFormatGrey) != 0);
    h.payloadSize = uint32_t(payload.size());
    payload.resize(payload.size() + kPayloadSlack, 0);

    // The same input decoded twice in one process gives the same result: nothing the first
    // decode leaves behind may reach the second.
    DecodedImage* first = createDecodedImage(h.width, h.height, h.bitsPerPixel(), false, true);
    DecodedImage* second = createDecodedImage(h.width, h.height, h.bitsPerPixel(), false, true);
    if (first && second) {
        first->format = second->format = h.format;
        const bool ok = decodeLoadedPayload(readerState(), first, h, payload.data());
        const bool again = decodeLoadedPayload(readerState(), second, h, payload.data());
        if (ok != again || std::memcmp(first->data, second->data, first->dataSize) != 0)
            __builtin_trap();
    }
    freeDecodedImage(first);
    freeDecodedImage(second);
    return 0;
}
