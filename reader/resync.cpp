#include "reader/resync.h"

#include <cstring>

#include "codec/shared/range_decoder.h"
#include "pipeline/payload.h"

namespace pqz {

namespace {

constexpr size_t kScanChunk = 4096;  // on the stack: small enough for any thread
constexpr size_t kHeadBytes = 16;    // enough for any plane table and the marker behind it

bool plausibleImage(const ImageHeader& h) {
    const int n = h.bitsPerPixel();
    if (n < 1 || n > 32 || h.width == 0 || h.height == 0) return false;
    if (!(h.flags & kFlagCompressed))
        return h.payloadSize >= uint64_t(h.height) * packedRowBytes(h.width, n);
    return h.payloadSize >= 1;
}

// Whether the block behind a candidate confirms it: the end of the data, or a tag with whole
// headers (its data may be cut).
bool confirmedByNext(ByteSource& source, const WalkedBlock& b) {
    WalkedBlock next;
    const WalkResult r = readBlockAt(source, b.offset + b.size, &next);
    if (r == WalkResult::End || r == WalkResult::Ok) return true;
    return r == WalkResult::Damaged && next.headersComplete();
}

// Whether a compressed image's payload starts the way a valid one does: the plane table gives
// every plane its own position, and a range-coded stream opens with its marker.
bool headReadsValid(ByteSource& source, const WalkedBlock& b) {
    const ImageHeader& h = b.header;
    if (!(h.flags & kFlagCompressed)) return false;
    uint8_t bytes[kHeadBytes + kPayloadSlack] = {};
    const size_t want = h.payloadSize < kHeadBytes ? size_t(h.payloadSize) : kHeadBytes;
    const int64_t got = source.readAt(b.payloadOffset, bytes, want);
    if (got != int64_t(want)) return false;
    PayloadReader in(bytes, want);
    const int bpp = h.bitsPerPixel();
    const bool planeTable = bpp > 4 && (h.flags & kFlagPlaneTable);
    if (planeTable) {
        PayloadHead head;
        const int planes = (bpp + 7) / 8;
        if (planes > PayloadHead::kMaxPlanes) return false;
        readPayloadHead(in, planes, (h.format & kFormatGrey) != 0, head);
        if (in.damaged || !planeOrdersValid(head)) return false;
    }
    if (!(h.flags & kFlagRangeCoded)) return planeTable;  // a bit stream has no marker
    RangeDecoder rc;
    rangeStart(rc, in);
    return !rc.damaged;
}

}  // namespace

bool resumableBlockAt(ByteSource& source, uint64_t offset, WalkedBlock* block) {
    if (readBlockAt(source, offset, block) != WalkResult::Ok) return false;
    if (block->image && !plausibleImage(block->header)) return false;
    return confirmedByNext(source, *block) || (block->image && headReadsValid(source, *block));
}

WalkResult findBlockFrom(ByteSource& source, uint64_t offset, WalkedBlock* block) {
    uint8_t chunk[kScanChunk];
    for (uint64_t at = offset;;) {
        const int64_t got = source.readAt(at, chunk, sizeof chunk);
        if (got < 0) return WalkResult::IoError;
        const auto* begin = chunk;
        const auto* end = chunk + got;
        for (const uint8_t* p = begin;
             (p = static_cast<const uint8_t*>(std::memchr(p, kBlockTagFirstByte, size_t(end - p))));
             p++) {
            if (resumableBlockAt(source, at + uint64_t(p - begin), block)) return WalkResult::Ok;
        }
        at += uint64_t(got);
        if (size_t(got) < sizeof chunk) {
            *block = WalkedBlock();
            block->offset = at;
            return WalkResult::End;
        }
    }
}

}  // namespace pqz
