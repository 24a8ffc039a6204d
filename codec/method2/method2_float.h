// Single-precision helpers of coding method 2: four-lane groups, the dot product in its fixed
// order, slot training, truncation as x86-64 does it, and the floating-point environment of a
// decode. The lane code is chosen at compile time (see float_env.h).
#pragma once

#include "codec/method2/float_env.h"
#include "codec/method2/method2_decoder.h"

namespace pqz::method2 {
constexpr int kGroups = kInputs / 4;
}  // namespace pqz::method2

#if PQZ2_M2_X86
#include "codec/method2/float_lanes_sse.h"
#elif PQZ2_M2_ARM64
#include "codec/method2/float_lanes_neon.h"
#else
#include "codec/method2/float_lanes_plain.h"
#endif
