// Fuzzes the lip template reader: the first byte picks the canvas side, the
// rest is the template. An accepted template always has vertices and rows in
// range.
#include <cstdint>
#include <stdexcept>
#include <string>

#include "tessera/le_lip_contour.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int canvas = data[0] * 4;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  try {
    const le::tessera::LipContour c = le::tessera::LipContour::fromTemplateJson(text, canvas);
    if (c.vertexCount() < 1 || c.lipIdx().empty() || !(c.featherPx() > 0.0f)) __builtin_trap();
    for (int32_t r : c.lipIdx()) {
      if (r < 0 || r > 20) __builtin_trap();
    }
  } catch (const std::runtime_error& e) {
    if (!*e.what()) __builtin_trap();
  }
  return 0;
}
