// Fuzzes the head checkpoint reader (stored zip and pickle subset): any input
// loads one of the two heads or throws a std::runtime_error with a message;
// nothing reads outside the input.
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "tessera/le_tessera.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const le::tessera::HeadWeights w = le::tessera::loadHeadPt(std::vector<uint8_t>(data, data + size));
    if (w.params() != le::tessera::kBlendHeadParams && w.params() != le::tessera::kBlendHead8Params) {
      __builtin_trap();
    }
  } catch (const std::runtime_error& e) {
    if (!*e.what()) __builtin_trap();
  }
  return 0;
}
