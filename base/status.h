// The one status channel of the decoding core: every decode function returns one of these, and
// only the handle layer turns them into the public error codes and behaviour.
#pragma once

#include <cstdint>

namespace pqz {

enum class Status : uint8_t {
    Ok,
    DamagedStream,  // the coded data cannot be decoded: short, inconsistent or not consumed exactly
    MissingMarker,  // a range-coded stream does not start with its marker byte
    Unsupported,    // a layout no decoder exists for (more than four planes, ...)
    LimitExceeded,  // an image or table beyond what the decoder accepts
    OutOfMemory,    // an allocation of the decoder failed
    Cancelled,      // the caller's progress callback asked to stop
};

// A short English description, e.g. for tools and logs.
const char* statusText(Status status);

}  // namespace pqz
