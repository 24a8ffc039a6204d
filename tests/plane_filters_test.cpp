// The forward filters and merge of the test encoders against the library's inverse filters:
// codes made on the writing side must come back as exactly the reconstruction the writer
// promised, and within the tolerance of the samples.
#include "tests/encoder/plane_filters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

#include "pipeline/filters.h"
#include "tests/encoder/test_images.h"

namespace pqz::enc {
namespace {

TEST(PlaneFilterMaps, GoldenEntriesAndAgreementWithTheReader) {
    const auto v1 = quantiserValueMap(1);
    EXPECT_EQ(v1[0], 1);
    EXPECT_EQ(v1[1], 4);
    EXPECT_EQ(v1[84], 253);
    EXPECT_EQ(v1[85], 255);
    const auto v15 = quantiserValueMap(15);
    EXPECT_EQ(v15[7], 232);
    EXPECT_EQ(v15[8], 255);
    const auto r0 = quantiserResidualMap(0);
    EXPECT_EQ(r0[1], 0xFF);
    EXPECT_EQ(r0[2], 1);
    EXPECT_EQ(r0[255], 0x80);
    const auto r1 = quantiserResidualMap(1);
    EXPECT_EQ(r1[1], uint8_t(-3));
    EXPECT_EQ(r1[84], 126);
    for (int k = 0; k <= 15; k++) {
        uint8_t value[256], residual[256];
        buildValueMap(k, value);
        buildResidualMap(k, residual);
        const auto v = quantiserValueMap(k), r = quantiserResidualMap(k);
        for (int c = 0; c < 256; c++) {
            if (k) {
                ASSERT_EQ(v[c], value[c]) << k << " " << c;
            }
            ASSERT_EQ(r[c], residual[c]) << k << " " << c;
        }
    }
}

// Residuals without tolerance are computed rather than looked up: every code, the ends of the
// range (0x80 for code 255) included, must give the map's entry; with tolerance the map is read.
TEST(PlaneFilterMaps, ComputedResidualsAgreeWithTheMap) {
    uint8_t codes[256], zero[256], computed[256];
    for (int c = 0; c < 256; c++) codes[c] = uint8_t(c);
    buildResidualMap(0, zero);
    residualsOf(codes, 256, zero, true, computed);
    for (int c = 0; c < 256; c++) ASSERT_EQ(computed[c], zero[c]) << c;
    uint8_t five[256];
    buildResidualMap(5, five);
    residualsOf(codes, 256, five, false, computed);
    for (int c = 0; c < 256; c++) ASSERT_EQ(computed[c], five[c]) << c;
}

// Runs the library's inverse filter for `filter` over codes in place.
void inverse(PlaneFilter filter, std::vector<uint8_t>& codes, int w, int h, int k) {
    switch (filter) {
        case PlaneFilter::Quantise:
            unmapPlane(codes.data(), w, h, k);
            break;
        case PlaneFilter::Median:
            unpredictMed(codes.data(), w, h, k);
            break;
        case PlaneFilter::Adaptive:
            ASSERT_TRUE(unpredictAdaptive(codes.data(), w, h, k));
            break;
        case PlaneFilter::None:
            break;
    }
}

struct Plane {
    std::vector<uint8_t> v;
    int w, h;
};

std::vector<Plane> testPlanes() {
    std::vector<Plane> planes;
    const Picture camera = toGrey(loadImage("camera.png"));
    for (auto [x, y, w, h] : {std::array<int, 4>{200, 150, 64, 48},
                              {0, 0, 1, 40},
                              {10, 10, 2, 17},
                              {30, 30, 3, 9},
                              {5, 300, 50, 1},
                              {400, 400, 1, 1}}) {
        const Picture c = crop(camera, x, y, w, h);
        planes.push_back({c.pixels, w, h});
    }
    std::mt19937 rng(3);
    Plane noise{std::vector<uint8_t>(37 * 23), 37, 23};
    for (auto& b : noise.v) b = uint8_t(rng() % 3 ? rng() : rng() % 2 ? 255 : 0);
    planes.push_back(noise);
    Plane flat{std::vector<uint8_t>(20 * 20, 254), 20, 20};
    planes.push_back(flat);
    return planes;
}

TEST(PlaneFilters, CodesComeBackAsTheReconstructionWithinTolerance) {
    const auto planes = testPlanes();
    for (PlaneFilter f :
         {PlaneFilter::None, PlaneFilter::Quantise, PlaneFilter::Median, PlaneFilter::Adaptive}) {
        for (int k : {0, 1, 2, 5, 15}) {
            const int tol = f == PlaneFilter::None ? 0 : k;
            // Predicting filters reach prediction + g (2k + 1) (modulo 256) for g (2k + 1) < 128
            // only: at the ends of the byte range, where those steps wrap, and across the gap
            // they leave opposite the prediction, the closest reconstruction can be further off.
            const int d = 2 * k + 1, gap = 256 - 2 * (127 / d) * d;
            const int bound =
                f == PlaneFilter::Quantise || tol == 0 ? tol : std::max(d - 1, gap - 1);
            int outliers = 0, samples = 0;
            for (const Plane& p : planes) {
                SCOPED_TRACE(testing::Message() << "filter " << int(f) << " k " << k << " plane "
                                                << p.w << "x" << p.h);
                FilteredPlane fp = filterPlane(f, p.v.data(), p.w, p.h, k);
                std::vector<uint8_t> back = fp.codes;
                inverse(f, back, p.w, p.h, k);
                ASSERT_EQ(back, fp.reconstructed);
                for (size_t i = 0; i < back.size(); i++) {
                    const int err = std::abs(back[i] - p.v[i]);
                    ASSERT_LE(err, bound);
                    if (p.w > 1 && p.h > 1 && p.v.size() > 1000) outliers += err > tol;
                    samples += p.v.size() > 1000;
                }
            }
            // on a photo the prediction rarely lands near the gap
            EXPECT_LE(outliers * 100, samples) << int(f) << " " << k;
        }
    }
}

// The predicting filters work through a row in spans of columns and keep padded copies of the
// rows above, and the median filter takes rows in pairs: widths on both sides of the span
// boundaries, one- and two-column planes, odd and even heights (a row left over or not), and
// noise that keeps the adaptive filter's class boundaries moving (far from their start on the
// large plane) must all come back exactly as the writer reconstructed them.
TEST(PlaneFilters, PredictingFiltersMatchTheWriterAcrossWidths) {
    std::mt19937 rng(11);
    auto plane = [&](int w, int h, int kind) {
        std::vector<uint8_t> v(size_t(w) * h);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                const int n = int(rng() % 256);
                int s = n;                                         // 0: uniform noise
                if (kind == 1) s = (x * 3 + y * 5 + n % 9) & 255;  // ramp with a little noise
                if (kind == 2) s = n < 128 ? n % 4 : 255 - n % 4;  // extremes only
                v[size_t(y) * w + x] = uint8_t(s);
            }
        return v;
    };
    const std::array<int, 2> shapes[] = {{1, 6},   {2, 5},   {3, 4},   {5, 7},
                                         {255, 3}, {256, 3}, {257, 4}, {258, 3},
                                         {513, 3}, {600, 5}, {2, 2},   {300, 2}};
    for (PlaneFilter f : {PlaneFilter::Median, PlaneFilter::Adaptive}) {
        for (int k : {0, 1, 3}) {
            for (auto [w, h] : shapes) {
                for (int kind = 0; kind < 3; kind++) {
                    SCOPED_TRACE(testing::Message() << "filter " << int(f) << " k " << k << " " << w
                                                    << "x" << h << " kind " << kind);
                    const std::vector<uint8_t> p = plane(w, h, kind);
                    const FilteredPlane fp = filterPlane(f, p.data(), w, h, k);
                    std::vector<uint8_t> back = fp.codes;
                    inverse(f, back, w, h, k);
                    ASSERT_EQ(back, fp.reconstructed);
                }
            }
        }
        const std::vector<uint8_t> big = plane(320, 240, 2);
        const FilteredPlane fp = filterPlane(f, big.data(), 320, 240, 0);
        std::vector<uint8_t> back = fp.codes;
        inverse(f, back, 320, 240, 0);
        ASSERT_EQ(back, fp.reconstructed) << int(f);
        EXPECT_EQ(back, big);
    }
}

// Ramps that wrap around the byte range: the prediction runs past 255 where the sample has
// wrapped to a small value, so the residual is small modulo 256 while the error is not. The
// adaptive filter must still take that as a large error and move its class boundaries, or
// every later sample of the plane drifts from the writer's reconstruction.
TEST(PlaneFilters, AdaptiveFilterTakesWrappedSamplesAsLargeErrors) {
    for (auto [dx, dy] : {std::array<int, 2>{37, 11}, {-29, 5}, {3, 64}}) {
        const int w = 70, h = 12;
        std::vector<uint8_t> v(size_t(w) * h);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) v[size_t(y) * w + x] = uint8_t(x * dx + y * dy);
        for (int k : {0, 2}) {
            const FilteredPlane fp = filterPlane(PlaneFilter::Adaptive, v.data(), w, h, k);
            std::vector<uint8_t> back = fp.codes;
            ASSERT_TRUE(unpredictAdaptive(back.data(), w, h, k));
            EXPECT_EQ(back, fp.reconstructed) << dx << " " << dy << " k " << k;
        }
    }
}

// Textures that push the adaptive filter's class boundaries one way for long stretches: flat
// ground with rare spikes (the boundaries fall towards activity 0, where two of the four tables
// keep no entry), hard checkers and stripes (large activities of one sign), and noise whose
// strength changes across the plane. Every kind of boundary move, in both stages and for both
// signs of each activity, must follow the writer exactly, or the rest of the plane drifts.
TEST(PlaneFilters, AdaptiveBoundariesFollowTheWriterToTheEnds) {
    std::mt19937 rng(5);
    const int w = 131, h = 77;
    auto texture = [&](int kind) {
        std::vector<uint8_t> v(size_t(w) * h);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                const int n = int(rng() % 256);
                int s = 0;
                if (kind == 0) s = 100 + (n < 6 ? n * 40 : 0);               // spikes
                if (kind == 1) s = ((x / 2 + y) & 1) ? 250 - n % 3 : n % 3;  // checkers
                if (kind == 2) s = (x % 7 < 3 ? 200 : 20) + n % 5;           // vertical stripes
                if (kind == 3) s = (y % 5 < 2 ? 230 : 10) + n % 5;           // horizontal stripes
                if (kind == 4) s = 128 + (n - 128) * x / w * y / h;          // noise growing
                v[size_t(y) * w + x] = uint8_t(s);
            }
        return v;
    };
    for (int kind = 0; kind < 5; kind++) {
        const std::vector<uint8_t> p = texture(kind);
        for (int k : {0, 1}) {
            const FilteredPlane fp = filterPlane(PlaneFilter::Adaptive, p.data(), w, h, k);
            std::vector<uint8_t> back = fp.codes;
            ASSERT_TRUE(unpredictAdaptive(back.data(), w, h, k));
            EXPECT_EQ(back, fp.reconstructed) << "kind " << kind << " k " << k;
        }
    }
}

TEST(PlaneFilters, ToleranceRestrictsTheCodes) {
    const Plane p = testPlanes()[0];
    for (int k : {1, 5, 15}) {
        const int d = 2 * k + 1;
        const FilteredPlane q = filterPlane(PlaneFilter::Quantise, p.v.data(), p.w, p.h, k);
        for (uint8_t c : q.codes) EXPECT_LE(c, 255 / d + 1);
        const FilteredPlane m = filterPlane(PlaneFilter::Median, p.v.data(), p.w, p.h, k);
        for (size_t i = 1; i < m.codes.size(); i++) EXPECT_LT(int(m.codes[i] + 1) / 2 * d, 128);
        EXPECT_EQ(m.codes[0], p.v[0]);  // the first sample is kept as it is
    }
}

TEST(PlaneMerge, ResidualsAgainstReconstructedReferences) {
    // three planes decoded in the order 2, 0, 1: plane 0 from plane 2 (order 1, offset 3),
    // plane 1 from planes 2 and 0 with weights 64 and 64
    std::vector<PlaneSpec> specs(3);
    specs[2] = {0, 0, false, false, 0, {}};
    specs[0] = {1, 0, false, true, 3, {}};
    specs[1] = {2, 0, false, true, 0, {64, 64, 0}};
    const std::vector<PlaneFilter> none(3, PlaneFilter::None);
    const uint8_t pixels[6] = {44, 15, 100, 7, 30, 250};
    const ForwardPlanes f = forwardPlanes(pixels, 2, 1, specs, none, 0);
    EXPECT_EQ(f.codes[2], (std::vector<uint8_t>{100, 250}));
    EXPECT_EQ(f.codes[0], (std::vector<uint8_t>{uint8_t(44 - 3 - 100), uint8_t(7 - 3 - 250)}));
    // (64 x 100 + 64 x 44 + 40) >> 7 = 72; (64 x 250 + 64 x 7 + 40) >> 7 = 128
    EXPECT_EQ(f.codes[1], (std::vector<uint8_t>{uint8_t(15 - 72), uint8_t(30 - 128)}));
    EXPECT_EQ(f.reconstructed, std::vector<uint8_t>(pixels, pixels + 6));

    // order 3 on byte 3 with weights -64, 0, 0: Q3 = 2 gives the prediction -1
    std::vector<PlaneSpec> four(4);
    for (int p = 0; p < 3; p++) four[size_t(p)] = {uint8_t(p), 0, false, false, 0, {}};
    four[3] = {3, 0, false, true, 0, {-64, 0, 0}};
    const uint8_t px[4] = {2, 9, 9, 10};
    EXPECT_EQ(forwardPlanes(px, 1, 1, four, std::vector<PlaneFilter>(4, PlaneFilter::None), 0)
                  .codes[3][0],
              11);
}

TEST(PlaneMerge, QuantisedReferencesPredictFromTheReconstruction) {
    // with tolerance the later plane must be predicted from what the decoder has, not from the
    // original samples: rebuild each pixel as the decoder would and compare
    const Picture pic = crop(loadImage("astronaut.png"), 100, 100, 24, 16);
    const std::vector<uint8_t> bgr = toStoredBgr(pic);
    std::vector<PlaneSpec> specs(3);
    specs[1] = {0, 1, false, false, 0, {}};
    specs[0] = {1, 0, false, true, 200, {}};
    specs[2] = {2, 1, false, true, 7, {191, -64, 0}};
    std::vector<PlaneFilter> filters = {PlaneFilter::Quantise, PlaneFilter::Median,
                                        PlaneFilter::Median};
    const int k = 5;
    const ForwardPlanes f = forwardPlanes(bgr.data(), pic.width, pic.height, specs, filters, k);
    std::vector<uint8_t> planes[3];
    for (int p = 0; p < 3; p++) {
        planes[p] = f.codes[size_t(p)];
        inverse(filters[size_t(p)], planes[p], pic.width, pic.height, k);
    }
    for (size_t j = 0; j < planes[0].size(); j++) {
        const int g = planes[1][j];
        const int b = uint8_t(planes[0][j] + 200 + g);
        const int r = uint8_t(planes[2][j] + 7 + ((191 * g - 64 * b + 40) >> 7));
        ASSERT_EQ(f.reconstructed[j * 3 + 1], g);
        ASSERT_EQ(f.reconstructed[j * 3], b);
        ASSERT_EQ(f.reconstructed[j * 3 + 2], r);
        EXPECT_LE(std::abs(r - bgr[j * 3 + 2]), 2 * k + 2);
    }
}

}  // namespace
}  // namespace pqz::enc
