// Different handles read from different threads at once give exactly the sequential results.
#include <gtest/gtest.h>

#include <thread>

#include "tests/api_test_support.h"
#include "tests/encoder/test_images.h"
#include "tests/test_support.h"

namespace pqz {
namespace {

// Every bitmap of a file, as raw bytes, plus the final error code.
std::vector<std::vector<uint8_t>> readBitmaps(const std::string& path) {
    std::vector<std::vector<uint8_t>> out;
    ReaderHandle* h = pqzOpen(path.c_str());
    while (DibImage* d = pqzReadImage(h, nullptr)) {
        const uint32_t colours = d->biBitCount <= 8 ? 1u << d->biBitCount : 0;
        const uint8_t* p = reinterpret_cast<const uint8_t*>(d);
        out.emplace_back(p, p + 40 + 4 * colours + d->biSizeImage);
        pqzFreeResource(d);
    }
    out.push_back({uint8_t(pqzGetLastError(h))});
    pqzClose(h);
    return out;
}

TEST(Threads, ConcurrentHandlesMatchSequentialReads) {
    const std::string v = enc::vectorsDir();
    // Every decoder family, separate planes with the inverse filters and the merge, interleaved
    // multi-plane images, palettes and the remembered colour table.
    const std::vector<std::string> files = {v + "/mixed/codecs.pqz",
                                            v + "/mixed/palette.pqz",
                                            v + "/bitstream/grey-sep-v2-c1.pqz",
                                            v + "/bitstream/small-widths.pqz",
                                            v + "/context/depths.pqz",
                                            v + "/context/sep24-tol5.pqz",
                                            v + "/method1/sep-t1.pqz",
                                            v + "/method1/rgb-t15.pqz",
                                            v + "/method2/rgb-t1.pqz",
                                            v + "/container/palette-sequence.pqz",
                                            std::string(PQZ2_SOURCE_DIR) + "/samples/TestFile.pqz"};
    std::vector<std::vector<std::vector<uint8_t>>> expected;
    for (const std::string& f : files) expected.push_back(readBitmaps(f));

    constexpr int kThreads = 4;
    std::vector<std::vector<std::vector<std::vector<uint8_t>>>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            for (size_t i = 0; i < files.size(); i++)
                got[t].push_back(readBitmaps(files[(i + size_t(t)) % files.size()]));
        });
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; t++)
        for (size_t i = 0; i < files.size(); i++)
            EXPECT_TRUE(got[t][i] == expected[(i + size_t(t)) % files.size()])
                << "thread " << t << " file " << files[(i + size_t(t)) % files.size()];
}

// Each given block of an in-memory file as the decoding API reports it: the walk's status, and
// for images the palette that applies and the pixels in the stored layout with the status.
using ApiDecodes = std::vector<std::vector<uint8_t>>;
ApiDecodes decodeBlocks(const std::vector<uint8_t>& file, const std::vector<uint32_t>& blocks) {
    ApiDecodes out;
    test::ApiFile f;
    if (pqz2_open_memory(f, file.data(), file.size()) != PQZ2_OK) return {{0xEE}};
    for (uint32_t index : blocks) {
        pqz2_block b;
        const pqz2_status walked = pqz2_seek_block(f, index, &b);
        pqz2_image_info info = {};
        if (walked == PQZ2_OK && b.kind == PQZ2_BLOCK_IMAGE) pqz2_image_info_get(f, &info);
        const uint8_t* palette = &info.palette[0][0];
        out.push_back({uint8_t(walked)});
        out.emplace_back(palette, palette + 3 * info.palette_entries);
        pqz2_status s = PQZ2_END;
        out.push_back(info.width ? test::decodeTo(f, PQZ2_FORMAT_NATIVE, &s)
                                 : ApiDecodes::value_type{});
        out.push_back({uint8_t(s)});
    }
    return out;
}

// Distinct file objects over the same memory decode on several threads at once, each thread
// taking every n-th block as a converter's workers do (so each walks and seeks on its own and
// takes inherited palettes from blocks it did not decode): the results are the sequential ones.
TEST(Threads, ConcurrentApiFilesMatchSequentialDecodes) {
    const std::string v = enc::vectorsDir();
    std::vector<std::vector<uint8_t>> files;  // every decoder family, palettes passed on
    for (const char* name : {"/mixed/codecs.pqz", "/mixed/palette.pqz",
                             "/container/palette-sequence.pqz", "/container/many-images.pqz"})
        files.push_back(enc::readFile(v + name));
    constexpr uint32_t kThreads = 4, kBlocks = 20;  // past the last block of every file
    std::vector<std::vector<uint32_t>> stripes(kThreads);
    std::vector<uint32_t> all;
    for (uint32_t i = 0; i < kBlocks; i++) {
        stripes[i % kThreads].push_back(i);
        all.push_back(i);
    }
    std::vector<ApiDecodes> expected;  // four entries per block
    for (const auto& file : files) expected.push_back(decodeBlocks(file, all));

    std::vector<std::vector<ApiDecodes>> got(kThreads);
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            for (const auto& file : files) got[t].push_back(decodeBlocks(file, stripes[t]));
        });
    for (auto& th : threads) th.join();
    for (uint32_t t = 0; t < kThreads; t++)
        for (size_t i = 0; i < files.size(); i++)
            for (size_t k = 0; k < stripes[t].size(); k++)
                for (size_t e = 0; e < 4; e++)
                    EXPECT_TRUE(got[t][i][4 * k + e] == expected[i][4 * stripes[t][k] + e])
                        << "thread " << t << " file " << i << " block " << stripes[t][k];
}

}  // namespace
}  // namespace pqz
