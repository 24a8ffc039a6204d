// Per-pixel decoding of the context-model decoder: contexts from the equality flags and the
// hashed histories, run mode, the five-way neighbour choice, and the escape path with its
// candidate search and list chain.
#include <cstddef>
#include <cstring>
#include <type_traits>

#include "codec/range/context_model_state.h"

namespace pqz {

namespace {

constexpr int kCandidates = 32;

static_assert(255 * 1024 + 1023 < kLocalSlotEntries + kLocalModelEntries,
              "every first context stays inside the first two context-number tables");

// Symbol 1..4 of the neighbour that equals index (N, W, NE, NW first), or 0. Looked up from
// the four comparisons at once: which neighbour matches follows no pattern.
int neighbourSymbol(const ContextModel& cm, uint32_t index) {
    static constexpr uint8_t kFirstMatch[16] = {0, 1, 2, 1, 3, 1, 2, 1, 4, 1, 2, 1, 3, 1, 2, 1};
#if defined(__SSE2__) && !defined(PQZ2_PORTABLE)
    const __m128i equal =
        _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(cm.neighbour)),
                        _mm_set1_epi32(int32_t(index)));
    const uint32_t matches = uint32_t(_mm_movemask_ps(_mm_castsi128_ps(equal)));
#else
    const uint32_t matches =
        uint32_t(index == cm.neighbour[0]) | uint32_t(index == cm.neighbour[1]) << 1 |
        uint32_t(index == cm.neighbour[2]) << 2 | uint32_t(index == cm.neighbour[3]) << 3;
#endif
    return kFirstMatch[matches];
}

// Looks up a context number, handing out the next free number on first use. Returns -1 when
// numbers run past 16 bits, where they could no longer be told from an unused slot.
int32_t contextNumber(uint16_t& slot, int32_t& next) {
    if (slot != kUnassigned) return slot;
    if (next > 0xFFFF) return -1;
    slot = uint16_t(next);
    return next++;
}

// A pixel that cannot be decoded: the plane is refused; the row still gets a valid index.
int refusePixel(RangeDecoder& rc, ContextModel& cm, int done) {
    rc.damaged = true;
    cm.rowCursor[0][0].index = 0;
    cm.lastChoice = 1;
    cm.chainCursor = 0;
    return done + 1;
}

// Marks of the candidate search, per value index: where among the candidates around the pixel
// and in which list prefixes it occurs. The bits are those of the candidate context.
constexpr uint8_t kIsCandidate10 = 64;   // equals candidate 10
constexpr uint8_t kInCandidates11 = 32;  // among candidates 11 to 15
constexpr uint8_t kInCandidates16 = 16;  // among candidates 16 to 31
constexpr uint8_t kInNorthList = 8;      // first ten slots of shortLists[N]
constexpr uint8_t kInWestList = 4;       // first four slots of shortLists[W]
constexpr uint8_t kInNorthEastList = 1;  // first six slots of shortLists[NE]
constexpr uint8_t kNearby = kIsCandidate10 | kInCandidates11 | kInCandidates16;

// Marks the value indices of candidates 10..31 and of the list prefixes (all below count).
void markCandidates(ContextModel& cm, const uint32_t* cand) {
    uint8_t* marks = cm.candidateMarks();
    marks[cand[10]] |= kIsCandidate10;
    for (int i = 11; i <= 15; i++) marks[cand[i]] |= kInCandidates11;
    for (int i = 16; i < kCandidates; i++) marks[cand[i]] |= kInCandidates16;
    const uint16_t* north = cm.shortSlots + cm.neighbour[0] * kShortSlots;
    const uint16_t* west = cm.shortSlots + cm.neighbour[1] * kShortSlots;
    const uint16_t* northEast = cm.shortSlots + cm.neighbour[2] * kShortSlots;
    for (int i = 0; i < 10; i++) marks[north[i]] |= kInNorthList;
    for (int i = 0; i < 4; i++) marks[west[i]] |= kInWestList;
    for (int i = 0; i < 6; i++) marks[northEast[i]] |= kInNorthEastList;
}

// Resets what markCandidates set: small alphabets at once, large ones mark by mark.
void clearCandidateMarks(ContextModel& cm, const uint32_t* cand) {
    uint8_t* marks = cm.candidateMarks();
    if (cm.count <= 512) {
        std::memset(marks, 0, size_t(cm.count));
        return;
    }
    for (int i = 10; i < kCandidates; i++) marks[cand[i]] = 0;
    const uint16_t* north = cm.shortSlots + cm.neighbour[0] * kShortSlots;
    const uint16_t* west = cm.shortSlots + cm.neighbour[1] * kShortSlots;
    const uint16_t* northEast = cm.shortSlots + cm.neighbour[2] * kShortSlots;
    for (int i = 0; i < 10; i++) marks[north[i]] = 0;
    for (int i = 0; i < 4; i++) marks[west[i]] = 0;
    for (int i = 0; i < 6; i++) marks[northEast[i]] = 0;
}

// The 32 candidates around the pixel in the order they are offered: the pair and the hashed
// history of its context, then decoded pixels around it.
PQZ_HOT_INLINE void gatherCandidates(const ContextModel& cm, uint32_t* cand) {
    const RowEntry* cur = cm.rowCursor[0];
    const RowEntry* a1 = cm.rowCursor[1];
    const RowEntry* a2 = cm.rowCursor[2];
    const RowEntry* a3 = cm.rowCursor[3];
    const RowEntry* a4 = cm.rowCursor[4];
    const uint32_t around[kCandidates] = {
        cm.pairSlot[0],   cm.pairSlot[1],   cm.recentSlot[0], cm.recentSlot[1], cm.recentSlot[2],
        cm.recentSlot[3], cm.recentSlot[4], cm.recentSlot[5], cm.recentSlot[6], cm.recentSlot[7],
        cur[-2].index,    a1[2].index,      a2[1].index,      a2[0].index,      a1[-2].index,
        a2[-1].index,     cur[-3].index,    a1[3].index,      a1[4].index,      cur[-4].index,
        a1[-3].index,     a2[2].index,      a3[0].index,      a2[-2].index,     cur[-5].index,
        a3[1].index,      a1[5].index,      a4[0].index,      cur[-7].index,    a3[-1].index,
        a1[7].index,      a2[3].index};
    std::memcpy(cand, around, sizeof around);
}

// Offers the 32 candidates around the pixel, each accepted or refused by one decision; refused
// ones are excluded. Returns the accepted value index or -1.
PQZ_HOT_INLINE int searchCandidates(RangeDecoder& rc, ContextModel& cm) {
    uint32_t cand[kCandidates];
    gatherCandidates(cm, cand);
    markCandidates(cm, cand);

    const uint8_t* marks = cm.candidateMarks();
    const uint16_t* shortSlots = cm.shortSlots;
    const uint32_t west = cm.neighbour[1];
    // The exclusions are byte stores, which could alias the range decoder's fields as far as
    // the compiler knows: its range and code value are held in locals for the scan.
    HeldRange held(rc);
    int found = -1;
    int j = 0;
    // The rules that depend on the candidate's number are fixed per stretch of numbers: from 7
    // on a candidate must occur among candidates 10..31 (which those from 10 on do by being
    // there), from 10 on the second set of parents is used, from 15 on it must also occur in a
    // list prefix.
    auto scan = [&](int end, auto nearbyOnly, auto farParents, auto listedOnly) {
        for (; j < end; j++) {
            const uint32_t p = cand[j];
            if (isExcluded(cm.exclusions, p)) continue;  // the empty index 8192 among them
            const uint32_t m = marks[p];
            if (nearbyOnly && (m & kNearby) == 0) continue;
            // W among the first ten slots of p's short list, in use or not.
            const uint32_t westFollows =
                (matchFirst16(shortSlots + p * kShortSlots, west) & 0x3FF) != 0;
            const uint32_t b = (m & (kInNorthEastList | kInWestList)) + 2 * westFollows;
            const uint32_t a = (m & (kNearby | kInNorthList)) + b;
            if (listedOnly && (a & 0x0B) == 0) continue;
            const uint32_t context = uint32_t(j) * 128 + a;
            const uint32_t parent = b + (farParents ? 8 : 0);
            if (decodeLinkedBitHeld(held, rc, cm.candidateChildren[context],
                                    cm.candidateParents[parent])) {
                found = int(p);
                return true;
            }
            exclude(cm.exclusions, p);
        }
        return false;
    };
    using No = std::false_type;
    using Yes = std::true_type;
    scan(7, No(), No(), No()) || scan(10, Yes(), No(), No()) || scan(15, No(), Yes(), No()) ||
        scan(kCandidates, No(), Yes(), Yes());
    held.handOver(rc);
    cm.candidateIndex = j < kCandidates ? j : kCandidates - 1;
    clearCandidateMarks(cm, cand);
    return found;
}

// The value is none of the four neighbours: the candidate search, then the list chain. `done`
// pixels of a run precede it.
int decodeEscape(RangeDecoder& rc, ContextModel& cm, int done) {
    for (uint32_t nb : cm.neighbour) exclude(cm.exclusions, nb);
    exclude(cm.exclusions, kEmptyIndex);
    cm.listChain[0] = nullptr;

    RowEntry& cursor = cm.rowCursor[0][0];
    const int found = searchCandidates(rc, cm);
    if (found >= 0) {
        cursor.index = uint16_t(found);
        return done + 1;
    }

    cm.listChain[0] = &cm.shortLists[cm.neighbour[1]];
    cm.listChain[1] = &cm.longLists[cm.neighbour[0]];
    for (; cm.chainCursor < 4; cm.chainCursor++) {
        ListModel* list = cm.listChain[cm.chainCursor];
        if (!list || list->count == 0) continue;
        const int s = list == &cm.orderZero.list ? decodeOrderZero(rc, cm.exclusions, cm.orderZero)
                                                 : decodeList(rc, cm.exclusions, *list);
        if (s >= 0) {
            cursor.index = uint16_t(s);
            return done + 1;
        }
    }
    // Even the order-zero list did not produce the value: only damaged data gets here.
    return refusePixel(rc, cm, done);
}

// Run mode: decides whether the flat stretch ahead continues to its longest possible length,
// and otherwise how long it is before the pixel that ends it.
int decodeRun(RangeDecoder& rc, ContextModel& cm, int x) {
    RowEntry* cur = cm.rowCursor[0];
    const RowEntry* a1 = cm.rowCursor[1];
    const RowEntry* a2 = cm.rowCursor[2];
    const uint32_t n = cm.neighbour[0], w = cm.neighbour[1];

    int q = a2[0].eqN;
    int r = 1;
    const int remaining = cm.width - x;
    while (r < remaining && a1[r + 2].eqN && a1[r + 2].eqW) {
        q &= a2[r].eqN;
        r++;
    }
    const int top = cm.runLengthBitCount[r];
    const int t = a2[r + 2].eqW & a2[r + 3].eqW;
    uint8_t& seen = cm.runSeen[n];
    const int decision =
        decodeLinkedBit(rc, cm.runChildren[top * 8 + t * 4 + q * 2 + seen], cm.runParent);
    cm.lastChoice = decision;
    seen = uint8_t(decision);

    int length = r;
    if (!decision) {
        length = 0;
        if (r > 1) {
            for (int b = top; b >= 0; b--) {
                if ((length | (1 << b)) >= r) continue;
                const int ctx = b + 16 * ((b == top) + (length == 0));
                if (decodeBitCounter(rc, cm.runLengthBits[ctx])) length |= 1 << b;
            }
        }
    }
    if (length > 0) cur[length - 1].index = uint16_t(w);

    const int fill = length - decision;
    if (fill > 0) {
        // The run's pixels take N with every flag set; the cursor moves to its end.
        const RowEntry flat{uint16_t(n), 1, 1, 1, 1, 1, 1};
        for (int k = 0; k < fill; k++) cur[k] = flat;
        cm.pairSlot[1] = fill > 1 ? uint16_t(n) : cm.pairSlot[0];
        cm.pairSlot[0] = uint16_t(n);
        for (RowEntry*& c : cm.rowCursor) c += fill;
        cur = cm.rowCursor[0];
        a1 = cm.rowCursor[1];
        a2 = cm.rowCursor[2];
        cm.rowEqualSums[0] =
            uint8_t(a1[-3].eqN + a1[-2].eqN + a1[2].eqN + a1[3].eqN + a1[4].eqN - 5);
        int s1 = -8;
        for (int k = -3; k <= 4; k++) s1 += a2[k].eqN;
        cm.rowEqualSums[1] = uint8_t(s1);
        cm.rowEqualSums[2] = uint8_t(cur[-4].eqW + cur[-3].eqW - 2);
        cm.rowEqualSums[3] = uint8_t(cur[-7].eqN + cur[-6].eqN + cur[-5].eqN + cur[-4].eqN - 4);
        cur[-1].eqN2 = n == a1[1].index;
        cur[-1].eqN3 = n == a1[2].index;
    }
    if (decision) return length;
    return decodeEscape(rc, cm, length);
}

// The hashed context of the pixel at the cursor.
PQZ_HOT_INLINE uint32_t hashAtCursor(const ContextModel& cm) {
    const RowEntry* cur = cm.rowCursor[0];
    const RowEntry* a1 = cm.rowCursor[1];
    return contextHash(a1[0].index, cur[-1].index, a1[1].index, a1[-1].index, cur[-2].index);
}

// A row entry as one word: the index in bytes 0 and 1, the flags in bytes 2 to 7 in the order
// of the struct, so that the flags of several entries are combined with one AND per entry.
PQZ_HOT_INLINE uint64_t entryWord(const RowEntry& e) {
    uint64_t word;
    std::memcpy(&word, &e, sizeof word);
    return word;
}
constexpr int kEqNBit = 8 * int(offsetof(RowEntry, eqN));  // the bit of eqN in an entry's word
constexpr int kEqWBit = 8 * int(offsetof(RowEntry, eqW));  // the bit of eqW

// See decodePixel; expanded in place in the row loop. `hash` is the pixel's hashed context.
PQZ_HOT_INLINE int decodePixelAt(RangeDecoder& rc, ContextModel& cm, int x, uint32_t hash) {
    RowEntry* cur = cm.rowCursor[0];
    const RowEntry* a1 = cm.rowCursor[1];
    const RowEntry* a2 = cm.rowCursor[2];
    const RowEntry* a3 = cm.rowCursor[3];
    const RowEntry* a4 = cm.rowCursor[4];
    const uint32_t n = a1[0].index, w = cur[-1].index, ne = a1[1].index, nw = a1[-1].index;
    cm.neighbour[0] = n;
    cm.neighbour[1] = w;
    cm.neighbour[2] = ne;
    cm.neighbour[3] = nw;

    HashRecord& record = hashRecord(cm, hash);
    cm.recentSlot = record.recent;

    const int pattern = a1[0].eqW + 2 * cur[-1].eqN + 4 * (ne == nw) + 8 * a1[1].eqW +
                        16 * cur[-1].eqN2 + 32 * cur[-1].eqNE;
    const int cls = cm.classOfPattern[pattern];
    cm.pairSlot = pairsOf(cm, record, cls, hash);
    const int m1 = neighbourSymbol(cm, cm.pairSlot[0]);
    const int m2 = neighbourSymbol(cm, cm.pairSlot[1]);
    cm.classModelIndex = cm.classModelOf[cls + 15 * m1 + 75 * m2];

    const uint8_t* sums = cm.rowEqualSums;
    // The flags that hold in all four rows above, at once.
    const uint64_t column =
        entryWord(a1[0]) & entryWord(a2[0]) & entryWord(a3[0]) & entryWord(a4[0]);
    const uint32_t first = uint32_t(cm.classModelIndex) * 1024 +
                           uint32_t(column >> (kEqNBit - 9) & 512) +
                           uint32_t(column >> (kEqWBit - 8) & 256) + (sums[3] == 0) * 128 +
                           (sums[2] == 0) * 64 + (sums[1] == 0) * 32 + (sums[0] == 0) * 16 +
                           cur[-2].eqNE * 8 + cur[-2].eqN3 * 4 + cur[-2].eqN2 * 2 + cur[-1].eqW;
    uint16_t* slots = localSlotBlock(cm, uint32_t(cm.classModelIndex));
    const int32_t e = contextNumber(slots[first % kSlotBlock], cm.nextLocalSlot);
    if (e < 0) return refusePixel(rc, cm, 0);
    const uint32_t second = uint32_t(e) * 8 + a1[1].eqNW * 4 + a1[0].eqN * 2 + cur[-1].eqN3;
    if (second >= kLocalModelEntries) return refusePixel(rc, cm, 0);  // 13,600 first numbers
    ensureNumbers(cm.localModelOf(), cm.localModelOfReady, second, kLocalModelEntries);
    int32_t h = contextNumber(cm.localModelOf()[second], cm.nextLocalModel);
    if (h < 0) return refusePixel(rc, cm, 0);

    if (cm.count < 32) {
        // Small alphabets split the local model by the low bits of W.
        if (uint32_t(h) * 16 + 15 >= kSmallModelEntries) return refusePixel(rc, cm, 0);
        ensureNumbers(cm.smallModelOf(), cm.smallModelOfReady, uint32_t(h) * 16 + 15,
                      kSmallModelEntries);
        uint16_t* small = cm.smallModelOf();
        uint32_t j = (w & 15) + uint32_t(h) * 16;
        uint32_t t = small[j];
        if (t == kUnassigned) {
            if (cm.nextSmallModel > 0xD000) j |= 15;
            t = small[j];
            if (uint32_t(cm.nextSmallModel) <= t) {
                small[j] = uint16_t(cm.nextSmallModel++);
                t = small[j];
            }
        }
        h = int32_t(t);
    }

    const uint64_t flatW = entryWord(a1[-1]) & entryWord(a1[1]) & entryWord(a1[2]) &
                           entryWord(a1[3]) & entryWord(a2[0]) & entryWord(a2[1]) &
                           entryWord(a2[2]) & entryWord(a2[3]);
    const uint64_t flatNW = entryWord(cur[-1]) & entryWord(a1[0]);
    if (flatW >> kEqWBit & flatNW >> kEqWBit & flatNW >> kEqNBit & 1) return decodeRun(rc, cm, x);

    NeighbourModel& classModel = cm.neighbourModels[cm.classModelIndex];
    NeighbourModel& local = localModel(cm, uint32_t(h));
    const int k = local.total == 0 ? decodeWithClass(rc, local, classModel)
                                   : decodeWithLocal(rc, local, classModel);
    if (k < 0) return refusePixel(rc, cm, 0);
    cm.lastChoice = k;
    if (k != 0) {
        cur[0].index = uint16_t(cm.neighbour[k - 1]);
        return 1;
    }
    return decodeEscape(rc, cm, 0);
}

// Moves v to the front of a hashed history of eight indices (16-byte aligned): the entries
// before its first occurrence among the first seven move back by one; when it is not among
// them the eighth index falls out.
PQZ_HOT_INLINE void moveToFront(uint16_t* recent, uint32_t v) {
#if defined(__SSE2__) && !defined(PQZ2_PORTABLE)
    const __m128i history = _mm_load_si128(reinterpret_cast<const __m128i*>(recent));
    const uint32_t hit =
        uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi16(history, _mm_set1_epi16(int16_t(v))))) & 0x3FFF;
    const int pos = hit ? trailingZeros(hit) / 2 : 7;
    // Lanes 0 .. pos take the history moved back by one lane, with v in lane 0.
    const __m128i moved = _mm_insert_epi16(_mm_slli_si128(history, 2), int(v), 0);
    const __m128i lanes = _mm_set_epi16(7, 6, 5, 4, 3, 2, 1, 0);
    const __m128i front = _mm_cmpgt_epi16(_mm_set1_epi16(int16_t(pos + 1)), lanes);
    _mm_store_si128(reinterpret_cast<__m128i*>(recent),
                    _mm_or_si128(_mm_and_si128(front, moved), _mm_andnot_si128(front, history)));
#else
    int pos = 7;
    for (int i = 0; i < 7; i++) {
        if (recent[i] == v) {
            pos = i;
            break;
        }
    }
    for (; pos > 0; pos--) recent[pos] = recent[pos - 1];
    recent[0] = uint16_t(v);
#endif
}

// After a pixel that came through the escape path: teaches the lists around it the value and
// starts a new set of exclusions.
void teachLists(ContextModel& cm) {
    const uint32_t v = cm.rowCursor[0][0].index;
    const uint32_t n = cm.neighbour[0], w = cm.neighbour[1];
    ListModel* shortLists = cm.shortLists;
    ListModel* longLists = cm.longLists;
    if (cm.chainCursor == 0) {
        if (!cm.listChain[0]) {
            updateList(shortLists[w], v, cm.candidateIndex > 3 ? 3 : 2);
        } else {
            updateList(shortLists[n], v, 3);
            updateList(shortLists[v], w, 2);
            updateList(longLists[n], v, 4);
            updateList(longLists[v], n, 2);
        }
    } else {
        updateList(shortLists[n], v, 3);
        updateList(shortLists[v], w, 2);
        updateList(shortLists[v], n, 1);
        updateList(longLists[v], n, 2);
        for (int k = cm.chainCursor - 1; k >= 0; k--) {
            if (cm.listChain[k]) appendToList(*cm.listChain[k], v);
        }
        cm.chainCursor = 0;
    }
    if (cm.exclusions.stamp == kLastStamp) {
        cm.exclusions.stamp = 1;
        std::memset(cm.exclusions.marks, 0, size_t(cm.count + 15) / 16 * 16);
    } else {
        cm.exclusions.stamp++;
    }
}

// Bookkeeping after each pixel: lists, histories, equality flags, cursors and sums. Returns
// the next pixel's hashed context.
uint32_t finishPixel(ContextModel& cm) {
    RowEntry* cur = cm.rowCursor[0];
    RowEntry* a1 = cm.rowCursor[1];
    const uint32_t v = cur[0].index;
    const int choice = cm.lastChoice;
    // The next pixel's histories are fetched while this one's bookkeeping runs.
    const uint32_t nextHash = contextHash(a1[1].index, v, a1[2].index, a1[0].index, cur[-1].index);
    prefetch(&cm.records[nextHash], false);

    if (choice == 0) teachLists(cm);
    if ((choice == 3 || choice == 4) && cm.neighbour[2] != cm.neighbour[3])
        updateList(cm.shortLists[cm.neighbour[1]], v, 1);
    if (choice == 0 || choice == 3 || choice == 4) {
        moveToFront(cm.recentSlot, v);
    }
    cm.pairSlot[1] = cm.pairSlot[0];
    cm.pairSlot[0] = uint16_t(v);

    // The flags go in with the index as one entry, and the cursors are moved from copies:
    // stores of single flag bytes would make every field of cm be read again.
    RowEntry** cursors = cm.rowCursor;
    RowEntry* a2 = cursors[2];
    RowEntry* a3 = cursors[3];
    RowEntry* a4 = cursors[4];
    cur[0] = RowEntry{uint16_t(v),
                      uint8_t(v == a1[0].index),
                      uint8_t(v == cur[-1].index),
                      uint8_t(v == a1[1].index),
                      uint8_t(v == a1[-1].index),
                      uint8_t(v == a1[2].index),
                      uint8_t(v == a1[3].index)};
    cur++;
    a1++;
    a2++;
    cursors[0] = cur;
    cursors[1] = a1;
    cursors[2] = a2;
    cursors[3] = a3 + 1;
    cursors[4] = a4 + 1;
    uint8_t* sums = cm.rowEqualSums;
    sums[0] = uint8_t(sums[0] + a1[4].eqN - a1[-4].eqN);
    sums[1] = uint8_t(sums[1] + a2[4].eqN - a2[-4].eqN);
    sums[2] = uint8_t(sums[2] + cur[-1].eqW - cur[-5].eqW);
    sums[3] = uint8_t(sums[3] + cur[-1].eqN - cur[-8].eqN);
    return nextHash;
}

}  // namespace

int decodePixel(RangeDecoder& rc, ContextModel& cm, int x) {
    return decodePixelAt(rc, cm, x, hashAtCursor(cm));
}

void decodeRow(RangeDecoder& rc, ContextModel& cm) {
    uint32_t hash = hashAtCursor(cm);
    for (int x = 0; x < cm.width;) {
        x += decodePixelAt(rc, cm, x, hash);
        hash = finishPixel(cm);
    }
}

}  // namespace pqz
