// The decoder core as the API sees it: one call that decodes a payload held in memory into an
// image record and says how it went. This is the only place where the API reaches the core's
// payload decoding.
#pragma once

#include <cstddef>
#include <cstdint>

#include "reader/image.h"

namespace pqz {

enum class Status : uint8_t {
    Ok,
    DamagedStream,
    MissingMarker,
    Unsupported,
    LimitExceeded,
    OutOfMemory,
    Cancelled
};

struct DecodeControl {
    // Work done and work in all (rows over all passes); returning true stops the decode.
    bool (*progress)(void* user, uint64_t done, uint64_t total);
    void* user;
};

// Decodes payloadSize bytes at payload (followed by kPayloadSlack readable zero bytes) into
// image, whose size and format come from header.
Status decodePayload(DecodedImage& image, const ImageHeader& header, const uint8_t* payload,
                     size_t payloadSize, const DecodeControl* control);

}  // namespace pqz
