// The reference vectors run in-process (so that sanitizer builds watch every access): each
// file's transcript of the ten functions and every bitmap must match the expected ones.
#include <gtest/gtest.h>

#include "reader/pqz2_read.h"
#include "tests/encoder/test_images.h"
#include "tests/test_support.h"
#include "tests/vector_support.h"

// The checker's transcript logic, used on the library's functions directly.
#define main pqzcheckMain
#include "tests/data/vectors/check/pqzcheck.cpp"
#undef main

namespace pqz {
namespace {

LibApi directApi() {
    LibApi api;
    api.open = [](const char* f) -> void* { return pqzOpen(f); };
    api.close = [](void* h) { return pqzClose(static_cast<ReaderHandle*>(h)); };
    api.readImage = [](void* h, void** aux) -> void* {
        return pqzReadImage(static_cast<ReaderHandle*>(h), reinterpret_cast<AuxHeader**>(aux));
    };
    api.readED = [](void* h) -> void* { return pqzReadED(static_cast<ReaderHandle*>(h)); };
    api.skip = [](void* h) { return pqzSkipImage(static_cast<ReaderHandle*>(h)); };
    api.rewind = [](void* h) { return pqzRewind(static_cast<ReaderHandle*>(h)); };
    api.next = [](void* h) { return pqzGetNextBlockType(static_cast<ReaderHandle*>(h)); };
    api.number = [](void* h) { return pqzGetImageNumber(static_cast<ReaderHandle*>(h)); };
    api.lastError = [](void* h) { return pqzGetLastError(static_cast<ReaderHandle*>(h)); };
    api.freeRes = [](void* p) { pqzFreeResource(p); };
    return api;
}

class Vector : public ::testing::TestWithParam<std::string> {};

TEST_P(Vector, TranscriptAndBitmapsMatch) {
    const std::string base = enc::vectorsDir() + "/" + GetParam();
    const std::vector<uint8_t> expect = enc::readFile(base + ".expect");
    ASSERT_FALSE(expect.empty());
    test::TempDir dir;
    const LibApi api = directApi();
    EXPECT_EQ(runTranscript(api, base + ".pqz", -1, ""), std::string(expect.begin(), expect.end()));
    for (int k = 0;; k++) {
        const std::vector<uint8_t> want = enc::readFile(base + "." + std::to_string(k) + ".dib");
        if (want.empty()) break;
        runTranscript(api, base + ".pqz", k, dir.file("dump.dib"));
        EXPECT_EQ(enc::readFile(dir.file("dump.dib")), want) << "bitmap " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(All, Vector, ::testing::ValuesIn(test::vectorNames()),
                         [](const ::testing::TestParamInfo<std::string>& i) {
                             std::string n = i.param;
                             for (char& c : n)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return n;
                         });

}  // namespace
}  // namespace pqz
