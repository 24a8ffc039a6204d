#include "tests/encoder/context_encoder.h"

#include <algorithm>
#include <memory>
#include <random>

#include "tests/encoder/context_encoder_models.h"
#include "tests/encoder/range_encoder.h"

namespace pqz::enc {

namespace {

void need(bool ok, const char* what) {
    if (!ok) throw ContextCodingError(what);
}

// One pixel of a row buffer: its value index and whether it equals the index of the entry
// above, to the left, above right, above left, two and three to the right above.
struct RowEntry {
    uint16_t index = 0;
    uint8_t eqN = 1, eqW = 1, eqNE = 1, eqNW = 1, eqN2 = 1, eqN3 = 1;
};

constexpr int kPad = 8;  // padding entries on each side of a row
constexpr int kClassModels = 188;
constexpr int kLocalModels = 65536;
constexpr uint32_t kLocalSlotTable = 192512;
constexpr uint32_t kLocalModelTable = 108800;
constexpr uint32_t kSmallModelTable = 712000;
constexpr uint16_t kUnset = 0xFFFF;
constexpr int kEmpty = Exclusions::kEmpty;
constexpr uint32_t kHashes = 65536;
// The fifteen ways in which N, W, NE and NW can be equal: 0x01 N = NW, 0x02 W = NW,
// 0x04 NE = NW, 0x08 NE = N, 0x10 W = NE, 0x20 W = N.
constexpr uint8_t kClassPatterns[15] = {0x00, 0x01, 0x02, 0x04, 0x08, 0x0A, 0x0D, 0x10,
                                        0x11, 0x16, 0x20, 0x23, 0x24, 0x38, 0x3F};

uint16_t reverse13(uint32_t j) {
    uint32_t r = 0;
    for (int b = 0; b < 13; b++) r |= ((j >> b) & 1) << (12 - b);
    return uint16_t(r << 3);
}

// Codes the value indices of one plane, pixel by pixel, mirroring the decoder's state.
class PlaneCoder {
  public:
    PlaneCoder(int width, int height, int count, const std::vector<uint16_t>& target,
               RangeEncoder& rc, Exclusions& ex, std::mt19937* rng, ContextEncodeStats& stats);
    void codeRows();

  private:
    RowEntry& at(int row, int column) { return rows_[row][size_t(column + kPad)]; }
    uint16_t want(int column) const { return target_[size_t(y_) * width_ + column]; }
    void setUpClassModels();
    void startRow();
    int codePixel(int x);
    int codeRun(int x, const RowEntry* a1, const RowEntry* a2);
    int codeEscape(int done);
    int candidateContextOf(int j);
    void finishPixel();
    void fill(int x, int f);
    uint32_t contextNumber(uint32_t at, int& next);
    void need(bool ok, const char* what) const;

    const int width_, height_, count_;
    const std::vector<uint16_t>& target_;
    RangeEncoder& rc_;
    Exclusions& ex_;
    std::mt19937* rng_;
    ContextEncodeStats& stats_;

    int y_ = 0;
    int cursor_ = 0;                 // column of the cursor entry in the current row
    std::vector<RowEntry> rows_[5];  // [0] current row, [1] .. [4] the rows above
    // Class models followed by the local models: the class model one past the table is the
    // first local model.
    std::vector<NeighbourModel> models_ = std::vector<NeighbourModel>(kClassModels + kLocalModels);
    NeighbourModel* localModels_ = models_.data() + kClassModels;
    BitCounter candidateParents_[16];
    std::vector<BitCounter> candidateChildren_ = std::vector<BitCounter>(4096);
    BitCounter runParent_{4, 4, 72};
    BitCounter runChildren_[256];
    BitCounter runLengthBits_[48];
    ListModel orderZero_;
    std::vector<ListModel> longLists_, shortLists_;
    ListModel* chain_[4] = {nullptr, nullptr, nullptr, nullptr};
    int chainCursor_ = 0;
    uint8_t classOfPattern_[64] = {};
    uint8_t classModelOf_[375] = {};
    std::vector<uint8_t> runLengthBitCount_;
    std::vector<uint8_t> runSeen_;
    uint8_t sums_[4] = {0, 0, 0, 0};
    std::vector<uint16_t> recentValues_ = std::vector<uint16_t>(kHashes * 8, kEmpty);
    std::vector<uint16_t> recentPairs_ = std::vector<uint16_t>(15 * kHashes * 2, kEmpty);
    uint16_t reversedBits_[8192];
    // The three context-number tables in one block, first, second and small-alphabet table in
    // that order: a context past its table (class model 188 in the first, more than 13,600
    // first numbers in the second) lands in the next one.
    std::vector<uint16_t> contextNumbers_ =
        std::vector<uint16_t>(kLocalSlotTable + kLocalModelTable + kSmallModelTable, kUnset);
    uint16_t* localModelOf_ = contextNumbers_.data() + kLocalSlotTable;
    uint16_t* smallModelOf_ = localModelOf_ + kLocalModelTable;
    int nextLocalSlot_ = 0, nextLocalModel_ = 0, nextSmallModel_ = 0;
    int lastChoice_ = 0;
    int candidateIndex_ = 0;
    uint16_t n_ = 0, w_ = 0, ne_ = 0, nw_ = 0;  // neighbour registers
    uint16_t* recentSlot_ = nullptr;
    uint16_t* pairSlot_ = nullptr;
    uint16_t candidates_[32];
};

PlaneCoder::PlaneCoder(int width, int height, int count, const std::vector<uint16_t>& target,
                       RangeEncoder& rc, Exclusions& ex, std::mt19937* rng,
                       ContextEncodeStats& stats)
    : width_(width),
      height_(height),
      count_(count),
      target_(target),
      rc_(rc),
      ex_(ex),
      rng_(rng),
      stats_(stats) {
    for (auto& r : rows_) r.assign(size_t(width) + 2 * kPad, RowEntry{});
    runLengthBitCount_.assign(size_t(width) + 1, 0);
    for (int i = 0, n = 0; i < width; i++) {
        if (i == (2 << n)) n++;
        runLengthBitCount_[size_t(i) + 1] = uint8_t(i < 2 ? 0 : n);
    }
    for (uint32_t j = 0; j < 8192; j++) reversedBits_[j] = reverse13(j);
    for (BitCounter& c : candidateParents_) c = {40, 16, 512};
    for (BitCounter& c : runLengthBits_) c = {4, 4, 72};
    setUpClassModels();
    runSeen_.assign(size_t(count), 1);
    localModels_[kLocalModels - 1] = models_[0];
    orderZero_.init(uint32_t(count), true);
    chain_[2] = &orderZero_;
    longLists_.resize(size_t(count));
    shortLists_.resize(size_t(count));
    for (ListModel& l : longLists_) l.init(99, false);
    for (ListModel& l : shortLists_) l.init(33, false);
}

void PlaneCoder::need(bool ok, const char* what) const {
    if (!ok)
        throw ContextCodingError(std::string(what) + " (row " + std::to_string(y_) + ", column " +
                                 std::to_string(cursor_) + ")");
}

// One model per (class, first recent match, second recent match); pairs whose model cannot be
// completed share the number of the next completed one.
void PlaneCoder::setUpClassModels() {
    std::fill(models_.begin(), models_.begin() + kClassModels, NeighbourModel{});
    int d = 0;
    for (int c = 0; c < 15; c++) {
        const uint8_t p = kClassPatterns[c];
        classOfPattern_[p] = uint8_t(c);
        for (int a = 0; a < 5; a++) {
            for (int b = 0; b < 5; b++) {
                classModelOf_[c + 15 * a + 75 * b] = uint8_t(d);
                NeighbourModel& m = models_[size_t(d)];
                uint16_t* f = m.freq;
                f[1] = f[2] = f[3] = f[4] = 2;
                if (p & 0x04) f[3] = uint16_t(f[3] + f[4]), f[4] = 0;
                if (p & 0x02) f[2] = uint16_t(f[2] + f[4]), f[4] = 0;
                if (p & 0x10) f[2] = uint16_t(f[2] + f[3]), f[3] = 0;
                if (p & 0x01) f[1] = uint16_t(f[1] + f[4]), f[4] = 0;
                if (p & 0x08) f[1] = uint16_t(f[1] + f[3]), f[3] = 0;
                if (p & 0x20) f[1] = uint16_t(f[1] + f[2]), f[2] = 0;
                int mCount = 2 + (f[2] != 0) + (f[3] != 0) + (f[4] != 0);
                if (count_ < mCount) {
                    mCount--;
                    f[0] = 0;
                } else {
                    f[0] = 2;
                }
                m.warmup = uint8_t(mCount);
                if (f[a] != 0 && f[b] != 0 && count_ >= mCount) {
                    const uint16_t s = uint16_t(1 << (5 - mCount));
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

void PlaneCoder::codeRows() {
    for (y_ = 0; y_ < height_; y_++) {
        startRow();
        for (int x = 0; x < width_;) {
            const int n = codePixel(x);
            finishPixel();
            x += n;
        }
        for (int x = 0; x < width_; x++) {
            const RowEntry& e = at(0, x);
            need(e.index == want(x), "coded row differs from the plane");
            const uint16_t v = e.index;
            const bool truth[6] = {v == at(1, x).index,     v == at(0, x - 1).index,
                                   v == at(1, x + 1).index, v == at(1, x - 1).index,
                                   v == at(1, x + 2).index, v == at(1, x + 3).index};
            const uint8_t flags[6] = {e.eqN, e.eqW, e.eqNE, e.eqNW, e.eqN2, e.eqN3};
            for (int k = 0; k < 6; k++) stats_.falseFlags += flags[k] != truth[k];
        }
    }
    stats_.localSlots = nextLocalSlot_;
    stats_.localModels = nextLocalModel_;
    stats_.smallModels = nextSmallModel_;
    for (const ListModel& l : longLists_) stats_.listRescales += l.rescales;
    for (const ListModel& l : shortLists_) stats_.listRescales += l.rescales;
    stats_.listRescales += orderZero_.rescales;
}

void PlaneCoder::startRow() {
    // The finished row's right padding entry compares with the row's last pixels.
    at(0, width_).eqW = at(0, width_ - 1).index == 0;
    at(0, width_).eqNW = at(1, width_ - 1).index == 0;
    std::rotate(std::begin(rows_), std::begin(rows_) + 4, std::end(rows_));
    const bool n0 = at(1, 0).index == 0, n1 = at(1, 1).index == 0, n2 = at(1, 2).index == 0;
    at(0, -1).eqNE = n0;
    at(0, -2).eqN2 = n0;
    at(0, -3).eqN3 = n0;
    at(0, -1).eqN2 = n1;
    at(0, -2).eqN3 = n1;
    at(0, -1).eqN3 = n2;
    int s0 = 0, s1 = 0;
    for (int c = 0; c < 5; c++) s0 += at(1, c).eqN, s1 += at(2, c).eqN;
    sums_[0] = uint8_t(s0 - 5);
    sums_[1] = uint8_t(s1 - 5);
    sums_[2] = sums_[3] = 0;
    cursor_ = 0;
}

// A context number from one of the tables, handed out on first use. Numbers past 16 bits could
// no longer be told from an unused entry: the decoder refuses such planes.
uint32_t PlaneCoder::contextNumber(uint32_t at, int& next) {
    uint16_t& slot = contextNumbers_[at];
    if (slot != kUnset) return slot;
    need(next <= 0xFFFF, "context numbers past 16 bits");
    slot = uint16_t(next);
    return uint32_t(next++);
}

int PlaneCoder::codePixel(int x) {
    cursor_ = x;
    const RowEntry* cur = &at(0, x);
    const RowEntry* a1 = &at(1, x);
    const RowEntry* a2 = &at(2, x);
    const RowEntry* a3 = &at(3, x);
    const RowEntry* a4 = &at(4, x);
    n_ = a1[0].index;
    w_ = cur[-1].index;
    ne_ = a1[1].index;
    nw_ = a1[-1].index;
    const uint16_t ww = cur[-2].index;

    const uint16_t hashed = w_ != n_ ? w_ : ne_ != n_ ? ne_ : nw_ != n_ ? nw_ : ww;
    const uint32_t hash = uint16_t(reversedBits_[n_] - hashed);
    recentSlot_ = &recentValues_[hash * 8];

    const int pattern = a1[0].eqW + 2 * cur[-1].eqN + 4 * (ne_ == nw_) + 8 * a1[1].eqW +
                        16 * cur[-1].eqN2 + 32 * cur[-1].eqNE;
    if (std::find(std::begin(kClassPatterns), std::end(kClassPatterns), pattern) ==
        std::end(kClassPatterns))
        stats_.inconsistentPatterns++;
    const int cls = classOfPattern_[pattern];
    pairSlot_ = &recentPairs_[(uint32_t(cls) * kHashes + hash) * 2];
    auto match = [&](uint16_t v) {
        return v == n_ ? 1 : v == w_ ? 2 : v == ne_ ? 3 : v == nw_ ? 4 : 0;
    };
    const int classModel = classModelOf_[cls + 15 * match(pairSlot_[0]) + 75 * match(pairSlot_[1])];
    if (classModel == kClassModels) stats_.classModel188++;

    const uint32_t e1 =
        uint32_t(classModel) * 1024 + (a1[0].eqN & a2[0].eqN & a3[0].eqN & a4[0].eqN) * 512 +
        (a1[0].eqW & a2[0].eqW & a3[0].eqW & a4[0].eqW) * 256 + (sums_[3] == 0) * 128 +
        (sums_[2] == 0) * 64 + (sums_[1] == 0) * 32 + (sums_[0] == 0) * 16 + cur[-2].eqNE * 8 +
        cur[-2].eqN3 * 4 + cur[-2].eqN2 * 2 + cur[-1].eqW;
    const uint32_t e = contextNumber(e1, nextLocalSlot_);
    const uint32_t g = e * 8 + a1[1].eqNW * 4 + a1[0].eqN * 2 + cur[-1].eqN3;
    uint32_t h = contextNumber(kLocalSlotTable + g, nextLocalModel_);
    if (count_ < 32) {
        const uint32_t j = (w_ & 15) + h * 16;
        need(j < kSmallModelTable, "small-alphabet context numbers exhausted");
        uint16_t t = smallModelOf_[j];
        if (t == kUnset) {
            uint32_t j2 = j;
            if (nextSmallModel_ > 0xD000) {
                j2 = j | 15;
                stats_.sharedSmallModels++;
            }
            t = smallModelOf_[j2];
            if (nextSmallModel_ <= t) {
                smallModelOf_[j2] = uint16_t(nextSmallModel_++);
                t = smallModelOf_[j2];
            }
        }
        h = t;
    }

    if (cur[-1].eqN && cur[-1].eqW && a1[-1].eqW && a1[0].eqN && a1[0].eqW && a1[1].eqW &&
        a1[2].eqW && a1[3].eqW && a2[0].eqW && a2[1].eqW && a2[2].eqW && a2[3].eqW)
        return codeRun(x, a1, a2);

    // Neighbour choice: a value equal to one of the neighbours, or a new one (0).
    NeighbourModel& cm = models_[size_t(classModel)];
    NeighbourModel& lm = localModels_[h];
    primeLocal(lm, cm);
    const NeighbourModel& used = lm.total == 0 ? cm : lm;
    const uint16_t v = want(x);
    const uint16_t regs[5] = {0, n_, w_, ne_, nw_};
    // Equal neighbours give several symbols for one value; those without frequency are out.
    int options[4], choices = 0;
    bool anyNeighbour = false;
    for (int j = 1; j <= 4; j++) {
        anyNeighbour |= regs[j] == v;
        if (regs[j] == v && used.freq[j] != 0) options[choices++] = j;
    }
    need(!anyNeighbour || choices > 0, "neighbour value without frequency");
    int k = 0;
    if (choices > 0) {
        k = options[0];
        if (rng_) {
            k = options[(*rng_)() % uint32_t(choices)];
        } else {
            for (int c = 1; c < choices; c++)
                if (used.freq[options[c]] > used.freq[k]) k = options[c];
        }
    }
    if (lm.total == 0)
        encodeWithClass(rc_, lm, cm, k);
    else
        encodeWithLocal(rc_, lm, cm, k);
    lastChoice_ = k;
    if (k != 0) {
        at(0, x).index = regs[k];
        stats_.neighbourChoices++;
        return 1;
    }
    return codeEscape(0);
}

// Run mode: the pixels from x on repeat the surroundings; a run decision says whether the
// longest possible run is taken, otherwise a shorter length follows and the pixel that ends
// the run goes through the escape path.
int PlaneCoder::codeRun(int x, const RowEntry* a1, const RowEntry* a2) {
    int q = a2[0].eqN, r = 1;
    const int remaining = width_ - x;
    while (r < remaining && a1[r + 2].eqN == 1 && a1[r + 2].eqW == 1) {
        q &= a2[r].eqN;
        r++;
    }
    const int i = runLengthBitCount_[size_t(r)];
    const int t = a2[r + 2].eqW & a2[r + 3].eqW;

    bool whole = true;
    for (int k = 0; k + 1 < r; k++) whole &= want(x + k) == n_;
    whole &= want(x + r - 1) == w_;
    int length = r;
    if (!whole) {
        length = 0;
        while (length < r && want(x + length) == n_) length++;
        need(length < r, "run of the neighbour value that no run decision expresses");
        const uint16_t end = want(x + length);
        need(end != n_ && end != w_ && end != ne_ && end != nw_,
             "run ends on a neighbour value that the escape path cannot code");
    }
    const int decision = whole ? 1 : 0;
    BitCounter& child = runChildren_[i * 8 + t * 4 + q * 2 + runSeen_[n_]];
    encodeLinkedBit(rc_, child, runParent_, decision);
    lastChoice_ = decision;
    runSeen_[n_] = uint8_t(decision);
    stats_.runs++;
    stats_.runsTaken += decision;

    if (!decision && r > 1) {
        int sent = 0;
        for (int b = i; b >= 0; b--) {
            if ((sent | (1 << b)) >= r) continue;
            const int bit = (length >> b) & 1;
            runLengthBits_[b + 16 * ((b == i) + (sent == 0))].encode(rc_, bit);
            sent |= bit << b;
        }
        need(sent == length, "run length not expressible");
    }
    if (length > 0) at(0, x + length - 1).index = w_;
    if (length > lastChoice_) fill(x, length - lastChoice_);
    stats_.runPixels += decision ? length : length + 1;
    if (decision) return length;
    return codeEscape(length);
}

// Writes f copies of the neighbour value from the cursor on, as a run does, and moves the
// cursor behind them.
void PlaneCoder::fill(int x, int f) {
    for (int k = 0; k < f; k++) {
        RowEntry& e = at(0, x + k);
        e = RowEntry{};
        e.index = n_;
        if (k == 0) {
            pairSlot_[1] = pairSlot_[0];
            pairSlot_[0] = n_;
        } else {
            pairSlot_[1] = n_;
        }
    }
    const int c = x + f;
    cursor_ = c;
    sums_[0] = uint8_t(at(1, c - 3).eqN + at(1, c - 2).eqN + at(1, c + 2).eqN + at(1, c + 3).eqN +
                       at(1, c + 4).eqN - 5);
    int s1 = 0;
    for (int k = c - 3; k <= c + 4; k++) s1 += at(2, k).eqN;
    sums_[1] = uint8_t(s1 - 8);
    sums_[2] = uint8_t(at(0, c - 4).eqW + at(0, c - 3).eqW - 2);
    int s3 = 0;
    for (int k = c - 7; k <= c - 4; k++) s3 += at(0, k).eqN;
    sums_[3] = uint8_t(s3 - 4);
    at(0, c - 1).eqN2 = n_ == at(1, c + 1).index;
    at(0, c - 1).eqN3 = n_ == at(1, c + 2).index;
}

// Candidate j is offered with a context, or skipped (-1).
int PlaneCoder::candidateContextOf(int j) {
    const uint16_t p = candidates_[j];
    if (ex_.excluded(p)) return -1;
    auto among = [&](int from, int to) {
        for (int k = from; k <= to; k++)
            if (candidates_[k] == p) return 1;
        return 0;
    };
    int a = 64 * (p == candidates_[10]) + 32 * among(11, 15) + 16 * among(16, 31);
    if (a == 0 && j >= 7) return -1;
    a += 8 * shortLists_[n_].inFirstSlots(p, 10);
    const int b = shortLists_[ne_].inFirstSlots(p, 6) + 2 * shortLists_[p].inFirstSlots(w_, 10) +
                  4 * shortLists_[w_].inFirstSlots(p, 4);
    a += b;
    if (j >= 15 && (a & 0x0B) == 0) return -1;
    return (j * 128 + a) << 4 | (b + 8 * (j > 9));
}

// The escape path for the cursor's pixel: candidates from the surroundings and the histories,
// each accepted or refused, then the chain of lists.
int PlaneCoder::codeEscape(int done) {
    const int c = cursor_;
    const uint16_t v = want(c);
    need(v != n_ && v != w_ && v != ne_ && v != nw_, "escape for a neighbour value");
    stats_.escapes++;
    ex_.exclude(n_);
    ex_.exclude(w_);
    ex_.exclude(ne_);
    ex_.exclude(nw_);
    ex_.exclude(kEmpty);
    chain_[0] = nullptr;

    candidates_[0] = pairSlot_[0];
    candidates_[1] = pairSlot_[1];
    for (int k = 0; k < 8; k++) candidates_[2 + k] = recentSlot_[k];
    static const int8_t kPlaces[22][2] = {// row above (0 current), column offset
                                          {0, -2}, {1, 2},  {2, 1},  {2, 0},  {1, -2}, {2, -1},
                                          {0, -3}, {1, 3},  {1, 4},  {0, -4}, {1, -3}, {2, 2},
                                          {3, 0},  {2, -2}, {0, -5}, {3, 1},  {1, 5},  {4, 0},
                                          {0, -7}, {3, -1}, {1, 7},  {2, 3}};
    for (int k = 0; k < 22; k++) candidates_[10 + k] = at(kPlaces[k][0], c + kPlaces[k][1]).index;

    for (int j = 0; j < 32; j++) {
        const int ctx = candidateContextOf(j);
        if (ctx < 0) continue;
        const uint16_t p = candidates_[j];
        const int bit = p == v;
        candidateIndex_ = j;
        encodeLinkedBit(rc_, candidateChildren_[size_t(ctx >> 4)], candidateParents_[ctx & 15],
                        bit);
        at(0, c).index = p;
        if (bit) {
            stats_.candidatesTaken++;
            return done + 1;
        }
        ex_.exclude(p);
    }
    candidateIndex_ = 32;
    chain_[0] = &shortLists_[w_];
    chain_[1] = &longLists_[n_];
    for (; chainCursor_ < 4; chainCursor_++) {
        ListModel* list = chain_[chainCursor_];
        need(list != nullptr, "value missing from every list");
        if (list->count == 0) continue;
        const int s = list->encode(rc_, ex_, v, rng_);
        at(0, c).index = uint16_t(s);
        if (s >= 0) {
            stats_.chainFound[chainCursor_]++;
            return done + 1;
        }
    }
    need(false, "value missing from every list");
    return 0;
}

// The model updates after each coded pixel or run, and the cursor entry's equality flags.
void PlaneCoder::finishPixel() {
    int c = cursor_;
    const uint16_t v = at(0, c).index;
    if (lastChoice_ == 0) {
        if (chainCursor_ == 0) {
            if (chain_[0] == nullptr) {
                shortLists_[w_].update(v, candidateIndex_ > 3 ? 3 : 2);
            } else {
                shortLists_[n_].update(v, 3);
                shortLists_[v].update(w_, 2);
                longLists_[n_].update(v, 4);
                longLists_[v].update(n_, 2);
            }
        } else {
            shortLists_[n_].update(v, 3);
            shortLists_[v].update(w_, 2);
            shortLists_[v].update(n_, 1);
            longLists_[v].update(n_, 2);
            for (int k = chainCursor_ - 1; k >= 0; k--) {
                if (chain_[k]->find(v) >= 0) stats_.duplicateEntries++;
                chain_[k]->append(v);
            }
            chainCursor_ = 0;
        }
        if (ex_.advance(count_)) stats_.stampWraps++;
    }
    if ((lastChoice_ == 3 || lastChoice_ == 4) && ne_ != nw_) shortLists_[w_].update(v, 1);
    if (lastChoice_ == 0 || lastChoice_ == 3 || lastChoice_ == 4) {
        int pos = 7;
        for (int k = 0; k < 7; k++) {
            if (recentSlot_[k] == v) {
                pos = k;
                break;
            }
        }
        for (; pos > 0; pos--) recentSlot_[pos] = recentSlot_[pos - 1];
        recentSlot_[0] = v;
    }
    pairSlot_[1] = pairSlot_[0];
    pairSlot_[0] = v;

    RowEntry& e = at(0, c);
    e.eqN = v == at(1, c).index;
    e.eqW = v == at(0, c - 1).index;
    e.eqNE = v == at(1, c + 1).index;
    e.eqNW = v == at(1, c - 1).index;
    e.eqN2 = v == at(1, c + 2).index;
    e.eqN3 = v == at(1, c + 3).index;

    cursor_ = ++c;
    sums_[0] = uint8_t(sums_[0] + at(1, c + 4).eqN - at(1, c - 4).eqN);
    sums_[1] = uint8_t(sums_[1] + at(2, c + 4).eqN - at(2, c - 4).eqN);
    sums_[2] = uint8_t(sums_[2] + at(0, c - 1).eqW - at(0, c - 5).eqW);
    sums_[3] = uint8_t(sums_[3] + at(0, c - 1).eqN - at(0, c - 8).eqN);
}

}  // namespace

namespace {

// Codes the sorted values of the plane: their number, then gaps (up to 8 bits) or bytes.
void codeValueTable(RangeEncoder& rc, Exclusions& ex, int depth,
                    const std::vector<uint32_t>& values) {
    const uint32_t count = uint32_t(values.size());
    if (depth > 8) {
        const int n = (depth + 7) / 8;
        rc.encodeUniform(count - 1, 8193);
        std::vector<ListModel> lists(size_t(4 * n));
        for (ListModel& l : lists) l.init(256, true);
        for (uint32_t i = 0; i < count; i++) {
            int ctx = i ? (values[i - 1] >> 7) & 1 : 0;
            for (int j = 0; j < n; j++) {
                const int b = (values[i] >> (8 * j)) & 0xFF;
                need(lists[size_t(ctx + 4 * j)].encode(rc, ex, b) == b, "value byte not codable");
                ctx = b >> 6;
            }
        }
        return;
    }
    const uint32_t mask = (1u << depth) - 1;
    rc.encodeUniform(count - 1, mask + 1);
    if (count > mask) return;  // every value occurs: the identity table
    ListModel gaps;
    gaps.init(mask - count + 2, true);
    gaps.limit = 19 * gaps.capacity;
    uint32_t s = 0;
    for (uint32_t v : values) {
        const int g = int(v - s);
        need(gaps.encode(rc, ex, g) == g, "value gap not codable");
        s = v + 1;
    }
}

std::vector<uint32_t> distinctValues(const std::vector<uint32_t>& samples) {
    std::vector<uint32_t> v(samples);
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    return v;
}

// With a seed, the table may also list values that do not occur.
void addUnusedValues(std::vector<uint32_t>& values, int depth, std::mt19937& rng) {
    if (rng() % 3 != 0) return;
    const uint64_t range = depth > 8 ? (uint64_t(1) << depth) : (1u << depth);
    const uint32_t limit = depth > 8 ? 8192 : uint32_t(range);
    if (depth <= 8 && rng() % 3 == 0) {
        values.resize(range);
        for (uint32_t i = 0; i < range; i++) values[i] = i;
        return;
    }
    const int extra = 1 + int(rng() % 6);
    for (int k = 0; k < extra && values.size() < limit; k++) {
        const uint32_t v = uint32_t(rng() % range);
        if (!std::binary_search(values.begin(), values.end(), v))
            values.insert(std::lower_bound(values.begin(), values.end(), v), v);
    }
}

}  // namespace

ContextEncodeResult encodeContextPlane(const std::vector<uint32_t>& input, int width, int height,
                                       int depth, std::vector<uint8_t>& out,
                                       const ContextEncodeOptions& options) {
    ContextEncodeResult result;
    if (depth < 1 || depth > 32 || width < 0 || width > 65535 || height < 0 ||
        input.size() != size_t(width) * size_t(height)) {
        result.error = "bad plane size or depth";
        return result;
    }
    const int bytes = (depth + 7) / 8;
    const uint64_t bound = depth > 8 ? uint64_t(1) << (8 * bytes) : uint64_t(1) << depth;
    for (uint32_t s : input) {
        if (s >= bound) {
            result.error = "sample out of range";
            return result;
        }
    }
    std::unique_ptr<std::mt19937> rng;
    if (options.seed) rng = std::make_unique<std::mt19937>(options.seed);
    std::vector<uint8_t> stream;
    try {
        RangeEncoder rc(stream);
        Exclusions ex;
        std::vector<uint32_t> samples = input;
        std::vector<uint32_t> values = distinctValues(samples);
        if (values.empty()) values.push_back(0);  // an empty plane still has a value table
        if (depth > 8 &&
            (values.size() > 8192 || options.forceBytePlanes || (rng && (*rng)() % 4 == 0))) {
            // Byte planes: byte j of every sample in rows j x height ... (j + 1) x height - 1.
            rc.encodeUniform(8192, 8193);
            samples.assign(input.size() * size_t(bytes), 0);
            for (size_t i = 0; i < input.size(); i++)
                for (int j = 0; j < bytes; j++)
                    samples[size_t(j) * input.size() + i] = (input[i] >> (8 * j)) & 0xFF;
            depth = 8;
            height *= bytes;
            values = distinctValues(samples);
            result.stats.bytePlanes = true;
        }
        if (rng) addUnusedValues(values, depth, *rng);
        codeValueTable(rc, ex, depth, values);
        result.stats.count = int(values.size());

        std::vector<uint16_t> target(samples.size());
        for (size_t i = 0; i < samples.size(); i++)
            target[i] = uint16_t(std::lower_bound(values.begin(), values.end(), samples[i]) -
                                 values.begin());
        auto coder = std::make_unique<PlaneCoder>(width, height, int(values.size()), target, rc, ex,
                                                  rng.get(), result.stats);
        coder->codeRows();
        std::vector<uint8_t> junk;
        if (rng) {
            for (int k = int((*rng)() % 4); k > 0; k--) {
                uint8_t b = uint8_t((*rng)());
                junk.push_back(b == 0x97 ? 0x96 : b);
            }
        }
        rc.finish(junk);
    } catch (const ContextCodingError& e) {
        result.error = e.what();
        return result;
    }
    out.insert(out.end(), stream.begin(), stream.end());
    result.ok = true;
    return result;
}

}  // namespace pqz::enc
