// The container walk through the public interface: block kinds, records, image numbering,
// error codes, and the refusal of damaged or hostile blocks.
#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace pqz {
namespace {

using enc::ImageBlock;
using enc::PqzWriter;
using test::TempDir;

using test::rawGrey;

TEST(Container, FailedOpensAndNullHandles) {
    TempDir dir;
    ReaderHandle* h = pqzOpen(dir.file("missing.pqz").c_str());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(pqzGetLastError(h), PQZ_ERR_CANNOT_OPEN);
    EXPECT_EQ(pqzGetNextBlockType(h), 0);
    EXPECT_EQ(pqzReadImage(h, nullptr), nullptr);
    EXPECT_EQ(pqzReadED(h), nullptr);
    EXPECT_EQ(pqzSkipImage(h), 0);
    EXPECT_EQ(pqzRewind(h), 0);
    EXPECT_EQ(pqzGetImageNumber(h), -1);
    EXPECT_EQ(pqzClose(h), 1);

    // Four bytes that are not a tag.
    h = pqzOpen(test::writeTemp(dir, {1, 2, 3, 4, 5, 6, 7, 8}).c_str());
    EXPECT_EQ(pqzGetLastError(h), PQZ_ERR_BAD_FILE);
    EXPECT_EQ(pqzClose(h), 1);

    EXPECT_EQ(pqzGetLastError(nullptr), 1);
    EXPECT_EQ(pqzClose(nullptr), 0);
    EXPECT_EQ(pqzGetImageNumber(nullptr), -1);
    pqzFreeResource(nullptr);
}

TEST(Container, EmptyFileAndFileOfExtraBlocksOnly) {
    TempDir dir;
    ReaderHandle* h = pqzOpen(test::writeTemp(dir, {}, "empty.pqz").c_str());
    EXPECT_EQ(pqzGetLastError(h), 0);
    EXPECT_EQ(pqzGetNextBlockType(h), PQZ_BLOCK_END);
    pqzClose(h);

    PqzWriter w;
    w.extraBlock(5, {1, 2, 3});
    w.extraBlock(6, {});
    h = pqzOpen(test::writeTemp(dir, w.bytes(), "extras.pqz").c_str());
    EXPECT_EQ(pqzGetLastError(h), 0);
    // Opening looked for an image and stays at the end until a rewind.
    EXPECT_EQ(pqzGetNextBlockType(h), PQZ_BLOCK_END);
    EXPECT_EQ(pqzReadImage(h, nullptr), nullptr);
    EXPECT_EQ(pqzRewind(h), 1);
    EXPECT_EQ(pqzGetNextBlockType(h), PQZ_BLOCK_EXTRA);
    ExtraBlock* e = pqzReadED(h);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->type, 5u);
    pqzFreeResource(e);
    EXPECT_EQ(pqzReadImage(h, nullptr), nullptr);  // passes the second extra block, then ends
    EXPECT_EQ(pqzGetImageNumber(h), 0);
    EXPECT_EQ(pqzGetLastError(h), 0);
    pqzClose(h);
}

TEST(Container, RecordsAreRoundedUpAndZeroPadded) {
    TempDir dir;
    PqzWriter w;
    w.extraBlock(1, {});
    w.extraBlock(2, {9, 9, 9, 9, 9});
    ImageBlock img = rawGrey(2, 1);
    img.aux = std::make_pair(77u, std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9});
    w.imageBlock(img);
    ReaderHandle* h = pqzOpen(test::writeTemp(dir, w.bytes()).c_str());
    ExtraBlock* a = pqzReadED(h);
    ExtraBlock* b = pqzReadED(h);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->length, 4u);
    EXPECT_EQ(std::vector<uint8_t>(a->data, a->data + 4), std::vector<uint8_t>(4, 0));
    EXPECT_EQ(b->length, 8u);
    EXPECT_EQ(std::vector<uint8_t>(b->data, b->data + 8),
              (std::vector<uint8_t>{9, 9, 9, 9, 9, 0, 0, 0}));
    pqzFreeResource(a);
    pqzFreeResource(b);
    // An image block is next: pqzReadED leaves it in place.
    EXPECT_EQ(pqzReadED(h), nullptr);
    EXPECT_EQ(pqzGetNextBlockType(h), PQZ_BLOCK_IMAGE);
    AuxHeader* aux = nullptr;
    DibImage* d = pqzReadImage(h, &aux);
    ASSERT_TRUE(d && aux);
    EXPECT_EQ(aux->type, 77u);
    EXPECT_EQ(aux->length, 12u);
    const uint8_t* data = reinterpret_cast<const uint8_t*>(aux) + 8;
    EXPECT_EQ(data[8], 9);
    EXPECT_EQ(data[9] | data[10] | data[11], 0);
    pqzFreeResource(aux);
    pqzFreeResource(d);
    pqzClose(h);
}

TEST(Container, NumberingReadSkipRewind) {
    TempDir dir;
    PqzWriter w;
    w.imageBlock(rawGrey(3, 2));
    w.extraBlock(1, {1});
    ImageBlock withAux = rawGrey(4, 4);
    withAux.aux = std::make_pair(3u, std::vector<uint8_t>{1, 2});
    w.imageBlock(withAux);
    w.imageBlock(rawGrey(1, 1));
    ReaderHandle* h = pqzOpen(test::writeTemp(dir, w.bytes()).c_str());
    EXPECT_EQ(pqzGetImageNumber(h), 0);
    for (int i = 0; i < 3; i++) {
        DibImage* d = pqzReadImage(h, nullptr);
        ASSERT_NE(d, nullptr);
        pqzFreeResource(d);
        EXPECT_EQ(pqzGetImageNumber(h), i + 1);
    }
    EXPECT_EQ(pqzGetNextBlockType(h), PQZ_BLOCK_END);
    EXPECT_EQ(pqzRewind(h), 1);
    EXPECT_EQ(pqzGetImageNumber(h), 0);
    // Skipping passes the auxiliary data, payload and extra blocks; numbers still grow.
    EXPECT_EQ(pqzSkipImage(h), 1);
    EXPECT_EQ(pqzSkipImage(h), 1);
    EXPECT_EQ(pqzGetImageNumber(h), 2);
    EXPECT_EQ(pqzSkipImage(h), 1);  // the end is found only by the next read
    EXPECT_EQ(pqzGetNextBlockType(h), PQZ_BLOCK_END);
    EXPECT_EQ(pqzSkipImage(h), 0);
    EXPECT_EQ(pqzGetImageNumber(h), 3);
    pqzClose(h);
}

TEST(Container, InvalidTagsCloseTheFileAndTheHandleDies) {
    TempDir dir;
    PqzWriter w;
    w.imageBlock(rawGrey(2, 2));
    w.tag(enc::kKindImage, '2', '1');  // version 2.1
    w.imageBlock(rawGrey(2, 2));
    ReaderHandle* h = pqzOpen(test::writeTemp(dir, w.bytes()).c_str());
    DibImage* d = pqzReadImage(h, nullptr);
    ASSERT_NE(d, nullptr);
    pqzFreeResource(d);
    EXPECT_EQ(pqzReadImage(h, nullptr), nullptr);  // closes the file, no error code yet
    EXPECT_EQ(pqzGetLastError(h), 0);
    EXPECT_EQ(pqzGetNextBlockType(h), 0);
    EXPECT_EQ(pqzGetLastError(h), 1);
    EXPECT_EQ(pqzReadImage(h, nullptr), nullptr);
    EXPECT_EQ(pqzRewind(h), 0);
    EXPECT_EQ(pqzGetImageNumber(h), -1);
    pqzClose(h);

    // Peeking at an unknown kind reports no block and consumes the tag.
    PqzWriter u;
    u.imageBlock(rawGrey(1, 1));
    u.tag(0x55);
    h = pqzOpen(test::writeTemp(dir, u.bytes(), "u.pqz").c_str());
    EXPECT_EQ(pqzSkipImage(h), 1);
    EXPECT_EQ(pqzGetNextBlockType(h), 0);
    EXPECT_EQ(pqzGetLastError(h), 1);
    pqzClose(h);
}

// Sizes in a hostile file must neither crash nor make the library allocate what the file cannot
// hold; such blocks are refused and the file closed.
TEST(Container, HostileSizesAreRefused) {
    TempDir dir;
    {  // extra block announcing 4 GiB
        PqzWriter w;
        w.imageBlock(rawGrey(1, 1));
        w.extraBlockRaw(1, 0xFFFFFFFFu, {1, 2, 3});
        ReaderHandle* h = pqzOpen(test::writeTemp(dir, w.bytes(), "a.pqz").c_str());
        EXPECT_EQ(pqzSkipImage(h), 1);
        EXPECT_EQ(pqzGetNextBlockType(h), PQZ_BLOCK_EXTRA);
        EXPECT_EQ(pqzReadED(h), nullptr);
        EXPECT_EQ(pqzGetNextBlockType(h), 0);
        pqzClose(h);
    }
    {  // auxiliary header longer than the file: no record with undefined bytes
        PqzWriter w;
        ImageBlock img = rawGrey(2, 2);
        img.aux = std::make_pair(1u, std::vector<uint8_t>{1, 2, 3});
        img.auxSizeField = 0xFFFFFFF0u;
        w.imageBlock(img);
        ReaderHandle* h = pqzOpen(test::writeTemp(dir, w.bytes(), "b.pqz").c_str());
        AuxHeader* aux = reinterpret_cast<AuxHeader*>(1);
        EXPECT_EQ(pqzReadImage(h, &aux), nullptr);
        EXPECT_EQ(aux, nullptr);
        pqzClose(h);
    }
    {  // compressed payload longer than the file
        PqzWriter w;
        w.imageBlock(rawGrey(1, 1));
        ImageBlock img = rawGrey(2, 2);
        img.flags = 0x20;
        img.payloadSizeField = 0xFFFFFFFFu;
        w.imageBlock(img);
        ReaderHandle* h = pqzOpen(test::writeTemp(dir, w.bytes(), "c.pqz").c_str());
        DibImage* d = pqzReadImage(h, nullptr);
        EXPECT_NE(d, nullptr);
        pqzFreeResource(d);
        EXPECT_EQ(pqzReadImage(h, nullptr), nullptr);
        EXPECT_EQ(pqzGetNextBlockType(h), 0);
        pqzClose(h);
    }
    {  // a bitmap of more than 4 GiB cannot be described; refused without being allocated
        PqzWriter w;
        ImageBlock img;
        img.width = img.height = 65535;
        img.format = 32;
        img.payload = {1, 2, 3, 4};
        img.payloadSizeField = 0xFFFFFFFFu;
        w.imageBlock(img);
        ReaderHandle* h = pqzOpen(test::writeTemp(dir, w.bytes(), "d.pqz").c_str());
        EXPECT_EQ(pqzReadImage(h, nullptr), nullptr);
        pqzClose(h);
    }
}

TEST(Container, RawPayloadLongerIsPassedOverShorterIsRefused) {
    TempDir dir;
    PqzWriter w;
    ImageBlock longer = rawGrey(2, 2);
    longer.payload = {1, 2, 3, 4, 5, 6};  // two bytes too many: passed over
    w.imageBlock(longer);
    ImageBlock shorter = rawGrey(2, 2);
    shorter.payload = {8, 9, 10};  // a row short: a damaged block
    w.imageBlock(shorter);
    w.imageBlock(rawGrey(1, 1, 42));
    std::vector<test::Bitmap> images = test::readAllImages(test::writeTemp(dir, w.bytes()));
    ASSERT_EQ(images.size(), 1u);  // the damaged block closed the file
    EXPECT_EQ(images[0].rows, (std::vector<uint8_t>{1, 2, 3, 4}));

    // Rows of 1, 2, 4 and 24-bit pixels: one byte less than height x row size is refused.
    for (uint8_t format : {0x01, 0x02, 0x04, 0x18}) {
        const int bits = format;
        const size_t rowBytes = enc::rowBytesFor(5, bits), full = 3 * rowBytes;
        for (size_t size : {full - 1, full}) {
            ImageBlock b = rawGrey(5, 3);
            b.format = format;
            b.payload.assign(size, 0x6C);
            PqzWriter one;
            one.imageBlock(b);
            const size_t read = test::readAllImages(test::writeTemp(dir, one.bytes())).size();
            EXPECT_EQ(read, size == full ? 1u : 0u) << bits << " bits, " << size << " bytes";
        }
    }
}

TEST(Container, PaletteFlagOnDeepPixelsIsPassedOver) {
    TempDir dir;
    PqzWriter w;
    ImageBlock img;
    img.width = 1;
    img.height = 1;
    img.format = 0x80 | 9;  // 9 bits per pixel with a palette of 3 * 512 bytes
    img.payload = {1, 2};
    img.palette.assign(3 * 512, 0xAB);
    w.imageBlock(img);
    w.imageBlock(rawGrey(1, 1, 5));
    ImageBlock huge = rawGrey(1, 1);
    huge.format = 0x80 | 60;  // a palette no file can hold
    huge.payload.assign(8, 1);
    w.imageBlock(huge);
    ReaderHandle* h = pqzOpen(test::writeTemp(dir, w.bytes()).c_str());
    for (int i = 0; i < 2; i++) {
        DibImage* d = pqzReadImage(h, nullptr);
        ASSERT_NE(d, nullptr) << i;
        pqzFreeResource(d);
    }
    EXPECT_EQ(pqzReadImage(h, nullptr), nullptr);
    EXPECT_EQ(pqzGetNextBlockType(h), 0);
    pqzClose(h);
}

}  // namespace
}  // namespace pqz
