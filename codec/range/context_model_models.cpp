#include "codec/range/context_model_models.h"

#include <cstring>
#include <utility>

namespace pqz {

namespace {

// Finds the symbol whose cumulative interval holds v: the first k of 0..3 whose running sum
// exceeds v, otherwise 4 (whatever freq[4] is).
int findNeighbourSymbol(const NeighbourModel& m, uint32_t v, uint32_t& cumLow, uint32_t& cumHigh) {
    uint32_t sum = 0;
    int k = 0;
    for (; k < 4; k++) {
        sum += m.freq[k];
        if (v < sum) break;
    }
    if (k == 4) sum += m.freq[4];
    cumHigh = sum;
    cumLow = sum - m.freq[k];
    return k;
}

// Symbol 4 is chosen by position even with frequency 0; if the model's total exceeds the sum of
// its frequencies (only models corrupted by damaged data), that empty interval would leave the
// range decoder a zero range, and its refill would never end.
bool usableInterval(RangeDecoder& rc, uint32_t cumLow, uint32_t cumHigh, uint32_t total) {
    if (cumHigh > cumLow || cumHigh >= total) return true;
    rc.damaged = true;
    return false;
}

// Update of a neighbour model after symbol k, with rescaling of large totals.
PQZ_HOT_INLINE void adapt(NeighbourModel& m, int k) {
    uint32_t step = m.step;
    if (m.total > m.limit && (m.freq[k] + 8 + step < m.total || m.total > 0x4000)) {
        uint32_t sum = 0;
        for (uint16_t& f : m.freq) {
            f = halve(f);
            sum += f;
        }
        m.total = uint16_t(sum);
        if (m.limit < 256 && m.warmup == 0) m.limit = 256;
        if (m.limit < m.total) {
            if (step < 15) step = 15;
            m.step = uint8_t(step);
        }
    }
    m.total = uint16_t(m.total + step);
    m.freq[k] = uint16_t(m.freq[k] + step);
}

// Moves the entry at pos towards the front: one step always, then while its frequency is
// greater than that of the entry before it. Returns its new position. Unless the entry outranks
// the head, the head's frequency stops the walk by itself, so the common loop needs no bound;
// the frequency compared is the one moved next.
PQZ_HOT_INLINE uint32_t promote(ListModel& list, uint32_t pos) {
    if (pos == 0) return 0;
    const uint8_t* head = list.freq;
    uint16_t* index = list.index + pos;
    uint8_t* freq = list.freq + pos;
    const uint16_t moving = *index;
    const uint8_t f = *freq;
    uint8_t before = freq[-1];
    const auto step = [&] {
        index[0] = index[-1];
        freq[0] = before;
        index--;
        freq--;
    };
    step();
    if (freq != head) {
        if (f <= head[0]) {
            while (f > (before = freq[-1])) step();  // ends at slot 1 at the latest
        } else {
            while (freq != head && f > (before = freq[-1])) step();
        }
    }
    *index = moving;
    *freq = f;
    return uint32_t(freq - head);
}

// Halves all frequencies (with a rounding bonus for lists that started full), restores the
// order, drops trailing entries that reached 0 and ages the escape and hit counts.
PQZ_COLD void rescale(ListModel& list) {
    uint16_t* index = list.index;
    uint8_t* freq = list.freq;
    const uint32_t bonus = list.limit < 20 * list.capacity ? 1 : 0;
    for (uint32_t i = 0; i < list.count; i++) {
        const uint16_t moving = index[i];
        const uint8_t f = uint8_t((freq[i] + bonus) >> 1);
        uint32_t j = i;
        for (; j > 0 && freq[j - 1] < f; j--) {
            index[j] = index[j - 1];
            freq[j] = freq[j - 1];
        }
        index[j] = moving;
        freq[j] = f;
    }
    uint32_t removed = 0;
    while (list.count > 0 && freq[list.count - 1] == 0) {
        list.count--;
        removed++;
    }
    list.escape += removed;
    list.escape -= list.escape >> 1;
    list.hits -= list.hits >> 1;
}

// Raises the frequency of the entry at pos and keeps the list in shape. True when the list
// was rescaled.
PQZ_HOT_INLINE bool reward(ListModel& list, uint32_t pos, uint32_t increment) {
    list.freq[pos] = uint8_t(list.freq[pos] + increment);
    list.hits += increment;
    pos = promote(list, pos);
    if (list.freq[pos] <= 251 && list.hits <= list.limit) return false;
    rescale(list);
    return true;
}

// Copies the exclusion marks of eight entries' indices. One store per mark: put together into
// words first, the eight cost twice the instructions.
PQZ_HOT_INLINE void fetchMarks(const uint8_t* marks, const uint16_t* index, uint8_t* out) {
    volatile uint8_t* fetched = out;
    for (uint32_t k = 0; k < 8; k++) fetched[k] = marks[index[k]];
}

// The longest list: the order-zero list holds every value index of a plane.
constexpr uint32_t kMaxListEntries = 8192;
constexpr uint32_t kOpenGroup = 8;

// A list's frequencies with those of excluded entries zeroed, padded with zeros to whole
// blocks of 16, and their sums per group of 8 entries.
struct OpenEntries {
    alignas(16) uint8_t freq[kMaxListEntries + 16];
    uint16_t groupSum[kMaxListEntries / kOpenGroup + 2];
};

// Fills `open` for the list and returns the sum of the open frequencies. The exclusion marks
// are fetched one by one (they follow no pattern), eight at a time up to the padded end of the
// index slots; the rest works on 16 entries at once, and the entries past count are masked
// out of the last block instead of being cut off.
uint32_t gatherOpenEntries(const ListModel& list, const ExclusionMarks& ex, OpenEntries& open) {
    const uint32_t count = list.count;
    const uint16_t* index = list.index;
    const uint8_t* marks = ex.marks;
    uint8_t* o = open.freq;
    for (uint32_t i = 0; i < count; i += 8) fetchMarks(marks, index + i, o + i);
    const uint32_t padded = paddedFreqs(count);
#if defined(__SSE2__) && !defined(PQZ2_PORTABLE)
    const __m128i stamp = _mm_set1_epi8(char(ex.stamp));
    __m128i total = _mm_setzero_si128();
    const auto block = [&](uint32_t i, __m128i inside) {
        const __m128i freq = _mm_loadu_si128(reinterpret_cast<const __m128i*>(list.freq + i));
        const __m128i mark = _mm_load_si128(reinterpret_cast<const __m128i*>(o + i));
        const __m128i kept =
            _mm_and_si128(_mm_andnot_si128(_mm_cmpeq_epi8(mark, stamp), freq), inside);
        _mm_store_si128(reinterpret_cast<__m128i*>(o + i), kept);
        const __m128i sums = _mm_sad_epu8(kept, _mm_setzero_si128());  // one per group of 8
        total = _mm_add_epi64(total, sums);
        const __m128i pair = _mm_shuffle_epi32(sums, 0x08);  // both sums in the low 64 bits
        const int32_t packed = _mm_cvtsi128_si32(_mm_packs_epi32(pair, pair));
        std::memcpy(open.groupSum + i / kOpenGroup, &packed, sizeof packed);
    };
    // Whole blocks keep every lane; only a last, partial one is masked.
    const uint32_t whole = count & ~15u;
    const __m128i all = _mm_set1_epi8(char(0xFF));
    for (uint32_t i = 0; i < whole; i += 16) block(i, all);
    if (whole < padded) {
        const __m128i lanes = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        block(whole, _mm_cmpgt_epi8(_mm_set1_epi8(char(count - whole)), lanes));
    }
    return uint32_t(_mm_cvtsi128_si32(total)) +
           uint32_t(_mm_cvtsi128_si32(_mm_unpackhi_epi64(total, total)));
#else
    uint32_t sum = 0;
    for (uint32_t i = 0; i < padded; i += kOpenGroup) {
        uint32_t group = 0;
        for (uint32_t k = i; k < i + kOpenGroup; k++) {
            const uint8_t kept = k >= count || o[k] == ex.stamp ? 0 : list.freq[k];
            o[k] = kept;
            group += kept;
        }
        open.groupSum[i / kOpenGroup] = uint16_t(group);
        sum += group;
    }
    return sum;
#endif
}

// Position of the open entry whose cumulative interval holds v, walking from the front eight
// entries at a time; sets run to the open sum up to and including it. Returns count if the open
// entries sum to v or less (never with the sums kept right).
uint32_t findOpenEntry(const ListModel& list, const ExclusionMarks& ex, uint32_t v, uint32_t& run) {
    const uint32_t count = list.count;
    const uint8_t* freq = list.freq;
    alignas(8) uint8_t fetched[8];
    uint32_t r = 0, i = 0;
#if defined(__SSE2__) && !defined(PQZ2_PORTABLE)
    const __m128i stamp = _mm_set1_epi8(char(ex.stamp));
    for (;; i += 8) {
        if (i >= count) return count;
        fetchMarks(ex.marks, list.index + i, fetched);
        const __m128i mark = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(fetched));
        const __m128i f = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(freq + i));
        const __m128i kept = _mm_andnot_si128(_mm_cmpeq_epi8(mark, stamp), f);
        const uint32_t group = uint32_t(_mm_cvtsi128_si32(_mm_sad_epu8(kept, _mm_setzero_si128())));
        if (r + group > v) break;
        r += group;
    }
#else
    for (;; i += 8) {
        if (i >= count) return count;
        fetchMarks(ex.marks, list.index + i, fetched);
        uint32_t group = 0;
        for (uint32_t k = 0; k < 8; k++) {
            if (fetched[k] != ex.stamp) group += freq[i + k];
        }
        if (r + group > v) break;
        r += group;
    }
#endif
    // The group holds the entry; those past count in it come after the entry.
    for (uint32_t k = 0; k < 8; k++) {
        if (fetched[k] != ex.stamp) r += freq[i + k];
        if (r > v) {
            run = r;
            return i + k < count ? i + k : count;
        }
    }
    return count;
}

// Excludes the first n entries of a list, the stamp kept in a register (a mark's store could
// otherwise change it, as far as the compiler knows).
PQZ_HOT_INLINE void excludeEntries(ExclusionMarks& ex, const uint16_t* index, uint32_t n) {
    uint8_t* marks = ex.marks;
    const uint8_t stamp = ex.stamp;
#pragma GCC unroll 4
    for (uint32_t i = 0; i < n; i++) marks[index[i]] = stamp;
}

// The per-index frequencies and the total after a rescale. Those past the count up to a
// whole block of sixteen are zero, for the sums over the marks.
PQZ_COLD void recount(OrderZeroList& oz) {
    const ListModel& list = oz.list;
    std::memset(oz.freqOf, 0, paddedFreqs(list.capacity));
    uint32_t total = 0;
    for (uint32_t i = 0; i < list.count; i++) {
        oz.freqOf[list.index[i]] = list.freq[i];
        total += list.freq[i];
    }
    oz.total = total;
}

// The sum of the frequencies of the excluded indices of the order-zero list, the marks taken in
// index order. Each index counts once, however often it was excluded.
uint32_t excludedSum(const ExclusionMarks& ex, const OrderZeroList& oz) {
    const uint32_t padded = paddedFreqs(oz.list.capacity);
#if defined(__SSE2__) && !defined(PQZ2_PORTABLE)
    const __m128i stamp = _mm_set1_epi8(char(ex.stamp));
    __m128i sum = _mm_setzero_si128();
    for (uint32_t i = 0; i < padded; i += 16) {
        const __m128i mark = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ex.marks + i));
        const __m128i freq = _mm_loadu_si128(reinterpret_cast<const __m128i*>(oz.freqOf + i));
        const __m128i excluded = _mm_and_si128(_mm_cmpeq_epi8(mark, stamp), freq);
        sum = _mm_add_epi64(sum, _mm_sad_epu8(excluded, _mm_setzero_si128()));
    }
    return uint32_t(_mm_cvtsi128_si32(sum)) +
           uint32_t(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sum, sum)));
#else
    uint32_t sum = 0;
    for (uint32_t i = 0; i < padded; i++) {
        if (ex.marks[i] == ex.stamp) sum += oz.freqOf[i];
    }
    return sum;
#endif
}

}  // namespace

PQZ_COLD int decodeNewChild(RangeDecoder& rc, BitCounter& child, BitCounter& parent) {
    if (child.c0 == 0) {
        const int bit = rangeDecodeBit(rc, parent.c0, parent.c1);
        if (uint32_t(parent.c0) + parent.c1 > parent.limit) halveCounter(parent);
        if (bit)
            parent.c1 = uint16_t(parent.c1 + 8);
        else
            parent.c0 = uint16_t(parent.c0 + 8);
        child.c0 = uint16_t(bit + 1);
        return bit;
    }
    // Second use: activate the child from the parent's counts.
    const uint32_t p0 = parent.c0, p1 = parent.c1, s = p0 + p1;
    const int first = child.c0 - 1;
    child.c0 = uint16_t((64 * p0 + s - 64) / s);
    child.c1 = uint16_t((64 * p1 + s - 64) / s);
    uint16_t& childFirst = first ? child.c1 : child.c0;
    childFirst = uint16_t(childFirst + 4);
    child.limit = 512;
    uint16_t& parentFirst = first ? parent.c1 : parent.c0;
    if (parentFirst >= 4) parentFirst = uint16_t(parentFirst - 3);
    return decodeActiveChild(rc, child, parent);
}

int decodeWithClass(RangeDecoder& rc, NeighbourModel& local, NeighbourModel& cls) {
    const uint32_t total = cls.total;
    if (!usableTotal(total)) {
        rc.damaged = true;
        return -1;
    }
    const uint32_t v = rangeDecodeFreq(rc, total);
    uint32_t cumLow, cumHigh;
    const int k = findNeighbourSymbol(cls, v, cumLow, cumHigh);
    if (!usableInterval(rc, cumLow, cumHigh, total)) return -1;
    adapt(cls, k);
    rangeUpdate(rc, cumLow, cumHigh);
    local.total = local.freq[k] != 0 ? 1 : 0;
    local.freq[k] = uint16_t(local.freq[k] + 1);
    return k;
}

int decodeWithLocal(RangeDecoder& rc, NeighbourModel& local, NeighbourModel& cls) {
    if (local.total == 1) {
        // Priming: the class model scaled to a total of about 21, plus the raw counts weighted
        // by the class step. local and cls may be the same model.
        uint16_t raw[5];
        std::memcpy(raw, local.freq, sizeof raw);
        const uint32_t step = cls.step;
        std::memmove(&local, &cls, sizeof local);
        local.warmup = uint8_t(cls.warmup * 8);
        const uint32_t classTotal = cls.total;
        if (classTotal == 0) {
            rc.damaged = true;
            return -1;
        }
        uint32_t sum = 0;
        for (int k = 0; k < 5; k++) {
            local.freq[k] = uint16_t(raw[k] * step +
                                     (21 * uint32_t(cls.freq[k]) + classTotal - 1) / classTotal);
            sum += local.freq[k];
        }
        local.total = uint16_t(sum);
    }
    const uint32_t total = local.total;
    if (!usableTotal(total)) {
        rc.damaged = true;
        return -1;
    }
    const uint32_t v = rangeDecodeFreq(rc, total);
    uint32_t cumLow, cumHigh;
    const int k = findNeighbourSymbol(local, v, cumLow, cumHigh);
    if (!usableInterval(rc, cumLow, cumHigh, total)) return -1;
    adapt(local, k);
    rangeUpdate(rc, cumLow, cumHigh);
    if (local.warmup != 0) {
        local.warmup--;
        cls.total = uint16_t(cls.total + 1);
        cls.freq[k] = uint16_t(cls.freq[k] + 1);
    }
    return k;
}

void initList(ListModel& list, uint16_t* index, uint8_t* freq, uint32_t capacity, bool full) {
    list.capacity = capacity;
    list.index = index;
    list.freq = freq;
    const uint32_t slots = paddedSlots(capacity);
    if (full) {
        list.count = capacity;
        for (uint32_t i = 0; i < slots; i++) index[i] = uint16_t(i);
        std::memset(freq, 1, capacity);
        list.escape = 0;
        list.hits = 12 * capacity;
        list.limit = 8 * capacity;
    } else {
        list.count = 0;
        std::memset(index, 0, slots * sizeof(uint16_t));
        std::memset(freq, 0, capacity);
        list.escape = 2;
        list.hits = 18 * capacity;
        list.limit = 20 * capacity;
    }
}

int decodeList(RangeDecoder& rc, ExclusionMarks& ex, ListModel& list) {
    const uint32_t count = list.count;
    if (count > kMaxListEntries) {  // no list of a plane grows this long
        rc.damaged = true;
        return -1;
    }
    OpenEntries open;
    const uint32_t sum = gatherOpenEntries(list, ex, open);
    if (sum == 0) return -1;
    const uint32_t total = list.escape + sum;
    if (!usableTotal(total)) {
        rc.damaged = true;
        return -1;
    }
    const uint32_t v = rangeDecodeFreq(rc, total);
    if (v < sum) {
        // Whole groups are passed while their sum keeps the running sum at or below v; the
        // entry found usually stands near the front. Excluded entries add nothing, so the
        // running sum first passes v at an open entry.
        uint32_t run = 0, g = 0;
        while (run + open.groupSum[g] <= v) run += open.groupSum[g++];
        uint32_t i = g * kOpenGroup;
        for (;; i++) {
            run += open.freq[i];
            if (run > v) break;
        }
        const int found = list.index[i];
        rangeUpdate(rc, run - open.freq[i], run);
        reward(list, i, 4);
        return found;
    }
    // Escape: every entry offered is excluded from now on (the others already are).
    excludeEntries(ex, list.index, count);
    rangeUpdate(rc, sum, total);
    return -1;
}

void updateList(ListModel& list, uint32_t index, uint32_t increment) {
    const int pos = findSlot(list.index, list.count, index);
    if (pos >= 0) {
        reward(list, uint32_t(pos), increment);
        return;
    }
    if (list.count >= list.capacity && increment <= 1) return;
    appendToList(list, index);
}

void appendToList(ListModel& list, uint32_t index) {
    uint32_t f = 1;
    if (list.count == list.capacity) {
        list.count--;
        f = list.freq[list.count];
    }
    list.escape += f + 1;
    uint32_t pos = list.count++;
    list.index[pos] = uint16_t(index);
    list.freq[pos] = 2;
    list.hits += 4;
    if (pos > 0) {
        std::swap(list.index[pos], list.index[pos - 1]);
        std::swap(list.freq[pos], list.freq[pos - 1]);
    }
}

void initOrderZeroList(OrderZeroList& oz, uint16_t* index, uint8_t* freq, uint32_t capacity) {
    initList(oz.list, index, freq, capacity, true);
    recount(oz);
    oz.freqOf[kEmptyIndex] = 0;
}

int decodeOrderZero(RangeDecoder& rc, ExclusionMarks& ex, OrderZeroList& oz) {
    ListModel& list = oz.list;
    const uint32_t sum = oz.total - excludedSum(ex, oz);
    if (sum == 0) return -1;
    const uint32_t total = list.escape + sum;
    if (!usableTotal(total)) {
        rc.damaged = true;
        return -1;
    }
    const uint32_t v = rangeDecodeFreq(rc, total);
    if (v >= sum) {
        // Escape: every entry is excluded from now on (the list holds every index).
        excludeEntries(ex, list.index, list.count);
        rangeUpdate(rc, sum, total);
        return -1;
    }
    uint32_t run = 0;
    const uint32_t i = findOpenEntry(list, ex, v, run);
    if (i == list.count) {  // the kept sums disagree with the list
        rc.damaged = true;
        return -1;
    }
    const uint32_t found = list.index[i];
    rangeUpdate(rc, run - list.freq[i], run);
    oz.freqOf[found] = uint8_t(list.freq[i] + 4);
    oz.total += 4;
    if (reward(list, i, 4)) recount(oz);
    return int(found);
}

}  // namespace pqz
