// Writes small bundles for tests: manifest.json plus raw identity and drive
// arrays with recognisable contents.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace le::test {

struct BundleSpec {
  int NT = 3;
  int W = 64;
  int H = 48;
  int crop = 8;
  int frames = 4;
  int msrcW = 0;  // 0: the canvas size
  int msrcH = 0;
  std::string extra;  // more root keys, each written as "key": value,
};

inline std::string manifestJson(const BundleSpec& s) {
  const int mw = s.msrcW ? s.msrcW : s.W;
  const int mh = s.msrcH ? s.msrcH : s.H;
  return "{\n  \"format\": \"le-bundle-v0\",\n  \"agent\": \"test\",\n" + s.extra +
         "  \"NT\": " + std::to_string(s.NT) + ", \"H\": " + std::to_string(s.H) +
         ", \"W\": " + std::to_string(s.W) + ", \"crop\": " + std::to_string(s.crop) +
         ", \"frames\": " + std::to_string(s.frames) + ",\n  \"M_src_w\": " + std::to_string(mw) +
         ", \"M_src_h\": " + std::to_string(mh) +
         ",\n  \"unsharp\": {\"amount\": 1.3, \"sigma\": 2.0, \"ksize\": 13}\n}\n";
}

template <typename T>
std::string bytesOf(const std::vector<T>& v) {
  std::string s(v.size() * sizeof(T), '\0');
  if (!v.empty()) std::memcpy(&s[0], v.data(), s.size());
  return s;
}

// count half-float words; word i of the file is (seed + i) & 0x7bff, so any
// row's first value tells which row it is.
inline std::string halfWords(size_t count, uint16_t seed) {
  std::vector<uint16_t> v(count);
  for (size_t i = 0; i < count; ++i) v[i] = static_cast<uint16_t>((seed + i) & 0x7bff);
  return bytesOf(v);
}

// M rows: row r is {r + 0.25, 1.5, -2.75, r * 3 + 0.1, 0.5, 7.125}.
inline std::vector<float> transformRows(int NT) {
  std::vector<float> m;
  for (int r = 0; r < NT; ++r) {
    const float row[6] = {r + 0.25f, 1.5f, -2.75f, r * 3 + 0.1f, 0.5f, 7.125f};
    m.insert(m.end(), row, row + 6);
  }
  return m;
}

struct IdentityFiles {
  bool P = true;
  bool fsRed = false;
  bool manifestLayout = false;  // store under the manifest-layout names
};

// Writes manifest, pooled64, M, the optional P / fs_red and the drive track
// (si = frame % NT).
inline void writeBundle(const std::string& dir, const BundleSpec& s,
                        const IdentityFiles& files = IdentityFiles()) {
  const bool ml = files.manifestLayout;
  const size_t nt = static_cast<size_t>(s.NT);
  writeFile(dir + "/manifest.json", manifestJson(s));
  writeFile(dir + (ml ? "/pooled_features.f16" : "/pooled64.f16"), halfWords(nt * 65536, 1));
  if (files.P)
    writeFile(dir + (ml ? "/source_frames.f16" : "/P.f16"),
              halfWords(nt * 3 * static_cast<size_t>(s.crop) * s.crop, 2));
  if (files.fsRed)
    writeFile(dir + (ml ? "/feature_synth.f16" : "/fs_red.f16"), halfWords(nt * 262144, 3));
  writeFile(dir + (ml ? "/paste_transform.f32" : "/M.f32"), bytesOf(transformRows(s.NT)));
  std::vector<float> xs, xd;
  std::vector<int32_t> si;
  for (int f = 0; f < s.frames; ++f) {
    for (int k = 0; k < 63; ++k) {
      xs.push_back(f + k * 0.01f);
      xd.push_back(-f - k * 0.01f);
    }
    si.push_back(f % s.NT);
  }
  const std::string drive = ml ? "/idle_loop/" : "/drive/";
  writeFile(dir + drive + (ml ? "source_keypoints.f32" : "xs.f32"), bytesOf(xs));
  writeFile(dir + drive + (ml ? "driven_keypoints.f32" : "xd.f32"), bytesOf(xd));
  writeFile(dir + drive + (ml ? "source_index.i32" : "si.i32"), bytesOf(si));
}

}  // namespace le::test
