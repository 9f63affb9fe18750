// What a benchmark figure was measured on: the processor's model name, so
// every printed number can be tied to the machine that produced it.
#pragma once

#include <fstream>
#include <string>

namespace le::bench {

inline std::string cpuModel() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);) {
    const auto colon = line.find(':');
    if (colon != std::string::npos &&
        (line.rfind("model name", 0) == 0 || line.rfind("Model", 0) == 0 || line.rfind("CPU part", 0) == 0))
      return line.substr(colon + 2);
  }
  return "unknown CPU";
}

}  // namespace le::bench
