// Context-model coded images written by the test encoder and read back through the public
// interface: every bitmap must show exactly the pixels that were coded.
#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "tests/encoder/context_encoder.h"
#include "tests/encoder/test_images.h"
#include "tests/test_support.h"

namespace pqz {
namespace {

using enc::ContextImageOptions;
using enc::ContextRoute;
using enc::Picture;

struct Image {
    std::string name;
    int width = 0, height = 0;
    uint8_t format = 0;
    std::vector<uint8_t> pixels;  // the container's raw layout
    ContextImageOptions options;
};

// The rows the bitmap shows for raw pixel data: 2-bit pixels widened to 4 bits, 15- and
// 16-bit pixels to 5-5-5 colour in 24 bits, 32-bit pixels without their fourth byte.
std::vector<uint8_t> bitmapRows(const Image& im) {
    const int bpp = im.format & 0x3F;
    const size_t n = size_t(im.width) * im.height;
    std::vector<uint8_t> out;
    if (bpp == 2) {
        const uint32_t src = enc::rowBytesFor(uint32_t(im.width), 2);
        const uint32_t dst = enc::rowBytesFor(uint32_t(im.width), 4);
        auto widen = [](int c) { return uint8_t((c & 3) | ((c & 0xC) * 4)); };
        for (int y = 0; y < im.height; y++) {
            std::vector<uint8_t> row;
            for (uint32_t i = 0; i < src; i++) {
                const uint8_t b = im.pixels[y * src + i];
                row.push_back(widen(b >> 4));
                row.push_back(widen(b & 15));
            }
            out.insert(out.end(), row.begin(), row.begin() + dst);
        }
    } else if (bpp == 15 || bpp == 16) {
        for (size_t i = 0; i < n; i++) {
            const uint32_t v = im.pixels[2 * i] | im.pixels[2 * i + 1] << 8;
            out.push_back(uint8_t(v * 8));
            out.push_back(uint8_t((v / 4) & 0xF8));
            out.push_back(uint8_t((v / 128) & 0xF8));
        }
    } else if (bpp == 32) {
        for (size_t i = 0; i < n; i++)
            out.insert(out.end(), &im.pixels[4 * i], &im.pixels[4 * i] + 3);
    } else {
        out = im.pixels;
    }
    return out;
}

// Codes the images into one file, reads them all back and compares every bitmap. Returns what
// the encoder saw in the first coded plane of each image.
std::vector<enc::ContextEncodeStats> roundTrip(const std::vector<Image>& images) {
    enc::PqzWriter writer;
    std::vector<enc::ContextEncodeStats> stats;
    for (const Image& im : images) {
        enc::ContextImageResult r =
            enc::encodeContextImage(im.width, im.height, im.format, im.pixels, im.options);
        EXPECT_TRUE(r.ok) << im.name << ": " << r.error;
        writer.imageBlock(r.block);
        stats.push_back(r.stats.empty() ? enc::ContextEncodeStats{} : r.stats[0]);
    }
    test::TempDir dir;
    int error = -1;
    std::vector<test::Bitmap> read =
        test::readAllImages(test::writeTemp(dir, writer.bytes()), &error);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(read.size(), images.size());
    for (size_t i = 0; i < images.size() && i < read.size(); i++) {
        const Image& im = images[i];
        const std::vector<uint8_t> want = bitmapRows(im);
        EXPECT_EQ(read[i].width, im.width) << im.name;
        EXPECT_EQ(read[i].height, im.height) << im.name;
        EXPECT_EQ(read[i].rows.size(), want.size()) << im.name;
        for (size_t j = 0; j < want.size() && j < read[i].rows.size(); j++) {
            if (read[i].rows[j] == want[j]) continue;
            ADD_FAILURE() << im.name << ": byte " << j << " (row " << j / read[i].rowBytes
                          << ") of " << want.size();
            break;
        }
    }
    return stats;
}

const Picture& camera() {
    static const Picture p = enc::toGrey(enc::loadImage("camera.png"));
    return p;
}

const Picture& astronaut() {
    static const Picture p = enc::loadImage("astronaut.png");
    return p;
}

const Picture& logo() {
    static const Picture p = enc::loadImage("logo.png");
    return p;
}

Image grey(const std::string& name, const Picture& p, int bits,
           ContextRoute route = ContextRoute::kOneGo) {
    Image im;
    im.name = name;
    im.width = p.width;
    im.height = p.height;
    im.format = uint8_t(0x40 | bits);
    im.pixels = enc::packSamples(enc::quantise(p, bits).pixels, p.width, p.height, bits);
    im.options.route = route;
    return im;
}

Image colour(const std::string& name, const Picture& p, ContextRoute route) {
    Image im;
    im.name = name;
    im.width = p.width;
    im.height = p.height;
    im.format = uint8_t(8 * p.channels);
    im.pixels = enc::toStoredBgr(p);
    im.options.route = route;
    return im;
}

// 16-bit samples from two grey pictures: plenty of distinct values.
Image deep16(const std::string& name, const Picture& hi, const Picture& lo, int bits,
             ContextRoute route) {
    Image im;
    im.name = name;
    im.width = hi.width;
    im.height = hi.height;
    im.format = uint8_t(bits);
    for (size_t i = 0; i < hi.pixels.size(); i++) {
        uint32_t v = uint32_t(hi.pixels[i]) << 8 | lo.pixels[i];
        if (bits == 15) v &= 0x7FFF;
        im.pixels.push_back(uint8_t(v));
        im.pixels.push_back(uint8_t(v >> 8));
    }
    im.options.route = route;
    return im;
}

TEST(ContextModelImages, GreyImagesOfOneToEightBits) {
    const Picture c = enc::crop(camera(), 150, 90, 97, 61);
    std::vector<Image> images;
    for (int bits : {1, 2, 3, 4, 5, 6, 7, 8})
        images.push_back(grey("grey " + std::to_string(bits), c, bits));
    // Up to 4 bits the plane-table and separate-plane flags mean nothing; above, a one-byte
    // pixel may still go through the plane table.
    for (int bits : {1, 2, 4, 6})
        images.push_back(
            grey("separate " + std::to_string(bits), c, bits, ContextRoute::kSeparatePlanes));
    images.push_back(grey("table 7", c, 7, ContextRoute::kOneGoWithTable));
    roundTrip(images);
}

TEST(ContextModelImages, NarrowAndOddWidths) {
    std::vector<Image> images;
    for (int w : {1, 2, 3, 5, 9, 31}) {
        const Picture c = enc::crop(camera(), 200, 150, w, 70);
        for (int bits : {1, 2, 4, 8})
            images.push_back(
                grey("width " + std::to_string(w) + " bits " + std::to_string(bits), c, bits));
    }
    roundTrip(images);
}

TEST(ContextModelImages, DeepImagesInOneGo) {
    const Picture a = enc::crop(astronaut(), 180, 60, 73, 51);
    const Picture l = enc::crop(logo(), 120, 150, 81, 47);
    const Picture hi = enc::crop(camera(), 10, 300, 67, 45);
    const Picture lo = enc::crop(enc::toGrey(enc::loadImage("moon.png")), 200, 200, 67, 45);
    std::vector<Image> images;
    for (ContextRoute route : {ContextRoute::kOneGo, ContextRoute::kOneGoWithTable}) {
        images.push_back(colour("24-bit", a, route));
        images.push_back(colour("32-bit", l, route));
        images.push_back(deep16("16-bit", hi, lo, 16, route));
        images.push_back(deep16("15-bit", hi, lo, 15, route));
    }
    roundTrip(images);
}

TEST(ContextModelImages, SeparatelyCodedPlanes) {
    const Picture a = enc::crop(astronaut(), 250, 200, 64, 48);
    const Picture l = enc::crop(logo(), 200, 100, 57, 40);
    std::vector<Image> images = {
        colour("24-bit", a, ContextRoute::kSeparatePlanes),
        colour("32-bit", l, ContextRoute::kSeparatePlanes),
        grey("8-bit", enc::crop(camera(), 0, 0, 40, 30), 8, ContextRoute::kSeparatePlanes)};
    // Planes in another decoding order, with methods that leave them unfiltered.
    Image shuffled = colour("24-bit shuffled", a, ContextRoute::kSeparatePlanes);
    shuffled.options.planes.resize(3);
    const uint8_t orders[3] = {2, 0, 1}, methods[3] = {3, 0, 2};
    for (int p = 0; p < 3; p++) {
        shuffled.options.planes[p].order = orders[p];
        shuffled.options.planes[p].method = methods[p];
    }
    images.push_back(shuffled);
    images.push_back(deep16("16-bit planes", enc::crop(camera(), 300, 40, 45, 33),
                            enc::crop(camera(), 40, 300, 45, 33), 16,
                            ContextRoute::kSeparatePlanes));
    roundTrip(images);
}

TEST(ContextModelImages, PlanesWithMoreThan8192Values) {
    // 16-bit samples from two photos and a 24-bit photo crop: byte planes of enlarged height.
    // The low byte is sensor noise over the photo.
    const Picture hi = enc::crop(camera(), 100, 100, 128, 96);
    Picture lo = hi;
    std::mt19937 rng(4);
    for (auto& v : lo.pixels) v = uint8_t(rng());
    Image deep = deep16("16-bit", hi, lo, 16, ContextRoute::kOneGo);
    Image photo =
        colour("24-bit", enc::crop(astronaut(), 100, 100, 120, 120), ContextRoute::kOneGo);
    for (const auto& s : roundTrip({deep, photo})) EXPECT_TRUE(s.bytePlanes);
}

TEST(ContextModelImages, ConstantPlanesRunOverWholeRows) {
    std::vector<Image> images;
    for (int value : {0, 1, 200}) {
        for (int w : {1, 2, 13, 64}) {
            Picture flat;
            flat.width = w;
            flat.height = 9;
            flat.channels = 1;
            flat.pixels.assign(size_t(w) * 9, uint8_t(value));
            images.push_back(
                grey("constant " + std::to_string(value) + " width " + std::to_string(w), flat, 8));
            if (value <= 1) images.push_back(grey("constant 1-bit", flat, 1));
        }
    }
    Picture white;
    white.width = 37;
    white.height = 5;
    white.channels = 3;
    white.pixels.assign(37 * 5 * 3, 255);
    images.push_back(colour("white 24-bit", white, ContextRoute::kOneGo));
    images.push_back(colour("white 24-bit planes", white, ContextRoute::kSeparatePlanes));
    const auto stats = roundTrip(images);
    EXPECT_EQ(stats[0].runsTaken, 9);  // one run per row
    EXPECT_EQ(stats[0].escapes, 0);
}

TEST(ContextModelImages, EmptyImagesStillCarryAValueTable) {
    std::vector<Image> images;
    for (auto [w, h, format] : {std::tuple{0, 5, 0x48}, {6, 0, 0x18}, {0, 0, 0x41}}) {
        Image im;
        im.name = std::to_string(w) + "x" + std::to_string(h);
        im.width = w;
        im.height = h;
        im.format = uint8_t(format);
        images.push_back(im);
    }
    images[1].options.route = ContextRoute::kSeparatePlanes;
    roundTrip(images);
}

TEST(ContextModelImages, SmallAlphabets) {
    // Fewer than 32 values in 8-bit planes: the small-alphabet contexts; a flat logo with long
    // runs; two-value noise.
    std::vector<Image> images;
    const Picture c = enc::crop(camera(), 60, 60, 90, 70);
    for (int bits : {1, 2, 3, 4}) {
        Image im = grey("8-bit with " + std::to_string(1 << bits) + " values", c, 8);
        for (auto& v : im.pixels) v = uint8_t((v >> (8 - bits)) * 3 + 17);
        images.push_back(im);
    }
    images.push_back(grey("logo 4-bit", enc::toGrey(enc::crop(logo(), 0, 0, 250, 120)), 4));
    std::mt19937 rng(9);
    Picture noise = c;
    for (auto& v : noise.pixels) v = (rng() & 1) ? 255 : 0;
    images.push_back(grey("noise", noise, 8));
    const auto stats = roundTrip(images);
    for (const auto& s : stats) EXPECT_GT(s.smallModels, 0);
    EXPECT_GT(stats[4].runsTaken, 100);
}

TEST(ContextModelImages, WholePhotoReachesEveryCodingPath) {
    const enc::ContextEncodeStats s = roundTrip({grey("camera", camera(), 8)})[0];
    EXPECT_GT(s.runsTaken, 0);
    EXPECT_GT(s.runs, s.runsTaken);
    EXPECT_GT(s.neighbourChoices, 0);
    EXPECT_GT(s.candidatesTaken, 0);
    for (int k = 0; k < 3; k++) EXPECT_GT(s.chainFound[k], 0) << "list " << k;
    EXPECT_GT(s.stampWraps, 100);
    EXPECT_GT(s.listRescales, 0);
    EXPECT_GT(s.duplicateEntries, 0);  // lists may hold an index twice
    EXPECT_GT(s.localSlots, 1000);
    EXPECT_GT(s.localModels, 4000);
    // Run fills copy equality flags instead of comparing; they still agree with the indices,
    // so the class model past the table is never chosen.
    EXPECT_EQ(s.falseFlags, 0);
    EXPECT_EQ(s.classModel188, 0);
}

TEST(ContextModelImages, EveryCodingTheFormatAllowsReadsTheSame) {
    // Seeded choices: unused values in the table, byte planes for few values, either copy of
    // an index listed twice, bytes before the closing marker.
    std::vector<Image> images;
    for (uint32_t seed = 1; seed <= 12; seed++) {
        const int x = int(seed * 37 % 400), y = int(seed * 91 % 400);
        Image g = grey("seed " + std::to_string(seed), enc::crop(camera(), x, y, 41, 37),
                       1 + int(seed % 8));
        g.options.coding.seed = seed;
        images.push_back(g);
        Image d =
            colour("seed " + std::to_string(seed) + " 24-bit", enc::crop(astronaut(), x, y, 23, 19),
                   seed % 2 ? ContextRoute::kOneGo : ContextRoute::kSeparatePlanes);
        d.options.coding.seed = seed;
        images.push_back(d);
    }
    roundTrip(images);
}

}  // namespace
}  // namespace pqz
