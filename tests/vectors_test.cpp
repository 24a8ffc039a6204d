// The reference vectors run in-process (so that sanitizer builds watch every access): each
// file's transcript of the ten functions and every bitmap must match the expected ones.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "reader/pqz2_read.h"
#include "tests/encoder/test_images.h"
#include "tests/test_support.h"

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

std::vector<std::string> vectorNames() {
    std::vector<std::string> names;
    const std::string root = enc::vectorsDir();
    for (const char* folder :
         {"container", "damaged", "bitstream", "context", "method1", "method2", "mixed"}) {
        DIR* d = opendir((root + "/" + folder).c_str());
        if (!d) continue;
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 4 && n.compare(n.size() - 4, 4, ".pqz") == 0)
                names.push_back(std::string(folder) + "/" + n.substr(0, n.size() - 4));
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
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

INSTANTIATE_TEST_SUITE_P(All, Vector, ::testing::ValuesIn(vectorNames()),
                         [](const ::testing::TestParamInfo<std::string>& i) {
                             std::string n = i.param;
                             for (char& c : n)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return n;
                         });

}  // namespace
}  // namespace pqz
