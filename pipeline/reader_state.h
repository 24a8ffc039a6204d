// The decoding state of one thread: payload, bit reader, plane table, range decoder and the
// small process-wide parts of the entropy decoders. Each thread has its own, so that different
// handles can be read from different threads at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pqz {

struct MagnitudeModel;

// Coding description of one plane (one byte position of the pixel).
struct PlaneDescriptor {
    uint8_t order;    // position in the decoding order, 0..3
    uint8_t flags;    // bits 0-1 method, bit 2 model flag, bit 3 hasReference
    uint8_t offset;   // constant added by the merge
    int32_t coef[3];  // merge weights, -64..191

    int method() const { return flags & 3; }
    bool modelFlag() const { return (flags & 4) != 0; }
    bool hasReference() const { return (flags & 8) != 0; }
};

struct RangeDecoder {
    uint32_t range;
    uint32_t low;
    uint32_t buffer;  // the payload byte taken last
    uint32_t help;
    uint32_t cumLow;
    uint32_t cumHigh;
    uint32_t total;
    uint32_t bitTotal;
};

// Slack of zero bytes behind every loaded payload: the bit reader takes whole 32-bit words.
constexpr size_t kPayloadSlack = 8;

struct ReaderState {
    // Payload and bit reader. The payload buffer is followed by kPayloadSlack zero bytes.
    const uint8_t* payloadStart;
    uint32_t payloadSize;
    const uint8_t* payloadEnd;  // payloadStart + payloadSize
    const uint8_t* cursor;
    const uint8_t* segmentStart;
    int32_t bitCount;
    uint32_t bitBuffer;
    // Set by any decoder that finds the stream unusable (reads past the payload, impossible
    // values, tables that would overflow); the image is then refused as a failed decode.
    bool damaged;

    int rangeCoded;
    int planeCount;
    int tolerance;
    PlaneDescriptor planeTable[8];
    uint8_t orderMap[4];
    int currentMethod;
    int currentModelFlag;

    RangeDecoder range;

    // Context-model decoder: exclusion marks (one per value index and one for the empty index
    // 8192), the current stamp, and the neighbour registers N, W, NE, NW.
    uint8_t exclusionMarks[8193];
    uint8_t exclusionStamp;
    uint32_t neighbour[4];

    // Shared magnitude models of coding methods 1 and 2.
    MagnitudeModel* magnitudeTable;
    uint32_t rateFloor;
    uint32_t treeStep;

    // The internal error kind raised during the current decode (0: none); the caller clears it
    // before a decode and reads it after.
    int raisedError;
};

// This thread's decoding state. Hot loops take the reference once.
ReaderState& readerState();

// Internal error kinds reported by deep routines.
enum ErrorKind {
    ERR_BAD_FILE = 3,
    ERR_BAD_STREAM = 4,
    ERR_RESERVED = 5,
    ERR_CANNOT_OPEN = 6,
    ERR_NO_MEMORY = 7,
};

// Records an internal error kind for the current decode.
void raiseError(int kind);

}  // namespace pqz
