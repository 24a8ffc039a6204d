// The payload pipeline: head and plane table, inverse filters and plane merge.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "pipeline/filters.h"
#include "pipeline/merge.h"
#include "pipeline/payload.h"
#include "tests/encoder/bit_writer.h"
#include "tests/encoder/pqz_writer.h"

namespace pqz {
namespace {

TEST(Filters, CodeMapsForTolerances) {
    uint8_t m[256];
    buildValueMap(1, m);
    EXPECT_EQ(m[0], 1);
    EXPECT_EQ(m[1], 4);
    EXPECT_EQ(m[2], 7);
    EXPECT_EQ(m[84], 253);
    EXPECT_EQ(m[85], 255);
    buildValueMap(15, m);
    EXPECT_EQ(m[0], 15);
    EXPECT_EQ(m[1], 46);
    EXPECT_EQ(m[7], 232);
    EXPECT_EQ(m[8], 255);

    buildResidualMap(0, m);
    EXPECT_EQ(m[1], 0xFF);
    EXPECT_EQ(m[2], 1);
    EXPECT_EQ(m[255], 0x80);
    buildResidualMap(1, m);
    EXPECT_EQ(int8_t(m[1]), -3);
    EXPECT_EQ(m[2], 3);
    EXPECT_EQ(int8_t(m[83]), -126);
    EXPECT_EQ(m[84], 126);

    std::vector<uint8_t> plane = {3, 200, 7};
    unmapPlane(plane.data(), 3, 1, 0);
    EXPECT_EQ(plane, (std::vector<uint8_t>{3, 200, 7}));
}

TEST(Filters, MedianEdgePredictor) {
    // W = 10, N = 20 and NW of 5, 25, 15 predict 20, 10, 15; codes 0 keep the prediction.
    for (auto [q, want] : {std::pair{5, 20}, {25, 10}, {15, 15}}) {
        std::vector<uint8_t> p = {uint8_t(q), 20, 10, 0};
        // Row 0 is a running sum: q, q + R(code)... build codes that give NW = q, N = 20.
        p[1] = uint8_t(2 * (20 - q) > 0 ? 2 * (20 - q) : -2 * (20 - q) - 1);
        p[2] = uint8_t(2 * (10 - q) > 0 ? 2 * (10 - q) : -2 * (10 - q) - 1);
        unpredictMed(p.data(), 2, 2, 0);
        EXPECT_EQ(p[1], 20);
        EXPECT_EQ(p[2], 10);
        EXPECT_EQ(p[3], want) << "NW " << q;
    }
    // Width 1: each row from the one above; height 1: running sum, the first byte as it is.
    std::vector<uint8_t> col = {9, 2, 1};
    unpredictMed(col.data(), 1, 3, 0);
    EXPECT_EQ(col, (std::vector<uint8_t>{9, 10, 9}));
    std::vector<uint8_t> row = {250, 2, 2, 1};
    unpredictMed(row.data(), 4, 1, 0);
    EXPECT_EQ(row, (std::vector<uint8_t>{250, 251, 252, 251}));
}

TEST(Filters, AdaptiveFilterKeepsConstantImagesAndStaysInBounds) {
    for (int c : {0, 77, 255}) {
        std::vector<uint8_t> p(13 * 9, 0);
        p[0] = uint8_t(c);
        ASSERT_TRUE(unpredictAdaptive(p.data(), 13, 9, 0));
        for (uint8_t v : p) ASSERT_EQ(v, c);
    }
    // Random codes on narrow and wide planes, every tolerance: only memory safety is checked
    // here (the sanitizer build watches the accesses).
    std::mt19937 rng(3);
    for (int w : {1, 2, 3, 17}) {
        for (int k : {0, 1, 5, 15}) {
            std::vector<uint8_t> p(size_t(w) * 11);
            for (auto& v : p) v = uint8_t(rng());
            ASSERT_TRUE(unpredictAdaptive(p.data(), w, 11, k));
        }
    }
}

class MergeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        image = createDecodedImage(2, 1, 24, false, true);
        st = PayloadHead{};
        st.planeCount = 3;
        st.orderMap[0] = 0;
        st.orderMap[1] = 1;
        st.orderMap[2] = 2;
    }
    void TearDown() override { freeDecodedImage(image); }
    DecodedImage* image = nullptr;
    PayloadHead st;
};

TEST_F(MergeTest, ReferencesOfEveryOrder) {
    image->data[0] = 100;  // P[A0] of pixel 0
    image->data[1] = 20;
    image->data[3] = 10;
    image->data[4] = 20;
    st.planeTable[2] = PlaneDescriptor{1, 8, 0, {0, 0, 0}};
    const uint8_t r[2] = {200, 0};
    mergePlane(st, *image, r, 2);
    EXPECT_EQ(image->data[2], 44);  // 200 + 100 mod 256

    st.planeTable[2] = PlaneDescriptor{2, 8, 3, {64, 64, 0}};
    const uint8_t zero[2] = {0, 0};
    mergePlane(st, *image, zero, 2);
    EXPECT_EQ(image->data[5], 3 + ((640 + 1280 + 40) >> 7));
    st.planeTable[2].coef[0] = 128;
    st.planeTable[2].coef[1] = 0;
    st.planeTable[2].offset = 0;
    mergePlane(st, *image, zero, 2);
    EXPECT_EQ(image->data[2], 100);
    EXPECT_EQ(image->data[5], 10);

    // Order 3 on byte 3 with weights -64, 0, 0 and Q3 = 2: the shifted sum's low byte is 0xFF.
    DecodedImage* quad = createDecodedImage(1, 1, 32, false, true);
    quad->data[0] = 2;
    st.planeCount = 4;
    st.planeTable[3] = PlaneDescriptor{3, 8, 9, {-64, 0, 0}};
    const uint8_t r3[1] = {5};
    mergePlane(st, *quad, r3, 3);
    EXPECT_EQ(quad->data[3], 5 + 9 - 1);
    freeDecodedImage(quad);
}

TEST_F(MergeTest, PlanesLandInTheirBytePositions) {
    st.planeTable[1] = PlaneDescriptor{1, 0, 0, {0, 0, 0}};
    const uint8_t r[2] = {7, 8};
    mergePlane(st, *image, r, 1);
    EXPECT_EQ(std::vector<uint8_t>(image->data, image->data + 6),
              (std::vector<uint8_t>{0, 7, 0, 0, 8, 0}));
    // A reference on the plane of order 0 has nothing to refer to: stored as decoded.
    st.planeTable[0] = PlaneDescriptor{0, 8, 50, {0, 0, 0}};
    mergePlane(st, *image, r, 0);
    EXPECT_EQ(image->data[0], 7);
    EXPECT_EQ(image->data[3], 8);
    // Order 3 on byte 0 reads the previous pixel, and zeros in front of the first one.
    st.planeTable[0] = PlaneDescriptor{3, 8, 0, {128, 0, 0}};
    const uint8_t z[2] = {0, 0};
    mergePlane(st, *image, z, 0);
    EXPECT_EQ(image->data[0], 0);
    EXPECT_EQ(image->data[3], 0);  // the byte three in front is the first pixel's byte 0
}

// Planes without a reference, for every pixel size, over widths around the merge's steps of
// eight and sixteen pixels: each plane lands in its own byte and leaves the other bytes alone,
// whether the planes around it were merged before it (first pass, upwards) or after it
// (second pass, downwards, over the first pass's bytes).
TEST(Merge, PlanesWithoutReferenceForEveryPixelSize) {
    for (int planes = 2; planes <= 4; planes++) {
        for (uint32_t width : {1u, 7u, 8u, 9u, 17u, 22u, 33u}) {
            DecodedImagePtr image(createDecodedImage(width, 3, 8 * planes, false, true));
            PayloadHead head;
            head.planeCount = planes;
            const size_t pixels = size_t(width) * 3;
            std::vector<uint8_t> plane(pixels);
            for (int pass = 0; pass < 2; pass++) {
                auto value = [&](size_t j, int p) {
                    return uint8_t(31 * j + 64 * p + 1 + 7 * pass);
                };
                for (int k = 0; k < planes; k++) {
                    const int p = pass == 0 ? k : planes - 1 - k;
                    head.planeTable[p] = PlaneDescriptor{uint8_t(k), 0, 0, {0, 0, 0}};
                    for (size_t j = 0; j < pixels; j++) plane[j] = value(j, p);
                    mergePlane(head, *image, plane.data(), p);
                }
                for (size_t j = 0; j < pixels; j++) {
                    for (int p = 0; p < planes; p++)
                        ASSERT_EQ(image->data[j * planes + p], value(j, p))
                            << planes << " planes, width " << width << ", pixel " << j << ", pass "
                            << pass;
                }
            }
            // The slack behind the pixels stays zero.
            for (size_t k = 0; k < 8; k++) EXPECT_EQ(image->data[image->dataSize + k], 0);
        }
    }
}

// A single plane is copied when it comes from elsewhere and left as it is when it was decoded
// into the pixel data itself.
TEST(Merge, SinglePlaneCopiedOrInPlace) {
    DecodedImagePtr image(createDecodedImage(5, 2, 8, false, true));
    PayloadHead head;
    head.planeCount = 1;
    head.planeTable[0] = PlaneDescriptor{0, 0, 0, {0, 0, 0}};
    const std::vector<uint8_t> plane = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    mergePlane(head, *image, plane.data(), 0);
    EXPECT_EQ(std::vector<uint8_t>(image->data, image->data + 10), plane);
    image->data[4] = 99;
    mergePlane(head, *image, image->data, 0);
    EXPECT_EQ(image->data[4], 99);
    EXPECT_EQ(image->data[9], 10);
}

// The head read from a payload made of the given bits, and whether the whole payload decodes
// (the decoders behind the head find nothing, so a refusal comes from the head).
struct Parsed : PayloadHead {
    bool damaged = false;
};

Parsed parseHead(const std::vector<uint8_t>& bits, uint8_t format, uint8_t flags,
                 uint16_t width = 1) {
    std::vector<uint8_t> payload = bits;
    payload.resize(payload.size() + kPayloadSlack, 0);
    ImageHeader h;
    h.width = width;
    h.height = 1;
    h.format = format;
    h.flags = flags;
    h.payloadSize = uint32_t(bits.size());
    Parsed r;
    const int planes = ((format & 63) + 7) / 8;
    if (planes <= PayloadHead::kMaxPlanes) {
        PayloadReader in(payload.data(), bits.size());
        readPayloadHead(in, planes, (format & kFormatGrey) != 0, r);
    }
    DecodedImagePtr img(createDecodedImage(h.width, 1, format & 63, false, true));
    r.damaged = decodePayload(*img, h, payload.data(), bits.size(), nullptr) != Status::Ok;
    return r;
}

TEST(PayloadHead, PlaneTableAndToleranceField) {
    enc::BitWriter w;
    w.write(5, 4);                        // tolerance
    w.write(2 | (3 << 2) | (8 << 2), 6);  // order 2, method 3, reference
    w.write(17, 8);                       // offset
    w.write(0x40, 8);                     // weight 0
    w.write(0x00, 8);                     // weight -64
    w.write(0, 6);                        // order 0
    w.write(1 | (1 << 2), 6);             // order 1, method 1
    const Parsed st = parseHead(w.bytes(), 24, 0x30);
    EXPECT_EQ(st.tolerance, 5);
    EXPECT_EQ(st.planeTable[0].order, 2);
    EXPECT_EQ(st.planeTable[0].method(), 3);
    EXPECT_TRUE(st.planeTable[0].hasReference());
    EXPECT_EQ(st.planeTable[0].offset, 17);
    EXPECT_EQ(st.planeTable[0].coef[0], 0);
    EXPECT_EQ(st.planeTable[0].coef[1], -64);
    EXPECT_EQ(st.orderMap[0], 1);
    EXPECT_EQ(st.orderMap[1], 2);
    EXPECT_EQ(st.orderMap[2], 0);

    // Two planes: no tolerance field; one plane: only with the grey bit.
    enc::BitWriter two;
    two.write(1, 6);
    two.write(0, 6);
    EXPECT_EQ(parseHead(two.bytes(), 16, 0x30).orderMap[1], 0);
    EXPECT_EQ(parseHead(two.bytes(), 16, 0x30).tolerance, 0);
    enc::BitWriter grey;
    grey.write(9, 4);
    grey.write(0, 6);
    EXPECT_EQ(parseHead(grey.bytes(), 0x48, 0x30).tolerance, 9);
    EXPECT_EQ(parseHead(grey.bytes(), 0x08, 0x30).planeTable[0].flags, 9 >> 2);
}

TEST(PayloadHead, ImpossiblePlaneTablesAreRefused) {
    // Five planes have no place in the decoding order.
    enc::BitWriter five;
    for (int i = 0; i < 5; i++) five.write(0, 6);
    std::vector<uint8_t> payload = five.bytes();
    EXPECT_TRUE(parseHead(payload, 40, 0x30).damaged);
    // Repeated orders leave a plane without a decoding position.
    enc::BitWriter dup;
    dup.write(0, 4);
    for (int i = 0; i < 3; i++) dup.write(0, 6);
    EXPECT_TRUE(parseHead(dup.bytes(), 24, 0x30).damaged);
}

}  // namespace
}  // namespace pqz
