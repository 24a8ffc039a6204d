// Prefix codes and literal rank lists of the bit-stream decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codec/bitstream/prefix_codes.h"
#include "codec/bitstream/rank_lists.h"
#include "tests/encoder/bit_writer.h"

namespace pqz {
namespace {

// A copy of the list with its tail written out: all 256 pairs as the list reads.
RankList wholeList(const RankList& list) {
    RankList whole = list;
    storeWholeList(whole);
    return whole;
}

// Writes a bit string of '0' and '1', first bit first.
void writeBits(enc::BitWriter& w, const std::string& bits) {
    for (char c : bits) w.write(c == '1', 1);
}

// The written bits as a loaded payload, with the loader's zero slack.
struct Stream {
    std::vector<uint8_t> bytes;
    PayloadReader st;

    explicit Stream(enc::BitWriter& w, const std::string& bits = "") {
        writeBits(w, bits);
        bytes = w.bytes();
        const size_t size = bytes.size();
        bytes.resize(size + kPayloadSlack, 0);
        st = PayloadReader(bytes.data(), size);
    }
};

// A payload with no transmitted codes (18 zero bits) followed by random words.
enc::BitWriter randomWords(std::mt19937& rng, int words) {
    enc::BitWriter w;
    w.write(0, 18);
    for (int i = 0; i < words; i++) w.write(rng(), 32);
    return w;
}

// Two readers over copies of one stream stand at the same bit, with the same buffer and damage.
::testing::AssertionResult samePosition(const PayloadReader& a, const PayloadReader& b) {
    if (a.bitCount == b.bitCount && a.bitBuffer == b.bitBuffer &&
        a.cursor - a.start == b.cursor - b.start && a.damaged == b.damaged) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "bits " << a.bitCount << "/" << b.bitCount << ", buffer " << a.bitBuffer << "/"
           << b.bitBuffer << ", word " << (a.cursor - a.start) << "/" << (b.cursor - b.start)
           << ", damaged " << a.damaged << "/" << b.damaged;
}

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
    enc::BitWriter w = randomWords(rng, 1000);
    Stream a(w), b(w);
    auto set = std::make_unique<PrefixCodeSet>();
    ASSERT_TRUE(buildPrefixCodes(a.st, 0, *set) && buildPrefixCodes(b.st, 0, *set));
    while (!a.st.damaged) {
        const int code = int(rng() % kPrefixCodeCount);
        ASSERT_EQ(decodePrefixSymbol(a.st, *set, code), walkPrefixTree(b.st, *set, code));
        ASSERT_EQ(a.st.bitCount, b.st.bitCount);
        ASSERT_EQ(a.st.cursor - a.st.start, b.st.cursor - b.st.start);
        ASSERT_EQ(a.st.damaged, b.st.damaged);
        const int bits = 1 + int(rng() % 31);
        if (rng() % 4 == 0) {
            ASSERT_EQ(readBits(a.st, bits), readBits(b.st, bits));
        }
    }
}

// Random complete codes of every shape, from one short code (which fills most of the quick
// lookup) to long ones (which leave it partly empty): every entry names the symbol and length
// the table walk finds for its bits or, where the walk needs more than the lookup's bits, the
// jump to the last inner node those bits reach (its place behind the root and its depth).
TEST(BitStreamCodes, QuickLookupOfRandomCodesAgreesWithTheWalk) {
    std::mt19937 rng(11);
    for (int round = 0; round < 300; round++) {
        const int symbols = 2 + int(rng() % 256);
        // Split random leaves of a complete code until it has enough of them, none past 15 bits.
        std::vector<uint8_t> leaves = {1, 1};
        const int used = 2 + int(rng() % uint32_t(symbols - 1));
        while (int(leaves.size()) < used) {
            const size_t k = rng() % leaves.size();
            if (leaves[k] == 15) continue;
            leaves[k]++;
            leaves.push_back(leaves[k]);
        }
        std::vector<uint8_t> lengths(size_t(symbols), 0);
        for (int k = 0; k < used; k++) lengths[size_t(k)] = leaves[size_t(k)];
        std::shuffle(lengths.begin(), lengths.end(), rng);

        auto set = std::make_unique<PrefixCodeSet>();
        set->used = 0;
        set->jumps = 0;
        const int slot = int(rng() % kPrefixCodeCount);
        ASSERT_TRUE(buildCodeTree(*set, slot, lengths.data(), symbols)) << round;
        const DecodeNode* root = set->nodes + set->root[slot];
        for (uint32_t bits = 0; bits < (1u << kQuickBits); bits++) {
            const DecodeNode* node = root;
            int depth = 0;
            while (node->bits != 0 && depth + node->bits <= kQuickBits) {
                const uint32_t index = (bits >> depth) & ((1u << node->bits) - 1);
                depth += node->bits;
                node += node->value + int32_t(index);
            }
            const uint32_t entry = set->quick[slot][bits];
            if (node->bits == 0) {
                ASSERT_EQ(entry, uint32_t(node->value << 4 | depth)) << round << " " << bits;
                continue;
            }
            ASSERT_EQ(entry & 15, 0u) << round << " " << bits;
            ASSERT_GE(entry >> 4, 1u) << round << " " << bits;
            ASSERT_LE(entry >> 4, set->jumps) << round << " " << bits;
            ASSERT_EQ(set->jump[(entry >> 4) - 1], uint32_t((node - root) << 4 | depth))
                << round << " " << bits;
        }
    }
}

// A run of symbols read through the bit window (by its quick lookup or by decode) leaves the
// reader exactly as the table walk does, code for code: the bytes taken ahead go back at the
// hand-back, and near the payload end the window leaves the last words (and the damage past them)
// to the reader. Some runs take bytes ahead without a branch (topUp), where a run of literals
// starts, and at times between codes; between the codes the same window serves bursts of the
// match mode's form (a refill, two codes and eleven raw bits), as it does from one mode to the
// other.
TEST(BitStreamCodes, BitWindowHandsBackTheWalksPosition) {
    std::mt19937 rng(7);
    for (int words : {1, 2, 3, 40}) {
        enc::BitWriter w = randomWords(rng, words);
        Stream a(w), b(w);
        auto set = std::make_unique<PrefixCodeSet>();
        ASSERT_TRUE(buildPrefixCodes(a.st, 0, *set) && buildPrefixCodes(b.st, 0, *set));
        for (int step = 0; !a.st.damaged; step++) {
            BitWindow window(a.st);
            if (rng() % 2) window.topUp();
            for (int k = int(rng() % 40); k >= 0 && !a.st.damaged; k--) {
                const int code = int(rng() % kPrefixCodeCount);
                if (rng() % 4 == 0) window.topUp();
                if (rng() % 4 == 0 && window.refill()) {
                    const int other = int(rng() % kPrefixCodeCount);
                    ASSERT_EQ(window.decode(*set, other), walkPrefixTree(b.st, *set, other));
                    ASSERT_EQ(window.decode(*set, code), walkPrefixTree(b.st, *set, code));
                    ASSERT_EQ(window.takeBits(11), readBits(b.st, 11)) << words << " " << step;
                    continue;
                }
                uint32_t got;
                if (window.fill()) {
                    // Half of the codes through the quick lookup alone, where it holds them.
                    const uint32_t entry = window.quickEntry(*set, code);
                    if (rng() % 2 && (entry & 15) != 0) {
                        window.take(int(entry & 15));
                        got = entry >> 4;
                    } else {
                        got = window.decode(*set, code);
                    }
                } else {
                    window.handBack(a.st);
                    got = decodePrefixSymbol(a.st, *set, code);
                    window = BitWindow(a.st);
                }
                ASSERT_EQ(got, walkPrefixTree(b.st, *set, code)) << words << " " << step;
            }
            window.handBack(a.st);
            ASSERT_TRUE(samePosition(a.st, b.st)) << words << " " << step;
            const int bits = 1 + int(rng() % 31);
            ASSERT_EQ(readBits(a.st, bits), readBits(b.st, bits));
        }
    }
}

// Bursts of codes and raw bits read through the bit window leave the reader exactly as the
// table walk and the reader's own bits do, for buffers of every fill; the window gives up
// (refill false) before it would take bits behind the payload, and the reader then goes on.
TEST(BitStreamCodes, BitWindowBurstsHandBackTheReadersPosition) {
    std::mt19937 rng(5);
    for (int words : {1, 2, 3, 5, 40}) {
        enc::BitWriter w = randomWords(rng, words);
        Stream a(w), b(w);
        auto set = std::make_unique<PrefixCodeSet>();
        ASSERT_TRUE(buildPrefixCodes(a.st, 0, *set) && buildPrefixCodes(b.st, 0, *set));
        for (int step = 0; !a.st.damaged; step++) {
            {
                BitWindow window(a.st);
                for (int k = int(rng() % 8); k >= 0 && window.refill(); k--) {
                    // At most two codes and eleven bits between refills.
                    for (int j = 0; j < 2; j++) {
                        const int code = int(rng() % kPrefixCodeCount);
                        ASSERT_EQ(window.decode(*set, code), walkPrefixTree(b.st, *set, code))
                            << words << " " << step;
                    }
                    ASSERT_EQ(window.takeBits(11), readBits(b.st, 11)) << words << " " << step;
                }
                window.handBack(a.st);
            }
            ASSERT_TRUE(samePosition(a.st, b.st)) << words << " " << step;
            const int bits = 1 + int(rng() % 31);
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

// Every length of move from every few starting places against a plain byte move: the pieces
// of each size class land where they belong, and nothing outside the moved pairs changes.
TEST(BitStreamCodes, PairMovesOfEveryLength) {
    RankPair start[256];
    for (int i = 0; i < 256; i++) start[i] = {uint8_t(i * 7 + 3), uint8_t(255 - i)};
    for (uint32_t from = 0; from < 256; from += 5) {
        for (uint32_t to = from + 1; to < 256; to++) {
            RankPair moved[256], want[256];
            std::memcpy(moved, start, sizeof start);
            std::memcpy(want, start, sizeof start);
            std::memmove(want + from + 1, want + from, (to - from) * sizeof(RankPair));
            shiftPairsUp(moved, from, to);
            ASSERT_EQ(std::memcmp(moved, want, sizeof want), 0) << from << " to " << to;
        }
    }
}

// The first sighting of a value takes the tail's value at its place, against a walk over the
// bits: sets of every size, thinned and clustered, every place of each; by the bit arithmetic
// every processor has and by the bit deposit where this one has it. The value is stored behind
// the pairs held, with count 0, and leaves the tail; the rest of the tail reads as before.
TEST(BitStreamCodes, TailValuesByPlace) {
    std::vector<bool> deposits = {false};
    if (PQZ_RANK_WIDE_LANES && hostHas(HostLanes::Bmi2)) deposits.push_back(true);
    std::mt19937 rng(23);
    auto m = std::make_unique<LiteralModel>();
    initLiteralModel(*m, false, 0);
    for (int round = 0; round < 400; round++) {
        RankList list = m->ranks[0];
        // Take values out of the fresh tail until it is the size wanted: at random, or one run.
        const uint32_t keep = rng() % 257, runStart = rng() % 256;
        uint32_t taken = 0;
        while (256 - taken > keep) {
            const uint32_t k = round % 2 ? rng() % (256 - taken) : std::min(runStart, 255 - taken);
            storeFromTail(list, taken + k);
            taken++;
        }
        std::vector<uint8_t> tail;
        for (uint32_t v = 0; v < 256; v++)
            if (list.unseen[v >> 6] >> (v & 63) & 1) tail.push_back(uint8_t(v));
        ASSERT_EQ(tail.size(), keep);
        ASSERT_EQ(list.stored, 256 - keep);
        for (uint32_t k = 0; k < keep; k++) {
            ASSERT_EQ(rankValue(list, list.stored + k), tail[k]) << round << " " << k;
            for (bool deposit : deposits) {
                RankList got = list;
                got.byDeposit = deposit;
                const uint32_t at = storeFromTail(got, got.stored + k);
                ASSERT_EQ(at, list.stored);
                ASSERT_EQ(got.pair[at].count, 0);
                ASSERT_EQ(got.pair[at].value, tail[k]) << round << " " << k << " " << deposit;
                std::vector<uint8_t> rest = tail;
                rest.erase(rest.begin() + k);
                const RankList whole = wholeList(got);
                for (uint32_t j = 0; j < rest.size(); j++)
                    ASSERT_EQ(whole.pair[at + 1 + j].value, rest[j]) << round << " " << k;
            }
        }
    }
}

// A move in 32-byte lanes, for the test below (built for the lanes it takes).
#if PQZ_RANK_WIDE_LANES
PQZ_TARGET_AVX2 void insertPairInWideLanes(RankList& list, uint32_t to, uint32_t rank, RankPair p) {
    insertPairWide(list, to, rank, p);
}
#endif

// Inserting a pair ahead of every distance from every place, the last places of the list
// included, moves of one block of 32 pairs and of several: the pairs in between move up one, the
// record's bytes behind the moved pair (the rest of the list and the total, state and count
// index that follow it) stay as they were; with and without 32-byte lanes where the processor
// has them.
TEST(BitStreamCodes, PairInsertsOfEveryDistance) {
    using Insert = void (*)(RankList&, uint32_t, uint32_t, RankPair);
    std::vector<Insert> inserts = {&insertPair};
#if PQZ_RANK_WIDE_LANES
    if (wideRankMoves()) inserts.push_back(&insertPairInWideLanes);
#endif
    RankList start;
    uint8_t* bytes = reinterpret_cast<uint8_t*>(&start);
    for (size_t i = 0; i < sizeof start; i++) bytes[i] = uint8_t(i * 13 + 5);
    for (size_t kind = 0; kind < inserts.size(); kind++) {
        for (uint32_t rank = 0; rank < 256; rank++) {
            for (uint32_t to = 0; to <= rank; to++) {
                RankList got = start, want = start;
                const RankPair p = {uint8_t(rank + 100), uint8_t(to)};
                std::memmove(want.pair + to + 1, want.pair + to, (rank - to) * sizeof(RankPair));
                want.pair[to] = p;
                inserts[kind](got, to, rank, p);
                ASSERT_EQ(std::memcmp(&got, &want, sizeof want), 0)
                    << "kind " << kind << ": " << to << " to " << rank;
            }
        }
    }
}

// The first zero count in every place, among counts of every size (1 to 255, the high bit set
// or not): the counts in front of it are halved and summed, it and those behind stay.
TEST(BitStreamCodes, HalvingStopsAtTheFirstZeroCount) {
    for (uint32_t zero = 0; zero <= 256; zero++) {
        auto m = std::make_unique<LiteralModel>();
        initLiteralModel(*m, false, 0);
        RankList& list = m->ranks[5];
        storeWholeList(list);
        uint32_t want = 0;
        for (uint32_t k = 0; k < 256; k++) {
            list.pair[k].count = k == zero ? 0 : uint8_t(1 + (k * 97 + zero) % 255);
            if (k < zero) want += list.pair[k].count >> 1;
        }
        const RankList before = list;
        EXPECT_EQ(halveRankCounts(*m, 5), want) << zero;  // behind 256: the next total is 0
        for (uint32_t k = 0; k < 256; k++) {
            const uint8_t count = before.pair[k].count;
            ASSERT_EQ(list.pair[k].count, k < zero ? count >> 1 : count) << zero << " " << k;
            ASSERT_EQ(list.pair[k].value, before.pair[k].value) << zero << " " << k;
        }
    }
}

// The indexed move against the plain rule: the pair moves up behind the nearest earlier pair
// that is still more frequent, with every halving and code choice on the way.
TEST(BitStreamCodes, RankListMovesMatchAPlainSearch) {
    std::mt19937 rng(5);
    for (int contextFlag = 0; contextFlag < 2; contextFlag++) {
        auto m = std::make_unique<LiteralModel>();
        initLiteralModel(*m, contextFlag != 0, 40 | 20 << 6 | 10 << 12 | 5 << 18 | 2 << 24);
        RankList plain = wholeList(m->ranks[3]);
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
            ASSERT_EQ(std::memcmp(wholeList(m->ranks[3]).pair, plain.pair, sizeof plain.pair), 0)
                << step;
        }
    }
}

// The literal code chosen from the values that make up more than 7/8 of the total, against the
// plain count: lists of every spread (a few large counts, many small ones, zeros, all 256 taken
// when the total runs ahead of the counts) and thresholds in any order.
TEST(BitStreamCodes, SelectorFollowsTheLeadingValues) {
    std::mt19937 rng(17);
    for (int round = 0; round < 20000; round++) {
        RankList list;
        list.stored = 256;
        const uint32_t spread = 1 + rng() % 256, top = 1 + rng() % 255;
        uint32_t sum = 0;
        for (uint32_t k = 0; k < 256; k++) {
            list.pair[k] = {uint8_t(k < spread ? rng() % (top + 1) : 0), uint8_t(k)};
            sum += list.pair[k].count;
        }
        list.total = round % 8 == 0 ? sum + rng() % 4096 : sum;  // ahead after a neighbour's walk
        uint8_t threshold[6];
        for (int k = 0; k < 5; k++) threshold[k] = uint8_t(rng() % 64);
        threshold[5] = 0;

        const uint32_t part = (7 * list.total) >> 3;
        uint32_t leading = 0, taken = 0;
        while (taken <= part && leading < 256) taken += list.pair[leading++].count;
        int want = 0;
        if (leading < threshold[0])
            for (want = 1; leading < threshold[want];) want++;
        ASSERT_EQ(chooseSelector(list, threshold), want) << round << " leading " << leading;
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
        storeWholeList(full);
        for (auto& pair : full.pair) pair.count = 2;
        full.pair[0].count = 33;
        full.total = 33 + 255 * 2;  // the next literal makes 544 = 17 * 32
        indexRankCounts(full);
        if (c.ctx < 255) {
            RankList& next = m->ranks[c.ctx + 1];
            storeWholeList(next);
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
        EXPECT_EQ(m->ranks[c.ctx + 2].total, 0u);  // a zero first byte ends the walk
        const uint8_t last = next.pair[255].value, first = next.pair[0].value;
        EXPECT_EQ(takeLiteral(*m, c.ctx + 1, 255), last);
        EXPECT_EQ(next.pair[0].value, last);  // ahead of every pair that is not above it
        EXPECT_EQ(next.pair[0].count, want + 1);
        EXPECT_EQ(next.pair[1].value, first);
    }
}

// The 256 literal lists as the bytes they are stored in: records of a 32-bit total (low byte
// first) and 256 (count, value) pairs, one behind the other. Every step is done on the bytes,
// so walks that run past a list go where the record layout takes them.
struct ByteLists {
    static constexpr size_t kRecord = 4 + 512;
    std::vector<uint8_t> b = std::vector<uint8_t>(256 * kRecord);
    uint8_t selector[256] = {};
    const uint8_t* threshold;
    uint32_t limit;
    uint32_t wraps = 0;

    explicit ByteLists(const LiteralModel& m) : threshold(m.threshold), limit(m.rescaleLimit) {
        for (int ctx = 0; ctx < 256; ctx++) {
            setTotal(ctx, m.ranks[ctx].total);
            const RankList whole = wholeList(m.ranks[ctx]);
            for (int i = 0; i < 256; i++) {
                count(ctx, i) = whole.pair[i].count;
                b[ctx * kRecord + 5 + 2 * i] = whole.pair[i].value;
            }
        }
    }
    uint32_t total(int ctx) const {
        uint32_t t = 0;
        for (int k = 3; k >= 0; k--) t = t << 8 | b[ctx * kRecord + k];
        return t;
    }
    void setTotal(int ctx, uint32_t t) {
        for (int k = 0; k < 4; k++) b[ctx * kRecord + k] = uint8_t(t >> 8 * k);
    }
    uint8_t& count(int ctx, int i) { return b[ctx * kRecord + 4 + 2 * i]; }

    uint8_t take(int ctx, int rank) {
        uint8_t* pair = &count(ctx, 0);
        const uint8_t value = pair[2 * rank + 1];
        const uint8_t c = ++pair[2 * rank];
        wraps += c == 0;
        if (rank > 0 && pair[2 * rank - 2] <= c) {
            int to = rank;
            while (to > 0 && pair[2 * to - 2] <= c) to--;
            std::memmove(pair + 2 * to + 2, pair + 2 * to, 2 * size_t(rank - to));
            pair[2 * to] = c;
            pair[2 * to + 1] = value;
        }
        const uint32_t t = total(ctx) + 1;
        setTotal(ctx, t);
        const size_t end = b.size();
        const size_t first = ctx * kRecord + 4;
        if (t % 32 == 0 && pair[0] >= 8) {
            const uint32_t x = (7 * t) >> 3;
            uint32_t sum = 0, leading = 0;
            for (size_t q = first; sum <= x && q < end; q += 2, leading++) sum += b[q];
            int sel = 0;
            if (leading < threshold[0])
                for (sel = 1; leading < threshold[sel];) sel++;
            selector[ctx] = uint8_t(sel);
            if (pair[0] >= 224 || t >= limit) {
                setTotal(ctx, 0);
                uint32_t halved = 0;
                for (size_t q = first; q < end && b[q] != 0; q += 2) halved += b[q] >>= 1;
                setTotal(ctx, halved);
            }
        }
        return value;
    }

    // "" when the model holds the same lists, else where they differ.
    std::string differences(const LiteralModel& m, uint32_t from = 0, uint32_t to = 255) {
        for (uint32_t ctx = from; ctx <= to && ctx < 256; ctx++) {
            if (m.ranks[ctx].total != total(int(ctx))) return "total of " + std::to_string(ctx);
            if (m.selector[ctx] != selector[ctx]) return "selector of " + std::to_string(ctx);
            if (std::memcmp(wholeList(m.ranks[ctx]).pair, &count(int(ctx), 0), 512) != 0)
                return "pairs of " + std::to_string(ctx);
        }
        return "";
    }
};

// Neighbouring contexts, one seeing every value and one nearly always the same: halvings of the
// first run on into the second's total and shift its checks, so that its leading count can pass
// 255 and wrap to 0. Every list is compared after every literal.
TEST(BitStreamCodes, RankListsFollowTheirBytes) {
    std::mt19937 rng(11);
    for (uint32_t pairOfContexts : {7u, 254u}) {
        auto m = std::make_unique<LiteralModel>();
        initLiteralModel(*m, true, 40 | 20 << 6 | 10 << 12 | 5 << 18 | 2 << 24);
        ByteLists bytes(*m);
        for (int step = 0; step < 120000; step++) {
            const bool wide = rng() % 3 == 0;
            const uint32_t ctx = pairOfContexts + (wide ? 0 : 1);
            const uint32_t rank = wide || rng() % 4 == 0 ? rng() % 256 : 0;
            ASSERT_EQ(takeLiteral(*m, ctx, rank), bytes.take(int(ctx), int(rank))) << step;
            ASSERT_EQ(bytes.differences(*m, pairOfContexts, pairOfContexts + 2), "") << step;
        }
        EXPECT_EQ(bytes.differences(*m), "");
        if (pairOfContexts == 7) {
            EXPECT_GT(bytes.wraps, 0u);
        }
    }
}

// A wrap made on purpose: context 255 peaks at 254 when a halving of context 254 moves its
// total off its steps of 32; two more literals pass 255 before any check.
TEST(BitStreamCodes, LeadingCountWrapsAfterTheNeighbourHalves) {
    auto m = std::make_unique<LiteralModel>();
    initLiteralModel(*m, true, 0);
    RankList& peak = m->ranks[255];
    storeWholeList(peak);
    for (int i = 0; i < 256; i++) peak.pair[i].count = i == 0 ? 222 : i < 228 ? 2 : i < 256 ? 1 : 0;
    peak.total = 222 + 227 * 2 + 28 - 1;  // as a run-on halving may leave it
    indexRankCounts(peak);
    RankList& full = m->ranks[254];
    storeWholeList(full);
    for (auto& pair : full.pair) pair.count = 1;
    full.pair[0].count = 223;
    full.total = 223 + 255 + 1;  // one more literal makes 480
    indexRankCounts(full);
    ByteLists bytes(*m);
    auto take = [&](uint32_t ctx) {
        ASSERT_EQ(takeLiteral(*m, ctx, 0), bytes.take(int(ctx), 0));
        ASSERT_EQ(bytes.differences(*m), "");
    };
    for (int k = 0; k < 32; k++) take(255);
    EXPECT_EQ(peak.pair[0].count, 254);
    take(254);
    EXPECT_EQ(peak.total, 0x26Fu);
    take(255);
    take(255);
    EXPECT_EQ(peak.pair[0].count, 0);  // wrapped and left in front
    for (int k = 0; k < 300; k++) take(255);
    EXPECT_EQ(bytes.wraps, 1u);
}

}  // namespace
}  // namespace pqz
