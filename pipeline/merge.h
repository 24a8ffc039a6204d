// Writing a decoded plane into its byte position of every pixel, adding the prediction from
// planes decoded before it.
#pragma once

#include <cstdint>

#include "base/image.h"
#include "codec/shared/plane_table.h"

namespace pqz {

void mergePlane(const PayloadHead& head, DecodedImage& image, const uint8_t* plane, int p);

}  // namespace pqz
