// Method-1 images written by the test encoder and read back through the public interface: grey,
// palette and colour images, one interleaved stream or one stream per plane, with and without
// plane references, lossless and near-lossless.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "tests/encoder/method1_encoder.h"
#include "tests/encoder/pqz_writer.h"
#include "tests/encoder/test_images.h"
#include "tests/test_support.h"

namespace pqz {
namespace {

using enc::Method1Image;
using enc::Method1Options;
using enc::PlaneSpec;
using enc::planeSpec;

// The rows the bitmap must show for the decoded pixels (top first, without padding): 32-bit
// pixels lose their fourth byte, 16-bit ones widen to 24 bits, everything else is unchanged.
std::vector<uint8_t> bitmapRows(const std::vector<uint8_t>& pixels, int bpp) {
    std::vector<uint8_t> rows;
    if (bpp == 32) {
        for (size_t i = 0; i < pixels.size(); i += 4)
            rows.insert(rows.end(), pixels.begin() + i, pixels.begin() + i + 3);
    } else if (bpp == 16) {
        for (size_t i = 0; i < pixels.size(); i += 2) {
            const uint32_t v = pixels[i] | pixels[i + 1] << 8;
            rows.push_back(uint8_t(v * 8));
            rows.push_back(uint8_t((v / 4) & 0xF8));
            rows.push_back(uint8_t((v / 128) & 0xF8));
        }
    } else {
        rows = pixels;
    }
    return rows;
}

// Writes the image to a file, reads it back, and checks the bitmap against the pixels the
// encoder says the decoder must produce.
void expectRoundTrip(const Method1Image& img, const std::string& what) {
    SCOPED_TRACE(what);
    test::TempDir dir;
    enc::PqzWriter w;
    w.imageBlock(img.block);
    int error = -1;
    std::vector<test::Bitmap> bitmaps =
        test::readAllImages(test::writeTemp(dir, w.bytes()), &error);
    ASSERT_EQ(error, 0);
    ASSERT_EQ(bitmaps.size(), 1u);
    const test::Bitmap& b = bitmaps[0];
    const int bpp = img.block.format & 0x3F;
    EXPECT_EQ(b.width, img.block.width);
    EXPECT_EQ(b.height, img.block.height);
    EXPECT_EQ(b.bitCount, bpp == 32 || bpp == 16 ? 24 : bpp);
    const std::vector<uint8_t> want = bitmapRows(img.expected, bpp);
    ASSERT_EQ(b.rows.size(), want.size());
    size_t firstDiff = 0;
    while (firstDiff < want.size() && b.rows[firstDiff] == want[firstDiff]) firstDiff++;
    EXPECT_EQ(firstDiff, want.size()) << "first wrong byte " << firstDiff << " of " << want.size()
                                      << " (row " << firstDiff / b.rowBytes << ")";
}

// Every decoded sample lies within the tolerance of the original; lossless means equal.
void expectWithinTolerance(const Method1Image& img, const std::vector<uint8_t>& original) {
    ASSERT_EQ(img.expected.size(), original.size());
    int worst = 0;
    for (size_t i = 0; i < original.size(); i++)
        worst = std::max(worst, std::abs(int(img.expected[i]) - int(original[i])));
    EXPECT_LE(worst, img.tolerance);
}

std::vector<uint8_t> noise(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& x : v) x = uint8_t(rng());
    return v;
}

// A colour crop with an alpha plane made from its pixels, for 32-bit images.
std::vector<uint8_t> withAlpha(const enc::Picture& rgb) {
    const std::vector<uint8_t> bgr = enc::toStoredBgr(rgb);
    std::vector<uint8_t> out;
    for (size_t i = 0; i < bgr.size(); i += 3) {
        out.insert(out.end(), bgr.begin() + i, bgr.begin() + i + 3);
        out.push_back(uint8_t((bgr[i] + 2 * bgr[i + 1]) / 3 ^ (i & 0x10)));
    }
    return out;
}

TEST(Method1RoundTrip, GreyPhotoAtEveryTolerance) {
    const enc::Picture grey = enc::crop(enc::loadImage("camera.png"), 180, 100, 97, 61);
    for (int tolerance : {0, 1, 5, 15}) {
        for (bool separate : {false, true}) {
            if (separate && tolerance % 5 != 0) continue;
            Method1Options o;
            o.tolerance = tolerance;
            o.separatePlanes = separate;
            const Method1Image img =
                enc::encodeMethod1(grey.pixels.data(), grey.width, grey.height, 1, o);
            expectWithinTolerance(img, grey.pixels);
            expectRoundTrip(img, "tolerance " + std::to_string(tolerance) +
                                     (separate ? " separate" : " interleaved"));
        }
    }
}

TEST(Method1RoundTrip, PaletteImageKeepsIndicesAndColours) {
    const enc::Picture pal = enc::crop(enc::loadImage("green_palette.png", true), 40, 30, 120, 90);
    std::vector<uint8_t> stored(768, 0);
    for (size_t i = 0; i * 3 < pal.paletteRgb.size(); i++) {
        stored[3 * i] = pal.paletteRgb[3 * i + 2];
        stored[3 * i + 1] = pal.paletteRgb[3 * i + 1];
        stored[3 * i + 2] = pal.paletteRgb[3 * i];
    }
    Method1Options o;
    o.palette = stored;
    o.grey = false;
    o.tolerance = 7;  // a palette image has no tolerance field: coded losslessly
    const Method1Image img = enc::encodeMethod1(pal.pixels.data(), pal.width, pal.height, 1, o);
    EXPECT_EQ(img.block.format, 0x88);
    EXPECT_EQ(img.tolerance, 0);
    EXPECT_EQ(img.expected, pal.pixels);
    expectRoundTrip(img, "palette");
}

TEST(Method1RoundTrip, ColourInterleavedWithAndWithoutReferences) {
    const enc::Picture rgb = enc::crop(enc::loadImage("astronaut.png"), 200, 150, 71, 53);
    const std::vector<uint8_t> bgr = enc::toStoredBgr(rgb);
    for (bool refs : {false, true}) {
        for (int tolerance : {0, 1, 5, 15}) {
            const Method1Image img = enc::encodeMethod1Picture(rgb, tolerance, refs);
            EXPECT_EQ(img.block.flags, 0x34);
            expectWithinTolerance(img, bgr);
            expectRoundTrip(img, std::string(refs ? "references" : "plain") + " tolerance " +
                                     std::to_string(tolerance));
        }
    }
}

// Four planes in several decoding orders, references with odd and negative weights and
// offsets; the plane decoded last may refer to the three in front of it only at position 3.
TEST(Method1RoundTrip, FourPlanesInAnyOrderWithWeights) {
    const enc::Picture rgb = enc::crop(enc::loadImage("coffee.png"), 300, 120, 45, 38);
    const std::vector<uint8_t> bgra = withAlpha(rgb);
    const std::vector<std::vector<PlaneSpec>> layouts = {
        {planeSpec(0), planeSpec(1), planeSpec(2), planeSpec(3)},
        {planeSpec(2, true, 7, 100, 29), planeSpec(0), planeSpec(1, true, 250),
         planeSpec(3, true, 3, -20, 90, 57)},
        {planeSpec(3), planeSpec(2, true, 0, -64, 191), planeSpec(0), planeSpec(1, true, 128)},
        {planeSpec(1, true, 1), planeSpec(3), planeSpec(0), planeSpec(2, true, 200, 77, -33)},
    };
    for (size_t l = 0; l < layouts.size(); l++) {
        const int bpp = l % 2 ? 28 : 32;  // 28 bits keep the fourth byte in the bitmap
        for (int tolerance : {0, 5}) {
            for (bool separate : {false, true}) {
                Method1Options o;
                o.planes = layouts[l];
                o.bitsPerPixel = bpp;
                o.tolerance = tolerance;
                o.separatePlanes = separate;
                const Method1Image img =
                    enc::encodeMethod1(bgra.data(), rgb.width, rgb.height, 4, o);
                expectWithinTolerance(img, bgra);
                expectRoundTrip(img, "layout " + std::to_string(l) + " tolerance " +
                                         std::to_string(tolerance) +
                                         (separate ? " separate" : " interleaved"));
            }
        }
    }
}

TEST(Method1RoundTrip, SeparatePlanesMergeOntoReferences) {
    const enc::Picture rgb = enc::crop(enc::loadImage("astronaut.png"), 10, 300, 64, 40);
    const std::vector<uint8_t> bgr = enc::toStoredBgr(rgb);
    for (int tolerance : {0, 1, 15}) {
        const Method1Image img = enc::encodeMethod1Picture(rgb, tolerance, true, true);
        EXPECT_EQ(img.block.flags, 0x3C);
        expectWithinTolerance(img, bgr);
        expectRoundTrip(img, "24-bit tolerance " + std::to_string(tolerance));
    }
    // Two planes (16 bits per pixel) can only be coded one plane at a time; no tolerance field.
    std::vector<uint8_t> twoPlanes;
    for (size_t i = 0; i < bgr.size(); i += 3) {
        twoPlanes.push_back(bgr[i]);
        twoPlanes.push_back(bgr[i + 1] & 0x7F);
    }
    Method1Options o;
    o.separatePlanes = true;
    o.planes = {planeSpec(1, true, 9), planeSpec(0)};
    const Method1Image img = enc::encodeMethod1(twoPlanes.data(), rgb.width, rgb.height, 2, o);
    EXPECT_EQ(img.expected, twoPlanes);
    expectRoundTrip(img, "16-bit");
}

TEST(Method1RoundTrip, TinyImages) {
    const int sizes[][2] = {{1, 1}, {1, 9}, {9, 1}, {2, 3}, {5, 0}, {0, 4}, {6, 7}};
    uint32_t seed = 1;
    for (const auto& size : sizes) {
        const int w = size[0], h = size[1];
        const std::string name = std::to_string(w) + "x" + std::to_string(h);
        Method1Options o;
        o.tolerance = seed % 2 ? 0 : 3;
        const std::vector<uint8_t> grey = noise(size_t(w) * h, seed++);
        expectRoundTrip(enc::encodeMethod1(grey.data(), w, h, 1, o), "grey " + name);
        o.planes = enc::colourReferencePlanes(3);
        const std::vector<uint8_t> bgr = noise(size_t(w) * h * 3, seed++);
        expectRoundTrip(enc::encodeMethod1(bgr.data(), w, h, 3, o), "colour " + name);
        o.planes = enc::colourReferencePlanes(4);
        o.separatePlanes = true;
        const std::vector<uint8_t> bgra = noise(size_t(w) * h * 4, seed++);
        expectRoundTrip(enc::encodeMethod1(bgra.data(), w, h, 4, o), "separate " + name);
    }
}

// Whole pictures: symbol models mature and stop training their neighbours, escapes are
// frequent, and magnitude classes and tree nodes rescale.
TEST(Method1RoundTrip, LargePicturesMatureTheModels) {
    const enc::Picture camera = enc::loadImage("camera.png");
    const Method1Image grey = enc::encodeMethod1Picture(camera);
    EXPECT_GT(grey.stats.symbolRescales, 100u);
    EXPECT_GT(grey.stats.escapes, 10000u);
    EXPECT_GT(grey.stats.classRescales, 100u);
    expectRoundTrip(grey, "camera");

    // Sparse dots of one level: every escape codes the same magnitude, in few contexts that
    // soon stop being trained, so the nodes on its path grow until they are halved.
    std::mt19937 rng(1);
    std::vector<uint8_t> dots(256 * 256);
    for (auto& v : dots) v = rng() % 100 < 10 ? 100 : 0;
    const Method1Image sparse = enc::encodeMethod1(dots.data(), 256, 256, 1);
    EXPECT_GT(sparse.stats.nodeRescales, 0u);
    expectRoundTrip(sparse, "dots");

    const enc::Picture logo = enc::crop(enc::loadImage("logo.png"), 100, 100, 300, 260);
    const Method1Image colour = enc::encodeMethod1Picture(logo, 1, true);
    expectWithinTolerance(colour, enc::toStoredBgr(logo));
    expectRoundTrip(colour, "logo");
}

}  // namespace
}  // namespace pqz
