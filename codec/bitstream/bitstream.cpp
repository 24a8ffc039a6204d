#include "codec/bitstream/bitstream.h"

#include <cstring>

#include "base/memory.h"
#include "codec/bitstream/match_copies.h"
#include "codec/bitstream/prefix_codes.h"
#include "codec/bitstream/rank_lists.h"

namespace pqz {

namespace {

constexpr uint32_t kMaxCandidateOffset = 16383;

// Bytes of a match by length index.
constexpr uint16_t kMatchLength[32] = {5,  6,  7,  8,  9,  10,  11,  12,  13,  14, 15,
                                       16, 17, 18, 19, 20, 21,  22,  23,  24,  25, 27,
                                       30, 35, 43, 56, 77, 111, 166, 255, 399, 632};

// Zero runs: base length by run symbol; symbols 16..22 add symbol - 15 extra bits.
constexpr uint16_t kRunBase[24] = {6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,  17,
                                   18, 19, 20, 21, 22, 24, 28, 36, 52, 84, 148, 276};

// A match at least this long in mode m (1..4) takes the next mode from the stack; mode 5 never
// does (no match reaches 1000 bytes).
constexpr uint16_t kModeThreshold[6] = {0, 6, 8, 12, 20, 1000};

// Modes stacked by the match mode. The current mode is always below the top of the stack, and
// a mode is pushed only when a lower one becomes current, so the stack holds distinct modes
// 2..5 in decreasing order from the bottom: at most four, and never empty below mode 5.
struct ModeStack {
    uint8_t slots[5];  // the fifth is never pushed to; it lets a pop be chosen without a branch
    int size = 0;

    // Pushes mode when taken is 1; false when that finds the stack full. Whether a step
    // pushes follows the data: no branch on taken.
    bool pushIf(uint32_t taken, uint32_t mode) {
        if (size + int(taken) > 4) return false;
        slots[size] = uint8_t(mode);
        size += int(taken);
        return true;
    }
    // Pops the top into mode when taken is 1 (keeps mode when 0); false when that finds the
    // stack empty. Long and short matches alternate without a pattern: no branch on taken.
    bool popIf(uint32_t taken, uint32_t& mode) {
        if (int(taken) > size) return false;
        size -= int(taken);
        const uint32_t top = slots[size];
        mode = taken ? top : mode;
        return true;
    }
};

struct BitStreamDecoder {
    // Inputs.
    uint8_t* out;
    size_t n;
    size_t row;
    int variant;
    bool contextFlag;
    bool wideMoves;  // rank pairs move in 32-byte lanes

    size_t p;
    uint32_t explicitCount;  // explicit distances seen; they replace candidates 60..63 in turn
    uint32_t copyUnit;

    CandidateList candidates;
    uint8_t contextClass[256];
    LiteralModel literals;
    ModeStack modes;
    PrefixCodeSet codes;

    RowProgress* progress;
    size_t rowsCounted;  // rows of the plane counted as done
    size_t countAt;      // the byte at which the next rows are counted
};

}  // namespace

void initDistanceCandidates(uint32_t* offset, size_t row) {
    int64_t raw[kCandidateCount];
    int k = 0;
    const int64_t r = int64_t(row);
    for (int64_t radius = 1; k < kCandidateCount; radius++) {
        raw[k++] = radius * r;
        for (int64_t d = radius - 1; d >= 1 && k < kCandidateCount; d--) {
            raw[k++] = d * r + (radius - d);
            if (k < kCandidateCount) raw[k++] = d * r - (radius - d);
        }
        if (k < kCandidateCount) raw[k++] = radius;
    }
    uint32_t replacement = 0;
    auto taken = [&](int64_t v, int before) {
        for (int i = 0; i < before; i++) {
            if (offset[i] == v) return true;
        }
        return false;
    };
    for (int i = 0; i < kCandidateCount; i++) {
        int64_t v = raw[i];
        if (v < 1 || v > kMaxCandidateOffset || taken(v, i)) {
            do replacement++;
            while (taken(replacement, i));
            v = replacement;
        }
        offset[i] = uint32_t(v);
    }
}

namespace {

// Context classes from the transmitted thresholds: threshold j gives class j to the values not
// yet classed up to itself; values above the last threshold get the next class.
void readContextClasses(PayloadReader& in, BitStreamDecoder& d) {
    const int count = 5 + (d.n >= 131072 ? 2 : 0) + (d.variant == 2 ? 2 : 0);
    uint32_t next = 0;
    for (int j = 0; j < count; j++) {
        const uint32_t limit = readBits(in, 8);
        while (next <= limit) d.contextClass[next++] = uint8_t(16 * j);
    }
    while (next < 256) d.contextClass[next++] = uint8_t(16 * count);
}

// What the context of a byte is formed from: the byte before alone, or with the context flag
// its neighbours' classes and parities; variant 1 adds the parities of NE and NW and a class
// comparison.
enum class ContextKind { kByteBefore, kNeighbours, kExtended };

// Context of the byte at p; w is the byte before it. Rows narrower than five bytes read up to
// three bytes at and behind p (not yet decoded), which the slack behind the buffer covers.
template <ContextKind kKind>
inline uint32_t formContext(const uint8_t* cls, size_t r, const uint8_t* out, size_t p,
                            uint32_t w) {
    if constexpr (kKind == ContextKind::kByteBefore) return w;
    const uint8_t* o = out + p;
    if (p <= r) return cls[w] | 3 * (w & 1);
    const uint8_t* a = o - r;  // the row above
    const uint32_t n = a[0], nw = a[-1], ne = a[1];
    uint32_t ctx;
    if (p > 2 * r + 1) {
        const uint8_t* b = a - r;  // two rows above
        const uint32_t s = 4 * (n + w) + 3 * (nw + ne) + 2 * (o[-2] + b[0] + b[1] + a[2]) + o[-3] +
                           o[-4] + a[-2] + a[-3] + a[3] + a[4] + b[-1] + b[-2] + b[2] + b[3];
        ctx = cls[s >> 5] | 2 * (w & 1) | (n & 1);
    } else {
        ctx = cls[(w + n + nw + ne) >> 2] | 2 * (w & 1) | (n & 1);
    }
    if constexpr (kKind == ContextKind::kExtended) {
        const uint32_t above = ctx < cls[w] || ctx < cls[ne] || ctx < cls[nw];
        ctx |= 4 * (ne & 1) | 8 * (nw & 1) | 128 * above;
    }
    return ctx;
}

// Copies len bytes from dist back at p, refusing copies outside the output.
inline bool copyMatch(PayloadReader& in, BitStreamDecoder& d, size_t dist, size_t len) {
    if (dist > d.p || len > d.n - d.p) {
        in.damaged = true;
        return false;
    }
    copyBack(d.out + d.p, dist, len);
    d.p += len;
    return true;
}

// Where the match mode's symbols come from: the reader itself, code by code.
struct ReaderBits {
    PayloadReader& in;
    const PrefixCodeSet& codes;

    bool refill() { return true; }
    uint32_t decode(int code) { return decodePrefixSymbol(in, codes, code); }
    uint32_t take(int n) { return readBits(in, n); }
};

// Or the bit window, refilled before each step; a step (a match symbol, or an action with its
// short copy and explicit distance: at most 15 + 15 + 11 bits) fits in a refill.
struct WindowBits {
    BitWindow window;
    const PrefixCodeSet& codes;

    bool refill() { return window.refill(); }
    uint32_t decode(int code) { return window.decode(codes, code); }
    uint32_t take(int n) { return window.takeBits(n); }
};

// Short copy or explicit-distance copy after action 1.
template <class Bits>
inline bool shortCopy(PayloadReader& in, BitStreamDecoder& d, Bits& bits) {
    const uint32_t sym = bits.decode(kShortDistanceCode);
    if (sym < 24) return copyMatch(in, d, d.candidates[sym].offset, d.copyUnit);
    const uint32_t dist = (sym - 24) * 2048 + bits.take(11);
    d.candidates.setOffset(kCandidateCount - 1 - (d.explicitCount & 3), dist);
    d.explicitCount++;
    // Shorter distances would overlap within one of the three 4-byte moves.
    if (dist < 4) {
        in.damaged = true;
        return false;
    }
    return copyMatch(in, d, dist, 12);
}

// Where the match mode stands between two steps.
struct MatchState {
    uint32_t mode = 1, shift = 1, high = 0;
    bool atAction = false;  // the next symbol is an action (else a match)
};

enum class MatchEnd { kLeft, kStopped, kHandOver };

// Match mode, entered after an escape: matches from the candidate list, short copies and mode
// changes until the action symbol 0 leaves it. Stops with kHandOver, its state in s, when the
// bits cannot be refilled (near the payload's end, in a window).
template <class Bits>
MatchEnd matchSteps(PayloadReader& in, BitStreamDecoder& d, Bits& bits, MatchState& s) {
    uint32_t mode = s.mode, shift = s.shift, high = s.high;
    bool atAction = s.atAction;
    for (;;) {
        if (!atAction) {
            if (!bits.refill()) {
                s = {mode, shift, high, false};
                return MatchEnd::kHandOver;
            }
            const uint32_t sym = bits.decode(kMatchCode + int(shift));
            const uint32_t idx = high | (sym >> shift);
            const uint32_t length = kMatchLength[sym & ((1u << shift) - 1)];
            if (!copyMatch(in, d, d.candidates[idx].offset, length)) return MatchEnd::kStopped;
            if (!d.modes.popIf(length >= kModeThreshold[mode], mode)) {
                in.damaged = true;
                return MatchEnd::kStopped;
            }
            d.candidates.count(idx, length);
        }
        atAction = false;

        for (;;) {
            if (in.damaged) return MatchEnd::kStopped;
            if (!bits.refill()) {
                s = {mode, shift, high, true};
                return MatchEnd::kHandOver;
            }
            shift = mode;
            const uint32_t action = bits.decode(kActionCode + int(mode) - 1);
            if (action == 1) {
                if (!shortCopy(in, d, bits)) return MatchEnd::kStopped;
                continue;
            }
            if (action == 0) {
                if (!d.modes.pushIf(mode != 1, mode)) in.damaged = true;
                return in.damaged ? MatchEnd::kStopped : MatchEnd::kLeft;
            }
            // The next mode: the same one, or a lower one with the current one stacked.
            const uint32_t next = action - 1;
            const uint32_t change = next != mode;
            if (!d.modes.pushIf(change, mode)) {
                in.damaged = true;
                return MatchEnd::kStopped;
            }
            // With a change the match symbol's shift is the action, its candidates start at
            // 128 >> action (masks: the compiler would branch on a choice).
            const uint32_t changed = 0u - change;
            shift ^= (shift ^ action) & changed;
            high = (128u >> action) & changed;
            mode = next;
            break;
        }
    }
}

// The match mode's steps go through the bit window while its bytes lie inside the payload, the
// rest through the reader. False when decoding stops.
bool matchMode(PayloadReader& in, BitStreamDecoder& d, BitWindow& window) {
    MatchState s;
    WindowBits bits{window, d.codes};
    const MatchEnd end = matchSteps(in, d, bits, s);
    window = bits.window;
    if (end != MatchEnd::kHandOver) return end == MatchEnd::kLeft;
    window.handBack(in);
    ReaderBits reader{in, d.codes};
    const bool left = matchSteps(in, d, reader, s) == MatchEnd::kLeft;
    window = BitWindow(in);
    return left;
}

template <class Bits>
inline uint32_t zeroRunLength(Bits& bits) {
    const uint32_t sym = bits.decode(kZeroRunCode);
    uint32_t length = kRunBase[sym];
    if (sym >= 16 && sym <= 22) length += bits.take(int(sym) - 15);
    return length;
}

bool zeroRun(PayloadReader& in, BitStreamDecoder& d, BitWindow& window) {
    size_t length;
    if (window.refill()) {
        WindowBits bits{window, d.codes};
        length = zeroRunLength(bits);
        window = bits.window;
    } else {
        window.handBack(in);
        ReaderBits reader{in, d.codes};
        length = zeroRunLength(reader);
        window = BitWindow(in);
    }
    if (length > d.n - d.p) {
        in.damaged = true;
        return false;
    }
    std::memset(d.out + d.p, 0, length);
    d.p += length;
    return true;
}

// Bytes decoded between two progress counts at least (whole rows are counted).
constexpr size_t kProgressBytes = 4096;

// Counts the rows finished up to byte p and sets the next byte to count at; false when the
// caller asked to stop.
PQZ_COLD bool countRows(PayloadReader& in, BitStreamDecoder& d, size_t p) {
    const size_t rows = d.row ? p / d.row : 0;
    if (rows > d.rowsCounted && d.progress->rowsDone(rows - d.rowsCounted, in)) {
        in.fail(Status::Cancelled);
        return false;
    }
    if (rows > d.rowsCounted) d.rowsCounted = rows;
    // When rows are watched for trust, every row is counted as soon as it is finished.
    d.countAt = d.progress->watching() && d.row ? (rows + 1) * d.row : p + kProgressBytes;
    return true;
}

// A symbol whose code may need a word the bit window does not take: the reader takes it, or
// marks the stream damaged when it lies past the payload. Kept out of line, so that the window
// itself stays in registers.
PQZ_COLD uint32_t symbolFromReader(PayloadReader& in, const PrefixCodeSet& codes, int code) {
    return decodePrefixSymbol(in, codes, code);
}

// Why a run of literals in registers (literalRun) ended.
enum class RunEnd {
    kBound,      // p reached the bound it was given
    kSingle,     // the next code needs a word the reader has to take, or the tree walk
    kEscape,     // the escape that ends the literals was read
    kPlainMove,  // the literal (ctx, rank) was read; its list needs the plain search
};

// The state a run of literals carries: the next byte's place, the byte before it, the bit
// window, and the literal that ended the run.
struct LiteralRun {
    size_t p;
    uint32_t before;
    uint32_t ctx;
    uint32_t rank;
    BitWindow window;
};

// Literals from run.p up to stop while they take the common path: a code in the quick lookup and
// a sorted list. The loop walks no tree, so that its state stays in registers; everything else
// returns to the caller, which handles it and starts the next run. The one call, choosing a
// context's literal code again (every 32 literals of a context), stays in the run: leaving the
// run for it and starting the next one cost more than the call's saves.
template <ContextKind kKind, bool kWide>
PQZ_HOT_INLINE RunEnd literalRun(BitStreamDecoder& d, LiteralRun& run, size_t stop) {
    const uint8_t* const cls = d.contextClass;
    const size_t row = d.row;
    uint8_t* const out = d.out;
    uint8_t* at = out + run.p;
    uint8_t* const last = out + stop;
    LiteralModel& literals = d.literals;
    const PrefixCodeSet& codes = d.codes;
    uint32_t before = run.before;
    BitWindow window = run.window;
    RunEnd end = RunEnd::kBound;
    // Where a run starts, the bits held follow no pattern the refill test could learn.
    window.topUp();
    while (at < last) {
        const uint32_t ctx = formContext<kKind>(cls, row, out, size_t(at - out), before);
        if (!window.fill()) {
            end = RunEnd::kSingle;
            break;
        }
        const uint32_t entry = window.quickEntry(codes, kLiteralCode + literals.selector[ctx]);
        const int length = int(entry & 15);
        if (length == 0) {
            end = RunEnd::kSingle;
            break;
        }
        window.take(length);
        const uint32_t q = entry >> 4;
        if (q == 0) {
            end = RunEnd::kEscape;
            break;
        }
        RankList* listAt = literals.ranks + ctx;
        // The record's address stays in a register: the compiler would work it out from ctx
        // again at each use behind a store (a multiplication: the records' size is not a power
        // of two).
        asm("" : "+r"(listAt));
        RankList& list = *listAt;
        uint32_t rank = q - 1;
        if (list.pair[rank].count >= list.indexedBelow) {
            if (!takesFromTail(list, rank)) {
                run.ctx = ctx;
                run.rank = rank;
                end = RunEnd::kPlainMove;
                break;
            }
#if PQZ_RANK_WIDE_LANES
            if (kWide && list.byDeposit) {
                // The value from the search rather than from the pair just stored.
                rank = storeFromTailByDeposit(list, rank, before);
            } else
#endif
            {
                rank = storeFromTail(list, rank);
                before = list.pair[rank].value;
            }
        } else {
            before = list.pair[rank].value;
        }
        *at++ = uint8_t(before);
        moveByIndex<kWide>(list, rank);
        // The byte is the next literal's context: this keeps the compiler from carrying it to
        // the next literal through the stack (a store and a load on the chain).
        asm("" : "+r"(before));
        // From the list rather than ctx, which then need not be kept across the move.
        if (countInTotal(list)) adaptLiteralCode(literals, uint32_t(&list - literals.ranks));
    }
    run.p = size_t(at - out);
    run.before = before;
    run.window = window;
    return end;
}

template <ContextKind kKind>
[[gnu::noinline]] RunEnd decodeRun(BitStreamDecoder& d, LiteralRun& run, size_t stop) {
    return literalRun<kKind, false>(d, run, stop);
}

#if PQZ_RANK_WIDE_LANES
// The run built for 32-byte lanes; flatten expands the rank moves into it (built for the same
// lanes), which a plain inline function could not take in.
template <ContextKind kKind>
[[gnu::noinline, gnu::flatten]] PQZ_TARGET_AVX2_BMI2 RunEnd decodeRunWide(BitStreamDecoder& d,
                                                                          LiteralRun& run,
                                                                          size_t stop) {
    return literalRun<kKind, true>(d, run, stop);
}
#endif

// Literals from pos on, up to the escape that ends them; pos is left at the escape. False when
// decoding stops (damage, a literal behind the last byte, or a cancel). Expanded into one loop
// per kind of context.
//
// Runs in registers go while no rows are due to be counted and the plane has room, with the
// codes in the bit window; the rare literals they leave, counting rows, a code the reader has
// to take and a literal at the end of the plane are handled here, one literal at a time.
template <ContextKind kKind>
[[gnu::noinline]] bool decodeLiterals(PayloadReader& in, BitStreamDecoder& d, BitWindow& window,
                                      size_t& pos) {
    if (in.damaged) return false;
    LiteralRun run{pos, d.out[pos - 1], 0, 0, window};  // the first byte is stored ahead
    bool go = true;
    for (;;) {
        const size_t stop = d.countAt < d.n ? d.countAt : d.n;
        RunEnd end;
#if PQZ_RANK_WIDE_LANES
        if (d.wideMoves)
            end = decodeRunWide<kKind>(d, run, stop);
        else
#endif
            end = decodeRun<kKind>(d, run, stop);
        if (end == RunEnd::kEscape) {
            window = run.window;
            pos = run.p;
            return true;
        }
        if (end == RunEnd::kPlainMove) {
            run.before = takeLiteral(d.literals, run.ctx, run.rank);
            d.out[run.p++] = uint8_t(run.before);
            continue;
        }
        size_t& p = run.p;
        BitWindow& held = run.window;
        if (p >= d.countAt) {
            // The count looks at the reader's position (rows read past the data's end are not
            // trusted): the reader is brought up to date first.
            held.handBack(in);
            if (!countRows(in, d, p)) {
                go = false;
                break;
            }
            held = BitWindow(in);
            continue;
        }
        const uint32_t ctx = formContext<kKind>(d.contextClass, d.row, d.out, p, run.before);
        const int code = kLiteralCode + d.literals.selector[ctx];
        uint32_t q;
        bool damaged = false;
        if (held.fill()) {
            q = held.decode(d.codes, code);
        } else {
            held.handBack(in);
            q = symbolFromReader(in, d.codes, code);
            damaged = in.damaged;
            held = BitWindow(in);
        }
        if (q == 0) break;
        if (p >= d.n) {  // a literal behind the last byte
            in.damaged = true;
            go = false;
            break;
        }
        run.before = takeLiteral(d.literals, ctx, q - 1);
        d.out[p++] = uint8_t(run.before);
        // A literal read past the payload's end is kept; decoding stops behind it.
        if (damaged) {
            go = false;
            break;
        }
    }
    window = run.window;
    pos = run.p;
    return go;
}

// The literals and the mode between them read through one bit window; the reader is brought up
// to date when decoding ends, and wherever it reads by itself.
void decodeSymbols(PayloadReader& in, BitStreamDecoder& d) {
    BitWindow window(in);
    for (;;) {
        size_t p = d.p;
        bool go;
        if (!d.contextFlag)
            go = decodeLiterals<ContextKind::kByteBefore>(in, d, window, p);
        else if (d.variant == 1)
            go = decodeLiterals<ContextKind::kExtended>(in, d, window, p);
        else
            go = decodeLiterals<ContextKind::kNeighbours>(in, d, window, p);
        if (!go || p >= d.n) break;  // p at n: the escape at the end of the plane
        d.p = p;
        if (!(d.variant == 2 ? zeroRun(in, d, window) : matchMode(in, d, window))) break;
    }
    window.handBack(in);
}

}  // namespace

void decodeBitStream(PayloadReader& in, PlaneCoding coding, uint32_t rowLength, uint8_t* out,
                     size_t n, RowProgress& progress) {
    // Every field is set below or by the table set-up before it is read.
    Owned<BitStreamDecoder> owner = allocateObject<BitStreamDecoder>(Fill::None);
    if (!owner) {
        in.fail(Status::OutOfMemory);
        return;
    }
    BitStreamDecoder& d = *owner;
    d.out = out;
    d.n = n;
    d.row = rowLength;
    d.variant = uint32_t(coding.method) & 3;
    d.contextFlag = coding.modelFlag;
    d.wideMoves = wideRankMoves();
    d.progress = &progress;
    d.rowsCounted = 0;
    d.countAt = kProgressBytes;
    d.p = 1;
    d.explicitCount = 0;
    d.copyUnit = d.variant == 0 ? 3 : 4;
    d.modes.size = 0;
    std::memset(d.modes.slots, 0, sizeof d.modes.slots);
    for (uint32_t mode = 5; mode >= 2; mode--) d.modes.pushIf(1, mode);

    uint32_t offsets[kCandidateCount];
    initDistanceCandidates(offsets, d.row);
    d.candidates.init(offsets);
    if (d.contextFlag) readContextClasses(in, d);
    initLiteralModel(d.literals, d.contextFlag, readBits(in, 30));
    if (!buildPrefixCodes(in, d.variant, d.codes)) return;

    const uint8_t first = uint8_t(readBits(in, 8));
    if (n == 0) {
        // Nothing to write: the stream can only hold the escape that ends it. No literal has
        // been coded yet, so every context still uses the first literal code.
        if (decodePrefixSymbol(in, d.codes, kLiteralCode) != 0) in.damaged = true;
        return;
    }
    // With a zero row length the context would reach in front of the buffer.
    if (d.contextFlag && rowLength == 0) {
        in.damaged = true;
        return;
    }
    out[0] = first;
    if (progress.watching()) d.countAt = d.row ? d.row : kProgressBytes;
    decodeSymbols(in, d);
    // The rows behind the last count, when the plane is whole.
    if (progress.watching() && !in.damaged) countRows(in, d, n);
}

}  // namespace pqz
