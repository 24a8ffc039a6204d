// Literals of the bit-stream decoder: per context, the byte values ranked by how often they were
// seen, and the choice of the literal code that fits the context's spread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/platform.h"

#if defined(__SSE2__) && !defined(PQZ2_PORTABLE)
#include <immintrin.h>
#endif
// Rank moves in 32-byte lanes, for processors that have them (chosen at run time).
#if defined(__SSE2__) && !defined(PQZ2_PORTABLE) && defined(PQZ_TARGET_AVX2)
#define PQZ_RANK_WIDE_LANES 1
#else
#define PQZ_RANK_WIDE_LANES 0
#endif

namespace pqz {

struct RankPair {
    uint8_t count;
    uint8_t value;
};

// Byte values of one context, most frequent first; total is the sum of the counts. A count
// stays below 256 while the totals advance in steps of 32 between checks. A halving that runs
// on from the list before (below) can shift those steps, and a count may then wrap to 0 and stay
// in place: the list is no longer sorted and takes the plain search until it is again.
//
// One record per context of 1 KiB, so that a context's record is found with a shift: the pairs,
// the count index and the total on the record's last cache line.
struct RankList {
    RankPair pair[256];
    // Sorted lists: per count c, the first pair whose count is <= c. An entry for which no pair
    // qualifies is never read (a literal's own pair always qualifies for its count and the next
    // one); it holds the pair count 256 cut to a byte, 0.
    uint8_t firstAtMost[256];
    uint32_t total;
    // Counts below it move by the index: 255 while the list is sorted (a count of 255 wraps and
    // takes the plain search), 0 when it is not.
    uint8_t indexedBelow;
    uint8_t unused[1024 - 512 - 256 - 4 - 1];
};
static_assert(sizeof(RankList) == 1024, "a power-of-two record per context");

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

// Halves the context's list (as halveRankCounts), sets its total to the new sum and indexes it
// again. A sorted list stays sorted, and its index follows from the old one without a search.
void rescaleRankList(LiteralModel& m, uint32_t ctx);

// Notes whether the counts are sorted (largest first) and, if so, rebuilds firstAtMost.
void indexRankCounts(RankList& list);

// Chooses the literal code of a list whose total just reached a multiple of 32: by how many
// leading values make up more than 7/8 of the total.
uint8_t chooseSelector(const RankList& list, const uint8_t* threshold);

// Counts a literal of an unsorted list, or one whose count wraps: the plain search.
void moveRankPair(RankList& list, uint32_t rank);

// Whether this processor moves rank pairs in 32-byte lanes (insertPairWide).
bool wideRankMoves();

namespace detail {

// Moves bytes bytes one pair up with two pieces of kPiece bytes, the first and the last (they
// overlap when bytes < 2 * kPiece); both are read before either is written.
template <size_t kPiece>
inline void shiftTwoPieces(uint8_t* base, size_t bytes) {
    struct Piece {
        uint8_t b[kPiece];
    };
    Piece first, last;
    std::memcpy(&first, base, kPiece);
    std::memcpy(&last, base + bytes - kPiece, kPiece);
    std::memcpy(base + bytes - kPiece + sizeof(RankPair), &last, kPiece);
    std::memcpy(base + sizeof(RankPair), &first, kPiece);
}

}  // namespace detail

// Moves the pairs from..to-1 one place up (to from+1..to), without a loop up to 32 pairs: one
// pair, or the first and the last piece of 4, 8, 16 or 32 bytes. Longer moves go in 32-byte
// steps from the top down, each read before the step above it is written over, and the rest
// below them in up to two 16-byte pieces; the bottom piece is read first and written last (over
// bytes that already hold what it brings).
inline void shiftPairsUp(RankPair* pair, uint32_t from, uint32_t to) {
    constexpr size_t kStep = sizeof(RankPair);
    uint8_t* const base = reinterpret_cast<uint8_t*>(pair + from);
    const size_t bytes = (to - from) * kStep;
    if (bytes <= 16) {
        if (bytes >= 8) return detail::shiftTwoPieces<8>(base, bytes);
        if (bytes >= 4) return detail::shiftTwoPieces<4>(base, bytes);
        pair[from + 1] = pair[from];
        return;
    }
    if (bytes <= 32) return detail::shiftTwoPieces<16>(base, bytes);
    if (bytes <= 64) return detail::shiftTwoPieces<32>(base, bytes);
    struct Piece {
        uint8_t b[16];
    };
    Piece bottom, low, high;
    std::memcpy(&bottom, base, sizeof bottom);
    size_t at = bytes;
    while (at > 32) {
        at -= 32;
        std::memcpy(&low, base + at, 16);
        std::memcpy(&high, base + at + 16, 16);
        std::memcpy(base + at + 16 + kStep, &high, 16);
        std::memcpy(base + at + kStep, &low, 16);
    }
    if (at > 16) {
        std::memcpy(&low, base + at - 16, 16);
        std::memcpy(base + at - 16 + kStep, &low, 16);
    }
    std::memcpy(base + kStep, &bottom, sizeof bottom);
}

// Puts pair p at place to and the pairs to..rank-1 one place up (over rank): the pair at rank
// moved ahead. With vector lanes a move of up to 63 places takes one or two blocks of 32 pairs
// from to on, without a branch on the distance inside a block: each block is rebuilt as the
// pairs one place below it up to rank and as they were behind it, and written back whole. The
// last block ends at most 31 pairs behind rank; those behind the list's 256 pairs lie in its
// record's count index and are written back as read. Longer moves take the plain path.
inline void insertPair(RankList& list, uint32_t to, uint32_t rank, RankPair p) {
#if defined(__SSE2__) && !defined(PQZ2_PORTABLE)
    static_assert(offsetof(RankList, firstAtMost) == 512 && sizeof(RankList::firstAtMost) >= 64,
                  "32 pairs from the last place stay inside the record");
    uint32_t distance = rank - to;
    if (distance < 64) {
        __m128i* at = reinterpret_cast<__m128i*>(list.pair + to);
        // The places of a block up to this one take the pair below them.
        __m128i last = _mm_set1_epi16(int16_t(distance));
        __m128i below = _mm_cvtsi32_si128(p.count | p.value << 8);
        for (;;) {
            for (int k = 0; k < 4; k++) {
                const __m128i old = _mm_loadu_si128(at + k);
                const __m128i shifted = _mm_or_si128(_mm_slli_si128(old, 2), below);
                below = _mm_srli_si128(old, 14);
                const __m128i place = _mm_setr_epi16(
                    int16_t(8 * k), int16_t(8 * k + 1), int16_t(8 * k + 2), int16_t(8 * k + 3),
                    int16_t(8 * k + 4), int16_t(8 * k + 5), int16_t(8 * k + 6), int16_t(8 * k + 7));
                const __m128i keep = _mm_cmpgt_epi16(place, last);
                _mm_storeu_si128(at + k, _mm_or_si128(_mm_and_si128(keep, old),
                                                      _mm_andnot_si128(keep, shifted)));
            }
            if (distance < 32) return;
            // The second block starts where the first ended: its pairs are still as they were,
            // and the pair coming in at its bottom is the first block's old top one.
            distance -= 32;
            last = _mm_sub_epi16(last, _mm_set1_epi16(32));
            at += 4;
        }
    }
#endif
    if (to < rank) shiftPairsUp(list.pair, to, rank);
    list.pair[to] = p;
}

#if PQZ_RANK_WIDE_LANES
// shiftPairsUp in 32-byte steps from the top down; the bottom 32 bytes are read first and
// written last. Moves of at least 16 pairs only.
PQZ_TARGET_AVX2 inline void shiftPairsUpWide(RankPair* pair, uint32_t from, uint32_t to) {
    uint8_t* const base = reinterpret_cast<uint8_t*>(pair + from);
    const __m256i bottom = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base));
    size_t at = (to - from) * sizeof(RankPair);
    while (at > 32) {
        at -= 32;
        const __m256i piece = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base + at));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(base + at + sizeof(RankPair)), piece);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(base + sizeof(RankPair)), bottom);
}

// insertPair with 32-byte lanes: a block of 32 pairs is two vectors. Each vector shifted up one
// pair takes the top pair of the vector below it (for the first, the moved pair).
PQZ_TARGET_AVX2 inline void insertPairWide(RankList& list, uint32_t to, uint32_t rank, RankPair p) {
    uint32_t distance = rank - to;
    if (distance >= 64) {
        shiftPairsUpWide(list.pair, to, rank);
        list.pair[to] = p;
        return;
    }
    __m256i* at = reinterpret_cast<__m256i*>(list.pair + to);
    __m256i last = _mm256_set1_epi16(int16_t(distance));
    __m256i below = _mm256_set1_epi16(int16_t(p.count | p.value << 8));
    const __m256i place0 = _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m256i place1 = _mm256_add_epi16(place0, _mm256_set1_epi16(16));
    for (;;) {
        const __m256i old0 = _mm256_loadu_si256(at);
        const __m256i old1 = _mm256_loadu_si256(at + 1);
        // [below's top pair, old0 without its top pair], [old0's top pair, old1 without it]
        const __m256i up0 =
            _mm256_alignr_epi8(old0, _mm256_permute2x128_si256(below, old0, 0x21), 14);
        const __m256i up1 =
            _mm256_alignr_epi8(old1, _mm256_permute2x128_si256(old0, old1, 0x21), 14);
        _mm256_storeu_si256(at, _mm256_blendv_epi8(up0, old0, _mm256_cmpgt_epi16(place0, last)));
        _mm256_storeu_si256(at + 1,
                            _mm256_blendv_epi8(up1, old1, _mm256_cmpgt_epi16(place1, last)));
        if (distance < 32) return;
        distance -= 32;
        last = _mm256_sub_epi16(last, _mm256_set1_epi16(32));
        below = old1;
        at += 2;
    }
}
#endif

// Counts the literal of the given rank in a sorted list (one whose pair counts below
// indexedBelow): its count grows and it moves up ahead of every value not seen more often. kWide
// moves the pairs in 32-byte lanes: only in code built for them (PQZ_TARGET_AVX2) on a processor
// that has them.
template <bool kWide = false>
inline void moveByIndex(RankList& list, uint32_t rank) {
    RankPair* pair = list.pair;
    const uint32_t old = pair[rank].count;
    const uint32_t count = old + 1;
    // The pair goes ahead of every pair whose count is not above its new one.
    const uint32_t to = list.firstAtMost[count];
    list.firstAtMost[old] = uint8_t(list.firstAtMost[old] + 1);
    RankPair moved = pair[rank];
    moved.count = uint8_t(count);
#if PQZ_RANK_WIDE_LANES
    if constexpr (kWide) {
        insertPairWide(list, to, rank, moved);
    } else {
        insertPair(list, to, rank, moved);
    }
#else
    insertPair(list, to, rank, moved);
#endif
}

// Counts a literal in the list's total; true when the context's literal code is due to be chosen
// again (adaptLiteralCode).
inline bool countInTotal(RankList& list) {
    const uint32_t total = ++list.total;
    return (total & 31) == 0 && list.pair[0].count >= 8;
}

// Chooses the context's literal code again and halves its list when a count or the total grew
// too large.
void adaptLiteralCode(LiteralModel& m, uint32_t ctx);

// Takes the value of the given rank in the context's list and adapts the list: the value's
// count grows and it moves up ahead of every value not seen more often.
template <bool kWide = false>
inline uint8_t takeLiteral(LiteralModel& m, uint32_t ctx, uint32_t rank) {
    RankList& list = m.ranks[ctx];
    const uint8_t value = list.pair[rank].value;
    if (list.pair[rank].count < list.indexedBelow) {
        moveByIndex<kWide>(list, rank);
    } else {
        moveRankPair(list, rank);
    }
    if (countInTotal(list)) adaptLiteralCode(m, ctx);
    return value;
}

}  // namespace pqz
