// The library's own fp16 convolution engine for the fused "m4b" director at
// crop 512. It reads only the initializers of the ONNX file, checks by name
// and shape that the file is the topology below, packs every convolution for
// the vector kernels (le_conv_kernels.h) and renders batches of frames.
// Each layer's method is fixed at packing by conv::chooseMethod: on 16-lane
// AVX-512 vectors maskocc, corr2 and tile3 take the dot-product kernel (on
// 8-lane AVX2 tile3 only), the 3x3 stride-1 layers with output channels in
// multiples of 8 (e0, d1, d0, ref, corr0, corr1, tile0 ... tile2) Winograd
// F(2x2, 3x3), the rest (pre, e1, e2) the direct kernel.
//
// The m4b dataflow, per frame (NHWC fp16 between convolutions):
//   pre_relu  = relu(pre 1x1 over [pooled64 (64), heat (21), zero (3)])  32x32x96
//               heat_k = exp(-60 |grid32 - kp_driving_k.xy|^2)
//   e0_relu   = relu(e0 over pre_relu)                                  32x32x96
//   e1_relu   = relu(e1 stride 2 over e0_relu)                          16x16x144
//   e2_relu   = relu(e2 stride 2 over e1_relu)                          8x8x192
//   d1_relu   = relu(d1 over [nearest x2 of e2_relu, e1_relu])          16x16x144
//   d0_relu   = relu(d0 over [nearest x2 of d1_relu, e0_relu])          32x32x96
//   ref_relu  = relu(ref over nearest x2 of d0_relu)                    64x64x48
//   mask_conv = maskocc over ref_relu: 22 mask logits + 1 occlusion     64x64x23
//   occ_sig   = sigmoid(occlusion logit)                                64x64
//   grid_add  = grid64 + sum_k softmax(mask)_k (kp_source_k - kp_driving_k).xy   64x64x2
//   w64       = softmax(MLP([mean pooled64 (64), kp_driving (63), kp_source (63),
//                            kp_driving - kp_source (63), mean flow (2)]))       64
//   basisimg  = w64 . basis (64, 3*256*256)                            3x256x256
//   occ512    = bilinear x8 of occ_sig; occ256 = bilinear x4
//   warped    = GridSample(P_rgb, bilinear x8 of grid_add; bilinear, border,
//               align_corners 0)                                       3x512x512
//   corr*     = corr0, corr1 (ReLU), corr2 over [2x2 mean of warped, basisimg,
//               occ256, zero] at 256x256 -> 12 channels
//   refined   = occ512 warped + (1 - occ512) nearest x2 of basisimg
//               + pixel shuffle x2 of corr2_conv                       3x512x512
//   tile*     = tile0..tile2 (ReLU), tile3 over [refined, warped, occ512, zero]
//               in six 256x208 tiles, rows 0 and 256, columns 0, 152, 304
//   rgb       = clamp(refined + sum_t feather tile3_t / sum_t feather, 0, 1)
// Bilinear resampling is half-pixel with clamped edges, as ONNX Resize.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace le {

// Interface the renderer holds; Engine is its only implementation.
class ConvBackend {
 public:
  virtual ~ConvBackend() = default;
  // Frames per render call (the first dimension of the graph input "pooled64").
  virtual int batch() const = 0;
  // pooled64 and source are n pointers to fp16 identity rows (64x32x32 pooled
  // features, 3x512x512 source prior); keypoints are n x 63 floats; out gets
  // n x 3 x 512 x 512 floats. n must be 1 ... batch() ("le_conv: bad n").
  virtual void render(const uint16_t* const* pooled64, const uint16_t* const* source,
                      const float* kpSource, const float* kpDriving, int n, float* out) = 0;

  // Whether this build and processor run the engine.
  static bool available();
  // Whether the model file is the fused m4b topology; unreadable or malformed
  // files answer false.
  static bool graphSupported(const std::string& modelPath);
  // The engine over the model file; threads <= 0 takes le::pool::threads().
  static std::unique_ptr<ConvBackend> create(const std::string& modelPath, int threads);
};

// Initializer name -> dims.
using TensorShapes = std::map<std::string, std::vector<int64_t>>;

struct OnnxTensor {
  std::vector<int64_t> dims;
  std::vector<float> data;
};

// The initializers of a model file and its batch size.
struct OnnxModel {
  std::map<std::string, OnnxTensor> tensors;
  int batch = 0;
  const OnnxTensor& get(const std::string& name) const;  // "onnx: missing initializer " + name
};

// Reads the file's initializers (fp32 only) and the batch of "pooled64".
OnnxModel loadOnnx(const std::string& path);
// Every initializer's name and shape, with the same checks as loadOnnx.
TensorShapes readTensorShapes(const std::string& path);
// The same two over a model image already in memory.
OnnxModel loadOnnxImage(const std::vector<unsigned char>& image);
TensorShapes readTensorShapesImage(const std::vector<unsigned char>& image);
// graphSupported over a model image: never throws.
bool m4bImageSupported(const std::vector<unsigned char>& image);

// The resolved names of the tensors exporters number afresh.
struct M4bNames {
  std::string preWeight, preBias, grid32, basis;
};

// Checks the fixed-name table and resolves the drifting tensors; false with
// a reason when the shapes are not the m4b topology.
bool m4bResolve(const TensorShapes& shapes, M4bNames& names, std::string& reason);
// The shapes of the m4b topology, the drifting tensors under their nominal
// names (the pre weight "onnx::Conv_313", its bias "onnx::Conv_314").
TensorShapes m4bNominalShapes();

}  // namespace le
