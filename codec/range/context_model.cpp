#include "codec/range/context_model.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/memory.h"
#include "codec/range/context_model_state.h"

namespace pqz {

namespace {

// Bytes the packed rows of a plane take: samples below 8 bits share bytes (each row starts a
// new byte, a sample never straddles two), deeper samples take (depth + 7) / 8 bytes.
uint64_t packedPlaneSize(int width, int height, int depth) {
    if (depth < 8) {
        const uint64_t perByte = uint64_t(8 / depth);
        return (uint64_t(width) + perByte - 1) / perByte * uint64_t(height);
    }
    return uint64_t(width) * uint64_t((depth + 7) / 8) * uint64_t(height);
}

void setCounter(BitCounter& b, uint16_t c0, uint16_t c1, uint16_t limit) {
    b.c0 = c0;
    b.c1 = c1;
    b.limit = limit;
}

}  // namespace

ContextModel* createContextModel(int width, int height, int depth) {
    static_assert(sizeof(ContextModel) % alignof(ContextModel) == 0, "a whole number of lines");
    auto* cm = static_cast<ContextModel*>(
        allocateBlock(sizeof(ContextModel), alignof(ContextModel), Fill::None,
                      int64_t(width) * height >= kHugePageSamples ? Pages::Huge : Pages::Small));
    if (!cm) return nullptr;
    // Everything in front of the large tables starts at 0, and so do the class models and local
    // model 0 (the class set-up may write it as class model 188). The large tables are set up
    // when first used; the start of the second context-number table is read as first context
    // numbers of class model 188, so it is set up now.
    std::memset(
        static_cast<void*>(cm), 0,
        offsetof(ContextModel, neighbourModels) + (kClassModels + 1) * sizeof(NeighbourModel));
    cm->localModelsReady = 1;
    cm->slotBlockReady[kClassModels] = 1;
    ensureNumbers(cm->localModelOf(), cm->localModelOfReady, kSlotBlock - 1, kLocalModelEntries);
    // One block: the run-length bit counts (padded to 8 bytes), then the five row buffers.
    const size_t countBytes = (size_t(width) + 1 + 7) & ~size_t(7);
    const size_t rowEntries = size_t(width) + 2 * kRowMargin;
    auto* block =
        static_cast<uint8_t*>(std::malloc(countBytes + 5 * rowEntries * sizeof(RowEntry)));
    if (!block) {
        std::free(cm);
        return nullptr;
    }

    cm->exclusions.stamp = 1;
    std::memset(cm->exclusions.marks, 0, sizeof cm->exclusions.marks);
    cm->width = width;
    cm->height = height;
    cm->depth = depth;
    cm->storedDepth = depth;

    cm->runLengthBitCount = block;
    block[0] = 0;
    for (int i = 0, n = 0; i < width; i++) {
        if (i == (2 << n)) n++;
        block[i + 1] = uint8_t(i < 2 ? 0 : n);
    }
    auto* rows = reinterpret_cast<RowEntry*>(block + countBytes);
    for (size_t i = 0; i < 5 * rowEntries; i++) rows[i] = RowEntry{0, 1, 1, 1, 1, 1, 1};
    for (int k = 0; k < 5; k++) cm->rowBase[k] = rows + k * rowEntries;

    for (BitCounter& b : cm->candidateParents) setCounter(b, 40, 16, 512);
    setCounter(cm->runParent, 4, 4, 72);
    for (BitCounter& b : cm->runLengthBits) setCounter(b, 4, 4, 72);
    return cm;
}

void destroyContextModel(ContextModel* cm) {
    if (!cm) return;
    std::free(cm->longLists);          // heads the block of the value table and lists
    std::free(cm->runLengthBitCount);  // heads the block of the row buffers
    std::free(cm);
}

namespace {

struct ContextModelRelease {
    void operator()(ContextModel* cm) const { destroyContextModel(cm); }
};

}  // namespace

void decodeContextModelPlane(PayloadReader& in, int width, int height, int depth, uint8_t* out,
                             size_t outSize, RowProgress& progress) {
    if (depth < 1 || depth > 32 || width < 0 || height < 0 ||
        packedPlaneSize(width, height, depth) > outSize) {
        in.fail(Status::Unsupported);
        return;
    }
    std::unique_ptr<ContextModel, ContextModelRelease> cm(createContextModel(width, height, depth));
    if (!cm) {
        in.fail(Status::OutOfMemory);
        return;
    }
    decodeContextModel(in, *cm, out, outSize, progress);
}

}  // namespace pqz
