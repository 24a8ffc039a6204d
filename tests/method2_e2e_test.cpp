// Method-2 images end to end: photos and synthetic pictures coded by the test encoder on every
// route (one 8-bit stream, interleaved 3/4-plane streams, separately coded planes with the merge),
// written as files and read back through the public interface.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>

#include "tests/encoder/method2_encoder.h"
#include "tests/test_support.h"

namespace pqz::enc {
namespace {

Method2Image greyImage(const Picture& p, int tolerance, bool separate = false) {
    Method2Image img;
    img.width = uint16_t(p.width);
    img.height = uint16_t(p.height);
    img.bitsPerPixel = 8;
    img.grey = true;
    img.pixels = p.channels == 1 ? p.pixels : toGrey(p).pixels;
    img.tolerance = tolerance;
    img.separate = separate;
    return img;
}

Method2Image colourImage(const Picture& p, int bitsPerPixel, int tolerance,
                         std::vector<PlaneSpec> planes = {}, bool separate = false) {
    Method2Image img;
    img.width = uint16_t(p.width);
    img.height = uint16_t(p.height);
    img.bitsPerPixel = bitsPerPixel;
    img.pixels = toStoredBgr(p);
    img.tolerance = tolerance;
    img.planes = std::move(planes);
    img.separate = separate;
    return img;
}

// The rows a bitmap shows for stored pixels: 32-bit pixels lose byte 3, 16-bit pixels become
// 5-5-5 colours of 24 bits, others are unchanged.
std::vector<uint8_t> bitmapRows(const Method2Image& img, const std::vector<uint8_t>& pixels) {
    std::vector<uint8_t> rows;
    if (img.bitsPerPixel == 32) {
        for (size_t j = 0; j + 3 < pixels.size(); j += 4)
            rows.insert(rows.end(), pixels.begin() + j, pixels.begin() + j + 3);
    } else if (img.bitsPerPixel == 16) {
        for (size_t j = 0; j + 1 < pixels.size(); j += 2) {
            const unsigned v = pixels[j] | pixels[j + 1] << 8;
            rows.insert(rows.end(),
                        {uint8_t(v * 8), uint8_t((v / 4) & 0xF8), uint8_t((v / 128) & 0xF8)});
        }
    } else {
        rows = pixels;
    }
    return rows;
}

// Every reconstructed byte lies within the tolerance the head carries.
void expectWithinTolerance(const Method2Image& img, const std::vector<uint8_t>& decoded) {
    const int tol = headHasTolerance(img.bitsPerPixel, img.grey) ? img.tolerance : 0;
    ASSERT_EQ(decoded.size(), img.pixels.size());
    int worst = 0;
    for (size_t j = 0; j < decoded.size(); j++)
        worst = std::max(worst, std::abs(int(decoded[j]) - int(img.pixels[j])));
    EXPECT_LE(worst, tol);
    if (tol == 0) {
        EXPECT_EQ(decoded, img.pixels);
    }
}

// Reads the file back and compares each bitmap with the pixels the encoder reconstructed.
void checkReadBack(const PqzWriter& w, const std::vector<Method2Image>& images,
                   const std::vector<Method2Payload>& coded) {
    test::TempDir dir;
    int err = -1;
    std::vector<test::Bitmap> read = test::readAllImages(test::writeTemp(dir, w.bytes()), &err);
    EXPECT_EQ(err, 0);
    ASSERT_EQ(read.size(), images.size());
    for (size_t i = 0; i < images.size(); i++) {
        SCOPED_TRACE("image " + std::to_string(i));
        const Method2Image& img = images[i];
        EXPECT_EQ(read[i].width, img.width);
        EXPECT_EQ(read[i].height, img.height);
        const std::vector<uint8_t> want = bitmapRows(img, coded[i].pixels);
        ASSERT_EQ(read[i].rows.size(), want.size());
        for (size_t j = 0; j < want.size(); j++) {
            if (read[i].rows[j] == want[j]) continue;
            const size_t bpp = want.size() / std::max<size_t>(1, size_t(img.width) * img.height);
            const size_t pixel = j / bpp;
            FAIL() << "first wrong byte at x " << pixel % img.width << ", y " << pixel / img.width
                   << ", byte " << j % bpp << ": read " << int(read[i].rows[j]) << ", coded "
                   << int(want[j]);
        }
    }
}

// Encodes every image into one file and checks what the reader makes of it. Returns what the
// encoder made.
std::vector<Method2Payload> roundTrip(const std::vector<Method2Image>& images) {
    PqzWriter w;
    std::vector<Method2Payload> coded;
    for (const Method2Image& img : images) {
        coded.push_back(encodeMethod2Image(img));
        EXPECT_FALSE(coded.back().slotOverflow);
        expectWithinTolerance(img, coded.back().pixels);
        w.imageBlock(coded.back().block);
    }
    checkReadBack(w, images, coded);
    return coded;
}
const Picture& photo(const char* name) {
    static std::map<std::string, Picture> cache;
    auto it = cache.find(name);
    if (it == cache.end()) it = cache.emplace(name, loadImage(name)).first;
    return it->second;
}

TEST(Method2EndToEnd, GreyPhotosInOneStreamAndAsSeparatePlane) {
    const Picture cam = crop(photo("camera.png"), 180, 120, 96, 80);
    const Picture moon = crop(photo("moon.png"), 200, 200, 72, 64);
    const Picture page = crop(photo("page.png"), 20, 40, 128, 48);
    roundTrip({greyImage(cam, 0), greyImage(cam, 1), greyImage(moon, 3), greyImage(page, 15),
               greyImage(page, 0, true), greyImage(moon, 3, true)});
}

TEST(Method2EndToEnd, ColourPhotosWithAndWithoutReferences) {
    const Picture a = crop(photo("astronaut.png"), 160, 60, 80, 72);
    const Picture c = crop(photo("coffee.png"), 250, 120, 72, 64);
    roundTrip({
        colourImage(a, 24, 0),
        // Coded green, blue, red; green predicted from blue, red from both.
        colourImage(a, 24, 0, {planeSpec(1), planeSpec(0, true), planeSpec(2, true, 0, 64, 64)}),
        colourImage(c, 24, 1,
                    {planeSpec(2, true, 3, 191, -64), planeSpec(0), planeSpec(1, true, 250)}),
        colourImage(c, 24, 3, {planeSpec(0), planeSpec(2, true, 0, 0, 128), planeSpec(1)}),
        colourImage(a, 24, 15, {planeSpec(1), planeSpec(2), planeSpec(0)}),
    });
}

TEST(Method2EndToEnd, FourPlanesWithAlpha) {
    // The logo has flat areas and an alpha channel with hard edges.
    const Picture logo = crop(photo("logo.png"), 150, 150, 96, 80);
    ASSERT_EQ(logo.channels, 4);
    roundTrip({
        colourImage(logo, 32, 0),
        colourImage(logo, 32, 3,
                    {planeSpec(2, true, 0, 64, 64), planeSpec(0), planeSpec(1, true),
                     planeSpec(3, true, 0, 40, 40, 40)}),
        // 28 bits: the bitmap keeps byte 3, so the reference weights on it are checked.
        colourImage(
            logo, 28, 0,
            {planeSpec(0), planeSpec(1, true), planeSpec(2), planeSpec(3, true, 9, 50, -20, 90)}),
        colourImage(logo, 28, 1, {planeSpec(1), planeSpec(2), planeSpec(0), planeSpec(3)}),
    });
}

TEST(Method2EndToEnd, SeparatelyCodedPlanesWithMerge) {
    const Picture a = crop(photo("astronaut.png"), 300, 300, 64, 64);
    const Picture logo = crop(photo("logo.png"), 100, 200, 64, 48);
    Method2Image sixteen;  // two planes, no tolerance field
    sixteen.width = 64;
    sixteen.height = 64;
    sixteen.bitsPerPixel = 16;
    sixteen.separate = true;
    for (size_t j = 0; j < a.pixels.size(); j += 3)
        sixteen.pixels.insert(sixteen.pixels.end(), {a.pixels[j], uint8_t(a.pixels[j + 1] & 0x7F)});
    sixteen.planes = {planeSpec(1, true, 17), planeSpec(0)};
    roundTrip({
        colourImage(a, 24, 0, {planeSpec(0), planeSpec(1, true, 5), planeSpec(2, true, 0, 64, 64)},
                    true),
        colourImage(a, 24, 3, {planeSpec(2, true, 0, 100, 28), planeSpec(0), planeSpec(1, true)},
                    true),
        colourImage(logo, 28, 1,
                    {planeSpec(0), planeSpec(1, true), planeSpec(2, true, 0, -64, 191),
                     planeSpec(3, true, 7, 30, 40, 50)},
                    true),
        sixteen,
    });
}

TEST(Method2EndToEnd, PaletteIndices) {
    const Picture idx = crop(loadImage("green_palette.png", true), 40, 30, 96, 64);
    Method2Image img;
    img.width = 96;
    img.height = 64;
    img.pixels = idx.pixels;
    img.palette.assign(768, 0);
    for (size_t i = 0; i * 3 < idx.paletteRgb.size() && i < 256; i++) {
        img.palette[3 * i] = idx.paletteRgb[3 * i + 2];
        img.palette[3 * i + 1] = idx.paletteRgb[3 * i + 1];
        img.palette[3 * i + 2] = idx.paletteRgb[3 * i];
    }
    img.tolerance = 5;  // not stored: a palette image has no tolerance field
    roundTrip({img});
}

// Narrow images: the left margins of rows reach records past a row of width 1 or 2.
TEST(Method2EndToEnd, NarrowAndEmptyImages) {
    std::mt19937 rng(5);
    auto noisy = [&](int w, int h, int channels) {
        Picture p;
        p.width = w;
        p.height = h;
        p.channels = channels;
        for (int i = 0; i < w * h * channels; i++) p.pixels.push_back(uint8_t(100 + rng() % 40));
        return p;
    };
    std::vector<Method2Image> images;
    for (int w : {0, 1, 2, 3}) {
        for (int h : {1, 2, 40}) {
            images.push_back(greyImage(noisy(w, h, 1), w % 2));
            images.push_back(
                colourImage(noisy(w, h, 3), 24, 0,
                            {planeSpec(1), planeSpec(0), planeSpec(2, true, 0, 64, 64)}));
            images.push_back(colourImage(noisy(w, h, 4), 28, 0));
        }
    }
    images.push_back(greyImage(noisy(5, 0, 1), 0));
    images.push_back(greyImage(noisy(2, 30, 1), 0, true));
    roundTrip(images);
}

// A zero residual may also be coded as the longest even symbol (2 + 2 x 127).
TEST(Method2EndToEnd, LongSymbolForZeroResidual) {
    Method2Image grey = greyImage(crop(photo("page.png"), 0, 0, 64, 40), 0);
    grey.longZeroEvery = 3;
    Method2Image colour = colourImage(crop(photo("coffee.png"), 0, 0, 48, 40), 24, 0);
    colour.longZeroEvery = 2;
    roundTrip({grey, colour});
}

// Large enough for hundreds of predictor slots, matured bias cells and residual models that
// rescale many times.
TEST(Method2EndToEnd, LargePhotos) {
    const Picture cam = photo("camera.png");
    std::vector<Method2Payload> coded = roundTrip(
        {greyImage(cam, 0), colourImage(crop(photo("coffee.png"), 100, 50, 192, 128), 24, 1)});
    for (const Method2Payload& p : coded) {
        EXPECT_GT(p.stats.slots, 500);
        EXPECT_GT(p.stats.ternaryRescales, 1000u);
        EXPECT_GT(p.stats.cellsSettled, 0u);
        EXPECT_GT(p.stats.classRescales, 100u);
    }
}

// Thousands of equal large residuals in the same magnitude contexts: the first row alternates
// 0 and 128, so every residual is -128, and the tree nodes of the top class overflow and halve.
TEST(Method2EndToEnd, RepeatedLargeResidualsHalveTreeNodes) {
    Picture p;
    p.width = 4200;
    p.height = 2;
    p.channels = 1;
    for (int i = 0; i < p.width * p.height; i++) p.pixels.push_back(i & 1 ? 128 : 0);
    std::vector<Method2Payload> coded = roundTrip({greyImage(p, 0)});
    EXPECT_GT(coded[0].stats.nodeRescales, 0u);
}

}  // namespace
}  // namespace pqz::enc
