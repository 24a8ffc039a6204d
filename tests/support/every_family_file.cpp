#include "tests/support/every_family_file.h"

#include "tests/encoder/bitstream_image.h"
#include "tests/encoder/context_encoder.h"
#include "tests/encoder/method1_encoder.h"
#include "tests/encoder/method2_encoder.h"
#include "tests/encoder/pqz_writer.h"
#include "tests/encoder/test_images.h"

namespace pqz::test {

std::vector<uint8_t> everyFamilyFile() {
    const enc::Picture grey = enc::crop(enc::loadImage("camera.png"), 180, 150, 40, 36);
    const enc::Picture colour = enc::crop(enc::loadImage("astronaut.png"), 200, 120, 32, 24);
    enc::PqzWriter w;
    w.extraBlock(3, {1, 2, 3, 4, 5, 6});
    enc::ImageBlock raw;
    raw.width = uint16_t(grey.width);
    raw.height = uint16_t(grey.height);
    raw.format = 0x48;
    raw.payload = grey.pixels;
    raw.aux = std::make_pair(uint32_t(100), std::vector<uint8_t>{7, 7, 7});
    w.imageBlock(raw);

    const enc::StoredImage g = enc::storedImage(grey, 8);
    w.imageBlock(enc::encodeContextImage(g.width, g.height, g.format, g.data).block);
    enc::ContextImageOptions separate;
    separate.route = enc::ContextRoute::kSeparatePlanes;
    const enc::StoredImage c = enc::storedImage(colour, 24);
    w.imageBlock(enc::encodeContextImage(c.width, c.height, c.format, c.data, separate).block);

    w.imageBlock(enc::encodeMethod1Picture(grey, 0).block);
    w.imageBlock(enc::encodeMethod1Picture(colour, 1, true, true).block);
    w.extraBlock(4, {});
    w.imageBlock(enc::encodeMethod2Picture(grey, 0).block);
    w.imageBlock(enc::encodeMethod2Picture(colour, 0).block);

    enc::BitstreamImageOptions planes;
    planes.separatePlanes = true;
    w.imageBlock(enc::encodeBitstreamImage(enc::storedImage(colour), planes, nullptr));
    enc::BitstreamImageOptions whole;
    whole.planeTable = false;
    w.imageBlock(enc::encodeBitstreamImage(enc::storedImage(grey, 4), whole, nullptr));
    enc::ContextImageOptions bytePlanes;
    bytePlanes.coding.forceBytePlanes = true;
    w.imageBlock(enc::encodeContextImage(c.width, c.height, c.format, c.data, bytePlanes).block);
    w.extraBlock(5, std::vector<uint8_t>(40, 9));
    return w.bytes();
}

}  // namespace pqz::test
