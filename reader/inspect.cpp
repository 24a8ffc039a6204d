#include "reader/inspect.h"

#include <cstring>
#include <memory>

#include "pipeline/bit_reader.h"
#include "pipeline/payload.h"
#include "reader/block_walk.h"

namespace pqz {

bool readPlaneTable(const ImageHeader& header, const uint8_t* head, size_t size, BlockInfo* info) {
    const int bpp = header.bitsPerPixel();
    const int planes = (bpp + 7) / 8;
    if (!(header.flags & kFlagCompressed) || bpp <= 4 || !(header.flags & kFlagPlaneTable) ||
        planes > 4)
        return false;
    uint8_t bytes[16 + kPayloadSlack] = {};
    std::memcpy(bytes, head, size < 16 ? size : 16);
    auto st = std::make_unique<ReaderState>();
    st->payloadStart = st->cursor = st->segmentStart = bytes;
    st->payloadEnd = bytes + 16;
    readPayloadHead(*st, planes, (header.format & kFormatGrey) != 0);
    info->hasHead = true;
    info->tolerance = st->tolerance;
    info->planeCount = planes;
    std::memcpy(info->planes, st->planeTable, sizeof info->planes);
    return true;
}

namespace {

BlockInfo infoOf(ByteSource& source, const WalkedBlock& b) {
    BlockInfo info;
    info.image = b.image;
    info.offset = b.offset;
    if (!b.image) {
        info.recordType = b.extraType;
        info.recordSize = b.extraSize;
        return info;
    }
    info.imageNumber = b.imageIndex;
    info.header = b.header;
    info.hasAux = b.hasAux;
    info.recordType = b.auxType;
    info.recordSize = b.auxSize;
    uint8_t head[16] = {};
    const int64_t got = source.readAt(b.payloadOffset, head, sizeof head);
    if (got > 0) readPlaneTable(b.header, head, size_t(got), &info);
    return info;
}

}  // namespace

namespace {

// What stopped a listing, in the words the converter reads: the offset after "offset ", and
// " announces " for a block whose data runs past the end (that block is listed).
std::string problemOf(ByteSource& source, const WalkedBlock& b) {
    const std::string at = " at offset " + std::to_string(b.offset);
    switch (b.damage) {
        case BlockDamage::NoTag:
            return "no valid block" + at;
        case BlockDamage::HeaderCut:
            return std::string(b.image ? "image header" : "extra block") + at + " is truncated";
        case BlockDamage::AuxHeaderCut:
            return "auxiliary header of image " + std::to_string(b.imageIndex) + at +
                   " is truncated";
        default:
            break;
    }
    const uint64_t from = b.image ? (b.hasAux ? b.auxOffset : b.payloadOffset) : b.dataOffset;
    const uint64_t body = b.offset + b.size - from;
    const int64_t size = source.size();
    const uint64_t remain = size >= 0 && uint64_t(size) > from ? uint64_t(size) - from : 0;
    return (b.image ? "image " + std::to_string(b.imageIndex) : std::string("extra block")) + at +
           " announces " + std::to_string(body) + " bytes, " + std::to_string(remain) + " remain";
}

}  // namespace

bool listBlocks(const std::string& path, std::vector<BlockInfo>* blocks, std::string* problem) {
    std::unique_ptr<ByteSource> source = openFileSource(path.c_str());
    if (!source) {
        *problem = "cannot be opened";
        return false;
    }
    BlockWalk walk(*source);
    for (;;) {
        WalkedBlock b;
        const WalkResult r = walk.next(&b);
        if (r == WalkResult::End || (r == WalkResult::Damaged && b.damage == BlockDamage::TagCut))
            return true;  // a few bytes behind the last block end the file as for the readers
        if (r == WalkResult::IoError) {
            *problem = "read error at offset " + std::to_string(b.offset);
            return false;
        }
        if (b.headersComplete()) blocks->push_back(infoOf(*source, b));
        if (r == WalkResult::Ok) continue;
        *problem = problemOf(*source, b);
        return false;
    }
}

}  // namespace pqz
