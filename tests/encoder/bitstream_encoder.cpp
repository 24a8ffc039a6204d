#include "tests/encoder/bitstream_encoder.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <memory>
#include <random>

namespace pqz::enc {
namespace {

constexpr int kMatchLengths[32] = {5,  6,  7,  8,  9,  10,  11,  12,  13,  14, 15,
                                   16, 17, 18, 19, 20, 21,  22,  23,  24,  25, 27,
                                   30, 35, 43, 56, 77, 111, 166, 255, 399, 632};
constexpr int kMaxMatch = 632;
// A match of at least this length in mode m (1-4) pops the next mode off the stack.
constexpr int kModeThreshold[6] = {0, 6, 8, 12, 20, 0};
constexpr int kCandidates = 64;
constexpr int kShortCandidates = 24;  // short-copy symbols below this name a candidate
constexpr int kExplicitLength = 12;
constexpr uint32_t kMaxDistance = 16383;
constexpr int kRunBase[25] = {6,  7,  8,  9,  10, 11, 12, 13, 14, 15,  16,  17, 18,
                              19, 20, 21, 22, 24, 28, 36, 52, 84, 148, 276, 277};
constexpr int kMaxRun = 276;

// One coded symbol and the plain bits written behind it.
struct Token {
    uint8_t code;
    uint8_t extraBits;
    uint16_t symbol;
    uint32_t extra;
};

// A context's literal list: pairs (count, value) sorted by count, largest first.
struct RankList {
    uint32_t total;
    uint8_t count[256];
    uint8_t value[256];
    uint8_t where[256];  // position of each value in the list
    uint8_t selector;
};

struct Candidate {
    uint32_t offset;
    uint32_t count;
};

// A copy the encoder may code next in the match mode.
struct MatchChoice {
    enum Kind { Leave, Same, Switch, Short, Explicit } kind = Leave;
    int idx = 0;        // candidate (Same, Switch, Short)
    int li = 0;         // length index (Same, Switch)
    int mode = 0;       // the mode switched to (Switch)
    uint32_t dist = 0;  // Explicit
    int covered = 0;    // bytes it produces
};

class StreamCoder {
  public:
    StreamCoder(const uint8_t* data, size_t n, size_t r, const BitstreamOptions& o,
                std::mt19937* rng, const uint8_t* bufferBefore)
        : data_(data), n_(n), r_(r), v_(o.variant), c_(o.contextFlag), opt_(o), rng_(rng) {
        out_.assign(n + 16, 0);
        if (bufferBefore) std::copy(bufferBefore, bufferBefore + n, out_.begin());
        const auto initial = initialDistanceCandidates(r);
        for (int i = 0; i < kCandidates; i++) cand_[i] = {initial[i], 0};
        ranks_ = std::make_unique<RankList[]>(256);
        for (int ctx = 0; ctx < 256; ctx++) initRankList(ranks_[ctx]);
        if (v_ != 2) buildHashChains();
    }

    void setThresholds(const std::array<uint8_t, 5>& sel, const std::array<uint8_t, 256>& cls) {
        for (int j = 0; j < 5; j++) selTh_[j] = sel[j];
        selTh_[5] = 0;
        classes_ = cls;
    }

    void run();

    std::vector<Token> tokens;
    std::array<std::vector<uint64_t>, kPrefixCodeCount> counts;
    BitstreamStats stats;

  private:
    bool coin(int oneIn) { return (*rng_)() % oneIn == 0; }
    size_t pick(size_t size) { return size_t((*rng_)() % size); }

    void initRankList(RankList& l) const;
    uint32_t halveFrom(int ctx);
    int context(size_t p) const;
    void emit(int code, int symbol, int extraBits = 0, uint32_t extra = 0);
    void literal(int ctx, uint8_t value);
    void copy(uint32_t offset, int length);
    size_t matchLength(uint32_t offset, size_t cap) const;
    void zeroRun(size_t length);
    void matchMode(int idx, int li);
    MatchChoice chooseInMatchMode(int m);
    void bumpCandidate(int idx, int length);
    void buildHashChains();
    std::vector<uint32_t> explicitDistances(size_t limit) const;

    const uint8_t* data_;
    size_t n_, r_;
    int v_;
    bool c_;
    const BitstreamOptions& opt_;
    std::mt19937* rng_;  // null: greedy

    std::vector<uint8_t> out_;  // what the decoder's buffer holds
    size_t p_ = 1;
    Candidate cand_[kCandidates];
    std::unique_ptr<RankList[]> ranks_;
    int selTh_[6] = {};
    std::array<uint8_t, 256> classes_{};
    std::vector<int> stack_ = {5, 4, 3, 2};  // top at the back
    uint32_t explicitCount_ = 0;
    std::vector<int32_t> hashHead_, hashPrev_;
};

void StreamCoder::initRankList(RankList& l) const {
    l.selector = 0;
    for (int i = 0; i < 256; i++) {
        l.value[i] = l.where[i] = uint8_t(i);
        l.count[i] = 0;
    }
    l.total = 0;
    if (c_) {
        // 4, then 3 x4, 2 x4, 1 x6: total 30
        for (int i = 0; i < 15; i++) l.count[i] = uint8_t(i == 0 ? 4 : i <= 4 ? 3 : i <= 8 ? 2 : 1);
        l.total = 30;
    }
}

int StreamCoder::context(size_t p) const {
    const uint8_t* o = out_.data();
    const int W = o[p - 1];
    if (!c_) return W;
    if (p <= r_) return classes_[W] | 2 * (W & 1) | (W & 1);
    const int N = o[p - r_], NW = o[p - r_ - 1], NE = o[p - r_ + 1];
    int ctx;
    if (p > 2 * r_ + 1) {
        const size_t r = r_;
        const int s = 4 * (N + W) + 3 * (NW + NE) +
                      2 * (o[p - 2] + o[p - 2 * r] + o[p - 2 * r + 1] + o[p - r + 2]) + o[p - 3] +
                      o[p - 4] + o[p - r - 2] + o[p - r - 3] + o[p - r + 3] + o[p - r + 4] +
                      o[p - 2 * r - 1] + o[p - 2 * r - 2] + o[p - 2 * r + 2] + o[p - 2 * r + 3];
        ctx = classes_[s >> 5] | 2 * (W & 1) | (N & 1);
    } else {
        ctx = classes_[(W + N + NW + NE) >> 2] | 2 * (W & 1) | (N & 1);
    }
    if (v_ == 1) {
        const int b = ctx < classes_[W] || ctx < classes_[NE] || ctx < classes_[NW];
        ctx |= 4 * (NE & 1) | 8 * (NW & 1) | 128 * b;
    }
    return ctx;
}

void StreamCoder::emit(int code, int symbol, int extraBits, uint32_t extra) {
    assert(symbol >= 0 && symbol < prefixCodeSize(code));
    tokens.push_back({uint8_t(code), uint8_t(extraBits), uint16_t(symbol), extra});
    counts[code][symbol]++;
}

uint32_t StreamCoder::halveFrom(int ctx) {
    // Halving walks the counts while they are not 0. The lists are stored as records of a
    // 32-bit total and 256 (count, value) pairs, so past a full list the walk takes bytes 0
    // and 2 of the next record's total as counts, then its pairs, and so on to the last record.
    uint32_t sum = 0;
    for (int r = ctx; r < 256; r++) {
        RankList& l = ranks_[r];
        if (r > ctx) {
            for (int shift : {0, 16}) {
                const uint32_t b = (l.total >> shift) & 0xFF;
                if (!b) return sum;
                l.total = (l.total & ~(0xFFu << shift)) | (b >> 1) << shift;
                sum += b >> 1;
            }
        }
        for (int q = 0; q < 256; q++) {
            if (!l.count[q]) return sum;
            l.count[q] >>= 1;
            sum += l.count[q];
        }
        stats.fullListHalvings++;
    }
    return sum;
}

void StreamCoder::literal(int ctx, uint8_t value) {
    RankList& l = ranks_[ctx];
    const int i = l.where[value];
    emit(kCodeLiteral + l.selector, i + 1);
    out_[p_++] = value;
    stats.literals++;
    const uint8_t c = ++l.count[i];
    if (i > 0 && l.count[i - 1] <= c) {
        // behind the nearest earlier pair with a greater count, or at the front
        int j = i - 1;
        while (j > 0 && l.count[j - 1] <= c) j--;
        for (int q = i; q > j; q--) {
            l.count[q] = l.count[q - 1];
            l.value[q] = l.value[q - 1];
            l.where[l.value[q]] = uint8_t(q);
        }
        l.count[j] = c;
        l.value[j] = value;
        l.where[value] = uint8_t(j);
    }
    l.total++;
    if (l.total % 32 != 0 || l.count[0] < 8) return;
    const uint32_t x = (7 * l.total) >> 3;
    uint32_t sum = 0;
    int leading = 0;
    while (sum <= x && leading < 256) sum += l.count[leading++];  // past the list: code 0
    int sel = 0;
    if (leading < selTh_[0]) {
        sel = 1;
        while (leading < selTh_[sel]) sel++;
    }
    stats.selectorChanges += sel != l.selector;
    l.selector = uint8_t(sel);
    const uint32_t limit = c_ ? 4096 : 256;
    if (l.count[0] >= 224 || l.total >= limit) {
        l.total = halveFrom(ctx);
        stats.rankRescales++;
    }
}

void StreamCoder::copy(uint32_t offset, int length) {
    assert(offset >= 1 && offset <= p_ && p_ + length <= n_);
    for (int i = 0; i < length; i++, p_++) {
        out_[p_] = out_[p_ - offset];
        assert(out_[p_] == data_[p_]);
    }
}

size_t StreamCoder::matchLength(uint32_t offset, size_t cap) const {
    if (offset == 0 || offset > p_) return 0;
    cap = std::min(cap, n_ - p_);
    size_t len = 0;
    while (len < cap && data_[p_ + len] == data_[p_ + len - offset]) len++;
    return len;
}

void StreamCoder::zeroRun(size_t length) {
    int z = 0;
    while (kRunBase[z + 1] <= int(length)) z++;
    const int extraBits = z >= 16 && z <= 22 ? z - 15 : 0;
    assert(length >= 6 && length <= kMaxRun && p_ + length <= n_);
    emit(kCodeZeroRun, z, extraBits, uint32_t(length - kRunBase[z]));
    std::fill(out_.begin() + p_, out_.begin() + p_ + length, 0);
    p_ += length;
    stats.zeroRuns++;
    stats.zeroRunSymbols[z]++;
}

void StreamCoder::bumpCandidate(int idx, int length) {
    cand_[idx].count += uint32_t(length);
    const uint32_t c = cand_[idx].count;
    if (idx == 0 || c <= cand_[idx - 1].count) return;
    // behind the nearest earlier entry whose count is at least this one's, or at the front
    int j = idx - 1;
    while (j > 0 && cand_[j - 1].count < c) j--;
    const Candidate moved = cand_[idx];
    for (int q = idx; q > j; q--) cand_[q] = cand_[q - 1];
    cand_[j] = moved;
    stats.candidateMoves++;
    if (int64_t(cand_[7].count) - int64_t(cand_[8].count) > 20) {
        for (int q = 0; q < kCandidates && cand_[q].count; q++) cand_[q].count >>= 1;
        stats.candidateHalvings++;
    }
}

// Chains of earlier positions by their first four bytes, for explicit distances.
void StreamCoder::buildHashChains() {
    hashHead_.assign(1 << 16, -1);
    hashPrev_.assign(n_, -1);
    for (size_t i = 0; i + 4 <= n_; i++) {
        uint32_t key;
        std::memcpy(&key, data_ + i, 4);
        const uint32_t h = (key * 2654435761u) >> 16;
        hashPrev_[i] = hashHead_[h];
        hashHead_[h] = int32_t(i);
    }
}

// Distances D (4 <= D <= min(p, 16383)) from which 12 bytes can be copied at p.
std::vector<uint32_t> StreamCoder::explicitDistances(size_t limit) const {
    std::vector<uint32_t> found;
    if (p_ + kExplicitLength > n_) return found;
    // walk the chain of p itself: every later entry is an earlier position with the same key
    int steps = 0;
    for (int32_t i = hashPrev_[p_]; i >= 0 && steps < 256; i = hashPrev_[i], steps++) {
        const uint32_t d = uint32_t(p_ - size_t(i));
        if (d > kMaxDistance) break;
        if (d >= 4 && std::memcmp(data_ + i, data_ + p_, kExplicitLength) == 0) {
            found.push_back(d);
            if (found.size() >= limit) break;
        }
    }
    return found;
}

void StreamCoder::run() {
    for (int c = 0; c < kPrefixCodeCount; c++) counts[c].assign(size_t(prefixCodeSize(c)), 0);
    out_[0] = data_[0];
    while (p_ < n_) {
        const int ctx = context(p_);
        if (!opt_.literalsOnly && v_ == 2) {
            size_t zeros = 0;
            while (zeros < kMaxRun && p_ + zeros < n_ && data_[p_ + zeros] == 0) zeros++;
            if (zeros >= 6 && (!rng_ || coin(2))) {
                emit(kCodeLiteral + ranks_[ctx].selector, 0);
                zeroRun(rng_ && !coin(3) ? 6 + pick(zeros - 5) : zeros);
                continue;
            }
        } else if (!opt_.literalsOnly) {
            // the first match of the match mode: any candidate, length 5 or 6
            std::vector<std::pair<int, int>> firsts;  // candidate, length index
            int best = -1, bestLen = 0;
            for (int idx = 0; idx < kCandidates; idx++) {
                const int len = int(matchLength(cand_[idx].offset, kMaxMatch));
                if (len < 5) continue;
                firsts.push_back({idx, len >= 6 ? 1 : 0});
                if (len > bestLen) best = idx, bestLen = len;
            }
            if (!firsts.empty() && (!rng_ || coin(2))) {
                emit(kCodeLiteral + ranks_[ctx].selector, 0);
                if (rng_) {
                    const auto f = firsts[pick(firsts.size())];
                    matchMode(f.first, int(pick(size_t(f.second) + 1)));
                } else {
                    matchMode(best, bestLen >= 6 ? 1 : 0);
                }
                continue;
            }
        }
        literal(ctx, data_[p_]);
    }
    emit(kCodeLiteral + ranks_[context(n_)].selector, 0);  // the end
}

void StreamCoder::matchMode(int idx, int li) {
    int m = 1, k = 1;
    uint32_t high = 0;
    stats.matchModeEntries++;
    for (;;) {
        assert(uint32_t(idx) >= high && uint32_t(idx - high) < (128u >> k) && li < (1 << k));
        emit(4 + k, ((idx - int(high)) << k) | li);
        const int length = kMatchLengths[li];
        copy(cand_[idx].offset, length);
        stats.matchesInMode[m]++;
        stats.matchLengthIndexes[li]++;
        if (length >= kModeThreshold[m] && m < 5) {
            m = stack_.back();
            stack_.pop_back();
            stats.stackPops++;
        }
        bumpCandidate(idx, length);
        for (;;) {
            k = m;
            const MatchChoice choice = chooseInMatchMode(m);
            if (choice.kind == MatchChoice::Short) {
                emit(m - 1, 1);
                if (choice.dist) {
                    emit(kCodeShortDistance, 24 + int(choice.dist >> 11), 11, choice.dist & 2047);
                    cand_[63 - (explicitCount_ & 3)].offset = choice.dist;
                    explicitCount_++;
                    copy(choice.dist, kExplicitLength);
                    stats.explicitCopies++;
                } else {
                    emit(kCodeShortDistance, choice.idx);
                    copy(cand_[choice.idx].offset, v_ == 0 ? 3 : 4);
                    stats.shortCopies++;
                }
                continue;
            }
            if (choice.kind == MatchChoice::Leave) {
                emit(m - 1, 0);
                if (m != 1) stack_.push_back(m), stats.stackPushes++;
                return;
            }
            idx = choice.idx;
            li = choice.li;
            if (choice.kind == MatchChoice::Same) {
                emit(m - 1, m + 1);
                high = 0;
            } else {
                emit(m - 1, choice.mode + 1);
                stack_.push_back(m);
                stats.stackPushes++;
                stats.modeSwitches++;
                m = choice.mode;
                k = m + 1;
                high = 128u >> k;
            }
            break;
        }
    }
}

MatchChoice StreamCoder::chooseInMatchMode(int m) {
    std::vector<MatchChoice> options[5];  // by kind
    options[MatchChoice::Leave].push_back({});
    for (int idx = 0; idx < kCandidates; idx++) {
        const int len = int(matchLength(cand_[idx].offset, kMaxMatch));
        if (len >= 5) {
            MatchChoice c;
            int lengthBits = m;
            if (idx < (128 >> m)) {
                c.kind = MatchChoice::Same;
            } else {
                c.kind = MatchChoice::Switch;
                c.mode = 1;
                while (idx < (64 >> c.mode)) c.mode++;  // its window: 64 >> m' <= idx < 128 >> m'
                lengthBits = c.mode + 1;
            }
            c.idx = idx;
            c.li = 0;
            while (c.li + 1 < (1 << lengthBits) && kMatchLengths[c.li + 1] <= len) c.li++;
            c.covered = kMatchLengths[c.li];
            options[c.kind].push_back(c);
        }
        const int unit = v_ == 0 ? 3 : 4;
        if (idx < kShortCandidates && int(matchLength(cand_[idx].offset, unit)) == unit) {
            MatchChoice c;
            c.kind = MatchChoice::Short;
            c.idx = idx;
            c.covered = unit;
            options[MatchChoice::Short].push_back(c);
        }
    }
    if (rng_) {
        for (uint32_t d : explicitDistances(8)) {
            MatchChoice c;
            c.kind = MatchChoice::Explicit;
            c.dist = d;
            c.covered = kExplicitLength;
            options[MatchChoice::Explicit].push_back(c);
        }
        std::vector<int> kinds;
        for (int kind = 0; kind < 5; kind++)
            if (!options[kind].empty()) kinds.push_back(kind);
        const auto& list = options[kinds[pick(kinds.size())]];
        MatchChoice c = list[pick(list.size())];
        // any codable length, the longest one more often
        if ((c.kind == MatchChoice::Same || c.kind == MatchChoice::Switch) && !coin(3))
            c.li = int(pick(size_t(c.li) + 1));
        if (c.kind == MatchChoice::Explicit) c.kind = MatchChoice::Short;
        return c;
    }
    // greedy: the choice that produces most bytes; matches before explicit and short copies
    MatchChoice best;
    for (int kind : {MatchChoice::Same, MatchChoice::Switch, MatchChoice::Short})
        for (const MatchChoice& c : options[kind])
            if (c.covered > best.covered) best = c;
    if (best.covered < kExplicitLength) {
        const auto d = explicitDistances(1);
        if (!d.empty()) {
            best = {};
            best.kind = MatchChoice::Short;
            best.dist = d[0];
            best.covered = kExplicitLength;
        }
    }
    return best;
}

// The selector and class thresholds: given, sensible defaults, or random with a seed.
void chooseThresholds(const BitstreamOptions& o, size_t n, std::mt19937* rng,
                      std::array<uint8_t, 5>& sel, std::vector<uint8_t>& cls) {
    if (o.selectorThresholds) {
        sel = *o.selectorThresholds;
    } else if (rng) {
        for (auto& t : sel) t = uint8_t((*rng)() % 64);
    } else {
        sel = {48, 24, 12, 6, 3};
    }
    if (!o.contextFlag) return;
    const size_t t = 5 + 2 * (n >= 131072) + 2 * (o.variant == 2);
    if (o.classThresholds) {
        cls = *o.classThresholds;
        assert(cls.size() == t);
        return;
    }
    cls.resize(t);
    for (size_t j = 0; j < t; j++) cls[j] = uint8_t((j + 1) * 256 / (t + 1) - 1);
    if (rng) {
        for (auto& c : cls) c = uint8_t((*rng)() % 256);
        if ((*rng)() & 1) std::sort(cls.begin(), cls.end());
    }
}

// Lengths for each code the stream handles, by the options.
CodeSet chooseCodeSet(const BitstreamOptions& o, const StreamCoder& coder, std::mt19937* rng) {
    CodeSet set = defaultCodeSet();
    const int first = o.variant == 2 ? kCodeZeroRun : 0;
    auto used = [&](int c) {
        for (uint64_t f : coder.counts[c])
            if (f) return true;
        return false;
    };
    if (o.variant == 2) set.mask = o.ignoredMaskBits & 0x7FF;
    if (o.codeLengths == CodeLengthChoice::Default) return set;
    for (int c = first; c < kPrefixCodeCount; c++) {
        std::vector<uint64_t> freq = coder.counts[c];
        if (o.codeLengths == CodeLengthChoice::Fitted) {
            const bool send = o.transmitMask ? ((*o.transmitMask >> c) & 1) != 0 : used(c);
            if (!send) continue;
            set.mask |= 1u << c;
            set.lengths[c] = fitCodeLengths(freq);
            continue;
        }
        const uint32_t how = (*rng)() % 5;
        if (how == 0) continue;  // not transmitted
        set.mask |= 1u << c;
        if (how == 2 || how == 3) {
            if (how == 3 || !used(c))
                for (auto& f : freq)
                    if ((*rng)() % 3 == 0) f += (*rng)() % 50;
            set.lengths[c] = fitCodeLengths(freq);
        } else if (how == 4) {
            // defaults with lengths exchanged between symbols: still complete, none removed
            auto& l = set.lengths[c];
            for (int s = 0; s < 20; s++) std::swap(l[(*rng)() % l.size()], l[(*rng)() % l.size()]);
        }
    }
    if (rng && o.variant == 2 && !o.ignoredMaskBits) set.mask |= (*rng)() & 0x7FF;
    return set;
}

}  // namespace

std::array<uint32_t, 64> initialDistanceCandidates(size_t r) {
    std::vector<int64_t> raw;
    const int64_t row = int64_t(r);
    for (int64_t R = 1; raw.size() < kCandidates; R++) {
        raw.push_back(R * row);
        for (int64_t d = R - 1; d >= 1; d--) {
            raw.push_back(d * row + (R - d));
            raw.push_back(d * row - (R - d));
        }
        raw.push_back(R);
    }
    std::array<uint32_t, 64> out{};
    std::vector<bool> taken(kMaxDistance + 1, false);
    uint32_t lastReplacement = 0;
    for (int i = 0; i < kCandidates; i++) {
        int64_t v = raw[size_t(i)];
        if (v < 1 || v > int64_t(kMaxDistance) || taken[size_t(v)]) {
            do lastReplacement++;
            while (taken[lastReplacement]);
            v = lastReplacement;
        }
        taken[size_t(v)] = true;
        out[size_t(i)] = uint32_t(v);
    }
    return out;
}

std::array<uint8_t, 256> contextClasses(const std::vector<uint8_t>& thresholds) {
    std::array<uint8_t, 256> cls{};
    int next = 0;
    for (size_t j = 0; j < thresholds.size(); j++)
        while (next <= thresholds[j]) cls[size_t(next++)] = uint8_t(16 * j);
    while (next < 256) cls[size_t(next++)] = uint8_t(16 * thresholds.size());
    return cls;
}

BitstreamStats encodeBitstream(BitWriter& bits, const uint8_t* data, size_t n, size_t r,
                               const BitstreamOptions& o, const uint8_t* bufferBefore) {
    assert(n >= 1 && r >= 1 && o.variant >= 0 && o.variant <= 3);
    std::mt19937 rngState(o.seed);
    std::mt19937* rng = o.seed ? &rngState : nullptr;
    assert(o.codeLengths != CodeLengthChoice::Random || rng);

    std::array<uint8_t, 5> sel{};
    std::vector<uint8_t> cls;
    chooseThresholds(o, n, rng, sel, cls);
    StreamCoder coder(data, n, r, o, rng, bufferBefore);
    coder.setThresholds(sel, contextClasses(cls));
    coder.run();

    const size_t start = bits.bitCount();
    for (uint8_t t : cls) bits.write(t, 8);
    for (int j = 0; j < 5; j++) bits.write(sel[size_t(j)], 6);
    CodeSet set = chooseCodeSet(o, coder, rng);
    const CodeSetStats setStats = writeCodeSet(bits, o.variant, set, rng);
    bits.write(data[0], 8);
    std::array<std::vector<Codeword>, kPrefixCodeCount> words;
    for (int c = 0; c < kPrefixCodeCount; c++) words[c] = assignCodewords(set.lengths[c]);
    for (const Token& t : coder.tokens) {
        const Codeword& w = words[t.code][t.symbol];
        assert(w.length);
        bits.write(w.bits, w.length);
        bits.write(t.extra, t.extraBits);
    }
    BitstreamStats stats = coder.stats;
    stats.transmittedCodes = setStats.transmittedCodes;
    stats.lengthCodeSymbols = setStats.symbols;
    stats.bits = bits.bitCount() - start;
    return stats;
}

}  // namespace pqz::enc
