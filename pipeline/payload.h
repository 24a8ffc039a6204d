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

// What a salvaged decode kept: the rows from the top that are trusted (decoded whole before the
// stream found damage or read behind the end of the data; with planes decoded one after another,
// rows whole in every plane), and the payload byte the decoder had reached when it stopped.
struct SalvagedRows {
    uint32_t goodRows = 0;
    size_t damageAt = 0;
};

// Decodes as decodePayload from the available bytes of a payload that may be cut short or
// damaged (again followed by kPayloadSlack zero bytes). Damage does not stop the planes decoded
// so far from being filtered and merged, so image holds every trusted row; rows below them are
// unspecified. The status is decodePayload's; salvaged->goodRows is the image's height when it
// is Ok.
Status salvagePayload(DecodedImage& image, const ImageHeader& header, const uint8_t* payload,
                      size_t available, const DecodeControl* control, SalvagedRows* salvaged);

// How decoding an image uses its pixel data, for callers that decode into memory they have not
// zeroed, such as the buffer the pixels are finally wanted in.
struct PixelDataUse {
    // Some byte of the data, or of the kPixelSlack bytes behind it, may be read before it is
    // written: the data and its slack must be zero before the decode, as in a new record.
    bool readsAhead = true;
    // A failure other than damage may come after the first byte has been written: later planes
    // allocate their own decoders. (A filter's scratch, allocated once its plane is decoded, can
    // still run out of memory after writing; the public decode says so.)
    bool failsAfterWriting = true;
};
PixelDataUse pixelDataUse(const ImageHeader& header);

// Reads the head: the tolerance field (more than two planes, or one grey plane) and one
// descriptor per plane, filling head's plane table and order map.
void readPayloadHead(PayloadReader& in, int planeCount, bool grey, PayloadHead& head);

// True when the orders just read give each of the planeCount planes its own decoding position
// 0 .. planeCount - 1 (at most four planes). Any other table is refused before decoding.
bool planeOrdersValid(const PayloadHead& head);

}  // namespace pqz
