// Adaptive models of the context-model decoder: binary counters, counters that inherit their
// first statistics from a parent, the five-way neighbour model and the frequency-sorted value
// lists with escape. All are decoded through the range decoder; every rounding and threshold
// here decides which symbol comes out.
#pragma once

#include <cstdint>
#if defined(__SSE2__) && !defined(PQZ2_PORTABLE)
#include <emmintrin.h>
#endif

#include "base/platform.h"
#include "codec/shared/range_decoder.h"

namespace pqz {

// Two adaptive counts and the threshold at which they are halved.
struct BitCounter {
    uint16_t c0;
    uint16_t c1;
    uint16_t limit;
};

// Five-way model: freq[0] for a value that is none of the neighbours, freq[1..4] for a value
// equal to neighbour 1..4 (N, W, NE, NW).
struct NeighbourModel {
    uint16_t freq[5];
    uint16_t total;
    uint16_t limit;
    uint8_t warmup;
    uint8_t step;  // added to the decoded symbol's count
};
static_assert(sizeof(NeighbourModel) == 16, "neighbour models are copied as 16 bytes");

// Value indices kept sorted by frequency (highest first, up to the one-step moves), with an
// escape symbol. Indices and frequencies are kept in two arrays so that searches compare eight
// indices at once; the index array has room for a multiple of 8 slots. Slots past count keep
// whatever index was last stored in them (always a valid index). The frequency array may be
// read, not written, in whole blocks of 16 up to paddedFreqs(capacity): the bytes past
// capacity are whatever the owner's storage holds there.
struct ListModel {
    uint32_t capacity;
    uint32_t count;
    uint32_t escape;
    uint32_t hits;
    uint32_t limit;
    uint16_t* index;  // paddedSlots(capacity) slots, owned by whoever created the list
    uint8_t* freq;    // capacity frequencies, readable up to paddedFreqs(capacity)
};

// Index slots a list of the given capacity is given: searches read whole groups of 8.
constexpr uint32_t paddedSlots(uint32_t capacity) {
    return (capacity + 7) & ~7u;
}

// Bytes of readable storage a list of the given capacity needs for its frequencies.
constexpr uint32_t paddedFreqs(uint32_t capacity) {
    return (capacity + 15) & ~15u;
}

// Position of index among slots 0 .. n - 1 (all inside a padded index array), or -1.
inline int findSlot(const uint16_t* slots, uint32_t n, uint32_t index) {
#if defined(__SSE2__) && !defined(PQZ2_PORTABLE)
    const __m128i key = _mm_set1_epi16(int16_t(index));
    for (uint32_t i = 0; i < n; i += 8) {
        const __m128i group = _mm_loadu_si128(reinterpret_cast<const __m128i*>(slots + i));
        const uint32_t hit = uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi16(group, key)));
        if (hit) {
            const uint32_t pos = i + uint32_t(trailingZeros(hit)) / 2;
            return pos < n ? int(pos) : -1;  // the first match; later slots are not in use
        }
    }
    return -1;
#else
    for (uint32_t i = 0; i < n; i++) {
        if (slots[i] == index) return int(i);
    }
    return -1;
#endif
}

// Bit i set when slot i of the first 16 equals index (the array holds at least 16 slots).
inline uint32_t matchFirst16(const uint16_t* slots, uint32_t index) {
#if defined(__SSE2__) && !defined(PQZ2_PORTABLE)
    const __m128i key = _mm_set1_epi16(int16_t(index));
    const __m128i lo =
        _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(slots)), key);
    const __m128i hi =
        _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(slots + 8)), key);
    return uint32_t(_mm_movemask_epi8(_mm_packs_epi16(lo, hi)));
#else
    uint32_t mask = 0;
    for (uint32_t i = 0; i < 16; i++) mask |= uint32_t(slots[i] == index) << i;
    return mask;
#endif
}

// Value index that stands for an empty history slot; always excluded while it matters.
constexpr uint32_t kEmptyIndex = 8192;

// A frequency total the range decoder can divide by.
inline bool usableTotal(uint32_t total) {
    return total != 0 && total <= kRangeBottom;
}

// Marks of the value indices an escape has offered already (one per index and one for the
// empty index): an index is excluded while its mark equals the current stamp. Stamps run from
// 1 to kLastStamp.
struct ExclusionMarks {
    uint8_t marks[kEmptyIndex + 1];
    uint8_t stamp;
};
constexpr uint8_t kLastStamp = 127;

inline bool isExcluded(const ExclusionMarks& ex, uint32_t index) {
    return ex.marks[index] == ex.stamp;
}

inline void exclude(ExclusionMarks& ex, uint32_t index) {
    ex.marks[index] = ex.stamp;
}

// Halves a count, rounding up.
inline uint16_t halve(uint16_t c) {
    return uint16_t(c - (c >> 1));
}

inline void halveCounter(BitCounter& b) {
    b.c0 = halve(b.c0);
    b.c1 = halve(b.c1);
    if (b.limit < 0x4000) b.limit = uint16_t(b.limit + 64);
}

inline int decodeBitCounter(RangeDecoder& rc, BitCounter& b) {
    const int bit = rangeDecodeBit(rc, b.c0, b.c1);
    if (b.limit < uint32_t(b.c0) + b.c1) halveCounter(b);
    if (bit)
        b.c1 = uint16_t(b.c1 + 8);
    else
        b.c0 = uint16_t(b.c0 + 8);
    return bit;
}

// What a child counter in use and its parent learn from the child's decision; s is the sum of
// the child's counts it was decoded with. The parent learns from the child's first outcomes
// while the child's counts are small.
PQZ_HOT_INLINE void learnActiveChild(BitCounter& child, BitCounter& parent, uint32_t s, int bit) {
    if (s > child.limit) halveCounter(child);
    if (bit) {
        child.c1 = uint16_t(child.c1 + 8);
        if (s < 136) parent.c1 = uint16_t(parent.c1 + 1);
    } else {
        child.c0 = uint16_t(child.c0 + 8);
        if (s < 136) parent.c0 = uint16_t(parent.c0 + 1);
    }
}

// The decision of a child counter that is in use (c1 != 0).
PQZ_HOT_INLINE int decodeActiveChild(RangeDecoder& rc, BitCounter& child, BitCounter& parent) {
    const uint32_t s = uint32_t(child.c0) + child.c1;
    const int bit = rangeDecodeBit(rc, child.c0, child.c1);
    learnActiveChild(child, parent, s, bit);
    return bit;
}

// The first two uses of a child counter (c1 == 0); kept out of the callers' loops, where the
// registers they need would push the common path's values to the stack.
int decodeNewChild(RangeDecoder& rc, BitCounter& child, BitCounter& parent);

// A child counter that starts from its parent's statistics. Child c0 doubles as a state while
// c1 is 0: 0 never used, 1 or 2 used once with first outcome 0 or 1.
PQZ_HOT_INLINE int decodeLinkedBit(RangeDecoder& rc, BitCounter& child, BitCounter& parent) {
    if (child.c1 == 0) return decodeNewChild(rc, child, parent);
    return decodeActiveChild(rc, child, parent);
}

// A range decoder's range and code value held in a caller's locals across a loop of decisions,
// apart from the decoder (`home`) whose fields the loop's byte stores could alias as far as the
// compiler knows: otherwise both would be stored and loaded again around every store.
struct HeldRange {
    uint32_t range;
    uint32_t low;

    explicit HeldRange(const RangeDecoder& home) : range(home.range), low(home.low) {}
    void handOver(RangeDecoder& home) const {
        home.range = range;
        home.low = low;
    }
    void takeBack(const RangeDecoder& home) {
        range = home.range;
        low = home.low;
    }
};

// decodeLinkedBit with the range and code value held: a child's first uses and the refills run
// on the decoder itself.
PQZ_HOT_INLINE int decodeLinkedBitHeld(HeldRange& held, RangeDecoder& home, BitCounter& child,
                                       BitCounter& parent) {
    if (child.c1 == 0) {
        held.handOver(home);
        const int bit = decodeNewChild(home, child, parent);
        held.takeBack(home);
        return bit;
    }
    if (held.range <= kRangeBottom) {
        held.handOver(home);
        rangeNormalize(home);
        held.takeBack(home);
    }
    const uint32_t s = uint32_t(child.c0) + child.c1;
    const int bit = rangeDecideBit(held.range, held.low, child.c0, child.c1);
    learnActiveChild(child, parent, s, bit);
    return bit;
}

// Neighbour choice (symbol 0..4) while the local model has only counted raw occurrences (total
// 0). Both forms return -1 and set rc.damaged when the model's total cannot be decoded with.
int decodeWithClass(RangeDecoder& rc, NeighbourModel& local, NeighbourModel& cls);
// Neighbour choice with a local model that is ready (total 1: primed from the class first).
int decodeWithLocal(RangeDecoder& rc, NeighbourModel& local, NeighbourModel& cls);

// Sets a list up over the given storage (paddedSlots(capacity) indices, capacity frequencies
// in storage readable up to paddedFreqs(capacity)).
// A full list holds the indices 0 .. capacity - 1 with frequency 1; an empty one is zeroed.
void initList(ListModel& list, uint16_t* index, uint8_t* freq, uint32_t capacity, bool full);
// Decodes a value index, or -1 when every entry is excluded (nothing read) or the escape came
// out (every offered entry is then excluded). Sets rc.damaged when the total is unusable.
int decodeList(RangeDecoder& rc, ExclusionMarks& ex, ListModel& list);
// Teaches the list an index decoded elsewhere.
void updateList(ListModel& list, uint32_t index, uint32_t increment);
// Adds an index as a new entry of frequency 2, dropping the last entry of a full list.
void appendToList(ListModel& list, uint32_t index);

// The order-zero list holds every value index of the plane once: it starts full, with
// frequencies of at least 1 that its rescales keep at 1 or more, and nothing appends to it.
// Each index's frequency and the list's total are kept beside it, so that the open sum of a
// decode is the total minus the frequencies of the excluded indices, summed over the marks in
// index order sixteen at a time, and the fetch of the marks in list order can stop at the
// entry found instead of covering the whole list.
struct OrderZeroList {
    ListModel list;
    uint32_t total;                   // of the list's frequencies
    uint8_t freqOf[kEmptyIndex + 1];  // per value index; 0 for the empty index and past count
};

// Sets the list up full over the given storage (as initList).
void initOrderZeroList(OrderZeroList& oz, uint16_t* index, uint8_t* freq, uint32_t capacity);

// Decodes from the order-zero list as decodeList does, with the same result and the same list
// and marks afterwards.
int decodeOrderZero(RangeDecoder& rc, ExclusionMarks& ex, OrderZeroList& oz);

}  // namespace pqz
