// The per-plane object of coding method 1: a ring of the last five decoded rows, the quantisers
// and residual maps, and one residual symbol model per context. Every sample is predicted by the
// median edge detector from its decoded neighbours (and, for later planes of a pixel, from the
// planes decoded just before it); the neighbourhood selects one of 629,856 contexts.
#pragma once

#include <cstdint>

#include "codec/shared/magnitude_models.h"

namespace pqz {

// Context number = L + 8z + 16f + sum of the nine ternary features' weights, where feature k
// with value t weighs t * 32 * 3^k; L (0..7) is the activity level in the lowest three bits.
constexpr int kMethod1Contexts = 32 * 19683;  // 32 * 3^9
constexpr int kMethod1Features = 9;

constexpr int32_t kFeatureUnit[kMethod1Features] = {32,   96,    288,   864,   2592,
                                                    7776, 23328, 69984, 209952};  // 32 * 3^k
constexpr int32_t featureWeight(int k, int t) {
    return t * kFeatureUnit[k];
}

// The models are set up in blocks of one context at all eight activity levels (context >> 3):
// the training never leaves a block by changing the level, only by changing features.
constexpr int kModelBlockShift = 3;
constexpr int kModelBlocks = kMethod1Contexts >> kModelBlockShift;
constexpr int kModelBlockWords = (kModelBlocks + 63) / 64;  // words of a bitmap of blocks

// A decoded sample trains the models next to its context while the context's total (after the
// decode) is below kTrainingLimit: the mirror context and the level neighbours always, the
// contexts one feature step away only below kFeatureTrainingLimit.
constexpr uint32_t kTrainingLimit = 0x4000;
constexpr uint32_t kFeatureTrainingLimit = 3276;

// One sample of the row ring: its value and its absolute prediction error.
struct RingEntry {
    uint8_t v;
    uint8_t e;
};

// Every ring buffer holds, from its first entry: spare entries (read only by the right-margin
// copy of rows narrower than six samples), the left margin, the row's samples, the right margin.
constexpr int kRingSpare = 2;
constexpr int kRingLeftMargin = 4;
constexpr int kRingRightMargin = 6;
constexpr int kRingFront = kRingSpare + kRingLeftMargin;  // buffer index of column 0

// What the finished rows give a column of the current row, summed for the whole row when it
// begins: the activity weights of the errors above the sample that every plane reads
// (activity), those that only the first plane of a pixel reads, with kColumnQuiet set when the
// column's errors in the five rows of the ring are all zero (firstPlane), and the change of the
// error sum of the column's parity from the rows above (errorChange).
struct ColumnSummary {
    uint16_t activity;
    int16_t errorChange;
    uint16_t firstPlane;
    uint16_t unused;
};
constexpr uint16_t kColumnQuiet = 0x8000;

// Rows are summarised eight columns at a time: the last group reads up to kRingSlack entries
// past the right margin of a ring buffer (into the next buffer, or the slack after the last).
constexpr int kColumnGroup = 8;
constexpr int kRingSlack = 2 * kColumnGroup;

// One sample as its context formation and its decode found it: all that the training of its
// neighbouring contexts needs.
struct Method1Sample {
    int pred;                       // prediction, 0..255
    int context;                    // context number
    int escapeBase;                 // plane * 256 + brightness level + activity-escape level
    int feature[kMethod1Features];  // t_k, 0..2
    int value;                      // the decoded value, once decoded
};

struct Method1Decoder {
    int width;
    int height;
    Method1Sample cur;  // the sample at the current column (the one before, once decoded)
    int parity;         // column parity, 0 at the start of every row
    int errorSum[2];

    RingEntry* ring;         // five buffers of width + 12 entries, one block
    RingEntry* row[5];       // slot 0 the current row, slot j the row j above
    RingEntry* pos[5];       // the entry of the current column in slots 0 to 2; column 0 in 3 and 4
    ColumnSummary* columns;  // the summaries of the current row, one per column
    const ColumnSummary* column;  // the summary of the current column

    uint8_t activityLevel[512];
    uint8_t brightnessLevel[256];
    uint8_t quantiserAndRank[512];  // errorQuantiser, then residualRank
    uint8_t residualOrder[256];
    uint32_t escapeLevel[512];

    // kMethod1Contexts models, set up block by block when first reached: a block holds its
    // initial models from before any step reads or trains one of them. Two bitmaps of blocks
    // follow the models in their allocation: those set up, and those whose samples' neighbour
    // training has every block it reaches set up (checked once per sample, see
    // method1_sample.h).
    ResidualSymbolModel* models;
    uint64_t* blockReady;
    uint64_t* reachReady;

    // The plane loops train a young sample's neighbours only once the next sample's context has
    // been formed, so that the next model is on its way from memory meanwhile (method1_sample.h).
    const MagnitudeTable* magnitudes;  // the escape magnitudes of the stream, shared by its planes

    bool trainingDue;
    Method1Sample pending;  // kept for the training where the next context overwrites cur

    const uint8_t* errorQuantiser() const { return quantiserAndRank; }
};

// Builds the object for a plane of width x height samples. planeIndex (0..3) selects the plane's
// block of 256 escape contexts. Returns false, with nothing allocated, when memory runs out.
bool createMethod1Decoder(Method1Decoder& d, int width, int height, int planeIndex, int tolerance);
void destroyMethod1Decoder(Method1Decoder& d);

// Sets up the blocks of the current sample's context and of every context its neighbour
// training reaches (d.cur holds the sample's context and features).
void setUpReach(Method1Decoder& d);

// Prepares the ring and the column summaries for the next row.
void beginRow(Method1Decoder& d);

// The summary of column x of the row that r (the five slots at column 0) begins.
ColumnSummary summariseColumn(const RingEntry* const r[5], int x);

// Computes pred, context, escapeBase and the features of the sample at the current column (cur). x
// and y are the decoders of the planes decoded just before this one in the same pixel (x the
// nearer), after they have decoded it; the first plane of a pixel passes neither, the second x
// only.
void formContext(Method1Decoder& d, const Method1Decoder* x, const Method1Decoder* y);

// Trains the contexts next to a decoded sample's context (sample describes it).
void trainNeighbours(Method1Decoder& d, const Method1Sample& sample);

}  // namespace pqz
