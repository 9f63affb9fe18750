// The library's own fp16 convolution engine for the fused director topology.
// This build carries no engine: available() is false, and the renderer then
// runs every director on ONNX Runtime.
#pragma once

#include <string>

namespace le {

class ConvBackend {
 public:
  // Whether this build and processor can run the engine at all.
  static bool available();
  // Whether the model file is the one graph topology the engine runs.
  static bool graphSupported(const std::string& modelPath);
};

}  // namespace le
