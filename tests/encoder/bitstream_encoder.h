// Bit-stream coder for tests: writes a byte sequence (n bytes in rows of r bytes) as one call of
// the bit-stream plane decoder reads it. The encoder keeps the decoder's models (distance
// candidates, context classes, rank lists and selectors, match modes and their stack) and
// updates them symbol by symbol exactly as the decoder will, so every choice it makes is coded
// against the state the decoder has at that point.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "tests/encoder/bit_writer.h"
#include "tests/encoder/bitstream_codes.h"

namespace pqz::enc {

enum class CodeLengthChoice {
    Default,  // nothing transmitted
    Fitted,   // codes the stream uses get lengths fitted to their symbol counts
    Random,   // per code at random: default, transmitted defaults, fitted, reshuffled or noisy
};

struct BitstreamOptions {
    int variant = 0;           // 0-3 (the plane's method)
    bool contextFlag = false;  // the plane's model flag
    // 0: greedy choices (longest copy, else literal). Otherwise every choice is made at random
    // among the valid ones, from this seed: literals, runs, copies of any candidate and any
    // codable length, mode switches, short copies, explicit distances, leaving the match mode.
    uint32_t seed = 0;
    CodeLengthChoice codeLengths = CodeLengthChoice::Fitted;
    // Codes to transmit with Fitted lengths; by default those the stream uses.
    std::optional<uint32_t> transmitMask;
    // Extra bits written into the mask bits a variant-2 stream ignores (bits 0-10).
    uint32_t ignoredMaskBits = 0;
    // Selector thresholds (6 bits each) and context-class thresholds (8 bits each, 5, 7 or 9 of
    // them as the stream needs); chosen by the encoder (at random with a seed) when not given.
    std::optional<std::array<uint8_t, 5>> selectorThresholds;
    std::optional<std::vector<uint8_t>> classThresholds;
    bool literalsOnly = false;  // no copies and no runs: only literals and the end escape
};

// What a stream used: for tests that want to see every path taken.
struct BitstreamStats {
    uint32_t literals = 0;
    uint32_t matchModeEntries = 0;
    std::array<uint32_t, 6> matchesInMode{};  // index 1-5: matches coded in that mode
    uint32_t modeSwitches = 0;                // matches after switching to a lower mode
    uint32_t stackPops = 0;
    uint32_t stackPushes = 0;
    uint32_t shortCopies = 0;
    uint32_t explicitCopies = 0;
    uint32_t zeroRuns = 0;
    std::array<uint32_t, 24> zeroRunSymbols{};
    std::array<uint32_t, 32> matchLengthIndexes{};
    uint32_t selectorChanges = 0;
    uint32_t rankRescales = 0;
    uint32_t fullListHalvings = 0;  // halvings that walked past a list with no zero count
    uint32_t candidateMoves = 0;
    uint32_t candidateHalvings = 0;
    uint32_t transmittedCodes = 0;
    std::array<uint32_t, kLengthCodeSymbols> lengthCodeSymbols{};
    size_t bits = 0;  // bits written for this stream
};

// Appends the coded stream of data[0 .. n) (n >= 1) with row length r to bits.
// Contexts of rows narrower than five bytes read up to three bytes at and after the byte being
// decoded; they hold what the decoder's buffer held before the call: bufferBefore[0 .. n) when
// given (a later separately coded plane finds the plane before it there), zeros otherwise, and
// zeros past n.
BitstreamStats encodeBitstream(BitWriter& bits, const uint8_t* data, size_t n, size_t r,
                               const BitstreamOptions& options,
                               const uint8_t* bufferBefore = nullptr);

// The 64 initial distance candidates for row length r, in list order.
std::array<uint32_t, 64> initialDistanceCandidates(size_t r);

// Context class of every value (class times 16) for the thresholds as the stream carries them.
std::array<uint8_t, 256> contextClasses(const std::vector<uint8_t>& thresholds);

}  // namespace pqz::enc
