// The method-1 reference vectors were written by an independent encoder. Given the decoded pixels
// as exact targets and the vector's plane table, the coded symbols follow from the pixels alone
// (near-lossless ones too), so the test encoder must write the very same coder bytes: a check of
// its models, contexts and training that needs no decoder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/encoder/method1_encoder.h"
#include "tests/encoder/pqz_writer.h"
#include "tests/encoder/test_images.h"
#include "tests/test_support.h"
#include "tests/vector_support.h"

namespace pqz {
namespace {

using test::imageBlocks;
using test::StoredImage;

// The coded streams behind the head must be the same bytes. Only a stream without samples may
// differ, in its flush: any code inside the initial interval will do there.
void compareStreams(const std::vector<uint8_t>& mine, const std::vector<uint8_t>& theirs,
                    size_t from, bool empty, const std::string& what) {
    ASSERT_EQ(mine.size(), theirs.size()) << what;
    if (empty) return;
    size_t same = from;
    while (same < mine.size() && mine[same] == theirs[same]) same++;
    EXPECT_EQ(same, theirs.size()) << what << ": coder bytes differ at payload byte " << same;
}

TEST(Method1Vectors, EncoderWritesTheVectorsCoderBytes) {
    int compared = 0;
    for (const char* name :
         {"grey-t0", "palette", "rgb-refs", "sep-t1", "28bit", "small", "rgb-t15", "grey-t5"}) {
        const std::string base = enc::vectorsDir() + "/method1/" + name;
        const std::vector<StoredImage> images = imageBlocks(enc::readFile(base + ".pqz"));
        for (size_t k = 0; k < images.size(); k++) {
            const StoredImage& img = images[k];
            const int bpp = img.format & 0x3F;
            const test::PayloadHead head = test::readPayloadHead(img);
            if (bpp == 32) continue;  // the bitmap lacks the fourth byte
            std::vector<uint8_t> dib = enc::readFile(base + "." + std::to_string(k) + ".dib");
            const test::Bitmap b = test::unpackDib(reinterpret_cast<const DibImage*>(dib.data()));
            enc::Method1Options o;
            o.planes = head.planes;
            o.bitsPerPixel = bpp;
            o.separatePlanes = (img.flags & 0x08) != 0;
            o.grey = (img.format & 0x40) != 0;
            o.palette = img.palette;
            o.tolerance = head.tolerance;
            o.exactTargets = true;
            const enc::Method1Image mine =
                enc::encodeMethod1(b.rows.data(), img.width, img.height, (bpp + 7) / 8, o);
            ASSERT_EQ(mine.expected, b.rows) << name << " image " << k;
            compareStreams(mine.block.payload, img.payload, head.bytes, b.rows.empty(),
                           std::string(name) + " image " + std::to_string(k));
            compared++;
        }
    }
    EXPECT_EQ(compared, 22);
}

}  // namespace
}  // namespace pqz
