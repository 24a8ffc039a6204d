// The bit-stream decoder's copies and candidate list against plain byte-by-byte and
// one-place-at-a-time models of them.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "codec/bitstream/match_copies.h"

namespace pqz {
namespace {

TEST(BitStreamMatch, CopiesRepeatEarlierBytesAndWriteNothingElse) {
    constexpr size_t kBefore = 48, kMaxLen = 70, kAfter = 16;
    std::vector<uint8_t> buf(kBefore + kMaxLen + kAfter), expected;
    for (size_t dist = 1; dist <= kBefore; dist++) {
        for (size_t len = 0; len <= kMaxLen; len++) {
            for (size_t i = 0; i < buf.size(); i++) buf[i] = uint8_t(i * 37 + 11);
            expected = buf;
            for (size_t i = 0; i < len; i++) expected[kBefore + i] = expected[kBefore + i - dist];
            copyBack(buf.data() + kBefore, dist, len);
            ASSERT_EQ(buf, expected) << "distance " << dist << ", length " << len;
        }
    }
}

// The list as a plain array, reordered one place at a time.
struct PlainList {
    Candidate c[kCandidateCount];

    void count(uint32_t idx, uint32_t length) {
        const uint32_t n = c[idx].count += length;
        uint32_t to = idx;
        while (to > 0 && c[to - 1].count < n) to--;
        if (to == idx) return;
        const Candidate moved = c[idx];
        for (uint32_t k = idx; k > to; k--) c[k] = c[k - 1];
        c[to] = moved;
        if (c[7].count - c[8].count > 20) {
            for (Candidate& x : c) x.count >>= 1;
        }
    }
};

void expectSame(const CandidateList& list, const PlainList& plain, int step) {
    for (uint32_t k = 0; k < kCandidateCount; k++) {
        ASSERT_EQ(list[k].offset, plain.c[k].offset) << "place " << k << " after step " << step;
        ASSERT_EQ(list[k].count, plain.c[k].count) << "place " << k << " after step " << step;
    }
}

// Mostly the first places with short lengths, now and then a far place or a long length, so that
// moves of every distance (up to the whole list), halvings and replaced offsets all occur.
TEST(BitStreamMatch, CandidateListKeepsTheOrderOfUse) {
    uint32_t offsets[kCandidateCount];
    for (uint32_t k = 0; k < kCandidateCount; k++) offsets[k] = 1000 + 7 * k;
    CandidateList list;
    list.init(offsets);
    PlainList plain;
    for (uint32_t k = 0; k < kCandidateCount; k++) plain.c[k] = {offsets[k], 0};

    std::mt19937 rng(7);
    int farMoves = 0;
    for (int step = 0; step < 20000; step++) {
        const uint32_t r = rng() % 100;
        const uint32_t idx = r < 60 ? rng() % 8 : r < 90 ? rng() % 24 : rng() % kCandidateCount;
        const uint32_t length = rng() % 10 == 0 ? 100 + rng() % 533 : 5 + rng() % 8;
        if (rng() % 8 == 0) {
            const uint32_t slot = kCandidateCount - 1 - rng() % 4;
            list.setOffset(slot, step);
            plain.c[slot].offset = uint32_t(step);
        }
        uint32_t ahead = 0;
        while (ahead < idx && plain.c[idx - ahead - 1].count < plain.c[idx].count + length) ahead++;
        farMoves += ahead >= 8;
        list.count(idx, length);
        plain.count(idx, length);
        expectSame(list, plain, step);
    }
    EXPECT_GT(farMoves, 100);
}

// Counts near the top of their range: the order follows the unsigned counts, wrapped ones
// included, as the one-place model does.
TEST(BitStreamMatch, CandidateListComparesCountsUnsigned) {
    uint32_t offsets[kCandidateCount];
    for (uint32_t k = 0; k < kCandidateCount; k++) offsets[k] = k + 1;
    CandidateList list;
    list.init(offsets);
    PlainList plain;
    for (uint32_t k = 0; k < kCandidateCount; k++) plain.c[k] = {offsets[k], 0};
    const uint32_t big = 0x7FFFFF00u;
    for (int round = 0; round < 4; round++) {
        for (uint32_t idx : {3u, 0u, 9u, 1u}) {
            const uint32_t length = round < 2 ? big : 300;
            list.count(idx, length);
            plain.count(idx, length);
            expectSame(list, plain, round);
        }
    }
}

}  // namespace
}  // namespace pqz
