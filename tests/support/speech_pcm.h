// A baked speech clip (build/test-fixtures/speech/<name>.f32) as the 16-bit
// PCM a host pushes; empty when the clip cannot be read.
#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "support/bake_fixtures.h"

namespace le::test {

inline std::vector<int16_t> speechPcm(const std::string& name) {
  std::ifstream in(bakeFixturesRoot() + "/speech/" + name + ".f32", std::ios::binary | std::ios::ate);
  std::vector<float> f(in ? static_cast<size_t>(in.tellg()) / 4 : 0);
  in.seekg(0);
  in.read(reinterpret_cast<char*>(f.data()), static_cast<std::streamsize>(f.size() * 4));
  std::vector<int16_t> pcm(f.size());
  for (size_t i = 0; i < f.size(); ++i) pcm[i] = static_cast<int16_t>(std::max(-1.f, std::min(1.f, f[i])) * 32767);
  return pcm;
}

}  // namespace le::test
