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

namespace pqz {
namespace {

struct StoredImage {
    uint16_t width = 0, height = 0;
    uint8_t format = 0, flags = 0;
    std::vector<uint8_t> payload, palette;
};

uint32_t le(const std::vector<uint8_t>& b, size_t at, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; i++) v |= uint32_t(b.at(at + i)) << (8 * i);
    return v;
}

// The image blocks of a file (extra blocks passed over).
std::vector<StoredImage> imageBlocks(const std::vector<uint8_t>& file) {
    std::vector<StoredImage> out;
    size_t at = 0;
    while (at + 4 <= file.size()) {
        const uint8_t kind = file[at + 1];
        at += 4;
        if (kind == enc::kKindExtra) {
            at += 8 + le(file, at + 4, 4);
            continue;
        }
        StoredImage img;
        img.width = uint16_t(le(file, at, 2));
        img.height = uint16_t(le(file, at + 2, 2));
        img.format = file[at + 10];
        img.flags = file[at + 11];
        const uint32_t size = le(file, at + 12, 4);
        at += 16;
        if (img.flags & 0x80) at += 8 + le(file, at + 4, 4);
        img.payload.assign(file.begin() + at, file.begin() + at + size);
        at += size;
        if (img.format & 0x80) {
            const size_t n = 3u << (img.format & 0x3F);
            img.palette.assign(file.begin() + at, file.begin() + at + n);
            at += n;
        }
        out.push_back(img);
    }
    return out;
}

// Least-significant-bit-first reading of the payload head.
struct HeadReader {
    const std::vector<uint8_t>& bytes;
    size_t bit = 0;
    uint32_t read(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; i++, bit++) v |= uint32_t((bytes[bit / 8] >> (bit % 8)) & 1) << i;
        return v;
    }
};

struct Head {
    int tolerance = 0;
    std::vector<enc::PlaneSpec> planes;
    size_t bytes = 0;  // whole bytes the head occupies
};

Head readHead(const StoredImage& img) {
    const int bpp = img.format & 0x3F;
    const int planes = (bpp + 7) / 8;
    HeadReader r{img.payload};
    Head h;
    if (enc::headHasTolerance(bpp, (img.format & 0x40) != 0)) h.tolerance = int(r.read(4));
    for (int p = 0; p < planes; p++) {
        const uint32_t d = r.read(6);
        enc::PlaneSpec s;
        s.order = uint8_t(d & 3);
        s.hasReference = (d >> 5) & 1;
        if (s.hasReference) {
            s.offset = uint8_t(r.read(8));
            if (s.order > 1) {
                s.coef[0] = int(r.read(8)) - 64;
                s.coef[1] = int(r.read(8)) - 64;
            }
            if (s.order > 2) s.coef[2] = int(r.read(8)) - 64;
        }
        h.planes.push_back(s);
    }
    h.bytes = (r.bit + 7) / 8;
    return h;
}

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
            const Head head = readHead(img);
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
