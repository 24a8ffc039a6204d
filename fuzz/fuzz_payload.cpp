// Fuzz targets of the decoder families: a small synthetic image header and a payload head made
// from the first input bytes, the rest of the input as the coded stream, straight into the
// payload pipeline. PQZ2_FUZZ_FAMILY selects the family:
//   0 bit-stream, 1 context model, 2 coding method 1, 3 coding method 2.
#include <cstdint>
#include <cstring>
#include <vector>

#include "pipeline/payload.h"
#include "reader/image.h"
#include "tests/encoder/bit_writer.h"
#include "tests/encoder/pqz_writer.h"

#ifndef PQZ2_FUZZ_FAMILY
#error "PQZ2_FUZZ_FAMILY must be set"
#endif

namespace {

constexpr uint8_t kDepths[8] = {1, 2, 4, 8, 16, 24, 32, 12};

}  // namespace

// Input: width - 1, height - 1 (6 bits each), a configuration byte, a plane byte, the stream.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pqz;
    if (size < 4) return 0;
    const int width = (data[0] & 63) + 1, height = (data[1] & 63) + 1;
    const uint8_t config = data[2], planes = data[3];
    const bool table = config & 0x80, separate = config & 0x40, grey = config & 0x20;
    ImageHeader h;
    h.width = uint16_t(width);
    h.height = uint16_t(height);
    h.flags = kFlagCompressed;
    enc::BitWriter head;
    int bpp;
    if (PQZ2_FUZZ_FAMILY == 0 || PQZ2_FUZZ_FAMILY == 1) {
        // The head, if any, comes from the stream itself.
        bpp = PQZ2_FUZZ_FAMILY == 1 && !table ? (config & 31) + 1 : kDepths[config & 7];
        if (table) h.flags |= kFlagPlaneTable;
        if (separate) h.flags |= kFlagSeparatePlanes;
    } else {
        // Coding methods 1 and 2 need the model flag in the head: write a valid one.
        const int planeCount = separate ? 1 + (config & 3) : ((config & 1) ? 4 : 3);
        bpp = planeCount == 1 && !separate ? 8 : planeCount * 8;
        if (separate && planeCount == 1) bpp = 8;
        h.flags |= kFlagPlaneTable | (separate ? kFlagSeparatePlanes : 0);
        std::vector<enc::PlaneSpec> specs(size_t((bpp + 7) / 8));
        for (size_t p = 0; p < specs.size(); p++) {
            enc::PlaneSpec& s = specs[p];
            s.order = uint8_t((p + (planes & 3)) % specs.size());
            s.method = PQZ2_FUZZ_FAMILY == 2 ? 1 : 2;
            s.modelFlag = true;
            s.hasReference = s.order > 0 && ((planes >> (4 + p)) & 1);
            s.offset = uint8_t(planes * 37);
            s.coef[0] = int(planes) - 64;
            s.coef[1] = 128 - int(planes);
            s.coef[2] = int(config) - 64;
        }
        enc::writePayloadHead(head, bpp, grey, (config >> 2) & 15, specs);
        head.alignToByte();
    }
    h.format = uint8_t(bpp | (grey ? kFormatGrey : 0));
    if (PQZ2_FUZZ_FAMILY != 0) h.flags |= kFlagRangeCoded;

    std::vector<uint8_t> payload = head.bytes();
    payload.insert(payload.end(), data + 4, data + size);
    h.payloadSize = uint32_t(payload.size());
    payload.resize(payload.size() + kPayloadSlack, 0);
    DecodedImage* img = createDecodedImage(h.width, h.height, bpp, false, true);
    if (!img) return 0;
    img->format = h.format;
    decodeLoadedPayload(readerState(), img, h, payload.data());
    freeDecodedImage(img);
    return 0;
}
