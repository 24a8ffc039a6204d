// Decoding in the stored layout straight into the buffer the pixels are wanted in: the library's
// own (pqz2_decode_alloc) and a caller's with rows back to back or apart. Every way must give the
// bytes, statuses and results of the others, never depend on what the buffer held before, never
// write behind the rows or between them, and leave a caller's buffer as it was when a decode is
// cancelled.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/pqz2.h"
#include "tests/api_test_support.h"
#include "tests/encoder/bitstream_image.h"
#include "tests/encoder/pqz_writer.h"
#include "tests/support/every_family_file.h"
#include "tests/vector_support.h"

namespace pqz {
namespace {

using Bytes = std::vector<uint8_t>;
using test::ApiFile;

constexpr size_t kGuard = 16;  // bytes behind a caller's rows that must stay untouched

// What one decode of the current image gave, rows packed.
struct Outcome {
    pqz2_status status = PQZ2_OK;
    pqz2_decode_result result{};
    std::string message;
    Bytes rows;
};

// Frees blocks of the given size full of a pattern, which the allocator is likely to hand out
// again: a decode that relies on rows it did not zero itself shows.
void dirtyHeap(size_t bytes) {
    void* blocks[4];
    for (void*& b : blocks)
        if ((b = std::malloc(bytes))) std::memset(b, 0xA5, bytes);
    for (void* b : blocks) std::free(b);
}

Outcome viaAlloc(pqz2_file* f) {
    Outcome o;
    pqz2_image_info shape;
    if (pqz2_image_info_get(f, &shape) == PQZ2_OK)
        dirtyHeap(size_t(shape.native_row_bytes) * shape.height + 8);
    void* pixels = nullptr;
    size_t stride = 0;
    o.status = pqz2_decode_alloc(f, PQZ2_FORMAT_NATIVE, &pixels, &stride, &o.result);
    o.message = pqz2_message(f);
    pqz2_image_info info;
    if (pixels && pqz2_image_info_get(f, &info) == PQZ2_OK) {
        const auto* p = static_cast<const uint8_t*>(pixels);
        o.rows.assign(p, p + stride * info.height);
    }
    pqz2_free(pixels);
    return o;
}

// Decodes into a caller's buffer filled with fill, rows pad bytes apart; checks that nothing
// but the rows was written and, on failure other than damage, that the buffer is as it was.
Outcome viaCaller(pqz2_file* f, uint8_t fill, size_t pad) {
    Outcome o;
    pqz2_image_info info;
    EXPECT_EQ(pqz2_image_info_get(f, &info), PQZ2_OK);
    const size_t row = info.native_row_bytes, stride = row + pad;
    const size_t size = info.height ? stride * (info.height - 1) + row : 0;
    Bytes buffer(size + kGuard, fill);
    o.status = pqz2_decode(f, PQZ2_FORMAT_NATIVE, buffer.data(), size, stride, &o.result);
    o.message = pqz2_message(f);
    for (size_t i = size; i < buffer.size(); i++)
        EXPECT_EQ(buffer[i], fill) << "byte " << i - size << " behind the rows was written";
    for (uint32_t y = 0; y + 1 < info.height; y++)
        for (size_t i = row; i < stride; i++)
            EXPECT_EQ(buffer[y * stride + i], fill) << "row " << y << " padding was written";
    if (o.status == PQZ2_OK || o.status == PQZ2_PARTIAL) {
        for (uint32_t y = 0; y < info.height; y++)
            o.rows.insert(o.rows.end(), buffer.begin() + ptrdiff_t(y * stride),
                          buffer.begin() + ptrdiff_t(y * stride + row));
    } else if (o.status != PQZ2_ERR_DAMAGED) {
        EXPECT_EQ(buffer, Bytes(size + kGuard, fill)) << "a failed decode changed the buffer";
    }
    return o;
}

void expectSame(const Outcome& a, const Outcome& b) {
    EXPECT_EQ(a.status, b.status);
    EXPECT_EQ(a.message, b.message);
    EXPECT_EQ(a.result.damaged, b.result.damaged);
    EXPECT_EQ(a.result.good_rows, b.result.good_rows);
    if (a.status == PQZ2_OK || a.status == PQZ2_PARTIAL) {
        EXPECT_TRUE(a.rows == b.rows);
    }
}

// Every image of file, with and without salvage: the library's buffer, a caller's with rows
// back to back filled with two patterns, and one with rows apart agree.
void expectEveryWayAlike(const Bytes& file, const std::string& name) {
    for (int salvage = 0; salvage < 2; salvage++) {
        pqz2_options options;
        pqz2_options_init(&options);
        options.salvage = salvage;
        ApiFile f(&options);
        if (pqz2_open_memory(f, file.data(), file.size()) != PQZ2_OK) continue;
        pqz2_block block;
        for (int k = 0; k < 256; k++) {
            const pqz2_status s = pqz2_next_block(f, &block);
            if (s != PQZ2_OK && s != PQZ2_ERR_DAMAGED) break;
            pqz2_image_info info;
            if (block.kind != PQZ2_BLOCK_IMAGE || pqz2_image_info_get(f, &info) != PQZ2_OK) {
                if (s != PQZ2_OK) break;
                continue;
            }
            SCOPED_TRACE(name + " block " + std::to_string(block.index) + " salvage " +
                         std::to_string(salvage));
            const Outcome own = viaAlloc(f);
            expectSame(viaCaller(f, 0x00, 0), own);
            expectSame(viaCaller(f, 0xA5, 0), own);
            expectSame(viaCaller(f, 0xFF, 7), own);
            if (s != PQZ2_OK) break;
        }
    }
}

TEST(InPlaceDecode, EveryVectorAlikeInEveryBuffer) {
    const std::vector<std::string> names = test::vectorNames();
    ASSERT_GT(names.size(), 40u);
    for (const std::string& name : names)
        expectEveryWayAlike(enc::readFile(enc::vectorsDir() + "/" + name + ".pqz"), name);
}

// Cut inside each image of a file of every coding family: the kept rows and the zero rows
// below them are the same in every buffer.
TEST(InPlaceDecode, CutFilesSalvageAlikeInEveryBuffer) {
    const Bytes whole = test::everyFamilyFile();
    for (size_t cut = 40; cut < whole.size(); cut += whole.size() / 97)
        expectEveryWayAlike(Bytes(whole.begin(), whole.begin() + ptrdiff_t(cut)),
                            "cut at " + std::to_string(cut));
}

// Grey planes of one to six bytes a row, coded with the literal contexts that read the rows
// above: in rows under five bytes they reach bytes not decoded yet, which must read zero.
TEST(InPlaceDecode, NarrowRowsAlikeInEveryBuffer) {
    for (int width = 1; width <= 6; width++) {
        enc::Picture grey{width, 9, 1, {}, {}};
        for (int i = 0; i < width * 9; i++) grey.pixels.push_back(uint8_t(i * 37 % 251));
        enc::PqzWriter w;
        for (uint8_t variant = 0; variant < 4; variant++) {
            enc::BitstreamImageOptions o;
            o.separatePlanes = true;
            o.planes = {enc::PlaneSpec{0, variant, true}};
            o.coder.seed = uint32_t(width * 4 + variant);
            w.imageBlock(enc::encodeBitstreamImage(enc::storedImage(grey), o, nullptr));
        }
        expectEveryWayAlike(w.bytes(), "width " + std::to_string(width));
    }
}

struct Calls {
    int stopAt = -1;  // the call that asks to stop; -1: none
    std::vector<std::pair<uint64_t, uint64_t>> seen;
    static int call(void* user, uint64_t done, uint64_t total) {
        auto* c = static_cast<Calls*>(user);
        c->seen.emplace_back(done, total);
        return int(c->seen.size()) - 1 == c->stopAt;
    }
};

// Progress and cancelling: the same calls in every buffer; a cancelled decode returns no buffer
// of the library's and leaves a caller's as it was (checked in viaCaller).
TEST(InPlaceDecode, ProgressAndCancelAlikeInEveryBuffer) {
    const Bytes file = test::everyFamilyFile();
    for (int stopAt : {-1, 0, 1}) {
        for (const uint32_t index : {9u, 10u}) {  // bit stream, planes apart and whole
            Calls calls[2];
            Outcome out[2];
            for (int run = 0; run < 2; run++) {
                calls[run].stopAt = stopAt;
                pqz2_options options;
                pqz2_options_init(&options);
                options.progress = &Calls::call;
                options.progress_user = &calls[run];
                ApiFile f(&options);
                ASSERT_EQ(pqz2_open_memory(f, file.data(), file.size()), PQZ2_OK);
                pqz2_block block;
                ASSERT_EQ(pqz2_seek_block(f, index, &block), PQZ2_OK);
                ASSERT_EQ(block.kind, PQZ2_BLOCK_IMAGE);
                out[run] = run == 0 ? viaAlloc(f) : viaCaller(f, 0x5A, 0);
            }
            SCOPED_TRACE("stop at call " + std::to_string(stopAt) + ", block " +
                         std::to_string(index));
            expectSame(out[1], out[0]);
            EXPECT_EQ(calls[1].seen, calls[0].seen);
            EXPECT_EQ(out[0].status, stopAt < 0 ? PQZ2_OK : PQZ2_ERR_CANCELLED);
            if (stopAt >= 0) {
                EXPECT_EQ(int(calls[0].seen.size()), stopAt + 1);
            }
        }
    }
}

}  // namespace
}  // namespace pqz
