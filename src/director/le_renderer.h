// The director: turns source and driving keypoints into face crops by running
// the bundle's director network (ONNX Runtime, with load-time graph rewrites
// and the library's custom operators).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bundle/le_bundle.h"
#include "bundle/le_layout.h"
#include "director/le_director_options.h"

namespace le {

class Identity;

// The host feeds 21 keypoint rows per frame: a keypoint input of rank 3 must
// declare 21 rows or a dynamic count. Throws the contract refusal otherwise.
void checkHostKeypointRows(const std::string& model, const std::string& input,
                           const std::vector<int64_t>& dims);

// A host keypoint array (kHostKpRows rows of 3 floats) must hold finite
// values: the director turns a single NaN into a crop of NaN. Throws
// "<argument> holds a non-finite value ..." naming the first one.
void checkHostKeypointsFinite(const std::string& argument, const float* kp);

class Renderer {
 public:
  // Loads "model_<modelKey>.onnx" of the bundle. threads < 1 uses the worker
  // pool's size; ep is "" (ONNX Runtime's CPU provider), "coreml[:cpu|gpu|ane]"
  // (falls back to the CPU provider where the runtime has no CoreML) or
  // "neon" (the fp16 engine, where the build has one). The switches come in
  // `options` (by default those of the environment). Throws
  // std::runtime_error naming what is wrong.
  Renderer(const Manifest& manifest, Identity& identity, const std::string& modelKey, int threads,
           const std::string& ep, const DirectorOptions& options = DirectorOptions::fromEnvironment());
  ~Renderer();
  Renderer(const Renderer&) = delete;
  Renderer& operator=(const Renderer&) = delete;

  // Renders n (1 ... batch()) frames: si[j] is the identity row of frame j,
  // kpSource and kpDriving hold n x 63 floats. Returns n x 3 x crop x crop
  // floats (valid until the next render). One thread at a time.
  const float* render(const int* si, const float* kpSource, const float* kpDriving, int n);

  int batch() const;
  const std::string& ep() const;
  const char* backend() const;
  std::string directorNote() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace le
