#include "codec/method1/method1_decoder.h"

#include <cstdlib>
#include <cstring>

#include "base/memory.h"
#include "codec/method1/method1_sample.h"

#if defined(__SSE2__) && !defined(PQZ2_PORTABLE)
#include <emmintrin.h>
#endif

namespace pqz {

namespace {

constexpr int kRingEntriesExtra = kRingFront + kRingRightMargin;

// The summaries of a row follow the ring in its allocation, on a boundary of their own size.
constexpr size_t kColumnsAlign = sizeof(ColumnSummary);

constexpr size_t kModelBytes = sizeof(ResidualSymbolModel) * kMethod1Contexts;
constexpr size_t kBitmapBytes = sizeof(uint64_t) * kModelBlockWords;
constexpr size_t kBlockBytes = kModelBytes + 2 * kBitmapBytes;  // models, then the two bitmaps
constexpr size_t kModelBlockBytes = sizeof(ResidualSymbolModel) << kModelBlockShift;
static_assert(kModelBytes % kModelBlockBytes == 0, "the bitmaps follow whole blocks");

// The models are read and written all over the table for every young sample: large planes have
// all of them on huge pages. Blocks of models start on cache lines.
void* allocateModels(int64_t samples) {
    if (samples >= kHugePageSamples)
        return allocateBlock(kBlockBytes, kHugePageBytes, Fill::None, Pages::Huge);
    return allocateBlock(kBlockBytes, kModelBlockBytes, Fill::None);
}

// Sets up the block of model m (any model of it) if it is not yet.
inline void setUpBlock(Method1Decoder& d, const ResidualSymbolModel* m) {
    const size_t block = size_t(m - d.models) >> kModelBlockShift;
    uint64_t& word = d.blockReady[block >> 6];
    const uint64_t bit = uint64_t(1) << (block & 63);
    if (word & bit) return;
    word |= bit;
    ResidualSymbolModel* first = d.models + (block << kModelBlockShift);
    initResidualSymbolModel(first[0]);
    for (int i = 1; i < 1 << kModelBlockShift; i++) first[i] = first[0];
}

// level(x) = the number of thresholds below x.
int levelOf(int x, const int (&thresholds)[7]) {
    int level = 0;
    for (int t : thresholds) level += t < x;
    return level;
}

// Adds n to one count of a model and to its total word (both wrap at 16 bits).
inline void bump(ResidualSymbolModel& m, int symbol, int n) {
    addToResidualSymbol(m, uint32_t(symbol), uint32_t(n));
}

// Which half of an escape's magnitude contexts a model points to, on its current counts.
inline int escapeHalf(const ResidualSymbolModel& m, int symbol) {
    return int(m.count[0]) + int(m.total & 0x7FFF) - 2 * int(m.count[symbol]) < 0;
}

// Symbol of a quantised error: itself below 5, else 5 for odd and 6 for even values.
inline int symbolOf(int u) {
    return u < 5 ? u : 6 - (u & 1);
}

// Trains the contexts next to a decoded sample's context; up and down tell whether that context
// has an activity level above and below its own.
template <bool up, bool down>
void trainT(Method1Decoder& d, const Method1Sample& sample) {
    const int v = sample.value;
    const int pred = sample.pred;
    const int c = sample.context;
    const int base = sample.escapeBase;
    const int* tk = sample.feature;
    const uint8_t* quantiser = d.errorQuantiser();
    const int u = quantiser[(v - pred) & 0xFF];
    const int su = symbolOf(u);
    const int sm = symbolOf(quantiser[(pred - v) & 0xFF]);  // the mirrored residual
    const uint32_t x = uint32_t(u - 5) >> 1;                // the magnitude of an escape
    const bool escape = su >= 5;
    const int escapeSide = 128 * (su & 1);
    ResidualSymbolModel* const context = d.models + c;
    ResidualSymbolModel* const mirror = method1_detail::mirrorOf(d.models, c, tk[0]);
    const MagnitudeTable& magnitudes = *d.magnitudes;

    // The escape's magnitude contexts learn x together, in this order, once they are known.
    MagnitudeModel* lessons[4];
    int lessonCount = 0;
    bump(*mirror, sm, 17);
    if (up) {
        bump(context[1], su, 11);
        if (escape) {
            const int b = (base & 7) < 7 ? base + 1 : base;
            lessons[lessonCount++] = &magnitudes[b + escapeSide + 64 * escapeHalf(context[1], su)];
        }
    }
    if (down) {
        bump(context[-1], su, 13);
        if (escape) {
            const int b = (base & 7) > 0 ? base - 1 : base;
            lessons[lessonCount++] = &magnitudes[b + escapeSide + 64 * escapeHalf(context[-1], su)];
        }
    }
    if (context->total >= kFeatureTrainingLimit) {
        if (lessonCount) trainMagnitudes(magnitudes, lessons, lessonCount, x);
        return;
    }

    if (up) bump(mirror[1], sm, 7);
    if (down) bump(mirror[-1], sm, 5);
    if (escape) {
        // The neighbouring brightness levels of the escape context.
        const int e = base + escapeSide + 64 * escapeHalf(*context, su);
        if ((e & 0x38) < 0x38) lessons[lessonCount++] = &magnitudes[e + 8];
        if ((e & 0x38) > 0) lessons[lessonCount++] = &magnitudes[e - 8];
    }
    if (lessonCount) trainMagnitudes(magnitudes, lessons, lessonCount, x);
    // A context and its level neighbours.
    auto three = [](ResidualSymbolModel* m, int symbol, int n, int nUp, int nDown) {
        bump(*m, symbol, n);
        if (up) bump(m[1], symbol, nUp);
        if (down) bump(m[-1], symbol, nDown);
    };
#pragma GCC unroll 9
    for (int k = 0; k < kMethod1Features; k++) {
        const method1_detail::TrainingSteps step = method1_detail::trainingSteps(k, tk[k]);
        three(method1_detail::stepped(context, step.near), su, 6, 4, 3);
        if (tk[k] == 1) {
            three(method1_detail::stepped(context, step.far), su, 6, 4, 3);
        } else {
            bump(*method1_detail::stepped(context, step.far), su, 7);
            three(method1_detail::stepped(mirror, step.mirrorNear), sm, 4, 2, 2);
        }
    }
}

#if defined(__SSE2__) && !defined(PQZ2_PORTABLE)
// The errors of the eight ring entries from p on, one per 16-bit lane.
inline __m128i errorsAt(const RingEntry* p) {
    static_assert(sizeof(RingEntry) == 2, "an entry is the value, then the error");
    return _mm_srli_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), 8);
}

// summariseColumn for the columns x .. x + 7.
inline void summariseGroup(const RingEntry* const r[5], int x, ColumnSummary* out) {
    const __m128i n = errorsAt(r[1] + x), nn = errorsAt(r[2] + x), r4 = errorsAt(r[4] + x);
    const __m128i r22 = errorsAt(r[2] + x + 2), r2Back = errorsAt(r[2] + x - 2);
    const __m128i r4Back = errorsAt(r[4] + x - 2);
    const __m128i nearAbove = _mm_add_epi16(nn, errorsAt(r[1] + x + 1));
    const __m128i pairs = _mm_add_epi16(errorsAt(r[1] + x + 2), r22);
    __m128i activity = _mm_add_epi16(_mm_slli_epi16(n, 2), errorsAt(r[1] + x - 1));
    activity = _mm_add_epi16(activity, _mm_add_epi16(nearAbove, _mm_slli_epi16(nearAbove, 1)));
    activity = _mm_add_epi16(activity, _mm_slli_epi16(pairs, 1));

    __m128i first = _mm_add_epi16(errorsAt(r[1] + x + 3), r2Back);
    first = _mm_add_epi16(first, _mm_add_epi16(r4, errorsAt(r[4] + x + 2)));
    const __m128i any = _mm_or_si128(_mm_or_si128(n, nn), _mm_or_si128(r4, errorsAt(r[3] + x)));
    const __m128i quiet =
        _mm_cmpeq_epi16(_mm_or_si128(any, errorsAt(r[0] + x)), _mm_setzero_si128());
    first = _mm_or_si128(first, _mm_and_si128(quiet, _mm_set1_epi16(int16_t(kColumnQuiet))));

    __m128i change = _mm_sub_epi16(errorsAt(r[2] + x + 6), r2Back);
    change = _mm_add_epi16(change, _mm_sub_epi16(errorsAt(r[4] + x + 6), r4Back));

    const __m128i zero = _mm_setzero_si128();
    const __m128i lowPairs = _mm_unpacklo_epi16(activity, change);
    const __m128i highPairs = _mm_unpackhi_epi16(activity, change);
    const __m128i lowFirst = _mm_unpacklo_epi16(first, zero);
    const __m128i highFirst = _mm_unpackhi_epi16(first, zero);
    __m128i* to = reinterpret_cast<__m128i*>(out + x);
    _mm_storeu_si128(to, _mm_unpacklo_epi32(lowPairs, lowFirst));
    _mm_storeu_si128(to + 1, _mm_unpackhi_epi32(lowPairs, lowFirst));
    _mm_storeu_si128(to + 2, _mm_unpacklo_epi32(highPairs, highFirst));
    _mm_storeu_si128(to + 3, _mm_unpackhi_epi32(highPairs, highFirst));
}
#endif

// Summarises every column of the row that d.pos points to (d.pos at column 0).
void summariseRow(Method1Decoder& d) {
#if defined(__SSE2__) && !defined(PQZ2_PORTABLE)
    static_assert(sizeof(ColumnSummary) == 8, "two summaries per lane pair of a vector");
    for (int x = 0; x < d.width; x += kColumnGroup) summariseGroup(d.pos, x, d.columns);
#else
    for (int x = 0; x < d.width; x++) d.columns[x] = summariseColumn(d.pos, x);
#endif
    d.column = d.columns;
}

}  // namespace

ColumnSummary summariseColumn(const RingEntry* const r[5], int x) {
    const RingEntry* r1 = r[1] + x;
    const RingEntry* r2 = r[2] + x;
    const RingEntry* r4 = r[4] + x;
    ColumnSummary c{};
    c.activity =
        uint16_t(4 * r1[0].e + 3 * (r2[0].e + r1[1].e) + 2 * (r1[2].e + r2[2].e) + r1[-1].e);
    c.firstPlane = uint16_t(r1[3].e + r2[-2].e + r4[0].e + r4[2].e);
    if ((r1[0].e | r2[0].e | r[3][x].e | r4[0].e | r[0][x].e) == 0) c.firstPlane |= kColumnQuiet;
    c.errorChange = int16_t(r2[6].e - r2[-2].e + r4[6].e - r4[-2].e);
    return c;
}

bool createMethod1Decoder(Method1Decoder& d, int width, int height, int planeIndex, int tolerance) {
    const size_t entries = size_t(width) + kRingEntriesExtra;
    const size_t ringEntries = 5 * entries + kRingSlack;
    const size_t ringBytes =
        (sizeof(RingEntry) * ringEntries + kColumnsAlign - 1) / kColumnsAlign * kColumnsAlign;
    const size_t columns = (size_t(width) + kColumnGroup - 1) / kColumnGroup * kColumnGroup;
    void* models = allocateModels(int64_t(width) * height);
    void* rows = std::malloc(ringBytes + sizeof(ColumnSummary) * columns);
    auto* ring = static_cast<RingEntry*>(rows);
    if (!models || !ring) {
        std::free(models);
        std::free(ring);
        d.models = nullptr;
        d.ring = nullptr;
        return false;
    }
    d.width = width;
    d.height = height;
    d.ring = ring;
    d.columns = reinterpret_cast<ColumnSummary*>(static_cast<char*>(rows) + ringBytes);
    d.column = d.columns;
    // The models are set up when first reached; only the bitmaps that say so are cleared.
    d.models = static_cast<ResidualSymbolModel*>(models);
    d.blockReady = reinterpret_cast<uint64_t*>(static_cast<char*>(models) + kModelBytes);
    d.reachReady = d.blockReady + kModelBlockWords;
    std::memset(d.blockReady, 0, 2 * kBitmapBytes);

    static const int kActivity[7] = {1, 2, 4, 8, 14, 35, 103};
    static const int kEscape[7] = {1, 3, 6, 10, 16, 27, 52};
    static const int kBrightness[7] = {5, 10, 36, 98, 154, 236, 248};
    for (int i = 0; i < 512; i++) {
        d.activityLevel[i] = uint8_t(levelOf(i, kActivity));
        d.escapeLevel[i] = uint32_t(planeIndex * 256 + levelOf(i, kEscape));
    }
    for (int i = 0; i < 256; i++) d.brightnessLevel[i] = uint8_t(8 * levelOf(i, kBrightness));
    d.cur = d.pending = Method1Sample{};
    buildResidualMaps(tolerance, d.quantiserAndRank, d.residualOrder);

    for (size_t i = 0; i < ringEntries; i++) ring[i] = RingEntry{72, 0};
    for (int j = 0; j < 5; j++) {
        d.row[j] = ring + j * entries;
        d.pos[j] = d.row[j] + kRingFront + width;  // as if a row had just been finished
    }
    d.trainingDue = false;
    d.parity = 0;
    d.errorSum[0] = d.errorSum[1] = 0;
    return true;
}

void destroyMethod1Decoder(Method1Decoder& d) {
    std::free(d.models);
    std::free(d.ring);
    d.models = nullptr;
    d.blockReady = d.reachReady = nullptr;
    d.ring = nullptr;
}

void setUpReach(Method1Decoder& d) {
    // The training of a sample reaches the context's block, the mirror's, and per feature the
    // blocks `near` and `far` from the context and `mirrorNear` from the mirror (their level
    // neighbours are in the same blocks). Which blocks these are depends on the context's block
    // alone, so the work is done once per block.
    ResidualSymbolModel* const context = d.models + d.cur.context;
    ResidualSymbolModel* const mirror =
        method1_detail::mirrorOf(d.models, d.cur.context, d.cur.feature[0]);
    setUpBlock(d, context);
    setUpBlock(d, mirror);
    for (int k = 0; k < kMethod1Features; k++) {
        const method1_detail::TrainingSteps step =
            method1_detail::trainingSteps(k, d.cur.feature[k]);
        setUpBlock(d, method1_detail::stepped(context, step.near));
        setUpBlock(d, method1_detail::stepped(context, step.far));
        setUpBlock(d, method1_detail::stepped(mirror, step.mirrorNear));
    }
    const uint32_t block = uint32_t(d.cur.context) >> kModelBlockShift;
    d.reachReady[block >> 6] |= uint64_t(1) << (block & 63);
}

void beginRow(Method1Decoder& d) {
    // Right margin of the row just finished mirrors its last samples. Rows narrower than six
    // samples read into the left margin and the spare entries in front of it.
    RingEntry* done = d.row[0] + kRingFront;
    for (int k = 0; k < kRingRightMargin; k++) done[d.width + k] = done[d.width - 1 - k];

    RingEntry* oldest = d.row[4];
    for (int j = 4; j > 0; j--) d.row[j] = d.row[j - 1];
    d.row[0] = oldest;
    for (int j = 0; j < 5; j++) d.pos[j] = d.row[j] + kRingFront;

    RingEntry* r0 = d.pos[0];
    const RingEntry* r1 = d.pos[1];
    const RingEntry* r2 = d.pos[2];
    const RingEntry* r4 = d.pos[4];
    for (int k = 0; k < kRingLeftMargin; k++) r0[-1 - k] = r1[k];

    d.parity = 0;
    d.errorSum[0] = r0[-4].e + r0[-2].e;
    d.errorSum[1] = r0[-3].e + r0[-1].e;
    for (int i = -2; i <= 4; i += 2) d.errorSum[0] += r2[i].e + r4[i].e;
    for (int i = -1; i <= 5; i += 2) d.errorSum[1] += r2[i].e + r4[i].e;
    summariseRow(d);
}

void formContext(Method1Decoder& d, const Method1Decoder* x, const Method1Decoder* y) {
    if (!x)
        method1_detail::formContextInline<0>(d, nullptr, nullptr);
    else if (!y)
        method1_detail::formContextInline<1>(d, x, nullptr);
    else
        method1_detail::formContextInline<2>(d, x, y);
}

void trainNeighbours(Method1Decoder& d, const Method1Sample& in) {
    switch (in.context & 7) {
        case 0:
            trainT<true, false>(d, in);
            break;
        case 7:
            trainT<false, true>(d, in);
            break;
        default:
            trainT<true, true>(d, in);
            break;
    }
}

}  // namespace pqz
