// Image header of an image block and the library's raw image record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace pqz {

// Bits of ImageHeader::format.
constexpr uint8_t kFormatBitsMask = 0x3F;
constexpr uint8_t kFormatGrey = 0x40;
constexpr uint8_t kFormatPalette = 0x80;

// Bits of ImageHeader::flags.
constexpr uint8_t kFlagAuxHeader = 0x80;
constexpr uint8_t kFlagCompressed = 0x20;
constexpr uint8_t kFlagPlaneTable = 0x10;
constexpr uint8_t kFlagSeparatePlanes = 0x08;
constexpr uint8_t kFlagRangeCoded = 0x04;

// The 16-byte header of an image block.
struct ImageHeader {
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t reserved[6] = {};
    uint8_t format = 0;
    uint8_t flags = 0;
    uint32_t payloadSize = 0;

    int bitsPerPixel() const { return format & kFormatBitsMask; }
};

// Parses the 16 stored bytes of an image header.
ImageHeader parseImageHeader(const uint8_t bytes[16]);

// Bytes per row of a packed image of n bits per pixel.
uint32_t packedRowBytes(uint32_t width, int bitsPerPixel);

// Zero bytes behind the pixel data of a record: decoders of narrow rows may look a few bytes
// ahead of the byte they decode.
constexpr size_t kPixelSlack = 8;

// The raw image record: header fields, then pixel rows top to bottom, then the palette. The
// record is one heap block released with freeDecodedImage (which also releases rows adopted from
// elsewhere, see adoptDecodedRows); DecodedImagePtr owns one.
struct DecodedImage {
    uint16_t width;
    uint16_t height;
    uint32_t rowBytes;  // wider than the stored u16: rows of wide deep images exceed 65,535 bytes
    uint8_t format;
    size_t dataSize;   // height * rowBytes
    uint8_t* data;     // dataSize bytes, followed by kPixelSlack zero bytes in an allocated record
    uint8_t* palette;  // 3 * 2^n bytes when format bit 7 is set and n <= 8, else null
    size_t paletteSize;
    void (*releaseRows)(void*);  // releases data when the rows are a block of their own
};

// Allocates a record. packed = true gives the stored row layout; packed = false gives the 4-bit
// rows aligned to four bytes that the bitmap conversion uses for n <= 4. The rows are zero
// unless zeroRows is false, for a caller that writes every row itself; the bytes behind the
// rows and the palette are zero either way. Returns null when the allocation fails or the size
// is out of range.
DecodedImage* createDecodedImage(uint32_t width, uint32_t height, int bitsPerPixel,
                                 bool withPalette, bool packed, bool zeroRows = true);
void freeDecodedImage(DecodedImage* image);

// A record (packed rows) whose rows are the block at data, made elsewhere with kPixelSlack zero
// bytes behind them; freeDecodedImage releases them with release. Null when the allocation of
// the record fails (data is then still the caller's).
DecodedImage* adoptDecodedRows(uint8_t* data, void (*release)(void*), uint32_t width,
                               uint32_t height, int bitsPerPixel, bool withPalette);

// A record of packed rows held elsewhere, at data (height rows of packedRowBytes, no palette), for
// decoding into memory the library does not own; it is not released with freeDecodedImage.
DecodedImage decodedImageOver(uint8_t* data, uint32_t width, uint32_t height, int bitsPerPixel);

struct DecodedImageRelease {
    void operator()(DecodedImage* image) const { freeDecodedImage(image); }
};
using DecodedImagePtr = std::unique_ptr<DecodedImage, DecodedImageRelease>;

}  // namespace pqz
