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
bool usableInterval(ReaderState& st, uint32_t cumLow, uint32_t cumHigh, uint32_t total) {
    if (cumHigh > cumLow || cumHigh >= total) return true;
    st.damaged = true;
    return false;
}

// Update of a neighbour model after symbol k, with rescaling of large totals.
void adapt(NeighbourModel& m, int k) {
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
// greater than that of the entry before it. Returns its new position.
uint32_t promote(ListEntry* e, uint32_t pos) {
    if (pos == 0) return 0;
    std::swap(e[pos], e[pos - 1]);
    pos--;
    while (pos > 0 && e[pos].freq > e[pos - 1].freq) {
        std::swap(e[pos], e[pos - 1]);
        pos--;
    }
    return pos;
}

// Halves all frequencies (with a rounding bonus for lists that started full), restores the
// order, drops trailing entries that reached 0 and ages the escape and hit counts.
void rescale(ListModel& list) {
    ListEntry* e = list.entries;
    const uint32_t bonus = list.limit < 20 * list.capacity ? 1 : 0;
    for (uint32_t i = 0; i < list.count; i++) {
        e[i].freq = uint8_t((e[i].freq + bonus) >> 1);
        for (uint32_t j = i; j > 0 && e[j - 1].freq < e[j].freq; j--) std::swap(e[j], e[j - 1]);
    }
    uint32_t removed = 0;
    while (list.count > 0 && e[list.count - 1].freq == 0) {
        list.count--;
        removed++;
    }
    list.escape += removed;
    list.escape -= list.escape >> 1;
    list.hits -= list.hits >> 1;
}

// Raises the frequency of the entry at pos and keeps the list in shape.
void reward(ListModel& list, uint32_t pos, uint32_t increment) {
    ListEntry* e = list.entries;
    e[pos].freq = uint8_t(e[pos].freq + increment);
    list.hits += increment;
    pos = promote(e, pos);
    if (e[pos].freq > 251 || list.limit < list.hits) rescale(list);
}

}  // namespace

int decodeWithClass(ReaderState& st, NeighbourModel& local, NeighbourModel& cls) {
    const uint32_t total = cls.total;
    if (!usableTotal(total)) {
        st.damaged = true;
        return -1;
    }
    const uint32_t v = rangeDecodeFreq(st, total);
    uint32_t cumLow, cumHigh;
    const int k = findNeighbourSymbol(cls, v, cumLow, cumHigh);
    if (!usableInterval(st, cumLow, cumHigh, total)) return -1;
    adapt(cls, k);
    rangeUpdate(st, cumLow, cumHigh);
    local.total = local.freq[k] != 0 ? 1 : 0;
    local.freq[k] = uint16_t(local.freq[k] + 1);
    return k;
}

int decodeWithLocal(ReaderState& st, NeighbourModel& local, NeighbourModel& cls) {
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
            st.damaged = true;
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
        st.damaged = true;
        return -1;
    }
    const uint32_t v = rangeDecodeFreq(st, total);
    uint32_t cumLow, cumHigh;
    const int k = findNeighbourSymbol(local, v, cumLow, cumHigh);
    if (!usableInterval(st, cumLow, cumHigh, total)) return -1;
    adapt(local, k);
    rangeUpdate(st, cumLow, cumHigh);
    if (local.warmup != 0) {
        local.warmup--;
        cls.total = uint16_t(cls.total + 1);
        cls.freq[k] = uint16_t(cls.freq[k] + 1);
    }
    return k;
}

void initList(ListModel& list, ListEntry* storage, uint32_t capacity, bool full) {
    list.capacity = capacity;
    list.entries = storage;
    if (full) {
        list.count = capacity;
        for (uint32_t i = 0; i < capacity; i++) storage[i] = ListEntry{uint16_t(i), 1, 0};
        list.escape = 0;
        list.hits = 12 * capacity;
        list.limit = 8 * capacity;
    } else {
        list.count = 0;
        std::memset(storage, 0, capacity * sizeof(ListEntry));
        list.escape = 2;
        list.hits = 18 * capacity;
        list.limit = 20 * capacity;
    }
}

int decodeList(ReaderState& st, ListModel& list) {
    ListEntry* e = list.entries;
    uint16_t offered[kMaxListCapacity];  // positions of the entries not excluded
    uint32_t n = 0, sum = 0;
    const uint32_t count = list.count < kMaxListCapacity ? list.count : kMaxListCapacity;
    for (uint32_t i = 0; i < count; i++) {  // without branches: exclusions follow no pattern
        const uint32_t open = !isExcluded(st, e[i].index);
        offered[n] = uint16_t(i);
        n += open;
        sum += open * e[i].freq;
    }
    if (sum == 0) return -1;
    const uint32_t total = list.escape + sum;
    if (!usableTotal(total)) {
        st.damaged = true;
        return -1;
    }
    const uint32_t v = rangeDecodeFreq(st, total);
    uint32_t run = 0;
    for (uint32_t j = 0; j < n; j++) {
        const uint32_t pos = offered[j];
        run += e[pos].freq;
        if (run > v) {
            const int index = e[pos].index;
            rangeUpdate(st, run - e[pos].freq, run);
            reward(list, pos, 4);
            return index;
        }
    }
    for (uint32_t j = 0; j < n; j++) exclude(st, e[offered[j]].index);
    rangeUpdate(st, sum, total);
    return -1;
}

void updateList(ListModel& list, uint32_t index, uint32_t increment) {
    ListEntry* e = list.entries;
    for (uint32_t i = 0; i < list.count; i++) {
        if (e[i].index == index) {
            reward(list, i, increment);
            return;
        }
    }
    if (list.count >= list.capacity && increment <= 1) return;
    appendToList(list, index);
}

void appendToList(ListModel& list, uint32_t index) {
    ListEntry* e = list.entries;
    uint32_t f = 1;
    if (list.count == list.capacity) {
        list.count--;
        f = e[list.count].freq;
    }
    list.escape += f + 1;
    e[list.count] = ListEntry{uint16_t(index), 2, 0};
    const uint32_t pos = list.count++;
    list.hits += 4;
    if (pos > 0) std::swap(e[pos], e[pos - 1]);
}

}  // namespace pqz
