// The context-model encoder on its own: its value table read back by a small decoding mirror,
// stream framing.
#include "tests/encoder/context_encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "codec/shared/range_decoder.h"
#include "tests/encoder/context_encoder_models.h"
#include "tests/test_support.h"

namespace pqz {
namespace {

using enc::ContextEncodeOptions;
using enc::ContextEncodeResult;
using enc::encodeContextPlane;

// Reads the value table at the start of a stream: the number of values, then the gaps of the
// increasing values (up to 8 bits) or each value's bytes in lists chosen by the previous bits.
// The lists keep their state through the encoder's list model (coding into a scratch stream).
struct TableReader {
    RangeDecoder st;
    std::vector<uint8_t> scratch;
    enc::RangeEncoder sink{scratch};
    enc::Exclusions ex;
    bool split = false;

    int decode(enc::ListModel& list) {
        uint32_t sum = 0;
        for (uint32_t i = 0; i < list.count; i++) sum += list.entries[i].freq;
        const uint32_t total = list.escape + sum;
        const uint32_t v = rangeDecodeFreq(st, total);
        uint32_t run = 0;
        for (uint32_t i = 0; i < list.count; i++) {
            run += list.entries[i].freq;
            if (run > v) {
                const int index = list.entries[i].index;
                const uint32_t low = run - list.entries[i].freq;
                list.encode(sink, ex, index);
                rangeUpdate(st, low, run);
                return index;
            }
        }
        ADD_FAILURE() << "escape in a value list";
        return -1;
    }

    std::vector<uint32_t> read(int depth) {
        const int n = (depth + 7) / 8;
        const uint32_t mask = depth >= 32 ? 0xFFFFFFFFu : (1u << depth) - 1;
        const uint32_t count = rangeDecodeUniform(st, depth > 8 ? 8193 : mask + 1) + 1;
        if (count > 8192) {
            split = true;
            return read(8);
        }
        std::vector<uint32_t> values(count);
        for (uint32_t i = 0; i < count; i++) values[i] = i;
        if (depth > 8) {
            std::vector<enc::ListModel> lists(size_t(4 * n));
            for (auto& l : lists) l.init(256, true);
            for (uint32_t i = 0; i < count; i++) {
                values[i] = 0;
                int ctx = i ? (values[i - 1] >> 7) & 1 : 0;
                for (int j = 0; j < n; j++) {
                    const int b = decode(lists[size_t(ctx + 4 * j)]);
                    values[i] += uint32_t(b) << (8 * j);
                    ctx = b >> 6;
                }
            }
        } else if (count <= mask) {
            enc::ListModel gaps;
            gaps.init(mask - count + 2, true);
            gaps.limit = 19 * gaps.capacity;
            uint32_t s = 0;
            for (uint32_t i = 0; i < count; i++) {
                const int g = decode(gaps);
                values[i] = s + uint32_t(g);
                s += uint32_t(g) + 1;
            }
        }
        return values;
    }
};

std::vector<uint32_t> readTable(std::vector<uint8_t> stream, int depth, bool* split = nullptr) {
    TableReader r;
    PayloadReader in = test::loadPayload(stream);
    rangeStart(r.st, in);
    std::vector<uint32_t> values = r.read(depth);
    if (split) *split = r.split;
    return values;
}

std::vector<uint32_t> sortedDistinct(std::vector<uint32_t> v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    return v;
}

TEST(ContextEncoder, ValueTablesReadBack) {
    std::mt19937 rng(11);
    struct Case {
        int depth;
        std::vector<uint32_t> samples;
    };
    std::vector<Case> cases = {{1, {1, 1, 1}}, {1, {0, 1, 1, 0}}, {3, {2, 5, 7, 5}},
                               {8, {0, 255}},  {8, {}},           {12, {}},
                               {16, {}},       {24, {}},          {32, {0, 0xFFFFFFFFu, 0x80}}};
    for (int v = 0; v < 256; v++) cases[4].samples.push_back(uint32_t(v));
    for (int i = 0; i < 600; i++) {
        cases[5].samples.push_back(rng() & 0xFFF);
        cases[6].samples.push_back(rng() & 0xFFFF);
        cases[7].samples.push_back(rng() & 0xFFFFFF);
    }
    for (const Case& c : cases) {
        std::vector<uint8_t> stream;
        ContextEncodeResult r =
            encodeContextPlane(c.samples, int(c.samples.size()), 1, c.depth, stream);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(readTable(stream, c.depth), sortedDistinct(c.samples)) << "depth " << c.depth;
    }
    // Gaps of a partly used 8-bit alphabet, with every gap size from 0 to the largest.
    std::vector<uint32_t> gappy;
    for (uint32_t v = 0, g = 0; v < 256; v += ++g) gappy.push_back(v);
    std::vector<uint8_t> stream;
    ASSERT_TRUE(encodeContextPlane(gappy, int(gappy.size()), 1, 8, stream).ok);
    EXPECT_EQ(readTable(stream, 8), gappy);
}

TEST(ContextEncoder, DeepPlanesWithManyValuesBecomeBytePlanes) {
    // 9,000 distinct 16-bit values: the table says "more than 8,192" and the plane continues
    // as bytes, whose own table follows.
    std::vector<uint32_t> samples;
    for (uint32_t i = 0; i < 9000; i++) samples.push_back(i * 7 % 65536);
    std::vector<uint8_t> stream;
    ContextEncodeResult r = encodeContextPlane(samples, 100, 90, 16, stream);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.stats.bytePlanes);
    bool split = false;
    std::vector<uint32_t> bytes;
    for (uint32_t s : samples) bytes.push_back(s & 0xFF), bytes.push_back(s >> 8);
    EXPECT_EQ(readTable(stream, 16, &split), sortedDistinct(bytes));
    EXPECT_TRUE(split);

    // Exactly 8,192 values stay one plane.
    samples.resize(8192);
    stream.clear();
    r = encodeContextPlane(samples, 8192, 1, 16, stream);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_FALSE(r.stats.bytePlanes);
    EXPECT_EQ(readTable(stream, 16, &split), sortedDistinct(samples));
    EXPECT_FALSE(split);
}

TEST(ContextEncoder, SeededTablesListEveryValueOfThePlaneAndStreamsAreFramed) {
    std::mt19937 rng(5);
    int supersets = 0, junk = 0;
    for (uint32_t seed = 1; seed <= 40; seed++) {
        const int depth = 1 + int(seed % 12);
        std::vector<uint32_t> samples(64);
        for (auto& s : samples) s = rng() & ((1u << depth) - 1) & 0x1F7;
        std::vector<uint8_t> stream = {0xAB};  // the stream is appended
        ContextEncodeOptions opt;
        opt.seed = seed;
        ContextEncodeResult r = encodeContextPlane(samples, 8, 8, depth, stream, opt);
        ASSERT_TRUE(r.ok) << r.error;
        ASSERT_GE(stream.size(), 6u);
        EXPECT_EQ(stream[0], 0xAB);
        EXPECT_EQ(stream[1], 0x97);
        EXPECT_EQ(stream.back(), 0x97);
        junk += stream[stream.size() - 2] != 0;  // flush ends with three zero bytes
        stream.erase(stream.begin());
        if (r.stats.bytePlanes) continue;
        std::vector<uint32_t> table = readTable(stream, depth);
        std::vector<uint32_t> used = sortedDistinct(samples);
        EXPECT_TRUE(std::includes(table.begin(), table.end(), used.begin(), used.end()));
        EXPECT_TRUE(std::is_sorted(table.begin(), table.end()));
        supersets += table.size() > used.size();
    }
    EXPECT_GT(supersets, 0);
    EXPECT_GT(junk, 0);
}

}  // namespace
}  // namespace pqz
