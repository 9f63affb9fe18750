// The inner products of Int8ConvVNNI: per output pixel and output channel,
// the sum over in-bounds taps and input channels of uint8 activation times
// int8 weight, accumulated exactly in 32 bits (wrapping like the VNNI
// instruction, which never happens at real sizes).
#pragma once

#include <cstdint>

namespace le::int8conv {

constexpr int kBlockChannels = 64;  // output channels accumulated together
constexpr int kPixelBlock = 4;      // neighbouring output pixels sharing each weight load

// What the dot-product kernels need to walk the taps of pixels in a row.
// Activations are pixel-major, each group's channels padded to whole quads
// (runs of four); steps count elements, the same for both element widths.
struct DotArgs {
  const uint8_t* q;     // quantised input of the first pixel's first in-bounds tap, this group
  const uint16_t* q16;  // the same input widened to 16 bits, same element offsets
  int64_t pixelStep;    // elements from one output pixel's input to the next
  int64_t rowStep;      // elements between kernel rows
  int64_t colStep;      // elements between kernel columns
  int64_t rows, cols;   // in-bounds taps
  // Packed weights of the first in-bounds tap, this group, channel block:
  // per quad, [mPadded][4] int8 for VNNI, and [2][mPadded][2] int16 (one
  // pair of input channels per half) for the widening path.
  const int8_t* w;
  const int16_t* w16;
  int64_t wRowStep;  // packed elements between kernel rows
  int64_t wTapStep;  // packed elements between taps
  int64_t quads, mPadded;
};

// acc[p][j] for pixels p < 1 (or kPixelBlock) and channels j < count of the
// block, with 16-bit multiply-add pairs (vpmaddwd on x86, smlal on Arm): a
// uint8 x int8 product and the sum of two fit their 32-bit lane exactly.
void dotWidenOne(const DotArgs& a, int count, int32_t (*acc)[kBlockChannels]);
void dotWidenBlock(const DotArgs& a, int count, int32_t (*acc)[kBlockChannels]);

// The outputs of one block: for pixels p < `pixels` and channels j < count,
// out[j * outPlane + p] = float(acc[p][j] - shift[j]) * mul[j] + bias[j], the
// difference wrapping in 32 bits, the multiply and the add rounded apart.
void finishBlock(const int32_t (*acc)[kBlockChannels], int pixels, int count, const int32_t* shift,
                 const float* mul, const float* bias, float* out, size_t outPlane);

// The vector target the widening path runs on.
const char* dotTargetName();

}  // namespace le::int8conv
