// The handle handed out by pqzOpen: a file object of the decoding API plus what the ten
// functions remember on their own (sticky error, image count, the file closed after a damaged
// block, the colours of the last palette read).
#pragma once

#include <cstdint>

#include "api/pqz2.h"
#include "reader/pqz2_read.h"

struct ReaderHandle {
    int32_t errorCode;  // sticky external error code
    pqz2_file* file;    // null when opening failed
    bool closed;        // closed after a damaged block
    // The position is at the end of the data after passing over a block cut short; the next
    // read there finds the end.
    bool landed;
    bool eof;            // a read found the end of the data (cleared by a rewind)
    int32_t imageCount;  // image headers passed since open or rewind
    // The block in front, as the walk reported it (the walk's current block when whole).
    bool aheadValid;
    pqz2_status aheadStatus;
    pqz2_block ahead;
    uint8_t lastPalette[256][4];  // colours remembered for images without a palette
};
