// Writes the seed corpora of the fuzz targets: small whole files for the interface target, and
// for each decoder family inputs in its target's layout (width, height, format byte, flags
// byte, then the payload), so that every seed decodes fully.
//
// Seeds come from the test encoders (small crops of the sample photos in every variant the
// encoders offer) and from the compressed images of the reference vectors that fit the family
// targets' 64 x 64 limit.
//
//   make_seeds OUTPUT_DIR
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/payload_head.h"
#include "tests/encoder/bitstream_image.h"
#include "tests/encoder/context_encoder.h"
#include "tests/encoder/method1_encoder.h"
#include "tests/encoder/method2_encoder.h"
#include "tests/encoder/pqz_writer.h"
#include "tests/encoder/test_images.h"

using namespace pqz::enc;

namespace {

constexpr int kFamilyMaxSide = 64;       // the family targets' largest width and height
constexpr size_t kApiMaxVector = 16384;  // larger vectors only slow the interface target down

// Flags of the image header.
constexpr uint8_t kCompressed = 0x20, kPlaneTable = 0x10, kSeparate = 0x08, kRangeCoded = 0x04;

// The decoder family a compressed image block goes to: "bitstream", "context", "method1" or
// "method2"; empty for raw images and heads the family targets cannot express.
std::string familyOf(const ImageBlock& b) {
    if (!(b.flags & kCompressed)) return "";
    if (!(b.flags & kRangeCoded)) return "bitstream";
    const int bpp = b.format & 0x3F;
    if (bpp <= 4 || !(b.flags & kPlaneTable)) return "context";
    const int planes = (bpp + 7) / 8;
    if (planes > 4) return "";
    std::string family = "context";
    bool first = true;
    pqz::fuzz::walkPayloadHead(b.payload, planes, (b.format & 0x40) != 0, [&](uint32_t d, size_t) {
        const int method = (d >> 2) & 3;
        const bool model = (d & 0x10) != 0;
        // Interleaved planes are all decoded by the first plane's decoder.
        if (model && (first || (b.flags & kSeparate)) && family == "context")
            family = method == 1 ? "method1" : method == 2 ? "method2" : "";
        first = false;
    });
    if ((family == "method1" || family == "method2") && bpp > 32) return "";
    return family;
}

// Image blocks of a PQZ file (extra blocks and palettes are passed over).
std::vector<ImageBlock> imageBlocksOf(const std::vector<uint8_t>& f) {
    std::vector<ImageBlock> blocks;
    auto u32 = [&](size_t at) {
        return uint32_t(f[at]) | uint32_t(f[at + 1]) << 8 | uint32_t(f[at + 2]) << 16 |
               uint32_t(f[at + 3]) << 24;
    };
    size_t at = 0;
    while (at + 4 <= f.size() && f[at] == 0x81 && f[at + 2] == '2' && f[at + 3] == '0') {
        const uint8_t kind = f[at + 1];
        at += 4;
        if (kind == kKindExtra && at + 8 <= f.size()) {
            at += 8 + size_t(u32(at + 4));
            continue;
        }
        if (kind != kKindImage || at + 16 > f.size()) break;
        ImageBlock b;
        b.width = uint16_t(f[at] | f[at + 1] << 8);
        b.height = uint16_t(f[at + 2] | f[at + 3] << 8);
        b.format = f[at + 10];
        b.flags = f[at + 11];
        const uint32_t payloadSize = u32(at + 12);
        at += 16;
        if ((b.flags & 0x80) && at + 8 <= f.size()) at += 8 + size_t(u32(at + 4));
        if (at + payloadSize > f.size()) break;
        b.payload.assign(f.begin() + long(at), f.begin() + long(at + payloadSize));
        at += payloadSize;
        if (b.format & 0x80) at += size_t(3) << (b.format & 0x3F);
        blocks.push_back(b);
    }
    return blocks;
}

class SeedWriter {
  public:
    explicit SeedWriter(std::string out) : out_(std::move(out)) {
        mkdir(out_.c_str(), 0755);
        for (const char* family :
             {"api", "pqz2api", "salvage", "bitstream", "context", "method1", "method2"})
            mkdir((out_ + "/" + family).c_str(), 0755);
    }

    // A family seed of an image block that fits the family targets.
    void family(const ImageBlock& b, const std::string& name) {
        const std::string fam = familyOf(b);
        if (fam.empty() || b.width > kFamilyMaxSide || b.height > kFamilyMaxSide) return;
        std::vector<uint8_t> seed = {uint8_t(b.width), uint8_t(b.height), b.format, b.flags};
        seed.insert(seed.end(), b.payload.begin(), b.payload.end());
        save(fam, name, seed);
    }

    // A whole file for the interface targets.
    void file(const std::string& name, const std::vector<uint8_t>& bytes) {
        save("api", name, bytes);
        save("pqz2api", name, bytes);
        save("salvage", name, bytes);
    }

    // An encoder-made image: a family seed and a one-image file.
    void encoded(const std::string& name, const ImageBlock& b) {
        family(b, name);
        PqzWriter w;
        w.imageBlock(b);
        file(name, w.bytes());
    }

  private:
    void save(const std::string& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
        writeFile(out_ + "/" + dir + "/" + name, bytes);
    }

    std::string out_;
};

// Small reference vectors as files, and their small compressed images as family seeds.
void vectorSeeds(SeedWriter& seeds) {
    for (const char* folder :
         {"container", "damaged", "bitstream", "context", "method1", "method2", "mixed"}) {
        const std::string dir = vectorsDir() + "/" + folder;
        DIR* d = opendir(dir.c_str());
        while (dirent* e = d ? readdir(d) : nullptr) {
            const std::string name = e->d_name;
            if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".pqz") != 0) continue;
            const std::string stem = std::string(folder) + "-" + name.substr(0, name.size() - 4);
            const std::vector<uint8_t> bytes = readFile(dir + "/" + name);
            if (bytes.size() <= kApiMaxVector) seeds.file("vector-" + stem, bytes);
            if (std::string(folder) == "damaged") continue;  // family seeds decode fully
            int k = 0;
            for (const ImageBlock& b : imageBlocksOf(bytes))
                seeds.family(b, stem + "-" + std::to_string(k++));
        }
        if (d) closedir(d);
    }
}

// Method-1 images: one plane, interleaved and separate planes, references, tolerances, four
// planes of 32 and 28 bits, a palette image, and the narrowest rows.
void method1Seeds(SeedWriter& seeds, const Picture& grey, const Picture& colour,
                  const Picture& alpha) {
    auto add = [&](const std::string& name, const Picture& p, int tolerance, bool refs,
                   bool separate) {
        seeds.encoded("m1-" + name, encodeMethod1Picture(p, tolerance, refs, separate).block);
    };
    add("grey", crop(grey, 200, 180, 40, 30), 0, false, false);
    add("grey-t4", crop(grey, 100, 300, 23, 17), 4, false, false);
    add("grey-64", crop(grey, 240, 40, 64, 64), 0, false, false);
    for (int w : {1, 2, 3})
        for (int h : {1, 5})
            add("grey-" + std::to_string(w) + "x" + std::to_string(h), crop(grey, 250, 250, w, h),
                0, false, false);
    add("rgb", crop(colour, 180, 100, 21, 14), 0, false, false);
    add("rgb-refs", crop(colour, 300, 200, 24, 16), 0, true, false);
    add("rgb-refs-t2", crop(colour, 120, 60, 17, 11), 2, true, false);
    add("rgb-sep", crop(colour, 260, 120, 16, 16), 0, true, true);
    add("rgba-refs", crop(alpha, 200, 200, 19, 13), 0, true, false);
    add("rgba-sep", crop(alpha, 150, 250, 13, 10), 1, true, true);

    Method1Options two;
    two.separatePlanes = true;
    const Picture pair = crop(colour, 10, 10, 12, 9);
    std::vector<uint8_t> twoPlanes;
    for (size_t j = 0; j < pair.pixels.size(); j += 3)
        twoPlanes.insert(twoPlanes.end(), {pair.pixels[j], pair.pixels[j + 1]});
    seeds.encoded("m1-two-planes",
                  encodeMethod1(twoPlanes.data(), pair.width, pair.height, 2, two).block);

    Method1Options deep;
    deep.bitsPerPixel = 28;
    deep.planes = colourReferencePlanes(4);
    const Picture a28 = crop(alpha, 100, 100, 11, 7);
    const std::vector<uint8_t> stored = toStoredBgr(a28);
    seeds.encoded("m1-28bit", encodeMethod1(stored.data(), a28.width, a28.height, 4, deep).block);

    Method1Options palette;
    palette.grey = false;
    for (int i = 0; i < 256; i++) palette.palette.insert(palette.palette.end(), 3, uint8_t(i));
    const Picture g = crop(grey, 60, 60, 15, 12);
    seeds.encoded("m1-palette",
                  encodeMethod1(g.pixels.data(), g.width, g.height, 1, palette).block);
}

PlaneSpec plane(int order, int method, bool model = false, bool reference = false, int offset = 0,
                int c0 = 0, int c1 = 0, int c2 = 0) {
    return {uint8_t(order), uint8_t(method), model, reference, uint8_t(offset), {c0, c1, c2}};
}

// Bit-stream images: whole images of every depth, each variant with and without the context
// flag, the filters, references of every order, random coder choices with transmitted code
// lengths, and a picture full of copies and zero runs.
void bitstreamSeeds(SeedWriter& seeds, const Picture& grey, const Picture& colour,
                    const Picture& alpha) {
    auto add = [&](const std::string& name, const StoredImage& img, BitstreamImageOptions o) {
        seeds.encoded("bs-" + name, encodeBitstreamImage(img, o, nullptr));
    };
    const Picture g = crop(grey, 180, 120, 37, 23);
    const Picture c = crop(colour, 200, 60, 29, 19);
    BitstreamImageOptions whole;
    whole.planeTable = false;
    for (int bits : {1, 2, 4, 5, 8})
        add("whole-" + std::to_string(bits), storedImage(g, bits), whole);
    for (int bits : {16, 24}) add("whole-" + std::to_string(bits), storedImage(c, bits), whole);
    whole.coder.seed = 5;
    whole.coder.codeLengths = CodeLengthChoice::Random;
    add("whole-random", storedImage(g, 8), whole);
    add("whole-32", storedImage(crop(alpha, 150, 200, 21, 17), 32), whole);

    for (int variant = 0; variant < 4; variant++)
        for (bool context : {false, true}) {
            BitstreamImageOptions o;
            o.separatePlanes = true;
            o.tolerance = variant == 1 ? 5 : 0;
            o.planes = {plane(0, variant, context)};
            o.coder.seed = uint32_t(10 + 2 * variant + context);
            o.coder.codeLengths = context ? CodeLengthChoice::Random : CodeLengthChoice::Fitted;
            add("sep-v" + std::to_string(variant) + (context ? "-ctx" : ""), storedImage(g), o);
        }
    for (int method = 0; method < 4; method++) {
        BitstreamImageOptions o;
        o.tolerance = method == 1 ? 3 : 0;
        o.planes = {plane(0, method, method == 3)};
        add("inter-m" + std::to_string(method), storedImage(g), o);
    }
    BitstreamImageOptions refs;
    refs.planes = {plane(1, 1, false, true), plane(0, 1), plane(2, 1, false, true, 0, 64, 64)};
    add("rgb-refs", storedImage(c), refs);
    refs.separatePlanes = true;
    refs.planes = {plane(1, 2, true, true, 3), plane(0, 1, true),
                   plane(2, 3, true, true, 250, 128, 0)};
    refs.coder.seed = 3;
    add("rgb-sep-refs", storedImage(c), refs);
    BitstreamImageOptions four;
    four.planes = {plane(0, 1), plane(1, 1, false, true), plane(2, 1, false, true, 0, 64, 64),
                   plane(3, 1, false, true, 255, 20, 30, 70)};
    four.separatePlanes = true;
    add("rgba-order3", storedImage(crop(alpha, 200, 180, 18, 15), 32), four);

    BitstreamImageOptions copies;
    copies.separatePlanes = true;
    for (int variant : {0, 2}) {
        copies.planes = {plane(0, variant)};
        add("copies-v" + std::to_string(variant), storedImage(repetitivePicture(64, 64, 7)),
            copies);
    }
}

// Context-model images: whole images of depths 1 to 32 without a plane table, the whole image
// with a plane table, separate planes, and random coding choices.
void contextSeeds(SeedWriter& seeds, const Picture& grey, const Picture& colour,
                  const Picture& alpha) {
    auto add = [&](const std::string& name, int width, int height, uint8_t format,
                   const std::vector<uint8_t>& pixels, const ContextImageOptions& o) {
        const ContextImageResult r = encodeContextImage(width, height, format, pixels, o);
        if (r.ok) seeds.encoded("cm-" + name, r.block);
    };
    const Picture g = crop(grey, 200, 140, 33, 21);
    ContextImageOptions whole;
    for (int bits : {1, 2, 3, 4, 6, 8}) {
        const StoredImage img = storedImage(g, bits);
        add("grey-" + std::to_string(bits), img.width, img.height, img.format, img.data, whole);
    }
    for (int bits : {16, 24}) {
        const StoredImage img = storedImage(crop(colour, 90, 140, 23, 17), bits);
        add("whole-" + std::to_string(bits), img.width, img.height, img.format, img.data, whole);
    }
    const StoredImage a = storedImage(crop(alpha, 180, 200, 19, 14), 32);
    add("whole-32", a.width, a.height, a.format, a.data, whole);
    ContextImageOptions random;
    random.coding.seed = 9;
    const StoredImage g8 = storedImage(crop(grey, 30, 300, 40, 31), 8);
    add("grey-random", g8.width, g8.height, g8.format, g8.data, random);
    ContextImageOptions bytes;
    bytes.coding.forceBytePlanes = true;
    const StoredImage c16 = storedImage(crop(colour, 300, 300, 17, 9), 16);
    add("byte-planes", c16.width, c16.height, c16.format, c16.data, bytes);
    ContextImageOptions table;
    table.route = ContextRoute::kOneGoWithTable;
    add("table", g8.width, g8.height, g8.format, g8.data, table);
    ContextImageOptions separate;
    separate.route = ContextRoute::kSeparatePlanes;
    const StoredImage c24 = storedImage(crop(colour, 250, 250, 26, 18), 24);
    add("separate-24", c24.width, c24.height, c24.format, c24.data, separate);
    add("separate-32", a.width, a.height, a.format, a.data, separate);
}

// Method-2 images: one plane with and without the grey bit, interleaved and separate colour
// planes with references and tolerances, four planes of 32 and 28 bits, the long zero symbol,
// and the narrowest rows.
void method2Seeds(SeedWriter& seeds, const Picture& grey, const Picture& colour,
                  const Picture& alpha) {
    auto add = [&](const std::string& name, const Method2Image& image) {
        const Method2Payload p = encodeMethod2Image(image);
        if (!p.slotOverflow) seeds.encoded("m2-" + name, p.block);
    };
    auto image = [](const Picture& p, int bits) {
        Method2Image m;
        m.width = uint16_t(p.width);
        m.height = uint16_t(p.height);
        m.bitsPerPixel = bits;
        m.grey = p.channels == 1;
        m.pixels = p.channels == 1 ? p.pixels : toStoredBgr(p);
        return m;
    };
    Method2Image g = image(crop(grey, 210, 170, 38, 27), 8);
    add("grey", g);
    g.tolerance = 3;
    g.longZeroEvery = 3;
    add("grey-t3-long-zero", g);
    g = image(crop(grey, 100, 100, 64, 64), 8);
    add("grey-64", g);
    g.grey = false;
    g.width = g.height = 13;
    g.pixels.resize(13 * 13);
    add("plain-8", g);
    for (int w : {1, 2, 3})
        for (int h : {1, 4})
            add("grey-" + std::to_string(w) + "x" + std::to_string(h),
                image(crop(grey, 260, 260, w, h), 8));

    Method2Image c = image(crop(colour, 190, 110, 22, 15), 24);
    add("rgb", c);
    c.planes = colourReferencePlanes(3);
    c.tolerance = 1;
    add("rgb-refs-t1", c);
    c.separate = true;
    add("rgb-sep-refs", c);
    Method2Image a = image(crop(alpha, 210, 190, 17, 12), 32);
    a.planes = colourReferencePlanes(4);
    add("rgba-refs", a);
    a.separate = true;
    a.tolerance = 2;
    add("rgba-sep", a);
    a.separate = false;
    a.bitsPerPixel = 28;
    a.tolerance = 0;
    add("28bit", a);
}

// A file of several codecs with extra blocks and auxiliary headers around them.
void mixedFile(SeedWriter& seeds, const Picture& grey, const Picture& colour) {
    PqzWriter w;
    w.extraBlock(7, {1, 2, 3, 4, 5});
    ImageBlock g = encodeMethod1Picture(crop(grey, 30, 40, 12, 8), 0).block;
    g.aux = std::make_pair(uint32_t(100), std::vector<uint8_t>{9, 8, 7});
    w.imageBlock(g);
    ImageBlock raw;
    raw.width = 5;
    raw.height = 3;
    raw.format = 0x48;
    raw.payload.assign(15, 0x55);
    w.imageBlock(raw);
    w.extraBlock(8, {});
    w.imageBlock(encodeMethod1Picture(crop(colour, 50, 50, 9, 6), 3, true).block);
    w.imageBlock(encodeBitstreamImage(storedImage(crop(colour, 70, 90, 11, 7)), {}, nullptr));
    w.imageBlock(encodeMethod2Picture(crop(grey, 110, 90, 8, 6)).block);
    const StoredImage g4 = storedImage(crop(grey, 90, 90, 13, 5), 4);
    w.imageBlock(encodeContextImage(g4.width, g4.height, g4.format, g4.data).block);
    seeds.file("mixed", w.bytes());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds OUTPUT_DIR\n");
        return 2;
    }
    SeedWriter seeds(argv[1]);
    const Picture grey = loadImage("camera.png");
    const Picture colour = loadImage("astronaut.png");
    const Picture alpha = loadImage("logo.png");
    vectorSeeds(seeds);
    method1Seeds(seeds, grey, colour, alpha);
    bitstreamSeeds(seeds, grey, colour, alpha);
    contextSeeds(seeds, grey, colour, alpha);
    method2Seeds(seeds, grey, colour, alpha);
    mixedFile(seeds, grey, colour);
    return 0;
}
