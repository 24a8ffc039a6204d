// Reading a loaded payload: the cursor shared by the bit reader and the range decoder, the
// least-significant-bit-first bit reader, and the record of what made the stream unusable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/platform.h"
#include "base/status.h"

namespace pqz {

// Zero bytes behind every loaded payload: the bit reader takes whole 32-bit words.
constexpr size_t kPayloadSlack = 8;

// A position in the payload and whether the stream is still usable. Any decoder that finds the
// stream unusable (reads past the payload, impossible values, tables that would overflow, a
// failed allocation) calls fail(); decoding then stops and the image is refused.
struct StreamCursor {
    const uint8_t* cursor = nullptr;
    const uint8_t* end = nullptr;  // the payload's end; kPayloadSlack zero bytes follow
    bool damaged = false;
    Status failure = Status::Ok;  // the first refusal; Ok while only damaged is set

    void fail(Status why) {
        damaged = true;
        if (failure == Status::Ok) failure = why;
    }
    // The outcome of the stream: the first refusal, or a damaged stream.
    Status status() const {
        if (failure != Status::Ok) return failure;
        return damaged ? Status::DamagedStream : Status::Ok;
    }
};

// The bit reader over a payload, in 32-bit little-endian words (base/platform.h checks the
// host's byte order). segmentStart is where the current bit-packed segment began.
struct PayloadReader : StreamCursor {
    const uint8_t* start = nullptr;
    const uint8_t* segmentStart = nullptr;
    int32_t bitCount = 0;
    uint32_t bitBuffer = 0;

    PayloadReader() = default;
    PayloadReader(const uint8_t* payload, size_t size) {
        start = segmentStart = cursor = payload;
        end = payload + size;
    }
};

// Takes the next payload byte; past the payload's end the stream is damaged and 0 is read.
inline uint32_t takeByte(StreamCursor& in) {
    if (in.cursor < in.end) return *in.cursor++;
    in.damaged = true;
    return 0;
}

// Takes the next 32-bit word at the cursor. The payload is followed by zero slack, so a word
// that reaches past the payload's end reads zeros; a word that starts past the end means the
// stream is damaged, and zeros are returned without moving further.
inline uint32_t takeWord(PayloadReader& in) {
    if (in.cursor > in.end) {
        in.damaged = true;
        return 0;
    }
    uint32_t w;
    std::memcpy(&w, in.cursor, 4);
    in.cursor += 4;
    return w;
}

// The next n bits (1 <= n <= 31), the first of them in bit 0 of the result.
inline uint32_t readBits(PayloadReader& in, int n) {
    const uint32_t mask = (1u << n) - 1;
    in.bitCount -= n;
    if (in.bitCount >= 0) {
        uint32_t r = in.bitBuffer & mask;
        in.bitBuffer >>= n;
        return r;
    }
    int held = in.bitCount + n;
    if (held < 0) {  // only after a range stream gave bytes back; never in a valid stream
        in.damaged = true;
        held = 0;
        in.bitBuffer = 0;
        in.bitCount = -n;
    }
    uint32_t w = takeWord(in);
    uint32_t r = (in.bitBuffer | (w << held)) & mask;
    in.bitBuffer = w >> (n - held);
    in.bitCount += 32;
    return r;
}

}  // namespace pqz
