// "com.corvane.int8" Int8ConvVNNI: a convolution over dynamically quantised
// uint8 activations and pre-quantised int8 weights with exact 32-bit
// accumulation. Uses the CPU's VNNI dot-product instructions where it has
// them and 16-bit multiply-add pairs on every other vector target; the
// portable path gives bit-identical results.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace le {

// Creates the "com.corvane.int8" domain once per process and adds it to
// `options`. ONNX Runtime errors are raised as Ort::Exception.
void registerInt8ConvVNNI(Ort::SessionOptions& options);

// Convolution geometry with ONNX Conv meaning; pads are (top, left, bottom, right).
struct Int8ConvGeometry {
  int64_t strides[2] = {1, 1};
  int64_t pads[4] = {0, 0, 0, 0};
  int64_t dilations[2] = {1, 1};
  int64_t group = 1;
};

enum class Int8Path { Best, Portable };

// Whether this CPU has the VNNI instructions.
bool int8ConvHasVnni();
// The path Int8Path::Best takes now: "VNNI" (AVX-512 VNNI, when the CPU has
// it and the vector target chosen is an AVX-512 one), else the name of the
// vector target the 16-bit multiply-add path runs on.
const char* int8ConvPathName();

// The operator's computation. Weights are rearranged on first use and again
// only when the weight bytes change; concurrent runs are safe.
class Int8ConvKernel {
 public:
  explicit Int8ConvKernel(const Int8ConvGeometry& geometry) : geometry_(geometry) {}
  Int8ConvKernel(const OrtApi& api, const OrtKernelInfo* info);

  // Output shape (N, M, OH, OW) for x (N, C, H, W) and w (M, C/group, kH, kW);
  // throws std::runtime_error when the shapes do not fit together.
  std::vector<int64_t> outputShape(const std::vector<int64_t>& x, const std::vector<int64_t>& w) const;

  // y gets outputShape(x, w); wScale and bias hold M values each.
  void forward(const float* x, const std::vector<int64_t>& xShape, const int8_t* w,
               const std::vector<int64_t>& wShape, const float* wScale, const float* bias, float* y,
               Int8Path path = Int8Path::Best);

  OrtStatusPtr ComputeV2(OrtKernelContext* context);

  struct Packed;

 private:
  std::shared_ptr<const Packed> packed(const int8_t* w, const std::vector<int64_t>& wShape);

  Int8ConvGeometry geometry_;
  std::mutex mutex_;
  std::shared_ptr<const Packed> packed_;
};

}  // namespace le
