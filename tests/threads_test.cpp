// Different handles read from different threads at once give exactly the sequential results.
#include <gtest/gtest.h>

#include <thread>

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

}  // namespace
}  // namespace pqz
