// The file object behind pqz2_file: options, the byte source, the block walk, the current block,
// the colours of the palettes passed, and the message of the last call.
#pragma once

#include <cstdarg>
#include <memory>
#include <string>

#include "api/pqz2.h"
#include "reader/block_walk.h"
#include "reader/byte_source.h"

struct pqz2_file {
    pqz2_options options;
    std::unique_ptr<pqz::ByteSource> source;  // null while no file is open
    std::unique_ptr<pqz::BlockWalk> walk;
    bool hasCurrent = false;
    pqz::WalkedBlock current;
    // Colours of the palettes of the images walked past, entry by entry (the last palette that
    // had an entry gives it), as red, green, blue; what images without palette inherit.
    uint8_t inherited[256][3] = {};
    std::string message;
};

namespace pqz::api {

// Sets the file's message (printf style) and returns status.
pqz2_status fail(pqz2_file* file, pqz2_status status, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Clears the message and returns PQZ2_OK.
pqz2_status ok(pqz2_file* file);

// "block 3 (image 2) at byte offset 1234" for messages.
std::string where(const pqz::WalkedBlock& block);

// The current image block, or a failed status with its message (no file, no current block, an
// extra block).
pqz2_status currentImage(pqz2_file* file, const pqz::WalkedBlock** block);

// Fills info for an image block; reads the payload head and the palette.
pqz2_status describeImage(pqz2_file* file, const pqz::WalkedBlock& block, pqz2_image_info* info);

}  // namespace pqz::api
