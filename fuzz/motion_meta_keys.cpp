// Fuzzes the motion directory's meta.json reader: the input is the file's
// text. The reader either refuses with a std::runtime_error or returns counts
// it can size arrays by (nt == n_src >= 1, n_emo >= 1) and finite numbers;
// nothing may read out of bounds.
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "audio/le_motion.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const le::motion::Meta m = le::motion::readMeta(text);
    if (m.nt < 1 || m.nSrc != m.nt || m.nEmo < 1) __builtin_trap();
    if (!std::isfinite(m.sBridge) || !std::isfinite(m.deltaPitch)) __builtin_trap();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
