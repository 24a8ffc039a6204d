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
// The values a list has never held anywhere but in its fresh order are its tail: count 0, in
// ascending order, behind every pair that has moved. Only the first `stored` pairs are kept in
// pair[]; the tail is the set `unseen`, and its places in pair[] hold count 255 (so that the
// literal loop's test for the plain search catches them) and a value that means nothing. The
// first sighting of a value then moves the pairs in front of the tail, not the tail (often 200
// places and more in a list of few values). Code that reads counts stops at `stored`; code that
// reads the values of the whole list, or moves pairs of the tail, writes the tail out first
// (storeWholeList).
//
// One record per context of 17 cache lines: the pairs, then the total and the list's state on
// the line that holds the count index's low entries (one line for both on most literals), the
// rest of the index and the tail, and a spare line. The spare line staggers the records over
// the first-level cache: with records of a power of two every list's first line (and every
// list's total) would fall into the same few sets, and only a few dozen of the 256 lists would
// stay in that cache.
constexpr size_t kRankListBytes = 1024 + 64;

struct alignas(64) RankList {
    RankPair pair[256];
    uint32_t total;
    // Counts below it move by the index: 255 while the list is sorted (a count of 255 wraps and
    // takes the plain search), 0 when it is not.
    uint8_t indexedBelow;
    bool byDeposit;   // the tail is searched with the processor's bit deposit (fast here)
    uint16_t stored;  // pairs held in pair[]; the tail follows them
    // Sorted lists: per count c, the first pair whose count is <= c. An entry for which no pair
    // qualifies is never read (a literal's own pair always qualifies for its count and the next
    // one); it holds the pair count 256 cut to a byte, 0.
    uint8_t firstAtMost[256];
    uint64_t unseen[4];      // the tail's values, bit v & 63 of word v >> 6
    uint64_t unseenPerWord;  // how many bits each word of unseen has set, in 16-bit lanes
    uint8_t unused[kRankListBytes - 512 - 8 - 256 - 32 - 8];
};
static_assert(sizeof(RankList) == kRankListBytes, "records staggered by a cache line");

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

// Counts a literal of an unsorted list, or one whose count wraps: the plain search. Returns
// the literal's value.
uint8_t moveRankPair(RankList& list, uint32_t rank);

// Writes the list's tail out into pair[] (count 0, ascending values), so that all 256 pairs are
// held there; the list reads as before.
void storeWholeList(RankList& list);

// The value at the given place of the list: of a pair held in pair[] or of the tail.
uint8_t rankValue(const RankList& list, uint32_t rank);

// Whether this processor moves rank pairs in 32-byte lanes (insertPairWide); it has the bit
// counts and bit deposit too, which search the tails (storeFromTailByDeposit) where the deposit
// is fast (RankList::byDeposit).
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
// record (its total, state and count index) and are written back as read. Longer moves take the
// plain path.
inline void insertPair(RankList& list, uint32_t to, uint32_t rank, RankPair p) {
#if defined(__SSE2__) && !defined(PQZ2_PORTABLE)
    static_assert(sizeof(RankList) - offsetof(RankList, pair[256]) >= 64,
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

namespace detail {

constexpr uint64_t kByteOnes = 0x0101010101010101;
constexpr uint64_t kByteTops = 0x8080808080808080;

// How many of the eight byte lanes of prefix (each at most 127, rising from the low lane) are
// at most k (k < 128): the place of the first lane above k.
PQZ_HOT_INLINE uint32_t lanesAtMost(uint64_t prefix, uint64_t k) {
    const uint64_t atMost = ((k * kByteOnes | kByteTops) - prefix) & kByteTops;
    return uint32_t(((atMost >> 7) * kByteOnes) >> 56);
}

// The place of the set bit of x that has k set bits below it (k below the bits set), without a
// branch: the byte holding it from the bytes' running counts, then the bit the same way with
// the byte's bits spread one to a lane.
PQZ_HOT_INLINE uint32_t nthSetBit(uint64_t x, uint32_t k) {
    uint64_t b = x - ((x >> 1) & 0x5555555555555555);
    b = (b & 0x3333333333333333) + ((b >> 2) & 0x3333333333333333);
    b = (b + (b >> 4)) & 0x0F0F0F0F0F0F0F0F;
    const uint64_t bytePrefix = b * kByteOnes;  // lane i: bits set in bytes 0..i
    const uint32_t byte = lanesAtMost(bytePrefix, k);
    const uint32_t shift = 8 * byte;
    k -= uint32_t((bytePrefix << 8) >> shift) & 0xFF;
    const uint64_t bits = (x >> shift) & 0xFF;
    const uint64_t spread = (bits * kByteOnes) & 0x8040201008040201;  // bit i in lane i
    const uint64_t ones = ((spread + 0x7F7F7F7F7F7F7F7F) & kByteTops) >> 7;
    return shift + lanesAtMost(ones * kByteOnes, k);
}

}  // namespace detail

// Where the value at place k of the list's tail is held in unseen.
struct TailPlace {
    uint32_t word, bit;
};

// The word of unseen that holds place k of the tail, found from the words' running counts
// (16-bit lanes, at most 256), and the place within the word (as bit field TailPlace::bit).
PQZ_HOT_INLINE TailPlace findUnseenWord(const RankList& list, uint32_t k) {
    constexpr uint64_t kLaneOnes = 0x0001000100010001, kLaneTops = 0x8000800080008000;
    const uint64_t prefix = list.unseenPerWord * kLaneOnes;
    const uint64_t atMost = ((uint64_t(k) * kLaneOnes | kLaneTops) - prefix) & kLaneTops;
    const uint32_t word = uint32_t(((atMost >> 15) * kLaneOnes) >> 48);
    return {word, k - (uint32_t((prefix << 16) >> (16 * word)) & 0xFFFF)};
}

PQZ_HOT_INLINE TailPlace findUnseen(const RankList& list, uint32_t k) {
    const TailPlace at = findUnseenWord(list, k);
    return {at.word, detail::nthSetBit(list.unseen[at.word], at.bit)};
}

// Takes the value of the given place out of the list's tail and returns it.
PQZ_HOT_INLINE uint32_t takeUnseenAt(RankList& list, TailPlace at) {
    list.unseen[at.word] &= ~(uint64_t(1) << at.bit);
    list.unseenPerWord -= uint64_t(1) << (16 * at.word);
    return 64 * at.word + at.bit;
}

// The value at place k of the list's tail, taken out of the tail.
PQZ_HOT_INLINE uint32_t takeUnseen(RankList& list, uint32_t k) {
    return takeUnseenAt(list, findUnseen(list, k));
}

// The first sighting of a value: the literal at place rank lies in the list's tail (rank >=
// stored). Its value is taken out of the tail and stored as the first pair behind those held,
// with count 0, where the indexed move then takes it from; returns that place. Out of line: it
// is rare enough, and its work would crowd the literal loop's registers.
uint32_t storeFromTail(RankList& list, uint32_t rank);

#if PQZ_RANK_WIDE_LANES
// storeFromTail with the processor's bit counts and bit deposit, for lists with byDeposit: the
// word from the counts of the words in front of it, the bit as the deposit of bit k of the
// word's own bits.
PQZ_TARGET_BMI2 inline uint32_t storeFromTailByDeposit(RankList& list, uint32_t rank,
                                                       uint32_t& value) {
    const uint32_t at = list.stored;
    const uint32_t k = rank - at;
    const uint64_t* unseen = list.unseen;
    const uint32_t c0 = uint32_t(_mm_popcnt_u64(unseen[0]));
    const uint32_t c1 = c0 + uint32_t(_mm_popcnt_u64(unseen[1]));
    const uint32_t c2 = c1 + uint32_t(_mm_popcnt_u64(unseen[2]));
    // The words wholly in front of place k, and their bits (each step is part of the one before).
    const uint32_t past0 = k >= c0, past1 = k >= c1, past2 = k >= c2;
    const uint32_t word = past0 + past1 + past2;
    const uint32_t below = (c0 & -past0) + ((c1 - c0) & -past1) + ((c2 - c1) & -past2);
    const uint64_t bits = unseen[word];
    const uint32_t bit = uint32_t(_tzcnt_u64(_pdep_u64(uint64_t(1) << (k - below), bits)));
    value = takeUnseenAt(list, {word, bit});
    list.pair[at] = {0, uint8_t(value)};
    list.stored = uint16_t(at + 1);
    return at;
}
#endif

// Whether the literal at place rank is the first sighting of a value in a sorted list (its
// count then moves by the index once storeFromTail has stored it).
inline bool takesFromTail(const RankList& list, uint32_t rank) {
    return rank >= list.stored && list.indexedBelow != 0;
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
    uint8_t value;
    if (list.pair[rank].count >= list.indexedBelow && !takesFromTail(list, rank)) {
        value = moveRankPair(list, rank);
    } else {
        if (rank >= list.stored) rank = storeFromTail(list, rank);
        value = list.pair[rank].value;
        moveByIndex<kWide>(list, rank);
    }
    if (countInTotal(list)) adaptLiteralCode(m, ctx);
    return value;
}

}  // namespace pqz
