#include "tests/encoder/bitstream_codes.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <deque>
#include <functional>
#include <queue>
#include <utility>

namespace pqz::enc {
namespace {

// Default lengths, codes 0-4 and 10-17 as runs "length x count", codes 5-9 one hex digit per
// symbol.
const char* const kDefaultLengthText[kPrefixCodeCount] = {
    "1 2x2",
    "1 3x2 2",
    "1 3 4x2 2",
    "2 3x4 2",
    "2 4 5x2 4x2 1",
    "54546565656666767676767777777777777777777777777777777778888888888888888888888888888888888"
    "888888888888888888888888989999999999999",
    "66746775677567767776778677867786778677867786778677877787778778877887788778877887788778878"
    "887788788878887889788978887888788878887",
    "66667773667777856677788667778886677788967777889677778896777788977788889777888897778888977"
    "788889777888897778889977788899777889997",
    "5666667677777883666677778888889566777787888899956677778888889996777777888899999677778888"
    "889999a677778888989999a6777788889999a9a7",
    "66666666777777777777666555555565777777778888888888998776666777887777888888889999999988777"
    "777889a778888889999999999a99888778889aa",
    "3 4x2 5x7 6x14 3 4 5x2 6x4",
    "4x8 5x16",
    "6 3 4x2 5x6 6x9 7x13 8x20 9x27 10x178",
    "6 3 4x2 5x6 6x9 7x13 8x20 9x27 10x178",
    "6 3x2 4x4 5x7 6x6 7x7 8x9 9x10 10x14 11x17 12x152 13x28",
    "5 2 3x2 4x3 5x4 6x3 7x4 8x6 9x7 10x8 11x11 12x21 13x186",
    "4 2 3x3 4x2 5x2 6x3 7x2 8x4 9x4 10x7 11x8 12x13 13x205 14x2",
    "3 2x2 3 4 5x2 6x2 7x2 8x2 9x3 10x5 11x9 12x225 13x2",
};

const int kCodeSizes[kPrefixCodeCount] = {3,   4,  5,  6,   7,   128, 128, 128, 128,
                                          128, 32, 24, 257, 257, 257, 257, 257, 257};

std::vector<uint8_t> parseLengths(int code) {
    std::vector<uint8_t> out;
    const char* t = kDefaultLengthText[code];
    if (code >= 5 && code <= 9) {
        for (; *t; t++) out.push_back(uint8_t(*t <= '9' ? *t - '0' : *t - 'a' + 10));
        return out;
    }
    while (*t) {
        char* end;
        long len = std::strtol(t, &end, 10);
        long count = 1;
        if (*end == 'x') count = std::strtol(end + 1, &end, 10);
        out.insert(out.end(), size_t(count), uint8_t(len));
        t = end;
        while (*t == ' ') t++;
    }
    return out;
}

// One symbol of the code-length code with the extra bits that follow it.
struct LengthSymbol {
    uint8_t symbol;
    uint8_t extraBits;
    uint32_t extra;
};

// Repeat symbols 16-20: how many lengths they give (18 and 19 add extra bits).
void pushRepeat(std::vector<LengthSymbol>& out, int count) {
    if (count == 2)
        out.push_back({16, 0, 0});
    else if (count == 3)
        out.push_back({17, 0, 0});
    else if (count <= 5)
        out.push_back({18, 1, uint32_t(count - 4)});
    else if (count <= 13)
        out.push_back({19, 3, uint32_t(count - 6)});
    else
        out.push_back({20, 0, 0});
}

// Splits `left` lengths of the current delta f into repeats (and single delta symbols).
void pushRun(std::vector<LengthSymbol>& out, int f, int left, std::mt19937* rng) {
    while (left > 0) {
        int chunk;
        if (!rng) {
            chunk = left >= 14 ? 14 : left;
        } else {
            // single, or a repeat of a random feasible size
            chunk = (*rng)() % 4 == 0 ? 1 : 1 + int((*rng)() % std::min(left, 14));
        }
        if (chunk == 1)
            out.push_back({uint8_t(f), 0, 0});
        else
            pushRepeat(out, chunk);
        left -= chunk;
    }
}

std::vector<LengthSymbol> deltaSymbols(const CodeSet& set, int variant, std::mt19937* rng) {
    std::vector<LengthSymbol> out;
    int f = 0;
    for (int code = 0; code < kPrefixCodeCount; code++) {
        if (!set.transmits(code, variant)) continue;
        const std::vector<uint8_t>& def = defaultCodeLengths(code);
        const std::vector<uint8_t>& len = set.lengths[code];
        assert(len.size() == def.size() && isCompleteCode(len));
        auto want = [&](size_t k) { return (def[k] - len[k]) & 15; };
        for (size_t k = 0; k < len.size();) {
            size_t run = 1;
            while (k + run < len.size() && want(k + run) == want(k)) run++;
            int left = int(run);
            if (f != want(k) || (rng && (*rng)() % 3 == 0)) {
                f = want(k);
                out.push_back({uint8_t(f), 0, 0});
                left--;
            }
            pushRun(out, f, left, rng);
            k += run;
        }
    }
    return out;
}

}  // namespace

int prefixCodeSize(int code) {
    return kCodeSizes[code];
}

const std::vector<uint8_t>& defaultCodeLengths(int code) {
    static const std::array<std::vector<uint8_t>, kPrefixCodeCount> table = [] {
        std::array<std::vector<uint8_t>, kPrefixCodeCount> t;
        for (int c = 0; c < kPrefixCodeCount; c++) t[c] = parseLengths(c);
        return t;
    }();
    return table[code];
}

bool isCompleteCode(const std::vector<uint8_t>& lengths) {
    uint64_t sum = 0;  // in units of 2^-15
    for (uint8_t l : lengths) {
        if (l > kMaxCodeLength) return false;
        if (l) sum += uint64_t(1) << (kMaxCodeLength - l);
    }
    return sum == (uint64_t(1) << kMaxCodeLength);
}

std::vector<Codeword> assignCodewords(const std::vector<uint8_t>& lengths) {
    std::vector<Codeword> out(lengths.size());
    std::deque<int> lists[kMaxCodeLength + 1];
    for (size_t s = 0; s < lengths.size(); s++) {
        if (lengths[s] > kMaxCodeLength) return {};
        if (lengths[s]) lists[lengths[s]].push_front(int(s));
    }
    auto nextLength = [&](int above) {
        for (int l = above + 1; l <= kMaxCodeLength; l++)
            if (!lists[l].empty()) return l;
        return 0;
    };
    bool ok = true;
    // Fills the table reached by `prefix` (prefixLength bits) whose leaves have length `level`.
    std::function<void(uint32_t, int, int)> fill = [&](uint32_t prefix, int prefixLength,
                                                       int level) {
        const int bits = level - prefixLength;
        for (int idx = (1 << bits) - 1; idx >= 0 && ok; idx--) {
            const uint32_t code = prefix | uint32_t(idx) << prefixLength;
            if (!lists[level].empty()) {
                out[lists[level].front()] = {code, uint8_t(level)};
                lists[level].pop_front();
                continue;
            }
            const int deeper = nextLength(level);
            if (!deeper) {
                ok = false;  // a node without a symbol: the code is incomplete
                return;
            }
            fill(code, level, deeper);
        }
    };
    const int first = nextLength(0);
    if (!first) return {};
    fill(0, 0, first);
    for (auto& l : lists)
        if (!l.empty()) ok = false;  // symbols left over: the code is over-full
    if (!ok) return {};
    return out;
}

std::vector<uint8_t> fitCodeLengths(const std::vector<uint64_t>& freqIn, int maxLength) {
    std::vector<uint64_t> freq = freqIn;
    size_t used = 0;
    for (uint64_t f : freq) used += f != 0;
    for (size_t s = 0; s < freq.size() && used < 2; s++)
        if (!freq[s]) freq[s] = 1, used++;
    assert(used >= 2);
    for (;;) {
        // Huffman tree over the used symbols; nodes past the symbols are inner nodes.
        const size_t n = freq.size();
        std::vector<int> parent(2 * n, -1);
        using Item = std::pair<uint64_t, int>;
        std::priority_queue<Item, std::vector<Item>, std::greater<Item>> heap;
        for (size_t s = 0; s < n; s++)
            if (freq[s]) heap.push({freq[s], int(s)});
        int next = int(n);
        while (heap.size() > 1) {
            Item a = heap.top();
            heap.pop();
            Item b = heap.top();
            heap.pop();
            parent[a.second] = parent[b.second] = next;
            heap.push({a.first + b.first, next++});
        }
        std::vector<uint8_t> lengths(n, 0);
        int longest = 0;
        for (size_t s = 0; s < n; s++) {
            if (!freq[s]) continue;
            int depth = 0;
            for (int v = int(s); parent[v] >= 0; v = parent[v]) depth++;
            lengths[s] = uint8_t(std::min(depth, 255));
            longest = std::max(longest, depth);
        }
        if (longest <= maxLength) return lengths;
        for (uint64_t& f : freq)
            if (f) f = (f >> 1) | 1;
    }
}

bool CodeSet::transmits(int code, int variant) const {
    if (variant == 2 && code < kCodeZeroRun) return false;
    return (mask >> code) & 1;
}

CodeSet defaultCodeSet() {
    CodeSet set;
    for (int c = 0; c < kPrefixCodeCount; c++) set.lengths[c] = defaultCodeLengths(c);
    return set;
}

CodeSetStats writeCodeSet(BitWriter& bits, int variant, CodeSet& set, std::mt19937* rng) {
    CodeSetStats stats;
    bits.write(set.mask, kPrefixCodeCount);
    const uint32_t handled = variant == 2 ? set.mask >> kCodeZeroRun : set.mask;
    if (handled == 0) return stats;
    for (int c = 0; c < kPrefixCodeCount; c++) stats.transmittedCodes += set.transmits(c, variant);
    const std::vector<LengthSymbol> symbols = deltaSymbols(set, variant, rng);
    if (set.lengthCode.empty()) {
        std::vector<uint64_t> freq(kLengthCodeSymbols, 0);
        for (const LengthSymbol& s : symbols) freq[s.symbol]++;
        if (rng)
            for (auto& f : freq)
                if ((*rng)() % 4 == 0) f += (*rng)() % 3;
        set.lengthCode = fitCodeLengths(freq);
    }
    const std::vector<Codeword> words = assignCodewords(set.lengthCode);
    assert(!words.empty());
    for (uint8_t l : set.lengthCode) bits.write(l, 4);
    for (const LengthSymbol& s : symbols) {
        assert(words[s.symbol].length);
        bits.write(words[s.symbol].bits, words[s.symbol].length);
        bits.write(s.extra, s.extraBits);
        stats.symbols[s.symbol]++;
    }
    return stats;
}

}  // namespace pqz::enc
