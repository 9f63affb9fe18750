// Fuzzes the teeth members' JSON reader: any input either parses or throws a
// std::runtime_error with a message; deep nesting is refused, not followed.
#include <cstdint>
#include <stdexcept>
#include <string>

#include "tessera/le_tessera.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* b = reinterpret_cast<const char*>(data);
  try {
    le::tessera::json::JParser p(b, b + size);
    p.skipSpace();
    (void)p.val();
  } catch (const std::runtime_error& e) {
    if (!*e.what()) __builtin_trap();
  }
  return 0;
}
