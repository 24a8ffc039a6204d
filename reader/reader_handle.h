// The handle handed out by pqzOpen.
#pragma once

#include <cstdint>

#include "reader/pqz2_read.h"

namespace pqz {
struct StreamReader;
}

struct ReaderHandle {
    int32_t errorCode;            // sticky external error code
    pqz::StreamReader* reader;    // null when opening failed
    uint8_t lastPalette[256][4];  // colours remembered for images without a palette
};
