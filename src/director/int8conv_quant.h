// The activation side of Int8ConvVNNI, dispatched per vector target.
#pragma once

#include <cstddef>
#include <cstdint>

namespace le::int8conv {

// Folds x[0, n) into [lo, hi] (both start at the caller's values).
void activationRange(const float* x, size_t n, float& lo, float& hi);
// dst[i] = clamp(round_half_even(src[i] / scale) + zero, 0, 255) for i < n.
void quantiseRun(const float* src, size_t n, float scale, float zero, uint8_t* dst);

}  // namespace le::int8conv
