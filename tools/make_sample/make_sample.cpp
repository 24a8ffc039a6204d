// Writes the bundled sample file: images of every pixel format and coding method made from the
// sample photos, with auxiliary headers and extra blocks between them.
//
//   make_sample OUTPUT.pqz
#include <cstdio>
#include <string>
#include <vector>

#include "tests/encoder/bitstream_image.h"
#include "tests/encoder/context_encoder.h"
#include "tests/encoder/method1_encoder.h"
#include "tests/encoder/method2_encoder.h"
#include "tests/encoder/pqz_writer.h"
#include "tests/encoder/test_images.h"

using namespace pqz::enc;

namespace {

ImageBlock rawImage(const Picture& p, uint8_t format) {
    ImageBlock b;
    b.width = uint16_t(p.width);
    b.height = uint16_t(p.height);
    b.format = format;
    const int n = format & 63;
    if (n < 8 || (p.channels == 1 && n == 8))
        b.payload = packSamples(p.pixels, p.width, p.height, n);
    else
        b.payload = toStoredBgr(p);
    return b;
}

std::vector<uint8_t> text(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_sample OUTPUT.pqz\n");
        return 2;
    }
    PqzWriter w;

    const Picture camera = crop(loadImage("camera.png"), 128, 96, 256, 192);
    ImageBlock grey = rawImage(camera, 0x48);
    grey.aux = std::make_pair(100u, text("raw 8-bit grey"));
    w.imageBlock(grey);
    w.imageBlock(rawImage(quantise(crop(loadImage("coins.png"), 64, 64, 96, 64), 4), 0x44));
    w.extraBlock(1, text("PQZ2 sample file"));

    const Picture astronaut = crop(loadImage("astronaut.png"), 160, 40, 160, 120);
    w.imageBlock(rawImage(astronaut, 24));
    w.extraBlock(2, text("between images"));

    const Picture logo = crop(loadImage("logo.png"), 100, 100, 120, 90);
    w.imageBlock(rawImage(logo, 32));

    Picture palette = loadImage("green_palette.png", true);
    ImageBlock pal = rawImage(palette, 0x88);
    pal.palette.assign(768, 0);
    for (size_t i = 0; i < palette.paletteRgb.size() / 3 && i < 256; i++) {
        pal.palette[3 * i] = palette.paletteRgb[3 * i + 2];
        pal.palette[3 * i + 1] = palette.paletteRgb[3 * i + 1];
        pal.palette[3 * i + 2] = palette.paletteRgb[3 * i];
    }
    w.imageBlock(pal);

    const Picture page = crop(loadImage("page.png"), 0, 0, 384, 96);
    w.imageBlock(rawImage(quantise(page, 1), 0x41));
    w.extraBlock(3, {});

    // Bit-stream coder: grey with the median-edge filter and the context flag, colour with
    // plane references and the adaptive filter on separately coded planes.
    BitstreamImageOptions greyOpts;
    greyOpts.separatePlanes = true;
    greyOpts.planes = {PlaneSpec{0, 1, true, false, 0, {0, 0, 0}}};  // MED, variant 1, context
    w.imageBlock(
        encodeBitstreamImage(crop(loadImage("coins.png"), 0, 0, 256, 192), greyOpts, nullptr));
    BitstreamImageOptions colourOpts;
    colourOpts.separatePlanes = true;
    colourOpts.planes = {PlaneSpec{1, 2, false, true, 0, {0, 0, 0}},
                         PlaneSpec{0, 2, true, false, 0, {0, 0, 0}},
                         PlaneSpec{2, 2, false, true, 0, {128, 0, 0}}};
    ImageBlock bsColour = encodeBitstreamImage(crop(loadImage("coffee.png"), 300, 150, 192, 144),
                                               colourOpts, nullptr);
    bsColour.aux = std::make_pair(103u, text("bit-stream, colour"));
    w.imageBlock(bsColour);

    // Context model: a 1-bit page scan and a colour photo decoded in one go.
    const Picture scan = quantise(crop(loadImage("page.png"), 0, 96, 384, 95), 1);
    w.imageBlock(contextImageBlock(scan.width, scan.height, 0x41,
                                   packSamples(scan.pixels, scan.width, scan.height, 1)));
    const Picture astro = crop(loadImage("astronaut.png"), 0, 0, 192, 160);
    ImageBlock ctxColour = contextImageBlock(astro.width, astro.height, 24, toStoredBgr(astro));
    ctxColour.aux = std::make_pair(102u, text("context model, colour"));
    w.imageBlock(ctxColour);

    // Coding method 1: grey lossless, colour near-lossless with plane references.
    ImageBlock m1grey = encodeMethod1Picture(crop(loadImage("moon.png"), 128, 128, 256, 192)).block;
    m1grey.aux = std::make_pair(101u, text("method 1, grey"));
    w.imageBlock(m1grey);
    w.imageBlock(
        encodeMethod1Picture(crop(loadImage("coffee.png"), 200, 100, 192, 144), 1, true).block);

    // Coding method 2: grey lossless, colour with alpha near-lossless.
    w.imageBlock(encodeMethod2Picture(crop(loadImage("camera.png"), 160, 64, 192, 160)).block);
    w.extraBlock(4, text("method 2 follows"));
    ImageBlock m2alpha =
        encodeMethod2Picture(crop(loadImage("logo.png"), 80, 80, 160, 120), 3).block;
    m2alpha.aux = std::make_pair(104u, text("method 2, colour with alpha"));
    w.imageBlock(m2alpha);

    if (!w.save(argv[1])) {
        std::fprintf(stderr, "make_sample: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
