#include "tests/encoder/context_encoder_models.h"

#include <algorithm>
#include <utility>

namespace pqz::enc {

namespace {

void need(bool ok, const char* what) {
    if (!ok) throw ContextCodingError(what);
}

// Halves both counts and raises the limit while it is below 0x4000.
void rescaleCounter(BitCounter& c) {
    c.c0 = halveUp(c.c0);
    c.c1 = halveUp(c.c1);
    if (c.limit < 0x4000) c.limit = uint16_t(c.limit + 64);
}

uint16_t& countOf(BitCounter& c, int bit) {
    return bit ? c.c1 : c.c0;
}

// Interval of symbol k in a neighbour model: [cumLow, cumLow + freq[k]).
uint32_t cumBelow(const NeighbourModel& m, int k) {
    uint32_t s = 0;
    for (int j = 0; j < k; j++) s += m.freq[j];
    return s;
}

void encodeNeighbour(RangeEncoder& rc, const NeighbourModel& m, int k) {
    need(m.freq[k] != 0, "neighbour choice without frequency");
    const uint32_t low = cumBelow(m, k);
    need(m.total != 0 && low + m.freq[k] <= m.total, "neighbour model total out of step");
    rc.encodeFreq(low, m.freq[k], m.total);
}

// The update of a neighbour model after symbol k.
void adapt(NeighbourModel& m, int k) {
    uint8_t step = m.step;
    if (m.total > m.limit && (m.freq[k] + 8 + step < m.total || m.total > 0x4000)) {
        uint16_t sum = 0;
        for (uint16_t& f : m.freq) {
            f = halveUp(f);
            sum = uint16_t(sum + f);
        }
        m.total = sum;
        if (m.limit < 256 && m.warmup == 0) m.limit = 256;
        if (m.limit < m.total) {
            step = std::max<uint8_t>(step, 15);
            m.step = step;
        }
    }
    m.total = uint16_t(m.total + step);
    m.freq[k] = uint16_t(m.freq[k] + step);
}

}  // namespace

void BitCounter::encode(RangeEncoder& rc, int bit) {
    need(countOf(*this, bit) != 0, "bit without count");
    rc.encodeBit(bit, c0, c1);
    if (limit < c0 + c1) rescaleCounter(*this);
    countOf(*this, bit) = uint16_t(countOf(*this, bit) + 8);
}

void encodeLinkedBit(RangeEncoder& rc, BitCounter& child, BitCounter& parent, int bit) {
    if (child.c0 == 0) {  // never used: the parent decides
        need(countOf(parent, bit) != 0, "linked bit without parent count");
        rc.encodeBit(bit, parent.c0, parent.c1);
        if (parent.c0 + parent.c1 > parent.limit) rescaleCounter(parent);
        countOf(parent, bit) = uint16_t(countOf(parent, bit) + 8);
        child.c0 = uint16_t(bit + 1);
        return;
    }
    if (child.c1 == 0) {  // used once: activate from the parent's counts
        const int first = child.c0 - 1;
        const int p0 = parent.c0, p1 = parent.c1, s = p0 + p1;
        child.c0 = uint16_t((64 * p0 + s - 64) / s);
        child.c1 = uint16_t((64 * p1 + s - 64) / s);
        countOf(child, first) = uint16_t(countOf(child, first) + 4);
        child.limit = 512;
        if (countOf(parent, first) >= 4)
            countOf(parent, first) = uint16_t(countOf(parent, first) - 3);
    }
    need(countOf(child, bit) != 0, "linked bit without child count");
    rc.encodeBit(bit, child.c0, child.c1);
    const int s = child.c0 + child.c1;
    if (s > child.limit) rescaleCounter(child);
    countOf(child, bit) = uint16_t(countOf(child, bit) + 8);
    if (s < 136) countOf(parent, bit) = uint16_t(countOf(parent, bit) + 1);
}

void encodeWithClass(RangeEncoder& rc, NeighbourModel& local, NeighbourModel& cls, int k) {
    encodeNeighbour(rc, cls, k);
    adapt(cls, k);
    local.total = local.freq[k] != 0 ? 1 : 0;
    local.freq[k] = uint16_t(local.freq[k] + 1);
}

void primeLocal(NeighbourModel& local, NeighbourModel& cls) {
    if (local.total != 1) return;
    uint16_t raw[5];
    std::copy(local.freq, local.freq + 5, raw);
    const uint32_t s = cls.step;
    local = NeighbourModel(cls);
    local.warmup = uint8_t(cls.warmup * 8);
    const uint32_t total = cls.total;
    need(total != 0, "priming from an empty class model");
    uint16_t sum = 0;
    for (int k = 0; k < 5; k++) {
        local.freq[k] = uint16_t(raw[k] * s + (21 * uint32_t(cls.freq[k]) + total - 1) / total);
        sum = uint16_t(sum + local.freq[k]);
    }
    local.total = sum;
}

void encodeWithLocal(RangeEncoder& rc, NeighbourModel& local, NeighbourModel& cls, int k) {
    encodeNeighbour(rc, local, k);
    adapt(local, k);
    if (local.warmup != 0) {
        local.warmup--;
        cls.total = uint16_t(cls.total + 1);
        cls.freq[k] = uint16_t(cls.freq[k] + 1);
    }
}

bool Exclusions::advance(int count) {
    if (stamp == 255) {
        stamp = 1;
        std::fill(marks.begin(), marks.begin() + (count + 15) / 16 * 16, 0);
        return true;
    }
    stamp++;
    return false;
}

void ListModel::init(uint32_t cap, bool full) {
    capacity = cap;
    entries.assign(cap, Entry{});
    if (full) {
        count = cap;
        for (uint32_t i = 0; i < cap; i++) entries[i] = {uint16_t(i), 1};
        escape = 0;
        hits = 12 * cap;
        limit = 8 * cap;
    } else {
        count = 0;
        escape = 2;
        hits = 18 * cap;
        limit = 20 * cap;
    }
}

bool ListModel::inFirstSlots(int index, int n) const {
    for (int i = 0; i < n; i++)
        if (entries[i].index == index) return true;
    return false;
}

// Adds to the frequency of the entry at pos, moves it forward (one step always, then while it
// outranks its predecessor) and rescales when needed.
void ListModel::raise(uint32_t pos, int increment) {
    entries[pos].freq = uint8_t(entries[pos].freq + increment);
    hits += uint32_t(increment);
    if (pos > 0) {
        std::swap(entries[pos], entries[pos - 1]);
        pos--;
        while (pos > 0 && entries[pos].freq > entries[pos - 1].freq) {
            std::swap(entries[pos], entries[pos - 1]);
            pos--;
        }
    }
    if (entries[pos].freq > 251 || limit < hits) rescale();
}

void ListModel::rescale() {
    rescales++;
    const int bonus = limit < 20 * capacity ? 1 : 0;
    for (uint32_t i = 0; i < count; i++) {
        Entry e = entries[i];
        e.freq = uint8_t((e.freq + bonus) >> 1);
        uint32_t j = i;
        while (j > 0 && entries[j - 1].freq < e.freq) {
            entries[j] = entries[j - 1];
            j--;
        }
        entries[j] = e;
    }
    uint32_t removed = 0;
    while (removed < count && entries[count - 1 - removed].freq == 0) removed++;
    escape += removed;
    count -= removed;
    escape -= escape >> 1;
    hits -= hits >> 1;
}

int ListModel::encode(RangeEncoder& rc, Exclusions& ex, int index, std::mt19937* rng) {
    uint32_t sum = 0, copies = 0;
    for (uint32_t i = 0; i < count; i++) {
        if (ex.excluded(entries[i].index)) continue;
        copies += entries[i].index == index;
        sum += entries[i].freq;
    }
    if (sum == 0) return -1;
    const uint32_t total = escape + sum;
    if (copies == 0) {
        need(escape != 0, "list escape without frequency");
        rc.encodeFreq(sum, escape, total);
        for (uint32_t i = 0; i < count; i++) ex.exclude(entries[i].index);
        return -1;
    }
    uint32_t pick = rng ? (*rng)() % copies : 0;
    uint32_t low = 0, pos = 0;
    for (;; pos++) {
        if (ex.excluded(entries[pos].index)) continue;
        if (entries[pos].index == index && pick-- == 0) break;
        low += entries[pos].freq;
    }
    rc.encodeFreq(low, entries[pos].freq, total);
    raise(pos, 4);
    return index;
}

int ListModel::find(int index) const {
    for (uint32_t i = 0; i < count; i++)
        if (entries[i].index == index) return int(i);
    return -1;
}

void ListModel::update(int index, int increment) {
    const int at = find(index);
    if (at >= 0) {
        raise(uint32_t(at), increment);
        return;
    }
    if (count >= capacity && increment <= 1) return;
    append(index);
}

void ListModel::append(int index) {
    uint32_t f = 1;
    if (count == capacity) {
        count--;
        f = entries[count].freq;
    }
    escape += f + 1;
    entries[count] = {uint16_t(index), 2};
    count++;
    hits += 4;
    if (count > 1) std::swap(entries[count - 1], entries[count - 2]);
}

}  // namespace pqz::enc
