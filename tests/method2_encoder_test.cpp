// The method-2 test encoder against the reference vectors: re-encoding the pixels a vector
// decodes to, with the vector's own plane table, must give the vector's payload byte for byte.
// This ties the encoder to an independent implementation without going through our decoder
// (except for byte 3 of 32-bit pixels, which the vectors' bitmaps do not show).
#include "tests/encoder/method2_encoder.h"

#include <gtest/gtest.h>

#include <cstring>

#include "pqz2_read/dib.h"
#include "tests/float_control.h"
#include "tests/test_support.h"
#include "tests/vector_support.h"

namespace pqz::enc {
namespace {

// The pixels in stored layout from a bitmap (which keeps every byte for 8, 24 and 25..31 bits;
// 32-bit pixels lose byte 3).
std::vector<uint8_t> storedPixels(const std::string& dibPath) {
    std::vector<uint8_t> dib = readFile(dibPath);
    test::Bitmap b = test::unpackDib(reinterpret_cast<const DibImage*>(dib.data()));
    return b.rows;
}

std::string tail(const std::vector<uint8_t>& b) {
    std::string s = "\n";
    char t[4];
    for (size_t i = b.size() > 12 ? b.size() - 12 : 0; i < b.size(); i++)
        snprintf(t, sizeof t, "%02x ", b[i]), s += t;
    return s;
}

// Encoders may end a stream with any code inside the final interval: the last one or two coder
// bytes before the three zero bytes and the closing marker are free.
bool isFlushByte(const std::vector<uint8_t>& b, size_t at) {
    const uint8_t end[4] = {0, 0, 0, 0x97};
    for (size_t j = at + 1; j <= at + 2 && j + 4 <= b.size(); j++)
        if (std::memcmp(&b[j], end, 4) == 0) return true;
    return false;
}

// Stored pixels of every image of a file as the library decodes them.
std::vector<std::vector<uint8_t>> decodedRecords(const std::string& path) {
    std::vector<std::vector<uint8_t>> out;
    ReaderHandle* h = pqzOpen(path.c_str());
    while (DecodedImage* img = readDecodedImage(h, nullptr)) {
        out.emplace_back(img->data, img->data + img->dataSize);
        freeDecodedImage(img);
    }
    pqzClose(h);
    return out;
}

struct VectorCase {
    const char* name;
    int images;
};

class ReencodeVector : public ::testing::TestWithParam<VectorCase> {};

TEST_P(ReencodeVector, GivesThePayloadOfTheVector) {
    const std::string base = vectorsDir() + "/method2/" + GetParam().name;
    const std::vector<test::StoredImage> images = test::imageBlocks(readFile(base + ".pqz"));
    ASSERT_EQ(int(images.size()), GetParam().images);
    std::vector<std::vector<uint8_t>> records;  // the library's decode, when needed
    for (size_t i = 0; i < images.size(); i++) {
        SCOPED_TRACE("image " + std::to_string(i));
        const test::StoredImage& v = images[i];
        Method2Image img;
        img.width = v.width;
        img.height = v.height;
        img.bitsPerPixel = v.format & 63;
        img.grey = (v.format & 0x40) != 0;
        img.separate = (v.flags & 0x08) != 0;
        img.reproduce = true;
        const test::PayloadHead head = test::readPayloadHead(v);
        img.tolerance = head.tolerance;
        img.planes = head.planes;
        for (const PlaneSpec& s : img.planes) {
            ASSERT_EQ(s.method, 2);
            ASSERT_TRUE(s.modelFlag);
        }
        img.pixels = storedPixels(base + "." + std::to_string(i) + ".dib");
        img.palette = v.palette;
        if (img.bitsPerPixel == 32) {
            // The bitmap dropped byte 3: take it from the library's decode, whose other bytes
            // must be the bitmap's.
            if (records.empty()) records = decodedRecords(base + ".pqz");
            ASSERT_GT(records.size(), i);
            ASSERT_EQ(records[i].size(), size_t(v.width) * v.height * 4);
            for (size_t j = 0; j < img.pixels.size(); j++)
                ASSERT_EQ(records[i][j / 3 * 4 + j % 3], img.pixels[j]) << "byte " << j;
            img.pixels = records[i];
        }
        Method2Payload out = encodeMethod2Image(img);
        EXPECT_EQ(out.pixels, img.pixels);
        const std::vector<uint8_t>& mine = out.block.payload;
        ASSERT_EQ(mine.size(), v.payload.size()) << tail(mine) << tail(v.payload);
        for (size_t at = 0; at < mine.size(); at++) {
            if (mine[at] == v.payload[at]) continue;
            EXPECT_TRUE(isFlushByte(mine, at))
                << "payload byte " << at << " of " << mine.size() << ": ours " << int(mine[at])
                << ", the vector's " << int(v.payload[at]);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Method2, ReencodeVector,
                         ::testing::Values(VectorCase{"grey-t0", 5}, VectorCase{"grey-t3", 5},
                                           VectorCase{"palette", 2}, VectorCase{"rgb-refs", 2},
                                           VectorCase{"rgb-t1", 2}, VectorCase{"rgba", 3},
                                           VectorCase{"sep-t0", 2}, VectorCase{"28bit", 3},
                                           VectorCase{"small", 5}),
                         [](const auto& info) {
                             std::string n = info.param.name;
                             for (char& c : n)
                                 if (c == '-') c = '_';
                             return n;
                         });

// The encoder computes under its own floating-point modes whatever the caller set, and gives the
// caller's modes back.
TEST(Method2Encoder, IndependentOfTheCallersFloatingPointModes) {
    // Big enough for a directed rounding to change a prediction somewhere.
    const Picture p = crop(loadImage("coffee.png"), 200, 100, 96, 96);
    const std::vector<uint8_t> bgr = toStoredBgr(p);
    std::vector<PlaneSpec> ordered(3);
    for (int i = 0; i < 3; i++) ordered[i].order = uint8_t(i);
    const Picture g = toGrey(p);
    const Method2Stream grey = encodeMethod2Plane(g.pixels.data(), 96, 96, {});
    const Method2Stream colour = encodeMethod2Interleaved(bgr.data(), 96, 96, 3, ordered, {});

    // Rounding up with denormal inputs as zero on x86-64, rounding up and flush-to-zero on ARM.
    const std::vector<uint64_t> controls = test::oddFloatControls();
    test::CallerFloatControl odd(controls[controls.size() > 2 ? 2 : 0]);
    const Method2Stream grey2 = encodeMethod2Plane(g.pixels.data(), 96, 96, {});
    const Method2Stream colour2 = encodeMethod2Interleaved(bgr.data(), 96, 96, 3, ordered, {});
    EXPECT_EQ(test::floatControl(), odd.taken());
    EXPECT_EQ(grey2.bytes, grey.bytes);
    EXPECT_EQ(colour2.bytes, colour.bytes);
}

// Plane tables that no reader route can decode as intended are refused.
TEST(Method2Encoder, RefusesPlaneTablesWithoutARoute) {
    Method2Image img;
    img.width = 2;
    img.height = 2;
    img.bitsPerPixel = 32;
    img.pixels.assign(16, 7);
    img.planes.resize(4);
    const int orders[4] = {0, 1, 3, 2};  // byte 3 must be coded last when interleaved
    for (int p = 0; p < 4; p++) img.planes[p].order = uint8_t(orders[p]);
    EXPECT_THROW(encodeMethod2Image(img), std::invalid_argument);
    img.separate = true;  // separate planes may take any order
    EXPECT_NO_THROW(encodeMethod2Image(img));
    img.planes[2].hasReference = true;  // an order-3 merge reaches into the previous pixel
    EXPECT_THROW(encodeMethod2Image(img), std::invalid_argument);
    img.planes[2].hasReference = false;
    img.planes[0].hasReference = true;  // the first plane has nothing to refer to
    EXPECT_THROW(encodeMethod2Image(img), std::invalid_argument);
    img.planes[0].hasReference = false;
    img.planes[1].order = 0;  // not a permutation
    EXPECT_THROW(encodeMethod2Image(img), std::invalid_argument);
    img.bitsPerPixel = 16;  // two planes only go separately
    img.pixels.assign(8, 7);
    img.planes = {PlaneSpec{}, PlaneSpec{}};
    img.planes[1].order = 1;
    EXPECT_NO_THROW(encodeMethod2Image(img));
    img.separate = false;
    EXPECT_THROW(encodeMethod2Image(img), std::invalid_argument);
}

}  // namespace
}  // namespace pqz::enc
