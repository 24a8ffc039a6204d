// The demo program run as a real process on prepared "TestFile.pqz" files: exact output and
// exit status.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/test_support.h"

namespace pqz {
namespace {

using enc::ImageBlock;
using enc::PqzWriter;

using DemoRun = test::ProcessRun;

// Runs the demo in dir; when file is given it is written there as "TestFile.pqz" first.
DemoRun runDemo(const test::TempDir& dir, const std::vector<uint8_t>* file) {
    if (file) enc::writeFile(dir.file("TestFile.pqz"), *file);
    return test::runProcess("cd '" + dir.path() + "' && '" + PQZ2_DEMO_PATH + "'");
}

ImageBlock grey(uint16_t w, uint16_t h) {
    ImageBlock b;
    b.width = w;
    b.height = h;
    b.format = 0x48;
    b.payload.assign(size_t(w) * h, 1);
    return b;
}

const char kBanner[] = "PQZ2_READ library demo\n";
const char kCycles[] =
    "PQZ file was rewinded\n"
    "More complicated PQZ file reading cycle\n";

TEST(Demo, MissingAndEmptyFiles) {
    test::TempDir dir;
    DemoRun missing = runDemo(dir, nullptr);
    EXPECT_EQ(missing.out, std::string(kBanner) + "File open error: 2\n");
    EXPECT_EQ(missing.status, 255);

    const std::vector<uint8_t> empty;
    DemoRun r = runDemo(dir, &empty);
    EXPECT_EQ(r.out, std::string(kBanner) +
                         "Simplest PQZ file reading cycle\n\nWe are at EOF now.\n" + kCycles +
                         "We are at EOF now.\nPQZ file was rewinded\nExample of image skipping\n"
                         "\nThat is all, folks!");
    EXPECT_EQ(r.status, 0);
}

TEST(Demo, ExtraBlocksOnly) {
    test::TempDir dir;
    PqzWriter w;
    w.extraBlock(5, {1, 2, 3});
    w.extraBlock(6, std::vector<uint8_t>(9, 4));
    DemoRun r = runDemo(dir, &w.bytes());
    EXPECT_EQ(r.out, std::string(kBanner) +
                         "Simplest PQZ file reading cycle\n\nWe are at EOF now.\n" + kCycles +
                         "WOW! This PQZ file has ExtraBlock!\nEnumeration type: 5, block size: 4\n"
                         "WOW! This PQZ file has ExtraBlock!\nEnumeration type: 6, block size: 12\n"
                         "We are at EOF now.\nPQZ file was rewinded\nExample of image skipping\n"
                         "\nThat is all, folks!");
    EXPECT_EQ(r.status, 0);
}

TEST(Demo, ImagesWithAuxHeadersAndExtraBlocksBetween) {
    test::TempDir dir;
    PqzWriter w;
    ImageBlock a = grey(3, 2);
    a.aux = std::make_pair(1000u, std::vector<uint8_t>{1, 2, 3, 4, 5});
    w.imageBlock(a);
    w.extraBlock(7, {9});
    ImageBlock b = grey(5, 1);
    b.format = 24;
    b.payload.assign(15, 2);
    w.imageBlock(b);
    w.imageBlock(grey(1, 1));
    DemoRun r = runDemo(dir, &w.bytes());
    EXPECT_EQ(r.out, std::string(kBanner) +
                         "Simplest PQZ file reading cycle\n"
                         "Image 0 was read\rImage 1 was read\rImage 2 was read\r"
                         "\nWe are at EOF now.\n" +
                         kCycles +
                         "Reading image number 0:\t 3x2x8, image size 8 bytes\n"
                         "Image has auxilary header, type: 1000, size: 8\n"
                         "WOW! This PQZ file has ExtraBlock!\nEnumeration type: 7, block size: 4\n"
                         "Reading image number 1:\t 5x1x24, image size 16 bytes\n"
                         "Reading image number 2:\t 1x1x8, image size 4 bytes\n"
                         "We are at EOF now.\nPQZ file was rewinded\nExample of image skipping\n"
                         "Skipping image number 0\r"
                         "\nThat is all, folks!");
    EXPECT_EQ(r.status, 0);
}

TEST(Demo, DamagedBlockMidFile) {
    test::TempDir dir;
    PqzWriter w;
    w.imageBlock(grey(2, 2));
    w.tag(0x42);
    w.imageBlock(grey(2, 2));
    DemoRun r = runDemo(dir, &w.bytes());
    // The first cycle stops quietly at the damaged block; the closed file cannot be rewound.
    EXPECT_EQ(r.out, std::string(kBanner) +
                         "Simplest PQZ file reading cycle\nImage 0 was read\r"
                         "\nWe are at EOF now.\nError while rewinding\n");
    EXPECT_EQ(r.status, 255);
}

TEST(Library, ExportsExactlyTheTenFunctions) {
    const test::ProcessRun r = test::runProcess(std::string("nm -D --defined-only '") +
                                                PQZ2_LIBRARY_PATH + "' | awk '{print $3}' | sort");
    EXPECT_EQ(r.out,
              "pqzClose\npqzFreeResource\npqzGetImageNumber\npqzGetLastError\n"
              "pqzGetNextBlockType\npqzOpen\npqzReadED\npqzReadImage\npqzRewind\npqzSkipImage\n");
}

}  // namespace
}  // namespace pqz

namespace pqz {
namespace {

// The bundled sample must read completely: every image decodes, the demo ends normally.
TEST(Demo, BundledSampleReadsCompletely) {
    test::TempDir dir;
    const std::vector<uint8_t> sample =
        enc::readFile(std::string(PQZ2_SOURCE_DIR) + "/samples/TestFile.pqz");
    ASSERT_FALSE(sample.empty());
    int err = -1;
    const std::vector<test::Bitmap> images =
        test::readAllImages(test::writeTemp(dir, sample, "sample.pqz"), &err);
    EXPECT_EQ(err, 0);
    EXPECT_GE(images.size(), 6u);
    DemoRun r = runDemo(dir, &sample);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("That is all, folks!"), std::string::npos);
}

}  // namespace
}  // namespace pqz
