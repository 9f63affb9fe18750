// Processor-dispatched kernels of the compositor.
#pragma once

#include <cstddef>
#include <cstdint>

namespace le::simd {

// Number of floats per phase in the quad Lanczos table: 8 taps, each repeated
// in the 4 lanes of an R, G, B, spare pixel.
constexpr int kLanczosQuadPerPhase = 32;

// Floats from one row of the interleaved crop to the next: four per pixel
// plus one cache line, so that the rows of a kernel window (for the usual
// power-of-two sides a multiple of 4 KiB apart otherwise) do not all fall
// into the same cache sets.
constexpr size_t interleavedStride(int side) { return static_cast<size_t>(side) * 4 + 16; }

// Pastes frame columns [x0, x1] of one frame row (packed RGB24) from the
// interleaved crop (side rows of side pixels of R, G, B, spare floats, rows
// interleavedStride(side) floats apart).
// Pixel x samples the crop at u = colX[x] + rowX, v = colY[x] + rowY, in
// 1/1024 crop pixels: integer part u >> 10, phase (u & 1023) >> 5. Only
// sources with integer parts in -1 ... side - 1 are pasted. The feather alpha
// is the bilinear interpolation (bilinear: 32 phases x {1 - t, t}) of the
// mask, rounded to an integer and / 255; `maskPadded` is the mask as
// (side + 2) x (side + 2) floats with a one-pixel border of zeros (outside
// the crop the mask counts as 0). The
// colour is the 8 x 8 Lanczos sum (lanczosQuad: 32 phases x 32 floats) with
// taps outside the crop contributing 0. Each channel becomes the integer part
// of clamp((1 - alpha) frame + alpha colour, 0, 255).
void pasteLanczos8Row(const float* crop4, int side, const float* maskPadded, const float* lanczosQuad,
                      const float* bilinear, const int32_t* colX, const int32_t* colY,
                      int32_t rowX, int32_t rowY, int x0, int x1, uint8_t* frameRow);

// The same row with the 4 x 4 bicubic kernel (bicubic: 32 phases x 4 taps,
// window from ix - 1) or the 2 x 2 bilinear one (window from ix): the colour of
// each channel is the sum over window rows, top first, of wy[k] times that
// row's sum over columns, left first, of wx[i] times the sample, taps outside
// the crop contributing 0. Callers that want the phase rounded rather than
// truncated add half a phase step (16) to rowX and rowY.
void pasteBicubicRow(const float* crop4, int side, const float* maskPadded, const float* bicubic,
                     const float* bilinear, const int32_t* colX, const int32_t* colY, int32_t rowX,
                     int32_t rowY, int x0, int x1, uint8_t* frameRow);
void pasteBilinearRow(const float* crop4, int side, const float* maskPadded, const float* bilinear,
                      const int32_t* colX, const int32_t* colY, int32_t rowX, int32_t rowY, int x0,
                      int x1, uint8_t* frameRow);

// out[j] = sum over i < taps of w[i] * in[j + i], for j < n.
void blurRow(const float* in, const float* w, int taps, float* out, size_t n);

// Vertical blur of `taps` rows of h (row stride `stride`) into an unsharp
// mask of `plane`: plane[j] = clamp((1 + amount) plane[j] - amount blur[j],
// 0, 255) with blur[j] = sum over k of w[k] * h[k * stride + j], for j < n.
void unsharpRow(const float* h, size_t stride, const float* w, int taps, float amount,
                float* plane, size_t n);

// dst[i] = src[i] * scale for i < n.
void scaleRow(const float* src, float scale, float* dst, size_t n);

// dst4[4 i ... 4 i + 3] = r[i], g[i], b[i], 0 for i < n.
void interleaveRow(const float* r, const float* g, const float* b, float* dst4, size_t n);

}  // namespace le::simd
