// The test-side bit-stream coder: its prefix codes, initial models, the layout of a small
// stream, and that its greedy choices find the copies.
#include "tests/encoder/bitstream_encoder.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "tests/encoder/bitstream_codes.h"
#include "tests/encoder/bitstream_image.h"

namespace pqz::enc {
namespace {

// Reads back what a BitWriter wrote, least significant bit first.
struct BitSource {
    std::vector<uint8_t> bytes;
    size_t pos = 0;
    uint32_t read(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; i++, pos++) v |= uint32_t((bytes[pos / 8] >> (pos % 8)) & 1) << i;
        return v;
    }
};

TEST(BitstreamCodes, DefaultsAreCompleteCodesOfTheRightSize) {
    const int sizes[kPrefixCodeCount] = {3,   4,  5,  6,   7,   128, 128, 128, 128,
                                         128, 32, 24, 257, 257, 257, 257, 257, 257};
    for (int c = 0; c < kPrefixCodeCount; c++) {
        SCOPED_TRACE(c);
        EXPECT_EQ(defaultCodeLengths(c).size(), size_t(sizes[c]));
        EXPECT_EQ(prefixCodeSize(c), sizes[c]);
        EXPECT_TRUE(isCompleteCode(defaultCodeLengths(c)));
        EXPECT_EQ(assignCodewords(defaultCodeLengths(c)).size(), size_t(sizes[c]));
    }
}

TEST(BitstreamCodes, CodewordsFollowTheTableFillOrder) {
    // lengths 1, 2, 2: first bit 1 is symbol 0; 0 then 1 is symbol 2; 0 then 0 is symbol 1
    auto w = assignCodewords({1, 2, 2});
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[0].bits, 1u);
    EXPECT_EQ(w[2].bits, 2u);
    EXPECT_EQ(w[1].bits, 0u);
    // the default literal code 12: symbol 1 (length 3) takes root node 7; symbols 3 and 2
    // (length 4) the sub-table of node 6; the escape (length 6) lands in node 3's sub-table
    // at index 2
    auto lit = assignCodewords(defaultCodeLengths(kCodeLiteral));
    EXPECT_EQ(lit[1].bits, 7u);
    EXPECT_EQ(lit[3].bits, 6u | 1u << 3);
    EXPECT_EQ(lit[2].bits, 6u);
    EXPECT_EQ(lit[0].bits, 3u | 2u << 3);
    EXPECT_EQ(lit[0].length, 6);
}

TEST(BitstreamCodes, RandomLengthSetsGivePrefixFreeCodewordsOrAreRefused) {
    std::mt19937 rng(5);
    for (int trial = 0; trial < 300; trial++) {
        const size_t n = 2 + rng() % 257;
        std::vector<uint64_t> freq(n);
        for (auto& f : freq) f = rng() % 4 ? 0 : (uint64_t(1) << (rng() % 20)) + rng() % 7;
        std::vector<uint8_t> len = fitCodeLengths(freq);
        ASSERT_TRUE(isCompleteCode(len));
        for (size_t s = 0; s < n; s++)
            if (freq[s]) {
                ASSERT_GT(len[s], 0);
            }
        auto w = assignCodewords(len);
        ASSERT_EQ(w.size(), n);
        std::set<std::pair<uint32_t, int>> seen;
        for (size_t s = 0; s < n; s++) {
            ASSERT_EQ(w[s].length, len[s]);
            if (!len[s]) continue;
            // no codeword is a prefix of another (bit 0 is the first bit)
            for (int l = 1; l <= w[s].length; l++)
                ASSERT_EQ(seen.count({w[s].bits & ((1u << l) - 1), l}), 0u);
            seen.insert({w[s].bits, w[s].length});
        }
        for (const auto& [bits, l] : seen)
            for (size_t s = 0; s < n; s++)
                if (len[s] && len[s] < l) {
                    ASSERT_NE(bits & ((1u << len[s]) - 1), w[s].bits);
                }
        // one length shorter or one symbol taken away: no longer a code
        size_t s = 0;
        while (s < n && len[s] < 2) s++;
        if (s == n) continue;
        len[s]--;
        EXPECT_TRUE(assignCodewords(len).empty());
        len[s] = 0;
        EXPECT_TRUE(assignCodewords(len).empty());
    }
}

TEST(BitstreamCoderModels, InitialDistanceCandidates) {
    const auto c100 = initialDistanceCandidates(100);
    const uint32_t first[12] = {100, 1, 200, 101, 99, 2, 300, 201, 199, 102, 98, 3};
    for (int i = 0; i < 12; i++) EXPECT_EQ(c100[size_t(i)], first[i]);
    EXPECT_EQ(c100[63], 404u);  // radius 8 ends after its first eight: 800, 701, 699 ... 404
    for (size_t r :
         {size_t(1), size_t(2), size_t(3), size_t(5), size_t(2047), size_t(3000), size_t(70000)}) {
        const auto c = initialDistanceCandidates(r);
        std::set<uint32_t> distinct(c.begin(), c.end());
        EXPECT_EQ(distinct.size(), 64u) << r;
        EXPECT_GE(*distinct.begin(), 1u);
        EXPECT_LE(*distinct.rbegin(), 16383u);
    }
    // row length 1: every collision takes the next free value, so the list counts 1 to 64
    const auto c1 = initialDistanceCandidates(1);
    for (uint32_t i = 0; i < 64; i++) EXPECT_EQ(c1[i], i + 1);
    // too far and repeated offsets are replaced from 1 upward by values not yet taken
    const auto c3000 = initialDistanceCandidates(3000);
    EXPECT_EQ(c3000[30], 6u);  // 6 x 3000 is too far; 1 to 5 are taken
    EXPECT_EQ(c3000[41], 7u);  // the radius-6 offset 6 is then taken already
}

TEST(BitstreamCoderModels, ContextClassesFromThresholds) {
    const auto cls = contextClasses({10, 5, 20, 200, 255});
    EXPECT_EQ(cls[0], 0);
    EXPECT_EQ(cls[10], 0);
    EXPECT_EQ(cls[11], 32);  // threshold 1 (5) lies below the next entry: class 1 stays empty
    EXPECT_EQ(cls[20], 32);
    EXPECT_EQ(cls[21], 48);
    EXPECT_EQ(cls[255], 64);
    const auto low = contextClasses({3, 3, 3, 3, 3});
    EXPECT_EQ(low[3], 0);
    EXPECT_EQ(low[4], 80);  // past the last threshold: class t
}

TEST(BitstreamCoderLayout, OneByteStream) {
    // selector thresholds, an empty mask, the first byte raw, the escape at p = n
    BitWriter w;
    BitstreamOptions o;
    o.codeLengths = CodeLengthChoice::Default;
    o.selectorThresholds = std::array<uint8_t, 5>{40, 33, 9, 2, 63};
    const uint8_t data[1] = {0xA5};
    BitstreamStats s = encodeBitstream(w, data, 1, 1, o);
    EXPECT_EQ(s.bits, 30u + 18 + 8 + 6);
    BitSource in{w.bytes()};
    EXPECT_EQ(in.read(6), 40u);
    EXPECT_EQ(in.read(6), 33u);
    EXPECT_EQ(in.read(6), 9u);
    EXPECT_EQ(in.read(6), 2u);
    EXPECT_EQ(in.read(6), 63u);
    EXPECT_EQ(in.read(18), 0u);
    EXPECT_EQ(in.read(8), 0xA5u);
    EXPECT_EQ(in.read(6), 3u | 2u << 3);
}

TEST(BitstreamCoderChoices, GreedyCopiesCompressRepetitiveBytes) {
    const std::vector<uint8_t> data = repetitivePicture(97, 400, 99).pixels;
    for (int variant = 0; variant < 4; variant++) {
        BitWriter w;
        BitstreamOptions o;
        o.variant = variant;
        const BitstreamStats s = encodeBitstream(w, data.data(), data.size(), 97, o);
        BitWriter lw;
        o.literalsOnly = true;
        const BitstreamStats lit = encodeBitstream(lw, data.data(), data.size(), 97, o);
        EXPECT_EQ(lit.literals, data.size() - 1);
        EXPECT_LT(s.bits * 3, lit.bits) << variant;
    }
}

}  // namespace
}  // namespace pqz::enc
