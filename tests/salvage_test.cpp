// Salvage through the decoding API: damaged multi-image files made by the test encoders (every
// coding family, extra blocks and an auxiliary header between them). Cut files must give the
// images in front of the cut whole and the cut image's kept rows exactly as the whole file gives
// them; damaged headers and sizes must be walked past to the same blocks behind them, with the
// bytes passed over reported; bytes that merely look like blocks must not be taken for blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "api/pqz2.h"
#include "tests/api_test_support.h"
#include "tests/encoder/pqz_writer.h"
#include "tests/support/every_family_file.h"

namespace pqz {
namespace {

using Bytes = std::vector<uint8_t>;
using test::ApiFile;

constexpr int kMaxSteps = 512;

// One step of a walk: the block and, for images, the decode in the stored layout.
struct Seen {
    pqz2_status status = PQZ2_OK;
    pqz2_block block{};
    pqz2_status decoded = PQZ2_OK;
    pqz2_decode_result result{};
    uint32_t height = 0;
    size_t rowBytes = 0;
    Bytes pixels;
};

struct Walk {
    pqz2_status open = PQZ2_OK;
    std::vector<Seen> blocks;  // every step before the end (or the first repeated damage)
    pqz2_block end{};          // the block filled by the call that returned PQZ2_END
};

void decodeImage(pqz2_file* f, Seen* s) {
    pqz2_image_info info;
    ASSERT_EQ(pqz2_image_info_get(f, &info), PQZ2_OK) << pqz2_message(f);
    if (uint64_t(info.width) * info.height > (1u << 20)) return;  // false blocks only
    s->height = info.height;
    s->rowBytes = pqz2_min_stride(&info, PQZ2_FORMAT_NATIVE);
    s->pixels.assign(s->rowBytes * info.height, 0xEE);  // rows not kept must come back zero
    s->decoded = pqz2_decode(f, PQZ2_FORMAT_NATIVE, s->pixels.data(), s->pixels.size(), s->rowBytes,
                             &s->result);
}

Walk walk(const Bytes& file, bool salvage) {
    pqz2_options o;
    pqz2_options_init(&o);
    o.salvage = salvage;
    ApiFile f(&o);
    Walk w;
    w.open = pqz2_open_memory(f, file.data(), file.size());
    if (w.open != PQZ2_OK) return w;
    for (int step = 0; step < kMaxSteps; step++) {
        Seen s;
        s.status = pqz2_next_block(f, &s.block);
        if (s.status == PQZ2_END) {
            w.end = s.block;
            break;
        }
        if (s.status == PQZ2_OK || s.status == PQZ2_ERR_DAMAGED) {
            if (s.block.kind == PQZ2_BLOCK_IMAGE) decodeImage(f, &s);
        }
        const bool stuck = !w.blocks.empty() && s.status == w.blocks.back().status &&
                           s.block.offset == w.blocks.back().block.offset;
        if (stuck || s.status == PQZ2_ERR_IO) break;  // without salvage the walk stays there
        w.blocks.push_back(std::move(s));
    }
    return w;
}

const Bytes& intact() {
    static const Bytes f = test::everyFamilyFile();
    return f;
}

const Walk& intactWalk() {
    static const Walk w = walk(intact(), false);
    return w;
}

Bytes cutAt(const Bytes& f, size_t size) {
    return Bytes(f.begin(), f.begin() + ptrdiff_t(size));
}

// The walk's blocks at the offsets of the intact file's blocks, by offset.
const Seen* at(const Walk& w, uint64_t offset) {
    for (const Seen& s : w.blocks)
        if (s.block.offset == offset) return &s;
    return nullptr;
}

void expectSameAsIntact(const Seen& s, const Seen& whole) {
    EXPECT_EQ(s.status, PQZ2_OK);
    EXPECT_EQ(s.block.kind, whole.block.kind);
    EXPECT_EQ(s.block.size, whole.block.size);
    if (whole.block.kind != PQZ2_BLOCK_IMAGE) return;
    EXPECT_EQ(s.decoded, PQZ2_OK);
    EXPECT_EQ(s.result.damaged, 0);
    EXPECT_EQ(s.result.good_rows, whole.height);
    EXPECT_TRUE(s.pixels == whole.pixels) << "image at " << whole.block.offset;
}

TEST(Salvage, WholeFileReadsAsWithoutSalvage) {
    const Walk& plain = intactWalk();
    const Walk saved = walk(intact(), true);
    ASSERT_EQ(plain.blocks.size(), 13u);
    ASSERT_EQ(saved.blocks.size(), plain.blocks.size());
    for (size_t i = 0; i < plain.blocks.size(); i++) {
        ASSERT_EQ(plain.blocks[i].status, PQZ2_OK);
        EXPECT_EQ(saved.blocks[i].block.offset, plain.blocks[i].block.offset);
        EXPECT_EQ(saved.blocks[i].block.skipped_size, 0u);
        expectSameAsIntact(saved.blocks[i], plain.blocks[i]);
    }
    EXPECT_EQ(saved.end.offset, intact().size());
    EXPECT_EQ(saved.end.skipped_size, 0u);
}

// Decodes image index of a cut file with salvage, reached by seeking.
Seen cutImage(const Bytes& file, uint32_t index) {
    pqz2_options o;
    pqz2_options_init(&o);
    o.salvage = 1;
    ApiFile f(&o);
    Seen s;
    EXPECT_EQ(pqz2_open_memory(f, file.data(), file.size()), PQZ2_OK);
    s.status = pqz2_seek_block(f, index, &s.block);
    if (s.status == PQZ2_OK || s.status == PQZ2_ERR_DAMAGED) decodeImage(f, &s);
    return s;
}

// Cuts inside every image's payload, at many places and at each of its last bytes: the cut
// image keeps exact rows only (the rest zero), and late cuts keep rows in every family.
TEST(Salvage, CutImagesKeepOnlyExactRows) {
    for (const Seen& whole : intactWalk().blocks) {
        if (whole.block.kind != PQZ2_BLOCK_IMAGE) continue;
        pqz2_image_info info;
        {
            ApiFile f;
            pqz2_block b;
            ASSERT_EQ(pqz2_open_memory(f, intact().data(), intact().size()), PQZ2_OK);
            ASSERT_EQ(pqz2_seek_block(f, whole.block.index, &b), PQZ2_OK);
            ASSERT_EQ(pqz2_image_info_get(f, &info), PQZ2_OK);
        }
        const uint64_t start = info.payload_offset, size = info.payload_size;
        std::vector<uint64_t> cuts;
        for (uint64_t k = 0; k < 48; k++) cuts.push_back(start + size * k / 48);
        for (uint64_t k = 1; k <= 24; k++) cuts.push_back(start + size - k);
        uint64_t kept = 0;
        for (uint64_t cut : cuts) {
            SCOPED_TRACE("image at " + std::to_string(whole.block.offset) + " cut at " +
                         std::to_string(cut));
            const Seen last = cutImage(cutAt(intact(), size_t(cut)), whole.block.index);
            ASSERT_EQ(last.status, PQZ2_ERR_DAMAGED);
            EXPECT_EQ(last.block.damage, PQZ2_DAMAGE_PAYLOAD);
            ASSERT_EQ(last.decoded, PQZ2_PARTIAL);
            EXPECT_EQ(last.result.damaged, 1);
            const uint32_t good = last.result.good_rows;
            ASSERT_LE(good, whole.height);
            const size_t goodBytes = good * whole.rowBytes;
            EXPECT_TRUE(std::equal(last.pixels.begin(), last.pixels.begin() + ptrdiff_t(goodBytes),
                                   whole.pixels.begin()));
            EXPECT_TRUE(std::all_of(last.pixels.begin() + ptrdiff_t(goodBytes), last.pixels.end(),
                                    [](uint8_t v) { return v == 0; }));
            if (!info.compressed) {
                EXPECT_EQ(good, (cut - start) / info.native_row_bytes);
            }
            kept += good;
        }
        EXPECT_GT(kept, 0u) << "no rows kept from the image at " << whole.block.offset;
    }
}

// Overwrites four bytes of a file.
Bytes withBytes(Bytes f, size_t at, std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes) f[at++] = b;
    return f;
}

TEST(Salvage, WalksPastADamagedTagToTheBlocksBehind) {
    const auto& blocks = intactWalk().blocks;
    for (size_t i = 0; i < blocks.size(); i++) {
        SCOPED_TRACE("tag of block " + std::to_string(i) + " destroyed");
        const Seen& hit = blocks[i];
        const Bytes damaged = withBytes(intact(), size_t(hit.block.offset), {0, 0, 0, 0});
        // Without salvage the walk stops there (no file at all when the first block is hit).
        EXPECT_EQ(walk(damaged, false).blocks.size(), i == 0 ? 0 : i + 1);
        const Walk w = walk(damaged, true);
        ASSERT_EQ(w.open, PQZ2_OK);
        ASSERT_EQ(w.blocks.size(), blocks.size() - 1);
        for (size_t k = 0; k < blocks.size(); k++) {
            if (k == i) continue;
            const Seen* s = at(w, blocks[k].block.offset);
            ASSERT_NE(s, nullptr);
            expectSameAsIntact(*s, blocks[k]);
            EXPECT_EQ(s->block.skipped_size, k == i + 1 ? hit.block.size : 0u);
            if (k == i + 1) {
                EXPECT_EQ(s->block.skipped_offset, hit.block.offset);
            }
        }
        if (i + 1 == blocks.size()) {
            EXPECT_EQ(w.end.skipped_offset, hit.block.offset);
            EXPECT_EQ(w.end.skipped_size, hit.block.size);
        }
    }
}

// An image's payload size made larger (still inside the file) or smaller: the image is damaged,
// every block behind it is found again.
TEST(Salvage, WrongSizesLeadToASearch) {
    const auto& blocks = intactWalk().blocks;
    const size_t hit = 3;  // the context model's separate planes
    const Seen& image = blocks[hit];
    ASSERT_EQ(image.block.kind, PQZ2_BLOCK_IMAGE);
    const size_t field = size_t(image.block.offset) + 4 + 12;
    const uint32_t size = uint32_t(intact()[field]) | uint32_t(intact()[field + 1]) << 8;
    for (uint32_t wrong : {size + 300, size - 40, size + 1}) {
        SCOPED_TRACE("payload size " + std::to_string(wrong) + " instead of " +
                     std::to_string(size));
        const Bytes damaged = withBytes(intact(), field, {uint8_t(wrong), uint8_t(wrong >> 8)});
        const Walk w = walk(damaged, true);
        const Seen* s = at(w, image.block.offset);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->decoded, PQZ2_PARTIAL);
        for (size_t k = 0; k < blocks.size(); k++) {
            if (k == hit) continue;
            const Seen* other = at(w, blocks[k].block.offset);
            ASSERT_NE(other, nullptr) << "block " << k;
            expectSameAsIntact(*other, blocks[k]);
        }
        const uint64_t landing = image.block.offset + image.block.size - size + wrong;
        const Seen* next = at(w, blocks[hit + 1].block.offset);
        EXPECT_EQ(next->block.skipped_size,
                  wrong < size ? blocks[hit + 1].block.offset - landing : 0u);
    }
}

// Bytes of a block that lie where a search passes: an image header whose sizes fit the file.
Bytes fakeImage(uint8_t flags, uint32_t payloadSize, uint8_t first) {
    return {0x81,
            0x8A,
            '2',
            '0',
            1,
            0,
            1,
            0,
            0,
            0,
            0,
            0,
            0,
            0,
            8,
            flags,
            uint8_t(payloadSize),
            uint8_t(payloadSize >> 8),
            0,
            0,
            first};
}

TEST(Salvage, BytesThatLookLikeBlocksAreNotTakenForBlocks) {
    // A raw image whose pixels and an extra block whose data hold false blocks: a raw one, a
    // range-coded one without its marker, an extra block, one running past the end.
    Bytes lure;
    for (const Bytes& fake :
         {fakeImage(0, 1, 5), fakeImage(0x24, 9, 0x55), fakeImage(0x24, 0xFFFF, 0x97),
          Bytes{0x81, 0x90, '2', '0', 1, 0, 0, 0, 3, 0, 0, 0, 1, 2, 3}}) {
        lure.insert(lure.end(), fake.begin(), fake.end());
        lure.insert(lure.end(), 30, 0x11);  // no tag behind a false block
    }
    lure.resize(400, 0x11);
    enc::PqzWriter w;
    enc::ImageBlock raw;
    raw.width = 40;
    raw.height = 10;
    raw.format = 0x48;
    raw.payload = lure;
    w.imageBlock(raw);
    w.extraBlock(7, lure);
    enc::ImageBlock after = raw;
    after.payload.assign(400, 0x22);
    w.imageBlock(after);
    const Bytes file = w.bytes();
    const uint64_t extraAt = 20 + 400, afterAt = extraAt + 12 + 400;

    // The first tag destroyed: the search passes the image's lures to the extra block.
    Walk s = walk(withBytes(file, 0, {0, 0}), true);
    ASSERT_EQ(s.blocks.size(), 2u);
    EXPECT_EQ(s.blocks[0].block.offset, extraAt);
    EXPECT_EQ(s.blocks[0].block.skipped_offset, 0u);
    EXPECT_EQ(s.blocks[0].block.skipped_size, extraAt);
    EXPECT_EQ(s.blocks[1].block.offset, afterAt);
    // Both tags destroyed: past the lures of both to the last image.
    s = walk(withBytes(withBytes(file, 0, {0}), size_t(extraAt), {0}), true);
    ASSERT_EQ(s.blocks.size(), 1u);
    EXPECT_EQ(s.blocks[0].block.offset, afterAt);
    EXPECT_EQ(s.blocks[0].block.skipped_size, afterAt);
    EXPECT_TRUE(s.blocks[0].pixels == after.payload);
}

TEST(Salvage, SearchEndsOnDataFullOfTags) {
    Bytes file;
    for (int i = 0; i < 50000; i++) file.insert(file.end(), {0x81, 0x8A, '2', '0'});
    enc::PqzWriter w;
    w.extraBlock(1, {1});
    file.insert(file.end(), w.bytes().begin(), w.bytes().end());
    // The tag at 0 starts an image whose sizes run past the end: a damaged block, and the search
    // behind it passes 50,000 false tags to the extra block.
    const Walk s = walk(file, true);
    ASSERT_EQ(s.open, PQZ2_OK);
    ASSERT_EQ(s.blocks.size(), 2u);
    EXPECT_EQ(s.blocks[0].status, PQZ2_ERR_DAMAGED);
    EXPECT_EQ(s.blocks[1].status, PQZ2_OK);
    EXPECT_EQ(s.blocks[1].block.offset, 200000u);
    EXPECT_EQ(s.end.offset, file.size());
}

TEST(Salvage, DamagedStartAndTrailingBytes) {
    // A bad sector at the start: no PQZ file without salvage; with it, the blocks behind.
    Bytes start = intact();
    std::fill(start.begin(), start.begin() + 512, 0);
    EXPECT_EQ(walk(start, false).open, PQZ2_ERR_NOT_PQZ);
    const Walk s = walk(start, true);
    ASSERT_EQ(s.open, PQZ2_OK);
    ASSERT_FALSE(s.blocks.empty());
    EXPECT_EQ(s.blocks[0].block.skipped_offset, 0u);
    EXPECT_EQ(s.blocks[0].block.skipped_size, s.blocks[0].block.offset);
    expectSameAsIntact(s.blocks.back(), intactWalk().blocks.back());

    // Cut inside the last image: it is reported once, then the end, with nothing skipped.
    const pqz2_block& image = intactWalk().blocks[11].block;
    const Walk cut = walk(cutAt(intact(), size_t(image.offset + 50)), true);
    ASSERT_EQ(cut.blocks.size(), 12u);
    EXPECT_EQ(cut.blocks.back().status, PQZ2_ERR_DAMAGED);
    EXPECT_EQ(cut.end.offset, image.offset + 50);
    EXPECT_EQ(cut.end.skipped_size, 0u);

    // Bytes behind the last block: reported with the end.
    Bytes tail = intact();
    tail.insert(tail.end(), 100, 0x42);
    const Walk plain = walk(tail, false);
    EXPECT_EQ(plain.blocks.back().status, PQZ2_ERR_DAMAGED);
    EXPECT_EQ(plain.blocks.back().block.damage, PQZ2_DAMAGE_NO_TAG);
    const Walk t = walk(tail, true);
    EXPECT_EQ(t.blocks.size(), intactWalk().blocks.size());
    EXPECT_EQ(t.end.kind, PQZ2_BLOCK_NONE);
    EXPECT_EQ(t.end.offset, tail.size());
    EXPECT_EQ(t.end.skipped_offset, intact().size());
    EXPECT_EQ(t.end.skipped_size, 100u);
}

}  // namespace
}  // namespace pqz
