// Writing a decoded plane into its byte position of every pixel, adding the prediction from
// planes decoded before it.
#pragma once

#include <cstdint>

#include "pipeline/reader_state.h"
#include "base/image.h"

namespace pqz {

void mergePlane(const ReaderState& st, DecodedImage* image, const uint8_t* plane, int p);

}  // namespace pqz
