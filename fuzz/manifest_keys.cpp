// Fuzzes the manifest key scanner and the readers built on it: the first
// input byte picks a key name, the rest is the manifest text. Any exception
// must be a std::runtime_error with a message; nothing may read out of bounds.
#include <cstdint>
#include <stdexcept>
#include <string>

#include "bundle/le_bundle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const kKeys[] = {"NT", "H", "W", "crop", "amount", "format", "agent",
                                      "M_src_w", "frames", "ksize", "a", ""};
  if (size == 0) return 0;
  const std::string key = kKeys[data[0] % (sizeof kKeys / sizeof kKeys[0])];
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  namespace mk = le::manifest_key;
  for (const mk::KeyHit& h : mk::keyHits(text, key)) {
    if (h.pos > text.size()) __builtin_trap();
  }
  try {
    const size_t pos = mk::scalarValuePos(text, key);
    if (pos != mk::npos && pos > text.size()) __builtin_trap();
    (void)mk::numFieldEither(text, key, "frame_count");
    std::string s;
    (void)mk::optStr(text, key, s);
    (void)mk::strField(text, key);
  } catch (const std::runtime_error&) {
  }
  return 0;
}
