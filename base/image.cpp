#include "base/image.h"

#include <cstdlib>
#include <cstring>

namespace pqz {

ImageHeader parseImageHeader(const uint8_t b[16]) {
    ImageHeader h;
    h.width = uint16_t(b[0] | b[1] << 8);
    h.height = uint16_t(b[2] | b[3] << 8);
    std::memcpy(h.reserved, b + 4, 6);
    h.format = b[10];
    h.flags = b[11];
    h.payloadSize =
        uint32_t(b[12]) | uint32_t(b[13]) << 8 | uint32_t(b[14]) << 16 | uint32_t(b[15]) << 24;
    return h;
}

uint32_t packedRowBytes(uint32_t width, int n) {
    if (n == 1) return (width + 7) / 8;
    if (n == 2) return (width + 3) / 4;
    if (n == 0 || n == 3 || n == 4) return (width + 1) / 2;
    if (n < 8) return width;
    return width * uint32_t((n + 7) / 8);
}

DecodedImage* createDecodedImage(uint32_t width, uint32_t height, int n, bool withPalette,
                                 bool packed, bool zeroRows) {
    const uint32_t rowBytes =
        (packed || n > 4) ? packedRowBytes(width, n) : ((width + 7) / 2) & ~3u;
    const bool hasPalette = withPalette && n <= 8;
    const size_t dataSize = size_t(height) * rowBytes;
    const size_t paletteSize = hasPalette ? size_t(3) << n : 0;
    const size_t bytes = sizeof(DecodedImage) + dataSize + kPixelSlack + paletteSize;
    auto* img = static_cast<DecodedImage*>(zeroRows ? std::calloc(1, bytes) : std::malloc(bytes));
    if (!img) return nullptr;
    if (!zeroRows) {
        std::memset(img, 0, sizeof *img);
        std::memset(reinterpret_cast<uint8_t*>(img + 1) + dataSize, 0, kPixelSlack + paletteSize);
    }
    img->width = uint16_t(width);
    img->height = uint16_t(height);
    img->rowBytes = rowBytes;
    img->format = uint8_t(n | (hasPalette ? kFormatPalette : 0));
    img->dataSize = dataSize;
    img->data = reinterpret_cast<uint8_t*>(img + 1);
    img->palette = hasPalette ? img->data + dataSize + kPixelSlack : nullptr;
    img->paletteSize = paletteSize;
    return img;
}

DecodedImage decodedImageOver(uint8_t* data, uint32_t width, uint32_t height, int n) {
    DecodedImage img{};
    img.width = uint16_t(width);
    img.height = uint16_t(height);
    img.rowBytes = packedRowBytes(width, n);
    img.format = uint8_t(n);
    img.dataSize = size_t(height) * img.rowBytes;
    img.data = data;
    return img;
}

DecodedImage* adoptDecodedRows(uint8_t* data, void (*release)(void*), uint32_t width,
                               uint32_t height, int n, bool withPalette) {
    // A record of no rows carries the palette; the rows are set to the block given.
    DecodedImage* img = createDecodedImage(width, 0, n, withPalette, true);
    if (!img) return nullptr;
    img->height = uint16_t(height);
    img->dataSize = size_t(height) * img->rowBytes;
    img->data = data;
    img->releaseRows = release;
    return img;
}

void freeDecodedImage(DecodedImage* image) {
    if (image && image->releaseRows) image->releaseRows(image->data);
    std::free(image);
}

}  // namespace pqz
