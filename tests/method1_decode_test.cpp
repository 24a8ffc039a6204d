// Method-1 plane loops through the payload pipeline: stream framing, symbols without a residual,
// pixel formats and plane orders that have no decoding, hostile streams, and the end of
// neighbour training once a model is mature.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "codec/method1/method1.h"
#include "codec/method1/method1_decoder.h"
#include "codec/shared/range_decoder.h"
#include "pipeline/payload.h"
#include "tests/encoder/pqz_writer.h"
#include "tests/support/method1_support.h"
#include "tests/test_support.h"

namespace pqz {
namespace {

// Marker, n bytes of b, marker.
std::vector<uint8_t> framed(size_t n, uint8_t b) {
    std::vector<uint8_t> p(n + 2, b);
    p.front() = p.back() = kStreamMarker;
    return p;
}

// Method 1 with the model flag on every plane, in pixel order unless orders are given.
std::vector<enc::PlaneSpec> method1Planes(int planes, std::vector<uint8_t> orders = {}) {
    std::vector<enc::PlaneSpec> specs(static_cast<size_t>(planes));
    for (int p = 0; p < planes; p++) {
        specs[p].order = orders.empty() ? uint8_t(p) : orders[p];
        specs[p].method = 1;
        specs[p].modelFlag = true;
    }
    return specs;
}

struct Decoded {
    bool ok;
    std::vector<uint8_t> pixels;
};

// Decodes one interleaved compressed image: payload head, then the coded stream.
Decoded decode(int width, int height, int bits, const std::vector<enc::PlaneSpec>& planes,
               const std::vector<uint8_t>& stream, int tolerance = 0) {
    enc::BitWriter head;
    enc::writePayloadHead(head, bits, bits == 8, tolerance, planes);
    head.alignToByte();
    head.appendBytes(stream);
    std::vector<uint8_t> payload = head.bytes();
    ImageHeader h;
    h.width = uint16_t(width);
    h.height = uint16_t(height);
    h.format = uint8_t(bits | (bits == 8 ? kFormatGrey : 0));
    h.flags = kFlagCompressed | kFlagPlaneTable | kFlagRangeCoded;
    h.payloadSize = uint32_t(payload.size());
    payload.resize(payload.size() + kPayloadSlack, 0);
    DecodedImagePtr image(createDecodedImage(h.width, h.height, bits, false, true));
    Decoded d{decodePayload(*image, h, payload.data(), h.payloadSize, nullptr) == Status::Ok, {}};
    d.pixels.assign(image->data, image->data + image->dataSize);
    for (int i = 0; i < 3; i++) EXPECT_EQ(image->data[image->dataSize + i], 0) << "written past";
    return d;
}

TEST(Method1Decode, EmptyImagesStillFrameTheirStream) {
    const std::vector<uint8_t> stream = {kStreamMarker, 0x12, 0x34,         0x56,
                                         0x78,          0x9A, kStreamMarker};
    EXPECT_TRUE(decode(5, 0, 8, method1Planes(1), stream).ok);
    EXPECT_TRUE(decode(0, 9, 24, method1Planes(3), stream).ok);
    // The stream must end with its closing marker exactly at the payload's end.
    EXPECT_FALSE(decode(5, 0, 8, method1Planes(1), {kStreamMarker, 1, 2, 3, 4}).ok);
}

TEST(Method1Decode, GreyKeepsTheLowBitsOfWideSymbolsWhereInterleavedRefuses) {
    // A stream of ones decodes the last symbol with the largest magnitude: 6 + 2 * 127 = 260,
    // whose low 8 bits select residual +2.
    Decoded grey = decode(2, 2, 8, method1Planes(1), framed(400, 0xFF));
    EXPECT_TRUE(grey.ok);
    EXPECT_EQ(grey.pixels[0], 72 + 2);
    EXPECT_FALSE(decode(2, 2, 24, method1Planes(3), framed(400, 0xFF)).ok);
}

TEST(Method1Decode, PixelFormatsAndOrdersWithoutADecodingAreRefused) {
    const std::vector<uint8_t> zeros = framed(200, 0);
    EXPECT_TRUE(decode(3, 2, 24, method1Planes(3), zeros).ok);
    EXPECT_TRUE(decode(3, 2, 32, method1Planes(4, {3, 0, 1, 2}), zeros).ok);
    EXPECT_FALSE(decode(3, 2, 16, method1Planes(2), zeros).ok);
    // Orders 0, 1, 1 map slot 1 to byte 2 and leave slot 2 without a byte.
    EXPECT_FALSE(decode(3, 2, 24, method1Planes(3, {0, 1, 1}), zeros).ok);
    // A correction on the plane decoded last must sit at byte 3: it reads the three in front.
    std::vector<enc::PlaneSpec> front = method1Planes(4, {3, 0, 1, 2});
    front[0].hasReference = true;
    EXPECT_FALSE(decode(3, 2, 32, front, zeros).ok);
    // An output too small for the pixels is refused before anything is read.
    std::vector<uint8_t> bytes = zeros;
    PayloadReader st = test::loadPayload(bytes);
    PayloadHead head;
    head.planeCount = 3;
    for (int p = 0; p < 3; p++) head.orderMap[p] = uint8_t(p);
    const uint8_t* cursor = st.cursor;
    uint8_t out[26];
    RowProgress progress;
    decodeMethod1Interleaved(st, head, 3, 3, out, sizeof out, progress);
    EXPECT_TRUE(st.damaged);
    EXPECT_EQ(st.cursor, cursor);
}

TEST(Method1Decode, HostileStreamsStayInsideTheirBuffers) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 24; trial++) {
        const int width = int(rng() % 9), height = 1 + int(rng() % 6);
        const int planes = trial % 3 == 0 ? 1 : 3 + trial % 2;
        std::vector<uint8_t> stream(rng() % 300);
        for (uint8_t& b : stream) b = uint8_t(rng());
        if (!stream.empty()) stream[0] = kStreamMarker;
        std::vector<enc::PlaneSpec> specs = method1Planes(planes);
        if (planes == 4) {  // exercise both corrections
            specs[2].hasReference = specs[3].hasReference = true;
            specs[3].coef[2] = 191;
        }
        decode(width, height, 8 * planes, specs, stream, int(rng() % 16));
    }
    // A stream cut short is damaged.
    std::vector<uint8_t> cut = framed(20, 0x5C);
    cut.pop_back();
    EXPECT_FALSE(decode(64, 64, 8, method1Planes(1), cut).ok);
}

// The plane loops train each sample's neighbours only after forming the next sample's context;
// decoding sample by sample, context, decode and training in turn, must give the same pixels.
TEST(Method1Decode, PlaneLoopsMatchSampleBySampleDecoding) {
    PayloadReader st;
    PayloadHead head;
    RowProgress progress;
    std::mt19937 rng(5);
    std::vector<uint8_t> stream(6000);
    for (uint8_t& b : stream) b = uint8_t(rng());
    stream.front() = kStreamMarker;
    stream.back() = kStreamMarker;
    auto start = [&](int planes, int tolerance) {
        st = PayloadReader(stream.data(), stream.size());
        head = PayloadHead{};
        head.tolerance = tolerance;
        head.planeCount = planes;
        for (int p = 0; p < planes; p++) head.orderMap[p] = uint8_t(p);
    };
    const int width = 37, height = 23;
    for (int planes : {1, 3, 4}) {
        SCOPED_TRACE(planes);
        const int tolerance = planes == 1 ? 2 : 0;
        std::vector<uint8_t> loops(size_t(width) * height * planes);
        start(planes, tolerance);
        if (planes == 1) {
            decodeMethod1Grey(st, tolerance, loops.data(), width, height, progress);
        } else {
            decodeMethod1Interleaved(st, head, width, height, loops.data(), loops.size(), progress);
        }
        const bool loopsDamaged = st.damaged;
        const uint8_t* loopsEnd = st.cursor;

        std::vector<uint8_t> samples(loops.size());
        start(planes, tolerance);
        MagnitudeTable magnitudes;
        ASSERT_TRUE(magnitudes.create(1));
        Method1Decoder d[4];
        for (int p = 0; p < planes; p++) {
            ASSERT_TRUE(createMethod1Decoder(d[p], width, height, p, tolerance));
            d[p].magnitudes = &magnitudes;
        }
        RangeDecoder rc;
        rangeStart(rc, st);
        uint8_t* out = samples.data();
        for (int y = 0; y < height && !rc.damaged; y++) {
            for (int p = 0; p < planes; p++) beginRow(d[p]);
            for (int x = 0; x < width; x++) {
                *out++ = test::decodeSample(rc, d[0], nullptr, nullptr, planes > 1);
                for (int p = 1; p < planes; p++)
                    *out++ =
                        test::decodeSample(rc, d[p], &d[p - 1], p > 1 ? &d[p - 2] : nullptr, true);
            }
        }
        rangeFinish(rc, st);
        for (int p = 0; p < planes; p++) destroyMethod1Decoder(d[p]);

        EXPECT_EQ(samples, loops);
        EXPECT_EQ(st.damaged, loopsDamaged);
        EXPECT_EQ(st.cursor, loopsEnd);
    }
}

TEST(Method1Decode, MatureModelsStopTrainingTheirNeighbours) {
    RangeDecoder st;
    std::vector<uint8_t> zeros(64, 0);
    st.cursor = zeros.data();
    st.end = zeros.data() + zeros.size();
    for (bool mature : {false, true}) {
        MagnitudeTable magnitudes;
        ASSERT_TRUE(magnitudes.create(1));
        st.range = 0x80000000u;  // low 0: symbol 0
        st.low = 0;
        Method1Decoder d;
        ASSERT_TRUE(createMethod1Decoder(d, 4, 1, 0, 0));
        d.magnitudes = &magnitudes;
        test::setUpAllModels(d);  // the whole table is compared
        beginRow(d);
        const int c = 314936;  // the first sample's context
        if (mature) d.models[c].total |= 0x8000;
        std::vector<ResidualSymbolModel> before(d.models, d.models + kMethod1Contexts);
        EXPECT_EQ(test::decodeSample(st, d, nullptr, nullptr, true), 72);
        int changed = 0;
        for (int i = 0; i < kMethod1Contexts; i++)
            changed += std::memcmp(&before[i], &d.models[i], sizeof(ResidualSymbolModel)) != 0;
        EXPECT_EQ(changed, mature ? 1 : 38);
        destroyMethod1Decoder(d);
    }
    EXPECT_FALSE(st.damaged);
}

}  // namespace
}  // namespace pqz
