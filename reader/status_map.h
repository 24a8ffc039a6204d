// The one place where a decode status becomes the behaviour of the ten public functions.
#pragma once

#include <cstdint>

#include "base/status.h"

namespace pqz {

struct PublicEffect {
    int32_t errorCode;  // sticky error code of the handle, 0 for none
    bool closesFile;    // the block is damaged: the file is closed and the image dropped
};

// A stream without its opening marker sets code 3 and drops the image; every other refusal
// (damaged data, unsupported layout, limits, memory, cancellation) closes the file without a
// code, so that the next block query reports that no valid block follows.
PublicEffect publicEffect(Status status);

}  // namespace pqz
