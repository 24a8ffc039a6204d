#include "codec/bitstream/rank_lists.h"

namespace pqz {

void initLiteralModel(LiteralModel& m, bool contextFlag, uint32_t thresholdBits) {
    RankList first;
    first.total = 0;
    for (int v = 0; v < 256; v++) first.pair[v] = {0, uint8_t(v)};
    if (contextFlag) {
        static const uint8_t kStartCounts[15] = {4, 3, 3, 3, 3, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1};
        for (int v = 0; v < 15; v++) first.pair[v].count = kStartCounts[v];
        first.total = 30;
    }
    indexRankCounts(first);
    for (RankList& list : m.ranks) list = first;
    std::memset(m.selector, 0, sizeof m.selector);
    for (int j = 0; j < 5; j++) m.threshold[j] = uint8_t((thresholdBits >> (6 * j)) & 63);
    m.threshold[5] = 0;
    m.rescaleLimit = contextFlag ? 4096 : 256;
}

uint32_t halveRankCounts(RankList& list) {
    // A list whose 256 counts are all non-zero ends the walk at its last pair: the next
    // context's total is not touched.
    uint32_t total = 0;
    for (int k = 0; k < 256 && list.pair[k].count != 0; k++) {
        list.pair[k].count >>= 1;
        total += list.pair[k].count;
    }
    return total;
}

void indexRankCounts(RankList& list) {
    uint32_t j = 0;
    for (int c = 255; c >= 0; c--) {
        while (j < 256 && list.pair[j].count > c) j++;
        list.firstAtMost[c] = uint16_t(j);
    }
}

uint8_t chooseSelector(const RankList& list, const uint8_t* threshold) {
    const uint32_t part = (7 * list.total) >> 3;
    uint32_t sum = 0, leading = 0;
    while (sum <= part && leading < 256) sum += list.pair[leading++].count;
    if (leading >= threshold[0]) return 0;
    uint8_t sel = 1;
    while (leading < threshold[sel]) sel++;
    return sel;
}

}  // namespace pqz
