// The plane loop of the context-model decoder: value table, initial model state, row buffers
// with their equality flags and windowed sums, bookkeeping after each pixel, and the packing of
// decoded rows into the output.
#include <cstdlib>
#include <cstring>

#include "codec/range/context_model_state.h"

namespace pqz {

namespace {

constexpr uint32_t kLongCapacity = 99;
constexpr uint32_t kLongSlots = paddedSlots(kLongCapacity);

// Allocates the block that holds the long and short lists, their storage, the order-zero
// list's storage, the value table, the run decisions per value and the candidate marks.
bool allocateValueBlock(ContextModel& cm) {
    std::free(cm.longLists);
    cm.longLists = nullptr;
    const size_t n = size_t(cm.count);
    const size_t slots = n * (kLongSlots + kShortSlots) + paddedSlots(uint32_t(n));
    // The frequencies lie back to back; the last list's are read in blocks of 16 up to 15
    // bytes past it, and these slack bytes keep that inside the block.
    const size_t freqs = n * (kLongCapacity + kShortCapacity + 1) + 16;
    auto* block =
        static_cast<uint8_t*>(std::malloc(2 * n * sizeof(ListModel) + n * sizeof(uint32_t) +
                                          slots * sizeof(uint16_t) + freqs + 2 * n));
    if (!block) return false;
    cm.longLists = reinterpret_cast<ListModel*>(block);
    cm.shortLists = cm.longLists + n;
    cm.values = reinterpret_cast<uint32_t*>(cm.shortLists + n);
    uint16_t* longSlots = reinterpret_cast<uint16_t*>(cm.values + n);
    uint16_t* shortSlots = longSlots + n * kLongSlots;
    uint16_t* orderSlots = shortSlots + n * kShortSlots;
    uint8_t* freq = reinterpret_cast<uint8_t*>(orderSlots + paddedSlots(uint32_t(n)));
    cm.shortSlots = shortSlots;
    for (size_t i = 0; i < n; i++) {
        initList(cm.longLists[i], longSlots + i * kLongSlots, freq, kLongCapacity, false);
        freq += kLongCapacity;
        initList(cm.shortLists[i], shortSlots + i * kShortSlots, freq, kShortCapacity, false);
        freq += kShortCapacity;
    }
    initOrderZeroList(cm.orderZero, orderSlots, freq, uint32_t(n));
    freq += n;
    cm.runSeen = freq;
    std::memset(cm.runSeen, 1, n);
    std::memset(cm.candidateMarks(), 0, n);
    return true;
}

// Equality patterns of N, W, NE and NW, one per neighbour class: bit 0x01 N = NW, 0x02 W = NW,
// 0x04 NE = NW, 0x08 NE = N, 0x10 W = NE, 0x20 W = N.
constexpr uint8_t kClassPatterns[kNeighbourClasses] = {
    0x00, 0x01, 0x02, 0x04, 0x08, 0x0A, 0x0D, 0x10, 0x11, 0x16, 0x20, 0x23, 0x24, 0x38, 0x3F};

// One class model per (class, first recent match, second recent match) whose two matches are
// possible symbols; the pairs that are not get the number of the next completed model.
void setUpClassModels(ContextModel& cm) {
    const int count = cm.count;
    int d = 0;
    for (int c = 0; c < kNeighbourClasses; c++) {
        const uint8_t p = kClassPatterns[c];
        cm.classOfPattern[p] = uint8_t(c);
        for (int a = 0; a < 5; a++) {
            for (int b = 0; b < 5; b++) {
                cm.classModelOf[c + 15 * a + 75 * b] = uint8_t(d);
                NeighbourModel& m = cm.neighbourModels[d];
                uint16_t* f = m.freq;
                f[1] = f[2] = f[3] = f[4] = 2;
                // Neighbours that are equal share one symbol.
                if (p & 0x04) f[3] = uint16_t(f[3] + f[4]), f[4] = 0;
                if (p & 0x02) f[2] = uint16_t(f[2] + f[4]), f[4] = 0;
                if (p & 0x10) f[2] = uint16_t(f[2] + f[3]), f[3] = 0;
                if (p & 0x01) f[1] = uint16_t(f[1] + f[4]), f[4] = 0;
                if (p & 0x08) f[1] = uint16_t(f[1] + f[3]), f[3] = 0;
                if (p & 0x20) f[1] = uint16_t(f[1] + f[2]), f[2] = 0;
                int symbols = 2 + (f[2] != 0) + (f[3] != 0) + (f[4] != 0);
                if (count < symbols) {
                    symbols--;
                    f[0] = 0;
                } else {
                    f[0] = 2;
                }
                m.warmup = uint8_t(symbols);
                if (f[a] != 0 && f[b] != 0 && count >= symbols) {
                    const int s = 1 << (5 - symbols);
                    m.step = uint8_t(s);
                    m.limit = uint16_t(64 * s);
                    f[a] = uint16_t(f[a] + s);
                    f[b] = uint16_t(f[b] + s);
                    m.total = uint16_t(f[0] + f[1] + f[2] + f[3] + f[4]);
                    d++;
                }
            }
        }
    }
}

// Writes the decoded row as samples and returns the position behind it.
uint8_t* emitRow(const ContextModel& cm, uint8_t* out) {
    const RowEntry* row = cm.rowBase[0] + kRowMargin;
    const uint32_t* values = cm.values;
    const int width = cm.width;
    const int depth = cm.depth;
    if (depth < 8) {
        uint32_t acc = 0;
        int free = 8;
        for (int x = 0; x < width; x++) {
            if (free < depth) {
                *out++ = uint8_t(acc);
                acc = 0;
                free = 8;
            }
            free -= depth;
            acc |= values[row[x].index] << free;
        }
        if (width > 0) *out++ = uint8_t(acc);
        return out;
    }
    const int bytes = (depth + 7) / 8;
    for (int x = 0; x < width; x++) {
        const uint32_t v = values[row[x].index];
        for (int j = 0; j < bytes; j++) *out++ = uint8_t(v >> (8 * j));
    }
    return out;
}

// A deep plane decoded as bytes holds its k byte positions as k sections one after another;
// output byte i is byte i / k of section i mod k.
void interleaveSections(const uint8_t* sections, size_t size, int k, uint8_t* out) {
    const size_t m = size / size_t(k);
    for (size_t i = 0; i < size; i++) out[i] = sections[(i % size_t(k)) * m + i / size_t(k)];
}

uint8_t zeroIndex(const RowEntry& e) {
    return e.index == 0;
}

}  // namespace

// The sorted sample values of the plane. Planes deeper than 8 bits with more than 8,192 values
// are decoded as byte planes of enlarged height instead.
bool decodeValueTable(RangeDecoder& rc, ContextModel& cm) {
    for (;;) {
        const int bytes = (cm.depth + 7) / 8;
        const uint32_t alphabet = cm.depth > 8 ? kMaxValueCount + 1 : 1u << cm.depth;
        cm.count = int32_t(rangeDecodeUniform(rc, alphabet) + 1);
        if (cm.count <= int32_t(kMaxValueCount)) break;
        cm.depth = 8;
        cm.height *= bytes;
    }
    if (!allocateValueBlock(cm)) return false;
    const uint32_t count = uint32_t(cm.count);
    uint32_t* values = cm.values;
    for (uint32_t i = 0; i < count; i++) values[i] = i;

    if (cm.depth > 8) {
        // Byte by byte, least significant first, each from a list chosen by the previous byte.
        const int bytes = (cm.depth + 7) / 8;
        uint16_t slots[16][256];
        uint8_t freqs[16][256];
        ListModel lists[16];
        for (int j = 0; j < 4 * bytes; j++) initList(lists[j], slots[j], freqs[j], 256, true);
        for (uint32_t i = 0; i < count; i++) {
            uint32_t ctx = i == 0 ? 0 : (values[i - 1] >> 7) & 1;
            values[i] = 0;
            for (int j = 0; j < bytes; j++) {
                const int b = decodeList(rc, cm.exclusions, lists[ctx + 4 * j]);
                if (b < 0) return false;  // a full list never escapes: the stream is damaged
                values[i] += uint32_t(b) << (8 * j);
                ctx = uint32_t(b) >> 6;
            }
        }
    } else {
        const uint32_t mask = (1u << cm.depth) - 1;
        if (count <= mask) {
            // Gaps of a strictly increasing sequence. On damaged data the sums can pass the
            // sample width; they are masked to it.
            uint16_t slots[paddedSlots(257)];
            uint8_t freqs[paddedFreqs(257)];
            ListModel gaps;
            const uint32_t capacity = mask - count + 2;
            initList(gaps, slots, freqs, capacity, true);
            gaps.limit = 19 * capacity;
            uint32_t s = 0;
            for (uint32_t i = 0; i < count; i++) {
                const int g = decodeList(rc, cm.exclusions, gaps);
                if (g < 0) return false;
                values[i] = (s + uint32_t(g)) & mask;
                s += uint32_t(g) + 1;
            }
        }
    }
    return true;
}

void setUpModels(ContextModel& cm) {
    setUpClassModels(cm);
    cm.localModels()[kLocalModels - 1] = cm.classModels()[0];
    cm.listChain[2] = &cm.orderZero.list;
    cm.chainCursor = 0;
}

// Prepares the next row: fixes the padding flags that refer to real entries, rotates the
// buffers and starts the windowed sums.
void beginRow(ContextModel& cm) {
    RowEntry** rb = cm.rowBase;
    const int w = cm.width + kRowMargin;
    rb[0][w].eqW = zeroIndex(rb[0][w - 1]);
    rb[0][w].eqNW = zeroIndex(rb[1][w - 1]);
    RowEntry* recycled = rb[4];
    for (int k = 4; k > 0; k--) rb[k] = rb[k - 1];
    rb[0] = recycled;
    for (int k = 0; k < 5; k++) cm.rowCursor[k] = rb[k] + kRowMargin;

    RowEntry* cur = cm.rowCursor[0];
    const RowEntry* a1 = cm.rowCursor[1];
    const RowEntry* a2 = cm.rowCursor[2];
    cur[-1].eqNE = cur[-2].eqN2 = cur[-3].eqN3 = zeroIndex(a1[0]);
    cur[-1].eqN2 = cur[-2].eqN3 = zeroIndex(a1[1]);
    cur[-1].eqN3 = zeroIndex(a1[2]);
    int s0 = -5, s1 = -5;
    for (int c = 0; c <= 4; c++) {
        s0 += a1[c].eqN;
        s1 += a2[c].eqN;
    }
    cm.rowEqualSums[0] = uint8_t(s0);
    cm.rowEqualSums[1] = uint8_t(s1);
    cm.rowEqualSums[2] = 0;
    cm.rowEqualSums[3] = 0;
}

namespace {

void decodeRows(RangeDecoder& rc, ContextModel& cm, uint8_t* out, size_t outSize,
                RowProgress& progress) {
    if (!decodeValueTable(rc, cm)) {
        rc.damaged = true;
        return;
    }
    setUpModels(cm);

    const size_t samples = size_t(cm.width) * size_t(cm.height);
    uint8_t* scratch = nullptr;
    uint8_t* target = out;
    if (cm.depth != cm.storedDepth) {
        // The entry check covered width x height x bytes per stored sample, which is the
        // byte count of the enlarged plane.
        if (samples > outSize) {
            rc.damaged = true;
            return;
        }
        // Zero-filled: a salvaged decode interleaves the sections as far as they came.
        scratch = static_cast<uint8_t*>(std::calloc(samples + 3, 1));
        if (!scratch) {
            rc.damaged = true;
            return;
        }
        target = scratch;
        progress.setLayers(uint32_t((cm.storedDepth + 7) / 8));
    }

    for (int y = 0; y < cm.height && !rc.damaged; y++) {
        beginRow(cm);
        decodeRow(rc, cm);
        target = emitRow(cm, target);
        if (progress.rowDone(rc)) rc.fail(Status::Cancelled);
    }
    if (scratch) {
        if (!rc.damaged || progress.watching())
            interleaveSections(scratch, samples, (cm.storedDepth + 7) / 8, out);
        std::free(scratch);
    }
}

}  // namespace

void decodeContextModel(PayloadReader& in, ContextModel& cm, uint8_t* out, size_t outSize,
                        RowProgress& progress) {
    RangeDecoder rc;
    rangeStart(rc, in);
    decodeRows(rc, cm, out, outSize, progress);
    rangeFinish(rc, in);
}

}  // namespace pqz
