// Compressed payloads: the bit-packed head with its plane table, the routing of planes to the
// decoders, inverse filters and merge, and the check that the payload was consumed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/image.h"
#include "base/status.h"
#include "codec/shared/payload_reader.h"
#include "codec/shared/plane_table.h"

namespace pqz {

// Progress report and cancellation of one decode; a null control means neither.
struct DecodeControl {
    // Called from the plane loops with the work done and the work in all (rows over all passes,
    // monotonic, the total fixed for the image), at least every few thousand pixels' work and
    // once at the end. Returning true stops decoding: the decode returns Status::Cancelled,
    // frees everything it allocated, and nothing else is touched.
    bool (*progress)(void* user, uint64_t done, uint64_t total);
    void* user;
};

// Decodes a compressed payload of payloadSize bytes (followed in memory by kPayloadSlack
// readable zero bytes) into image, which was created for header (its width, height and bits
// per pixel). Thread-safe: all state lives in this call.
Status decodePayload(DecodedImage& image, const ImageHeader& header, const uint8_t* payload,
                     size_t payloadSize, const DecodeControl* control);

// Reads the head: the tolerance field (more than two planes, or one grey plane) and one
// descriptor per plane, filling head's plane table and order map.
void readPayloadHead(PayloadReader& in, int planeCount, bool grey, PayloadHead& head);

// True when the orders just read give each of the planeCount planes its own decoding position
// 0 .. planeCount - 1 (at most four planes). Any other table is refused before decoding.
bool planeOrdersValid(const PayloadHead& head);

}  // namespace pqz
