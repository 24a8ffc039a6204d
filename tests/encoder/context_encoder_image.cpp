// Whole images through the context-model coder: in one go (with or without plane table) or as
// separately coded 8-bit planes.
#include <algorithm>

#include "tests/encoder/bit_writer.h"
#include "tests/encoder/context_encoder.h"

namespace pqz::enc {

std::vector<uint32_t> samplesFromPixelData(const std::vector<uint8_t>& pixels, int width,
                                           int height, int depth) {
    std::vector<uint32_t> out;
    out.reserve(size_t(width) * size_t(height));
    const size_t rowBytes = rowBytesFor(uint32_t(width), depth);
    const int bytes = (depth + 7) / 8;
    for (int y = 0; y < height; y++) {
        const uint8_t* row = pixels.data() + size_t(y) * rowBytes;
        if (depth >= 8) {
            for (int x = 0; x < width; x++) {
                uint32_t v = 0;
                for (int j = 0; j < bytes; j++) v |= uint32_t(row[size_t(x) * bytes + j]) << 8 * j;
                out.push_back(v);
            }
            continue;
        }
        // Packed from the most significant bit down; a sample that does not fit into the rest
        // of a byte starts the next one.
        int bit = 0;
        size_t at = 0;
        for (int x = 0; x < width; x++) {
            if (bit + depth > 8) {
                at++;
                bit = 0;
            }
            out.push_back((row[at] >> (8 - bit - depth)) & ((1u << depth) - 1));
            bit += depth;
        }
    }
    return out;
}

namespace {

bool fail(ContextImageResult& r, const std::string& why) {
    r.ok = false;
    r.error = why;
    return false;
}

bool codePlane(ContextImageResult& r, const std::vector<uint32_t>& samples, int width, int height,
               int depth, std::vector<uint8_t>& payload, const ContextEncodeOptions& coding) {
    ContextEncodeResult plane = encodeContextPlane(samples, width, height, depth, payload, coding);
    r.stats.push_back(plane.stats);
    if (!plane.ok) return fail(r, plane.error);
    return true;
}

}  // namespace

ContextImageResult encodeContextImage(int width, int height, uint8_t format,
                                      const std::vector<uint8_t>& pixels,
                                      const ContextImageOptions& options) {
    ContextImageResult r;
    const int bpp = format & 0x3F;
    const bool grey = (format & 0x40) != 0;
    const int planeCount = (bpp + 7) / 8;
    if (bpp < 1 || bpp > 32 || width < 0 || height < 0 || width > 65535 || height > 65535) {
        fail(r, "unsupported image size or depth");
        return r;
    }
    if (pixels.size() != size_t(rowBytesFor(uint32_t(width), bpp)) * size_t(height)) {
        fail(r, "pixel data does not match the image size");
        return r;
    }
    r.block.width = uint16_t(width);
    r.block.height = uint16_t(height);
    r.block.format = format;
    r.block.flags = 0x20 | 0x04;

    const ContextEncodeOptions& coding = options.coding;
    std::vector<uint8_t>& payload = r.block.payload;
    if (options.route == ContextRoute::kOneGo || bpp <= 4) {
        // Up to 4 bits per pixel the reader ignores the plane-table and separate-plane flags:
        // no head, the image in one go whatever the route.
        if (options.route != ContextRoute::kOneGo) r.block.flags |= 0x10;
        if (options.route == ContextRoute::kSeparatePlanes) r.block.flags |= 0x08;
        r.ok = codePlane(r, samplesFromPixelData(pixels, width, height, bpp), width, height, bpp,
                         payload, coding);
        return r;
    }

    std::vector<PlaneSpec> planes = options.planes;
    if (planes.empty()) {
        planes.resize(size_t(planeCount));
        for (int p = 0; p < planeCount; p++) planes[size_t(p)].order = uint8_t(p);
    }
    if (int(planes.size()) != planeCount || planeCount > 4) {
        fail(r, "one plane descriptor per byte of the pixel, at most four");
        return r;
    }
    int orderMap[4] = {-1, -1, -1, -1};
    for (int p = 0; p < planeCount; p++) {
        const PlaneSpec& s = planes[size_t(p)];
        if (s.order >= planeCount || orderMap[s.order] >= 0) {
            fail(r, "plane orders must be distinct and below the plane count");
            return r;
        }
        orderMap[s.order] = p;
        // Without a filter the decoded plane is the pixel byte itself.
        const bool plain =
            s.method == 3 || s.method == 2 || (s.method == 0 && options.tolerance == 0);
        if (s.modelFlag || s.hasReference || !plain) {
            fail(r, "plane needs a filter, a merge or another coder");
            return r;
        }
    }
    BitWriter head;
    writePayloadHead(head, bpp, grey, options.tolerance, planes);
    head.alignToByte();
    payload = head.bytes();
    r.block.flags |= 0x10;

    if (options.route == ContextRoute::kOneGoWithTable) {
        r.ok = codePlane(r, samplesFromPixelData(pixels, width, height, bpp), width, height, bpp,
                         payload, coding);
        return r;
    }
    r.block.flags |= 0x08;
    const size_t stride = size_t(rowBytesFor(uint32_t(width), bpp)) / size_t(width);
    std::vector<uint32_t> plane(size_t(width) * size_t(height));
    for (int k = 0; k < planeCount; k++) {
        const int p = orderMap[k];
        for (size_t i = 0; i < plane.size(); i++) plane[i] = pixels[i * stride + size_t(p)];
        ContextEncodeOptions planeCoding = coding;
        if (coding.seed) planeCoding.seed = coding.seed + uint32_t(k);
        if (!codePlane(r, plane, width, height, 8, payload, planeCoding)) return r;
    }
    r.ok = true;
    return r;
}

ImageBlock contextImageBlock(int width, int height, uint8_t format,
                             const std::vector<uint8_t>& pixels) {
    ContextImageResult r = encodeContextImage(width, height, format, pixels);
    if (!r.ok) r.block.payload.clear();
    return r.block;
}

}  // namespace pqz::enc
