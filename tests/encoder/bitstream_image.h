// Whole bit-stream-coded images: pixels in the container's layout, the payload head with its
// plane table, forward merge and filters, the planes coded interleaved or one after another,
// padded to the payload's last 32-bit word.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/encoder/bitstream_encoder.h"
#include "tests/encoder/pqz_writer.h"
#include "tests/encoder/test_images.h"

namespace pqz::enc {

// Pixels of an image as a block stores them: rows of rowBytesFor(width, bits) bytes, top first.
struct StoredImage {
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t format = 0;  // bits per pixel, 0x40 grey, 0x80 palette
    std::vector<uint8_t> data;
    std::vector<uint8_t> palette;  // blue, green, red per entry (when format has 0x80)

    int bitsPerPixel() const { return format & 0x3F; }
    bool grey() const { return (format & 0x40) != 0; }
};

// The picture at a depth: 1-7 and 8 bits from its grey levels (grey bit set; 5-7 bits sit in
// the top bits of a byte), 8 bits with palette for a palette picture loaded as indices, 15 and
// 16 bits as 5-5-5 colour (bit 15 of 16-bit pixels carries a pattern the bitmap drops), 24 and
// 32 bits as blue, green, red (and alpha, made up for pictures without one).
// bitsPerPixel 0 picks 8 for grey or palette pictures, 24 for colour, 32 with alpha.
StoredImage storedImage(const Picture& picture, int bitsPerPixel = 0);

// A grey picture for coverage of the coder: stretches of noise in a few levels, zero stretches
// (some over 276 bytes), and copies of earlier bytes from near, row-aligned and far distances
// (some over 632 bytes long), in raster order.
Picture repetitivePicture(int width, int height, uint32_t seed);

struct BitstreamImageOptions {
    bool planeTable = true;         // flag 0x10 (the decoder honours it above 4 bits per pixel)
    bool separatePlanes = false;    // flag 0x08
    int tolerance = 0;              // written only when the head has the field; 0 otherwise
    std::vector<PlaneSpec> planes;  // one per byte of the pixel; empty: plane p in order p,
                                    // method 0, no model flag, no reference
    // Coder options. Whole images and interleaved planes are coded as variant 0 without the
    // context flag; a separate plane takes variant and context flag from its descriptor and
    // the seed plus its position in the decoding order.
    BitstreamOptions coder;
};

// The image block of a bit-stream-coded image (flags 0x20, plus 0x10 and 0x08 as chosen).
// expectedPixels, when given, receives the pixel data the decoder must produce (the
// reconstruction when the tolerance is not 0). stats, when given, receives one entry per
// coded stream in stream order.
ImageBlock encodeBitstreamImage(const StoredImage& image, const BitstreamImageOptions& options,
                                std::vector<uint8_t>* expectedPixels,
                                std::vector<BitstreamStats>* stats = nullptr);

// The same from a picture at the depth storedImage(picture) gives it.
ImageBlock encodeBitstreamImage(const Picture& picture, const BitstreamImageOptions& options,
                                std::vector<uint8_t>* expectedPixels);

}  // namespace pqz::enc
