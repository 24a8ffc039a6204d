// The block reader of one open file: image blocks, extra blocks and their records.
#pragma once

#include <cstdint>
#include <cstdio>

#include "base/image.h"
#include "base/status.h"
#include "reader/pqz2_read.h"

namespace pqz {

struct StreamReader {
    int32_t imageCount;  // image headers passed since open or rewind
    FILE* file;          // null once closed after a damaged block
    int64_t fileSize;    // -1 when the stream cannot tell its size
};

// Kinds reported by peekBlockType.
enum BlockKind { kBlockNone = 0, kBlockImage = 1, kBlockExtra = 2, kBlockEnd = 3 };

// Block tags: image or extra block of version 2.0, anything else is invalid.
enum TagKind { kTagInvalid, kTagImage, kTagExtra };
TagKind classifyTag(const uint8_t tag[4]);
uint32_t le32(const uint8_t* p);

// Opens name for reading and validates the blocks up to the first image header. Returns the
// handle's error code: 0, PQZ_ERR_CANNOT_OPEN or PQZ_ERR_BAD_FILE.
int32_t openStream(StreamReader* reader, const char* name);

// Closes the file after a damaged block; the reader stays closed.
void closeStream(StreamReader* reader);

// Passes over extra blocks and reads the next image block. With skip set the block is consumed
// and null returned. aux, when given, is set to null and receives the auxiliary header. status,
// when given, receives the payload decoder's status when a compressed payload was decoded.
DecodedImage* readImageBlock(StreamReader* reader, bool skip, AuxHeader** aux,
                             Status* status = nullptr);

// Reads the next block if it is an extra block.
ExtraBlock* readExtraBlock(StreamReader* reader);

// Passes over extra blocks and one image block; 1 while the file is open and not at its end.
int skipImage(StreamReader* reader);

// Kind of the next block, without consuming it.
int peekBlockType(StreamReader* reader);

}  // namespace pqz
