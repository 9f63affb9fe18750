// Pieces shared by the library's ONNX Runtime custom operators.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace le {

// Runs a kernel body and turns anything it throws into an ONNX Runtime status,
// so that a refusal surfaces as a failed run instead of unwinding through
// ONNX Runtime's frames.
template <typename Body>
OrtStatusPtr statusOf(Body&& body) noexcept {
  try {
    body();
    return nullptr;
  } catch (const Ort::Exception& e) {
    return Ort::GetApi().CreateStatus(e.GetOrtErrorCode(), e.what());
  } catch (const std::exception& e) {
    return Ort::GetApi().CreateStatus(ORT_RUNTIME_EXCEPTION, e.what());
  } catch (...) {
    return Ort::GetApi().CreateStatus(ORT_RUNTIME_EXCEPTION, "unknown exception");
  }
}

inline std::string shapeText(const std::vector<int64_t>& s) {
  std::string t = "[";
  for (size_t k = 0; k < s.size(); ++k) t += (k ? "," : "") + std::to_string(s[k]);
  return t + "]";
}

// A CPU-provider operator whose `Inputs` inputs and one output are required
// float tensors, except where Op::inputType says otherwise. Kernel is built
// from (const OrtApi&, const OrtKernelInfo*) when it has such a constructor,
// else default-constructed.
template <typename Op, typename Kernel, size_t Inputs>
struct FloatCpuOp : Ort::CustomOpBase<Op, Kernel, true> {
  OrtStatusPtr CreateKernelV2(const OrtApi& api, const OrtKernelInfo* info, void** kernel) const {
    return statusOf([&] {
      if constexpr (std::is_constructible_v<Kernel, const OrtApi&, const OrtKernelInfo*>)
        *kernel = std::make_unique<Kernel>(api, info).release();
      else
        *kernel = std::make_unique<Kernel>().release();
    });
  }
  const char* GetName() const { return Op::kName; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return Inputs; }
  ONNXTensorElementDataType GetInputType(size_t index) const { return Op::inputType(index); }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
  static ONNXTensorElementDataType inputType(size_t) { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
};

}  // namespace le
