// Literals of the bit-stream decoder: per context, the byte values ranked by how often they were
// seen, and the choice of the literal code that fits the context's spread.
#pragma once

#include <cstdint>
#include <cstring>

namespace pqz {

struct RankPair {
    uint8_t count;
    uint8_t value;
};

// Byte values of one context, most frequent first; total is the sum of the counts. A count
// stays below 256 while the totals advance in steps of 32 between checks. A halving that runs
// on from the list before (below) can shift those steps, and a count may then wrap to 0 and stay
// in place: the list is no longer sorted and takes the plain search until it is again.
struct RankList {
    uint32_t total;
    RankPair pair[256];
    uint16_t firstAtMost[256];  // sorted lists: per count c, the first pair whose count is <= c
    bool sorted;
};

struct LiteralModel {
    RankList ranks[256];
    uint8_t selector[256];  // literal code of each context, 0..5
    uint8_t threshold[6];   // selector thresholds; the last is 0
    uint32_t rescaleLimit;
};

// Fresh lists: values in order with zero counts; with the context flag the first fifteen
// values start with counts 4, 3 x 4, 2 x 4, 1 x 6. The 30 threshold bits hold five 6-bit fields.
void initLiteralModel(LiteralModel& m, bool contextFlag, uint32_t thresholdBits);

// Halves the counts of the context's list from the front up to the first zero count and returns
// their new sum. A list with no zero count walks on into the next context's total and list.
uint32_t halveRankCounts(LiteralModel& m, uint32_t ctx);

// Notes whether the counts are sorted (largest first) and, if so, rebuilds firstAtMost.
void indexRankCounts(RankList& list);

// Chooses the literal code of a list whose total just reached a multiple of 32: by how many
// leading values make up more than 7/8 of the total.
uint8_t chooseSelector(const RankList& list, const uint8_t* threshold);

// Counts a literal of an unsorted list, or one whose count wraps: the plain search.
void moveRankPair(RankList& list, uint32_t rank);

// Takes the value of the given rank in the context's list and adapts the list: the value's
// count grows and it moves up ahead of every value not seen more often.
inline uint8_t takeLiteral(LiteralModel& m, uint32_t ctx, uint32_t rank) {
    RankList& list = m.ranks[ctx];
    RankPair* pair = list.pair;
    const uint8_t value = pair[rank].value;
    const uint8_t old = pair[rank].count;
    if (old != 255 && list.sorted) {
        const uint8_t count = uint8_t(old + 1);
        // The pair goes ahead of every pair whose count is not above its new one.
        const uint32_t to = list.firstAtMost[count];
        if (to < rank) std::memmove(pair + to + 1, pair + to, (rank - to) * sizeof(RankPair));
        pair[to] = {count, value};
        list.firstAtMost[old]++;
    } else {
        moveRankPair(list, rank);
    }

    const uint32_t total = ++list.total;
    if ((total & 31) == 0 && pair[0].count >= 8) {
        m.selector[ctx] = chooseSelector(list, m.threshold);
        if (pair[0].count >= 224 || total >= m.rescaleLimit) {
            list.total = halveRankCounts(m, ctx);
            indexRankCounts(list);
        }
    }
    return value;
}

}  // namespace pqz
