// The decoder object of one context-model plane: row buffers, adaptive models, histories and
// context-number tables, laid out as one block whose tables are fixed offsets from its base.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/range/context_model_models.h"
#include "pipeline/reader_state.h"

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

// One allocation per plane (8,102,544 bytes with 8-byte pointers); the row buffers, value
// table and lists live in two further blocks that the object owns.
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
    int32_t neighbourClass;
    int32_t classModelIndex;
    int32_t candidateIndex;
    int32_t candidateParent;
    int32_t candidateContext;
    RowEntry* rowBase[5];    // current row, then the rows one to four above
    RowEntry* rowCursor[5];  // the cursor column in each of them

    // The class models followed directly by the local models. The class set-up can hand out
    // number 188, one past the class models: that model is local model 0.
    NeighbourModel neighbourModels[kClassModels + kLocalModels];

    BitCounter candidateParents[16];
    BitCounter candidateChildren[4096];
    BitCounter runParent;
    BitCounter runChildren[256];
    BitCounter runLengthBits[48];
    ListModel orderZeroList;
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
    uint16_t recentValues[kHashedContexts][kRecentDepth];
    uint16_t recentPairs[kNeighbourClasses][kHashedContexts][2];
    uint16_t reversedBits[8192];
    uint16_t contextNumbers[kContextNumberEntries];
    uint16_t* recentSlot;
    uint16_t* pairSlot;

    NeighbourModel* classModels() { return neighbourModels; }
    NeighbourModel* localModels() { return neighbourModels + kClassModels; }
    uint16_t* localSlotOf() { return contextNumbers; }
    uint16_t* localModelOf() { return contextNumbers + kLocalSlotEntries; }
    uint16_t* smallModelOf() { return contextNumbers + kLocalSlotEntries + kLocalModelEntries; }
    // Per value index, where the candidate search finds it; zero between searches.
    uint8_t* candidateMarks() { return runSeen + count; }
};

// Creates the object for a plane (width, height, depth already checked); null when memory is
// short. Everything it sets up is the per-plane starting state of the models.
ContextModel* createContextModel(ReaderState& st, int width, int height, int depth);
void destroyContextModel(ContextModel* cm);

// Decodes the whole coded stream of the plane into out (outSize bytes, checked to be enough).
void decodeContextModel(ReaderState& st, ContextModel& cm, uint8_t* out, size_t outSize);

// Decodes the value table (count, values; depth and height when a deep plane falls back to
// bytes) and creates the lists. False when the stream is damaged or memory is short.
bool decodeValueTable(ReaderState& st, ContextModel& cm);
// Class models, the shared local model and the list chain, once the value count is known.
void setUpModels(ContextModel& cm);
// Rotates the row buffers to start the next row and prepares its padding flags and sums.
void beginRow(ContextModel& cm);

// Decodes the value index at column x of the current row, or a run of pixels ending there;
// returns the number of pixels completed. The cursor stands on the last of them.
int decodePixel(ReaderState& st, ContextModel& cm, int x);
// Bookkeeping after each decodePixel: lists, histories, equality flags, cursors and sums.
void finishPixel(ReaderState& st, ContextModel& cm);

}  // namespace pqz
