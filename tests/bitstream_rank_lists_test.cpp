// Literal rank lists: the choice of the literal code and the halving of the counts.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>

#include "codec/bitstream/rank_lists.h"

namespace pqz {
namespace {

// Threshold fields of 6 bits each, the first in the low bits.
uint32_t thresholdBits(uint32_t t0, uint32_t t1, uint32_t t2, uint32_t t3, uint32_t t4) {
    return t0 | t1 << 6 | t2 << 12 | t3 << 18 | t4 << 24;
}

// Gives the leading values these counts and the others none.
void setCounts(RankList& list, std::initializer_list<uint8_t> counts) {
    for (auto& pair : list.pair) pair.count = 0;
    list.total = 0;
    int k = 0;
    for (uint8_t c : counts) {
        list.pair[k++].count = c;
        list.total += c;
    }
    indexRankCounts(list);
}

TEST(BitStreamRankLists, SelectorFollowsTheSpreadOfTheContext) {
    auto m = std::make_unique<LiteralModel>();
    initLiteralModel(*m, false, thresholdBits(11, 12, 10, 0, 0));
    // Counts 19, then twelve 1s: 31. The next literal of rank 0 makes the total 32; 7/8 of it
    // (28) is first exceeded by the leading 10 values: 10 < 11, 10 < 12, 10 >= 10: code 2.
    setCounts(m->ranks[5], {19, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1});
    EXPECT_EQ(takeLiteral(*m, 5, 0), 0);
    EXPECT_EQ(m->selector[5], 2);
    EXPECT_EQ(m->ranks[5].total, 32u);  // no halving yet

    // Below 8 in the first count the choice is left alone.
    setCounts(m->ranks[6], {6, 6, 6, 6, 6, 1});
    takeLiteral(*m, 6, 5);
    EXPECT_EQ(m->selector[6], 0);
}

TEST(BitStreamRankLists, CountsAreHalvedAtTheLimitOrWhenTheFirstIsHigh) {
    auto m = std::make_unique<LiteralModel>();
    initLiteralModel(*m, true, 0);
    // With the context flag the limit is 4096; a first count of 224 halves earlier.
    setCounts(m->ranks[0], {223, 32});
    takeLiteral(*m, 0, 0);
    EXPECT_EQ(m->ranks[0].pair[0].count, 112);
    EXPECT_EQ(m->ranks[0].pair[1].count, 16);
    EXPECT_EQ(m->ranks[0].total, 128u);

    // Counts of 1 vanish; the walk stops at the first zero count.
    initLiteralModel(*m, false, 0);
    setCounts(m->ranks[0], {100, 90, 64, 1});
    takeLiteral(*m, 0, 1);  // 91: total 256, the limit without the context flag
    EXPECT_EQ(m->ranks[0].pair[0].count, 50);
    EXPECT_EQ(m->ranks[0].pair[1].count, 45);
    EXPECT_EQ(m->ranks[0].pair[2].count, 32);
    EXPECT_EQ(m->ranks[0].pair[3].count, 0);
    EXPECT_EQ(m->ranks[0].total, 127u);
}

// The indexed move against the plain rule: the pair moves up behind the nearest earlier pair
// that is still more frequent, all halvings and code choices included.
TEST(BitStreamRankLists, MovesMatchAPlainSearchOverLongRuns) {
    std::mt19937 rng(5);
    for (int contextFlag = 0; contextFlag < 2; contextFlag++) {
        auto m = std::make_unique<LiteralModel>();
        initLiteralModel(*m, contextFlag != 0, thresholdBits(40, 20, 10, 5, 2));
        RankList plain = m->ranks[3];
        uint8_t plainSelector = 0;
        for (int step = 0; step < 200000; step++) {
            // Mostly low ranks, as in real planes, with some from anywhere.
            const uint32_t rank = rng() % 4 ? rng() % 12 : rng() % 256;
            RankPair moved = plain.pair[rank];
            moved.count++;
            uint32_t to = rank;
            while (to > 0 && plain.pair[to - 1].count <= moved.count) {
                plain.pair[to] = plain.pair[to - 1];
                to--;
            }
            plain.pair[to] = moved;
            if (++plain.total % 32 == 0 && plain.pair[0].count >= 8) {
                plainSelector = chooseSelector(plain, m->threshold);
                if (plain.pair[0].count >= 224 || plain.total >= m->rescaleLimit) {
                    plain.total = halveRankCounts(plain);
                }
            }
            ASSERT_EQ(takeLiteral(*m, 3, rank), moved.value) << step;
            ASSERT_EQ(m->selector[3], plainSelector) << step;
            ASSERT_EQ(m->ranks[3].total, plain.total) << step;
            ASSERT_EQ(std::memcmp(m->ranks[3].pair, plain.pair, sizeof plain.pair), 0) << step;
        }
    }
}

// A context that has seen all 256 values halves all of them and nothing else: the walk ends
// with the list instead of running into the next context's total.
TEST(BitStreamRankLists, HalvingAFullListLeavesTheNextContextAlone) {
    auto m = std::make_unique<LiteralModel>();
    initLiteralModel(*m, false, 0);
    RankList& full = m->ranks[7];
    for (auto& pair : full.pair) pair.count = 2;
    full.pair[0].count = 33;
    full.total = 33 + 255 * 2;  // the next literal makes 544 = 17 * 32
    indexRankCounts(full);
    m->ranks[8].total = 0x1235;
    const RankList next = m->ranks[8];
    takeLiteral(*m, 7, 0);
    EXPECT_EQ(full.pair[0].count, 17);
    for (int k = 1; k < 256; k++) ASSERT_EQ(full.pair[k].count, 1) << k;
    EXPECT_EQ(full.total, 17u + 255);
    EXPECT_EQ(std::memcmp(&m->ranks[8], &next, sizeof next), 0);
}

}  // namespace
}  // namespace pqz
