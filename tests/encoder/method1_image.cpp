// Whole method-1 images: payload head, one interleaved stream or one stream per plane, and the
// merge of separately coded planes onto their references.
#include <cassert>

#include "tests/encoder/bit_writer.h"
#include "tests/encoder/method1_encoder.h"

namespace pqz::enc {

std::vector<PlaneSpec> colourReferencePlanes(int planeCount) {
    std::vector<PlaneSpec> planes(static_cast<size_t>(planeCount));
    if (planeCount < 3) {
        for (int p = 0; p < planeCount; p++) planes[p].order = uint8_t(p);
        return planes;
    }
    planes[1].order = 0;  // green
    planes[0].order = 1;  // blue - green
    planes[0].hasReference = true;
    planes[2].order = 2;  // red - green
    planes[2].hasReference = true;
    planes[2].coef[0] = 128;
    if (planeCount == 4) {  // alpha from the three colours
        planes[3].order = 3;
        planes[3].hasReference = true;
        planes[3].coef[0] = 32;
        planes[3].coef[1] = 64;
        planes[3].coef[2] = 32;
    }
    return planes;
}

Method1Image encodeMethod1(const uint8_t* pixels, int width, int height, int planeCount,
                           const Method1Options& options) {
    assert(planeCount >= 1 && planeCount <= 4);
    assert(planeCount != 2 || options.separatePlanes);
    std::vector<PlaneSpec> planes = options.planes;
    if (planes.empty())
        for (int p = 0; p < planeCount; p++) planes.push_back(PlaneSpec{uint8_t(p)});
    assert(int(planes.size()) == planeCount);
    uint8_t orderMap[4] = {0, 0, 0, 0};
    unsigned seen = 0;
    for (int p = 0; p < planeCount; p++) {
        planes[p].method = 1;
        planes[p].modelFlag = true;
        orderMap[planes[p].order] = uint8_t(p);
        seen |= 1u << planes[p].order;
    }
    assert(seen == (1u << planeCount) - 1);

    Method1Image img;
    const bool palette = planeCount == 1 && !options.palette.empty();
    const bool grey = planeCount == 1 && options.grey;
    const int bpp = options.bitsPerPixel ? options.bitsPerPixel : 8 * planeCount;
    assert((bpp + 7) / 8 == planeCount);
    img.tolerance = headHasTolerance(bpp, grey) ? options.tolerance : 0;

    BitWriter bits;
    writePayloadHead(bits, bpp, grey, img.tolerance, planes);
    bits.alignToByte();
    std::vector<uint8_t> streams;
    const size_t count = size_t(width) * height;
    if (!options.separatePlanes && planeCount == 1) {
        encodeMethod1Grey(streams, pixels, width, height, img.tolerance, img.expected, nullptr,
                          &img.stats, options.exactTargets);
    } else if (!options.separatePlanes) {
        encodeMethod1Interleaved(streams, pixels, width, height, planeCount, planes, img.tolerance,
                                 img.expected, &img.stats, options.exactTargets);
    } else {
        // Planes in decoding order; each is merged onto the final values of earlier planes
        // (order 3 reads the three bytes in front of it, so it must sit at byte position 3).
        img.expected.assign(count * planeCount, 0);
        std::vector<uint8_t> target(count), ref(count), recon;
        for (int k = 0; k < planeCount; k++) {
            const int p = orderMap[k];
            const PlaneSpec& spec = planes[p];
            assert(!spec.hasReference || k > 0);
            assert(!spec.hasReference || k < 3 || p == 3);
            for (size_t j = 0; j < count; j++) {
                target[j] = pixels[j * planeCount + p];
                ref[j] = spec.hasReference
                             ? uint8_t(planeReference(spec, &img.expected[j * planeCount], orderMap,
                                                      p, 63))
                             : 0;
            }
            encodeMethod1Grey(streams, target.data(), width, height, img.tolerance, recon,
                              ref.data(), &img.stats, options.exactTargets);
            for (size_t j = 0; j < count; j++) img.expected[j * planeCount + p] = recon[j];
        }
    }
    bits.appendBytes(streams);

    ImageBlock& b = img.block;
    b.width = uint16_t(width);
    b.height = uint16_t(height);
    b.format = uint8_t(bpp | (grey ? 0x40 : 0) | (palette ? 0x80 : 0));
    b.flags = uint8_t(0x20 | 0x10 | 0x04 | (options.separatePlanes ? 0x08 : 0));
    b.payload = bits.bytes();
    if (palette) b.palette = options.palette;
    return img;
}

Method1Image encodeMethod1Picture(const Picture& picture, int tolerance, bool references,
                                  bool separatePlanes) {
    Method1Options options;
    options.tolerance = tolerance;
    options.separatePlanes = separatePlanes;
    if (references) options.planes = colourReferencePlanes(picture.channels);
    const std::vector<uint8_t> stored = toStoredBgr(picture);
    return encodeMethod1(stored.data(), picture.width, picture.height, picture.channels, options);
}

}  // namespace pqz::enc
