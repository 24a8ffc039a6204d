// Method-1 plane loops: stream framing, neighbour training switched off by mature models, and
// refusal of streams and pixel formats that have no decoding.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "codec/method1/method1.h"
#include "codec/method1/method1_decoder.h"
#include "codec/range/range_decoder.h"

namespace pqz {
namespace {

constexpr uint8_t kCanary = 0xA5;

// The state of a method-1 plane reading the given coded stream, with the zero slack the payload
// loader leaves behind every payload.
struct Stream {
    std::vector<uint8_t> bytes;
    ReaderState& st = readerState();

    explicit Stream(std::vector<uint8_t> payload, int planes = 1, int tolerance = 0)
        : bytes(std::move(payload)) {
        const size_t size = bytes.size();
        bytes.resize(size + kPayloadSlack, 0);
        st.payloadStart = st.cursor = st.segmentStart = bytes.data();
        st.payloadSize = uint32_t(size);
        st.payloadEnd = bytes.data() + size;
        st.bitCount = 0;
        st.bitBuffer = 0;
        st.damaged = false;
        st.currentMethod = 1;
        st.currentModelFlag = 1;
        st.planeCount = planes;
        st.tolerance = tolerance;
        for (int p = 0; p < 8; p++) st.planeTable[p] = PlaneDescriptor{uint8_t(p & 3), 5, 0, {}};
        for (int k = 0; k < 4; k++) st.orderMap[k] = uint8_t(k);
    }
    size_t consumed() const { return size_t(st.cursor - st.payloadStart); }
};

// Marker, n bytes of b, marker.
std::vector<uint8_t> framed(size_t n, uint8_t b) {
    std::vector<uint8_t> p(n + 2, b);
    p.front() = p.back() = kStreamMarker;
    return p;
}

ImageHeader header(int width, int height, int bits) {
    ImageHeader h;
    h.width = uint16_t(width);
    h.height = uint16_t(height);
    h.format = uint8_t(bits);
    return h;
}

TEST(Method1Decode, EmptyImagesStillFrameTheirStream) {
    Stream s({kStreamMarker, 0x12, 0x34, 0x56, 0x78, 0x9A, kStreamMarker, 0x01});
    uint8_t out = kCanary;
    decodeMethod1Grey(s.st, &out, 5, 0);
    EXPECT_FALSE(s.st.damaged);
    EXPECT_EQ(s.consumed(), 7u);  // behind the closing marker
    EXPECT_EQ(s.st.magnitudeTable, nullptr);
    EXPECT_EQ(out, kCanary);

    Stream w({kStreamMarker, 0, 0, 0, 0, kStreamMarker}, 3);
    decodeMethod1Interleaved(w.st, header(0, 9, 24), &out, 0);
    EXPECT_FALSE(w.st.damaged);
    EXPECT_EQ(w.consumed(), 6u);
}

TEST(Method1Decode, GreyKeepsTheLowBitsOfWideSymbolsWhereInterleavedRefuses) {
    // A stream of ones decodes the last symbol with the largest magnitude: 6 + 2 * 127 = 260,
    // whose low 8 bits select residual +2.
    Stream g(framed(400, 0xFF));
    std::vector<uint8_t> grey(4 + 1, kCanary);
    decodeMethod1Grey(g.st, grey.data(), 2, 2);
    EXPECT_FALSE(g.st.damaged);
    EXPECT_EQ(grey[0], 74);
    EXPECT_EQ(grey[4], kCanary);

    Stream c(framed(400, 0xFF), 3);
    std::vector<uint8_t> rgb(12, kCanary);
    decodeMethod1Interleaved(c.st, header(2, 2, 24), rgb.data(), rgb.size());
    EXPECT_TRUE(c.st.damaged);
}

TEST(Method1Decode, PixelFormatsWithoutADecodingAreRefusedUntouched) {
    std::vector<uint8_t> out(64, kCanary);
    auto refused = [&](Stream& s, const ImageHeader& h, size_t outSize) {
        decodeMethod1Interleaved(s.st, h, out.data(), outSize);
        EXPECT_TRUE(s.st.damaged);
        EXPECT_EQ(s.consumed(), 0u);
        for (uint8_t b : out) EXPECT_EQ(b, kCanary);
    };
    for (int planes : {1, 2, 5, 8}) {
        Stream s(framed(100, 0), planes);
        refused(s, header(2, 2, planes * 8), out.size());
    }
    // Output too small for 3 x 3 x 3 bytes.
    Stream small(framed(100, 0), 3);
    refused(small, header(3, 3, 24), 26);
    // Two slots writing the same byte of the pixel, or a slot outside the pixel.
    Stream twice(framed(100, 0), 3);
    twice.st.orderMap[2] = 1;
    refused(twice, header(2, 2, 24), out.size());
    Stream outside(framed(100, 0), 3);
    outside.st.orderMap[2] = 3;
    refused(outside, header(2, 2, 24), out.size());
    // The fourth slot's correction would read bytes in front of the pixel.
    Stream front(framed(100, 0), 4);
    front.st.orderMap[0] = 3;
    front.st.orderMap[3] = 0;
    front.st.planeTable[0].flags |= 8;
    refused(front, header(2, 2, 32), out.size());
    // Without a correction that order is fine.
    Stream plain(framed(100, 0), 4);
    plain.st.orderMap[0] = 3;
    plain.st.orderMap[3] = 0;
    decodeMethod1Interleaved(plain.st, header(2, 2, 32), out.data(), 16);
    EXPECT_FALSE(plain.st.damaged);
    EXPECT_EQ(out[16], kCanary);
}

TEST(Method1Decode, HostileStreamsStayInsideTheirBuffers) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 24; trial++) {
        const int width = int(rng() % 9), height = 1 + int(rng() % 6);
        const int planes = trial % 3 == 0 ? 1 : 3 + int(rng() % 2);
        std::vector<uint8_t> payload(rng() % 300);
        for (uint8_t& b : payload) b = uint8_t(rng());
        if (!payload.empty()) payload[0] = kStreamMarker;
        Stream s(payload, planes, int(rng() % 16));
        if (planes == 4) s.st.planeTable[3].flags |= 8;  // exercise the fourth-slot correction
        const size_t size = size_t(width) * height * planes;
        std::vector<uint8_t> out(size + 16, kCanary);
        if (planes == 1)
            decodeMethod1Grey(s.st, out.data(), width, height);
        else
            decodeMethod1Interleaved(s.st, header(width, height, planes * 8), out.data(), size);
        for (size_t i = size; i < out.size(); i++) ASSERT_EQ(out[i], kCanary) << trial;
        EXPECT_LE(s.st.cursor, s.st.payloadEnd);
        EXPECT_EQ(s.st.magnitudeTable, nullptr);
    }
    // A stream cut short is damaged, and decoding stops within a row of noticing.
    Stream cut(framed(20, 0x5C));
    cut.bytes.resize(21);
    cut.st.payloadEnd = cut.bytes.data() + 11;
    std::vector<uint8_t> out(64 * 64, kCanary);
    decodeMethod1Grey(cut.st, out.data(), 64, 64);
    EXPECT_TRUE(cut.st.damaged);
    EXPECT_EQ(out.back(), kCanary);
}

TEST(Method1Decode, MatureModelsStopTrainingTheirNeighbours) {
    for (bool mature : {false, true}) {
        Stream s(framed(64, 0));
        ASSERT_TRUE(initModelTables(s.st, 1));
        s.st.range = RangeDecoder{};
        s.st.range.range = 0x80000000u;  // low 0: symbol 0
        Method1Decoder d;
        ASSERT_TRUE(createMethod1Decoder(d, 4, 1, 0, 0));
        beginRow(d);
        const int c = 314936;  // the first sample's context
        if (mature) d.models[c].total |= 0x8000;
        std::vector<ResidualSymbolModel> before(d.models, d.models + kMethod1Contexts);
        EXPECT_EQ(decodeSample(s.st, d, nullptr, nullptr, true), 72);
        int changed = 0;
        for (int i = 0; i < kMethod1Contexts; i++)
            changed += std::memcmp(&before[i], &d.models[i], sizeof(ResidualSymbolModel)) != 0;
        EXPECT_EQ(changed, mature ? 1 : 38);
        EXPECT_EQ(d.pos[0][-1].v, 72);  // the ring moved on past the stored sample
        destroyMethod1Decoder(d);
        releaseModelTables(s.st);
    }
}

}  // namespace
}  // namespace pqz
