// Finding the next valid block in damaged data. A position is taken for a block only when the
// block there is whole and plausible, and something confirms it: the end of the file or another
// block behind it, or a payload head that reads as a valid one. Bytes that merely look like a
// tag (inside payloads, pixels, extra data) fail one of these and are passed over.
#pragma once

#include <cstdint>

#include "reader/block_walk.h"
#include "reader/byte_source.h"

namespace pqz {

// Whether a block that resumes the walk starts at offset:
//   1. a block tag is there, its headers are whole and every part they announce (auxiliary
//      header, payload, palette, extra data) lies inside the source;
//   2. an image has 1 to 32 bits per pixel, a width and height of at least 1, a raw payload
//      that holds every row or a compressed payload of at least one byte;
//   3. behind the block is the end of the data or another block tag with whole headers (that
//      block may run past the end), or the block is a compressed image whose payload head reads
//      as a valid one: a plane table giving each plane its own position, the opening marker of
//      a range-coded stream where the stream starts.
// On true, *block holds the block (index and image number not set).
bool resumableBlockAt(ByteSource& source, uint64_t offset, WalkedBlock* block);

// Searches from offset on for the first position where resumableBlockAt holds. Ok with the
// block; End when none is found (block->offset is then the end of the data); IoError when the
// data cannot be read. Each candidate costs a few small reads, so the search is linear in the
// bytes passed, whatever they hold.
WalkResult findBlockFrom(ByteSource& source, uint64_t offset, WalkedBlock* block);

}  // namespace pqz
