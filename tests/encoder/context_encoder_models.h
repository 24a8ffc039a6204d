// Adaptive models of the context-model coder, encoding side: each model codes a known symbol
// and then changes its state exactly as the decoder's model does after decoding that symbol.
#pragma once

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/encoder/range_encoder.h"

namespace pqz::enc {

// Raised when the wanted value cannot be expressed in the stream (the models leave it no room).
struct ContextCodingError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Counts halve as c - (c >> 1), rounding up.
inline uint16_t halveUp(uint16_t c) {
    return uint16_t(c - (c >> 1));
}

// Binary counter with a rescaling threshold.
struct BitCounter {
    uint16_t c0 = 0, c1 = 0, limit = 0;
    void encode(RangeEncoder& rc, int bit);
};

// Binary decision whose child counter starts from its parent's statistics.
void encodeLinkedBit(RangeEncoder& rc, BitCounter& child, BitCounter& parent, int bit);

// Five-way choice among a new value (0) and the neighbours N, W, NE, NW (1 to 4).
struct NeighbourModel {
    uint16_t freq[5] = {0, 0, 0, 0, 0};
    uint16_t total = 0;
    uint16_t limit = 0;
    uint8_t warmup = 0;
    uint8_t step = 0;
};
static_assert(sizeof(NeighbourModel) == 16, "neighbour models are 16-byte records");

// Codes k while the local model still only counts raw occurrences (its total is 0).
void encodeWithClass(RangeEncoder& rc, NeighbourModel& local, NeighbourModel& cls, int k);
// Primes the local model from its class model when its total is 1 (before choosing a symbol).
void primeLocal(NeighbourModel& local, NeighbourModel& cls);
// Codes k with a primed local model and teaches the class model while warming up.
void encodeWithLocal(RangeEncoder& rc, NeighbourModel& local, NeighbourModel& cls, int k);

// Per-index exclusion marks; an index is excluded when its mark equals the stamp. Index 8192
// stands for an empty history slot.
struct Exclusions {
    static constexpr int kEmpty = 8192;
    std::vector<uint8_t> marks = std::vector<uint8_t>(kEmpty + 1, 0);
    uint8_t stamp = 1;
    bool excluded(int index) const { return marks[index] == stamp; }
    void exclude(int index) { marks[index] = stamp; }
    // Next stamp after a pixel that needed the escape path; returns true when it wrapped.
    bool advance(int count);
};

// Frequency-sorted list of value indices with an escape symbol.
struct ListModel {
    struct Entry {
        uint16_t index = 0;
        uint8_t freq = 0;
    };
    uint32_t capacity = 0, count = 0, escape = 0, hits = 0, limit = 0;
    std::vector<Entry> entries;

    void init(uint32_t cap, bool full);
    // Codes index if the list offers it unexcluded, else the escape (all offered indices then
    // become excluded). Returns the index, or -1 when the escape was coded or nothing was coded
    // because every entry is excluded. With rng set, an index listed twice is coded through a
    // randomly chosen entry; otherwise through the first.
    int encode(RangeEncoder& rc, Exclusions& ex, int index, std::mt19937* rng = nullptr);
    // Teaches the list a value coded elsewhere.
    void update(int index, int increment);
    // Appends index without looking for it (drops the last entry when full).
    void append(int index);
    // Position of the first entry in use with this index, or -1.
    int find(int index) const;
    // Whether index is in one of the first n entry slots, in use or not.
    bool inFirstSlots(int index, int n) const;
    int rescales = 0;  // statistics for the tests

  private:
    void raise(uint32_t pos, int increment);
    void rescale();
};

}  // namespace pqz::enc
