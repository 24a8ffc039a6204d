#include "pqz2_read/dib.h"

#include <cstdlib>
#include <cstring>

#include "pqz2_read/reader_handle.h"

namespace pqz {

namespace {

uint32_t dibStride(uint32_t rowBytes) {
    return (rowBytes + 3) & ~3u;
}

DecodedImage* widen2To4(const DecodedImage* src) {
    const bool palette = (src->format & kFormatPalette) != 0;
    DecodedImage* dst = createDecodedImage(src->width, src->height, 4, palette, false);
    if (!dst) return nullptr;
    uint8_t table[16];
    for (int c = 0; c < 16; c++) table[c] = uint8_t((c & 3) | ((c & 0xC) * 4));
    const uint32_t srcBytes = (src->width + 3u) / 4;
    for (uint32_t y = 0; y < src->height; y++) {
        const uint8_t* s = src->data + size_t(y) * src->rowBytes;
        uint8_t* d = dst->data + size_t(y) * dst->rowBytes;
        for (uint32_t i = 0; i < srcBytes; i++) {
            d[2 * i] = table[s[i] >> 4];
            d[2 * i + 1] = table[s[i] & 15];
        }
    }
    if (palette && src->palette) std::memcpy(dst->palette, src->palette, 12);
    return dst;
}

// One row of 15-, 16- or 32-bit pixels as 24-bit pixels: 32-bit pixels lose their fourth byte,
// 15- and 16-bit pixels become three bytes of five bits each (the low three bits 0).
void widenRowTo24(const uint8_t* s, uint8_t* d, uint32_t width, int n) {
    if (width == 0) return;
    if (n == 32) {
        // Four bytes at a time; the fourth is overwritten by the next pixel, except behind the
        // last one, which takes three.
        for (uint32_t i = 0; i + 1 < width; i++, s += 4, d += 3) std::memcpy(d, s, 4);
        std::memcpy(d, s, 3);
        return;
    }
    for (uint32_t i = 0; i < width; i++, s += 2, d += 3) {
        const uint32_t v = uint32_t(s[0] | s[1] << 8);
        d[0] = uint8_t((v * 8) & 0xFF);
        d[1] = uint8_t((v / 4) & 0xF8);
        d[2] = uint8_t((v / 128) & 0xF8);
    }
}

void fillColourTable(ReaderHandle* handle, const DecodedImage* img, int n, uint8_t* table) {
    const uint32_t colours = 1u << n;
    if (img->format & kFormatGrey) {
        for (uint32_t i = 0; i < colours; i++) {
            const uint8_t g = uint8_t(i << (8 - n));
            table[4 * i] = table[4 * i + 1] = table[4 * i + 2] = g;
            table[4 * i + 3] = 0;
        }
    } else if ((img->format & kFormatPalette) && img->palette) {
        for (uint32_t i = 0; i < colours; i++) {
            uint8_t* e = table + 4 * i;
            e[0] = img->palette[3 * i];
            e[1] = img->palette[3 * i + 1];
            e[2] = img->palette[3 * i + 2];
            e[3] = 0;
            std::memcpy(handle->lastPalette[i], e, 4);
        }
    } else {
        std::memcpy(table, handle->lastPalette, 4 * size_t(colours));
    }
}

}  // namespace

int dibBitsFor(int n) {
    if (n == 2) return 4;
    if (n == 15 || n == 16 || n == 32) return 24;
    return n;
}

bool dibSizeFits(uint32_t width, uint32_t height, int n) {
#ifdef PQZ2_FUZZING
    if (uint64_t(width) * height > (1u << 22)) return false;  // keeps fuzzing within its memory
#endif
    const int bits = dibBitsFor(n);
    const uint64_t rowBytes = n == 2 ? ((width + 7) / 2) & ~3u : packedRowBytes(width, bits);
    return uint64_t(height) * dibStride(uint32_t(rowBytes)) <= UINT32_MAX;
}

DecodedImage* widenForDib(const DecodedImage* src) {
    const int n = src->format & kFormatBitsMask;
    if (n == 2) return widen2To4(src);
    if (n == 15 || n == 16 || n == 32) {
        DecodedImage* dst = createDecodedImage(src->width, src->height, 24, false, false);
        if (!dst) return nullptr;
        for (uint32_t y = 0; y < src->height; y++)
            widenRowTo24(src->data + size_t(y) * src->rowBytes,
                         dst->data + size_t(y) * dst->rowBytes, src->width, n);
        return dst;
    }
    return const_cast<DecodedImage*>(src);
}

namespace {

// The bitmap of a record; also updates the handle's remembered palette. 15-, 16- and 32-bit
// rows are widened straight into the bitmap, other formats through widenForDib. Every byte of
// the bitmap is written once: header, colours, rows, the rows' padding and the spare bytes.
DibImage* buildDib(ReaderHandle* handle, const DecodedImage* img) {
    const int stored = img->format & kFormatBitsMask;
    const bool toRgb = stored == 15 || stored == 16 || stored == 32;
    DecodedImage* wide = toRgb ? const_cast<DecodedImage*>(img) : widenForDib(img);
    if (!wide) return nullptr;
    const int n = toRgb ? 24 : wide->format & kFormatBitsMask;
    const uint32_t colours = n <= 8 ? 1u << n : 0;
    const uint32_t rowBytes = toRgb ? 3u * wide->width : wide->rowBytes;
    const uint32_t stride = dibStride(rowBytes);
    const size_t rowsSize = size_t(wide->height) * stride;
    const size_t headerSize = sizeof(DibImage) + 4 * size_t(colours);
    auto* dib = static_cast<DibImage*>(std::malloc(headerSize + rowsSize + 4));
    if (dib) {
        std::memset(dib, 0, sizeof *dib);
        dib->biSize = 40;
        dib->biWidth = wide->width;
        dib->biHeight = wide->height;
        dib->biPlanes = 1;
        dib->biBitCount = uint16_t(n);
        dib->biSizeImage = uint32_t(rowsSize);
        uint8_t* table = reinterpret_cast<uint8_t*>(dib + 1);
        if (colours) fillColourTable(handle, wide, n, table);
        uint8_t* rows = table + 4 * size_t(colours);
        for (uint32_t j = 0; j < wide->height; j++) {
            uint8_t* row = rows + size_t(j) * stride;
            const uint8_t* from = wide->data + size_t(wide->height - 1 - j) * wide->rowBytes;
            if (toRgb)
                widenRowTo24(from, row, wide->width, stored);
            else
                std::memcpy(row, from, rowBytes);
            std::memset(row + rowBytes, 0, stride - rowBytes);
        }
        std::memset(rows + rowsSize, 0, 4);
    }
    if (wide != img) freeDecodedImage(wide);
    return dib;
}

}  // namespace

DibImage* convertToDib(ReaderHandle* handle, AuxHeader** aux) {
    DecodedImage* img = readDecodedImage(handle, aux);
    if (!img) return nullptr;
    DibImage* dib = buildDib(handle, img);
    freeDecodedImage(img);
    return dib;
}

}  // namespace pqz
