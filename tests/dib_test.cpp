// Conversion of raw images into bitmaps: widening, colour tables and the remembered palette,
// row order and padding.
#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace pqz {
namespace {

using enc::ImageBlock;
using enc::PqzWriter;
using test::Bitmap;
using test::TempDir;

ImageBlock raw(uint16_t w, uint16_t h, uint8_t format, std::vector<uint8_t> payload,
               std::vector<uint8_t> palette = {}) {
    ImageBlock b;
    b.width = w;
    b.height = h;
    b.format = format;
    b.payload = std::move(payload);
    b.palette = std::move(palette);
    return b;
}

// The raw bitmap bytes as the library returns them, header included.
std::vector<uint8_t> dibBytes(const DibImage* d) {
    const uint32_t colours = d->biBitCount <= 8 ? 1u << d->biBitCount : 0;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(d);
    return std::vector<uint8_t>(p, p + 40 + 4 * colours + d->biSizeImage);
}

TEST(Dib, GreyRowsArePaddedAndStoredBottomUp) {
    TempDir dir;
    PqzWriter w;
    w.imageBlock(raw(5, 2, 0x48, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    ReaderHandle* h = pqzOpen(test::writeTemp(dir, w.bytes()).c_str());
    DibImage* d = pqzReadImage(h, nullptr);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->biSize, 40u);
    EXPECT_EQ(d->biPlanes, 1);
    EXPECT_EQ(d->biBitCount, 8);
    EXPECT_EQ(d->biSizeImage, 16u);
    std::vector<uint8_t> bytes = dibBytes(d);
    for (int i = 0; i < 256; i++) {
        ASSERT_EQ(bytes[40 + 4 * i], i);
        ASSERT_EQ(bytes[40 + 4 * i + 2], i);
        ASSERT_EQ(bytes[40 + 4 * i + 3], 0);
    }
    const std::vector<uint8_t> rows(bytes.begin() + 40 + 1024, bytes.end());
    EXPECT_EQ(rows, (std::vector<uint8_t>{6, 7, 8, 9, 10, 0, 0, 0, 1, 2, 3, 4, 5, 0, 0, 0}));
    pqzFreeResource(d);
    pqzClose(h);
}

TEST(Dib, WideningOf2_15_16_And32BitPixels) {
    TempDir dir;
    PqzWriter w;
    w.imageBlock(raw(4, 1, 2, {0xE4}));                                 // 2-bit: pixels 3, 2, 1, 0
    w.imageBlock(raw(3, 1, 16, {0xFF, 0x7F, 0x00, 0x80, 0x1F, 0x00}));  // 16-bit
    w.imageBlock(raw(1, 1, 15, {0xE0, 0x03}));                          // 15-bit green
    w.imageBlock(raw(1, 2, 32, {1, 2, 3, 4, 5, 6, 7, 8}));
    w.imageBlock(raw(1, 1, 28, {1, 2, 3, 4}));  // 25..31 bits keep their four bytes
    std::vector<Bitmap> b = test::readAllImages(test::writeTemp(dir, w.bytes()));
    ASSERT_EQ(b.size(), 5u);
    EXPECT_EQ(b[0].bitCount, 4);
    EXPECT_EQ(b[0].rows[0], 0x32);
    EXPECT_EQ(b[0].rows[1], 0x10);
    EXPECT_EQ(b[1].bitCount, 24);
    EXPECT_EQ(b[1].rows, (std::vector<uint8_t>{0xF8, 0xF8, 0xF8, 0, 0, 0, 0xF8, 0, 0}));
    EXPECT_EQ(b[2].rows, (std::vector<uint8_t>{0, 0xF8, 0}));
    EXPECT_EQ(b[3].bitCount, 24);
    EXPECT_TRUE(b[3].colours.empty());
    EXPECT_EQ(b[3].rows, (std::vector<uint8_t>{1, 2, 3, 5, 6, 7}));
    EXPECT_EQ(b[3].sizeImage, 8u);  // 24-bit rows of width 1 are padded to 4
    EXPECT_EQ(b[4].bitCount, 28);
    EXPECT_EQ(b[4].rows, (std::vector<uint8_t>{1, 2, 3, 4}));
}

// Wider 32- and 16-bit images go straight into the bitmap's rows: every pixel's three bytes,
// rows bottom-up, and zero padding behind each row (the allocation is not zeroed beforehand).
TEST(Dib, WidenedRowsArePaddedAndStoredBottomUp) {
    TempDir dir;
    PqzWriter w;
    std::vector<uint8_t> quads(5 * 3 * 4), pairs(5 * 3 * 2);
    for (size_t i = 0; i < quads.size(); i++) quads[i] = uint8_t(i + 1);
    for (size_t i = 0; i < pairs.size(); i++) pairs[i] = uint8_t(37 * i + 5);
    w.imageBlock(raw(5, 3, 32, quads));
    w.imageBlock(raw(5, 3, 16, pairs));
    ReaderHandle* h = pqzOpen(test::writeTemp(dir, w.bytes()).c_str());
    for (const std::vector<uint8_t>* stored : {&quads, &pairs}) {
        DibImage* d = pqzReadImage(h, nullptr);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->biBitCount, 24);
        EXPECT_EQ(d->biSizeImage, 3u * 16);
        const std::vector<uint8_t> bytes = dibBytes(d);
        const size_t bytesPerPixel = stored->size() / 15;
        std::vector<uint8_t> expect;
        for (int y = 2; y >= 0; y--) {
            for (int x = 0; x < 5; x++) {
                const uint8_t* s = stored->data() + (5 * y + x) * bytesPerPixel;
                if (bytesPerPixel == 4) {
                    expect.insert(expect.end(), s, s + 3);
                } else {
                    const uint32_t v = uint32_t(s[0] | s[1] << 8);
                    expect.push_back(uint8_t(v << 3));
                    expect.push_back(uint8_t((v >> 2) & 0xF8));
                    expect.push_back(uint8_t((v >> 7) & 0xF8));
                }
            }
            expect.insert(expect.end(), 1, 0);
        }
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 40, bytes.end()), expect);
        pqzFreeResource(d);
    }
    pqzClose(h);
}

TEST(Dib, ImagesWithoutPaletteTakeTheLastPaletteOfTheHandle) {
    TempDir dir;
    PqzWriter w;
    w.imageBlock(raw(8, 1, 1, {0x0F}));  // right after open: two black entries
    std::vector<uint8_t> pal(768);
    for (int i = 0; i < 768; i++) pal[i] = uint8_t(i * 7);
    w.imageBlock(raw(1, 1, 0x88, {0}, pal));
    w.imageBlock(raw(8, 1, 1, {0x0F}));  // the 8-bit palette's first two colours
    w.imageBlock(raw(4, 1, 0x82, {0x1B}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    w.imageBlock(raw(2, 1, 4, {0x01}));  // 16 entries: 4 from the 2-bit palette, then zeros
    w.imageBlock(raw(2, 1, 0xC4, {0x01}, std::vector<uint8_t>(48, 0x55)));  // grey wins
    std::vector<Bitmap> b = test::readAllImages(test::writeTemp(dir, w.bytes()));
    ASSERT_EQ(b.size(), 6u);
    EXPECT_EQ(b[0].colours, std::vector<uint8_t>(8, 0));
    EXPECT_EQ(b[2].colours, (std::vector<uint8_t>{0, 7, 14, 0, 21, 28, 35, 0}));
    ASSERT_EQ(b[4].colours.size(), 64u);
    EXPECT_EQ(std::vector<uint8_t>(b[4].colours.begin(), b[4].colours.begin() + 8),
              (std::vector<uint8_t>{1, 2, 3, 0, 4, 5, 6, 0}));
    EXPECT_EQ(std::vector<uint8_t>(b[4].colours.begin() + 16, b[4].colours.end()),
              std::vector<uint8_t>(48, 0));
    EXPECT_EQ(b[5].colours[4 * 15], 240);
}

TEST(Dib, ZeroSizedImages) {
    TempDir dir;
    PqzWriter w;
    w.imageBlock(raw(0, 0, 8, {}));
    w.imageBlock(raw(5, 0, 24, {}));
    w.imageBlock(raw(0, 5, 1, {}));
    std::vector<Bitmap> b = test::readAllImages(test::writeTemp(dir, w.bytes()));
    ASSERT_EQ(b.size(), 3u);
    for (const Bitmap& x : b) EXPECT_EQ(x.sizeImage, 0u);
    EXPECT_EQ(b[1].width, 5);
    EXPECT_EQ(b[2].height, 5);
}

}  // namespace
}  // namespace pqz
