// The decoder object of one context-model plane: row buffers, adaptive models, histories and
// context-number tables, laid out as one block whose tables are fixed offsets from its base.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/range/context_model_models.h"
#include "codec/shared/progress.h"
#include "codec/shared/range_decoder.h"

namespace pqz {

// One sample of a row buffer: its value index and whether it equals six neighbours.
struct RowEntry {
    uint16_t index;
    uint8_t eqN;   // the entry directly above
    uint8_t eqW;   // the entry to the left
    uint8_t eqNE;  // above, one to the right
    uint8_t eqNW;  // above, one to the left
    uint8_t eqN2;  // above, two to the right
    uint8_t eqN3;  // above, three to the right
};
static_assert(sizeof(RowEntry) == 8, "row entries are 8 bytes");

// Padding entries on each side of a row: column x is entry x + kRowMargin.
constexpr int kRowMargin = 8;

constexpr int kNeighbourClasses = 15;
constexpr int kClassModels = 188;
constexpr int kLocalModels = 65536;
constexpr uint32_t kHashedContexts = 65536;
constexpr uint32_t kRecentDepth = 8;
constexpr uint32_t kMaxValueCount = 8192;
static_assert(paddedFreqs(kMaxValueCount) <= kEmptyIndex,
              "the order-zero list's sums read marks and kept frequencies in whole blocks of 16");
// The short lists of all value indices keep their index slots in one array, this many apart.
constexpr uint32_t kShortCapacity = 33;
constexpr uint32_t kShortSlots = paddedSlots(kShortCapacity);
static_assert(kShortSlots >= 16, "a short list's first 16 slots are compared at once");

// Sizes of the three context-number tables. They lie back to back in this order: the class
// model one past the last (see below) makes the first table run into the second, and the stored
// streams depend on exactly that. Planes that would pass the end of the second or third table
// are refused.
constexpr uint32_t kLocalSlotEntries = 192512;
constexpr uint32_t kLocalModelEntries = 108800;
constexpr uint32_t kSmallModelEntries = 712000;
constexpr uint32_t kContextNumberEntries =
    kLocalSlotEntries + kLocalModelEntries + kSmallModelEntries;
constexpr uint16_t kUnassigned = 0xFFFF;

// Value-index histories of one hashed context, in one cache line: the eight most recent
// indices, and the last two indices per neighbour class for the twelve frequent classes.
constexpr int kPairsInRecord = 12;
struct alignas(64) HashRecord {
    uint16_t recent[kRecentDepth];
    uint16_t pairs[kPairsInRecord][2];
};
static_assert(sizeof(HashRecord) == 64, "one hashed context per cache line");
constexpr HashRecord makeEmptyRecord() {
    HashRecord r{};
    for (uint16_t& v : r.recent) v = uint16_t(kEmptyIndex);
    for (auto& pair : r.pairs) pair[0] = pair[1] = uint16_t(kEmptyIndex);
    return r;
}
inline constexpr HashRecord kEmptyRecord = makeEmptyRecord();
// Where the pair of each neighbour class is kept: slots below kPairsInRecord in the record,
// the others (the three classes met least in photos) in a table of their own.
constexpr uint8_t kPairSlotOfClass[kNeighbourClasses] = {0,  1,  2, 3, 4,  5,  6, 7,
                                                         12, 13, 8, 9, 14, 10, 11};
constexpr int kRarePairs = kNeighbourClasses - kPairsInRecord;

// The bit-reversal of each 13-bit number, shifted left by 3.
struct ReversedBits {
    uint16_t value[8192];
    constexpr uint16_t operator[](uint32_t j) const { return value[j]; }
};
constexpr ReversedBits makeReversedBits() {
    ReversedBits t{};
    for (uint32_t j = 0; j < 8192; j++) {
        uint32_t r = 0;
        for (int i = 0; i < 13; i++) r |= ((j >> i) & 1) << (12 - i);
        t.value[j] = uint16_t(r << 3);
    }
    return t;
}
inline constexpr ReversedBits kReversedBits = makeReversedBits();

// Granularity in which the context-number tables and local models are set up on first use.
constexpr uint32_t kSlotBlock = 1024;  // first context numbers of one class model
constexpr uint32_t kNumberChunk = 1024;
constexpr uint32_t kModelChunk = 64;

// One allocation per plane, aligned to cache lines; the row buffers, value table and lists
// live in two further blocks that the object owns. The large tables are not filled when the
// object is made: each part is set up when a pixel first reaches it (the ensure functions
// below), so that small planes do not pay for the whole object. Every read of these tables
// goes through them.
struct ContextModel {
    int32_t width;
    int32_t height;  // multiplied when a deep plane is coded as bytes
    int32_t depth;   // lowered to 8 in that case
    int32_t storedDepth;
    int32_t count;  // distinct sample values of the plane
    int32_t nextLocalSlot;
    int32_t nextLocalModel;
    int32_t nextSmallModel;
    int32_t lastChoice;  // neighbour choice 0..4 or run decision of the last pixel
    int32_t classModelIndex;
    int32_t candidateIndex;
    RowEntry* rowBase[5];    // current row, then the rows one to four above
    RowEntry* rowCursor[5];  // the cursor column in each of them

    BitCounter candidateParents[16];
    BitCounter candidateChildren[4096];
    BitCounter runParent;
    BitCounter runChildren[256];
    BitCounter runLengthBits[48];
    OrderZeroList orderZero;
    ListModel* longLists;   // count lists of capacity 99; heads the block of the value table
    ListModel* shortLists;  // count lists of capacity 33
    uint16_t* shortSlots;   // their index slots: those of value i start at i * kShortSlots
    ListModel* listChain[4];
    int32_t chainCursor;
    uint32_t* values;  // the sample value of each index
    uint8_t classOfPattern[64];
    uint8_t classModelOf[375];
    uint8_t* runLengthBitCount;  // width + 1 entries; heads the block of the row buffers
    uint8_t* runSeen;            // count entries, followed by count candidate marks
    uint8_t rowEqualSums[4];
    uint16_t* recentSlot;  // the histories of the current pixel's hashed context
    uint16_t* pairSlot;

    // The current pixel's neighbours N, W, NE, NW, and the value indices the current escape
    // has offered already.
    uint32_t neighbour[4];
    ExclusionMarks exclusions;

    // What of the large tables has been set up.
    uint64_t hashReady[kHashedContexts / 64];  // per hashed context: its histories
    uint8_t slotBlockReady[kClassModels + 1];  // per class model: its first context numbers
    uint32_t localModelOfReady;                // second context numbers below this
    uint32_t smallModelOfReady;                // small-alphabet context numbers below this
    uint32_t localModelsReady;                 // local models below this (and the last one)

    // The class models followed directly by the local models. The class set-up can hand out
    // number 188, one past the class models: that model is local model 0.
    NeighbourModel neighbourModels[kClassModels + kLocalModels];
    HashRecord records[kHashedContexts];
    uint16_t rarePairs[kHashedContexts][kRarePairs][2];
    uint16_t contextNumbers[kContextNumberEntries];

    NeighbourModel* classModels() { return neighbourModels; }
    NeighbourModel* localModels() { return neighbourModels + kClassModels; }
    uint16_t* localSlotOf() { return contextNumbers; }
    uint16_t* localModelOf() { return contextNumbers + kLocalSlotEntries; }
    uint16_t* smallModelOf() { return contextNumbers + kLocalSlotEntries + kLocalModelEntries; }
    // Per value index, where the candidate search finds it; zero between searches.
    uint8_t* candidateMarks() { return runSeen + count; }
};

// The hashed context of a pixel: N and the first of W, NE, NW that differs from it (WW when
// none does).
inline uint32_t contextHash(uint32_t n, uint32_t w, uint32_t ne, uint32_t nw, uint32_t ww) {
    uint32_t other = nw != n ? nw : ww;  // selected without branches
    other = ne != n ? ne : other;
    other = w != n ? w : other;
    return (kReversedBits[n] - other) & 0xFFFF;
}

// The histories of a hashed context, set to the empty index on first use.
inline HashRecord& hashRecord(ContextModel& cm, uint32_t hash) {
    uint64_t& word = cm.hashReady[hash >> 6];
    const uint64_t bit = uint64_t(1) << (hash & 63);
    if (!(word & bit)) {
        word |= bit;
        cm.records[hash] = kEmptyRecord;
        uint16_t* rare = cm.rarePairs[hash][0];
        for (int i = 0; i < 2 * kRarePairs; i++) rare[i] = uint16_t(kEmptyIndex);
    }
    return cm.records[hash];
}

// The last two indices of a neighbour class in a hashed context (whose record is set up).
inline uint16_t* pairsOf(ContextModel& cm, HashRecord& record, int cls, uint32_t hash) {
    const int slot = kPairSlotOfClass[cls];
    return slot < kPairsInRecord ? record.pairs[slot] : cm.rarePairs[hash][slot - kPairsInRecord];
}

// The first context numbers of a class model (0..188). Those of 188 are the start of the second
// table, which is always set up.
inline uint16_t* localSlotBlock(ContextModel& cm, uint32_t classModel) {
    uint16_t* block = cm.localSlotOf() + classModel * kSlotBlock;
    if (!cm.slotBlockReady[classModel]) {
        cm.slotBlockReady[classModel] = 1;
        std::fill_n(block, kSlotBlock, kUnassigned);
    }
    return block;
}

// Sets up a prefix of a context-number table (entries unassigned) to cover entry `needed`.
inline void ensureNumbers(uint16_t* table, uint32_t& ready, uint32_t needed, uint32_t size) {
    if (needed < ready) return;
    uint32_t end = (needed / kNumberChunk + 1) * kNumberChunk;
    if (end > size) end = size;
    std::fill(table + ready, table + end, kUnassigned);
    ready = end;
}

// The local model h, zeroed on first use. The last one (65,535) is set by the plane set-up.
inline NeighbourModel& localModel(ContextModel& cm, uint32_t h) {
    NeighbourModel* models = cm.localModels();
    if (h >= cm.localModelsReady && h < kLocalModels - 1) {
        uint32_t end = (h / kModelChunk + 1) * kModelChunk;
        if (end > kLocalModels - 1) end = kLocalModels - 1;
        std::memset(static_cast<void*>(models + cm.localModelsReady), 0,
                    (end - cm.localModelsReady) * sizeof(NeighbourModel));
        cm.localModelsReady = end;
    }
    return models[h];
}

// Creates the object for a plane (width, height, depth already checked); null when memory is
// short. Everything it sets up is the per-plane starting state of the models.
ContextModel* createContextModel(int width, int height, int depth);
void destroyContextModel(ContextModel* cm);

// Decodes the whole coded stream of the plane into out (outSize bytes, checked to be enough).
void decodeContextModel(PayloadReader& in, ContextModel& cm, uint8_t* out, size_t outSize,
                        RowProgress& progress);

// Decodes the value table (count, values; depth and height when a deep plane falls back to
// bytes) and creates the lists. False when the stream is damaged or memory is short.
bool decodeValueTable(RangeDecoder& rc, ContextModel& cm);
// Class models, the shared local model and the list chain, once the value count is known.
void setUpModels(ContextModel& cm);
// Rotates the row buffers to start the next row and prepares its padding flags and sums.
void beginRow(ContextModel& cm);

// Decodes the value indices of the current row (begun with beginRow).
void decodeRow(RangeDecoder& rc, ContextModel& cm);
// Decodes the value index at column x of the current row, or a run of pixels ending there,
// without the bookkeeping that follows; returns the number of pixels completed. The cursor
// stands on the last of them.
int decodePixel(RangeDecoder& rc, ContextModel& cm, int x);

}  // namespace pqz
