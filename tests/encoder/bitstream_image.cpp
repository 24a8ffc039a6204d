#include "tests/encoder/bitstream_image.h"

#include <algorithm>
#include <cassert>
#include <random>

#include "tests/encoder/plane_filters.h"

namespace pqz::enc {

StoredImage storedImage(const Picture& pic, int bits) {
    StoredImage s;
    s.width = uint16_t(pic.width);
    s.height = uint16_t(pic.height);
    const bool indexed = pic.channels == 1 && !pic.paletteRgb.empty();
    if (bits == 0) bits = pic.channels == 1 ? 8 : pic.channels == 3 ? 24 : 32;
    const size_t count = size_t(pic.width) * pic.height;
    if (bits <= 8) {
        if (indexed && bits == 8) {
            s.format = 0x88;
            s.data = pic.pixels;
            s.palette.assign(768, 0);
            for (size_t i = 0; i * 3 < pic.paletteRgb.size() && i < 256; i++)
                for (int c = 0; c < 3; c++) s.palette[i * 3 + c] = pic.paletteRgb[i * 3 + 2 - c];
            return s;
        }
        const Picture grey = bits < 8 ? quantise(toGrey(pic), bits) : toGrey(pic);
        s.format = uint8_t(bits | 0x40);
        s.data = packSamples(grey.pixels, pic.width, pic.height, bits);
        return s;
    }
    s.format = uint8_t(bits);
    auto channel = [&](size_t i, int c) {
        return pic.channels == 1 ? pic.pixels[i] : pic.pixels[i * pic.channels + size_t(c)];
    };
    for (size_t i = 0; i < count; i++) {
        const int r = channel(i, 0), g = channel(i, 1), b = channel(i, 2);
        if (bits == 15 || bits == 16) {
            uint32_t v = uint32_t((r >> 3) << 10 | (g >> 3) << 5 | (b >> 3));
            if (bits == 16) v |= uint32_t((r ^ g) & 1) << 15;
            s.data.push_back(uint8_t(v));
            s.data.push_back(uint8_t(v >> 8));
            continue;
        }
        assert(bits == 24 || bits == 32);
        s.data.insert(s.data.end(), {uint8_t(b), uint8_t(g), uint8_t(r)});
        if (bits == 32) s.data.push_back(pic.channels == 4 ? channel(i, 3) : uint8_t(255 - g / 2));
    }
    return s;
}

Picture repetitivePicture(int width, int height, uint32_t seed) {
    std::mt19937 rng(seed);
    const size_t n = size_t(width) * height;
    std::vector<uint8_t> v;
    while (v.size() < n) {
        const uint32_t kind = rng() % 5;
        if (kind == 0 || v.size() < 20) {
            for (int i = 0; i < 1 + int(rng() % 12); i++) v.push_back(uint8_t(rng() % 6));
        } else if (kind == 1) {
            v.insert(v.end(), 6 + rng() % 400, 0);
        } else {
            size_t d = kind == 2   ? 1 + rng() % 40
                       : kind == 3 ? size_t(width) * (1 + rng() % 8) + rng() % 5 - 2
                                   : 1 + rng() % 5000;
            d = std::min(d, v.size());
            const size_t len = 3 + rng() % (kind == 3 ? 1500 : 30);
            for (size_t i = 0; i < len; i++) v.push_back(v[v.size() - d]);
        }
    }
    v.resize(n);
    Picture p;
    p.width = width;
    p.height = height;
    p.channels = 1;
    p.pixels = std::move(v);
    return p;
}

ImageBlock encodeBitstreamImage(const StoredImage& img, const BitstreamImageOptions& o,
                                std::vector<uint8_t>* expected,
                                std::vector<BitstreamStats>* stats) {
    const int bits = img.bitsPerPixel();
    const uint32_t rowBytes = rowBytesFor(img.width, bits);
    const size_t dataSize = size_t(rowBytes) * img.height;
    assert(img.data.size() == dataSize && dataSize > 0);
    ImageBlock block;
    block.width = img.width;
    block.height = img.height;
    block.format = img.format;
    block.palette = img.palette;
    block.flags = uint8_t(0x20 | (o.planeTable ? 0x10 : 0) | (o.separatePlanes ? 0x08 : 0));

    BitWriter out;
    auto code = [&](const uint8_t* data, size_t n, size_t r, const BitstreamOptions& co,
                    const uint8_t* bufferBefore = nullptr) {
        BitstreamStats s = encodeBitstream(out, data, n, r, co, bufferBefore);
        if (stats) stats->push_back(s);
    };
    BitstreamOptions whole = o.coder;  // whole images and interleaved planes
    whole.variant = 0;
    whole.contextFlag = false;

    if (bits <= 4 || !o.planeTable) {
        code(img.data.data(), dataSize, rowBytes, whole);
        if (expected) *expected = img.data;
    } else {
        const int planeCount = (bits + 7) / 8;
        std::vector<PlaneSpec> specs = o.planes;
        if (specs.empty())
            for (int p = 0; p < planeCount; p++)
                specs.push_back({uint8_t(p), 0, false, false, 0, {}});
        assert(int(specs.size()) == planeCount && planeCount <= 4);
        const int tolerance = headHasTolerance(bits, img.grey()) ? o.tolerance : 0;
        writePayloadHead(out, bits, img.grey(), tolerance, specs);

        std::vector<PlaneFilter> filters;
        for (const PlaneSpec& s : specs)
            filters.push_back(bitstreamPlaneFilter(s.method, o.separatePlanes));
        const ForwardPlanes fp =
            forwardPlanes(img.data.data(), img.width, img.height, specs, filters, tolerance);
        const size_t pixels = size_t(img.width) * img.height;
        if (o.separatePlanes) {
            // One plane buffer serves every plane: a plane is decoded over the filtered bytes
            // of the plane before it (zeros for the first).
            const uint8_t* previous = nullptr;
            for (int k = 0; k < planeCount; k++) {
                int p = 0;
                while (specs[size_t(p)].order != k) p++;
                BitstreamOptions co = o.coder;
                co.variant = specs[size_t(p)].method;
                co.contextFlag = specs[size_t(p)].modelFlag;
                if (co.seed) co.seed += uint32_t(k);
                code(fp.codes[size_t(p)].data(), pixels, img.width, co, previous);
                previous = fp.filtered[size_t(p)].data();
            }
        } else {
            std::vector<uint8_t> interleaved(dataSize);
            for (size_t j = 0; j < pixels; j++)
                for (int p = 0; p < planeCount; p++)
                    interleaved[j * planeCount + p] = fp.codes[size_t(p)][j];
            code(interleaved.data(), dataSize, rowBytes, whole);
        }
        if (expected) *expected = fp.reconstructed;
    }
    out.alignToWord();
    block.payload = out.bytes();
    return block;
}

ImageBlock encodeBitstreamImage(const Picture& picture, const BitstreamImageOptions& options,
                                std::vector<uint8_t>* expectedPixels) {
    return encodeBitstreamImage(storedImage(picture), options, expectedPixels);
}

}  // namespace pqz::enc
