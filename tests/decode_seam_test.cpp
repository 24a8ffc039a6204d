// The decoding seam: a payload decoded from memory with progress reports and cancellation, the
// statuses it returns, and the one place where a status becomes the public codes and behaviour.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "base/status.h"
#include "pipeline/payload.h"
#include "pqz2_read/pqz2_read.h"
#include "tests/encoder/method1_encoder.h"
#include "tests/encoder/test_images.h"

namespace pqz {
namespace {

// A compressed image block taken apart: its header, its payload and the pixels it decodes to.
struct Encoded {
    ImageHeader header;
    std::vector<uint8_t> payload;  // followed by the decoder's zero slack
    std::vector<uint8_t> expected;
};

Encoded fromBlock(const enc::ImageBlock& block, std::vector<uint8_t> expected) {
    Encoded e;
    e.header.width = block.width;
    e.header.height = block.height;
    e.header.format = block.format;
    e.header.flags = block.flags;
    e.header.payloadSize = uint32_t(block.payload.size());
    e.payload = block.payload;
    e.payload.resize(e.payload.size() + kPayloadSlack, 0);
    e.expected = std::move(expected);
    return e;
}

// A busy colour picture coded with method 1, interleaved or as three separate planes.
Encoded colourImage(bool separatePlanes) {
    enc::Picture p;
    p.width = 150;
    p.height = 40;
    p.channels = 3;
    for (int y = 0; y < p.height; y++)
        for (int x = 0; x < p.width; x++)
            for (int c = 0; c < 3; c++) p.pixels.push_back(uint8_t(x * (c + 1) + y * 7 + x * y));
    const enc::Method1Image m = enc::encodeMethod1Picture(p, 0, true, separatePlanes);
    return fromBlock(m.block, m.expected);
}

struct Calls {
    std::vector<std::pair<uint64_t, uint64_t>> seen;  // done, total
    size_t stopAt = SIZE_MAX;                         // answer "stop" on this call
};

bool record(void* user, uint64_t done, uint64_t total) {
    Calls& c = *static_cast<Calls*>(user);
    c.seen.emplace_back(done, total);
    return c.seen.size() - 1 >= c.stopAt;
}

Status decode(const Encoded& e, const DecodeControl* control, std::vector<uint8_t>* pixels) {
    DecodedImagePtr image(
        createDecodedImage(e.header.width, e.header.height, e.header.bitsPerPixel(), false, true));
    EXPECT_TRUE(image);
    image->format = e.header.format;
    const Status s =
        decodePayload(*image, e.header, e.payload.data(), e.header.payloadSize, control);
    if (pixels) pixels->assign(image->data, image->data + image->dataSize);
    return s;
}

TEST(DecodeSeam, ReportsMonotonicRowsOverEveryPassAndEndsAtTheTotal) {
    for (bool separate : {false, true}) {
        SCOPED_TRACE(separate);
        const Encoded e = colourImage(separate);
        Calls calls;
        const DecodeControl control{&record, &calls};
        std::vector<uint8_t> pixels;
        ASSERT_EQ(decode(e, &control, &pixels), Status::Ok);
        EXPECT_EQ(pixels, e.expected);
        // Rows of all passes: one per plane when the planes are coded separately.
        const uint64_t total = uint64_t(e.header.height) * (separate ? 3 : 1);
        ASSERT_GE(calls.seen.size(), 2u);  // 150 x 3 bytes per row: a report every ten rows
        uint64_t last = 0;
        for (const auto& [done, all] : calls.seen) {
            EXPECT_EQ(all, total);
            EXPECT_GE(done, last);
            EXPECT_LE(done, total);
            last = done;
        }
        EXPECT_EQ(calls.seen.back().first, total);
        // Without a control, or without its function, the pixels are the same.
        std::vector<uint8_t> plain;
        EXPECT_EQ(decode(e, nullptr, &plain), Status::Ok);
        EXPECT_EQ(plain, pixels);
        const DecodeControl silent{nullptr, nullptr};
        EXPECT_EQ(decode(e, &silent, &plain), Status::Ok);
        EXPECT_EQ(plain, pixels);
    }
}

TEST(DecodeSeam, CancellingStopsTheDecodeAtAnyReport) {
    for (bool separate : {false, true}) {
        SCOPED_TRACE(separate);
        const Encoded e = colourImage(separate);
        Calls all;
        const DecodeControl counting{&record, &all};
        ASSERT_EQ(decode(e, &counting, nullptr), Status::Ok);
        for (size_t stop : {size_t(0), all.seen.size() / 2, all.seen.size() - 1}) {
            Calls calls;
            calls.stopAt = stop;
            const DecodeControl control{&record, &calls};
            EXPECT_EQ(decode(e, &control, nullptr), Status::Cancelled) << stop;
            EXPECT_EQ(calls.seen.size(), stop + 1) << "no report after the stop";
        }
    }
}

TEST(DecodeSeam, EachRefusalHasItsStatus) {
    const Encoded good = colourImage(false);
    // One byte short: the stream runs out.
    Encoded cut = good;
    cut.header.payloadSize -= 1;
    EXPECT_EQ(decode(cut, nullptr, nullptr), Status::DamagedStream);
    // One byte too many: the payload is not consumed exactly.
    Encoded longer = good;
    longer.header.payloadSize += 1;
    EXPECT_EQ(decode(longer, nullptr, nullptr), Status::DamagedStream);
    // A range-coded grey plane without a plane table whose stream lacks its opening marker.
    Encoded unmarked;
    unmarked.header.width = unmarked.header.height = 4;
    unmarked.header.format = kFormatGrey | 8;
    unmarked.header.flags = kFlagCompressed | kFlagRangeCoded;
    unmarked.payload.assign(16 + kPayloadSlack, 0);
    unmarked.header.payloadSize = 16;
    EXPECT_EQ(decode(unmarked, nullptr, nullptr), Status::MissingMarker);
    // Five planes have no place in the decoding order.
    Encoded five = unmarked;
    five.header.format = 40;
    five.header.flags |= kFlagPlaneTable;
    EXPECT_EQ(decode(five, nullptr, nullptr), Status::Unsupported);
}

TEST(StatusText, EveryStatusHasItsOwnText) {
    std::set<std::string> texts;
    for (Status s : {Status::Ok, Status::DamagedStream, Status::MissingMarker, Status::Unsupported,
                     Status::LimitExceeded, Status::OutOfMemory, Status::Cancelled})
        texts.insert(statusText(s));
    EXPECT_EQ(texts.size(), 7u);
}

}  // namespace
}  // namespace pqz
