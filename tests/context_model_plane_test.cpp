// Whole planes through the context-model decoder's entry point, and single pixels on a
// prepared decoder object: value tables, output packing, run mode, the escape path, and the
// handling of impossible or hostile input.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "codec/range/context_model.h"
#include "codec/range/context_model_state.h"
#include "tests/context_model_test_stream.h"
#include "tests/encoder/context_encoder.h"
#include "tests/encoder/test_images.h"

namespace pqz {
namespace {

using test::CodedStream;

constexpr size_t kGuard = 32;
constexpr uint8_t kGuardByte = 0xCD;

// Decodes into a buffer of outSize bytes followed by guard bytes; checks the guard.
std::vector<uint8_t> decodeGuarded(PayloadReader& st, int width, int height, int depth,
                                   size_t outSize) {
    std::vector<uint8_t> out(outSize + kGuard, kGuardByte);
    RowProgress progress;
    decodeContextModelPlane(st, width, height, depth, out.data(), outSize, progress);
    for (size_t i = outSize; i < out.size(); i++) EXPECT_EQ(out[i], kGuardByte) << "byte " << i;
    out.resize(outSize);
    return out;
}

// A plane of one value: every row is one run to its end, decided through the same child
// counter (first use from the parent (4, 4), then activated to (13, 49) and counting up).
void encodeFlatRows(enc::RangeEncoder& rc, int rows) {
    for (int r = 0; r < rows; r++) {
        if (r == 0)
            rc.encodeBit(1, 4, 4);
        else
            rc.encodeBit(1, 13, 49 + 8 * (r - 1));
    }
}

struct FlatCase {
    int depth;
    std::vector<std::vector<uint32_t>> table;  // value-table symbols: (cumLow, freq, total)
    int rows;                                  // coded rows (doubled for the byte fallback)
    std::vector<uint8_t> row;                  // expected bytes of each output row
};

TEST(ContextModelPlane, FlatPlanesPackEverySampleWidth) {
    const std::vector<FlatCase> cases = {
        {1, {{0, 1, 2}, {1, 1, 2}}, 3, {0xF8}},
        {3, {{0, 1, 8}, {5, 1, 8}}, 3, {0xB4, 0xB4, 0xA0}},
        {6, {{0, 1, 64}, {33, 1, 64}}, 3, {0x84, 0x84, 0x84, 0x84, 0x84}},
        {8, {{0, 1, 256}, {0x5A, 1, 256}}, 3, {0x5A, 0x5A, 0x5A, 0x5A, 0x5A}},
        // Deep samples: one byte list per byte position and context of the previous byte.
        {12,
         {{0, 1, 8193}, {0xBC, 1, 256}, {0x0A, 1, 256}},
         3,
         {0xBC, 0x0A, 0xBC, 0x0A, 0xBC, 0x0A, 0xBC, 0x0A, 0xBC, 0x0A}},
        {24,
         {{0, 1, 8193}, {0x56, 1, 256}, {0x34, 1, 256}, {0x12, 1, 256}},
         3,
         {0x56, 0x34, 0x12, 0x56, 0x34, 0x12, 0x56, 0x34, 0x12, 0x56, 0x34, 0x12, 0x56, 0x34,
          0x12}},
        // More than 8,192 values: a byte plane of twice the height.
        {16,
         {{8192, 1, 8193}, {0, 1, 256}, {0x77, 1, 256}},
         6,
         {0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77}},
    };
    for (const FlatCase& c : cases) {
        SCOPED_TRACE(c.depth);
        CodedStream s;
        for (const auto& t : c.table) s.rc.encodeFreq(t[0], t[1], t[2]);
        encodeFlatRows(s.rc, c.rows);
        PayloadReader& st = s.loadReader();
        const std::vector<uint8_t> out = decodeGuarded(st, 5, 3, c.depth, 3 * c.row.size());
        EXPECT_FALSE(st.damaged);
        EXPECT_EQ(st.cursor, st.end);
        for (int y = 0; y < 3; y++)
            EXPECT_TRUE(std::equal(c.row.begin(), c.row.end(), out.begin() + y * c.row.size()));
    }
}

TEST(ContextModelPlane, RunLengthThenEscapeWithGapSumsMaskedToTheSampleWidth) {
    // 2-bit plane 2 x 1 with values {2, 5}: 5 is damaged (past 2 bits) and is masked to 1.
    CodedStream s;
    s.rc.encodeUniform(1, 4);  // two values
    s.rc.encodeFreq(2, 1, 3);  // gap 2
    s.rc.encodeFreq(0, 5, 7);  // gap 2 again, now first in the list
    s.rc.encodeBit(0, 4, 4);   // the run stops short of its longest length 2 ...
    s.rc.encodeBit(1, 4, 4);   // ... after one pixel
    s.rc.encodeFreq(0, 1, 1);  // escape: only index 1 of the order-zero list is left
    PayloadReader& st = s.loadReader();
    const std::vector<uint8_t> out = decodeGuarded(st, 2, 1, 2, 1);
    EXPECT_FALSE(st.damaged);
    EXPECT_EQ(st.cursor, st.end);
    EXPECT_EQ(out[0], 0x90);  // 2 in bits 7-6, 1 in bits 5-4
}

TEST(ContextModelPlane, RefusesBadDepthsAndShortOutputsBeforeReading) {
    const struct {
        int width, height, depth;
        size_t outSize;
    } bad[] = {{5, 3, 0, 100}, {5, 3, 33, 100}, {5, 3, 8, 14},
               {5, 3, 3, 8},   {5, 3, 32, 59},  {-1, 3, 8, 100}};
    for (const auto& b : bad) {
        CodedStream s;
        encodeFlatRows(s.rc, 3);
        PayloadReader& st = s.loadReader();
        const std::vector<uint8_t> out = decodeGuarded(st, b.width, b.height, b.depth, b.outSize);
        EXPECT_TRUE(st.damaged);
        EXPECT_EQ(st.cursor, st.start);
        for (uint8_t v : out) EXPECT_EQ(v, kGuardByte);
    }
}

TEST(ContextModelPlane, DamagedOrRandomStreamsStayInsideTheirBuffersAndEnd) {
    std::mt19937 rng(11);
    const int depths[] = {1, 2, 3, 5, 8, 12, 16, 24, 32};
    const int sizes[][2] = {{1, 9}, {13, 7}, {40, 6}, {3, 1}};
    for (int depth : depths) {
        for (const auto& wh : sizes) {
            const int w = wh[0], h = wh[1];
            const size_t outSize = depth < 8 ? size_t((w + 8 / depth - 1) / (8 / depth)) * h
                                             : size_t(w) * h * ((depth + 7) / 8);
            for (int trial = 0; trial < 3; trial++) {
                std::vector<uint8_t> noise(1 + rng() % 600);
                for (uint8_t& b : noise) b = uint8_t(rng());
                noise[0] = kStreamMarker;
                PayloadReader st = test::loadPayload(noise);
                decodeGuarded(st, w, h, depth, outSize);
                EXPECT_LE(st.cursor, st.end);
            }
        }
    }
    // A sound stream cut short.
    CodedStream s;
    s.rc.encodeFreq(0, 1, 2);
    s.rc.encodeFreq(0x5A, 1, 256);
    encodeFlatRows(s.rc, 40);
    PayloadReader& st = s.loadReader();
    st.end = st.start + 6;
    decodeGuarded(st, 3, 40, 8, 120);
    EXPECT_TRUE(st.damaged);
}

// A decoder object after its value table, with the first row begun; the stream continues with
// noise for whatever the pixel decodes.
struct PreparedPlane {
    CodedStream s;
    ContextModel* cm = nullptr;
    RangeDecoder* st = nullptr;

    PreparedPlane(int width, int depth, const std::vector<std::vector<uint32_t>>& table) {
        for (const auto& t : table) s.rc.encodeFreq(t[0], t[1], t[2]);
        st = &s.loadStarted(std::vector<uint8_t>(64, 0x55));
        cm = createContextModel(width, 4, depth);
        EXPECT_TRUE(decodeValueTable(*st, *cm));
        setUpModels(*cm);
        beginRow(*cm);
    }
    ~PreparedPlane() { destroyContextModel(cm); }
};

TEST(ContextModelPlane, ObjectStartsWithItsTables) {
    PreparedPlane one(1, 8, {{0, 1, 256}, {0, 1, 256}});
    EXPECT_EQ(one.cm->runLengthBitCount[0], 0);
    EXPECT_EQ(one.cm->runLengthBitCount[1], 0);
    EXPECT_EQ(kReversedBits[1], 0x8000);
    EXPECT_EQ(kReversedBits[3], 0xC000);
    EXPECT_EQ(kReversedBits[8191], 0xFFF8);
    PreparedPlane nine(9, 8, {{0, 1, 256}, {0, 1, 256}});
    const uint8_t bits[10] = {0, 0, 0, 1, 1, 2, 2, 2, 2, 3};
    EXPECT_EQ(std::memcmp(nine.cm->runLengthBitCount, bits, 10), 0);
}

TEST(ContextModelPlane, ContextNumbersPastTheirTablesRefuseThePlane) {
    const std::vector<std::vector<uint32_t>> small = {{0, 1, 256}, {0, 1, 256}};  // one value
    const std::vector<std::vector<uint32_t>> full = {{255, 1, 256}};              // 256 values
    {
        PreparedPlane p(4, 8, small);  // small alphabets: 16 numbers per second context
        p.cm->nextLocalModel = 44500;
        EXPECT_EQ(decodePixel(*p.st, *p.cm, 0), 1);
        EXPECT_TRUE(p.st->damaged);
        EXPECT_EQ(p.cm->rowCursor[0][0].index, 0);
    }
    {
        PreparedPlane p(4, 8, full);  // the small-alphabet table is not used
        p.cm->nextLocalModel = 44500;
        decodePixel(*p.st, *p.cm, 0);
        EXPECT_FALSE(p.st->damaged);
    }
    for (int32_t ContextModel::*next :
         {&ContextModel::nextLocalSlot, &ContextModel::nextLocalModel}) {
        PreparedPlane p(4, 8, full);  // 13,600 first numbers; second numbers past 16 bits
        p.cm->*next = next == &ContextModel::nextLocalSlot ? 13600 : 0x10000;
        decodePixel(*p.st, *p.cm, 0);
        EXPECT_TRUE(p.st->damaged);
    }
}

TEST(ContextModelPlane, ClassModel188ContextsRunIntoTheSecondTable) {
    // Flags copied by a run say W equals its neighbours though its index differs; the recent
    // pair then matches W in the all-equal class, whose pair has no model of its own: number
    // 188. Its first contexts lie behind the first table, in the second one, as written.
    PreparedPlane p(4, 8, {{255, 1, 256}});
    ContextModel& cm = *p.cm;
    cm.rowCursor[0][0] = RowEntry{1, 1, 1, 1, 1, 1, 1};
    for (RowEntry*& c : cm.rowCursor) c++;
    const uint32_t hash = (kReversedBits[0] - 1) & 0xFFFF;
    pairsOf(cm, hashRecord(cm, hash), 14, hash)[0] = 1;
    cm.localModelOf()[5] = 7;  // a second context number handed out before
    decodePixel(*p.st, cm, 1);
    EXPECT_EQ(cm.classModelIndex, 188);
    EXPECT_EQ(cm.nextLocalSlot, 1);
    EXPECT_EQ(cm.localModelOf()[1023], 0);  // first context 188 * 1024 + 1023
    EXPECT_EQ(cm.localModelOf()[5], 7);     // the shared entries are not set up again
}

// Sets up every part of the large tables that the decoder otherwise sets up on first use.
void setUpEverything(ContextModel& cm) {
    for (uint32_t h = 0; h < kHashedContexts; h++) hashRecord(cm, h);
    for (uint32_t c = 0; c <= uint32_t(kClassModels); c++) localSlotBlock(cm, c);
    ensureNumbers(cm.localModelOf(), cm.localModelOfReady, kLocalModelEntries - 1,
                  kLocalModelEntries);
    ensureNumbers(cm.smallModelOf(), cm.smallModelOfReady, kSmallModelEntries - 1,
                  kSmallModelEntries);
    localModel(cm, kLocalModels - 2);
}

struct PlaneResult {
    std::vector<uint8_t> out;
    bool damaged;
    ptrdiff_t consumed;
    int32_t numbers[3];
};

PlaneResult decodeWhole(std::vector<uint8_t> payload, int width, int height, int depth,
                        bool setUpFirst) {
    PayloadReader st = test::loadPayload(payload);
    RowProgress progress;
    const size_t size = depth < 8 ? size_t((width + 8 / depth - 1) / (8 / depth)) * height
                                  : size_t(width) * height * ((depth + 7) / 8);
    PlaneResult r{std::vector<uint8_t>(size), false, 0, {}};
    ContextModel* cm = createContextModel(width, height, depth);
    if (setUpFirst) setUpEverything(*cm);
    decodeContextModel(st, *cm, r.out.data(), size, progress);
    r.damaged = st.damaged;
    r.consumed = st.cursor - st.start;
    r.numbers[0] = cm->nextLocalSlot;
    r.numbers[1] = cm->nextLocalModel;
    r.numbers[2] = cm->nextSmallModel;
    destroyContextModel(cm);
    return r;
}

void expectSameDecoding(const std::vector<uint8_t>& payload, int width, int height, int depth) {
    const PlaneResult lazy = decodeWhole(payload, width, height, depth, false);
    const PlaneResult eager = decodeWhole(payload, width, height, depth, true);
    EXPECT_EQ(lazy.out, eager.out);
    EXPECT_EQ(lazy.damaged, eager.damaged);
    EXPECT_EQ(lazy.consumed, eager.consumed);
    for (int i = 0; i < 3; i++) EXPECT_EQ(lazy.numbers[i], eager.numbers[i]) << "counter " << i;
}

TEST(ContextModelPlane, TablesSetUpOnFirstUseDecodeAsIfSetUpAtOnce) {
    // Coded photo crops, plain and with the encoder's random choices, with large and small
    // alphabets (the latter use the small-alphabet numbers).
    const enc::Picture camera = enc::loadImage("camera.png");
    for (int depth : {8, 4}) {
        for (uint32_t seed : {0u, 3u}) {
            SCOPED_TRACE(testing::Message() << "depth " << depth << " seed " << seed);
            const enc::Picture crop = enc::quantise(enc::crop(camera, 200, 150, 96, 80), depth);
            std::vector<uint32_t> samples(crop.pixels.begin(), crop.pixels.end());
            std::vector<uint8_t> payload;
            enc::ContextEncodeOptions options;
            options.seed = seed;
            ASSERT_TRUE(
                enc::encodeContextPlane(samples, crop.width, crop.height, depth, payload, options)
                    .ok);
            expectSameDecoding(payload, crop.width, crop.height, depth);
        }
    }
    // Noise: damaged planes go through contexts no encoder would choose, the class model past
    // the table among them.
    std::mt19937 rng(23);
    for (int trial = 0; trial < 12; trial++) {
        SCOPED_TRACE(trial);
        std::vector<uint8_t> noise(2000 + rng() % 2000);
        for (uint8_t& b : noise) b = uint8_t(rng());
        noise[0] = kStreamMarker;
        const int depth = trial % 3 == 0 ? 4 : 8;
        expectSameDecoding(noise, 24 + trial, 40, depth);
    }
}

}  // namespace
}  // namespace pqz
