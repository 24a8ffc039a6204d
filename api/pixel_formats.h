// The pixel layouts a decode can produce: what each costs in information and row bytes, and
// the conversion of rows of the stored layout into them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/pqz2.h"

namespace pqz::api {

// Null when the conversion keeps everything; else what it drops, or kNotAvailable.
const char* formatLoss(const pqz2_image_info& info, pqz2_format format);
extern const char* const kNotAvailable;

// Bytes of one row in format; 0 when the format is not available for the image.
size_t minStride(const pqz2_image_info& info, pqz2_format format);

// Converts rows of the stored layout (nativeStride bytes apart) into format (stride apart).
void convertRows(const pqz2_image_info& info, pqz2_format format, const uint8_t* native,
                 size_t nativeStride, uint8_t* out, size_t stride, uint32_t rows);

}  // namespace pqz::api
