#include "tests/encoder/bitmap_expect.h"

#include <algorithm>

#include "tests/encoder/pqz_writer.h"

namespace pqz::enc {

ExpectedBitmap expectedBitmap(const std::vector<uint8_t>& pixels, int width, int height, int bits) {
    const uint32_t rowBytes = rowBytesFor(uint32_t(width), bits);
    const size_t count = size_t(width) * height;
    std::vector<uint8_t> top;  // converted rows, top first, `row` bytes each
    uint32_t row = rowBytes;
    ExpectedBitmap e;
    e.bitCount = bits;
    e.significant = rowBytes;
    if (bits == 2) {
        // each nibble c of a source byte becomes a byte of two 4-bit pixels
        e.bitCount = 4;
        row = ((uint32_t(width) + 7) / 2) & ~3u;
        e.significant = 2 * rowBytes;
        top.assign(size_t(row) * height, 0);
        auto widen = [](int c) { return uint8_t((c & 3) | ((c & 0xC) * 4)); };
        for (int y = 0; y < height; y++)
            for (uint32_t i = 0; i < rowBytes; i++) {
                const uint8_t b = pixels[size_t(y) * rowBytes + i];
                top[size_t(y) * row + 2 * i] = widen(b >> 4);
                top[size_t(y) * row + 2 * i + 1] = widen(b & 15);
            }
    } else if (bits == 15 || bits == 16 || bits == 32) {
        e.bitCount = 24;
        row = e.significant = uint32_t(width) * 3;
        for (size_t j = 0; j < count; j++) {
            if (bits == 32) {
                top.insert(top.end(), &pixels[j * 4], &pixels[j * 4 + 3]);
                continue;
            }
            const uint32_t v = pixels[j * 2] | uint32_t(pixels[j * 2 + 1]) << 8;
            top.insert(top.end(), {uint8_t((v * 8) & 0xFF), uint8_t((v / 4) & 0xF8),
                                   uint8_t((v / 128) & 0xF8)});
        }
    } else {
        top = pixels;
    }
    e.stride = (row + 3) & ~3u;
    e.rows.assign(size_t(e.stride) * height, 0);
    for (int y = 0; y < height; y++)
        std::copy(top.begin() + size_t(y) * row, top.begin() + size_t(y + 1) * row,
                  e.rows.begin() + size_t(height - 1 - y) * e.stride);
    return e;
}

}  // namespace pqz::enc
