// What every benchmark needs around its figures: the processor they were
// measured on, and where the test command baked the demo bundles and speech.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>

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

// Where the demo bundles and speech may have been baked, in the order they are
// tried: $LE_BAKE_FIXTURES, the fixtures directory this build was configured
// with (LE_BAKE_FIXTURES_DIR), the one the test command bakes into
// (build/test-fixtures under the source tree) and this build's own fixtures/.
inline std::vector<std::string> fixtureCandidates() {
  std::vector<std::string> dirs;
  auto add = [&](const std::string& d) {
    if (!d.empty() && std::find(dirs.begin(), dirs.end(), d) == dirs.end()) dirs.push_back(d);
  };
  if (const char* env = std::getenv("LE_BAKE_FIXTURES"); env && *env) add(env);
#ifdef LE_BAKE_FIXTURES_DIR
  add(LE_BAKE_FIXTURES_DIR);
#endif
#ifdef LE_BENCH_SOURCE_DIR
  add(std::string(LE_BENCH_SOURCE_DIR) + "/build/test-fixtures");
#endif
#ifdef LE_BENCH_BINARY_DIR
  add(std::string(LE_BENCH_BINARY_DIR) + "/fixtures");
#endif
  return dirs;
}

inline bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The first candidate holding `member` (a directory); when none does, says
// where it looked on stderr, once, and returns the first candidate.
inline std::string fixturesHolding(const std::string& member) {
  const std::vector<std::string> dirs = fixtureCandidates();
  for (const std::string& d : dirs)
    if (isDirectory(d + "/" + member)) return d;
  static bool told = false;
  if (!told) {
    told = true;
    std::string looked;
    for (const std::string& d : dirs) looked += "\n  " + d + "/" + member;
    std::fprintf(stderr,
                 "[bench] no baked %s found; looked in:%s\n"
                 "  (the test command bakes them: ctest -R \"bake_full$|bake_speech\"; or set "
                 "LE_BAKE_FIXTURES=<fixtures dir> or LE_BAKE_BUNDLE=<bundle dir>)\n",
                 member.c_str(), looked.c_str());
  }
  return dirs.empty() ? "fixtures" : dirs.front();
}

// The fixtures directory that holds the full demo bundle.
inline std::string fixturesDir() { return fixturesHolding("full"); }

// $LE_BAKE_BUNDLE, else the fixtures' full demo bundle.
inline std::string fullBundle() {
  const char* env = std::getenv("LE_BAKE_BUNDLE");
  return env && *env ? env : fixturesDir() + "/full";
}

// A speech clip of the fixtures as 16 kHz float samples (empty when absent).
inline std::vector<float> speechClip(const std::string& name) {
  std::ifstream in(fixturesHolding("speech") + "/speech/" + name + ".f32", std::ios::binary | std::ios::ate);
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
