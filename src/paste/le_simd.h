// Processor-dispatched vector kernels.
//
// Every kernel is compiled for each vector target of the build architecture
// and the best one the running processor supports is chosen once, on the first
// call. All targets produce bit-identical results (the float sums accumulate in
// one fixed order on every target), and no kernel allocates.
#pragma once

#include <cstddef>
#include <cstdint>

namespace le {

// IEEE 754 binary16 <-> binary32, one value. Narrowing rounds to nearest,
// ties to even; overflow gives infinity, subnormals are exact, NaN stays NaN
// (quiet, sign and the upper payload bits kept).
uint16_t f32ToF16(float value);
float halfToFloat(uint16_t half);

namespace simd {

// Name of the target chosen for this processor ("AVX2", "NEON", "SCALAR", ...).
const char* target();

// float16 -> float32, n values.
void f16ToF32(const uint16_t* src, float* dst, size_t n);
// float32 -> float16, n values, with the rounding of le::f32ToF16.
void f32ToF16(const float* src, uint16_t* dst, size_t n);

// Packed RGB8 -> three float16 planes of value / 255:
// dst[ch * planeStride + i] for pixel i and channel ch = R, G, B.
void rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* dst, size_t pixels, size_t planeStride);

// Packed RGB24 -> packed RGBA with alpha 255, n pixels.
void rgb24ToRgba(const uint8_t* rgb, uint8_t* rgba, size_t pixels);

// One row of YUV 4:2:0 (BT.601, limited range, integer) to packed RGB24.
// Pixel x takes its chroma from u[(x / 2) * chromaStep] and v[(x / 2) * chromaStep]:
// chromaStep 1 for separate U and V planes, 2 for interleaved chroma (NV12:
// u = uv, v = uv + 1). Width may be odd.
void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width,
                      int chromaStep, uint8_t* rgb);

// 3x3 convolution, stride 1, zero border of 1, for output channels
// co in [coBegin, coEnd). Weights are [sets][inChannels][3][3], bias [sets];
// output channel planes are height x width, consecutive from out.
//   group == 0: weight set co, the single input image;
//   group  > 0: weight set co % group, input image co / group (each image is
//               inChannels planes; group output channels per image);
//   group  < 0: weight set 0 for every output channel, input image co.
// `images` is the number of input images the caller holds; it is not read.
void conv3x3Range(const float* in, int images, int inChannels, int height, int width,
                  const float* weight, const float* bias, int group, float* out, int coBegin,
                  int coEnd);

// Every output channel of one image's 3x3 convolution (stride 1, zero border
// of 1), for the output rows [rowBegin, rowEnd) only, so that callers can
// split rows over threads. Weights are [outChannels][inChannels][3][3], bias
// [outChannels] (may be null); output planes are height x width, consecutive.
// With relu, negative results become 0. Each pixel is bit-identical to what
// conv3x3Range (group 0) gives, followed by max(value, 0) when relu is set.
void conv3x3Rows(const float* in, int inChannels, int height, int width, const float* weight,
                 const float* bias, int outChannels, bool relu, float* out, int rowBegin, int rowEnd);

// Retrieval distance terms over float16 vectors a and b. Each element's
// difference is formed in float32 and rounded to float16 before use.
//   Pooled:     sum of w[i] * d[i]^2, w float16;
//   Exact:      sum of w[i] * |d[i]|, w float32;
//   ExactRange: Exact over the elements [begin, end) of the same vectors.
// The sums are accumulated in float32 in one fixed order on every target (so
// every target returns the same bits). Against the exact sum of the exact
// terms the error is at most g * sum |term| with k = ceil(n / 16) + 5,
// u = 2^-24 and g = k u / (1 - k u).
float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n);
float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, size_t n);
float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, size_t begin,
                             size_t end);

}  // namespace simd
}  // namespace le
