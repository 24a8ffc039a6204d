#include "reader/block_walk.h"

#include "reader/resync.h"

namespace pqz {

namespace {

constexpr uint64_t kHuge = UINT64_MAX / 4;  // beyond any file, far from overflow

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t saturatedAdd(uint64_t a, uint64_t b) {
    return a > kHuge - b ? kHuge : a + b;
}

// Tags: 0x81, the kind (0x8A image, 0x90 extra block), then the version "20".
enum class Tag { Invalid, Image, Extra };

Tag classify(const uint8_t t[4]) {
    if (t[0] != kBlockTagFirstByte || t[2] != '2' || t[3] != '0') return Tag::Invalid;
    if (t[1] == 0x8A) return Tag::Image;
    if (t[1] == 0x90) return Tag::Extra;
    return Tag::Invalid;
}

// Reads exactly n bytes; Damaged when fewer are there.
WalkResult readExact(ByteSource& source, uint64_t offset, void* dst, size_t n) {
    const int64_t got = source.readAt(offset, dst, n);
    if (got < 0) return WalkResult::IoError;
    return size_t(got) == n ? WalkResult::Ok : WalkResult::Damaged;
}

WalkResult damaged(WalkedBlock* b, BlockDamage d) {
    b->damage = d;
    return WalkResult::Damaged;
}

// The announced parts of an image behind its headers must all be in the source.
WalkResult checkImageParts(ByteSource& source, WalkedBlock* b) {
    if (b->hasAux && !bytesPresent(source, b->auxOffset, b->auxSize))
        return damaged(b, BlockDamage::AuxCut);
    if (!bytesPresent(source, b->payloadOffset, b->header.payloadSize))
        return damaged(b, BlockDamage::PayloadCut);
    if (b->paletteBytes >= kHuge || !bytesPresent(source, b->paletteOffset, b->paletteBytes))
        return damaged(b, BlockDamage::PaletteCut);
    return WalkResult::Ok;
}

WalkResult readImageHeaders(ByteSource& source, WalkedBlock* b) {
    uint8_t h[16];
    WalkResult r = readExact(source, b->offset + 4, h, 16);
    if (r != WalkResult::Ok)
        return r == WalkResult::IoError ? r : damaged(b, BlockDamage::HeaderCut);
    b->image = true;
    b->header = parseImageHeader(h);
    uint64_t at = b->offset + 20;
    b->hasAux = (b->header.flags & kFlagAuxHeader) != 0;
    if (b->hasAux) {
        uint8_t a[8];
        r = readExact(source, at, a, 8);
        if (r != WalkResult::Ok)
            return r == WalkResult::IoError ? r : damaged(b, BlockDamage::AuxHeaderCut);
        b->auxType = le32(a);
        b->auxSize = le32(a + 4);
        b->auxOffset = at + 8;
        at = b->auxOffset + b->auxSize;
    }
    b->payloadOffset = at;
    b->paletteOffset = at + b->header.payloadSize;
    b->paletteBytes = paletteBytesOf(b->header);
    b->size = saturatedAdd(b->paletteOffset - b->offset, b->paletteBytes);
    return checkImageParts(source, b);
}

WalkResult readExtraHeader(ByteSource& source, WalkedBlock* b) {
    uint8_t h[8];
    const WalkResult r = readExact(source, b->offset + 4, h, 8);
    if (r != WalkResult::Ok)
        return r == WalkResult::IoError ? r : damaged(b, BlockDamage::HeaderCut);
    b->extraType = le32(h);
    b->extraSize = le32(h + 4);
    b->dataOffset = b->offset + 12;
    b->size = 12 + uint64_t(b->extraSize);
    if (!bytesPresent(source, b->dataOffset, b->extraSize)) return damaged(b, BlockDamage::DataCut);
    return WalkResult::Ok;
}

}  // namespace

const char* damageText(BlockDamage d) {
    switch (d) {
        case BlockDamage::TagCut:
            return "too few bytes for a block tag";
        case BlockDamage::NoTag:
            return "no block starts here";
        case BlockDamage::HeaderCut:
            return "the block header is cut short";
        case BlockDamage::AuxHeaderCut:
            return "the auxiliary header is cut short";
        case BlockDamage::AuxCut:
            return "the auxiliary header's data runs past the end";
        case BlockDamage::PayloadCut:
            return "the payload runs past the end";
        case BlockDamage::PaletteCut:
            return "the palette runs past the end";
        case BlockDamage::DataCut:
            return "the extra block's data runs past the end";
        default:
            return "whole";
    }
}

uint64_t paletteBytesOf(const ImageHeader& header) {
    if (!(header.format & kFormatPalette)) return 0;
    const int n = header.bitsPerPixel();
    return n < 60 ? uint64_t(3) << n : kHuge;
}

WalkResult readBlockAt(ByteSource& source, uint64_t offset, WalkedBlock* b) {
    *b = WalkedBlock();
    b->offset = offset;
    uint8_t tag[4];
    const int64_t got = source.readAt(offset, tag, 4);
    if (got < 0) return WalkResult::IoError;
    if (got == 0) return WalkResult::End;
    if (got < 4) return damaged(b, BlockDamage::TagCut);
    switch (classify(tag)) {
        case Tag::Image:
            b->image = true;
            return readImageHeaders(source, b);
        case Tag::Extra:
            return readExtraHeader(source, b);
        default:
            return damaged(b, BlockDamage::NoTag);
    }
}

void BlockWalk::count(WalkedBlock* b) {
    b->index = blocks_;
    b->imageIndex = b->image ? images_ : -1;
}

WalkResult BlockWalk::next(WalkedBlock* b) {
    const WalkResult r = readBlockAt(*source_, offset_, b);
    count(b);
    if (r == WalkResult::Ok) {
        offset_ += b->size;
        blocks_++;
        if (b->image) images_++;
    }
    return r;
}

WalkResult BlockWalk::salvage(WalkedBlock* b) {
    if (!searchNext_) {
        const uint64_t at = offset_;
        const WalkResult r = next(b);
        if (r == WalkResult::Ok) searchFrom_ = b->headersEnd();
        if (r == WalkResult::End) {
            b->skippedOffset = endSkippedSize_ ? endSkippedOffset_ : at;
            b->skippedSize = endSkippedSize_;
        }
        if (r != WalkResult::Damaged) return r;
        if (b->headersComplete()) {
            // Returned once; behind it the walk searches, from behind its headers.
            blocks_++;
            if (b->image) images_++;
            searchFrom_ = b->headersEnd();
            offset_ = saturatedAdd(b->offset, b->size);
            searchNext_ = true;
            return r;
        }
    }
    return search(b);
}

WalkResult BlockWalk::search(WalkedBlock* b) {
    const uint64_t expected = offset_;  // where the sizes led
    const WalkResult r = findBlockFrom(*source_, searchFrom_, b);
    if (r == WalkResult::IoError) return r;
    searchNext_ = false;
    if (b->offset > expected) {
        b->skippedOffset = expected;
        b->skippedSize = b->offset - expected;
    }
    if (r == WalkResult::End) {
        // The walk stays at the end; asking again reports the same bytes.
        offset_ = searchFrom_ = b->offset;
        endSkippedOffset_ = b->skippedOffset;
        endSkippedSize_ = b->skippedSize;
        count(b);
        return r;
    }
    count(b);
    offset_ = b->offset + b->size;
    searchFrom_ = b->headersEnd();
    blocks_++;
    if (b->image) images_++;
    return r;
}

}  // namespace pqz
