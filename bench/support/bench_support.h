// What every benchmark needs around its figures: the processor they were
// measured on, and where the test command baked the demo bundles and speech.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

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

// $LE_BAKE_FIXTURES, else the fixtures directory the build was configured
// with (the test command's shared one).
inline std::string fixturesDir() {
  const char* env = std::getenv("LE_BAKE_FIXTURES");
#ifdef LE_BAKE_FIXTURES_DIR
  return env && *env ? env : LE_BAKE_FIXTURES_DIR;
#else
  return env && *env ? env : "fixtures";
#endif
}

// $LE_BAKE_BUNDLE, else the fixtures' full demo bundle.
inline std::string fullBundle() {
  const char* env = std::getenv("LE_BAKE_BUNDLE");
  return env && *env ? env : fixturesDir() + "/full";
}

// A speech clip of the fixtures as 16 kHz float samples (empty when absent).
inline std::vector<float> speechClip(const std::string& name) {
  std::ifstream in(fixturesDir() + "/speech/" + name + ".f32", std::ios::binary | std::ios::ate);
  std::vector<float> f(in ? static_cast<size_t>(in.tellg()) / 4 : 0);
  in.seekg(0);
  in.read(reinterpret_cast<char*>(f.data()), static_cast<std::streamsize>(f.size() * 4));
  return f;
}

inline std::vector<int16_t> toPcm(const std::vector<float>& f) {
  std::vector<int16_t> pcm(f.size());
  for (size_t i = 0; i < f.size(); ++i)
    pcm[i] = static_cast<int16_t>(std::max(-1.f, std::min(1.f, f[i])) * 32767);
  return pcm;
}

}  // namespace le::bench
