// The one walk over the blocks of a PQZ file, used by the decoding API, the listing of blocks and
// through the API by the ten-function interface. A walk is a position (the offset of the next
// block) over a byte source; reading a block never moves anything but that position, so a walk
// can be set to any offset.
#pragma once

#include <cstdint>

#include "base/image.h"
#include "reader/byte_source.h"

namespace pqz {

// First byte of every block tag (the kind and the version follow).
constexpr uint8_t kBlockTagFirstByte = 0x81;

// Where a block breaks off, when it does.
enum class BlockDamage : uint8_t {
    None,
    TagCut,        // fewer than 4 bytes remain: no room for a block tag
    NoTag,         // the 4 bytes there are no block tag
    HeaderCut,     // the block's header (image header, extra block's type and size) is cut
    AuxHeaderCut,  // the image's auxiliary header type and size are cut
    AuxCut,        // the auxiliary header's data runs past the end
    PayloadCut,    // the image's payload runs past the end
    PaletteCut,    // the image's palette runs past the end
    DataCut,       // the extra block's data runs past the end
};

enum class WalkResult : uint8_t { Ok, End, Damaged, IoError };

struct WalkedBlock {
    bool image = false;
    uint32_t index = 0;       // block number in the file, from 0
    int32_t imageIndex = -1;  // images: 0, 1, ... in file order
    uint64_t offset = 0;      // of the tag
    uint64_t size = 0;        // bytes announced by the headers, tag included (0 when they are cut)
    BlockDamage damage = BlockDamage::None;
    // Extra blocks.
    uint32_t extraType = 0;
    uint32_t extraSize = 0;
    uint64_t dataOffset = 0;
    // Image blocks.
    ImageHeader header;
    bool hasAux = false;
    uint32_t auxType = 0;
    uint32_t auxSize = 0;
    uint64_t auxOffset = 0;
    uint64_t payloadOffset = 0;
    uint64_t paletteOffset = 0;
    uint64_t paletteBytes = 0;  // 3 * 2^n when the palette bit is set (saturated)
    // Salvage: bytes passed over in front of this block (or of the end) by a search.
    uint64_t skippedOffset = 0;
    uint64_t skippedSize = 0;

    // The tag and every header were read: the block's fields are known.
    bool headersComplete() const {
        return damage == BlockDamage::None || damage >= BlockDamage::AuxCut;
    }
    // Where the block's fixed headers end and its announced parts begin.
    uint64_t headersEnd() const {
        return image ? (hasAux ? auxOffset : payloadOffset) : dataOffset;
    }
};

// What a damage means, for messages ("the payload runs past the end").
const char* damageText(BlockDamage damage);

// Bytes of the palette behind an image of this header (3 per entry, 2^n entries when the
// palette bit is set; deep formats give sizes beyond any file).
uint64_t paletteBytesOf(const ImageHeader& header);

// Reads the block whose tag is at offset. End when no byte is there; Damaged with the block's
// fields as far as they could be read.
WalkResult readBlockAt(ByteSource& source, uint64_t offset, WalkedBlock* block);

// A walk from the first block on. next() reads the block at the walk's position and, when it is
// whole, moves behind it; a damaged block stays where it is, so asking again gives the same
// answer.
//
// salvage() never stops at damage. A block whose headers are whole but whose data runs past
// the end is returned (Damaged) and the walk then moves on. Where no block is at the place the
// sizes lead, it searches (findBlockFrom) from behind the headers of the block before, whose
// sizes may be the wrong ones, and returns the block found with the bytes passed over in front
// of it: from the place the sizes led to up to the block; nothing when the block lies within
// the extent the block before announced. End carries the bytes passed over in front of the end
// (block->offset is the end of the data).
class BlockWalk {
  public:
    explicit BlockWalk(ByteSource& source) : source_(&source) {}
    WalkResult next(WalkedBlock* block);
    WalkResult salvage(WalkedBlock* block);
    void rewind() { *this = BlockWalk(*source_); }
    uint64_t offset() const { return offset_; }

  private:
    // Numbers a block returned by the walk.
    void count(WalkedBlock* block);
    // Searches for the next block and sets the skipped range of what it finds.
    WalkResult search(WalkedBlock* block);

    ByteSource* source_;
    uint64_t offset_ = 0;
    uint32_t blocks_ = 0;
    int32_t images_ = 0;
    // Salvage: where a search begins, whether the block at offset_ was already returned as
    // damaged (the walk then searches), and what the end skipped.
    uint64_t searchFrom_ = 0;
    bool searchNext_ = false;
    uint64_t endSkippedOffset_ = 0;
    uint64_t endSkippedSize_ = 0;
};

}  // namespace pqz
