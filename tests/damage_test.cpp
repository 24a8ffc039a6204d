// Damaged files through the public interface: valid files cut short at many lengths and with
// single bytes changed at many places, each walked as a caller would (open, read block by block,
// rewind, skip every image, close). Every outcome must be one the reader allows: an image, a
// refused image with a closed file or an error code, the quiet end of the file.
// Images that lie wholly in front of the damage must come out exactly as from the intact file,
// and no walk may take long. To keep the walks short, each reads only the image in front of the
// damage and the two behind it, and skips the others.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "pqz2_read/pqz2_read.h"
#include "tests/encoder/bitstream_image.h"
#include "tests/encoder/context_encoder.h"
#include "tests/encoder/method1_encoder.h"
#include "tests/encoder/method2_encoder.h"
#include "tests/encoder/pqz_writer.h"
#include "tests/encoder/test_images.h"
#include "tests/vector_support.h"

namespace pqz {
namespace {

using Bytes = std::vector<uint8_t>;

// Generous for sanitizer builds; a walk over the largest file here takes well under a second.
constexpr auto kWalkLimit = std::chrono::seconds(60);
constexpr int kMaxSteps = 256;
constexpr size_t kPlacesPerFile = 32;

// A file in memory, reachable by name.
class MemFile {
  public:
    MemFile() : fd_(memfd_create("pqz2damage", 0)) {}
    ~MemFile() { close(fd_); }
    std::string put(const Bytes& bytes) const {
        EXPECT_EQ(ftruncate(fd_, 0), 0);
        EXPECT_EQ(pwrite(fd_, bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
        return "/proc/self/fd/" + std::to_string(fd_);
    }

  private:
    int fd_;
};

// Where a block lies in its file: its first byte, the end of its headers (tag, image header,
// auxiliary header) and its end.
struct Span {
    size_t start, headersEnd, end;
    bool image;
};

uint32_t le32(const Bytes& f, size_t at) {
    return uint32_t(f[at]) | uint32_t(f[at + 1]) << 8 | uint32_t(f[at + 2]) << 16 |
           uint32_t(f[at + 3]) << 24;
}

// The blocks of a valid file (the walk stops at anything else, such as trailing bytes).
std::vector<Span> blocksOf(const Bytes& f) {
    std::vector<Span> spans;
    size_t at = 0;
    while (at + 4 <= f.size() && f[at] == 0x81 && f[at + 2] == '2' && f[at + 3] == '0') {
        Span s{at, 0, 0, f[at + 1] == 0x8A};
        if (!s.image && f[at + 1] != 0x90) break;
        if (!s.image) {
            s.headersEnd = at + 12;
            s.end = s.headersEnd + le32(f, at + 8);
        } else {
            const uint8_t format = f[at + 14], flags = f[at + 15];
            s.headersEnd = at + 20;
            if (flags & 0x80) s.headersEnd += 8 + le32(f, s.headersEnd + 4);
            s.end = s.headersEnd + le32(f, at + 16);
            if (format & 0x80) s.end += size_t(3) << (format & 0x3F);
        }
        if (s.end > f.size()) break;
        spans.push_back(s);
        at = s.end;
    }
    return spans;
}

// Places worth damaging in each block: the tag, the header fields, the auxiliary header, the
// payload's head and a spread over the rest of a compressed payload, the palette. Long lists
// are thinned out evenly to `budget` places.
std::vector<size_t> damagePlaces(const Bytes& f, const std::vector<Span>& spans, size_t budget) {
    std::vector<size_t> places;
    for (const Span& s : spans) {
        const bool compressed = s.image && (f[s.start + 15] & 0x20);
        const std::vector<size_t> fields =
            s.image ? std::vector<size_t>{0, 1, 3, 5, 7, 14, 15, 16, 18, 19, 24}
                    : std::vector<size_t>{0, 1, 4, 8, 9, 11};
        for (size_t k : fields)
            if (s.start + k < s.headersEnd) places.push_back(s.start + k);
        const size_t body = s.end - s.headersEnd;
        const size_t head = compressed ? 4 : 0, spread = compressed ? 4 : 1;
        for (size_t k = 0; k < head && k < body; k++) places.push_back(s.headersEnd + k);
        for (size_t i = 1; i <= spread && body > 2 * head; i++)
            places.push_back(s.headersEnd + head + (body - head) * i / (spread + 1));
        if (body > 1) places.push_back(s.end - 1);
    }
    if (places.size() <= budget) return places;
    std::vector<size_t> thin;
    for (size_t i = 0; i < budget; i++) thin.push_back(places[i * places.size() / budget]);
    return thin;
}

// What one walk saw, and what it found wrong.
struct Walk {
    int openError = 0;
    int error = 0;              // the error code once the reading stopped
    std::vector<Bytes> images;  // the bitmaps read, in order (skipped images are not there)
    std::vector<std::string> problems;
};

// Which images a walk reads: it skips the first `skip` images (they are known to be intact),
// reads `read` images, then leaves the rest to the skipping pass.
struct Plan {
    size_t skip = 0;
    size_t read = SIZE_MAX;
};

uint32_t rowStride(const DibImage* d) {
    return (enc::rowBytesFor(uint32_t(d->biWidth), d->biBitCount) + 3) & ~3u;
}

// A bitmap as bytes, after checking that its header describes what the reader promises.
Bytes bitmapBytes(const DibImage* d, Walk& w) {
    const int bits = d->biBitCount;
    const bool widened = bits == 2 || bits == 15 || bits == 16 || bits == 32;
    if (d->biSize != 40 || d->biPlanes != 1 || d->biCompression != 0 || d->biWidth < 0 ||
        d->biHeight < 0 || bits > 63 || widened ||
        d->biSizeImage != uint64_t(d->biHeight) * rowStride(d)) {
        w.problems.push_back("bitmap header out of shape");
        return {};
    }
    const size_t colours = bits <= 8 ? size_t(1) << bits : 0;
    const auto* p = reinterpret_cast<const uint8_t*>(d);
    return Bytes(p, p + 40 + 4 * colours + d->biSizeImage);
}

// A bitmap's header and rows. Its colours may come from the palette of an image read before,
// which a walk that skips images does not see.
Bytes withoutColours(const Bytes& bitmap) {
    if (bitmap.size() < 40) return bitmap;
    const int bits = bitmap[14];
    const size_t table = bits <= 8 ? size_t(4) << bits : 0;
    Bytes b(bitmap.begin(), bitmap.begin() + 40);
    b.insert(b.end(), bitmap.begin() + long(40 + table), bitmap.end());
    return b;
}

void checkRecord(const ExtraBlock* r, Walk& w) {
    if (r && (r->length < 4 || r->length % 4 != 0)) w.problems.push_back("record length");
}

// A handle whose error code is set refuses everything.
void checkRefuses(ReaderHandle* h, Walk& w) {
    if (pqzReadImage(h, nullptr) || pqzReadED(h) || pqzSkipImage(h) || pqzRewind(h) ||
        pqzGetNextBlockType(h) != PQZ_BLOCK_NONE || pqzGetImageNumber(h) != -1)
        w.problems.push_back("a failed handle went on reading");
}

// Reads block by block until the end, a damaged block, an error or the end of the plan; returns
// the final error code.
int readBlocks(ReaderHandle* h, const Plan& plan, Walk& w) {
    size_t passed = 0;
    for (int step = 0; step < kMaxSteps && passed < plan.skip + plan.read; step++) {
        const int t = pqzGetNextBlockType(h);
        if (t == PQZ_BLOCK_IMAGE && passed < plan.skip) {
            pqzSkipImage(h);
            passed++;
        } else if (t == PQZ_BLOCK_IMAGE) {
            if (pqzReadED(h)) w.problems.push_back("an extra block read at an image");
            AuxHeader* aux = nullptr;
            DibImage* d = pqzReadImage(h, &aux);
            checkRecord(aux, w);
            pqzFreeResource(aux);
            if (d) w.images.push_back(bitmapBytes(d, w));
            pqzFreeResource(d);
            passed++;
            // A refused image closes the file or sets the error code.
            if (!d && pqzGetLastError(h) == 0 && pqzGetNextBlockType(h) != PQZ_BLOCK_NONE)
                w.problems.push_back("an image refused with the file still open");
        } else if (t == PQZ_BLOCK_EXTRA) {
            ExtraBlock* e = pqzReadED(h);
            checkRecord(e, w);
            pqzFreeResource(e);
        } else {
            if (t == PQZ_BLOCK_END && pqzGetImageNumber(h) != int(passed))
                w.problems.push_back("image number at the end");
            return pqzGetLastError(h);
        }
    }
    if (passed < plan.skip + plan.read) w.problems.push_back("too many blocks");
    return pqzGetLastError(h);
}

Walk walk(const std::string& path, const Plan& plan) {
    Walk w;
    ReaderHandle* h = pqzOpen(path.c_str());
    if (!h) {
        w.problems.push_back("no handle");
        return w;
    }
    w.openError = pqzGetLastError(h);
    if (w.openError != 0 && w.openError != PQZ_ERR_BAD_FILE)
        w.problems.push_back("open error code " + std::to_string(w.openError));

    const int error = w.openError ? w.openError : readBlocks(h, plan, w);
    w.error = error;
    if (error == PQZ_ERR_BAD_FILE || error == PQZ_ERR_BAD_STREAM || error == PQZ_ERR_NO_BLOCK) {
        checkRefuses(h, w);
    } else if (error != 0) {
        w.problems.push_back("error code " + std::to_string(error) + " after reading");
    } else if (pqzRewind(h) != 1 || pqzGetImageNumber(h) != 0) {
        w.problems.push_back("rewind of an open file");
    } else {
        int skipped = 0;
        for (int step = 0; step < kMaxSteps; step++) {
            const int t = pqzGetNextBlockType(h);
            if (t == PQZ_BLOCK_IMAGE) {
                pqzSkipImage(h);
                skipped++;
            } else if (t == PQZ_BLOCK_EXTRA) {
                pqzFreeResource(pqzReadED(h));
            } else {
                break;
            }
        }
        if (pqzGetLastError(h) == 0 && pqzGetImageNumber(h) != skipped)
            w.problems.push_back("image number after skipping");
    }
    if (pqzClose(h) != 1) w.problems.push_back("close");
    return w;
}

// Walks on a thread of its own, so that a walk that does not end is reported instead of
// stalling the suite.
Walk boundedWalk(const std::string& path, const std::string& what, const Plan& plan = {}) {
    auto f = std::async(std::launch::async, walk, path, plan);
    if (f.wait_for(kWalkLimit) != std::future_status::ready) {
        std::fprintf(stderr, "walk does not end: %s\n", what.c_str());
        std::fflush(stderr);
        std::_Exit(1);
    }
    return f.get();
}

// Damages a file in many ways and checks every walk against the intact file's images.
void damageFile(const std::string& name, const Bytes& file) {
    SCOPED_TRACE(name);
    MemFile mem;
    const std::vector<Span> spans = blocksOf(file);
    ASSERT_FALSE(spans.empty());
    const Walk intact = boundedWalk(mem.put(file), name);
    ASSERT_TRUE(intact.problems.empty()) << intact.problems[0];
    ASSERT_EQ(intact.openError, 0);

    // Images whose blocks end at or before `at` are untouched by damage there.
    auto imagesBefore = [&](size_t at) {
        size_t n = 0;
        for (const Span& s : spans) n += s.image && s.end <= at;
        return n;
    };
    // Images in front of the damage are intact: the walk skips all but the last of them, which
    // must come out as from the intact file, and reads the next two (the damaged one and one
    // behind it).
    auto check = [&](const Bytes& bytes, size_t at, const std::string& what) {
        const size_t kept = std::min(imagesBefore(at), intact.images.size());
        Plan plan;
        plan.skip = kept > 0 ? kept - 1 : 0;
        plan.read = 3;
        const Walk w = boundedWalk(mem.put(bytes), name + " " + what, plan);
        for (const std::string& p : w.problems) ADD_FAILURE() << what << ": " << p;
        if (w.openError != 0) {
            // Only damage to the first image's headers or in front of them can fail the open.
            size_t firstHeaders = 0;
            for (const Span& s : spans)
                if (s.image && !firstHeaders) firstHeaders = s.headersEnd;
            EXPECT_LT(at, firstHeaders) << what << ": the open failed";
            return;
        }
        if (kept == 0) return;
        ASSERT_FALSE(w.images.empty()) << what << ": the image in front of the damage lost";
        EXPECT_TRUE(withoutColours(w.images[0]) == withoutColours(intact.images[kept - 1]))
            << what << ": image " << kept - 1 << " changed";
    };

    uint32_t noise = 0x9E3779B9u;
    for (size_t at : damagePlaces(file, spans, kPlacesPerFile)) {
        check(Bytes(file.begin(), file.begin() + long(at)), at, "cut at " + std::to_string(at));
        Bytes flipped = file;
        noise = noise * 1664525u + 1013904223u;
        flipped[at] ^= uint8_t((noise >> 24) | 1);
        check(flipped, at, "byte " + std::to_string(at) + " changed");
    }
}

// Small crops of the sample photos.
struct Pictures {
    enc::Picture grey = enc::crop(enc::loadImage("camera.png"), 180, 160, 40, 30);
    enc::Picture colour = enc::crop(enc::loadImage("astronaut.png"), 200, 120, 24, 18);
    enc::Picture alpha = enc::crop(enc::loadImage("logo.png"), 180, 200, 16, 12);
};

const Pictures& pictures() {
    static const Pictures p;
    return p;
}

// A file with the coding routes of every test encoder, between extra blocks, an auxiliary
// header and a raw palette image.
Bytes encodedFile() {
    const Pictures& p = pictures();
    enc::PqzWriter w;
    w.extraBlock(3, {1, 2, 3, 4, 5, 6});
    enc::ImageBlock grey = enc::encodeMethod1Picture(p.grey, 0).block;
    grey.aux = std::make_pair(uint32_t(100), Bytes{7, 7, 7});
    w.imageBlock(grey);
    w.imageBlock(enc::encodeMethod1Picture(p.colour, 2, true).block);
    enc::ImageBlock raw;
    raw.width = 6;
    raw.height = 4;
    raw.format = 0x84;
    raw.payload.assign(12, 0x5A);
    raw.palette.assign(48, 0x33);
    w.imageBlock(raw);
    w.imageBlock(enc::encodeMethod1Picture(p.alpha, 1, true, true).block);
    w.extraBlock(4, {});

    enc::BitstreamImageOptions bits;
    bits.planes = {
        {1, 1, false, true, 0, {}}, {0, 2, true, false, 0, {}}, {2, 0, false, false, 0, {}}};
    bits.separatePlanes = true;
    bits.tolerance = 1;
    bits.coder.seed = 4;
    w.imageBlock(enc::encodeBitstreamImage(enc::storedImage(p.colour), bits, nullptr));
    enc::BitstreamImageOptions whole;
    whole.planeTable = false;
    w.imageBlock(enc::encodeBitstreamImage(enc::storedImage(p.grey, 4), whole, nullptr));

    const enc::StoredImage g = enc::storedImage(p.grey, 8);
    w.imageBlock(enc::encodeContextImage(g.width, g.height, g.format, g.data).block);
    enc::ContextImageOptions separate;
    separate.route = enc::ContextRoute::kSeparatePlanes;
    const enc::StoredImage c = enc::storedImage(p.colour, 24);
    w.imageBlock(enc::encodeContextImage(c.width, c.height, c.format, c.data, separate).block);

    w.imageBlock(enc::encodeMethod2Picture(p.grey, 2).block);
    enc::Method2Image m2;
    m2.width = uint16_t(p.colour.width);
    m2.height = uint16_t(p.colour.height);
    m2.bitsPerPixel = 24;
    m2.pixels = enc::toStoredBgr(p.colour);
    m2.planes = enc::colourReferencePlanes(3);
    w.imageBlock(enc::encodeMethod2Image(m2).block);
    return w.bytes();
}

TEST(Damage, EncodedFilesOfEveryCodingRoute) {
    damageFile("encoded", encodedFile());
}

TEST(Damage, BundledSampleFile) {
    damageFile("sample", enc::readFile(std::string(PQZ2_SOURCE_DIR) + "/samples/TestFile.pqz"));
}

TEST(Damage, ReferenceVectors) {
    for (const char* v : {"mixed/palette", "bitstream/small-widths", "context/depths",
                          "method2/small", "container/aux-and-extra"})
        damageFile(v, enc::readFile(enc::vectorsDir() + "/" + v + ".pqz"));
}

// A field of /proc/self/status in kilobytes (0 when it cannot be read): VmPeak, the largest
// virtual size the process has had, or VmHWM, its largest resident size.
long statusKb(const char* field) {
    FILE* f = std::fopen("/proc/self/status", "r");
    long kb = 0;
    char line[256];
    const std::string pattern = std::string(field) + ": %ld kB";
    while (f && std::fgets(line, sizeof line, f))
        if (std::sscanf(line, pattern.c_str(), &kb) == 1) break;
    if (f) std::fclose(f);
    return kb;
}

long peakVirtualKb() {
    return statusKb("VmPeak");
}

// Starts VmHWM afresh from the present resident size.
void resetPeakResident() {
    if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);
        std::fclose(f);
    }
}

// A file cut inside the payload of an image that announces 65535 x 65535 pixels: the read fails
// without reserving the 4 GB of the image first.
TEST(Damage, CutFileDoesNotReserveItsImage) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' allocators reserve memory their own way";
#endif
    for (uint8_t flags : {0x00, 0x24}) {
        enc::PqzWriter w;
        enc::ImageBlock b;
        b.width = b.height = 0xFFFF;
        b.format = 0x48;
        b.flags = flags;
        b.payload = {0x97, 0x00, 0x00, 0x00};
        b.payloadSizeField = 100000;
        w.imageBlock(b);
        MemFile mem;
        const long before = peakVirtualKb();
        ReaderHandle* h = pqzOpen(mem.put(w.bytes()).c_str());
        EXPECT_EQ(pqzReadImage(h, nullptr), nullptr);
        EXPECT_EQ(pqzGetNextBlockType(h), PQZ_BLOCK_NONE);  // the damaged block closed the file
        pqzClose(h);
        EXPECT_LT(peakVirtualKb() - before, 1L << 20) << "flags " << int(flags);
    }
}

// The 29-byte file of a raw 59,139 x 20,386 image with a 6-byte payload (a reference file with
// its size changed): refused before the 1.2 GB image is reserved.
TEST(Damage, TinyRawFileDoesNotReserveItsImage) {
    Bytes file = enc::readFile(enc::vectorsDir() + "/container/trailing-bytes.pqz");
    ASSERT_EQ(file.size(), 29u);
    file[4] = 0x03, file[5] = 0xE7, file[6] = 0xA2, file[7] = 0x4F;
    MemFile mem;
    [[maybe_unused]] const long before = peakVirtualKb();
    const Walk w = walk(mem.put(file), {});
    EXPECT_TRUE(w.images.empty());
    EXPECT_EQ(w.error, PQZ_ERR_NO_BLOCK);  // a damaged block: the file is closed
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(peakVirtualKb() - before, 1L << 18);
#endif
}

// Sets the decoding orders in the head of an image whose descriptors carry no reference: two
// bits at the start of each 6-bit descriptor, behind the tolerance field where there is one.
enc::ImageBlock withOrders(enc::ImageBlock b, const std::vector<int>& orders) {
    const int bits = b.format & 0x3F;
    size_t at = enc::headHasTolerance(bits, (b.format & 0x40) != 0) ? 4 : 0;
    for (int order : orders) {
        for (int i = 0; i < 2; i++, at++) {
            const uint8_t mask = uint8_t(1u << (at % 8));
            uint8_t& byte = b.payload.at(at / 8);
            byte = uint8_t((order >> i) & 1 ? byte | mask : byte & ~mask);
        }
        at += 4;
    }
    return b;
}

Bytes fileOf(const enc::ImageBlock& block) {
    enc::PqzWriter w;
    w.imageBlock(block);
    return w.bytes();
}

// An image of each decoding route with a plane table (planes in pixel order, no references),
// and orders for it that leave a position without a plane.
struct Route {
    std::string name;
    enc::ImageBlock block;
    std::vector<int> forged;
};

std::vector<Route> planeTableRoutes() {
    const Pictures& p = pictures();
    const enc::StoredImage colour = enc::storedImage(p.colour, 24);
    const enc::StoredImage alpha = enc::storedImage(p.alpha, 32);
    enc::BitstreamImageOptions separate;
    separate.separatePlanes = true;
    enc::ContextImageOptions table, planes;
    table.route = enc::ContextRoute::kOneGoWithTable;
    planes.route = enc::ContextRoute::kSeparatePlanes;
    auto context = [&](const enc::ContextImageOptions& o) {
        return enc::encodeContextImage(colour.width, colour.height, colour.format, colour.data, o)
            .block;
    };
    return {
        {"bit-stream interleaved", enc::encodeBitstreamImage(alpha, {}, nullptr), {1, 1, 2, 3}},
        {"bit-stream separate", enc::encodeBitstreamImage(colour, separate, nullptr), {0, 1, 3}},
        {"context interleaved", context(table), {2, 2, 0}},
        {"context separate", context(planes), {1, 0, 1}},
        {"method 1 interleaved", enc::encodeMethod1Picture(p.colour).block, {0, 0, 1}},
        {"method 1 separate", enc::encodeMethod1Picture(p.colour, 0, false, true).block, {2, 1, 2}},
        {"method 1 grey", enc::encodeMethod1Picture(p.grey).block, {1}},
        {"method 2 interleaved", enc::encodeMethod2Picture(p.alpha).block, {3, 1, 2, 3}},
        {"method 2 separate", enc::encodeMethod2Picture(p.colour, 0, true).block, {0, 2, 2}},
    };
}

// Orders that repeat a position, and so leave another without a plane, are refused in every
// route before anything is decoded (the position left free would address whatever an earlier
// image put there).
TEST(Damage, PlaneTablesWithoutOnePlanePerPositionAreRefused) {
    MemFile mem;
    for (const Route& r : planeTableRoutes()) {
        SCOPED_TRACE(r.name);
        std::vector<int> inPixelOrder(r.forged.size());
        for (size_t k = 0; k < inPixelOrder.size(); k++) inPixelOrder[k] = int(k);
        ASSERT_EQ(withOrders(r.block, inPixelOrder).payload, r.block.payload);
        const Walk valid = walk(mem.put(fileOf(r.block)), {});
        EXPECT_EQ(valid.images.size(), 1u);
        const Walk forged = walk(mem.put(fileOf(withOrders(r.block, r.forged))), {});
        EXPECT_TRUE(forged.images.empty());
        for (const std::string& problem : forged.problems) ADD_FAILURE() << problem;
    }
}

// A file that leaves the decoding state unlike most files do: a method-2 and a context-model
// image, then a 32-bit bit-stream image with the decoding order reversed, references and
// tolerance 15.
Bytes poisonFile() {
    const enc::Picture part = enc::crop(pictures().alpha, 4, 3, 8, 6);
    enc::PqzWriter w;
    w.imageBlock(enc::encodeMethod2Picture(part, 3).block);
    const enc::StoredImage g = enc::storedImage(enc::toGrey(part), 8);
    w.imageBlock(enc::encodeContextImage(g.width, g.height, g.format, g.data).block);
    enc::BitstreamImageOptions reversed;
    reversed.planes = {{3, 1, false, false, 0, {}},
                       {2, 2, false, true, 17, {-64, 191, 0}},
                       {1, 0, false, true, 99, {}},
                       {0, 3, false, false, 0, {}}};
    reversed.tolerance = 15;
    w.imageBlock(enc::encodeBitstreamImage(enc::storedImage(part, 32), reversed, nullptr));
    return w.bytes();
}

// No image may depend on anything but its own file: every reference file, the encoded files
// and the forged plane tables decode alike after the file in front of them in the list and
// after the poisoning file, through fresh handles.
TEST(Damage, NoImageDependsOnFilesReadBefore) {
    std::vector<std::pair<std::string, Bytes>> files;
    for (const std::string& v : test::vectorNames())
        files.emplace_back(v, enc::readFile(enc::vectorsDir() + "/" + v + ".pqz"));
    files.emplace_back("encoded", encodedFile());
    files.emplace_back("sample",
                       enc::readFile(std::string(PQZ2_SOURCE_DIR) + "/samples/TestFile.pqz"));
    for (const Route& r : planeTableRoutes()) {
        files.emplace_back(r.name, fileOf(r.block));
        files.emplace_back(r.name + " forged", fileOf(withOrders(r.block, r.forged)));
    }
    MemFile mem;
    const Bytes poison = poisonFile();
    ASSERT_EQ(walk(mem.put(poison), {}).images.size(), 3u);
    for (const auto& [name, bytes] : files) {
        const Walk first = walk(mem.put(bytes), {});
        walk(mem.put(poison), {});
        const Walk again = walk(mem.put(bytes), {});
        EXPECT_TRUE(again.images == first.images && again.error == first.error &&
                    again.openError == first.openError)
            << name;
    }
}

// Compressed images of each coding family that declare 20,000 x 20,000 pixels and hold the
// payload of a small image are refused, without touching the memory of the image.
TEST(Damage, CompressedImageDeclaredHugeIsRefused) {
    const Pictures& p = pictures();
    const enc::StoredImage g = enc::storedImage(p.grey, 8);
    enc::BitstreamImageOptions whole;
    whole.planeTable = false;
    const std::pair<const char*, enc::ImageBlock> families[] = {
        {"bit-stream", enc::encodeBitstreamImage(g, whole, nullptr)},
        {"context", enc::encodeContextImage(g.width, g.height, g.format, g.data).block},
        {"method 1", enc::encodeMethod1Picture(p.grey).block},
        {"method 2", enc::encodeMethod2Picture(p.grey).block},
    };
    MemFile mem;
    for (const auto& [name, block] : families) {
        enc::ImageBlock huge = block;
        huge.width = huge.height = 20000;
        resetPeakResident();
        [[maybe_unused]] const long before = statusKb("VmRSS");
        const Walk w = walk(mem.put(fileOf(huge)), {});
        EXPECT_TRUE(w.images.empty()) << name;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        EXPECT_LT(statusKb("VmHWM") - before, 64L << 10) << name;
#endif
    }
}

}  // namespace
}  // namespace pqz
