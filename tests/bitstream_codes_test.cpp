// Prefix codes and literal rank lists of the bit-stream decoder.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codec/bitstream/prefix_codes.h"
#include "codec/bitstream/rank_lists.h"
#include "pipeline/bit_reader.h"
#include "tests/encoder/bit_writer.h"

namespace pqz {
namespace {

// Writes a bit string of '0' and '1', first bit first.
void writeBits(enc::BitWriter& w, const std::string& bits) {
    for (char c : bits) w.write(c == '1', 1);
}

// The written bits as a loaded payload, with the loader's zero slack.
struct Stream {
    std::vector<uint8_t> bytes;
    ReaderState st{};

    explicit Stream(enc::BitWriter& w, const std::string& bits = "") {
        writeBits(w, bits);
        bytes = w.bytes();
        const size_t size = bytes.size();
        bytes.resize(size + kPayloadSlack, 0);
        st.payloadStart = st.cursor = st.segmentStart = bytes.data();
        st.payloadSize = uint32_t(size);
        st.payloadEnd = bytes.data() + size;
    }
};

TEST(BitStreamCodes, DefaultCodesDecodeKnownPatterns) {
    // Code 0 (lengths 1, 2, 2): a leading 1 is symbol 0; after a 0 the next bit picks 2 or 1.
    // Code 12: rank 0 of length 3, ranks 1 and 2 of length 4, the escape of length 6.
    const struct {
        int code;
        const char* bits;
        uint32_t symbol;
    } cases[] = {{0, "1", 0},     {0, "01", 2},    {0, "00", 1},      {12, "111", 1},
                 {12, "0110", 2}, {12, "0111", 3}, {12, "110010", 0}, {11, "11101", 23},
                 {10, "111", 24}, {10, "011", 0},  {10, "1011", 25}};
    enc::BitWriter w;
    w.write(0, 18);  // no transmitted codes
    std::string all;
    for (const auto& c : cases) all += std::string(c.bits) + "1011";
    Stream s(w, all);
    auto set = std::make_unique<PrefixCodeSet>();
    ASSERT_TRUE(buildPrefixCodes(s.st, 0, *set));
    for (const auto& c : cases) {
        EXPECT_EQ(decodePrefixSymbol(s.st, *set, c.code), c.symbol) << c.code << " " << c.bits;
        EXPECT_EQ(readBits(s.st, 4), 0b1101u) << c.code << " " << c.bits;
    }
}

// The direct lookup consumes exactly the bits of the table walk, up to and past the payload end.
TEST(BitStreamCodes, LookupAgreesWithTableWalk) {
    std::mt19937 rng(3);
    enc::BitWriter w;
    w.write(0, 18);
    for (int i = 0; i < 1000; i++) w.write(rng(), 32);
    Stream a(w), b(w);
    auto set = std::make_unique<PrefixCodeSet>();
    ASSERT_TRUE(buildPrefixCodes(a.st, 0, *set) && buildPrefixCodes(b.st, 0, *set));
    while (!a.st.damaged) {
        const int code = int(rng() % kPrefixCodeCount);
        ASSERT_EQ(decodePrefixSymbol(a.st, *set, code), walkPrefixTree(b.st, *set, code));
        ASSERT_EQ(a.st.bitCount, b.st.bitCount);
        ASSERT_EQ(a.st.cursor - a.st.payloadStart, b.st.cursor - b.st.payloadStart);
        ASSERT_EQ(a.st.damaged, b.st.damaged);
        const int bits = 1 + int(rng() % 31);
        if (rng() % 4 == 0) {
            ASSERT_EQ(readBits(a.st, bits), readBits(b.st, bits));
        }
    }
}

// Code-length code: deltas 0, 1 and 2 (bit strings 10, 01, 000) and repeats of two (11) and
// three (001).
void writeLengthCode(enc::BitWriter& w) {
    for (int k = 0; k < 21; k++) w.write(k <= 1 || k == 16 ? 2 : k == 2 || k == 17 ? 3 : 0, 4);
}

// Invalid descriptions are refused without reading or writing outside the tables.
TEST(BitStreamCodes, InvalidDescriptionsAreRefused) {
    const struct {
        const char* what;
        uint32_t mask;
        const char* lengths;  // 21 hexadecimal digits, or "" for the code above
        const char* bits;
    } cases[] = {
        {"over-subscribed code-length code", 1, "111111111111111111111", ""},
        {"incomplete code-length code", 1, "000100000000000000000", ""},
        {"empty code-length code", 1 << 17, "000000000000000000000", ""},
        {"repeat past the end", 1, "",
         "11"
         "001"},  // 2 + 3 symbols of 3
        {"over-subscribed code", 1 << 1, "",
         "10"
         "10"
         "10"
         "01"},  // 1, 3, 3, 1
        {"incomplete code", 1 << 1, "",
         "01"
         "10"
         "10"
         "10"},  // 0, 3, 3, 2
        {"code emptied by its deltas", 1, "",
         "01"
         "000"
         "000"},  // 0, 0, 0
    };
    for (const auto& c : cases) {
        enc::BitWriter w;
        w.write(c.mask, 18);
        if (*c.lengths) {
            for (const char* d = c.lengths; *d; d++) w.write(uint32_t(*d - '0'), 4);
        } else {
            writeLengthCode(w);
        }
        writeBits(w, c.bits);
        w.write(0, 32);
        Stream s(w);
        auto set = std::make_unique<PrefixCodeSet>();
        EXPECT_FALSE(buildPrefixCodes(s.st, 0, *set)) << c.what;
        EXPECT_TRUE(s.st.damaged) << c.what;
    }
}

// The indexed move against the plain rule: the pair moves up behind the nearest earlier pair
// that is still more frequent, with every halving and code choice on the way.
TEST(BitStreamCodes, RankListMovesMatchAPlainSearch) {
    std::mt19937 rng(5);
    for (int contextFlag = 0; contextFlag < 2; contextFlag++) {
        auto m = std::make_unique<LiteralModel>();
        initLiteralModel(*m, contextFlag != 0, 40 | 20 << 6 | 10 << 12 | 5 << 18 | 2 << 24);
        RankList plain = m->ranks[3];
        uint8_t plainSelector = 0;
        uint32_t nextTotal = m->ranks[4].total;
        for (int step = 0; step < 200000; step++) {
            const uint32_t rank = rng() % 4 ? rng() % 12 : rng() % 256;  // mostly low ranks
            RankPair moved = plain.pair[rank];
            moved.count++;
            uint32_t to = rank;
            for (; to > 0 && plain.pair[to - 1].count <= moved.count; to--) {
                plain.pair[to] = plain.pair[to - 1];
            }
            plain.pair[to] = moved;
            if (++plain.total % 32 == 0 && plain.pair[0].count >= 8) {
                plainSelector = chooseSelector(plain, m->threshold);
                if (plain.pair[0].count >= 224 || plain.total >= m->rescaleLimit) {
                    plain.total = 0;
                    int k = 0;
                    for (; k < 256 && plain.pair[k].count; k++)
                        plain.total += plain.pair[k].count >>= 1;
                    if (k == 256) {  // on into the low byte of the next (unused) list's total
                        nextTotal = (nextTotal & ~0xFFu) | (nextTotal & 0xFF) >> 1;
                        plain.total += nextTotal & 0xFF;
                    }
                }
            }
            ASSERT_EQ(takeLiteral(*m, 3, rank), moved.value) << step;
            ASSERT_EQ(m->selector[3], plainSelector) << step;
            ASSERT_EQ(m->ranks[3].total, plain.total) << step;
            ASSERT_EQ(m->ranks[4].total, nextTotal) << step;
            ASSERT_EQ(std::memcmp(m->ranks[3].pair, plain.pair, sizeof plain.pair), 0) << step;
        }
    }
}

// A context that has seen all 256 values halves all of them and walks on into the record of the
// next context: the low byte of its total counts as a pair (stopping on 0), the third byte next,
// then its pairs. The last context's walk ends with its list.
TEST(BitStreamCodes, HalvingAFullRankListWalksIntoTheNextRecord) {
    struct Case {
        uint32_t ctx, nextTotal, wantNextTotal, extra;
        bool nextPairsFull;
    };
    const Case cases[] = {
        {7, 0x1235, 0x121A, 0x1A, false},          // low byte halved and added
        {7, 0x1200, 0x1200, 0, false},             // low byte 0: the walk stops there
        {7, 0x30041, 0x10020, 0x20 + 1, false},    // bytes 0 and 2, then a zero first pair
        {7, 0x20002, 0x10001, 1 + 1 + 256, true},  // on through a full next list
        {255, 0, 0, 0, false},                     // no record behind the last
    };
    for (const Case& c : cases) {
        auto m = std::make_unique<LiteralModel>();
        initLiteralModel(*m, false, 0);
        RankList& full = m->ranks[c.ctx];
        for (auto& pair : full.pair) pair.count = 2;
        full.pair[0].count = 33;
        full.total = 33 + 255 * 2;  // the next literal makes 544 = 17 * 32
        indexRankCounts(full);
        if (c.ctx < 255) {
            RankList& next = m->ranks[c.ctx + 1];
            next.total = c.nextTotal;
            if (c.nextPairsFull)
                for (auto& pair : next.pair) pair.count = 3;
            indexRankCounts(next);
        }
        takeLiteral(*m, c.ctx, 0);
        EXPECT_EQ(full.pair[0].count, 17);
        for (int k = 1; k < 256; k++) ASSERT_EQ(full.pair[k].count, 1) << k;
        EXPECT_EQ(full.total, 17u + 255 + c.extra) << c.nextTotal;
        if (c.ctx == 255) continue;
        const RankList& next = m->ranks[c.ctx + 1];
        EXPECT_EQ(next.total, c.wantNextTotal);
        // The halved pairs of the next list are indexed again: its literals still move right.
        const int want = c.nextPairsFull ? 1 : 0;
        EXPECT_EQ(next.pair[255].count, want);
        EXPECT_EQ(next.firstAtMost[0], c.nextPairsFull ? 256 : 0);
        EXPECT_EQ(m->ranks[c.ctx + 2].total, 0u);  // a zero first byte ends the walk
    }
}

}  // namespace
}  // namespace pqz
