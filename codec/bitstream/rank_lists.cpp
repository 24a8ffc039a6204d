#include "codec/bitstream/rank_lists.h"

#include <cstring>

#include "base/platform.h"

namespace pqz {

void initLiteralModel(LiteralModel& m, bool contextFlag, uint32_t thresholdBits) {
    RankList first;
    std::memset(&first, 0, sizeof first);
    for (int v = 0; v < 256; v++) first.pair[v] = {0, uint8_t(v)};
    uint32_t counted = 0;
    if (contextFlag) {
        static const uint8_t kStartCounts[15] = {4, 3, 3, 3, 3, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1};
        for (int v = 0; v < 15; v++) first.pair[v].count = kStartCounts[v];
        first.total = 30;
        counted = 15;
    }
    // The values behind the counted ones are the tail.
    for (uint32_t v = counted; v < 256; v++) first.pair[v].count = 255;
    first.stored = uint16_t(counted);
    first.byDeposit = PQZ_RANK_WIDE_LANES && hostHas(HostLanes::FastBitDeposit);
    for (uint32_t v = counted; v < 256; v++) {
        first.unseen[v >> 6] |= uint64_t(1) << (v & 63);
        first.unseenPerWord += uint64_t(1) << (16 * (v >> 6));
    }
    indexRankCounts(first);
    for (RankList& list : m.ranks) list = first;
    std::memset(m.selector, 0, sizeof m.selector);
    for (int j = 0; j < 5; j++) m.threshold[j] = uint8_t((thresholdBits >> (6 * j)) & 63);
    m.threshold[5] = 0;
    m.rescaleLimit = contextFlag ? 4096 : 256;
}

namespace {

// Four pairs as one 64-bit word: a 16-bit lane per pair, the count in the byte that kCounts
// selects (the low byte of the lane or the high one, as the machine orders bytes).
struct FourPairs {
    static constexpr size_t kBytes = 4 * sizeof(RankPair);
    static constexpr uint64_t kLaneOnes = 0x0001000100010001;
    static constexpr uint64_t kLaneTops = 0x8000800080008000;

    uint64_t counts;  // the count bytes of the word, the value bytes cleared
    bool countHigh;   // counts in the high byte of their lane

    FourPairs() {
        const RankPair mask[4] = {{0xFF, 0}, {0xFF, 0}, {0xFF, 0}, {0xFF, 0}};
        std::memcpy(&counts, mask, kBytes);
        countHigh = (counts & 0xFF) == 0;
    }
    // Whether a lane of c (counts only) is 0: a lane of 1 or more neither borrows nor, being
    // below 0x8000 or having its top bit set in c, leaves the top bit of c - 1 and of ~c set.
    bool anyZero(uint64_t c) const { return ((c - kLaneOnes) & ~c & kLaneTops) != 0; }
    // Sum of the lanes of h (halved counts, at most 127 each).
    uint32_t sum(uint64_t h) const {
        return uint32_t(((countHigh ? h >> 8 : h) * kLaneOnes) >> 48);
    }
};

// Halves the counts of a list from the front while they are not 0; false when the walk ended
// on a zero count (the tail's counts are 0), true when it passed the last pair. Four pairs at a
// time while none of them is 0, then one at a time.
bool halvePairs(RankList& list, uint32_t& sum) {
    const FourPairs four;
    const uint32_t stored = list.stored;
    uint32_t j = 0;
    for (; j + 4 <= stored; j += 4) {
        uint64_t w;
        std::memcpy(&w, list.pair + j, FourPairs::kBytes);
        const uint64_t c = w & four.counts;
        if (four.anyZero(c)) break;
        const uint64_t halved = (c >> 1) & four.counts;
        w = (w & ~four.counts) | halved;
        std::memcpy(list.pair + j, &w, FourPairs::kBytes);
        sum += four.sum(halved);
    }
    for (; j < stored; j++) {
        RankPair& pair = list.pair[j];
        if (pair.count == 0) return false;
        pair.count >>= 1;
        sum += pair.count;
    }
    return stored == 256;
}

// One byte of a 32-bit total taken as a count: halved if not 0; false when it was 0.
bool halveTotalByte(uint32_t& total, int shift, uint32_t& sum) {
    const uint32_t b = (total >> shift) & 0xFF;
    if (b == 0) return false;
    total = (total & ~(0xFFu << shift)) | (b >> 1) << shift;
    sum += b >> 1;
    return true;
}

}  // namespace

uint32_t halveRankCounts(LiteralModel& m, uint32_t ctx) {
    uint32_t sum = 0;
    if (!halvePairs(m.ranks[ctx], sum)) return sum;
    // All 256 counts were non-zero. The lists lie one behind the other as records of a 32-bit
    // total and 256 (count, value) byte pairs, so the walk goes on through the next record: the
    // total's bytes 0 and 2 are taken as counts (bytes 1 and 3 as their values), then its pairs.
    // It stops at the last record.
    for (uint32_t r = ctx + 1; r < 256; r++) {
        RankList& next = m.ranks[r];
        const bool on = halveTotalByte(next.total, 0, sum) && halveTotalByte(next.total, 16, sum);
        if (!on) return sum;
        const bool passed = halvePairs(next, sum);
        indexRankCounts(next);
        if (!passed) return sum;
    }
    return sum;
}

void rescaleRankList(LiteralModel& m, uint32_t ctx) {
    RankList& list = m.ranks[ctx];
    const bool wasSorted = list.indexedBelow != 0;
    list.total = halveRankCounts(m, ctx);
    if (!wasSorted) {
        indexRankCounts(list);
        return;
    }
    // Halving keeps the order, and a halved count is at most c exactly when the count was at
    // most 2c + 1. From 128 on every count qualifies, as at 255: from the first pair.
    constexpr uint32_t kHalf = 128;
    uint8_t halved[kHalf];
    for (uint32_t c = 0; c < kHalf; c++) halved[c] = list.firstAtMost[2 * c + 1];
    std::memcpy(list.firstAtMost, halved, kHalf);
    std::memset(list.firstAtMost + kHalf, 0, 256 - kHalf);
}

void indexRankCounts(RankList& list) {
    // One pass: every count c from the last one set down to this pair's count first finds a
    // pair not above it here.
    uint32_t unset = 256;  // entries unset..255 are done
    uint32_t before = 255;
    const uint32_t stored = list.stored;
    for (uint32_t j = 0; j < stored; j++) {
        const uint32_t c = list.pair[j].count;
        if (c > before) {
            list.indexedBelow = 0;
            return;
        }
        before = c;
        while (unset > c) list.firstAtMost[--unset] = uint8_t(j);
    }
    // The tail's first place is the first count 0. Without a tail, counts below the last
    // pair's have no pair: entries not read.
    while (unset > 0) list.firstAtMost[--unset] = uint8_t(stored);
    list.indexedBelow = 255;
}

void storeWholeList(RankList& list) {
    for (uint32_t at = list.stored; at < 256; at++)
        list.pair[at] = {0, uint8_t(takeUnseen(list, 0))};
    list.stored = 256;
}

uint8_t rankValue(const RankList& list, uint32_t rank) {
    if (rank < list.stored) return list.pair[rank].value;
    const TailPlace at = findUnseen(list, rank - list.stored);
    return uint8_t(64 * at.word + at.bit);
}

uint32_t storeFromTail(RankList& list, uint32_t rank) {
#if PQZ_RANK_WIDE_LANES
    uint32_t value;
    if (list.byDeposit) return storeFromTailByDeposit(list, rank, value);
#endif
    const uint32_t at = list.stored;
    list.pair[at] = {0, uint8_t(takeUnseen(list, rank - at))};
    list.stored = uint16_t(at + 1);
    return at;
}

uint8_t moveRankPair(RankList& list, uint32_t rank) {
    if (rank >= list.stored) storeWholeList(list);
    RankPair* pair = list.pair;
    const RankPair moved = {uint8_t(pair[rank].count + 1), pair[rank].value};
    // Behind the nearest earlier pair with a greater count, or at the front.
    uint32_t to = rank;
    while (to > 0 && pair[to - 1].count <= moved.count) to--;
    std::memmove(pair + to + 1, pair + to, (rank - to) * sizeof(RankPair));
    pair[to] = moved;
    indexRankCounts(list);
    return moved.value;
}

bool wideRankMoves() {
#if PQZ_RANK_WIDE_LANES
    return hostHas(HostLanes::Avx2) && hostHas(HostLanes::Bmi2);
#else
    return false;
#endif
}

void adaptLiteralCode(LiteralModel& m, uint32_t ctx) {
    RankList& list = m.ranks[ctx];
    m.selector[ctx] = chooseSelector(list, m.threshold);
    if (list.pair[0].count >= 224 || list.total >= m.rescaleLimit) rescaleRankList(m, ctx);
}

uint8_t chooseSelector(const RankList& list, const uint8_t* threshold) {
    const uint32_t part = (7 * list.total) >> 3;
    const RankPair* pair = list.pair;
    uint32_t sum = 0, leading = 0;
    // Four pairs at a time while all four are taken (counts are not negative, so every sum on
    // the way is at most the last), then one at a time; the tail's counts are 0, so a sum not
    // above the part by its start takes every value.
    constexpr uint32_t kStep = 4;
    const uint32_t stored = list.stored;
    while (leading + kStep <= stored) {
        const uint32_t four = pair[leading].count + pair[leading + 1].count +
                              pair[leading + 2].count + pair[leading + 3].count;
        if (sum + four > part) break;
        sum += four;
        leading += kStep;
    }
    while (sum <= part && leading < stored) sum += pair[leading++].count;
    if (sum <= part) leading = 256;
    if (leading >= threshold[0]) return 0;
    uint8_t sel = 1;
    while (leading < threshold[sel]) sel++;
    return sel;
}

}  // namespace pqz
