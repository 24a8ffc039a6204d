// The bit-stream decoder's copies from earlier bytes and the list of distance candidates they
// take their distances from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/platform.h"
#include "codec/bitstream/bitstream.h"

#if defined(__SSE2__) && !defined(PQZ2_PORTABLE)
#include <immintrin.h>
#define PQZ_CANDIDATE_LANES 1
#else
#define PQZ_CANDIDATE_LANES 0
#endif

namespace pqz {

// Moves kBytes bytes through a register: an overlapping source is read before the store.
template <size_t kBytes>
inline void movePiece(uint8_t* dst, const uint8_t* src) {
    uint8_t piece[kBytes];
    std::memcpy(piece, src, kBytes);
    std::memcpy(dst, piece, kBytes);
}

// Copies kPiece bytes at a time from at least kPiece bytes back: each piece repeats bytes
// written before it, and the last piece ends at len (len >= kPiece), overlapping the one before
// it, so nothing behind is written.
template <size_t kPiece>
inline void copyPieces(uint8_t* dst, const uint8_t* src, size_t len) {
    for (size_t i = 0; i + kPiece < len; i += kPiece) movePiece<kPiece>(dst + i, src + i);
    movePiece<kPiece>(dst + len - kPiece, src + len - kPiece);
}

// Copies len bytes from dist back, as byte after byte would (overlaps repeat the pattern).
inline void copyBack(uint8_t* dst, size_t dist, size_t len) {
    const uint8_t* src = dst - dist;
    if (dist >= 4 && len - 4 <= 12) {
        // 4 to 16 bytes, nearly all copies: four 4-byte pieces in order, the middle two placed
        // no further than the last, so that any of these lengths takes the same path. Each
        // piece reads bytes written before it when the copy overlaps itself.
        const size_t last = len - 4;
        const size_t second = last < 4 ? last : 4;
        const size_t third = last < 8 ? last : 8;
        movePiece<4>(dst, src);
        movePiece<4>(dst + second, src + second);
        movePiece<4>(dst + third, src + third);
        movePiece<4>(dst + last, src + last);
    } else if (dist >= 8 && len >= 8) {
        copyPieces<8>(dst, src, len);
    } else if (dist >= 4 && len >= 4) {
        copyPieces<4>(dst, src, len);
    } else if (dist >= 2 && len >= 2) {
        copyPieces<2>(dst, src, len);
    } else if (dist == 1) {
        std::memset(dst, src[0], len);
    } else {
        for (size_t i = 0; i < len; i++) dst[i] = src[i];
    }
}

// A distance candidate: its offset and the bytes its matches have copied (halved now and then),
// side by side, so that a reordering moves both with one move.
struct Candidate {
    uint32_t offset;
    uint32_t count;
};

// The distance candidates, most used first. Eight guard places on either side of the list let
// a reordering look at and move eight places at once without a bound: the ones in front hold the
// highest count, the ones behind take what a move overruns.
class CandidateList {
  public:
    static constexpr int kGuard = 8;

    // Offsets of the kCandidateCount candidates, in order, none used yet.
    void init(const uint32_t* offsets) {
        for (int k = 0; k < kGuard; k++) {
            slots_[k] = {0, UINT32_MAX};
            slots_[kGuard + kCandidateCount + k] = {0, 0};
        }
        for (int k = 0; k < kCandidateCount; k++) slots_[kGuard + k] = {offsets[k], 0};
    }

    const Candidate& operator[](uint32_t idx) const { return slots_[kGuard + idx]; }
    void setOffset(uint32_t idx, uint32_t offset) { slots_[kGuard + idx].offset = offset; }

    // Counts length bytes copied by candidate idx and keeps the list sorted by use: the
    // candidate moves ahead of the run of candidates right before it whose count is now below
    // its own, those one place up; then, when it moved, the counts are halved once the eighth
    // leads the ninth by more than 20.
    //
    // Whether it moves, and how far, follows the data. Moves of up to seven places, nearly all,
    // take no branch: the eight counts before idx are compared at once, and eight pairs are
    // moved up one place, the eight behind idx written back over what that overran (a move of
    // no places stores the pairs where they were).
    void count(uint32_t idx, uint32_t length) {
        Candidate* const list = slots_ + kGuard;
        const uint32_t c = list[idx].count += length;
        uint32_t run = runBelow(list + idx, c);
        const Candidate moved = list[idx];
        if (run == uint32_t(kGuard)) {
            while (run < idx && list[idx - run - 1].count < c) run++;
            std::memmove(list + idx - run + 1, list + idx - run, run * sizeof *list);
        } else {
            moveUpEight(list + idx - run, list + idx + 1);
        }
        list[idx - run] = moved;
        if ((run != 0) & (list[7].count - list[8].count > 20)) {
            for (int k = 0; k < kCandidateCount; k++) list[k].count >>= 1;
        }
    }

  private:
    // How many of the eight counts right before at are below c, counted back from at up to the
    // first that is not.
    static uint32_t runBelow(const Candidate* at, uint32_t c) {
        uint32_t below;  // bit j: the count of at[j - 8] is below c
#if PQZ_CANDIDATE_LANES
        // Unsigned comparisons as signed ones with the top bit flipped.
        const __m128i flip = _mm_set1_epi32(INT32_MIN);
        const __m128i limit = _mm_set1_epi32(int32_t(c ^ 0x80000000u));
        const __m128i* p = reinterpret_cast<const __m128i*>(at - 8);
        const __m128 lower =
            _mm_shuffle_ps(_mm_castsi128_ps(_mm_loadu_si128(p)),
                           _mm_castsi128_ps(_mm_loadu_si128(p + 1)), _MM_SHUFFLE(3, 1, 3, 1));
        const __m128 upper =
            _mm_shuffle_ps(_mm_castsi128_ps(_mm_loadu_si128(p + 2)),
                           _mm_castsi128_ps(_mm_loadu_si128(p + 3)), _MM_SHUFFLE(3, 1, 3, 1));
        const __m128i lowerBelow =
            _mm_cmplt_epi32(_mm_xor_si128(_mm_castps_si128(lower), flip), limit);
        const __m128i upperBelow =
            _mm_cmplt_epi32(_mm_xor_si128(_mm_castps_si128(upper), flip), limit);
        below = uint32_t(_mm_movemask_ps(_mm_castsi128_ps(lowerBelow))) |
                uint32_t(_mm_movemask_ps(_mm_castsi128_ps(upperBelow))) << 4;
#else
        below = 0;
        for (int j = 0; j < 8; j++) below |= uint32_t(at[j - 8].count < c) << j;
#endif
        // The leading ones of the eight bits; the bit below them stops the count at eight.
        return uint32_t(__builtin_clz((~below << 24) | 0x00800000u));
    }

    // Moves the eight pairs at from one place up, then puts the eight at behind back.
    static void moveUpEight(Candidate* from, Candidate* behind) {
#if PQZ_CANDIDATE_LANES
        __m128i* f = reinterpret_cast<__m128i*>(from);
        __m128i* b = reinterpret_cast<__m128i*>(behind);
        const __m128i f0 = _mm_loadu_si128(f), f1 = _mm_loadu_si128(f + 1);
        const __m128i f2 = _mm_loadu_si128(f + 2), f3 = _mm_loadu_si128(f + 3);
        const __m128i b0 = _mm_loadu_si128(b), b1 = _mm_loadu_si128(b + 1);
        const __m128i b2 = _mm_loadu_si128(b + 2), b3 = _mm_loadu_si128(b + 3);
        __m128i* t = reinterpret_cast<__m128i*>(from + 1);
        _mm_storeu_si128(t, f0);
        _mm_storeu_si128(t + 1, f1);
        _mm_storeu_si128(t + 2, f2);
        _mm_storeu_si128(t + 3, f3);
        _mm_storeu_si128(b, b0);
        _mm_storeu_si128(b + 1, b1);
        _mm_storeu_si128(b + 2, b2);
        _mm_storeu_si128(b + 3, b3);
#else
        Candidate ahead[8], kept[8];
        std::memcpy(ahead, from, sizeof ahead);
        std::memcpy(kept, behind, sizeof kept);
        std::memcpy(from + 1, ahead, sizeof ahead);
        std::memcpy(behind, kept, sizeof kept);
#endif
    }

    Candidate slots_[kGuard + kCandidateCount + kGuard];
};

}  // namespace pqz
