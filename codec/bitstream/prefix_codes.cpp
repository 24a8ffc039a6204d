#include "codec/bitstream/prefix_codes.h"

#include <cstring>

namespace pqz {

const uint16_t kPrefixCodeSymbols[kPrefixCodeCount] = {3,   4,  5,  6,   7,   128, 128, 128, 128,
                                                       128, 32, 24, 257, 257, 257, 257, 257, 257};

namespace {

constexpr int kMaxSymbols = 257;

// Default lengths written as runs (length, count), ended by a zero length; codes 5..9 are given
// as one hexadecimal digit per symbol instead.
struct Run {
    uint8_t length;
    uint16_t count;
};

constexpr Run kRuns[kPrefixCodeCount][16] = {
    {{1, 1}, {2, 2}},
    {{1, 1}, {3, 2}, {2, 1}},
    {{1, 1}, {3, 1}, {4, 2}, {2, 1}},
    {{2, 1}, {3, 4}, {2, 1}},
    {{2, 1}, {4, 1}, {5, 2}, {4, 2}, {1, 1}},
    {},
    {},
    {},
    {},
    {},
    {{3, 1}, {4, 2}, {5, 7}, {6, 14}, {3, 1}, {4, 1}, {5, 2}, {6, 4}},
    {{4, 8}, {5, 16}},
    {{6, 1}, {3, 1}, {4, 2}, {5, 6}, {6, 9}, {7, 13}, {8, 20}, {9, 27}, {10, 178}},
    {{6, 1}, {3, 1}, {4, 2}, {5, 6}, {6, 9}, {7, 13}, {8, 20}, {9, 27}, {10, 178}},
    {{6, 1},
     {3, 2},
     {4, 4},
     {5, 7},
     {6, 6},
     {7, 7},
     {8, 9},
     {9, 10},
     {10, 14},
     {11, 17},
     {12, 152},
     {13, 28}},
    {{5, 1},
     {2, 1},
     {3, 2},
     {4, 3},
     {5, 4},
     {6, 3},
     {7, 4},
     {8, 6},
     {9, 7},
     {10, 8},
     {11, 11},
     {12, 21},
     {13, 186}},
    {{4, 1},
     {2, 1},
     {3, 3},
     {4, 2},
     {5, 2},
     {6, 3},
     {7, 2},
     {8, 4},
     {9, 4},
     {10, 7},
     {11, 8},
     {12, 13},
     {13, 205},
     {14, 2}},
    {{3, 1},
     {2, 2},
     {3, 1},
     {4, 1},
     {5, 2},
     {6, 2},
     {7, 2},
     {8, 2},
     {9, 3},
     {10, 5},
     {11, 9},
     {12, 225},
     {13, 2}},
};

constexpr const char* kMatchCodeDigits[5] = {
    "545465656566667676767677777777777777777777777777777777788888888888888888888888888888888888"
    "88888888888888888888888989999999999999",
    "667467756775677677767786778677867786778677867786778777877787788778877887788778877887788788"
    "87788788878887889788978887888788878887",
    "666677736677778566777886677788866777889677778896777788967777889777888897778888977788889777"
    "88889777888897778889977788899777889997",
    "566666767777788366667777888888956677778788889995667777888888999677777788889999967777888888"
    "9999a677778888989999a6777788889999a9a7",
    "666666667777777777776665555555657777777788888888889987766667778877778888888899999999887777"
    "77889a778888889999999999a99888778889aa",
};

struct DefaultLengths {
    uint8_t length[kPrefixCodeCount][kMaxSymbols];
};

constexpr DefaultLengths expandDefaults() {
    DefaultLengths d{};
    for (int code = 0; code < kPrefixCodeCount; code++) {
        int k = 0;
        if (code >= 5 && code <= 9) {
            for (const char* s = kMatchCodeDigits[code - 5]; *s; s++) {
                d.length[code][k++] = uint8_t(*s <= '9' ? *s - '0' : *s - 'a' + 10);
            }
            continue;
        }
        for (const Run& run : kRuns[code]) {
            for (int i = 0; i < run.count; i++) d.length[code][k++] = run.length;
        }
    }
    return d;
}

constexpr DefaultLengths kDefaults = expandDefaults();

// Builds one table tree. The symbols of each length are handed out in decreasing symbol order;
// tables are filled from their last node down, and a node left over when the current length
// runs out becomes a sub-table indexed by the bits up to the next length in use.
struct TreeBuilder {
    PrefixCodeSet& set;
    uint16_t symbols[kMaxSymbols];  // grouped by length, decreasing within a length
    int next[16];                   // next unused entry of each length's group
    int end[16];

    bool node(uint32_t at, int length);
    bool table(uint32_t first, int bits, int length);
};

// Fills the 2^bits nodes from first on with symbols of the given length, then sub-tables.
bool TreeBuilder::table(uint32_t first, int bits, int length) {
    for (int i = (1 << bits) - 1; i >= 0; i--) {
        if (next[length] < end[length]) {
            set.nodes[first + i] = {symbols[next[length]++], 0};
        } else if (!node(first + i, length)) {
            return false;
        }
    }
    return true;
}

// Turns node at into the root of a table for the next length above the given one.
bool TreeBuilder::node(uint32_t at, int length) {
    int deeper = length + 1;
    while (deeper < 16 && next[deeper] == end[deeper]) deeper++;
    if (deeper == 16) return false;  // incomplete code
    const int bits = deeper - length;
    const uint32_t first = set.used;
    if (first + (1u << bits) > PrefixCodeSet::kCapacity) return false;
    set.used += 1u << bits;
    set.nodes[at] = {int32_t(first - at), bits};
    return table(first, bits, deeper);
}

// The quick lookup entries of the leaves reached within kQuickBits bits, each at the index of
// its own bits (the first bit in bit 0), grouped by code length; and of the inner nodes whose
// table reads past those bits, which become jumps for the walk to go on from.
struct QuickLeaves {
    struct Leaf {
        uint16_t index;
        uint16_t entry;   // symbol << 4 | length, or a jump's number << 4
        uint16_t length;  // bits the entry stands for
    };
    // A complete code has at most one leaf per symbol and fewer jumps than leaves.
    Leaf found[2 * kMaxSymbols];  // in the order the tree walk meets them
    Leaf sorted[2 * kMaxSymbols];
    int count = 0;
    int perLength[kQuickBits + 1] = {};

    void collect(PrefixCodeSet& set, const DecodeNode* root, const DecodeNode* node,
                 uint32_t prefix, int depth);
    void fill(uint16_t* quick);
};

void QuickLeaves::collect(PrefixCodeSet& set, const DecodeNode* root, const DecodeNode* node,
                          uint32_t prefix, int depth) {
    // The walk stops at the array's end all the same.
    if (count == 2 * kMaxSymbols) return;
    if (node->bits == 0) {
        found[count++] = {uint16_t(prefix), uint16_t(node->value << 4 | depth), uint16_t(depth)};
        perLength[depth]++;
        return;
    }
    if (depth + node->bits > kQuickBits) {
        // Without room for the jump its entries stay 0: the walk starts at the root.
        uint32_t jump = 0;
        if (set.jumps < PrefixCodeSet::kJumpCapacity) {
            set.jump[set.jumps++] = uint16_t((node - root) << 4 | depth);
            jump = set.jumps;
        }
        found[count++] = {uint16_t(prefix), uint16_t(jump << 4), uint16_t(depth)};
        perLength[depth]++;
        return;
    }
    for (uint32_t i = 0; i < (1u << node->bits); i++) {
        collect(set, root, node + node->value + i, prefix | i << depth, depth + node->bits);
    }
}

// Fills the table by doubling: the entries for the first L bits, once complete, hold for the
// indices with bit L set as well, so they are copied into the half above before the codes of
// length L + 1 are written. Indices no code of up to kQuickBits bits reaches stay 0.
void QuickLeaves::fill(uint16_t* quick) {
    int start[kQuickBits + 2];
    start[0] = 0;
    for (int length = 0; length <= kQuickBits; length++) {
        start[length + 1] = start[length] + perLength[length];
    }
    int next[kQuickBits + 1];
    std::memcpy(next, start, sizeof next);
    for (int k = 0; k < count; k++) sorted[next[found[k].length]++] = found[k];

    // A jump from the root itself (every code longer than the lookup) stands for no bits.
    quick[0] = start[1] > 0 ? sorted[0].entry : 0;
    for (int length = 1; length <= kQuickBits; length++) {
        const size_t half = size_t(1) << (length - 1);
        std::memcpy(quick + half, quick, half * sizeof *quick);
        for (int k = start[length]; k < start[length + 1]; k++) {
            quick[sorted[k].index] = sorted[k].entry;
        }
    }
}

}  // namespace

uint8_t defaultCodeLength(int code, int k) {
    return kDefaults.length[code][k];
}

namespace {

// The quick lookup a code's tree fills: its own, or for the code-length code the last code's,
// which is built only after every code length has been read.
int quickSlot(int slot) {
    return slot < kPrefixCodeCount ? slot : kPrefixCodeCount - 1;
}

}  // namespace

bool buildCodeTree(PrefixCodeSet& set, int slot, const uint8_t* lengths, int symbols) {
    // Only a complete code (Kraft sum exactly 1) fills every node of its tables.
    uint32_t kraft = 0;
    int count[16] = {};
    for (int k = 0; k < symbols; k++) {
        count[lengths[k]]++;
        if (lengths[k] != 0) kraft += 1u << (15 - lengths[k]);
    }
    if (kraft != 1u << 15) return false;

    TreeBuilder b{set, {}, {}, {}};
    int start = 0;
    for (int len = 1; len < 16; len++) {
        b.next[len] = b.end[len] = start;
        start += count[len];
    }
    for (int k = symbols - 1; k >= 0; k--) {
        if (lengths[k] != 0) b.symbols[b.end[lengths[k]]++] = uint16_t(k);
    }
    int shortest = 1;
    while (count[shortest] == 0) shortest++;

    const uint32_t root = set.used;
    if (root + 1 + (1u << shortest) > PrefixCodeSet::kCapacity) return false;
    set.used += 1 + (1u << shortest);
    set.nodes[root] = {1, shortest};
    set.root[slot] = int32_t(root);
    if (!b.table(root + 1, shortest, shortest)) return false;

    QuickLeaves leaves;
    leaves.collect(set, set.nodes + root, set.nodes + root, 0, 0);
    leaves.fill(set.quick[quickSlot(slot)]);
    return true;
}

bool buildPrefixCodes(PayloadReader& in, int method, PrefixCodeSet& set) {
    set.used = 0;
    set.jumps = 0;
    for (int32_t& r : set.root) r = -1;

    const int firstCode = method == 2 ? kZeroRunCode : 0;
    uint32_t mask = readBits(in, kPrefixCodeCount) >> firstCode;
    if (mask != 0) {
        uint8_t lengths[kLengthCodeSymbols];
        for (uint8_t& len : lengths) len = uint8_t(readBits(in, 4));
        if (!buildCodeTree(set, kLengthCodeIndex, lengths, kLengthCodeSymbols)) {
            in.damaged = true;
            return false;
        }
    }

    int delta = 0;  // kept from one transmitted code to the next
    for (int code = firstCode; code < kPrefixCodeCount; code++, mask >>= 1) {
        const int symbols = kPrefixCodeSymbols[code];
        const uint8_t* defaults = kDefaults.length[code];
        uint8_t lengths[kMaxSymbols];
        if ((mask & 1) == 0) {
            std::memcpy(lengths, defaults, size_t(symbols));
        } else {
            int k = 0;
            while (k < symbols) {
                const uint32_t c = decodePrefixSymbol(in, set, kLengthCodeIndex,
                                                      set.quick[quickSlot(kLengthCodeIndex)]);
                int repeat = 1;
                if (c < 16) {
                    delta = int(c);
                } else if (c == 16) {
                    repeat = 2;
                } else if (c == 17) {
                    repeat = 3;
                } else if (c == 18) {
                    repeat = 4 + int(readBits(in, 1));
                } else if (c == 19) {
                    repeat = 6 + int(readBits(in, 3));
                } else {
                    repeat = 14;
                }
                if (k + repeat > symbols) {  // a repeat past the last symbol
                    in.damaged = true;
                    return false;
                }
                for (; repeat > 0; repeat--, k++) lengths[k] = uint8_t((defaults[k] - delta) & 15);
            }
        }
        if (!buildCodeTree(set, code, lengths, symbols)) {
            in.damaged = true;
            return false;
        }
    }
    return !in.damaged;
}

}  // namespace pqz
