// Processor-dispatched convolution kernels of the fp16 engine: fp16 NHWC
// activations and fp16 packed weights, float bias, fp32 accumulation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace le::conv {

// How a layer is computed, fixed when its weights are packed:
//  - kDirect: output channels across the vector lanes, a block of pixels
//    times 2, 3 or 4 output vectors in registers, one broadcast input value
//    per input channel and tap.
//  - kDot: for layers with few output channels, which would leave most lanes
//    of kDirect idle. Each output is a dot product over the contiguous taps
//    of one kernel row (kernel x input channels) for each kernel row, the
//    lanes running along it; one horizontal sum per output.
//  - kWinograd: F(2x2, 3x3) for 3x3 stride-1 layers whose output channels
//    are a multiple of 8: weights transformed at pack time, input and output
//    transforms in fp32, 16 products per 2x2 output tile instead of 36.
enum class ConvMethod : int { kDirect = 0, kDot = 1, kWinograd = 2 };

// One convolution over a range of output rows. Activations are NHWC fp16
// with inChannelsPadded (a multiple of 8) per input pixel and outChannels per
// output pixel; the border is zero (padding kernel / 2), the stride 1 or 2.
struct ConvArgs {
  const uint16_t* in = nullptr;
  int inH = 0, inW = 0, inChannelsPadded = 0;
  uint16_t* out = nullptr;
  int outH = 0, outW = 0, outChannels = 0;
  int kernel = 3, stride = 1;
  bool relu = false;
  const uint16_t* weights = nullptr;  // packed by packWeights for vectorLanes() lanes
  const float* bias = nullptr;        // outputVectors(outChannels) * vectorLanes() floats, zero past the end
  ConvMethod method = ConvMethod::kDirect;  // the layout the weights were packed in
};

// Float lanes of one vector on the chosen target: the packed layout depends on it.
size_t vectorLanes();
// Whether kDirect layers on the plain NEON target multiply fp16 values
// directly (FMLAL / FMLAL2 into fp32 sums) instead of widening them first:
// where the processor has the instructions, unless switched off. Outputs are
// the same bits either way; the switch lets the two paths be compared.
bool nativeFp16();
void setNativeFp16(bool on);
// Output-channel vectors a layer computes: ceil(outChannels / lanes), at least 2.
int outputVectors(int outChannels, size_t lanes);
// Whether a method can compute a layer of this shape (kDirect and kDot any).
bool methodApplies(ConvMethod method, int outChannels, int kernel, int stride);
// The fastest applicable method for a layer on vectors of this many lanes.
ConvMethod chooseMethod(int outChannels, int inChannelsPadded, int kernel, int stride, size_t lanes);
// Float scratch one worker needs for a layer with this method, input width
// and channel counts.
size_t scratchFloats(ConvMethod method, int kernel, int inW, int inChannelsPadded, int outChannels, size_t lanes);

// Packs OIHW float weights into the method's layout, fp16, input channels
// zero-padded to inChannelsPadded:
//  kDirect   [vector][ky][kx][input channel][lane], output channels padded to whole vectors;
//  kDot      [output channel][ky][kx x input channel, zero-padded to whole vectors];
//  kWinograd [vector][16 transformed taps][input channel][lane] (G g G^T per channel pair).
void packWeights(const float* oihw, int outChannels, int inChannels, int inChannelsPadded, int kernel,
                 size_t lanes, uint16_t* packed, ConvMethod method = ConvMethod::kDirect);
size_t packedWeightCount(int outChannels, int inChannelsPadded, int kernel, size_t lanes,
                         ConvMethod method = ConvMethod::kDirect);

// Output rows [rowBegin, rowEnd) of the convolution; scratch holds
// scratchFloats(...) floats owned by the calling worker.
void runConv(const ConvArgs& a, int rowBegin, int rowEnd, float* scratch);

// dst[j] = sum over k < count of weights[k] * rows[k * stride + j], j < n:
// fp16 rows (stride values apart), fp32 weights and sums.
void weightedRows(const uint16_t* rows, size_t stride, const float* weights, int count, float* dst, size_t n);

}  // namespace le::conv
