#include "reader/stream_reader.h"

#include <cstdlib>
#include <cstring>

#include "pipeline/payload.h"
#include "pipeline/reader_state.h"
#include "reader/dib.h"

namespace pqz {

namespace {

enum ReadResult { kReadOk, kReadEnd, kReadBroken };

// Reads n bytes; a short read is the quiet end of the file when nothing could be read there,
// and a broken stream otherwise.
ReadResult readTag(FILE* f, uint8_t tag[4]) {
    if (std::fread(tag, 1, 4, f) == 4) return kReadOk;
    return std::feof(f) ? kReadEnd : kReadBroken;
}

bool readExact(FILE* f, void* dst, size_t n) {
    return std::fread(dst, 1, n, f) == n;
}

// Bytes left behind the current position, or a huge value when the stream cannot tell.
uint64_t remainingBytes(const StreamReader* r) {
    if (r->fileSize < 0) return UINT64_MAX;
    long pos = std::ftell(r->file);
    if (pos < 0 || pos > r->fileSize) return 0;
    return uint64_t(r->fileSize - pos);
}

// Seeks forward without checking that the data is there; a target beyond the end of the file
// lands on the end, where the next tag read finds the quiet end of file.
bool seekForward(StreamReader* r, uint64_t n) {
    const uint64_t left = remainingBytes(r);
    if (n > left && r->fileSize >= 0) return std::fseek(r->file, 0, SEEK_END) == 0;
    if (n > uint64_t(INT64_MAX)) return false;
    return std::fseek(r->file, long(n), SEEK_CUR) == 0;
}

// A record of an auxiliary header or extra block: type, length (size rounded up to 4, at least
// 4), data zero-filled behind the stored bytes. Null when the size cannot be represented.
ExtraBlock* allocateRecord(uint32_t type, uint32_t size) {
    uint64_t length = (uint64_t(size) + 3) & ~uint64_t(3);
    if (length == 0) length = 4;
    if (length > UINT32_MAX) return nullptr;
    auto* rec = static_cast<ExtraBlock*>(std::calloc(1, size_t(length) + 8));
    if (!rec) return nullptr;
    rec->type = type;
    rec->length = uint32_t(length);
    return rec;
}

// Reads type and size of an extra header or auxiliary header.
bool readRecordHeader(FILE* f, uint32_t* type, uint32_t* size) {
    uint8_t h[8];
    if (!readExact(f, h, 8)) return false;
    *type = le32(h);
    *size = le32(h + 4);
    return true;
}

// Reads a record whose header has been read; null when the data is short or does not fit.
ExtraBlock* readRecordData(StreamReader* r, uint32_t type, uint32_t size) {
    if (size > remainingBytes(r)) return nullptr;
    ExtraBlock* rec = allocateRecord(type, size);
    if (!rec) return nullptr;
    if (!readExact(r->file, rec->data, size)) {
        std::free(rec);
        return nullptr;
    }
    return rec;
}

DecodedImage* failBlock(StreamReader* r) {
    closeStream(r);
    return nullptr;
}

}  // namespace

TagKind classifyTag(const uint8_t t[4]) {
    if (t[0] != 0x81 || t[2] != '2' || t[3] != '0') return kTagInvalid;
    if (t[1] == 0x8A) return kTagImage;
    if (t[1] == 0x90) return kTagExtra;
    return kTagInvalid;
}

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void closeStream(StreamReader* reader) {
    if (reader->file) std::fclose(reader->file);
    reader->file = nullptr;
}

void openStream(StreamReader* reader, const char* name) {
    reader->imageCount = 0;
    reader->fileSize = -1;
    reader->file = name ? std::fopen(name, "rb") : nullptr;
    if (!reader->file) {
        raiseError(ERR_CANNOT_OPEN);
        return;
    }
    if (std::fseek(reader->file, 0, SEEK_END) == 0) {
        long size = std::ftell(reader->file);
        if (size >= 0) reader->fileSize = size;
    }
    if (std::fseek(reader->file, 0, SEEK_SET) != 0) return;
    readImageBlock(reader, true, nullptr);
    if (!reader->file) {
        raiseError(ERR_BAD_FILE);
        return;
    }
    if (std::feof(reader->file)) return;  // no image block at all: stay at the end
    reader->imageCount = 0;
    std::fseek(reader->file, 0, SEEK_SET);
}

DecodedImage* readImageBlock(StreamReader* r, bool skip, AuxHeader** aux) {
    if (aux) *aux = nullptr;
    if (!r->file) return nullptr;
    FILE* f = r->file;
    uint8_t tag[4];
    for (;;) {
        ReadResult rr = readTag(f, tag);
        if (rr == kReadEnd) return nullptr;
        if (rr == kReadBroken) return failBlock(r);
        if (classifyTag(tag) != kTagExtra) break;
        uint32_t type, size;
        if (!readRecordHeader(f, &type, &size) || !seekForward(r, size)) return failBlock(r);
    }
    uint8_t hb[16];
    if (classifyTag(tag) != kTagImage || !readExact(f, hb, 16)) return failBlock(r);
    const ImageHeader header = parseImageHeader(hb);
    r->imageCount++;

    if (header.flags & kFlagAuxHeader) {
        uint32_t type, size;
        if (!readRecordHeader(f, &type, &size)) return failBlock(r);
        if (!aux) {
            if (!seekForward(r, size)) return failBlock(r);
        } else {
            // A header that announces more than the file holds is a damaged block.
            *aux = readRecordData(r, type, size);
            if (!*aux) return failBlock(r);
        }
    }

    const int n = header.bitsPerPixel();
    const bool palette = (header.format & kFormatPalette) != 0;
    // 3 * 2^n bytes; beyond any file for deep formats, which the seek then treats as such.
    const uint64_t paletteBytes = palette ? (n < 62 ? uint64_t(3) << n : UINT64_MAX / 2) : 0;
    if (skip) {
        if (!seekForward(r, uint64_t(header.payloadSize)) || !seekForward(r, paletteBytes))
            return failBlock(r);
        return nullptr;
    }

    // Images whose bitmap cannot be described by the 32-bit bitmap header are refused, and so
    // are blocks whose payload and palette are not all in the file (which would fail below),
    // before the image is allocated: a cut file must not reserve the memory of a large image.
    if (!dibSizeFits(header.width, header.height, n)) return failBlock(r);
    if (uint64_t(header.payloadSize) + paletteBytes > remainingBytes(r)) return failBlock(r);
    // A raw payload holds every row; a shorter one is a damaged block, refused before the image
    // is allocated (a few bytes must not stand for a huge image).
    const bool compressed = (header.flags & kFlagCompressed) != 0;
    if (!compressed &&
        header.payloadSize < uint64_t(header.height) * packedRowBytes(header.width, n))
        return failBlock(r);
    DecodedImage* img = createDecodedImage(header.width, header.height, n, palette, true);
    if (!img) return failBlock(r);
    img->format = header.format;

    bool ok;
    if (compressed) {
        ok = decodePayload(readerState(), img, header, r->file, remainingBytes(r));
    } else {
        // Bytes behind the rows of a longer raw payload are passed over.
        const uint64_t rest = header.payloadSize - img->dataSize;
        ok = readExact(f, img->data, img->dataSize) && rest <= remainingBytes(r) &&
             seekForward(r, rest);
    }
    if (ok && palette) {
        if (img->palette)
            ok = readExact(f, img->palette, img->paletteSize);
        else
            ok = paletteBytes <= remainingBytes(r) && seekForward(r, paletteBytes);
    }
    if (!ok) {
        freeDecodedImage(img);
        return failBlock(r);
    }
    return img;
}

ExtraBlock* readExtraBlock(StreamReader* r) {
    if (!r->file) return nullptr;
    uint8_t tag[4];
    ReadResult rr = readTag(r->file, tag);
    if (rr == kReadEnd) return nullptr;
    if (rr == kReadBroken) {
        closeStream(r);
        return nullptr;
    }
    TagKind kind = classifyTag(tag);
    if (kind == kTagImage) {
        std::fseek(r->file, -4, SEEK_CUR);
        return nullptr;
    }
    uint32_t type, size;
    ExtraBlock* rec = nullptr;
    if (kind == kTagExtra && readRecordHeader(r->file, &type, &size))
        rec = readRecordData(r, type, size);
    if (!rec) closeStream(r);
    return rec;
}

int skipImage(StreamReader* r) {
    if (!r->file || std::feof(r->file)) return 0;
    readImageBlock(r, true, nullptr);
    return r->file && !std::feof(r->file) ? 1 : 0;
}

int peekBlockType(StreamReader* r) {
    if (!r->file) return kBlockNone;
    uint8_t tag[4];
    ReadResult rr = readTag(r->file, tag);
    if (rr != kReadOk) return rr == kReadEnd ? kBlockEnd : kBlockNone;
    TagKind kind = classifyTag(tag);
    if (kind == kTagInvalid) return kBlockNone;
    std::fseek(r->file, -4, SEEK_CUR);
    return kind == kTagImage ? kBlockImage : kBlockExtra;
}

}  // namespace pqz
