// The adaptive models of the context-model decoder, decoded from streams written with the
// counts the models must hold at each step.
#include "codec/range/context_model_models.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "tests/context_model_test_stream.h"

namespace pqz {
namespace {

using test::CodedStream;

void expectCounter(const BitCounter& b, int c0, int c1, int limit) {
    EXPECT_EQ(b.c0, c0);
    EXPECT_EQ(b.c1, c1);
    EXPECT_EQ(b.limit, limit);
}

TEST(ContextModelCounters, LinkedBitStartsFromParentThenActivates) {
    CodedStream s;
    s.rc.encodeBit(1, 40, 16);  // first use: the parent's counts
    s.rc.encodeBit(1, 49, 18);  // used once with 0: activated to (45, 18), then (49, 18)
    s.rc.encodeBit(0, 45, 22);  // used once with 1: (45, 18) then (45, 22)
    RangeDecoder& st = s.loadStarted();

    BitCounter parent{40, 16, 512}, child{0, 0, 0};
    EXPECT_EQ(decodeLinkedBit(st, child, parent), 1);
    expectCounter(child, 2, 0, 0);
    expectCounter(parent, 40, 24, 512);

    parent = {40, 16, 512};
    child = {1, 0, 0};
    EXPECT_EQ(decodeLinkedBit(st, child, parent), 1);
    expectCounter(child, 49, 26, 512);
    expectCounter(parent, 37, 17, 512);  // first outcome lowered by 3, then +1 (sum below 136)

    parent = {40, 16, 512};
    child = {2, 0, 0};
    EXPECT_EQ(decodeLinkedBit(st, child, parent), 0);
    expectCounter(child, 53, 22, 512);
    expectCounter(parent, 41, 13, 512);
    EXPECT_FALSE(st.damaged);
}

TEST(ContextModelCounters, HeldRangeDecidesAsTheDecoderThroughRefillsNewChildrenAndTheEnd) {
    // Arbitrary bytes decode to some decisions: the held form must take the same ones and leave
    // the same counters and decoder, through children's first uses, refills and past the
    // payload's end, where the refill is the checked one.
    std::mt19937 rng(11);
    CodedStream s;
    s.rc.encodeBit(1, 3, 5);
    std::vector<uint8_t> noise(48);
    for (uint8_t& b : noise) b = uint8_t(rng());
    RangeDecoder plain = s.loadStarted(noise);
    RangeDecoder home = plain;
    HeldRange held(home);
    BitCounter plainCounters[9] = {}, heldCounters[9] = {};  // eight children, then the parent
    plainCounters[8] = heldCounters[8] = {40, 16, 512};
    int ones = 0;
    for (int step = 0; step < 600; step++) {
        const int c = int(rng() % 8);
        const int bit = decodeLinkedBit(plain, plainCounters[c], plainCounters[8]);
        ASSERT_EQ(decodeLinkedBitHeld(held, home, heldCounters[c], heldCounters[8]), bit) << step;
        ASSERT_EQ(held.range, plain.range) << step;
        ASSERT_EQ(held.low, plain.low) << step;
        for (int k : {c, 8}) {
            ASSERT_EQ(heldCounters[k].c0, plainCounters[k].c0) << step;
            ASSERT_EQ(heldCounters[k].c1, plainCounters[k].c1) << step;
            ASSERT_EQ(heldCounters[k].limit, plainCounters[k].limit) << step;
        }
        ones += bit;
    }
    held.handOver(home);
    EXPECT_EQ(home.cursor, plain.cursor);
    EXPECT_EQ(home.buffer, plain.buffer);
    EXPECT_TRUE(plain.damaged);  // the decisions ran past the payload
    EXPECT_EQ(home.damaged, plain.damaged);
    EXPECT_GT(ones, 0);
    EXPECT_LT(ones, 600);
}

TEST(ContextModelCounters, BitCounterHalvesRoundingUpAndRaisesItsLimit) {
    CodedStream s;
    const uint16_t before[] = {4, 12, 20, 28, 36, 44, 52, 60, 68, 76};
    for (uint16_t c1 : before) s.rc.encodeBit(1, 4, c1);
    RangeDecoder& st = s.loadStarted();
    BitCounter b{4, 4, 72};
    for (uint16_t c1 : before) {
        ASSERT_EQ(b.c1, c1);
        EXPECT_EQ(decodeBitCounter(st, b), 1);
    }
    // (4, 76) passed the limit 72 before the last update: halved to (2, 38), then +8.
    expectCounter(b, 2, 46, 136);
}

TEST(ContextModelNeighbours, ClassModelTeachesLocalUntilASymbolRepeats) {
    NeighbourModel cls{{2, 10, 4, 0, 0}, 16, 256, 3, 4};
    NeighbourModel local{};
    CodedStream s;
    s.rc.encodeFreq(12, 4, 16);  // symbol 2
    s.rc.encodeFreq(12, 8, 20);  // symbol 2 again, class adapted by its step
    RangeDecoder& st = s.loadStarted();
    EXPECT_EQ(decodeWithClass(st, local, cls), 2);
    EXPECT_EQ(local.total, 0);
    EXPECT_EQ(decodeWithClass(st, local, cls), 2);
    EXPECT_EQ(local.total, 1);  // ready to be primed
    EXPECT_EQ(local.freq[2], 2);
    EXPECT_EQ(cls.total, 24);
    EXPECT_EQ(cls.freq[2], 12);
}

TEST(ContextModelNeighbours, PrimingScalesTheClassAndWarmsItUp) {
    NeighbourModel cls{{2, 10, 4, 0, 0}, 16, 256, 3, 4};
    NeighbourModel local{{0, 1, 1, 0, 0}, 1, 0, 0, 0};
    CodedStream s;
    // Primed: r * 4 + ceil(21 * f / 16) = {3, 18, 10, 0, 0}, total 31.
    s.rc.encodeFreq(21, 10, 31);
    RangeDecoder& st = s.loadStarted();
    EXPECT_EQ(decodeWithLocal(st, local, cls), 2);
    EXPECT_EQ(local.freq[0], 3);
    EXPECT_EQ(local.freq[1], 18);
    EXPECT_EQ(local.freq[2], 14);
    EXPECT_EQ(local.total, 35);
    EXPECT_EQ(local.limit, 256);
    EXPECT_EQ(local.warmup, 23);  // 3 * 8, one used
    EXPECT_EQ(cls.total, 17);
    EXPECT_EQ(cls.freq[2], 5);
}

TEST(ContextModelNeighbours, RescaleSetsLimitAndRaisesStep) {
    NeighbourModel a{{100, 50, 30, 20, 0}, 200, 128, 0, 4};  // no warmup: limit becomes 256
    NeighbourModel b{{100, 50, 30, 20, 0}, 200, 64, 1, 4};   // warming up: step raised to 15
    NeighbourModel bClass{};
    CodedStream s;
    s.rc.encodeFreq(0, 100, 200);
    s.rc.encodeFreq(0, 100, 200);
    RangeDecoder& st = s.loadStarted();
    EXPECT_EQ(decodeWithLocal(st, a, a), 0);
    EXPECT_EQ(a.freq[0], 54);
    EXPECT_EQ(a.freq[1], 25);
    EXPECT_EQ(a.total, 104);
    EXPECT_EQ(a.limit, 256);
    EXPECT_EQ(decodeWithLocal(st, b, bClass), 0);
    EXPECT_EQ(b.step, 15);
    EXPECT_EQ(b.freq[0], 65);
    EXPECT_EQ(b.limit, 64);
    EXPECT_EQ(b.warmup, 0);
    EXPECT_EQ(bClass.total, 1);  // the last warm-up step went to the class model
}

TEST(ContextModelNeighbours, EmptyFifthSymbolOrZeroTotalRefusesInsteadOfStalling) {
    // Symbol 4 is taken by position; with frequency 0 below the total its interval is empty
    // and the range decoder would be left with a zero range.
    NeighbourModel bad{{2, 2, 2, 2, 0}, 10, 256, 0, 4};
    NeighbourModel local{};
    CodedStream s;
    s.rc.encodeFreq(9, 1, 10);
    RangeDecoder& st = s.loadStarted();
    EXPECT_EQ(decodeWithClass(st, local, bad), -1);
    EXPECT_TRUE(st.damaged);

    NeighbourModel zero{};
    st.damaged = false;
    EXPECT_EQ(decodeWithClass(st, local, zero), -1);
    EXPECT_TRUE(st.damaged);
}

// Lists over local storage.
struct TestList {
    uint16_t slots[8];
    uint8_t freqs[16];
    ListModel list;
    TestList(uint32_t capacity, bool full) { initList(list, slots, freqs, capacity, full); }
    void set(std::initializer_list<std::pair<int, int>> entries) {
        list.count = 0;
        for (auto [index, freq] : entries) {
            slots[list.count] = uint16_t(index);
            freqs[list.count++] = uint8_t(freq);
        }
    }
    void expect(std::initializer_list<std::pair<int, int>> entries) const {
        ASSERT_EQ(list.count, entries.size());
        int i = 0;
        for (auto [index, freq] : entries) {
            EXPECT_EQ(slots[i], index) << "entry " << i;
            EXPECT_EQ(freqs[i], freq) << "entry " << i;
            i++;
        }
    }
};

TEST(ContextModelLists, FullListRescalesOnFirstDecodeWithoutLosingEntries) {
    TestList t(4, true);
    CodedStream s;
    s.rc.encodeFreq(2, 1, 4);
    RangeDecoder& st = s.loadStarted();
    EXPECT_EQ(decodeList(st, s.exclusions, t.list), 2);
    // 5 after the hit; hits 52 > limit 32: halved with the bonus, so frequency 1 stays 1.
    t.expect({{2, 3}, {0, 1}, {1, 1}, {3, 1}});
    EXPECT_EQ(t.list.hits, 26u);
    EXPECT_EQ(t.list.escape, 0u);
}

TEST(ContextModelLists, ChosenEntryMovesForwardEvenWhenLessFrequent) {
    TestList t(4, false);
    t.set({{1, 10}, {2, 3}});
    CodedStream s;
    s.rc.encodeFreq(10, 3, 15);
    RangeDecoder& st = s.loadStarted();
    EXPECT_EQ(decodeList(st, s.exclusions, t.list), 2);
    t.expect({{2, 7}, {1, 10}});
}

TEST(ContextModelLists, EscapeExcludesOfferedEntriesAndAllExcludedReadsNothing) {
    TestList t(3, false);
    updateList(t.list, 7, 3);
    updateList(t.list, 9, 2);
    t.expect({{9, 2}, {7, 2}});  // appended entries swap once towards the front
    EXPECT_EQ(t.list.escape, 6u);
    CodedStream s;
    s.rc.encodeFreq(2, 6, 8);  // escape, with 9 excluded
    RangeDecoder& st = s.loadStarted();
    exclude(s.exclusions, 9);
    EXPECT_EQ(decodeList(st, s.exclusions, t.list), -1);
    EXPECT_TRUE(isExcluded(s.exclusions, 7));
    const RangeDecoder before = st;
    const uint8_t* cursor = st.cursor;
    EXPECT_EQ(decodeList(st, s.exclusions, t.list), -1);
    EXPECT_EQ(st.cursor, cursor);
    EXPECT_EQ(st.low, before.low);
    EXPECT_EQ(st.range, before.range);
}

TEST(ContextModelLists, UpdatesAppendDropAndRemoveZeroedEntries) {
    TestList t(3, false);
    t.set({{4, 9}, {5, 1}, {6, 1}});
    updateList(t.list, 8, 1);  // full list, small increment: ignored
    t.expect({{4, 9}, {5, 1}, {6, 1}});
    updateList(t.list, 8, 2);  // full: the last entry is dropped, its frequency feeds the escape
    t.expect({{4, 9}, {8, 2}, {5, 1}});
    EXPECT_EQ(t.list.escape, 4u);
    EXPECT_EQ(t.list.hits, 58u);
    updateList(t.list, 4, 4);  // hits 62 pass the limit 60: no bonus, so 1 becomes 0
    t.expect({{4, 6}, {8, 1}});
    EXPECT_EQ(t.list.escape, 3u);  // (4 + 1 removed) halved rounding up
    EXPECT_EQ(t.list.hits, 31u);
    EXPECT_EQ(t.slots[2], 5);  // freed slots keep their index
}

TEST(ContextModelLists, SlotSearchesFindTheFirstMatchAndIgnoreSlotsNotAsked) {
    // Few distinct indices, so that matches fall in every lane of a group of eight, several per
    // group, and also behind the slots asked about.
    std::mt19937 rng(5);
    uint16_t slots[paddedSlots(99)];
    for (int trial = 0; trial < 200; trial++) {
        for (uint16_t& s : slots) s = uint16_t(rng() % 12);
        slots[rng() % 104] = 8191;
        for (uint32_t index : {0u, 3u, 11u, 12u, 8191u, 8192u}) {
            for (uint32_t n = 0; n <= 104; n++) {
                int expected = -1;
                for (uint32_t i = 0; i < n && expected < 0; i++)
                    if (slots[i] == index) expected = int(i);
                ASSERT_EQ(findSlot(slots, n, index), expected) << "n " << n << " index " << index;
            }
            uint32_t mask = 0;
            for (uint32_t i = 0; i < 16; i++) mask |= uint32_t(slots[i] == index) << i;
            ASSERT_EQ(matchFirst16(slots, index), mask);
        }
    }
}

// Lists whose lengths end inside, at and just past a block of sixteen entries, with exclusions
// scattered over them: each decode finds the entry the encoder chose (or the escape) through
// the group sums. The frequency array ends exactly at its padded length, so that a read past it
// shows under the address checker. Odd trials leave room behind the entries, holding what
// dropped entries leave there (open indices, large frequencies) and bytes of 0xFF past the
// capacity: an entry past count taken into the sums shows in the decoded index.
TEST(ContextModelLists, LongListsFindTheChosenEntryPastExcludedOnesAndGroupBoundaries) {
    std::mt19937 rng(11);
    for (uint32_t count : {1u, 7u, 15u, 16u, 17u, 33u, 99u, 256u, 1000u}) {
        for (int trial = 0; trial < 8; trial++) {
            const uint32_t capacity = count + (trial % 2 ? 9 : 0);
            std::vector<uint16_t> slots(paddedSlots(capacity));
            std::vector<uint8_t> freqs(paddedFreqs(capacity), 0xFF);
            ListModel list;
            initList(list, slots.data(), freqs.data(), capacity, false);
            list.count = count;
            list.escape = 1 + rng() % 40;
            list.limit = 0xFFFFFF;  // no rescaling in the way
            for (uint32_t i = 0; i < count; i++) {
                slots[i] = uint16_t((i * 37 + trial) % 8192);
                freqs[i] = uint8_t(1 + rng() % 200);
            }
            for (uint32_t i = count; i < capacity; i++) {
                slots[i] = uint16_t(8000 + i % 100);
                freqs[i] = 250;
            }
            CodedStream s;
            s.exclusions.stamp = 1;
            std::vector<uint32_t> open;
            uint32_t sum = 0;
            for (uint32_t i = 0; i < count; i++) {
                if (rng() % 3 == 0) {
                    exclude(s.exclusions, slots[i]);
                } else {
                    open.push_back(i);
                    sum += freqs[i];
                }
            }
            if (open.empty()) continue;
            // The chosen entry: one of the open ones, the last open one, or the escape.
            const uint32_t pick =
                trial == 0 ? uint32_t(open.size()) - 1 : rng() % (open.size() + 1);
            uint32_t cumLow = 0;
            for (uint32_t k = 0; k < pick && k < open.size(); k++) cumLow += freqs[open[k]];
            const bool escape = pick == open.size();
            const int expected = escape ? -1 : slots[open[pick]];
            s.rc.encodeFreq(cumLow, escape ? list.escape : freqs[open[pick]], sum + list.escape);
            RangeDecoder& st = s.loadStarted();  // the marks set above stay in force
            const std::vector<uint16_t> offered(slots.begin(), slots.begin() + count);
            ASSERT_EQ(decodeList(st, s.exclusions, list), expected)
                << "count " << count << " trial " << trial;
            EXPECT_FALSE(st.damaged);
            if (escape) {
                for (uint16_t index : offered) EXPECT_TRUE(isExcluded(s.exclusions, index));
            }
        }
    }
}

// Promotions of every length, with the entry landing at the front, behind an equal frequency
// or behind a larger one, checked against the rule applied one step at a time: the entry moves
// one slot always, then while its frequency is greater than the one before it. Slots past the
// list's entries must not change.
TEST(ContextModelLists, PromotionsOfEveryLengthMatchTheStepwiseRule) {
    std::mt19937 rng(23);
    for (int trial = 0; trial < 3000; trial++) {
        const uint32_t capacity = 99;
        uint16_t slots[paddedSlots(capacity)];
        uint8_t freqs[paddedFreqs(capacity)];
        ListModel list;
        initList(list, slots, freqs, capacity, false);
        const uint32_t count = 1 + rng() % capacity;
        list.count = count;
        list.limit = 0xFFFFFF;  // no rescaling in the way
        uint32_t f = 200;
        for (uint32_t i = 0; i < paddedSlots(capacity); i++) slots[i] = uint16_t(5000 + i);
        for (uint32_t i = 0; i < paddedFreqs(capacity); i++) freqs[i] = 77;
        for (uint32_t i = 0; i < count; i++) {
            if (f > 1 && rng() % 3 == 0) f -= 1 + rng() % 2;  // runs of equal frequencies
            slots[i] = uint16_t(i * 3);
            freqs[i] = uint8_t(f);
        }
        const uint32_t pos = rng() % count;
        // Increments past the usual 4 make long moves past many smaller entries.
        const uint32_t increment = trial % 2 ? 1 + rng() % 4 : 1 + rng() % 50;
        std::vector<uint16_t> wantSlots(slots, slots + paddedSlots(capacity));
        std::vector<uint8_t> wantFreqs(freqs, freqs + paddedFreqs(capacity));
        wantFreqs[pos] = uint8_t(wantFreqs[pos] + increment);
        for (uint32_t p = pos; p > 0;) {
            std::swap(wantSlots[p], wantSlots[p - 1]);
            std::swap(wantFreqs[p], wantFreqs[p - 1]);
            p--;
            if (p == 0 || wantFreqs[p] <= wantFreqs[p - 1]) break;
        }
        updateList(list, slots[pos], increment);
        ASSERT_EQ(std::vector<uint16_t>(slots, slots + paddedSlots(capacity)), wantSlots)
            << "trial " << trial << " count " << count << " position " << pos;
        ASSERT_EQ(std::vector<uint8_t>(freqs, freqs + paddedFreqs(capacity)), wantFreqs)
            << "trial " << trial;
    }
}

// The order-zero decode against the whole fetch of decodeList on a twin list: exclusions
// offered through sources that repeat indices and hold the empty index, with stamps that wrap,
// and enough decodes to rescale the list several times. Both must find the entry the encoder
// chose (which follows the twin through updateList) and keep the same list, and the kept
// frequencies and total must stay those of the list. A decode with every entry excluded reads
// nothing and leaves the marks excluded. Marks and kept frequencies past the count must not
// enter the sums.
TEST(ContextModelLists, OrderZeroDecodeMatchesTheWholeFetch) {
    std::mt19937 rng(31);
    for (uint32_t count : {1u, 9u, 16u, 300u, 2139u}) {
        std::vector<uint16_t> slots[3];
        std::vector<uint8_t> freqs[3];
        for (int k = 0; k < 3; k++) {
            slots[k].resize(paddedSlots(count));
            freqs[k].resize(paddedFreqs(count));
        }
        ListModel mirror, twin;
        auto oz = std::make_unique<OrderZeroList>();
        std::memset(oz->freqOf, 0xEE, sizeof oz->freqOf);  // storage is not zeroed before
        initList(mirror, slots[0].data(), freqs[0].data(), count, true);
        initList(twin, slots[1].data(), freqs[1].data(), count, true);
        initOrderZeroList(*oz, slots[2].data(), freqs[2].data(), count);
        const int decodes = 600;
        std::vector<std::vector<uint32_t>> sources(decodes);
        std::vector<int> picks(decodes);
        CodedStream a, b;
        ExclusionMarks ex{};
        for (int d = 0; d < decodes; d++) {
            ex.stamp = uint8_t(d % kLastStamp + 1);
            if (ex.stamp == 1) ex = ExclusionMarks{{}, 1};
            std::vector<uint32_t>& src = sources[d];
            src.push_back(kEmptyIndex);
            const uint32_t excluded = d == decodes - 1 ? 0 : rng() % (count < 50 ? count : 50);
            for (uint32_t k = 0; k < excluded; k++) src.push_back(rng() % count);
            for (uint32_t k = rng() % 8; k > 0; k--) src.push_back(src[rng() % src.size()]);
            for (uint32_t v : src) exclude(ex, v);
            std::vector<uint32_t> open;
            uint32_t sum = 0;
            for (uint32_t i = 0; i < count; i++) {
                if (isExcluded(ex, slots[0][i])) continue;
                open.push_back(i);
                sum += freqs[0][i];
            }
            if (open.empty()) {
                picks[d] = -1;
                continue;
            }
            // Mostly near the front, as decoded data is.
            const uint32_t pick = rng() % uint32_t(rng() % 4 ? open.size() : 1 + open.size() / 8);
            uint32_t cumLow = 0;
            for (uint32_t k = 0; k < pick; k++) cumLow += freqs[0][open[k]];
            picks[d] = slots[0][open[pick]];
            for (CodedStream* s : {&a, &b}) s->rc.encodeFreq(cumLow, freqs[0][open[pick]], sum);
            updateList(mirror, uint32_t(picks[d]), 4);
        }
        RangeDecoder& ra = a.loadStarted();
        RangeDecoder& rb = b.loadStarted();
        ExclusionMarks exA{}, exB{};
        for (int d = 0; d < decodes; d++) {
            const uint8_t stamp = uint8_t(d % kLastStamp + 1);
            if (stamp == 1) exA = exB = ExclusionMarks{{}, 1};
            exA.stamp = exB.stamp = stamp;
            for (uint32_t v : sources[d]) exclude(exA, v), exclude(exB, v);
            // Marks past the count, inside the last block of sixteen, may hold the stamp.
            for (uint32_t v = count; v < paddedFreqs(count); v++) exclude(exB, v);
            ASSERT_EQ(decodeList(ra, exA, twin), picks[d]) << "count " << count << " decode " << d;
            ASSERT_EQ(decodeOrderZero(rb, exB, *oz), picks[d]) << "decode " << d;
            if (picks[d] < 0) {
                for (uint32_t v : sources[d]) EXPECT_TRUE(isExcluded(exB, v));
            }
        }
        EXPECT_FALSE(ra.damaged || rb.damaged);
        EXPECT_EQ(slots[1], slots[2]);
        EXPECT_EQ(freqs[1], freqs[2]);
        uint32_t total = 0;
        for (uint32_t i = 0; i < count; i++) {
            EXPECT_EQ(oz->freqOf[slots[2][i]], freqs[2][i]) << "index " << slots[2][i];
            total += freqs[2][i];
        }
        EXPECT_EQ(oz->total, total);
        EXPECT_LT(oz->list.hits, 12 * count);  // rescaled on the way
    }
}

}  // namespace
}  // namespace pqz
