// Conversion of a decoded image into the device-independent bitmap handed to the caller.
#pragma once

#include <cstdint>

#include "base/image.h"
#include "pqz2_read/pqz2_read.h"

namespace pqz {

// Bits per pixel of the bitmap for an image of n bits per pixel.
int dibBitsFor(int n);

// Whether the bitmap of a width x height image of n bits per pixel can be described by the
// 32-bit fields of the bitmap header.
bool dibSizeFits(uint32_t width, uint32_t height, int n);

// Reads the next image of the handle and converts it; null when there is none, it is damaged,
// or a decoder raised an error (the auxiliary header is then released and *aux set to null).
DibImage* convertToDib(ReaderHandle* handle, AuxHeader** aux);

// The first half of convertToDib: the next image as the raw record in its stored pixel format
// (null on the same conditions; released with freeDecodedImage).
DecodedImage* readDecodedImage(ReaderHandle* handle, AuxHeader** aux);

// Widening of formats a bitmap cannot show: 2-bit pixels to 4 bits, 15/16-bit to 24 bits,
// 32-bit to 24 bits. Returns a new record (the source is left alone), or the source itself when
// no widening applies, or null when the allocation fails.
DecodedImage* widenForDib(const DecodedImage* src);

}  // namespace pqz
