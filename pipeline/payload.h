// Compressed payloads: loading, the bit-packed head with its plane table, the routing of planes
// to the decoders, inverse filters and merge, and the check that the payload was consumed.
#pragma once

#include <cstdint>
#include <cstdio>

#include "pipeline/reader_state.h"
#include "reader/image.h"

namespace pqz {

// Loads header.payloadSize bytes from file (at most `available` bytes are there) and decodes them
// into image. False when the payload is short, damaged or not consumed exactly.
bool decodePayload(ReaderState& st, DecodedImage* image, const ImageHeader& header, FILE* file,
                   uint64_t available);

// Decodes an in-memory payload (payloadSize bytes followed by kPayloadSlack zero bytes).
bool decodeLoadedPayload(ReaderState& st, DecodedImage* image, const ImageHeader& header,
                         const uint8_t* payload);

// Order-map entry of a decoding position that no plane names.
constexpr uint8_t kNoPlane = 0xFF;

// Reads the head: the tolerance field (more than two planes, or one grey plane) and one
// descriptor per plane, filling the state's plane table and order map afresh.
void readPayloadHead(ReaderState& st, int planeCount, bool grey);

// True when the orders just read give each of the planeCount planes its own decoding position
// 0 .. planeCount - 1 (at most four planes). Any other table is refused before decoding.
bool planeOrdersValid(const ReaderState& st);

}  // namespace pqz
