// Processor-dispatched convolution kernels of the fp16 engine: fp16 NHWC
// activations and fp16 packed weights, float bias, fp32 accumulation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace le::conv {

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
};

// Float lanes of one vector on the chosen target: the packed layout depends on it.
size_t vectorLanes();
// Output-channel vectors a layer computes: ceil(outChannels / lanes), at least 2.
int outputVectors(int outChannels, size_t lanes);
// Float scratch one worker needs for a layer of this input width and channel count.
size_t scratchFloats(int kernel, int inW, int inChannelsPadded);

// Packs OIHW float weights into the kernels' layout, fp16, input channels
// zero-padded to inChannelsPadded and output channels to whole vectors:
// [vector][ky][kx][input channel][lane].
void packWeights(const float* oihw, int outChannels, int inChannels, int inChannelsPadded, int kernel,
                 size_t lanes, uint16_t* packed);
size_t packedWeightCount(int outChannels, int inChannelsPadded, int kernel, size_t lanes);

// Output rows [rowBegin, rowEnd) of the convolution; scratch holds
// scratchFloats(...) floats owned by the calling worker.
void runConv(const ConvArgs& a, int rowBegin, int rowEnd, float* scratch);

}  // namespace le::conv
