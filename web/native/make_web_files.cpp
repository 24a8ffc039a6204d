// Writes the files the WebAssembly tests and the speed comparison decode: one file per coding
// method, each with a grey photo and a colour photo coded by that method.
//
//   make_web_files OUTPUT_DIR
#include <cstdio>
#include <string>

#include "tests/encoder/bitstream_image.h"
#include "tests/encoder/context_encoder.h"
#include "tests/encoder/method1_encoder.h"
#include "tests/encoder/method2_encoder.h"
#include "tests/encoder/pqz_writer.h"
#include "tests/encoder/test_images.h"

using namespace pqz::enc;

namespace {

ImageBlock rawBlock(const Picture& p) {
    ImageBlock b;
    b.width = uint16_t(p.width);
    b.height = uint16_t(p.height);
    b.format = p.channels == 1 ? 0x48 : 24;
    b.payload = p.channels == 1 ? packSamples(p.pixels, p.width, p.height, 8) : toStoredBgr(p);
    return b;
}

ImageBlock contextBlock(const Picture& p) {
    return contextImageBlock(p.width, p.height, p.channels == 1 ? 0x48 : 24,
                             p.channels == 1 ? p.pixels : toStoredBgr(p));
}

ImageBlock bitstreamBlock(const Picture& p) {
    BitstreamImageOptions options;
    options.separatePlanes = true;
    if (p.channels == 1)
        options.planes = {PlaneSpec{0, 1, true, false, 0, {0, 0, 0}}};
    else
        options.planes = {PlaneSpec{1, 2, false, true, 0, {0, 0, 0}},
                          PlaneSpec{0, 2, true, false, 0, {0, 0, 0}},
                          PlaneSpec{2, 2, false, true, 0, {128, 0, 0}}};
    return encodeBitstreamImage(p, options, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_web_files OUTPUT_DIR\n");
        return 2;
    }
    const Picture grey = crop(loadImage("camera.png"), 0, 0, 512, 384);
    const Picture colour = crop(loadImage("coffee.png"), 0, 0, 512, 384);
    struct Method {
        const char* name;
        ImageBlock (*code)(const Picture&);
    };
    const Method methods[] = {
        {"raw", rawBlock},
        {"context", contextBlock},
        {"method1", [](const Picture& p) { return encodeMethod1Picture(p, 0, true).block; }},
        {"method2", [](const Picture& p) { return encodeMethod2Picture(p).block; }},
        {"bitstream", bitstreamBlock},
    };
    for (const Method& m : methods) {
        PqzWriter w;
        w.imageBlock(m.code(grey));
        w.imageBlock(m.code(colour));
        const std::string path = std::string(argv[1]) + "/" + m.name + ".pqz";
        if (!w.save(path)) {
            std::fprintf(stderr, "make_web_files: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
