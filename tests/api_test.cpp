// The decoding API: the same bytes from a path, memory and callbacks, the block walk over whole
// and damaged files, misuse of every kind, limits, cancelling, and two files in two threads.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "reader/inspect.h"
#include "tests/api_test_support.h"
#include "tests/encoder/test_images.h"
#include "tests/test_support.h"

namespace pqz {
namespace {

using enc::ImageBlock;
using enc::PqzWriter;
using test::ApiFile;

using test::rawGrey;

// Callbacks over a byte vector; sizeKnown false hides the size.
struct VectorIo {
    const std::vector<uint8_t>* bytes;
    uint64_t position = 0;
    bool sizeKnown = true;

    static int64_t read(void* user, void* buffer, size_t size) {
        auto* io = static_cast<VectorIo*>(user);
        const uint64_t left =
            io->position < io->bytes->size() ? io->bytes->size() - io->position : 0;
        const size_t n = size < left ? size : size_t(left);
        if (n) std::memcpy(buffer, io->bytes->data() + io->position, n);
        io->position += n;
        return int64_t(n);
    }
    static int seek(void* user, uint64_t position) {
        static_cast<VectorIo*>(user)->position = position;
        return 0;
    }
    static int64_t size(void* user) {
        auto* io = static_cast<VectorIo*>(user);
        return io->sizeKnown ? int64_t(io->bytes->size()) : -1;
    }
    pqz2_io callbacks() { return {&read, &seek, &size, this}; }
};

// Everything the API tells about a file, block by block, as bytes.
std::vector<uint8_t> transcript(pqz2_file* f) {
    std::vector<uint8_t> out;
    auto put = [&](const void* p, size_t n) {
        out.insert(out.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
    };
    for (int step = 0; step < 1000; step++) {
        pqz2_block b;
        const pqz2_status s = pqz2_next_block(f, &b);
        put(&s, sizeof s);
        if (s != PQZ2_OK) break;
        put(&b, sizeof b);
        size_t needed = 0;
        if (b.kind == PQZ2_BLOCK_EXTRA) {
            std::vector<uint8_t> data(size_t(b.extra_size));
            EXPECT_EQ(pqz2_extra_data(f, data.data(), data.size(), &needed), PQZ2_OK);
            put(data.data(), data.size());
            continue;
        }
        pqz2_image_info info;
        EXPECT_EQ(pqz2_image_info_get(f, &info), PQZ2_OK);
        put(&info, sizeof info);
        pqz2_aux_data(f, nullptr, 0, &needed);
        std::vector<uint8_t> aux(needed);
        EXPECT_EQ(pqz2_aux_data(f, aux.data(), aux.size(), nullptr), PQZ2_OK);
        put(aux.data(), aux.size());
        for (pqz2_format format : {PQZ2_FORMAT_NATIVE, PQZ2_FORMAT_RGBA8}) {
            pqz2_status ds;
            const std::vector<uint8_t> px = test::decodeTo(f, format, &ds);
            put(&ds, sizeof ds);
            put(px.data(), px.size());
        }
    }
    return out;
}

TEST(Api, PathMemoryAndCallbacksGiveIdenticalBytes) {
    const std::string v = enc::vectorsDir();
    for (const std::string& path :
         {v + "/mixed/codecs.pqz", v + "/container/palette-sequence.pqz",
          v + "/container/aux-and-extra.pqz", v + "/damaged/trunc-palette.pqz",
          std::string(PQZ2_SOURCE_DIR) + "/samples/TestFile.pqz"}) {
        SCOPED_TRACE(path);
        const std::vector<uint8_t> bytes = enc::readFile(path);
        ApiFile a, b, c, d;
        ASSERT_EQ(pqz2_open_path(a, path.c_str()), PQZ2_OK);
        ASSERT_EQ(pqz2_open_memory(b, bytes.data(), bytes.size()), PQZ2_OK);
        VectorIo sized{&bytes}, unsized{&bytes, 0, false};
        const pqz2_io io1 = sized.callbacks(), io2 = unsized.callbacks();
        ASSERT_EQ(pqz2_open_io(c, &io1), PQZ2_OK);
        ASSERT_EQ(pqz2_open_io(d, &io2), PQZ2_OK);
        const std::vector<uint8_t> fromPath = transcript(a);
        EXPECT_GT(fromPath.size(), 1000u);
        EXPECT_TRUE(transcript(b) == fromPath);
        EXPECT_TRUE(transcript(c) == fromPath);
        EXPECT_TRUE(transcript(d) == fromPath);
        // A rewind walks the same way again.
        ASSERT_EQ(pqz2_rewind(b), PQZ2_OK);
        EXPECT_TRUE(transcript(b) == fromPath);
    }
}

TEST(Api, WalkOverBlocksExtraDataAuxSeekAndInheritedPalettes) {
    PqzWriter w;
    w.extraBlock(7, {1, 2, 3, 4, 5});
    ImageBlock pal = rawGrey(3, 2, 1);
    pal.format = 2 | 0x80;  // 2 bits with palette: 4 entries, blue, green, red
    pal.payload.assign(2, 0x1B);
    pal.palette = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120};
    pal.aux = std::make_pair(9u, std::vector<uint8_t>{4, 3, 2});
    w.imageBlock(pal);
    ImageBlock plain = pal;
    plain.format = 2;
    plain.palette.clear();
    plain.aux.reset();
    w.imageBlock(plain);
    const std::vector<uint8_t> bytes = w.bytes();
    ApiFile f;
    ASSERT_EQ(pqz2_open_memory(f, bytes.data(), bytes.size()), PQZ2_OK);
    pqz2_block b;
    ASSERT_EQ(pqz2_next_block(f, &b), PQZ2_OK);
    EXPECT_EQ(b.kind, PQZ2_BLOCK_EXTRA);
    EXPECT_EQ(b.extra_type, 7u);
    EXPECT_EQ(b.size, 17u);
    uint8_t data[8];
    size_t needed = 0;
    EXPECT_EQ(pqz2_extra_data(f, data, 4, &needed), PQZ2_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, 5u);
    EXPECT_EQ(pqz2_extra_data(f, data, sizeof data, nullptr), PQZ2_OK);
    EXPECT_EQ(data[4], 5);
    pqz2_image_info info;
    EXPECT_EQ(pqz2_image_info_get(f, &info), PQZ2_ERR_ORDER);  // an extra block is current
    EXPECT_NE(std::string(pqz2_message(f)).find("block 0"), std::string::npos);

    ASSERT_EQ(pqz2_next_block(f, &b), PQZ2_OK);
    EXPECT_EQ(b.image_index, 0);
    EXPECT_EQ(b.offset, 17u);
    ASSERT_EQ(pqz2_image_info_get(f, &info), PQZ2_OK);
    EXPECT_EQ(info.colour, PQZ2_COLOUR_PALETTE);
    EXPECT_EQ(info.palette_entries, 4u);
    EXPECT_EQ(info.palette_inherited, 0);
    EXPECT_EQ(info.palette[1][0], 60);  // red of entry 1
    EXPECT_EQ(info.aux_type, 9u);
    EXPECT_EQ(pqz2_aux_data(f, data, sizeof data, &needed), PQZ2_OK);
    EXPECT_EQ(needed, 3u);
    EXPECT_EQ(pqz2_extra_data(f, data, sizeof data, nullptr), PQZ2_ERR_ORDER);
    pqz2_status s;
    EXPECT_EQ(test::decodeTo(f, PQZ2_FORMAT_INDEX8, &s), (std::vector<uint8_t>{0, 1, 2, 0, 1, 2}));

    ASSERT_EQ(pqz2_next_block(f, &b), PQZ2_OK);
    ASSERT_EQ(pqz2_image_info_get(f, &info), PQZ2_OK);
    EXPECT_EQ(info.palette_inherited, 1);
    EXPECT_EQ(info.palette[3][2], 100);  // blue of entry 3 from the image before
    EXPECT_EQ(pqz2_next_block(f, &b), PQZ2_END);
    EXPECT_EQ(pqz2_next_block(f, &b), PQZ2_END);
    EXPECT_EQ(pqz2_image_info_get(f, &info), PQZ2_ERR_ORDER);  // no block after the end

    // Seeking straight to the last image still knows the palette before it.
    ASSERT_EQ(pqz2_seek_block(f, 2, &b), PQZ2_OK);
    ASSERT_EQ(pqz2_image_info_get(f, &info), PQZ2_OK);
    EXPECT_EQ(info.palette[3][2], 100);
    EXPECT_EQ(pqz2_seek_block(f, 3, &b), PQZ2_END);
}

// The colours an image without a palette takes are those the bitmaps of the ten functions show:
// palettes of grey images pass on only at 2 bits, a 2-bit palette with 12 black entries.
TEST(Api, InheritedPalettesMatchTheReferenceBitmaps) {
    int inherited = 0;
    for (const char* name : {"palette-sequence", "raw-1bit", "raw-2bit", "raw-4bit", "raw-8bit"}) {
        const std::string base = enc::vectorsDir() + "/container/" + name;
        const std::vector<uint8_t> bytes = enc::readFile(base + ".pqz");
        ApiFile f;
        ASSERT_EQ(pqz2_open_memory(f, bytes.data(), bytes.size()), PQZ2_OK);
        pqz2_block b;
        while (pqz2_next_block(f, &b) == PQZ2_OK) {
            SCOPED_TRACE(base + " image " + std::to_string(b.image_index));
            pqz2_image_info info;
            ASSERT_EQ(pqz2_image_info_get(f, &info), PQZ2_OK);
            if (info.colour != PQZ2_COLOUR_PALETTE) continue;
            inherited += info.palette_inherited;
            const std::vector<uint8_t> dib =
                enc::readFile(base + "." + std::to_string(b.image_index) + ".dib");
            ASSERT_GE(dib.size(), 40 + 4 * size_t(info.palette_entries));
            for (uint32_t i = 0; i < info.palette_entries; i++) {
                const uint8_t* e = &dib[40 + 4 * i];  // blue, green, red, 0
                EXPECT_EQ(std::vector<uint8_t>(info.palette[i], info.palette[i] + 3),
                          (std::vector<uint8_t>{e[2], e[1], e[0]}))
                    << "entry " << i;
            }
        }
    }
    EXPECT_EQ(inherited, 17);
}

TEST(Api, DamagedBlocksAreReportedWhereTheyBreakAndAgainWhenAsked) {
    PqzWriter w;
    w.imageBlock(rawGrey(4, 2, 9));
    ImageBlock cut = rawGrey(100, 100, 3);
    cut.payload.resize(50);
    cut.payloadSizeField = 10000;
    w.imageBlock(cut);
    const std::vector<uint8_t> bytes = w.bytes();
    ApiFile f;
    ASSERT_EQ(pqz2_open_memory(f, bytes.data(), bytes.size()), PQZ2_OK);
    pqz2_block b;
    ASSERT_EQ(pqz2_next_block(f, &b), PQZ2_OK);
    for (int again = 0; again < 2; again++) {
        EXPECT_EQ(pqz2_next_block(f, &b), PQZ2_ERR_DAMAGED);
        EXPECT_EQ(b.damage, PQZ2_DAMAGE_PAYLOAD);
        EXPECT_EQ(b.kind, PQZ2_BLOCK_IMAGE);
        EXPECT_EQ(b.index, 1u);
        EXPECT_EQ(b.offset, 28u);
        EXPECT_NE(std::string(pqz2_message(f)).find("block 1 (image 1) at byte offset 28"),
                  std::string::npos)
            << pqz2_message(f);
    }
    // The cut image's information is there; its pixels are not.
    pqz2_image_info info;
    ASSERT_EQ(pqz2_image_info_get(f, &info), PQZ2_OK);
    EXPECT_EQ(info.width, 100u);
    std::vector<uint8_t> px(10000);
    EXPECT_EQ(pqz2_decode(f, PQZ2_FORMAT_NATIVE, px.data(), px.size(), 0, nullptr),
              PQZ2_ERR_DAMAGED);

    // Bytes that are no block, and too few bytes for a tag.
    for (const auto& [tail, damage] :
         {std::make_pair(std::vector<uint8_t>{1, 2, 3, 4, 5}, PQZ2_DAMAGE_NO_TAG),
          std::make_pair(std::vector<uint8_t>{0x81, 0x8A}, PQZ2_DAMAGE_TAG_CUT)}) {
        PqzWriter t;
        t.imageBlock(rawGrey(1, 1, 0));
        t.rawBytes(tail);
        ApiFile g;
        ASSERT_EQ(pqz2_open_memory(g, t.bytes().data(), t.bytes().size()), PQZ2_OK);
        ASSERT_EQ(pqz2_next_block(g, &b), PQZ2_OK);
        EXPECT_EQ(pqz2_next_block(g, &b), PQZ2_ERR_DAMAGED);
        EXPECT_EQ(b.damage, damage);
        EXPECT_EQ(b.kind, PQZ2_BLOCK_NONE);
        EXPECT_EQ(pqz2_image_info_get(g, &info), PQZ2_ERR_ORDER);
    }
    // A raw payload a byte short of the rows is refused before the image is allocated; the walk
    // passes over it.
    PqzWriter r;
    ImageBlock shortRaw = rawGrey(60000, 60000, 0);
    shortRaw.payload.assign(1000, 1);
    r.imageBlock(shortRaw);
    r.imageBlock(rawGrey(1, 1, 0));
    ApiFile h;
    ASSERT_EQ(pqz2_open_memory(h, r.bytes().data(), r.bytes().size()), PQZ2_OK);
    ASSERT_EQ(pqz2_next_block(h, &b), PQZ2_OK);
    void* pixels = nullptr;
    size_t stride = 0;
    EXPECT_EQ(pqz2_decode_alloc(h, PQZ2_FORMAT_NATIVE, &pixels, &stride, nullptr), PQZ2_ERR_LIMIT);
    pqz2_options big;
    pqz2_options_init(&big);
    big.max_pixels = big.max_memory = UINT64_MAX;
    ApiFile unlimited(&big);
    ASSERT_EQ(pqz2_open_memory(unlimited, r.bytes().data(), r.bytes().size()), PQZ2_OK);
    ASSERT_EQ(pqz2_next_block(unlimited, &b), PQZ2_OK);
    uint8_t one = 0;
    EXPECT_EQ(pqz2_decode(unlimited, PQZ2_FORMAT_NATIVE, &one, SIZE_MAX, 0, nullptr),
              PQZ2_ERR_DAMAGED);  // would need 3.6 GB: refused first
    EXPECT_NE(std::string(pqz2_message(unlimited)).find("raw payload"), std::string::npos);
    EXPECT_EQ(pqz2_next_block(unlimited, &b), PQZ2_OK);

    ApiFile g;
    const uint8_t junk[] = {1, 2, 3, 4};
    EXPECT_EQ(pqz2_open_memory(g, junk, sizeof junk), PQZ2_ERR_NOT_PQZ);
    EXPECT_EQ(pqz2_open_memory(g, junk, 0), PQZ2_OK);  // no blocks at all
    EXPECT_EQ(pqz2_next_block(g, &b), PQZ2_END);
}

// The block listing walks the same way: a cut block is listed and named with its offset.
TEST(Listing, BlocksCutShortAreListedAndNamed) {
    test::TempDir dir;
    for (const bool auxCut : {false, true}) {
        PqzWriter w;
        w.extraBlock(3, {1, 2});
        ImageBlock cut = rawGrey(10, 10, 1);
        if (auxCut) {
            cut.aux = std::make_pair(5u, std::vector<uint8_t>{1, 2, 3});
            cut.auxSizeField = 500;
        } else {
            cut.payloadSizeField = 120;
        }
        w.imageBlock(cut);
        std::vector<BlockInfo> blocks;
        std::string problem;
        EXPECT_FALSE(listBlocks(test::writeTemp(dir, w.bytes()), &blocks, &problem));
        ASSERT_EQ(blocks.size(), 2u);
        EXPECT_EQ(blocks[1].offset, 14u);
        EXPECT_EQ(blocks[1].hasAux, auxCut);
        EXPECT_EQ(problem, auxCut ? "image 0 at offset 14 announces 600 bytes, 103 remain"
                                  : "image 0 at offset 14 announces 120 bytes, 100 remain");
    }
}

TEST(Api, MisuseGetsAStatusNeverACrash) {
    pqz2_block b;
    pqz2_image_info info{};
    void* pixels = nullptr;
    size_t stride = 0;
    EXPECT_EQ(pqz2_open_path(nullptr, "x"), PQZ2_ERR_ARGUMENT);
    EXPECT_EQ(pqz2_open_memory(nullptr, "", 0), PQZ2_ERR_ARGUMENT);
    EXPECT_EQ(pqz2_open_io(nullptr, nullptr), PQZ2_ERR_ARGUMENT);
    EXPECT_EQ(pqz2_close(nullptr), PQZ2_ERR_ARGUMENT);
    EXPECT_EQ(pqz2_next_block(nullptr, &b), PQZ2_ERR_ARGUMENT);
    EXPECT_EQ(pqz2_rewind(nullptr), PQZ2_ERR_ARGUMENT);
    EXPECT_EQ(pqz2_seek_block(nullptr, 0, &b), PQZ2_ERR_ARGUMENT);
    EXPECT_EQ(pqz2_extra_data(nullptr, nullptr, 0, nullptr), PQZ2_ERR_ARGUMENT);
    EXPECT_EQ(pqz2_aux_data(nullptr, nullptr, 0, nullptr), PQZ2_ERR_ARGUMENT);
    EXPECT_EQ(pqz2_image_info_get(nullptr, &info), PQZ2_ERR_ARGUMENT);
    EXPECT_EQ(pqz2_decode(nullptr, PQZ2_FORMAT_NATIVE, &b, 1, 0, nullptr), PQZ2_ERR_ARGUMENT);
    EXPECT_EQ(pqz2_decode_alloc(nullptr, PQZ2_FORMAT_NATIVE, &pixels, &stride, nullptr),
              PQZ2_ERR_ARGUMENT);
    EXPECT_NE(pqz2_message(nullptr), nullptr);
    EXPECT_EQ(pqz2_min_stride(nullptr, PQZ2_FORMAT_NATIVE), 0u);
    EXPECT_NE(pqz2_format_loss(nullptr, PQZ2_FORMAT_NATIVE), nullptr);
    pqz2_destroy(nullptr);
    pqz2_free(nullptr);
    pqz2_options_init(nullptr);
    for (int s = 0; s < 40; s++) EXPECT_NE(pqz2_status_text(pqz2_status(s)), nullptr);

    ApiFile f;
    // Nothing open yet.
    EXPECT_EQ(pqz2_next_block(f, &b), PQZ2_ERR_ORDER);
    EXPECT_EQ(pqz2_image_info_get(f, &info), PQZ2_ERR_ORDER);
    EXPECT_EQ(pqz2_close(f), PQZ2_ERR_ORDER);
    EXPECT_EQ(pqz2_open_path(f, nullptr), PQZ2_ERR_ARGUMENT);
    EXPECT_EQ(pqz2_open_path(f, "/nonexistent/file.pqz"), PQZ2_ERR_IO);
    EXPECT_NE(std::string(pqz2_message(f)).find("/nonexistent/file.pqz"), std::string::npos);
    EXPECT_EQ(pqz2_open_memory(f, nullptr, 5), PQZ2_ERR_ARGUMENT);
    const pqz2_io noRead{nullptr, nullptr, nullptr, nullptr};
    EXPECT_EQ(pqz2_open_io(f, &noRead), PQZ2_ERR_ARGUMENT);

    PqzWriter w;
    w.extraBlock(1, {1});
    w.imageBlock(rawGrey(5, 3, 200));
    const std::vector<uint8_t> bytes = w.bytes();
    ASSERT_EQ(pqz2_open_memory(f, bytes.data(), bytes.size()), PQZ2_OK);
    EXPECT_EQ(pqz2_open_memory(f, bytes.data(), bytes.size()), PQZ2_ERR_ORDER);  // already open
    std::vector<uint8_t> buf(64);
    EXPECT_EQ(pqz2_decode(f, PQZ2_FORMAT_NATIVE, buf.data(), buf.size(), 0, nullptr),
              PQZ2_ERR_ORDER);  // no current block
    EXPECT_EQ(pqz2_next_block(f, nullptr), PQZ2_ERR_ARGUMENT);
    ASSERT_EQ(pqz2_next_block(f, &b), PQZ2_OK);
    EXPECT_EQ(pqz2_decode(f, PQZ2_FORMAT_NATIVE, buf.data(), buf.size(), 0, nullptr),
              PQZ2_ERR_ORDER);  // an extra block
    EXPECT_EQ(pqz2_aux_data(f, buf.data(), buf.size(), nullptr), PQZ2_ERR_ORDER);
    ASSERT_EQ(pqz2_next_block(f, &b), PQZ2_OK);
    EXPECT_EQ(pqz2_image_info_get(f, nullptr), PQZ2_ERR_ARGUMENT);
    EXPECT_EQ(pqz2_decode(f, PQZ2_FORMAT_NATIVE, nullptr, 15, 0, nullptr), PQZ2_ERR_ARGUMENT);
    EXPECT_EQ(pqz2_decode(f, pqz2_format(99), buf.data(), buf.size(), 0, nullptr),
              PQZ2_ERR_ARGUMENT);
    EXPECT_EQ(pqz2_decode(f, PQZ2_FORMAT_INDEX8, buf.data(), buf.size(), 0, nullptr),
              PQZ2_ERR_FORMAT);
    EXPECT_EQ(pqz2_decode(f, PQZ2_FORMAT_NATIVE, buf.data(), buf.size(), 4, nullptr),
              PQZ2_ERR_BUFFER_TOO_SMALL);  // stride below a row
    EXPECT_EQ(pqz2_decode(f, PQZ2_FORMAT_NATIVE, buf.data(), 14, 0, nullptr),
              PQZ2_ERR_BUFFER_TOO_SMALL);  // one byte short
    EXPECT_EQ(pqz2_decode(f, PQZ2_FORMAT_RGBA8, buf.data(), 59, 0, nullptr),
              PQZ2_ERR_BUFFER_TOO_SMALL);  // 60 bytes needed
    EXPECT_EQ(pqz2_decode_alloc(f, PQZ2_FORMAT_NATIVE, nullptr, &stride, nullptr),
              PQZ2_ERR_ARGUMENT);
    // After all that the image decodes; the last row may end the buffer exactly.
    pqz2_decode_result result;
    EXPECT_EQ(pqz2_decode(f, PQZ2_FORMAT_NATIVE, buf.data(), 6 * 2 + 5, 6, &result), PQZ2_OK);
    EXPECT_EQ(result.good_rows, 3u);
    EXPECT_STREQ(pqz2_message(f), "");
    ASSERT_EQ(pqz2_decode_alloc(f, PQZ2_FORMAT_RGB8, &pixels, &stride, nullptr), PQZ2_OK);
    EXPECT_EQ(stride, 15u);
    EXPECT_EQ(static_cast<uint8_t*>(pixels)[44], 200);
    pqz2_free(pixels);
    // A closed file.
    EXPECT_EQ(pqz2_close(f), PQZ2_OK);
    EXPECT_EQ(pqz2_decode(f, PQZ2_FORMAT_NATIVE, buf.data(), buf.size(), 0, nullptr),
              PQZ2_ERR_ORDER);
    EXPECT_EQ(pqz2_rewind(f), PQZ2_ERR_ORDER);
    EXPECT_EQ(pqz2_next_block(f, &b), PQZ2_ERR_ORDER);
    EXPECT_EQ(pqz2_open_memory(f, bytes.data(), bytes.size()), PQZ2_OK);  // and open again
    EXPECT_EQ(pqz2_seek_block(f, 1, &b), PQZ2_OK);
}

TEST(Api, LimitsRefuseWithTheirOwnStatusAndSayWhich) {
    PqzWriter w;
    w.imageBlock(rawGrey(300, 200, 5));
    const std::vector<uint8_t> bytes = w.bytes();
    std::vector<uint8_t> buf(60000);
    for (int which = 0; which < 2; which++) {
        pqz2_options o;
        pqz2_options_init(&o);
        EXPECT_EQ(o.max_pixels, uint64_t(1) << 28);
        (which ? o.max_memory : o.max_pixels) = which ? 50000 : 59999;
        ApiFile f(&o);
        ASSERT_EQ(pqz2_open_memory(f, bytes.data(), bytes.size()), PQZ2_OK);
        pqz2_block b;
        ASSERT_EQ(pqz2_next_block(f, &b), PQZ2_OK);
        EXPECT_EQ(pqz2_decode(f, PQZ2_FORMAT_NATIVE, buf.data(), buf.size(), 0, nullptr),
                  PQZ2_ERR_LIMIT);
        EXPECT_NE(std::string(pqz2_message(f)).find(which ? "max_memory" : "max_pixels"),
                  std::string::npos);
        void* pixels = &b;
        size_t stride = 1;
        EXPECT_EQ(pqz2_decode_alloc(f, PQZ2_FORMAT_NATIVE, &pixels, &stride, nullptr),
                  PQZ2_ERR_LIMIT);
        EXPECT_EQ(pixels, nullptr);
    }
    // Exactly at the limit is allowed.
    pqz2_options o;
    pqz2_options_init(&o);
    o.max_pixels = 60000;
    ApiFile f(&o);
    ASSERT_EQ(pqz2_open_memory(f, bytes.data(), bytes.size()), PQZ2_OK);
    pqz2_block b;
    ASSERT_EQ(pqz2_next_block(f, &b), PQZ2_OK);
    EXPECT_EQ(pqz2_decode(f, PQZ2_FORMAT_NATIVE, buf.data(), buf.size(), 0, nullptr), PQZ2_OK);
}

struct Calls {
    int stopAt = -1;  // call number that asks to stop
    int calls = 0;
    uint64_t lastDone = 0, lastTotal = 0;
    bool monotonic = true;
};

int onProgress(void* user, uint64_t done, uint64_t total) {
    auto* c = static_cast<Calls*>(user);
    if (done < c->lastDone || done > total) c->monotonic = false;
    c->lastDone = done;
    c->lastTotal = total;
    return c->calls++ == c->stopAt;
}

TEST(Api, ProgressReportsRowsAndCancelLeavesTheFileUsable) {
    const std::vector<uint8_t> bytes = enc::readFile(enc::vectorsDir() + "/mixed/codecs.pqz");
    Calls calls;
    pqz2_options o;
    pqz2_options_init(&o);
    o.progress = &onProgress;
    o.progress_user = &calls;
    ApiFile f(&o);
    ASSERT_EQ(pqz2_open_memory(f, bytes.data(), bytes.size()), PQZ2_OK);
    pqz2_block b;
    do ASSERT_EQ(pqz2_next_block(f, &b), PQZ2_OK);
    while (b.kind != PQZ2_BLOCK_IMAGE);
    pqz2_status s;
    const std::vector<uint8_t> whole = test::decodeTo(f, PQZ2_FORMAT_NATIVE, &s);
    ASSERT_EQ(s, PQZ2_OK);
    const int callsPerDecode = calls.calls;
    EXPECT_GE(callsPerDecode, 2);
    EXPECT_TRUE(calls.monotonic);
    EXPECT_EQ(calls.lastDone, calls.lastTotal);
    // Stopping at each call before the last: cancelled, then the same image decodes whole.
    for (int stop = 0; stop < callsPerDecode - 1; stop++) {
        calls = Calls{stop};
        test::decodeTo(f, PQZ2_FORMAT_NATIVE, &s);
        EXPECT_EQ(s, PQZ2_ERR_CANCELLED) << stop;
        calls = Calls{};
        EXPECT_TRUE(test::decodeTo(f, PQZ2_FORMAT_NATIVE, &s) == whole);
        EXPECT_EQ(s, PQZ2_OK);
    }
    EXPECT_EQ(pqz2_next_block(f, &b), PQZ2_OK);  // the walk goes on
}

TEST(ThreadsApi, TwoFilesDecodeInTwoThreadsAsInOne) {
    const std::string v = enc::vectorsDir();
    const std::vector<std::vector<uint8_t>> files = {
        enc::readFile(v + "/method1/sep-t1.pqz"), enc::readFile(v + "/method2/rgb-t1.pqz"),
        enc::readFile(v + "/context/sep24-tol5.pqz"),
        enc::readFile(v + "/bitstream/small-widths.pqz")};
    auto walk = [](const std::vector<uint8_t>& bytes) {
        ApiFile f;
        EXPECT_EQ(pqz2_open_memory(f, bytes.data(), bytes.size()), PQZ2_OK);
        return transcript(f);
    };
    std::vector<std::vector<uint8_t>> expected;
    for (const auto& file : files) expected.push_back(walk(file));
    std::vector<std::vector<uint8_t>> got(2 * files.size());
    std::thread one([&] {
        for (size_t i = 0; i < files.size(); i++) got[i] = walk(files[i]);
    });
    std::thread two([&] {
        for (size_t i = 0; i < files.size(); i++)
            got[files.size() + i] = walk(files[files.size() - 1 - i]);
    });
    one.join();
    two.join();
    for (size_t i = 0; i < files.size(); i++) {
        EXPECT_TRUE(got[i] == expected[i]) << i;
        EXPECT_TRUE(got[files.size() + i] == expected[files.size() - 1 - i]) << i;
    }
}

TEST(Api, VersionAndExportedSymbols) {
    EXPECT_EQ(pqz2_version(), 20000u);
    EXPECT_STREQ(pqz2_version_text(), "2.0.0");
    const test::ProcessRun r = test::runProcess(std::string("nm -D --defined-only '") +
                                                PQZ2_API_LIBRARY_PATH + "' | awk '{print $3}'");
    const std::vector<uint8_t> text = enc::readFile(std::string(PQZ2_SOURCE_DIR) + "/api/pqz2.h");
    const std::string header(text.begin(), text.end());
    size_t count = 0, start = 0;
    for (size_t end; (end = r.out.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string name = r.out.substr(start, end - start);
        EXPECT_NE(header.find(" " + name + "("), std::string::npos) << name;
        count++;
    }
    EXPECT_EQ(count, 22u) << r.out;
}

}  // namespace
}  // namespace pqz
