// Bit-stream-coded images written by the test encoder and read back through the public
// interface: every variant and context flag, separate and interleaved planes, the filters,
// plane references of every order, tolerances, transmitted code lengths and random coder
// choices, on crops of the sample photos in every depth the format stores.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/encoder/bitmap_expect.h"
#include "tests/encoder/bitstream_image.h"
#include "tests/test_support.h"

namespace pqz::enc {
namespace {

// Writes the image to a file, reads it through the library and compares the bitmap with the
// one the expected pixels give. Returns a description of the first difference, or "".
std::string roundTrip(const StoredImage& img, const BitstreamImageOptions& o,
                      std::vector<BitstreamStats>* stats = nullptr) {
    std::vector<uint8_t> expected;
    const ImageBlock block = encodeBitstreamImage(img, o, &expected, stats);
    PqzWriter w;
    w.imageBlock(block);
    static const test::TempDir dir;
    const std::string path = test::writeTemp(dir, w.bytes());
    ReaderHandle* h = pqzOpen(path.c_str());
    DibImage* dib = pqzReadImage(h, nullptr);
    const int err = pqzGetLastError(h);
    std::string problem;
    if (!dib) problem = "no image, error " + std::to_string(err);
    if (dib) {
        const ExpectedBitmap e =
            expectedBitmap(expected, img.width, img.height, img.bitsPerPixel());
        const uint32_t colours = e.bitCount <= 8 ? 4u << e.bitCount : 0;
        const uint8_t* rows = reinterpret_cast<const uint8_t*>(dib + 1) + colours;
        if (dib->biBitCount != e.bitCount || dib->biSizeImage != e.rows.size()) {
            problem = "bitmap of " + std::to_string(dib->biBitCount) + " bits, " +
                      std::to_string(dib->biSizeImage) + " bytes";
        }
        for (int y = 0; y < img.height && problem.empty(); y++)
            for (uint32_t x = 0; x < e.significant && problem.empty(); x++) {
                const size_t i = size_t(img.height - 1 - y) * e.stride + x;
                if (rows[i] != e.rows[i])
                    problem = "row " + std::to_string(y) + " byte " + std::to_string(x) + ": " +
                              std::to_string(rows[i]) + " instead of " + std::to_string(e.rows[i]);
            }
        pqzFreeResource(dib);
    }
    pqzClose(h);
    return problem;
}

std::string describe(const StoredImage& img, const BitstreamImageOptions& o) {
    std::string s = std::to_string(img.width) + "x" + std::to_string(img.height) + " format " +
                    std::to_string(img.format) + (o.separatePlanes ? " separate" : " interleaved") +
                    " tolerance " + std::to_string(o.tolerance) + " seed " +
                    std::to_string(o.coder.seed) + " lengths " +
                    std::to_string(int(o.coder.codeLengths)) + " planes";
    for (const PlaneSpec& p : o.planes)
        s += " [order " + std::to_string(p.order) + " method " + std::to_string(p.method) +
             (p.modelFlag ? " ctx" : "") + (p.hasReference ? " ref" : "") + "]";
    return s;
}

#define EXPECT_ROUND_TRIP(img, o) EXPECT_EQ(roundTrip(img, o), "") << describe(img, o)

using Planes = std::vector<PlaneSpec>;

PlaneSpec plane(int order, int method, bool context = false) {
    return {uint8_t(order), uint8_t(method), context, false, 0, {0, 0, 0}};
}

PlaneSpec reference(int order, int method, bool context, int offset, int c0 = 0, int c1 = 0,
                    int c2 = 0) {
    return {uint8_t(order), uint8_t(method), context, true, uint8_t(offset), {c0, c1, c2}};
}

// A grey picture whose pixel i (in raster order) is pixelOf(i), taken modulo 256.
template <typename PixelOf>
Picture greyPicture(int width, int height, PixelOf pixelOf) {
    Picture p;
    p.width = width;
    p.height = height;
    p.channels = 1;
    for (int i = 0; i < width * height; i++) p.pixels.push_back(uint8_t(pixelOf(i)));
    return p;
}

const Picture& camera() {
    static const Picture p = loadImage("camera.png");
    return p;
}
const Picture& astronaut() {
    static const Picture p = loadImage("astronaut.png");
    return p;
}
const Picture& logo() {
    static const Picture p = loadImage("logo.png");
    return p;
}

TEST(BitstreamRoundTrip, WholeImagesOfEveryDepth) {
    const Picture grey = crop(camera(), 180, 120, 61, 37);
    const Picture colour = crop(astronaut(), 200, 60, 45, 30);
    BitstreamImageOptions o;
    o.planeTable = false;
    for (int bits : {1, 2, 3, 4, 5, 7, 8}) {
        for (uint32_t seed : {0u, 11u}) {
            o.coder.seed = seed;
            o.coder.codeLengths = seed ? CodeLengthChoice::Random : CodeLengthChoice::Fitted;
            EXPECT_ROUND_TRIP(storedImage(grey, bits), o);
        }
    }
    for (int bits : {15, 16, 24, 32}) {
        for (uint32_t seed : {0u, 12u}) {
            o.coder.seed = seed;
            o.coder.codeLengths = seed ? CodeLengthChoice::Random : CodeLengthChoice::Default;
            EXPECT_ROUND_TRIP(
                storedImage(bits == 32 ? crop(logo(), 150, 200, 40, 33) : colour, bits), o);
        }
    }
    // the plane-table flag means nothing at 4 bits per pixel and below
    o.planeTable = true;
    o.coder = {};
    EXPECT_ROUND_TRIP(storedImage(grey, 4), o);
    EXPECT_ROUND_TRIP(storedImage(grey, 1), o);
}

TEST(BitstreamRoundTrip, SeparateGreyPlaneEveryVariantContextFlagAndTolerance) {
    const Picture grey = crop(camera(), 100, 200, 48, 40);
    for (int variant = 0; variant < 4; variant++)
        for (bool context : {false, true})
            for (int tolerance : {0, 1, 5, 15}) {
                BitstreamImageOptions o;
                o.separatePlanes = true;
                o.tolerance = tolerance;
                o.planes = Planes{plane(0, variant, context)};
                o.coder.seed = tolerance == 1 ? 0 : uint32_t(100 + variant * 8 + tolerance);
                o.coder.codeLengths =
                    o.coder.seed ? CodeLengthChoice::Random : CodeLengthChoice::Fitted;
                EXPECT_ROUND_TRIP(storedImage(grey), o);
            }
}

TEST(BitstreamRoundTrip, InterleavedGreyFiltersAndEightBitsWithoutGreyBit) {
    const Picture grey = crop(camera(), 300, 300, 40, 30);
    for (int method = 0; method < 4; method++)
        for (int tolerance : {0, 1, 5, 15}) {
            BitstreamImageOptions o;
            o.tolerance = tolerance;
            o.planes = Planes{plane(0, method, method == 3)};
            o.coder.seed = method == 2 ? uint32_t(7 + tolerance) : 0;
            EXPECT_ROUND_TRIP(storedImage(grey), o);
        }
    // 8 bits without the grey bit: no tolerance field in the head
    StoredImage plain = storedImage(grey);
    plain.format = 8;
    for (bool separate : {false, true}) {
        BitstreamImageOptions o;
        o.separatePlanes = separate;
        o.tolerance = 5;  // not written: the image is coded exactly
        o.planes = Planes{plane(0, 1, true)};
        EXPECT_ROUND_TRIP(plain, o);
    }
    // 5- and 7-bit grey with a plane table
    for (int bits : {5, 7}) {
        BitstreamImageOptions o;
        o.planes = Planes{plane(0, 1)};
        o.separatePlanes = bits == 5;
        EXPECT_ROUND_TRIP(storedImage(grey, bits), o);
    }
}

TEST(BitstreamRoundTrip, ColourPlanesWithReferences) {
    const StoredImage img = storedImage(crop(astronaut(), 240, 180, 40, 28));
    struct Case {
        std::vector<PlaneSpec> planes;
        bool separate;
        int tolerance;
    };
    const std::vector<Case> cases = {
        // green first; blue and red from it (order 1 and 2)
        {{reference(1, 1, false, 0), plane(0, 1), reference(2, 1, false, 0, 64, 64)}, false, 0},
        {{reference(1, 0, false, 128), plane(0, 0), reference(2, 0, false, 5, 191, -64)}, false, 5},
        {{plane(2, 1), plane(1, 2), plane(0, 3)}, false, 15},
        {{reference(1, 2, true, 3), plane(0, 1, true), reference(2, 3, true, 250, 128, 0)},
         true,
         0},
        {{reference(2, 0, false, 0, 0, 128), reference(1, 2, true, 9), plane(0, 3)}, true, 1},
        {{plane(0, 2, false), plane(1, 1, true), plane(2, 0, true)}, true, 5},
        {{reference(1, 1, false, 17), plane(0, 2, true), reference(2, 2, false, 0, -64, 191)},
         true,
         15},
    };
    for (size_t i = 0; i < cases.size(); i++) {
        BitstreamImageOptions o;
        o.planes = cases[i].planes;
        o.separatePlanes = cases[i].separate;
        o.tolerance = cases[i].tolerance;
        for (uint32_t seed : {0u, uint32_t(40 + i)}) {
            o.coder.seed = seed;
            o.coder.codeLengths = seed ? CodeLengthChoice::Random : CodeLengthChoice::Fitted;
            EXPECT_ROUND_TRIP(img, o);
        }
    }
}

TEST(BitstreamRoundTrip, AlphaAndTwoPlaneImages) {
    const Picture part = crop(logo(), 200, 180, 36, 30);
    BitstreamImageOptions o;
    // byte 3 predicted from bytes 0 to 2 (order 3)
    o.planes = Planes{plane(0, 1), reference(1, 1, false, 0), reference(2, 1, false, 0, 64, 64),
                      reference(3, 1, false, 255, 20, 30, 70)};
    for (bool separate : {false, true})
        for (int tolerance : {0, 5}) {
            o.separatePlanes = separate;
            o.tolerance = tolerance;
            o.coder.seed = separate ? 60 + uint32_t(tolerance) : 0;
            EXPECT_ROUND_TRIP(storedImage(part, 32), o);
        }
    for (int bits : {15, 16}) {
        BitstreamImageOptions t;
        t.planes = Planes{reference(1, 1, bits == 16, 3), plane(0, 0, true)};
        for (bool separate : {false, true}) {
            t.separatePlanes = separate;
            t.tolerance = 9;  // two planes: no tolerance field
            EXPECT_ROUND_TRIP(storedImage(crop(astronaut(), 50, 50, 30, 20), bits), t);
        }
    }
}

TEST(BitstreamRoundTrip, SmallWidthsAndTinyImages) {
    const Picture grey = toGrey(crop(astronaut(), 300, 20, 14, 9));
    for (int width = 1; width <= 14; width++) {
        const StoredImage img = storedImage(crop(grey, 0, 0, width, 9));
        for (int variant = 0; variant < 4; variant++) {
            BitstreamImageOptions o;
            o.separatePlanes = true;
            o.planes = Planes{plane(0, variant, true)};
            o.coder.seed = uint32_t(width * 4 + variant);
            EXPECT_ROUND_TRIP(img, o);
        }
        // contexts of narrow rows look at bytes not decoded yet: in a later plane they still
        // hold the plane decoded before it
        BitstreamImageOptions colour;
        colour.separatePlanes = true;
        colour.planes = Planes{plane(2, 1, true), plane(0, 3, true), plane(1, 1, true)};
        EXPECT_ROUND_TRIP(storedImage(crop(astronaut(), 100, 100, width, 9), 24), colour);
        colour.separatePlanes = false;
        colour.planeTable = false;
        EXPECT_ROUND_TRIP(storedImage(crop(grey, 0, 0, width, 9), 24), colour);
    }
    BitstreamImageOptions o;
    o.planes = Planes{plane(0, 2, true)};
    o.separatePlanes = true;
    EXPECT_ROUND_TRIP(storedImage(crop(grey, 3, 3, 1, 1)), o);
    EXPECT_ROUND_TRIP(storedImage(crop(grey, 3, 3, 1, 1), 24), BitstreamImageOptions{});
}

TEST(BitstreamRoundTrip, RowsBeyondTheCandidateReach) {
    // Rows over 2047 bytes put the far distance candidates past 16383: they are replaced by
    // small free offsets, which random choices on bytes of three values then copy from.
    std::mt19937 rng(17);
    const Picture p = greyPicture(2400, 6, [&](int) { return rng() % 3; });
    for (uint32_t seed : {1u, 2u}) {
        BitstreamImageOptions o;
        o.planeTable = false;
        o.coder.seed = seed;
        EXPECT_ROUND_TRIP(storedImage(p), o);
        o.planeTable = true;
        o.separatePlanes = true;
        o.planes = Planes{plane(0, 3, true)};
        EXPECT_ROUND_TRIP(storedImage(p), o);
    }
}

TEST(BitstreamRoundTrip, TransmittedCodeLengths) {
    const StoredImage img = storedImage(crop(camera(), 20, 400, 50, 40));
    // single codes, every code, and a variant-2 mask with the bits it ignores set
    for (uint32_t mask : {0x1000u, 0x20000u, 0x3FFFFu, 0x0820u}) {
        for (int variant : {0, 2}) {
            BitstreamImageOptions o;
            o.separatePlanes = true;
            o.planes = Planes{plane(0, variant, mask & 1)};
            o.coder.transmitMask = mask;
            EXPECT_ROUND_TRIP(img, o);
        }
    }
    BitstreamImageOptions o;
    o.separatePlanes = true;
    o.planes = Planes{plane(0, 2, true)};
    o.coder.ignoredMaskBits = 0x5A5;
    o.coder.transmitMask = 1u << 13;
    EXPECT_ROUND_TRIP(img, o);
    o.coder.codeLengths = CodeLengthChoice::Default;  // nothing transmitted, junk below bit 11
    EXPECT_ROUND_TRIP(img, o);
}

TEST(BitstreamRoundTrip, RandomChoicesOnRepetitiveContent) {
    // flat areas, text and posterised colour: long copies, mode switches, explicit distances
    const StoredImage text = storedImage(crop(loadImage("page.png"), 0, 20, 384, 60), 1);
    const StoredImage flat = storedImage(crop(logo(), 0, 100, 160, 60), 32);
    Picture poster = crop(astronaut(), 0, 0, 90, 60);
    for (auto& v : poster.pixels) v &= 0xC0;
    const StoredImage posterised = storedImage(poster, 24);
    for (uint32_t seed = 1; seed <= 3; seed++) {
        BitstreamImageOptions o;
        o.planeTable = false;
        o.coder.seed = seed;
        o.coder.codeLengths = CodeLengthChoice::Random;
        EXPECT_ROUND_TRIP(text, o);
        EXPECT_ROUND_TRIP(flat, o);
        o.planeTable = true;
        o.separatePlanes = seed != 2;
        o.planes = Planes{plane(2, 1, seed & 1), plane(0, 3, true), plane(1, int(seed))};
        EXPECT_ROUND_TRIP(posterised, o);
    }
}

TEST(BitstreamRoundTrip, RandomChoicesTakeEveryPathOfTheCoder) {
    std::vector<BitstreamStats> streams;
    for (uint32_t seed = 1; seed <= 6; seed++) {
        const StoredImage img = storedImage(repetitivePicture(97, 160, seed));
        BitstreamImageOptions o;
        o.coder.seed = seed;
        o.coder.codeLengths = CodeLengthChoice::Random;
        o.planeTable = false;  // variant 0 on the bytes themselves
        EXPECT_EQ(roundTrip(img, o, &streams), "") << describe(img, o);
        o.planeTable = true;
        o.separatePlanes = true;
        for (int method : {1, 2, 3}) {  // method 3 codes the bytes, 1 and 2 their residuals
            o.planes = Planes{plane(0, method, (seed + uint32_t(method)) & 1)};
            EXPECT_EQ(roundTrip(img, o, &streams), "") << describe(img, o);
        }
    }
    BitstreamStats sum;
    for (const BitstreamStats& s : streams) {
        for (int m = 1; m <= 5; m++) sum.matchesInMode[m] += s.matchesInMode[m];
        for (int z = 0; z < 24; z++) sum.zeroRunSymbols[z] += s.zeroRunSymbols[z];
        for (int l = 0; l < 32; l++) sum.matchLengthIndexes[l] += s.matchLengthIndexes[l];
        for (int c = 0; c < kLengthCodeSymbols; c++)
            sum.lengthCodeSymbols[c] += s.lengthCodeSymbols[c];
        sum.modeSwitches += s.modeSwitches;
        sum.stackPops += s.stackPops;
        sum.stackPushes += s.stackPushes;
        sum.shortCopies += s.shortCopies;
        sum.explicitCopies += s.explicitCopies;
        sum.selectorChanges += s.selectorChanges;
        sum.rankRescales += s.rankRescales;
        sum.candidateHalvings += s.candidateHalvings;
    }
    for (int m = 1; m <= 5; m++) EXPECT_GT(sum.matchesInMode[m], 0u) << "mode " << m;
    for (int z = 0; z < 24; z++) EXPECT_GT(sum.zeroRunSymbols[z], 0u) << "run symbol " << z;
    for (int l = 0; l < 32; l++) EXPECT_GT(sum.matchLengthIndexes[l], 0u) << "length " << l;
    for (int c = 0; c < kLengthCodeSymbols; c++)
        EXPECT_GT(sum.lengthCodeSymbols[c], 0u) << "code-length symbol " << c;
    EXPECT_GT(sum.modeSwitches, 0u);
    EXPECT_GT(sum.stackPops, 0u);
    EXPECT_GT(sum.stackPushes, 0u);
    EXPECT_GT(sum.shortCopies, 0u);
    EXPECT_GT(sum.explicitCopies, 0u);
    EXPECT_GT(sum.selectorChanges, 0u);
    EXPECT_GT(sum.rankRescales, 0u);
    EXPECT_GT(sum.candidateHalvings, 0u);
}

// Noise gives contexts that have seen every byte value when their counts are halved; the
// halving then carries on into the neighbouring context's total and counts.
TEST(BitstreamRoundTrip, NoiseFillsWholeRankLists) {
    std::mt19937 rng(9);
    // some contexts narrow
    const Picture noise =
        greyPicture(512, 256, [&](int i) { return i % 7 < 5 ? rng() : rng() % 5; });
    const StoredImage img = storedImage(noise);
    std::vector<BitstreamStats> streams;
    BitstreamImageOptions o;
    o.separatePlanes = true;
    for (int method : {1, 2, 3})
        for (bool context : {false, true}) {
            o.planes = Planes{plane(0, method, context)};
            EXPECT_EQ(roundTrip(img, o, &streams), "") << describe(img, o);
        }
    uint32_t full = 0;
    for (const BitstreamStats& s : streams) full += s.fullListHalvings;
    EXPECT_GT(full, 0u);
}

TEST(BitstreamRoundTrip, WholePhotos) {
    // a plane over 131072 bytes takes two more class thresholds
    BitstreamImageOptions o;
    o.separatePlanes = true;
    o.planes = Planes{plane(0, 2, true)};
    EXPECT_ROUND_TRIP(storedImage(camera()), o);
    BitstreamImageOptions c;
    c.planes = {reference(1, 1, false, 0), plane(0, 1), reference(2, 1, false, 0, 64, 64)};
    c.tolerance = 1;
    EXPECT_ROUND_TRIP(storedImage(astronaut()), c);
}

}  // namespace
}  // namespace pqz::enc
