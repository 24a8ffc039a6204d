// Coding method 2 through its entry points: stream framing, narrow and empty planes, damaged and
// hostile input, the floating-point environment, threads and memory shortage.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "codec/method2/method2.h"
#include "codec/method2/method2_decoder.h"
#include "codec/method2/method2_float.h"
#include "codec/shared/range_decoder.h"
#include "tests/encoder/test_images.h"
#include "tests/float_control.h"
#include "tests/method2_test_support.h"
#include "tests/test_support.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PQZ2_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PQZ2_SANITIZED 1
#endif
#endif

#ifndef PQZ2_SANITIZED
// Zero-filled allocations of this thread fail once failingCalloc earlier ones have succeeded
// (-1: none fails). Everything else passes through to the C library.
namespace {
thread_local int failingCalloc = -1;
}
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* calloc(size_t count, size_t size) {
    if (failingCalloc == 0) {
        failingCalloc = -1;
        return nullptr;
    }
    if (failingCalloc > 0) failingCalloc--;
    return __libc_calloc(count, size);
}
#endif

namespace pqz {
namespace {

using method2test::loadStream;
using method2test::randomStream;

constexpr uint8_t kUntouched = 0xEE;
// Where the last decode left the cursor: bytes consumed, and whether it stands just behind the
// stream's closing marker with the bit reader reset there.
thread_local size_t lastConsumed = 0;
thread_local bool lastStreamFramed = false;

void noteCursor(const PayloadReader& st) {
    lastConsumed = size_t(st.cursor - st.start);
    lastStreamFramed = lastConsumed > 0 && st.cursor[-1] == 0x97 && st.segmentStart == st.cursor;
}

// Decodes a grey plane from bytes; the buffer has 16 guard bytes behind the plane.
std::vector<uint8_t> decodeGrey(std::vector<uint8_t> bytes, int width, int height,
                                int tolerance = 0, bool* damaged = nullptr,
                                method2::LaneWidth lanes = method2::widestLaneWidth()) {
    method2test::Stream s = loadStream(bytes, tolerance);
    PayloadReader& st = s.in;
    std::vector<uint8_t> out(size_t(width) * height + 16, kUntouched);
    RowProgress progress;
    if (lanes == method2::widestLaneWidth()) {
        decodePlane8Method2(st, s.head, out.data(), width, height, progress);
    } else {
        method2::DecodeFloatEnvironment environment;
        method2::decodeSinglePlane(st, s.head, out.data(), width, height, progress, lanes);
    }
    if (damaged) *damaged = st.damaged;
    noteCursor(st);
    return out;
}

struct MultiSetUp {
    int planes = 3;
    int tolerance = 0;
    uint8_t order[4] = {0, 1, 2, 3};
    bool reference[4] = {};
    int coef[3] = {0, 0, 0};
};

std::vector<uint8_t> decodeMulti(std::vector<uint8_t> bytes, int width, int height,
                                 const MultiSetUp& set, bool* damaged = nullptr, size_t shortBy = 0,
                                 method2::LaneWidth lanes = method2::widestLaneWidth()) {
    method2test::Stream s = loadStream(bytes, set.tolerance);
    PayloadReader& st = s.in;
    s.head.planeCount = set.planes;
    for (int k = 0; k < 4; k++) {
        s.head.orderMap[k] = set.order[k];
        PlaneDescriptor& p = s.head.planeTable[set.order[k] & 3];
        p.flags = uint8_t(2 | 4 | (set.reference[k] ? 8 : 0));
        for (int c = 0; c < 3; c++) p.coef[c] = set.coef[c];
    }
    const size_t size = size_t(width) * height * size_t(set.planes);
    std::vector<uint8_t> out(size + 16, kUntouched);
    RowProgress progress;
    if (lanes == method2::widestLaneWidth()) {
        decodePlaneMethod2(st, s.head, width, height, out.data(), size - shortBy, progress);
    } else {
        method2::DecodeFloatEnvironment environment;
        method2::decodeInterleavedImage(st, s.head, width, height, out.data(), progress, lanes);
    }
    if (damaged) *damaged = st.damaged;
    noteCursor(st);
    return out;
}

bool untouchedFrom(const std::vector<uint8_t>& out, size_t from) {
    for (size_t i = from; i < out.size(); i++)
        if (out[i] != kUntouched) return false;
    return true;
}

// A 1 x 1 plane whose only sample is coded with an even residual symbol of magnitude x, in the
// fresh models of the first row (left neighbour 0: ternary model 7055, magnitude context 15).
std::vector<uint8_t> evenSymbolStream(uint32_t x) {
    std::vector<uint8_t> bytes;
    enc::RangeEncoder rc(bytes);
    rc.encodeFreq(2048 + 2816, 2816, 7680);
    static const uint32_t kClassCount[8] = {205, 124, 147, 83, 48, 16, 8, 4};
    int cls = 0;
    for (uint32_t v = x; v; v >>= 1) cls++;
    uint32_t low = 0;
    for (int k = 0; k < cls; k++) low += kClassCount[k];
    rc.encodeFreq(low, kClassCount[cls], 635);
    for (int b = cls - 2; b >= 0; b--) rc.encodeBit(int(x >> b) & 1, 60, 36);
    rc.finish();
    return bytes;
}

TEST(Method2Decode, EvenSymbolsIncludingTheOneBeyondTheTable) {
    // Symbol 2 + 2x: x = 0 gives residual +1, x = 126 gives +127, and x = 127 gives symbol 256,
    // one past the residual table, which means residual 0.
    const std::pair<uint32_t, int> cases[] = {{0, 1}, {126, 127}, {127, 0}};
    for (const auto& [x, sample] : cases) {
        bool damaged = true;
        std::vector<uint8_t> out = decodeGrey(evenSymbolStream(x), 1, 1, 0, &damaged);
        EXPECT_FALSE(damaged) << x;
        EXPECT_EQ(out[0], sample) << x;
        EXPECT_TRUE(untouchedFrom(out, 1));
        EXPECT_TRUE(lastStreamFramed);
    }
}

TEST(Method2Decode, NarrowRowsReadZeroRecordsPastTheirEnd) {
    // The left margin of a row copies records 0..7 of the row above; rows of width 0 to 2 end
    // earlier, and what lies behind them must read as zero records.
    method2::DecodeShared shared;
    method2::initShared(shared, false, 0);
    for (int w = 0; w <= 3; w++) {
        MagnitudeTable magnitudes;
        method2::Method2Decoder* d =
            method2::createDecoder(PayloadHead{}, shared, w, 0, magnitudes);
        ASSERT_NE(d, nullptr);
        for (int x = 0; x < w; x++) {
            d->rowBuffer[0][x].value = d->rowBuffer[0][x].aux = int16_t(16 * (x + 1));
            d->rowBuffer[0][x].magnitude = 2;
        }
        method2::finishFirstRow(*d);
        method2::beginRow(*d);
        const method2::PixelRecord* row = d->rowBuffer[0];
        const method2::PixelRecord* above = d->rowBuffer[1];
        const int lastRecord = w + method2::kRightMargin - 1;
        for (int k = 1; k <= method2::kLeftMargin; k++) {
            method2::PixelRecord expected{};
            if (k - 1 <= lastRecord) expected = above[k - 1];
            EXPECT_EQ(std::memcmp(&row[-k], &expected, sizeof expected), 0)
                << "width " << w << " record " << -k;
        }
        if (w > 0) {
            EXPECT_EQ(row[-1].value, 16);
        }
        method2::releaseDecoder(d);
    }
}

TEST(Method2Decode, SmallAndEmptyPlanesFrameTheirStreamAndStayInside) {
    for (int w = 0; w <= 4; w++) {
        for (int h = 0; h <= 3; h++) {
            std::vector<uint8_t> bytes = randomStream(uint32_t(100 * w + h), 400);
            bool damaged = true;
            std::vector<uint8_t> out = decodeGrey(bytes, w, h, 2, &damaged);
            EXPECT_FALSE(damaged) << w << "x" << h;
            EXPECT_TRUE(untouchedFrom(out, size_t(w) * h)) << w << "x" << h;
            EXPECT_TRUE(lastStreamFramed) << w << "x" << h;
            // The same stream decodes the same way again.
            EXPECT_EQ(decodeGrey(bytes, w, h, 2), out);
        }
    }
}

TEST(Method2Decode, ResultDoesNotDependOnTheCallersFloatSettings) {
    const std::vector<uint8_t> grey = randomStream(11, 6000);
    const std::vector<uint8_t> colour = randomStream(12, 9000);
    MultiSetUp set;
    set.reference[1] = set.reference[2] = true;
    set.coef[0] = set.coef[1] = 64;

    // Under the processor's default settings.
    const std::vector<uint8_t> greyRef = decodeGrey(grey, 40, 40);
    const std::vector<uint8_t> colourRef = decodeMulti(colour, 24, 20, set);

    for (uint64_t control : test::oddFloatControls()) {
        std::vector<uint8_t> g, c;
        uint64_t caller, afterGrey, afterColour;
        {
            test::CallerFloatControl scope(control);
            caller = scope.taken();
            g = decodeGrey(grey, 40, 40);
            afterGrey = test::floatControl();
            test::setFloatControl(caller);
            c = decodeMulti(colour, 24, 20, set);
            afterColour = test::floatControl();
        }
        EXPECT_EQ(g, greyRef) << std::hex << control;
        EXPECT_EQ(c, colourRef) << std::hex << control;
        EXPECT_EQ(afterGrey, caller) << std::hex << control;
        EXPECT_EQ(afterColour, caller) << std::hex << control;
    }
}

// The bias cells adapt sixteen lanes at a time where the processor has AVX2, else eight: both
// decode busy random pictures alike (the vectors' own tests check the widest).
TEST(Method2Decode, BothLaneWidthsDecodeAlike) {
    if (method2::widestLaneWidth() == method2::LaneWidth::Eight)
        GTEST_SKIP() << "this processor has only the eight-lane adaptation";
    const method2::LaneWidth eight = method2::LaneWidth::Eight;
    const std::vector<uint8_t> grey = randomStream(21, 8000);
    const std::vector<uint8_t> colour = randomStream(22, 12000);
    MultiSetUp set;
    set.reference[1] = set.reference[2] = true;
    set.coef[0] = set.coef[1] = 64;
    for (int tolerance : {0, 3}) {
        EXPECT_EQ(decodeGrey(grey, 48, 40, tolerance, nullptr, eight),
                  decodeGrey(grey, 48, 40, tolerance));
        set.tolerance = tolerance;
        EXPECT_EQ(decodeMulti(colour, 30, 24, set, nullptr, 0, eight),
                  decodeMulti(colour, 30, 24, set));
    }
    set.planes = 4;
    EXPECT_EQ(decodeMulti(colour, 20, 20, set, nullptr, 0, eight),
              decodeMulti(colour, 20, 20, set));
}

TEST(Method2Decode, DamagedStreamStopsAtTheNextRow) {
    // 40 bytes and no closing marker: the stream runs out within the first rows; the rows after
    // the one where that is noticed are never written.
    std::vector<uint8_t> bytes = randomStream(5, 40);
    bytes.pop_back();
    bool damaged = false;
    std::vector<uint8_t> out;
    {
        test::CallerFloatControl caller(test::oddFloatControls().back());
        out = decodeGrey(bytes, 64, 64, 0, &damaged);
        EXPECT_EQ(test::floatControl(), caller.taken());  // restored on this way out too
    }
    EXPECT_TRUE(damaged);
    EXPECT_TRUE(untouchedFrom(out, 64 * 8));

    MultiSetUp set;
    set.planes = 4;
    damaged = false;
    out = decodeMulti(bytes, 32, 32, set, &damaged);
    EXPECT_TRUE(damaged);
    EXPECT_TRUE(untouchedFrom(out, 32 * 4 * 8));
}

TEST(Method2Decode, FullSlotTableRefusesTheImage) {
    std::vector<uint8_t> bytes = randomStream(9, 4000);
    method2test::Stream s = loadStream(bytes);
    RangeDecoder st;
    MagnitudeTable magnitudes;
    ASSERT_TRUE(magnitudes.create(2));
    method2::DecodeShared shared;
    method2::initShared(shared, false, 0);
    method2::Method2Decoder* d = method2::createDecoder(s.head, shared, 16, 0, magnitudes);
    ASSERT_NE(d, nullptr);
    // The last free slot is handed out normally.
    d->slotCount = method2::kSlots - 2;
    EXPECT_EQ(method2::handOutSlot(st, *d, 7), &d->slots[method2::kSlots - 1]);
    EXPECT_FALSE(st.damaged);
    EXPECT_EQ(d->slotOfContext[7], method2::kSlots - 1);

    // With the table full, a new context refuses the image and writes nothing outside.
    std::memset(d->slotOfContext, 0, sizeof d->slotOfContext);
    rangeStart(st, s.in);
    method2::finishFirstRow(*d);
    method2::beginRow(*d);
    for (int x = 0; x < 16; x++) {
        const int32_t pred = method2::predictPixel(st, *d, nullptr, nullptr);
        ASSERT_GE(pred, 0);
        ASSERT_LE(pred, 255);
        const uint32_t sym = method2::decodeTernaryResidual(
            st, magnitudes, d->ternaryModels[d->ternaryIndex], d->magnitudeContext);
        const int32_t sample = (method2::residualOf(*d, sym) + pred) & 0xFF;
        method2::updatePixel(*d, sample, sym & 0xFF, sample - pred);
    }
    rangeFinish(st, s.in);
    EXPECT_TRUE(s.in.damaged);
    EXPECT_EQ(d->slotCount, method2::kSlots - 1);
    for (int16_t s : d->slotOfContext) EXPECT_EQ(s, 0);
    method2::releaseDecoder(d);
}

TEST(Method2Decode, MultiPlaneImagesNeedThreeOrFourPlanesAndRoomForThem) {
    const std::vector<uint8_t> bytes = randomStream(3, 3000);
    for (int planes : {1, 2, 5, 8}) {
        MultiSetUp set;
        set.planes = planes;
        bool damaged = false;
        std::vector<uint8_t> out = decodeMulti(bytes, 6, 4, set, &damaged);
        EXPECT_TRUE(damaged) << planes;
        EXPECT_TRUE(untouchedFrom(out, 0));
        EXPECT_EQ(lastConsumed, 0u);  // the stream is not started
    }
    MultiSetUp set;
    bool damaged = false;
    EXPECT_TRUE(untouchedFrom(decodeMulti(bytes, 6, 4, set, &damaged, 1), 0));
    EXPECT_TRUE(damaged);
    // A decoding position that names no byte of the pixel.
    set.order[2] = 3;
    damaged = false;
    EXPECT_TRUE(untouchedFrom(decodeMulti(bytes, 6, 4, set, &damaged), 0));
    EXPECT_TRUE(damaged);
}

TEST(Method2Decode, MultiPlaneImagesStayInsideTheirPixels) {
    MultiSetUp three;
    three.order[0] = 2;
    three.order[1] = 0;
    three.order[2] = 1;
    three.reference[1] = three.reference[2] = true;
    three.coef[0] = 191;
    three.coef[1] = -64;
    three.tolerance = 3;
    MultiSetUp four;
    four.planes = 4;
    four.order[0] = 1;
    four.order[1] = 2;
    four.order[2] = 0;
    four.reference[0] = four.reference[1] = four.reference[2] = four.reference[3] = true;
    four.coef[0] = four.coef[1] = four.coef[2] = 191;
    for (const MultiSetUp& set : {three, four}) {
        for (int w : {1, 2, 9}) {
            const std::vector<uint8_t> bytes = randomStream(uint32_t(w * 7 + set.planes), 6000);
            bool damaged = true;
            const std::vector<uint8_t> out = decodeMulti(bytes, w, 6, set, &damaged);
            EXPECT_FALSE(damaged) << w;
            EXPECT_TRUE(lastStreamFramed) << w;
            EXPECT_TRUE(untouchedFrom(out, size_t(w) * 6 * set.planes)) << w;
            EXPECT_EQ(decodeMulti(bytes, w, 6, set), out);
        }
    }
}

TEST(Method2Decode, ConcurrentDecodesAgreeWithSequentialOnes) {
    // Each thread has its own decoding state; nothing the decoders change is shared.
    const std::vector<uint8_t> grey = randomStream(21, 5000);
    const std::vector<uint8_t> colour = randomStream(22, 8000);
    MultiSetUp set;
    set.planes = 4;
    set.reference[3] = true;
    set.coef[2] = 100;
    const std::vector<uint8_t> greyRef = decodeGrey(grey, 33, 31);
    const std::vector<uint8_t> colourRef = decodeMulti(colour, 17, 13, set);
    // A multi-plane decode that fails half-way leaves nothing behind for later decodes.
    std::vector<uint8_t> cut(colour.begin(), colour.begin() + 300);
    bool damaged = false;
    decodeMulti(cut, 17, 13, set, &damaged);
    EXPECT_TRUE(damaged);
    EXPECT_EQ(decodeGrey(grey, 33, 31), greyRef);

    std::vector<std::vector<uint8_t>> results(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 2; round++)
                results[t] = t % 2 ? decodeMulti(colour, 17, 13, set) : decodeGrey(grey, 33, 31);
        });
    }
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < 4; t++) EXPECT_EQ(results[t], t % 2 ? colourRef : greyRef) << t;
}

TEST(Method2Decode, MemoryShortageRefusesWithoutWriting) {
#ifdef PQZ2_SANITIZED
    GTEST_SKIP() << "the sanitizers own the allocator";
#else
    // Every zero-filled allocation of a decode fails in turn: the image is refused and nothing
    // is written.
    const std::vector<uint8_t> bytes = randomStream(4, 2000);
    for (int k = 0; k < 2; k++) {
        failingCalloc = k;
        bool damaged = false;
        const std::vector<uint8_t> out = decodeGrey(bytes, 12, 5, 0, &damaged);
        EXPECT_EQ(failingCalloc, -1) << k;
        failingCalloc = -1;
        EXPECT_TRUE(damaged) << k;
        EXPECT_TRUE(untouchedFrom(out, 0)) << k;
    }
    MultiSetUp set;
    set.planes = 4;
    for (int k = 0; k < 8; k++) {
        failingCalloc = k;
        bool damaged = false;
        const std::vector<uint8_t> out = decodeMulti(bytes, 12, 5, set, &damaged);
        EXPECT_EQ(failingCalloc, -1) << k;
        failingCalloc = -1;
        EXPECT_TRUE(damaged) << k;
        EXPECT_TRUE(untouchedFrom(out, 0)) << k;
    }
#endif
}

}  // namespace
}  // namespace pqz
