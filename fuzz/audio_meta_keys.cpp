// Fuzzes the audio models' meta readers on the same text: the motion
// directory's meta.json and the streaming model's a2x_meta.json. Each either
// refuses with a std::runtime_error or returns values it can size arrays by
// (motion: nt == n_src >= 1, n_emo >= 1, finite numbers; streaming: h >= 1,
// window and left >= 0); nothing may read out of bounds.
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "audio/le_a2x_impl.h"
#include "audio/le_motion.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const le::motion::Meta m = le::motion::readMeta(text);
    if (m.nt < 1 || m.nSrc != m.nt || m.nEmo < 1) __builtin_trap();
    if (!std::isfinite(m.sBridge) || !std::isfinite(m.deltaPitch)) __builtin_trap();
  } catch (const std::runtime_error&) {
  }
  try {
    const le::a2x::Meta m = le::a2x::readMeta(text);
    if (m.h < 1 || m.window < 0 || m.left < 0 || m.layers < 0) __builtin_trap();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
