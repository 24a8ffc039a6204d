// The converter run as a process: lossless output per pixel format, records written out,
// damaged files reported while the others go on.
#include <gtest/gtest.h>

#include "tests/encoder/test_images.h"
#include "tests/test_support.h"

namespace pqz {
namespace {

using enc::ImageBlock;
using enc::Picture;

using ToolRun = test::ProcessRun;

ToolRun runConvert(const std::string& args) {
    return test::runProcess(std::string("'") + PQZ2_CONVERT_PATH + "' " + args + " 2>&1");
}

ImageBlock raw(uint16_t w, uint16_t h, uint8_t format, std::vector<uint8_t> payload) {
    ImageBlock b;
    b.width = w;
    b.height = h;
    b.format = format;
    b.payload = std::move(payload);
    return b;
}

TEST(Pqzconvert, LosslessPngPerPixelFormat) {
    test::TempDir dir;
    enc::PqzWriter w;
    w.imageBlock(raw(2, 1, 32, {1, 2, 3, 4, 5, 6, 7, 8}));  // blue, green, red, fourth byte
    w.imageBlock(raw(3, 1, 0x44, {0x12, 0x30}));            // 4-bit grey stays 4-bit grey
    ImageBlock pal = raw(2, 1, 0x81, {0x40});
    pal.palette = {10, 20, 30, 40, 50, 60};  // blue, green, red per entry
    w.imageBlock(pal);
    w.imageBlock(raw(1, 1, 16, {0x1F, 0x00}));
    w.save(dir.file("in.pqz"));
    ToolRun r = runConvert("-o '" + dir.path() + "' '" + dir.file("in.pqz") + "'");
    ASSERT_EQ(r.status, 0) << r.out;

    Picture rgba = enc::loadPng(dir.file("in.0.png"));
    EXPECT_EQ(rgba.channels, 4);
    EXPECT_EQ(rgba.pixels, (std::vector<uint8_t>{3, 2, 1, 4, 7, 6, 5, 8}));
    Picture grey = enc::loadPng(dir.file("in.1.png"), true);
    EXPECT_EQ(grey.channels, 1);
    EXPECT_EQ(grey.pixels, (std::vector<uint8_t>{0x11, 0x22, 0x33}));  // 4-bit levels
    Picture indexed = enc::loadPng(dir.file("in.2.png"), true);
    EXPECT_EQ(indexed.pixels, (std::vector<uint8_t>{0, 1}));
    EXPECT_EQ(indexed.paletteRgb, (std::vector<uint8_t>{30, 20, 10, 60, 50, 40}));
    Picture rgb = enc::loadPng(dir.file("in.3.png"));
    EXPECT_EQ(rgb.pixels, (std::vector<uint8_t>{0, 0, 0xF8}));

    r = runConvert("--rgb -f bmp -o '" + dir.path() + "' '" + dir.file("in.pqz") + "'");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::vector<uint8_t> bmp = enc::readFile(dir.file("in.0.bmp"));
    ASSERT_GE(bmp.size(), 62u);
    EXPECT_EQ(bmp[28], 24);  // bits per pixel once the fourth byte is dropped
}

TEST(Pqzconvert, RecordsListingAndDamagedFiles) {
    test::TempDir dir;
    enc::PqzWriter good;
    ImageBlock img = raw(1, 1, 8, {9});
    img.aux = std::make_pair(12u, std::vector<uint8_t>{1, 2, 3});
    good.imageBlock(img);
    good.extraBlock(7, {4, 5});
    good.save(dir.file("good.pqz"));
    enc::PqzWriter bad;
    bad.imageBlock(raw(1, 1, 8, {9}));
    bad.tag(0x33);
    bad.save(dir.file("bad.pqz"));

    ToolRun r = runConvert("-x -j 2 -o '" + dir.path() + "' '" + dir.file("bad.pqz") + "' '" +
                           dir.file("good.pqz") + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("bad.pqz: damaged block after image 0"), std::string::npos) << r.out;
    EXPECT_EQ(enc::readFile(dir.file("good.0.aux-12.bin")), (std::vector<uint8_t>{1, 2, 3, 0}));
    EXPECT_EQ(enc::readFile(dir.file("good.extra-0-7.bin")), (std::vector<uint8_t>{4, 5, 0, 0}));
    EXPECT_FALSE(enc::readFile(dir.file("good.0.png")).empty());
    EXPECT_FALSE(enc::readFile(dir.file("bad.0.png")).empty());

    r = runConvert("--list '" + dir.file("good.pqz") + "'");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("image 0: 1x1, 8 bits, payload 1 bytes, raw, aux header type 12"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("extra block: type 7, 2 bytes"), std::string::npos);

    EXPECT_EQ(runConvert("--help").status, 0);
    EXPECT_EQ(runConvert("--frobnicate x").status, 2);
}

}  // namespace
}  // namespace pqz
