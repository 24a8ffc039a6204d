// Listing the blocks of a file without decoding them (for tools).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/image.h"
#include "codec/shared/plane_table.h"

namespace pqz {

struct BlockInfo {
    bool image = false;       // image block, else extra block
    uint64_t offset = 0;      // of the block's tag
    int imageNumber = -1;     // images: 0, 1, ... in file order
    ImageHeader header;       // images
    bool hasAux = false;      // images: auxiliary header present
    uint32_t recordType = 0;  // extra block type, or the auxiliary header's type
    uint32_t recordSize = 0;  // extra block size, or the auxiliary header's size
    // Compressed images with a plane table: the payload head.
    bool hasHead = false;
    int tolerance = 0;
    int planeCount = 0;
    PlaneDescriptor planes[4] = {};
};

// Walks the blocks of the file at path. Returns true when the walk reached the end of the file;
// otherwise problem says what stopped it (the blocks read before are listed).
bool listBlocks(const std::string& path, std::vector<BlockInfo>* blocks, std::string* problem);

// Reads the plane table of a compressed payload from its first bytes (zero-padded to at least
// 16 bytes); false when the image has no plane table or more planes than the table can place.
bool readPlaneTable(const ImageHeader& header, const uint8_t* head, size_t size, BlockInfo* info);

}  // namespace pqz
