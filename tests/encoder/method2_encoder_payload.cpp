// Method-2 test encoder: whole compressed payloads (head, plane table, coded streams) for the
// routes a reader offers: one 8-bit stream, interleaved multi-plane images in one stream, and
// separately coded planes merged afterwards.
#include <algorithm>
#include <cassert>
#include <stdexcept>

#include "tests/encoder/method1_encoder.h"
#include "tests/encoder/method2_encoder.h"

namespace pqz::enc {

namespace {

void checkPlanes(const Method2Image& img, const std::vector<PlaneSpec>& planes, int planeCount) {
    bool seen[4] = {false, false, false, false};
    for (int p = 0; p < planeCount; p++) {
        const PlaneSpec& s = planes[p];
        if (s.order >= planeCount || seen[s.order])
            throw std::invalid_argument("plane orders must be a permutation");
        seen[s.order] = true;
        if (img.separate && s.hasReference && (s.order == 0 || (s.order == 3 && p != 3)))
            throw std::invalid_argument("no merge formula for this reference");
    }
    if (!img.separate && planeCount == 4 && planes[3].order != 3)
        throw std::invalid_argument("byte 3 of an interleaved image must be coded last");
}

}  // namespace

void Method2Stats::add(const Method2Stats& o) {
    slots = std::max(slots, o.slots);
    ternaryRescales += o.ternaryRescales;
    cellsSettled += o.cellsSettled;
    classRescales += o.classRescales;
    nodeRescales += o.nodeRescales;
}

Method2Payload encodeMethod2Image(const Method2Image& img) {
    const int bpp = img.bitsPerPixel;
    const int planeCount = (bpp + 7) / 8;
    if (bpp <= 4 || planeCount > 4 || (!img.separate && planeCount != 1 && planeCount < 3))
        throw std::invalid_argument("no method-2 route for this pixel format");
    const size_t pixelCount = size_t(img.width) * img.height;
    if (img.pixels.size() != pixelCount * planeCount)
        throw std::invalid_argument("pixel data does not match the image size");

    std::vector<PlaneSpec> planes = img.planes;
    if (planes.empty()) {
        planes.resize(planeCount);
        for (int p = 0; p < planeCount; p++) planes[p].order = uint8_t(p);
    }
    if (int(planes.size()) != planeCount) throw std::invalid_argument("one descriptor per plane");
    for (PlaneSpec& s : planes) {
        s.method = 2;
        s.modelFlag = true;
    }
    checkPlanes(img, planes, planeCount);
    const bool hasPalette = bpp == 8 && !img.palette.empty();
    const bool grey = bpp == 8 && img.grey;
    Method2Options options;
    options.tolerance = headHasTolerance(bpp, grey) ? img.tolerance : 0;
    options.longZeroEvery = img.longZeroEvery;
    options.reproduce = img.reproduce;

    Method2Payload out;
    BitWriter bits;
    writePayloadHead(bits, bpp, grey, options.tolerance, planes);
    bits.alignToByte();
    std::vector<uint8_t> payload = bits.bytes();

    if (!img.separate) {
        Method2Stream s =
            planeCount == 1 ? encodeMethod2Plane(img.pixels.data(), img.width, img.height, options)
                            : encodeMethod2Interleaved(img.pixels.data(), img.width, img.height,
                                                       planeCount, planes, options);
        payload.insert(payload.end(), s.bytes.begin(), s.bytes.end());
        out.pixels = std::move(s.reconstructed);
        out.stats = s.stats;
        out.slotOverflow = s.slotOverflow;
    } else {
        uint8_t orderMap[4] = {0, 0, 0, 0};
        for (int p = 0; p < planeCount; p++) orderMap[planes[p].order] = uint8_t(p);
        out.pixels.assign(pixelCount * planeCount, 0);
        std::vector<uint8_t> target(pixelCount), add(pixelCount);
        for (int k = 0; k < planeCount; k++) {
            const int p = orderMap[k];
            for (size_t j = 0; j < pixelCount; j++) {
                target[j] = img.pixels[j * planeCount + p];
                // The merge adds its prediction from the final bytes of earlier planes.
                const uint8_t* px = &out.pixels[j * planeCount];
                add[j] = planes[p].hasReference
                             ? uint8_t(planeReference(planes[p], px, orderMap, p, 63))
                             : 0;
            }
            Method2Stream s =
                encodeMethod2Plane(target.data(), img.width, img.height, options, add.data());
            payload.insert(payload.end(), s.bytes.begin(), s.bytes.end());
            for (size_t j = 0; j < pixelCount; j++)
                out.pixels[j * planeCount + p] = uint8_t(s.reconstructed[j] + add[j]);
            out.stats.add(s.stats);
            out.slotOverflow = out.slotOverflow || s.slotOverflow;
        }
    }

    ImageBlock& b = out.block;
    b.width = img.width;
    b.height = img.height;
    b.format = uint8_t(bpp | (grey ? 0x40 : 0) | (hasPalette ? 0x80 : 0));
    b.flags = uint8_t(0x20 | 0x10 | 0x04 | (img.separate ? 0x08 : 0));
    b.payload = std::move(payload);
    if (hasPalette) b.palette = img.palette;
    return out;
}

Method2Payload encodeMethod2Picture(const Picture& picture, int tolerance, bool separate) {
    Method2Image img;
    img.width = uint16_t(picture.width);
    img.height = uint16_t(picture.height);
    img.tolerance = tolerance;
    img.separate = separate;
    if (picture.channels == 1) {
        img.bitsPerPixel = 8;
        img.grey = true;
        img.pixels = picture.pixels;
    } else {
        img.bitsPerPixel = picture.channels == 4 ? 32 : 24;
        img.pixels = toStoredBgr(picture);
    }
    return encodeMethod2Image(img);
}

}  // namespace pqz::enc
